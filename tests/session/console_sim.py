#!/usr/bin/python3
"""robot-console against the simulated robot's service: every command with a reply, straight to
the service's loopback port, and the technician's way in through the real adb's port forward
(that one needs port 6102 and the simulated adbd on 5555, so it runs alone).
   console_sim.py direct | forward"""
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE = os.environ.get("ZEV_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tools", "robot-sim"))
import simctl  # noqa: E402

CONSOLE = os.path.join(os.environ.get("ZEV_DIST_DIR", ""), "robot-console")

SCENARIO = {
    "adb_ports": [0],
    "service": {
        "serial": "ABC123#xyz",
        "versions": {"33": "1.0.2", "34": "5.1.1"},
        "motor_angle": 300,
        "server_port": 6010,
        "server_ip": "192.168.1.20",
        "resources": ["x.zev", "y.zev"],
    },
}


def console(*args, port=None, timeout_ms=5000):
    env = dict(os.environ, QT_LOGGING_RULES="zev.session.debug=false")
    env.pop("ZEV_SESSION_PORT", None)
    if port is not None:
        env["ZEV_SESSION_PORT"] = str(port)
    p = subprocess.run([CONSOLE, "--timeout", str(timeout_ms)] + list(args), env=env,
                       capture_output=True, text=True, timeout=30)
    return p.returncode, p.stdout, p.stderr


class Direct(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.sim = simctl.Sim(SCENARIO, os.path.join(cls.tmp.name, "state"))
        cls.port = cls.sim.start(timeout=60)["service"]

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()
        cls.tmp.cleanup()

    def check(self, args, line):
        code, out, err = console(*args, port=self.port)
        self.assertEqual((code, out, err), (0, "OnConnected\n" + line + "\n", ""), args)

    def test_replies(self):
        self.check(["serial"], "OnSerialNum ABC123")
        self.check(["version", "33"], "OnVersion 1.0.2")
        self.check(["version", "34"], "OnVersion 5.1.1")
        self.check(["read-motor", "7"], "OnMotorAngle 7 44")
        self.check(["file-name", "a.zev", "13"], "OnActionResourceList x.zev,y.zev")
        self.check(["file-info", "C:/x/fw.bin", "fw.bin", "1000", "2"],
                   "OnServerInfoDL 6010 192.168.1.20 C:/x/fw.bin")
        self.check(["--login", "serial"], "OnConnected\nOnSerialNum ABC123")

    def test_commands_reach_the_robot(self):
        before = len(self.sim.service_messages())
        for args in (["motor", "3", "90", "500"], ["play", "dance.act"],
                     ["eye-led", "200", "255", "3", "4", "100", "200", "300"],
                     ["ear-led", "1000", "1", "2", "3", "100", "200"], ["request", "48"]):
            code, out, err = console(*args, port=self.port)
            self.assertEqual((code, out, err), (0, "OnConnected\n", ""), args)
        # The simulator logs on its own thread: give the last message a moment to be written.
        deadline = time.monotonic() + 5
        while True:
            received = [m for m in self.sim.service_messages()[before:] if "id" in m]
            if len(received) >= 5 or time.monotonic() > deadline:
                break
            time.sleep(0.02)
        self.assertEqual([m["id"] for m in received], [9, 5, 19, 17, 48])
        self.assertEqual(received[0]["payload"], [3, 90, 500])
        self.assertEqual(received[2]["payload"], [-56, -1, 3, 4, 100, 200, 300])


class Forward(unittest.TestCase):
    def test_serial_through_adb_forward(self):
        with socket.socket() as probe:  # fail clearly rather than talk to a stranger on 6102
            self.assertNotEqual(probe.connect_ex(("127.0.0.1", 6102)), 0, "port 6102 is taken")
        with tempfile.TemporaryDirectory() as tmp:
            scenario = dict(SCENARIO, adb_ports=[5555])
            sim = simctl.Sim(scenario, os.path.join(tmp, "state"))
            sim.start()
            adb = simctl.Adb(15731, os.path.join(tmp, "home"))
            try:
                self.assertTrue(adb.start_server())
                code, _, err = adb.run("forward", "tcp:6102", "tcp:6102")
                self.assertEqual(code, 0, err)
                self.assertEqual(console("serial"), (0, "OnConnected\nOnSerialNum ABC123\n", ""))
                self.assertIn("tcp:6102", sim.commands())
            finally:
                adb.run("forward", "--remove-all")
                adb.kill_server()
                sim.stop()


if __name__ == "__main__":
    which = sys.argv.pop(1) if len(sys.argv) > 1 else "direct"
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(Direct if which == "direct" else Forward)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)
