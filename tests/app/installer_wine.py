#!/usr/bin/python3
"""The Windows packages as cpack makes them: the .zip holds the shipped folder, and the per-user
installer, run silently under Wine, installs into the user's local programs folder with a Start
menu shortcut and an uninstall entry; the installed program starts and writes its daily log beside
itself; the silent uninstaller leaves only the logs and downloads, or nothing with /REMOVEDATA."""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from program_wine import DIST, WINE_RUN, day_log, wait_until, wine  # noqa: E402

APP = "Tarvo2_UpgradeTool"
UNINST_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall" + "\\" + APP
# What the program writes into its folder while it runs; the packages ship these folders empty.
RUNTIME_FOLDERS = ("Log", "config", "Config", "download")


def unix_folder(variable):
    windows = wine("cmd", "/c", "echo", "%" + variable + "%").stdout.decode().strip()
    return wine("winepath", "-u", windows).stdout.decode().strip()


def files_below(top):
    return {os.path.relpath(os.path.join(d, f), top).replace(os.sep, "/")
            for d, _, names in os.walk(top) for f in names}


def holds(path, text):
    try:
        with open(path, "rb") as f:
            return text in f.read()
    except FileNotFoundError:
        return False


def key_exists():
    return wine("reg", "query", UNINST_KEY).returncode == 0


class Packages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = tempfile.mkdtemp(prefix="zev-packages-")
        cls.addClassCleanup(shutil.rmtree, cls.out, True)
        subprocess.run([os.environ["ZEV_CPACK"], "--config", os.environ["ZEV_CPACK_CONFIG"],
                        "-B", cls.out], check=True, stdout=subprocess.DEVNULL, timeout=180)
        cls.setup = glob.glob(os.path.join(cls.out, APP + "-*-win64-setup.exe"))[0]
        cls.zip = glob.glob(os.path.join(cls.out, APP + "-*-win64.zip"))[0]
        cls.home = os.path.join(unix_folder("LOCALAPPDATA"), "Programs", APP)
        cls.shortcut = os.path.join(unix_folder("APPDATA"),
                                    "Microsoft/Windows/Start Menu/Programs", APP + ".lnk")

    def setUp(self):
        self.forget_installation()
        self.addCleanup(self.forget_installation)

    def forget_installation(self):
        shutil.rmtree(self.home, True)
        if os.path.exists(self.shortcut):
            os.remove(self.shortcut)
        wine("reg", "delete", UNINST_KEY, "/f")

    def install(self):
        self.assertEqual(wine(self.setup, "/S").returncode, 0)
        self.assertTrue(os.path.isfile(os.path.join(self.home, APP + ".exe")))

    def uninstall(self, *switches):
        # The uninstaller copies itself to %TEMP% and returns at once; the copy does the work.
        uninstaller = os.path.join(self.home, "Uninstall.exe")
        self.assertEqual(wine(uninstaller, "/S", *switches).returncode, 0)

    def test_zip_holds_the_shipped_folder(self):
        with zipfile.ZipFile(self.zip) as z:
            # Below one top folder named like the .zip.
            packed = {n.split("/", 1)[1] for n in z.namelist() if not n.endswith("/")}
        shipped = {f for f in files_below(DIST) if f.split("/")[0] not in RUNTIME_FOLDERS}
        self.assertEqual(packed, shipped)

    def test_install_run_and_uninstall_keeping_logs_and_downloads(self):
        self.install()
        self.assertTrue(os.path.isfile(self.shortcut))
        entry = wine("reg", "query", UNINST_KEY).stdout.decode(errors="replace")
        for name in ("DisplayName", "DisplayVersion", "InstallLocation", "EstimatedSize",
                     "NoModify", "NoRepair"):
            self.assertIn(name, entry)
        self.assertIn(r'\Uninstall.exe" /S', entry)  # QuietUninstallString

        # As on a user's machine: nothing but the installed folder to load from.
        env = dict(os.environ, ZEV_WINE_PLAIN="1")
        env.pop("QT_QPA_PLATFORM", None)  # the real Windows platform plugin, on the X server
        log = day_log(self.home)
        program = subprocess.Popen([WINE_RUN, os.path.join(self.home, APP + ".exe")], env=env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        try:
            started = wait_until(lambda: holds(log, b"UpgradeTool start."), 90)
        finally:
            program.terminate()
            program.wait(timeout=30)
        self.assertTrue(started, "the installed program wrote no daily log beside itself")
        cached = os.path.join(self.home, "download", "2M", "package.zip")
        with open(cached, "wb") as f:
            f.write(b"cached")

        self.uninstall()
        self.assertTrue(wait_until(lambda: not key_exists()), "the uninstall entry stayed")
        self.assertEqual(files_below(self.home),
                         {"Log/" + os.path.basename(log), "download/2M/package.zip"})
        self.assertLessEqual(set(os.listdir(self.home)), {"Log", "download"})
        self.assertFalse(os.path.exists(self.shortcut))

    def test_uninstall_removes_logs_and_downloads_when_asked(self):
        self.install()
        for kept in ("Log/2000-01-01.log", "download/5M/package.zip"):
            with open(os.path.join(self.home, kept), "w") as f:
                f.write("x")
        self.uninstall("/REMOVEDATA")
        self.assertTrue(wait_until(lambda: not os.path.exists(self.home)),
                        "left: %s" % sorted(files_below(self.home)))
        self.assertFalse(key_exists())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
