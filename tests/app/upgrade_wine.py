#!/usr/bin/python3
"""Whole upgrades of the Windows program under Wine against the simulated robot, one case a row.

The copy of dist/ gets the test peers in the system's place: fastbootfile/adb.exe is the fake adb
in relay mode (it records its arguments and has the suite's relay run tools/robot-sim/fastboot-adb,
so Debian's adb does the work: a program under Wine cannot wait for a Linux one), libusb-1.0.dll reads its bus from
usb-devices.txt, and devchange.exe sends the WM_DEVICECHANGE messages Windows sends when the robot
comes or goes. clipboard.exe reads back the finish box's text, which Ctrl+C copies."""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from program_wine import (WINE_RUN, copy_of_dist, day_log, pe_subsystem, start, wait_until, wait_window,  # noqa: E402
                          wine, xdotool)

SOURCE = os.environ["ZEV_SOURCE_DIR"]
PEERS = os.environ["ZEV_WIN_PEERS"]
sys.path.insert(0, os.path.join(SOURCE, "tools", "robot-sim"))
import simctl  # noqa: E402

FASTBOOT_ADB = os.path.join(SOURCE, "tools", "robot-sim", "fastboot-adb")
ROBOT = "18d1:4e26"
ROBOT_INTERFACE = r"\\?\USB#VID_18D1&PID_4E26#TV2A17030001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"
SERIAL = "TV2A17030001"
SERVICE_ACTIVITY = "com.norvikinc.tarvo2services/com.norvikinc.tarvo2services.MainActivity"
SUCCESS, FAILURE = "^(Success|成功)$", "^(Failure|失败)$"

# The adb command lines of a whole upgrade of the default robot, {home} standing for the program's
# folder; the Linux workflow test checks its runs against the same list.
HAPPY_COMMANDS = os.path.join(SOURCE, "tests", "support", "upgrade_commands.json")


