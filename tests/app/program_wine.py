#!/usr/bin/python3
"""The Windows program from a copy of dist/ under Wine, on the suite's virtual X server: its frameless
window is 700 x 400, a second copy shows the warning box (the Chinese prefix loads its
translation), exits 0 once the box is answered, and every daily log line ends in CR LF. From a
folder its user cannot write, its log and work folders go to that user's application data folder
with no line lost."""
import datetime
import glob
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "robot-sim"))
from simctl import wait_until  # noqa: E402,F401 (the upgrade's and installer's tests take it from here too)

WINE_RUN = os.environ["ZEV_WINE_RUN"]
DIST = os.environ["ZEV_DIST_DIR"]


# Helpers of the Windows program's tests under Wine (this file's and the upgrade's, installer's).
def wine(*args, env=None, timeout=120):
    return subprocess.run([WINE_RUN, *args], env=env, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout)


def day_log(folder):
    """The day's log file in `folder`'s Log/."""
    return os.path.join(folder, "Log", datetime.date.today().strftime("%Y-%m-%d") + ".log")


def copy_of_dist(test, prefix, **copy_options):
    """A copy of dist/ in a folder of `test`'s own (the program makes its work folders and log
    beside itself): the folder and the copy."""
    folder = tempfile.mkdtemp(prefix=prefix)
    test.addCleanup(shutil.rmtree, folder, True)
    home = os.path.join(folder, "dist")
    shutil.copytree(DIST, home, **copy_options)
    return folder, home


def xdotool(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=10)


def wait_window(title, seconds=90):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        found = xdotool("search", "--onlyvisible", "--name", title).stdout.split()
        if found:
            return found[0]
        time.sleep(0.2)
    return None


def pe_subsystem(path):
    """The subsystem field of a PE file's optional header: 2 is a window program, 3 a console one."""
    with open(path, "rb") as f:
        head = f.read(4096)
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    return struct.unpack_from("<H", head, pe + 24 + 68)[0]


