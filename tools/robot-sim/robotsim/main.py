"""`robot-sim run`: the simulated robot (adbd, robot service) and the upgrade web service."""

import argparse
import errno
import os
import select
import signal
import socket
import sys
import threading
import time

from . import scenario as scenario_mod
from .device import Device
from .service import RobotService
from .state import StateDir
from .web import WebService


def prepare_device(state, sc):
    state.write_device_file("/system/build.prop", scenario_mod.build_prop_text(sc).encode())
    for folder in ("/data/local/tmp", "/data/app", "/sdcard", "/cache"):
        os.makedirs(state.host_path(folder), exist_ok=True)
    fresh = not os.path.exists(os.path.join(state.root, "state.json"))
    if fresh:
        for name, content in (sc.get("files") or {}).items():
            if content is None:
                continue  # a default file this scenario does not want
            data = content.encode() if isinstance(content, str) else b"\0" * int(content.get("size", 0))
            state.write_device_file(name, data)
        for entry in sc["packages"]:
            pkg = entry if isinstance(entry, str) else entry["package"]
            version = "" if isinstance(entry, str) else entry.get("version", "")
            state.data["packages"][pkg] = {"apk": "/data/app/%s-1/base.apk" % pkg, "version": version}
        state.save()


def take_scan_port_lock(ports, timeout):
    """One simulator at a time on the ports adb servers scan (5554-5585) of one loopback.

    ctest's RESOURCE_LOCK only orders the tests of one ctest run; engineers and scripts also run
    suites side by side, and two simulators on one loopback would each show up in the other's adb
    server. The lock is an abstract socket name: like the ports it guards, it belongs to a network
    namespace, so simulators in namespaces of their own never wait for one another, and the
    kernel frees it when its holder ends, however it ends."""
    if not any(5554 <= p <= 5585 for p in ports):
        return None
    lock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    deadline = time.monotonic() + timeout
    announced = False
    while True:
        try:
            lock.bind("\0zev-robot-sim-adb-ports")
            return lock
        except OSError as e:
            if e.errno != errno.EADDRINUSE:
                raise
            if time.monotonic() > deadline:
                lock.close()
                return False
            if not announced:
                print("robot-sim: waiting for another simulator to leave the adb ports", flush=True)
                announced = True
            time.sleep(0.1)


def watch_owner(pid):
    """Ends this simulator (as SIGTERM would) once the process `pid` is gone.

    A test killed by its time-out would otherwise leave its simulator running, holding the
    machine-wide lock and the adb ports for every later run."""
    if pid <= 0:
        return

    def leave():
        os.kill(os.getpid(), signal.SIGTERM)

    try:
        fd = os.pidfd_open(pid)
    except ProcessLookupError:
        leave()
        return
    except OSError:
        fd = None

    def wait():
        if fd is not None:
            # A pidfd becomes readable when its process ends, and never names another process.
            select.select([fd], [], [])
        else:
            while True:
                try:
                    os.kill(pid, 0)
                except ProcessLookupError:
                    break
                except PermissionError:
                    pass
                time.sleep(0.2)
        leave()

    threading.Thread(target=wait, name="owner-watch", daemon=True).start()


def run(args):
    watch_owner(os.getppid() if args.owner_pid is None else args.owner_pid)
    try:
        sc = scenario_mod.load(args.scenario)
    except (OSError, scenario_mod.ScenarioError) as e:
        print("robot-sim: %s" % e, file=sys.stderr)
        return 2
    if args.adb_port:
        sc["adb_ports"] = [int(p) for p in args.adb_port]
    lock = take_scan_port_lock(sc["adb_ports"], float(os.environ.get("ZEV_SIM_LOCK_TIMEOUT", "300")))
    if lock is False:
        print("robot-sim: another simulator kept the adb ports too long", file=sys.stderr)
        return 4
    state = StateDir(args.state_dir)
    prepare_device(state, sc)
    stop = threading.Event()

    service = RobotService(state, sc)
    web = WebService(state, sc, os.path.dirname(os.path.abspath(args.scenario)) if args.scenario else None)
    device = Device(state, sc, lambda: service.port, stop)
    try:
        service.start()
        web.start()
        device.plug()
    except OSError as e:
        print("robot-sim: cannot listen: %s" % e, file=sys.stderr)
        return 3
    with open(os.path.join(state.root, "pid"), "w") as f:
        f.write("%d\n" % os.getpid())
    state.write_json("ports.json", {"adb": device.ports[0], "adb_ports": device.ports,
                                    "web": web.port, "web_url": web.base_url(),
                                    "service": service.port, "package": web.package_info()})

    def on_signal(signum, frame):
        stop.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    print("robot-sim: adb %s, web %d, service %d" % (",".join(map(str, device.ports)), web.port,
                                                     service.port), flush=True)
    while not stop.wait(0.5):
        pass
    device.unplug()
    web.stop()
    service.stop()
    return 0


def summary(state_dir):
    """What the robot holds and what it was told: for the demo's closing words."""
    import json
    state = StateDir(state_dir)
    out = ["installed packages:"]
    out += ["  %s %s" % (name, info.get("version", "")) for name, info in sorted(state.data["packages"].items())]
    out.append("started activities:")
    out += ["  " + a for a in state.data["started"]]
    out.append("files in /sdcard/actions:")
    root = state.host_path("/sdcard/actions")
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames.sort()
        for name in sorted(filenames):
            path = os.path.join(dirpath, name)
            out.append("  %s (%d bytes)" % (state.device_path(path), os.path.getsize(path)))
    out.append("reports received:")
    try:
        with open(os.path.join(state.root, "web.log"), encoding="utf-8") as f:
            for line in f:
                rec = json.loads(line)
                if rec.get("path", "").endswith("/addPcInstallStat"):
                    out.append("  " + json.dumps(rec.get("body"), ensure_ascii=False))
    except FileNotFoundError:
        pass
    print("\n".join(out))
    return 0


def main(argv=None):
    p = argparse.ArgumentParser(prog="robot-sim", description="Simulated Tarvo2 robot and web service")
    sub = p.add_subparsers(dest="command", required=True)
    r = sub.add_parser("run", help="run until SIGTERM")
    r.add_argument("--scenario", help="scenario JSON (defaults for everything not given)")
    r.add_argument("--state-dir", required=True, help="folder for ports.json, logs and the device")
    r.add_argument("--adb-port", action="append", help="adb port (repeatable); overrides the scenario")
    r.add_argument("--owner-pid", type=int,
                   help="end when this process ends (default: the parent; 0: never)")
    sub.add_parser("defaults", help="print the default scenario")
    m = sub.add_parser("summary", help="print what the simulated robot holds")
    m.add_argument("--state-dir", required=True)
    args = p.parse_args(argv)
    if args.command == "summary":
        return summary(args.state_dir)
    if args.command == "defaults":
        with open(scenario_mod.DEFAULT_PATH, encoding="utf-8") as f:
            sys.stdout.write(f.read())
        return 0
    return run(args)
