#!/usr/bin/python3
"""Headless runs of the shipped program against the simulated robot, one case a row.

The program runs from a copy of dist/ with nothing of a display in its environment, under
umockdev's preload: this test's testbed is the USB bus, where the robot's device is plugged and
pulled while the program runs. fastbootfile/adb is robot-sim's wrapper of Debian's adb, which
records every command line (ZEV_ADB_ARGV_LOG). ZEV_KEEP=1 keeps each case's folder (the program's
copy with its log, the robot's logs) for a look after a failure."""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import unittest

# The testbed's uevents name devices by their /sys path, which only umockdev's preload turns into
# the testbed's: this test runs under it too.
if "libumockdev-preload" not in os.environ.get("LD_PRELOAD", ""):
    os.execvp("umockdev-wrapper", ["umockdev-wrapper", sys.executable] + sys.argv)

import gi  # noqa: E402

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

SOURCE = os.environ["ZEV_SOURCE_DIR"]
DIST = os.environ["ZEV_DIST_DIR"]
sys.path.insert(0, os.path.join(SOURCE, "tools", "robot-sim"))
import simctl  # noqa: E402
from simctl import wait_until  # noqa: E402

FASTBOOT_ADB = os.path.join(SOURCE, "tools", "robot-sim", "fastboot-adb")
ROBOT = simctl.usb_fixture("18d1:4e26")
SERIAL = "TV2A17030001"
HAPPY_COMMANDS = os.path.join(SOURCE, "tests", "support", "upgrade_commands.json")
DONE = "刷机完成，请等待机器人重新启动！"
NO_ROBOT = "未检测到机器人版本,请检查USB连接是否正常!"
MD5_BAD = "MD5校验失败,请重新刷机!"
UNPLUGGED = "USB连接断开，请重试!"
CUT = "下载更新包失败，可能是网络连接中断，请重试!"


def device_path(fixture):
    with open(fixture) as f:
        return "/sys" + f.readline().split(" ", 1)[1].strip()


class Program:
    """A started program whose standard output is read line by line as it comes."""

    def __init__(self, argv, env):
        self.process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self.lines = []
        self.stderr = b""
        self.readers = [threading.Thread(target=self.read, daemon=True),
                        threading.Thread(target=self.read_errors, daemon=True)]
        for reader in self.readers:
            reader.start()

    def read(self):
        for line in self.process.stdout:
            self.lines.append(line.decode("utf-8").rstrip("\n"))

    def read_errors(self):
        self.stderr = self.process.stderr.read()

    def events(self):
        return [json.loads(line) for line in list(self.lines)]

    def wait_event(self, name, count=1, seconds=180):
        return wait_until(lambda: sum(e["event"] == name for e in self.events()) >= count, seconds)

    def finish(self, seconds=240):
        self.process.wait(timeout=seconds)
        for reader in self.readers:
            reader.join(10)
        self.process.stdout.close()
        self.process.stderr.close()
        return self.process.returncode


