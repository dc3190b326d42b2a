"""Shared set-up for the simulator's tests: paths, a simulator plus a real adb server per class."""

import os
import shutil
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("ZEV_SOURCE_DIR") or os.path.dirname(os.path.dirname(HERE))
SIM_DIR = os.path.join(SOURCE, "tools", "robot-sim")
FIXTURES = os.path.join(SOURCE, "tests", "fixtures", "usb")
sys.path.insert(0, SIM_DIR)

import simctl  # noqa: E402


def adb_server_port():
    return int(os.environ.get("ANDROID_ADB_SERVER_PORT", "15037"))


class SimTestCase(unittest.TestCase):
    """One simulator per class (scenario in SCENARIO) and, unless WITH_ADB is False, an adb server
    started after it listens, so that the server's emulator scan finds it."""

    SCENARIO = None
    WITH_ADB = True
    DEVICES = 1

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="simtest-")
        cls.sim = simctl.Sim(cls.SCENARIO, os.path.join(cls.tmp, "state"))
        cls.ports = cls.sim.start()
        cls.adb = None
        if cls.WITH_ADB:
            cls.adb = simctl.Adb(adb_server_port(), os.path.join(cls.tmp, "home"))
            cls.adb.kill_server()
            if not cls.adb.start_server(cls.DEVICES, timeout=15):
                cls.tearDownClass()
                raise RuntimeError("adb does not see the simulator:\n" + cls.sim.output())

    @classmethod
    def tearDownClass(cls):
        if cls.adb is not None:
            cls.adb.kill_server()
        cls.sim.stop()
        if os.environ.get("SIMTEST_KEEP"):
            print("kept", cls.tmp)
        else:
            shutil.rmtree(cls.tmp, ignore_errors=True)

    def shell(self, *args, timeout=20):
        code, out, err = self.adb.run("shell", *args, timeout=timeout)
        self.assertIsNotNone(code, "adb shell %s timed out" % " ".join(args))
        return out + err


def main():
    unittest.main(verbosity=2)
