"""Plugs and unplugs a USB fixture at run time with libumockdev (run under umockdev-wrapper);
prints what libusb enumerates at each stage: "<stage> vvvv:pppp ..."."""

import subprocess
import sys

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

ENUM = __file__.replace("usb_plug.py", "usb_enum.py")


def listed():
    out = subprocess.run([sys.executable, ENUM], capture_output=True, text=True, timeout=30).stdout
    return " ".join(sorted(out.split()))


def main(fixtures):
    testbed = UMockdev.Testbed.new()
    print("empty", listed())
    paths = []
    for f in fixtures:
        with open(f) as text:
            paths.append(text.readline().split(" ", 1)[1].strip())
        if not testbed.add_from_file(f):
            print("cannot add", f)
            return 1
        testbed.uevent("/sys" + paths[-1], "add")
        print("plugged", listed())
    for p in paths:
        testbed.uevent("/sys" + p, "remove")
        testbed.remove_device("/sys" + p)
        print("unplugged", listed())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