class HeadlessRuns(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(HAPPY_COMMANDS, encoding="utf-8") as f:
            cls.happy = json.load(f)

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="zev-headless-")
        if not os.environ.get("ZEV_KEEP"):
            self.addCleanup(shutil.rmtree, self.folder, True)
        self.home = os.path.join(self.folder, "program")
        shutil.copytree(DIST, self.home, symlinks=True)
        shutil.rmtree(os.path.join(self.home, "Log"))
        os.makedirs(os.path.join(self.home, "Log"))
        os.remove(os.path.join(self.home, "fastbootfile", "adb"))
        shutil.copy(FASTBOOT_ADB, os.path.join(self.home, "fastbootfile", "adb"))
        os.makedirs(os.path.join(self.home, "Config"), exist_ok=True)
        with open(os.path.join(self.home, "Config", "settings.ini"), "w") as f:
            f.write("[LanguageSettingWidget]\nlanguage=zh_CN\n")
        self.runtime = os.path.join(self.folder, "runtime")
        os.makedirs(self.runtime, mode=0o700)
        self.argv_log = os.path.join(self.folder, "argv.log")
        self.testbed = UMockdev.Testbed.new()
        # Only what the peers need: no display, no Qt platform.
        self.env = {"HOME": os.path.join(self.folder, "adb-home"), "ANDROID_ADB_SERVER_PORT": "15151",
                    "XDG_RUNTIME_DIR": self.runtime, "ZEV_ADB_ARGV_LOG": self.argv_log,
                    "UMOCKDEV_DIR": self.testbed.get_root_dir(), "LD_PRELOAD": "libumockdev-preload.so.0"}
        os.makedirs(self.env["HOME"])
        # A sanitizer build's settings go along; ASan accepts umockdev's preload ahead of itself.
        self.sanitizers = {name: os.environ[name] for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS",
                                                               "TSAN_OPTIONS") if name in os.environ}
        self.env.update(self.sanitizers)
        self.env["ASAN_OPTIONS"] = self.env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
        self.sim = None
        self.plugged = False

    def tearDown(self):
        if self.sim:
            self.sim.stop()
        self.kill_adb_server()

    def kill_adb_server(self):
        subprocess.run([FASTBOOT_ADB, "kill-server"], env=dict(self.env, LD_PRELOAD="", ZEV_ADB_ARGV_LOG=""),
                       capture_output=True, timeout=30)

    def start_sim(self, scenario):
        # Each robot meets a fresh adb server, as after a cable is pulled: one that knew the robot
        # before could still be ending when the next run asks it.
        if self.sim:
            self.sim.stop()
        self.kill_adb_server()
        self.sim = simctl.Sim(scenario, tempfile.mkdtemp(prefix="robot-", dir=self.folder))
        ports = self.sim.start()
        os.makedirs(os.path.join(self.home, "config"), exist_ok=True)
        with open(os.path.join(self.home, "config", "config.json"), "w") as f:
            json.dump({"default_request_url": "http://127.0.0.1:%d" % ports["web"], "debugLog": True}, f)
        return ports

    def plug(self):
        self.assertTrue(self.testbed.add_from_file(ROBOT))
        self.testbed.uevent(device_path(ROBOT), "add")
        self.plugged = True

    def unplug(self):
        self.testbed.uevent(device_path(ROBOT), "remove")
        self.testbed.remove_device(device_path(ROBOT))
        self.plugged = False

    def start(self, *args, env=None):
        return Program([os.path.join(self.home, "Tarvo2_UpgradeTool")] + list(args), env or self.env)

    def commands(self):
        """The adb command lines, in the form of upgrade_commands.json."""
        if not os.path.exists(self.argv_log):
            return []
        with open(self.argv_log, encoding="utf-8") as f:
            recorded = [json.loads(line) for line in f if line.strip()]
        work = os.path.join(self.home, "download", "2M") + "/"
        return [[a.replace(work, "{home}/download/2M/") for a in line] for line in recorded]

    def planned(self, count):
        return [[a.replace("\\", "/") for a in line] for line in self.happy[:count]]

    def reports(self):
        return [(r["body"]["code"], r["body"]["serialNumber"])
                for r in self.sim.web_requests() if r["path"] == "/zev/version/addPcInstallStat"]

    def test_runs(self):
        hold_push = {"rules": [{"match": "shell:mkdir /sdcard/actions/*", "hang": True},
                               {"match": "sync:*", "unplug": True}]}

        def unplug_at_push(program):
            self.assertTrue(wait_until(lambda: any(c.startswith("shell:mkdir /sdcard/actions/")
                                                   for c in self.sim.commands()), 120))
            self.unplug()

        def plug_once_waiting(program):
            self.assertTrue(program.wait_event("waiting"))
            self.plug()

        def interrupt_in_download(program):
            self.assertTrue(wait_until(lambda: any(e.get("stage") == "download" for e in program.events()), 60))
            program.process.send_signal(signal.SIGINT)

        slow_download = {"web": {"faults": [{"target": "download", "rate": 400}]}}
        # name, scenario, plugged at the start, arguments, what happens meanwhile, exit status,
        # finish code and message, adb command lines (the first N of a whole upgrade's, and then
        # at most these), the report's code (None: none)
        cases = [
            ("success", {}, True, [], None, 0, 0, DONE, len(self.happy), [], 0),
            ("no robot", {}, False, [], None, 1, 40000, NO_ROBOT, 0, [], None),
            ("robot plugged while waiting", {}, False, ["--wait", "60"], plug_once_waiting, 0, 0, DONE,
             len(self.happy), [], 0),
            ("wrong MD5", {"web": {"answer": {"md5": "0123456789abcdef0123456789abcdef"}}}, True, [], None,
             1, 30002, MD5_BAD, 7, [], 30002),
            ("unplug during the push", hold_push, True, [], unplug_at_push, 1, 20002, UNPLUGGED, 8,
             [["kill-server"], self.happy[8]], 20002),
            # Ctrl+C: the download stops at once, nothing of it stays in the cache.
            ("interrupted in the download", slow_download, True, [], interrupt_in_download, 130, 30003,
             CUT, 7, [], 30003),
        ]
        for name, scenario, plugged, args, during, status, code, message, first, maybe, report in cases:
            with self.subTest(name):
                if os.path.exists(self.argv_log):
                    os.remove(self.argv_log)
                shutil.rmtree(os.path.join(self.home, "download"), True)
                self.start_sim(scenario)
                if plugged:
                    self.plug()
                program = self.start("--headless", "--json", *args)
                try:
                    if during:
                        during(program)
                    self.assertEqual(program.finish(), status, program.stderr)
                finally:
                    if self.plugged:
                        self.unplug()
                events = program.events()  # every line is JSON
                self.assertEqual(events[0]["event"], "start")
                last = events[-1]
                self.assertEqual((last["event"], last["code"], last["message"]), ("finish", code, message))
                if report is not None:
                    self.assertEqual(last["serialNumber"], SERIAL)
                recorded = self.commands()
                self.assertEqual(recorded[:first], self.planned(first))
                rest = recorded[first:]
                self.assertLessEqual(len(rest), len(maybe), rest)
                for command in rest:
                    self.assertIn([a.replace("\\", "/") for a in command], [
                        [a.replace("\\", "/") for a in m] for m in maybe])
                # The exit status comes after the report reached the web service.
                self.assertEqual(self.reports(), [] if report is None else [(report, SERIAL)])
                work = os.path.join(self.home, "download", "2M")
                self.assertEqual([f for f in os.listdir(work) if f.endswith(".part")] if os.path.isdir(work)
                                 else [], [])

    def test_plain_output_without_environment(self):
        # No environment but the single-instance token's folder (and a sanitizer build's settings):
        # no display, no locale.
        os.remove(os.path.join(self.home, "Config", "settings.ini"))
        program = self.start("--headless", env=dict(self.sanitizers, TMPDIR=self.runtime))
        self.assertEqual(program.finish(), 1, program.stderr)
        self.assertEqual(program.lines[-1], "Failure 40000: " + NO_ROBOT)
        self.assertEqual(self.commands(), [])

    def test_bad_arguments(self):
        for args in (["--headless", "--frobnicate"], ["--headless", "--wait"], ["--headless", "--wait", "soon"],
                     ["--headless", "--wait", "-1"], ["--json"], ["--headless", "robot"]):
            with self.subTest(args=args):
                program = self.start(*args)
                self.assertEqual(program.finish(), 2)
                self.assertEqual(program.lines, [])
                self.assertIn("Usage:", program.stderr.decode())
                self.assertFalse(os.path.exists(os.path.join(self.home, "Log")) and os.listdir(
                    os.path.join(self.home, "Log")), "a bad command line ran the program")
                self.assertEqual(self.commands(), [])

    def test_second_copy_and_interrupt_while_waiting(self):
        first = self.start("--headless", "--json", "--wait", "600")
        self.assertTrue(first.wait_event("waiting"))
        second = self.start("--headless", "--json")
        self.assertEqual(second.finish(), 3)
        self.assertEqual(second.lines, [])
        self.assertIn("The software instance is running now!", second.stderr.decode())
        first.process.send_signal(signal.SIGINT)
        self.assertEqual(first.finish(), 130)
        self.assertEqual([e["event"] for e in first.events()], ["start", "waiting", "interrupted"])
        self.assertEqual(self.commands(), [])

    def test_loop_of_two_robots(self):
        program = None
        web = {"port": 0}
        for number, serial in enumerate(("TV2A17030001", "TV2B18040002"), 1):
            # A robot of its own on the web service's address the program read at its start.
            web["port"] = self.start_sim({"service": {"serial": serial}, "web": web})["web"]
            self.plug()
            if program is None:
                program = self.start("--headless", "--json", "--loop")
            self.assertTrue(program.wait_event("robot", number), program.lines)
            self.unplug()
            self.assertTrue(program.wait_event("waiting", number), program.lines)
        program.process.send_signal(signal.SIGINT)
        self.assertEqual(program.finish(), 130, program.stderr)
        robots = [(e["serialNumber"], e["code"]) for e in program.events() if e["event"] == "robot"]
        self.assertEqual(robots, [("TV2A17030001", 0), ("TV2B18040002", 0)])
        self.assertEqual(program.events()[-1]["event"], "interrupted")
        self.assertEqual(self.commands(), self.planned(len(self.happy)) * 2)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
