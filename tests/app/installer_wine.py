#!/usr/bin/python3
"""The Windows packages as cpack makes them: the .zip holds the shipped folder, and the per-user
installer, run silently under Wine, installs into the user's local programs folder with a Start
menu shortcut and an uninstall entry; the installed program starts and writes its daily log beside
itself; the silent uninstaller leaves only the logs and downloads, or nothing with /REMOVEDATA.
Without a signing certificate the packages carry the built files unchanged."""
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
# The programs and libraries the build signs when it has a certificate.
SIGNED = os.environ["ZEV_SIGNED_FILES"].split(",")


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
    # No certificate, whatever the build folder's cache or the caller's environment holds.
    sign_env = dict.fromkeys(("ZEV_SIGN_PKCS12", "ZEV_SIGN_CERT", "ZEV_SIGN_KEY",
                              "ZEV_SIGN_TIMESTAMP_URL"), "")

    @classmethod
    def setUpClass(cls):
        cls.out = tempfile.mkdtemp(prefix="zev-packages-")
        cls.addClassCleanup(shutil.rmtree, cls.out, True)
        subprocess.run([os.environ["ZEV_CPACK"], "--config", os.environ["ZEV_CPACK_CONFIG"],
                        "-B", cls.out], check=True, stdout=subprocess.DEVNULL, timeout=180,
                       env=dict(os.environ, **cls.sign_env))
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

    def check_packed(self, name, data, built):
        self.assertEqual(data, built)

    def test_zip_holds_the_shipped_folder(self):
        with zipfile.ZipFile(self.zip) as z:
            # Below one top folder named like the .zip.
            packed = {n.split("/", 1)[1]: z.read(n) for n in z.namelist() if not n.endswith("/")}
        shipped = {f for f in files_below(DIST) if f.split("/")[0] not in RUNTIME_FOLDERS}
        self.assertEqual(set(packed), shipped)
        for name, data in packed.items():
            with self.subTest(name), open(os.path.join(DIST, name), "rb") as f:
                self.check_packed(name, data, f.read())

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
        self.assertTrue(wait_until(lambda: not key_exists(), 60), "the uninstall entry stayed")
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
        self.assertTrue(wait_until(lambda: not os.path.exists(self.home), 60),
                        "left: %s" % sorted(files_below(self.home)))
        self.assertFalse(key_exists())


class SignedPackages(Packages):
    """With a certificate of a test CA: the installer, its uninstaller and our files (installed
    and in the .zip) carry SHA-256 signatures, the toolchain's DLLs ship as built, and a changed
    byte fails."""

    @classmethod
    def setUpClass(cls):
        keys = tempfile.mkdtemp(prefix="zev-signing-")
        cls.addClassCleanup(shutil.rmtree, keys, True)
        cls.ca, leaf, p12, password = (os.path.join(keys, f)
                                       for f in ("ca.pem", "leaf.pem", "leaf.p12", "password"))
        with open(password, "w") as f:
            f.write("not a secret\n")
        for args in (["req", "-x509", "-subj", "/CN=Test CA", "-keyout", "ca.key", "-out", cls.ca],
                     ["req", "-x509", "-subj", "/CN=Tarvo Robotics", "-keyout", "leaf.key",
                      "-CA", cls.ca, "-CAkey", "ca.key", "-addext", "basicConstraints=CA:FALSE",
                      "-addext", "extendedKeyUsage=codeSigning", "-out", leaf]):
            subprocess.run(["openssl", *args, "-newkey", "rsa:2048", "-nodes", "-days", "2"],
                           cwd=keys, check=True, capture_output=True)
        subprocess.run(["openssl", "pkcs12", "-export", "-inkey", "leaf.key", "-in", leaf,
                        "-passout", "file:" + password, "-out", p12], cwd=keys, check=True)
        cls.sign_env = dict(Packages.sign_env, ZEV_SIGN_PKCS12=p12, ZEV_SIGN_PASSWORD_FILE=password)
        super().setUpClass()

    def verify(self, data):
        with tempfile.NamedTemporaryFile() as f:
            f.write(data)
            f.flush()
            return subprocess.run(["osslsigncode", "verify", "-CAfile", self.ca, "-in", f.name],
                                  capture_output=True, text=True, timeout=60)

    def assertSigned(self, data):
        result = self.verify(data)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("Message digest algorithm  : SHA256", result.stdout)

    def check_packed(self, name, data, built):
        if name in SIGNED or name.endswith((".exe", ".com")):  # every program shipped is ours
            self.assertSigned(data)
        else:
            super().check_packed(name, data, built)

    def install(self):
        super().install()
        for path in [self.setup] + [os.path.join(self.home, n) for n in SIGNED + ["Uninstall.exe"]]:
            with self.subTest(os.path.basename(path)), open(path, "rb") as f:
                self.assertSigned(f.read())

    def test_a_changed_byte_is_refused(self):
        with zipfile.ZipFile(self.zip) as z, open(self.setup, "rb") as f:
            program = z.read(next(n for n in z.namelist() if n.endswith("/" + SIGNED[0])))
            rows = (("installer", f.read()), ("program", program))
        for name, data in rows:
            with self.subTest(name):
                changed = bytearray(data)
                changed[len(changed) // 2] ^= 1
                result = self.verify(bytes(changed))
                self.assertNotEqual(result.returncode, 0)
                self.assertIn("MISMATCH", result.stdout)


if __name__ == "__main__":
    unittest.main(argv=sys.argv, verbosity=2)