def start(program, **extra_env):
    env = dict(os.environ, **extra_env)
    env.pop("QT_QPA_PLATFORM", None)  # the real Windows platform plugin, on the X server
    env.pop("ZEV_QTEST_LOG", None)
    return subprocess.Popen([WINE_RUN, program], env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class ProgramUnderWine(unittest.TestCase):
    def setUp(self):
        self.folder, self.home = copy_of_dist(self, "zev-winprogram-")

    def test_window_second_copy_and_log(self):
        program = os.path.join(self.home, "Tarvo2_UpgradeTool.exe")
        # Started from the Start menu, a console program would open a console beside the dialog.
        self.assertEqual(pe_subsystem(program), 2)
        log = day_log(self.home)
        before = os.path.getsize(log) if os.path.exists(log) else 0
        first = start(program)
        try:
            window = wait_window("^Tarvo2")  # "Tarvo2_UpgradeTool", translated in the Chinese prefix
            self.assertIsNotNone(window, "the main window did not show")
            shape = dict(line.split("=", 1) for line in
                         xdotool("getwindowgeometry", "--shell", window).stdout.split())
            self.assertEqual((shape["WIDTH"], shape["HEIGHT"]), ("700", "400"))

            second = start(program)
            try:
                box = wait_window("^(Warnning|警告)$")
                self.assertIsNotNone(box, "the second copy showed no warning")
                xdotool("windowfocus", "--sync", box)
                xdotool("key", "--window", box, "Return")
                self.assertEqual(second.wait(timeout=60), 0)
            finally:
                if second.poll() is None:
                    second.kill()
                    second.wait(timeout=10)
            self.assertIsNone(first.poll(), "the first copy did not survive the second")
        finally:
            first.terminate()
            first.wait(timeout=30)

        with open(log, "rb") as f:
            f.seek(before)
            content = f.read()
        self.assertTrue(content.endswith(b"\r\n"))
        self.assertEqual(content.count(b"\n"), content.count(b"\r\n"))
        self.assertEqual(content.count(b"UpgradeTool start."), 2)
        self.assertEqual(content.count(b"UpgradeTool exit with already running."), 1)


NOBODY = 65534


class ReadOnlyFolderUnderWine(unittest.TestCase):
    """Wine lets root write anywhere, whatever the attributes say: as root, the program runs as
    "nobody" in a prefix of that user's own (made here, which takes Wine a while)."""

    def setUp(self):
        self.folder, self.home = copy_of_dist(self, "zev-winreadonly-",
                                              ignore=shutil.ignore_patterns("Log", "download"))
        os.chmod(self.folder, 0o755)
        os.mkdir(os.path.join(self.home, "Log"))
        os.makedirs(os.path.join(self.home, "config"), exist_ok=True)
        # Read beside the program though it writes elsewhere: the diagnostic line shows it.
        with open(os.path.join(self.home, "config", "config.json"), "w") as f:
            f.write('{"debugLog": true}')
        self.user = os.path.join(self.folder, "user")
        os.mkdir(self.user)
        self.env = dict(os.environ, HOME=self.user, TMPDIR=self.user,
                        ZEV_WINEPREFIX=os.path.join(self.user, "prefix"))
        self.env.pop("ZEV_QTEST_LOG", None)
        # The shipped folder's own platform plugin: the toolchain's lie where "nobody" cannot read.
        self.env.pop("QT_QPA_PLATFORM", None)
        self.as_user = []
        if os.geteuid() == 0:
            setpriv = shutil.which("setpriv")
            if not setpriv:
                self.skipTest("running as root without setpriv: no folder is read-only")
            self.as_user = [setpriv, f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups"]
            build = os.path.dirname(WINE_RUN)
            if subprocess.run(self.as_user + ["test", "-x", WINE_RUN, "-a", "-r", build + "/locale"],
                              timeout=30).returncode != 0:
                self.skipTest("the build folder lies where \"nobody\" cannot reach it")
            if os.environ.get("XAUTHORITY"):  # the virtual X server lets in its cookie's holders
                self.env["XAUTHORITY"] = os.path.join(self.user, ".Xauthority")
                shutil.copy(os.environ["XAUTHORITY"], self.env["XAUTHORITY"])
            for path in (self.user, *glob.glob(os.path.join(self.user, "*"))):
                os.chown(path, NOBODY, NOBODY)
        else:
            for path in (self.home, os.path.join(self.home, "Log")):
                os.chmod(path, 0o555)
            self.addCleanup(os.chmod, os.path.join(self.home, "Log"), 0o755)
            self.addCleanup(os.chmod, self.home, 0o755)
        self.addCleanup(subprocess.run, self.as_user + ["wineserver", "-k"],
                        env=dict(self.env, WINEPREFIX=self.env["ZEV_WINEPREFIX"]),
                        stderr=subprocess.DEVNULL, timeout=30)

    def test_log_lands_in_app_data(self):
        program = os.path.join(self.home, "Tarvo2_UpgradeTool.exe")
        tool = subprocess.Popen(self.as_user + [WINE_RUN, program], env=self.env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        pattern = os.path.join(self.user, "prefix", "drive_c", "users", "*", "AppData", "Local",
                               "Tarvo2_UpgradeTool")
        data = None
        end = time.monotonic() + 180  # the first start in a new prefix boots it
        while time.monotonic() < end and tool.poll() is None:
            found = glob.glob(os.path.join(pattern, "download", "5M"))
            if found:
                data = os.path.dirname(os.path.dirname(found[0]))
                break
            time.sleep(0.2)
        subprocess.run(self.as_user + ["wineserver", "-k"],
                       env=dict(self.env, WINEPREFIX=self.env["ZEV_WINEPREFIX"]), timeout=30)
        tool.wait(timeout=30)
        self.assertIsNotNone(data, "no work folders in the user's application data folder")

        log = day_log(data)
        with open(log, "rb") as f:
            content = f.read()
        self.assertEqual(content.count(b"\n"), content.count(b"\r\n"))
        lines = content.decode("gbk").splitlines()
        info = [line.split("] ", 1)[1] for line in lines if line.startswith("[TarvoRobot::Info ")]
        adb = "Z:" + self.home.replace("/", "\\") + "\\fastbootfile\\adb.exe"
        self.assertEqual(info, ["*" * 68, "create log", "UpgradeTool start.", f"adb path:{adb}."])
        where = [line for line in lines
                 if line.startswith("[TarvoRobot::Debug ") and "The program's folder" in line]
        self.assertEqual(len(where), 1, lines)
        self.assertIn("\\AppData\\Local\\Tarvo2_UpgradeTool", where[0])
        self.assertEqual(os.listdir(os.path.join(self.home, "Log")), [])
        self.assertFalse(os.path.exists(os.path.join(self.home, "download")))


if __name__ == "__main__":
    unittest.main(verbosity=2)  # a class name as argument runs only that class
