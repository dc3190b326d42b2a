#!/usr/bin/python3
"""The production line's hand-over, measured: the program in --headless --json --loop upgrades the
robot, the robot is pulled and plugged again, and the time from the plug to the first adb command
line of the next run is taken from the adb wrapper's command log (ZEV_ADB_ARGV_LOG).
Run under umockdev-wrapper (the testbed's uevents need its preload):
    loopplug.py PROGRAM USB_FIXTURE ROBOTS      prints {"latencies": [...], "seconds": [...]}
The environment is handed to the program (HOME, ANDROID_ADB_SERVER_PORT, ...)."""
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402


def main(program, fixture, robots):
    with open(fixture) as f:
        device = "/sys" + f.readline().split(" ", 1)[1].strip()
    testbed = UMockdev.Testbed.new()

    def plug():
        testbed.add_from_file(fixture)
        testbed.uevent(device, "add")

    def unplug():
        testbed.uevent(device, "remove")
        testbed.remove_device(device)

    argv_log = tempfile.NamedTemporaryFile(prefix="zev-loop-argv-", delete=False).name
    env = dict(os.environ, UMOCKDEV_DIR=testbed.get_root_dir(), ZEV_ADB_ARGV_LOG=argv_log)
    events = []
    plug()
    proc = subprocess.Popen([program, "--headless", "--json", "--loop"], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    threading.Thread(target=lambda: [events.append(json.loads(line)) for line in proc.stdout],
                     daemon=True).start()

    def wait_for(name, count, seconds=600):
        end = time.monotonic() + seconds
        while sum(e["event"] == name for e in events) < count:
            if time.monotonic() > end or proc.poll() is not None:
                raise RuntimeError("no %s event %d: %s" % (name, count, events[-3:]))
            time.sleep(0.002)

    latencies = []
    try:
        for number in range(1, robots + 1):
            wait_for("robot", number)
            unplug()
            wait_for("waiting", number)
            if number == robots:
                break
            lines = os.path.getsize(argv_log)
            plugged = time.monotonic()
            plug()
            while os.path.getsize(argv_log) == lines:
                if time.monotonic() - plugged > 60:
                    raise RuntimeError("no adb command after the plug")
                time.sleep(0.001)
            latencies.append(time.monotonic() - plugged)
    finally:
        proc.send_signal(signal.SIGINT)
        proc.wait(timeout=120)
        os.remove(argv_log)
    robots_seen = [e for e in events if e["event"] == "robot"]
    if any(e["code"] != 0 for e in robots_seen):
        raise RuntimeError("a robot failed: %s" % robots_seen)
    print(json.dumps({"latencies": latencies, "seconds": [e["seconds"] for e in robots_seen]}))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]))