class UpgradeUnderWine(unittest.TestCase):
    def setUp(self):
        self.folder, self.home = copy_of_dist(self, "zev-winupgrade-")
        shutil.copy(os.path.join(PEERS, "usbdouble", "libusb-1.0.dll"), self.home)
        fastboot = os.path.join(self.home, "fastbootfile")
        shutil.copy(os.path.join(PEERS, "fakeadb.exe"), os.path.join(fastboot, "adb.exe"))
        self.argv_log = os.path.join(fastboot, "argv.log")

        adb_home = os.path.join(self.folder, "adb-home")
        os.makedirs(adb_home)
        # adb.exe has the suite's relay run the wrapper: Debian's adb, with a server of this test's.
        adb_env = {"HOME": adb_home, "ANDROID_ADB_SERVER_PORT": "15146", "LD_PRELOAD": None}
        self.adb_env = dict(os.environ, **{k: v for k, v in adb_env.items() if v is not None})
        self.adb_env.pop("LD_PRELOAD", None)
        with open(os.path.join(fastboot, "relay.json"), "w") as f:
            json.dump({"program": FASTBOOT_ADB, "env": adb_env}, f)

    def set_usb(self, *devices):
        with open(os.path.join(self.home, "usb-devices.txt"), "w") as f:
            f.write("".join(d + "\n" for d in devices))

    def begin(self, scenario, usb, trusted_keys):
        shutil.rmtree(os.path.join(self.home, "download"), True)
        for leftover in ("pending_reports.json", "fastbootfile/argv.log"):
            if os.path.exists(os.path.join(self.home, leftover)):
                os.remove(os.path.join(self.home, leftover))
        self.set_usb(*usb)
        self.sim = simctl.Sim(scenario, tempfile.mkdtemp(prefix="robot-", dir=self.folder))
        ports = self.sim.start()
        os.makedirs(os.path.join(self.home, "config"), exist_ok=True)
        with open(os.path.join(self.home, "config", "config.json"), "w") as f:
            # The diagnostic lines tell how the run ended.
            config = {"default_request_url": "http://127.0.0.1:%d" % ports["web"], "debugLog": True}
            json.dump(dict(config, trusted_keys=trusted_keys) if trusted_keys else config, f)

    def end(self):
        self.sim.stop()
        subprocess.run([FASTBOOT_ADB, "kill-server"], env=self.adb_env, capture_output=True, timeout=30)

    def devchange(self, event):
        run = wine(os.path.join(PEERS, "devchange.exe"), event, ROBOT_INTERFACE, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr.decode(errors="replace"))

    def run_program(self, during, message, settled):
        """Starts the program, presses its start button, runs `during`, waits for the finish box
        and for `settled`. Returns the box's title pattern, its lines (title, `message` when it
        shows that, then its buttons) and the day's log the run added."""
        log = day_log(self.home)
        before = os.path.getsize(log) if os.path.exists(log) else 0
        program = start(os.path.join(self.home, "Tarvo2_UpgradeTool.exe"))
        try:
            window = wait_window("^Tarvo2")
            self.assertIsNotNone(window, "the main window did not show")
            xdotool("mousemove", "--window", window, "350", "168", "click", "1")  # the start button
            during()
            found = None
            end = time.monotonic() + 120
            while found is None and time.monotonic() < end:
                found = next((t for t in (SUCCESS, FAILURE) if wait_window(t, 0.2)), None)
            self.assertIsNotNone(found, "no finish box")
            # Ctrl+C to the box, which has the focus once it is up: on a busy machine the first
            # press may come before the box takes keys, so it is pressed again until copied.
            box = []

            def copied():
                nonlocal box
                xdotool("key", "ctrl+c")
                box = self.clipboard()
                return message in box
            wait_until(copied, 30)
            # A run past the base information reports its end while the box shows.
            wait_until(settled, 10)
        finally:
            program.terminate()
            program.wait(timeout=30)
            # A busy X server drops the ended program's windows a moment later: the next case must
            # not take them for its own.
            wait_until(lambda: not xdotool("search", "--onlyvisible", "--name", "^Tarvo2|%s|%s"
                                           % (SUCCESS, FAILURE)).stdout.strip(), 30)
        with open(log, "rb") as f:
            f.seek(before)
            return found, box, f.read().decode("utf-8")

    def clipboard(self):
        run = wine(os.path.join(PEERS, "clipboard.exe"), timeout=60)
        return [line for line in run.stdout.decode("utf-8").splitlines() if not line.startswith("---")]

    def reports(self):
        """(code, serial number, robot type) of each report the web service got."""
        return [(r["body"]["code"], r["body"]["serialNumber"], r["body"]["robotType"])
                for r in self.sim.web_requests() if r["path"] == "/zev/version/addPcInstallStat"]

    def recorded_commands(self):
        """What adb.exe was run with, the program's folder written {home}."""
        if not os.path.exists(self.argv_log):
            return []
        windows_home = "Z:" + self.home.replace("/", "\\")
        homes = (windows_home, windows_home.replace("\\", "/"))
        with open(self.argv_log, encoding="utf-8") as f:
            return [[re.sub("^(%s)" % "|".join(map(re.escape, homes)), "{home}", a) for a in json.loads(line)]
                    for line in f if line.strip()]

    def unplug_at(self, service):
        """The cable comes out while the robot holds `service`: the USB device goes and the
        program is told."""
        def during():
            self.assertTrue(wait_until(lambda: any(c.startswith(service) for c in self.sim.commands()), 60),
                            "the robot never got " + service)
            self.set_usb()
            self.devchange("remove")
        return during

    def test_upgrades(self):
        with open(HAPPY_COMMANDS, encoding="utf-8") as f:
            happy = json.load(f)
        # The robot holds the push's first command; the cable is out when the next one reaches it.
        # (Killing the simulator instead would free the adb ports for another test's simulator.)
        hold_push = {"rules": [{"match": "shell:mkdir /sdcard/actions/*", "hang": True},
                               {"match": "sync:*", "unplug": True}]}
        wrong_md5 = {"web": {"answer": {"md5": "0123456789abcdef0123456789abcdef"}}}
        # A publisher's key, made now with Debian's minisign; the web service signs with it.
        key = os.path.join(self.folder, "publisher")
        subprocess.run(["minisign", "-G", "-W", "-p", key + ".pub", "-s", key + ".key"], check=True,
                       capture_output=True)
        with open(key + ".pub") as f:
            trusted = [f.read().splitlines()[1]]
        signed = {"web": {"signature": {"key": key + ".key"}}}
        # name, scenario, USB devices at the start, what happens during the run, finish code and
        # message, adb command lines (the first N of a whole upgrade's, then these in any order,
        # then at most these), the report's code (None: none), log lines in order[, trusted keys]
        cases = [
            ("success", {}, [ROBOT], None, 0, "刷机完成，请等待机器人重新启动！", (len(happy), [], []), 0,
             ["testUsbConnectRobot", "get robot serialnum start...",
              "read serialnum : %s sucessfull..." % SERIAL, "Get robot version sucessfull!",
              "Start downloading...", "Extract the upgrade zip file...",
              "rooting please wait for about three minitues...",
              "adb push actions finished files total: [ 5 ] successed : [ 5 ]",
              "adb install [ Tarvo2Services.apk ] successful : ["]),
            ("signed", signed, [ROBOT], None, 0, "刷机完成，请等待机器人重新启动！", (len(happy), [], []), 0,
             ["Start downloading...", "Package signature verified, key id", "adb install [ Tarvo2Services.apk ] successful : ["],
             trusted),
            ("no robot", {}, [], None, 40000, "未检测到机器人版本,请检查USB连接是否正常!", (0, [], []), None,
             ["testUsbConnectRobot", "usb not connect or robot shutdown!"]),
            ("wrong MD5", wrong_md5, [ROBOT], None, 30002, "MD5校验失败,请重新刷机!", (7, [], []), 30002,
             ["Get robot version sucessfull!", "Start downloading...", "Extract the upgrade zip file..."]),
            ("unsigned, a key trusted", {}, [ROBOT], None, 30004, "无法验证升级包的签名!", (7, [], []), 30004,
             ["Start downloading...", "Package refused: no signature, key id none:",
              "Extract the upgrade zip file..."], trusted),
            # The unplug stops adb's server and ends every adb.exe; the push goes on to its next file,
            # which fails (or is ended before it started).
            ("unplug during push", hold_push, [ROBOT], self.unplug_at("shell:mkdir /sdcard/actions/"),
             20002, "USB连接断开，请重试!", (8, [["kill-server"]], [happy[8]]), 20002,
             ["Get robot version sucessfull!", "rooting please wait for about three minitues..."]),
        ]
        for name, scenario, usb, during, code, message, commands, report, lines, *keys in cases:
            with self.subTest(name):
                self.begin(scenario, usb, keys[0] if keys else [])
                self.addCleanup(self.sim.stop)
                reports = [] if report is None else [(report, SERIAL, 0)]
                try:
                    title, box, log = self.run_program(during or (lambda: None), message,
                                                       lambda: self.reports() == reports)
                finally:
                    self.end()
                self.assertEqual(title, SUCCESS if code == 0 else FAILURE)
                self.assertEqual(box[:2], ["成功" if code == 0 else "失败", message])
                self.assertEqual(re.findall(r"\] Upgrade finished, code: (-?\d+)\r\n", log), [str(code)], log)
                first, then, maybe = commands
                recorded = self.recorded_commands()
                self.assertEqual(recorded[:first], happy[:first])
                rest = recorded[first:]
                for command in then:
                    self.assertIn(command, rest)
                    rest.remove(command)
                self.assertLessEqual(len(rest), len(maybe), (rest, log))
                for command in rest:
                    self.assertIn(command, maybe)
                self.assertEqual(self.reports(), reports)
                at = 0
                for line in lines:
                    at = log.find("] " + line, at)
                    self.assertGreaterEqual(at, 0, (line, log))
                self.assertEqual(log.count("\n"), log.count("\r\n"))
                if code == 0:
                    self.assertIn(SERVICE_ACTIVITY, self.sim.device_state()["started"])
                if code == 30004:  # the refused package and its signature left the cache
                    self.assertEqual(os.listdir(os.path.join(self.home, "download", "2M")), [])

    def test_headless_console_twin(self):
        """Tarvo2_UpgradeTool.com, as cmd.exe finds it: a console program whose standard output
        holds the JSON lines and whose exit status is the result."""
        with open(HAPPY_COMMANDS, encoding="utf-8") as f:
            happy = json.load(f)
        twin = os.path.join(self.home, "Tarvo2_UpgradeTool.com")
        self.assertEqual(pe_subsystem(twin), 3)
        wrong_md5 = {"web": {"answer": {"md5": "0123456789abcdef0123456789abcdef"}}}
        # name, scenario, exit status, finish code and message, adb command lines (the first N)
        for name, scenario, status, code, message, first in [
                ("success", {}, 0, 0, "刷机完成，请等待机器人重新启动！", len(happy)),
                ("wrong MD5", wrong_md5, 1, 30002, "MD5校验失败,请重新刷机!", 7)]:
            with self.subTest(name):
                self.begin(scenario, [ROBOT], [])
                self.addCleanup(self.sim.stop)
                try:
                    run = wine(twin, "--headless", "--json", timeout=180)
                finally:
                    self.end()
                self.assertEqual(run.returncode, status, run.stderr.decode(errors="replace"))
                events = [json.loads(line) for line in run.stdout.decode("utf-8").splitlines()]
                self.assertEqual(events[0]["event"], "start")
                self.assertEqual((events[-1]["event"], events[-1]["code"], events[-1]["message"],
                                  events[-1]["serialNumber"]), ("finish", code, message, SERIAL))
                recorded = self.recorded_commands()
                self.assertEqual(recorded[:first], happy[:first])
                self.assertEqual(len(recorded), first)
                self.assertEqual(self.reports(), [(code, SERIAL, 0)])

    def test_headless_ctrl_c(self):
        """Ctrl+C to the console twin while --loop waits for a robot: Wine hands a SIGINT to the
        program's console handlers as Windows hands them Ctrl+C, and the mode ends with 130."""
        self.set_usb()
        # wine-run keeps the program's output in a file of TMPDIR until it ends: read there live.
        spool = tempfile.mkdtemp(prefix="spool-", dir=self.folder)
        runner = subprocess.Popen([WINE_RUN, os.path.join(self.home, "Tarvo2_UpgradeTool.com"),
                                   "--headless", "--json", "--loop"], env=dict(os.environ, TMPDIR=spool),
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(lambda: runner.poll() is None and (runner.terminate(), runner.wait(30)))

        def spooled(prefix):
            names = [n for n in os.listdir(spool) if n.startswith(prefix)]
            if not names:
                return ""
            with open(os.path.join(spool, names[0]), "rb") as f:
                return f.read().decode("utf-8", "replace")
        self.assertTrue(wait_until(lambda: '"event":"waiting"' in spooled("zev-wine-out."), 120),
                        spooled("zev-wine-err."))
        with open("/proc/%d/task/%d/children" % (runner.pid, runner.pid)) as f:
            program = int(f.read().split()[0])  # wine-run's one child: the program's Wine process
        os.kill(program, signal.SIGINT)
        out, err = runner.communicate(timeout=60)
        self.assertEqual(runner.returncode, 130, err.decode(errors="replace"))
        self.assertEqual([json.loads(line)["event"] for line in out.decode("utf-8").splitlines()],
                         ["start", "waiting", "interrupted"])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
