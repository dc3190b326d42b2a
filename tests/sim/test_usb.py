"""The USB fixtures seen through the real libusb under umockdev, and adb running under its preload."""

import os
import subprocess
import sys
import unittest

import simtest

FIXTURES = {"18d1:4e26": "tarvo2-18d1-4e26.umockdev", "2207:0011": "tarvo2-2207-0011.umockdev",
            "2207:0010": "tarvo2-2207-0010.umockdev", "2207:0012": "unknown-2207-0012.umockdev"}
ENUM = os.path.join(simtest.HERE, "usb_enum.py")


def under_umockdev(ids, *command):
    args = ["umockdev-run"]
    for i in ids:
        args += ["--device", os.path.join(simtest.FIXTURES, FIXTURES[i])]
    p = subprocess.run(args + ["--"] + list(command), capture_output=True, timeout=30)
    return p.returncode, p.stdout.decode(), p.stderr.decode()


class UsbFixtureTest(unittest.TestCase):
    def test_each_fixture_alone(self):
        for usb_id in FIXTURES:
            with self.subTest(usb_id=usb_id):
                code, out, err = under_umockdev([usb_id], sys.executable, ENUM)
                self.assertEqual((code, out.split()), (0, [usb_id]), err)

    def test_all_together(self):
        code, out, err = under_umockdev(list(FIXTURES), sys.executable, ENUM)
        self.assertEqual(code, 0, err)
        self.assertEqual(sorted(out.split()), sorted(FIXTURES))

    def test_plug_and_unplug_at_run_time(self):
        files = [os.path.join(simtest.FIXTURES, FIXTURES[i]) for i in ("2207:0010", "18d1:4e26")]
        p = subprocess.run(["umockdev-wrapper", sys.executable, os.path.join(simtest.HERE, "usb_plug.py")] + files,
                           capture_output=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(p.stdout.decode().splitlines(),
                         ["empty ", "plugged 2207:0010", "plugged 18d1:4e26 2207:0010",
                          "unplugged 18d1:4e26", "unplugged "])

    def test_simctl_names_the_fixture(self):
        for usb_id, name in FIXTURES.items():
            self.assertEqual(os.path.basename(simtest.simctl.usb_fixture(usb_id)), name)
        with self.assertRaises(simtest.simctl.SimError):
            simtest.simctl.usb_fixture("1234:5678")

    def test_adb_runs_under_the_preload(self):
        code, out, err = under_umockdev(["18d1:4e26"], "adb", "version")
        self.assertEqual(code, 0, err)
        self.assertIn("Android Debug Bridge", out)


if __name__ == "__main__":
    simtest.main()
