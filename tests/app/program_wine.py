#!/usr/bin/python3
"""The Windows program from a copy of dist/ under Wine, on the suite's virtual X server: its frameless
window is 700 x 400, a second copy shows the warning box (the Chinese prefix loads its
translation), exits 0 once the box is answered, and every daily log line ends in CR LF."""
import datetime
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

WINE_RUN = os.environ["ZEV_WINE_RUN"]
DIST = os.environ["ZEV_DIST_DIR"]


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


def start(program, **extra_env):
    env = dict(os.environ, **extra_env)
    env.pop("QT_QPA_PLATFORM", None)  # the real Windows platform plugin, on the X server
    env.pop("ZEV_QTEST_LOG", None)
    return subprocess.Popen([WINE_RUN, program], env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class ProgramUnderWine(unittest.TestCase):
    def setUp(self):
        # A copy: the program makes its work folders and log beside itself.
        self.folder = tempfile.mkdtemp(prefix="zev-winprogram-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.home = os.path.join(self.folder, "dist")
        shutil.copytree(DIST, self.home)

    def test_window_second_copy_and_log(self):
        program = os.path.join(self.home, "Tarvo2_UpgradeTool.exe")
        log = os.path.join(self.home, "Log", datetime.date.today().strftime("%Y-%m-%d") + ".log")
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


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
