#!/usr/bin/python3
"""Starts and stops the simulated robot for tests and scripts.

As a module:
    import simctl
    sim = simctl.Sim({"service": {"serial": "ABC#1"}}, state_dir)   # or a scenario file path
    ports = sim.start()          # {"adb": 5555, "web": N, "service": N, ...}
    ...
    sim.stop()
or the single-instance shortcuts simctl.start(scenario, state_dir) and simctl.stop().

From a shell or a C++ test (QProcess):
    simctl.py start --state-dir DIR [--scenario FILE] [--adb-port P]...   prints ports.json, returns
    simctl.py stop --state-dir DIR
"""

import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.realpath(__file__))
ROBOT_SIM = os.path.join(HERE, "robot-sim")
PYTHON = "/usr/bin/python3"


def wait_until(condition, seconds, interval=0.05):
    """Polls `condition` until it holds or `seconds` have passed; its last answer."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(interval)
    return bool(condition())


class SimError(Exception):
    pass


class Sim:
    def __init__(self, scenario=None, state_dir=None, adb_ports=None):
        self.state_dir = os.path.abspath(state_dir or tempfile.mkdtemp(prefix="robot-sim-"))
        self.scenario = scenario
        self.adb_ports = adb_ports
        self.proc = None
        self.ports = None

    def _scenario_path(self):
        if self.scenario is None or isinstance(self.scenario, str):
            return self.scenario
        path = os.path.join(self.state_dir, "scenario.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(self.scenario, f, indent=1)
        return path

    def start(self, timeout=330.0, detach=False, owner_pid=None):
        """Waits for ports.json. The time-out is long because a simulator on the adb ports first
        waits for any other one on this machine to stop (see robot-sim's machine-wide lock).

        The simulator ends by itself when its owner ends: by default this process, or, for a
        detached one, this process's parent (the test or script that ran `simctl.py start`)."""
        os.makedirs(self.state_dir, exist_ok=True)
        ports_file = os.path.join(self.state_dir, "ports.json")
        if os.path.exists(ports_file):
            os.remove(ports_file)
        cmd = [PYTHON, ROBOT_SIM, "run", "--state-dir", self.state_dir]
        scenario = self._scenario_path()
        if scenario:
            cmd += ["--scenario", scenario]
        for p in self.adb_ports or []:
            cmd += ["--adb-port", str(p)]
        if owner_pid is None:
            owner_pid = os.getppid() if detach else os.getpid()
        cmd += ["--owner-pid", str(owner_pid)]
        out = open(os.path.join(self.state_dir, "sim.out"), "ab")
        self.proc = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                     start_new_session=detach)
        out.close()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if os.path.exists(ports_file):
                with open(ports_file, encoding="utf-8") as f:
                    self.ports = json.load(f)
                return self.ports
            if self.proc.poll() is not None:
                break
            time.sleep(0.02)
        self.stop()
        raise SimError("robot-sim did not start:\n" + self.output())

    def output(self):
        try:
            with open(os.path.join(self.state_dir, "sim.out"), encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def stop(self, timeout=5.0):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout)
        self.proc = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    # What the simulated robot saw and holds.
    def path(self, *parts):
        return os.path.join(self.state_dir, *parts)

    def _lines(self, name):
        try:
            with open(self.path(name), encoding="utf-8") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def commands(self):
        """adb services opened, in order (`shell:…`, `sync:`, `tcp:6102`)."""
        return self._lines("commands.log")

    def executed(self):
        """Every simple command the device shell ran (argv lists), plus any substitution seen."""
        return [json.loads(x) for x in self._lines("exec.log")]

    def web_requests(self):
        return [json.loads(x) for x in self._lines("web.log")]

    def service_messages(self):
        return [json.loads(x) for x in self._lines("service.log")]

    def device_state(self):
        with open(self.path("state.json"), encoding="utf-8") as f:
            return json.load(f)

    def usb_fixture(self):
        """The umockdev file of this scenario's robot (its "usb" key)."""
        usb_id = "18d1:4e26"
        if isinstance(self.scenario, dict):
            usb_id = self.scenario.get("usb", usb_id)
        elif self.scenario:
            with open(self.scenario, encoding="utf-8") as f:
                usb_id = json.load(f).get("usb", usb_id)
        return usb_fixture(usb_id)

    def device_file(self, device_path):
        return self.path("device", *[p for p in device_path.split("/") if p])


def usb_fixture(usb_id="18d1:4e26"):
    """The umockdev device file for a USB id such as a scenario's "usb" value."""
    source = os.path.dirname(os.path.dirname(HERE))
    name = ("unknown-%s.umockdev" if usb_id == "2207:0012" else "tarvo2-%s.umockdev") % usb_id.replace(":", "-")
    path = os.path.join(source, "tests", "fixtures", "usb", name)
    if not os.path.exists(path):
        raise SimError("no USB fixture for %s" % usb_id)
    return path


class Adb:
    """The real adb client with its own server port and HOME."""

    def __init__(self, server_port, home, adb="adb"):
        self.port = int(server_port)
        self.home = home
        self.adb = adb
        os.makedirs(home, exist_ok=True)
        self.env = dict(os.environ, HOME=home, ANDROID_ADB_SERVER_PORT=str(self.port))
        self.env.pop("ANDROID_SERIAL", None)

    def run(self, *args, timeout=30, stdin=None):
        """Returns (exit code, stdout, stderr) as texts; exit code None on time-out."""
        try:
            p = subprocess.run([self.adb] + list(args), env=self.env, capture_output=True,
                               timeout=timeout, input=stdin)
            return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")
        except subprocess.TimeoutExpired as e:
            return None, (e.stdout or b"").decode("utf-8", "replace"), (e.stderr or b"").decode("utf-8", "replace")

    def start_server(self, devices=1, timeout=10):
        """Starts the server (it scans for the simulator then) and waits for that many devices online."""
        self.run("start-server", timeout=timeout)
        return wait_until(lambda: len(self.devices()) >= devices, timeout)

    def devices(self):
        code, out, _ = self.run("devices", timeout=10)
        return [l.split("\t")[0] for l in out.splitlines()[1:] if l.endswith("\tdevice")]

    def kill_server(self):
        self.run("kill-server", timeout=10)


_default = None


def start(scenario=None, state_dir=None, adb_ports=None, timeout=330.0):
    global _default
    stop()
    _default = Sim(scenario, state_dir, adb_ports)
    return _default.start(timeout)


def stop():
    global _default
    if _default is not None:
        _default.stop()
        _default = None


def main(argv=None):
    p = argparse.ArgumentParser(prog="simctl.py")
    sub = p.add_subparsers(dest="command", required=True)
    s = sub.add_parser("start")
    s.add_argument("--state-dir", required=True)
    s.add_argument("--scenario")
    s.add_argument("--adb-port", action="append", type=int)
    s.add_argument("--timeout", type=float, default=330.0)
    s.add_argument("--owner-pid", type=int,
                   help="the simulator ends when this process ends (default: the caller; 0: never)")
    t = sub.add_parser("stop")
    t.add_argument("--state-dir", required=True)
    args = p.parse_args(argv)
    if args.command == "start":
        sim = Sim(args.scenario, args.state_dir, args.adb_port)
        try:
            ports = sim.start(args.timeout, detach=True, owner_pid=args.owner_pid)
        except SimError as e:
            print(e, file=sys.stderr)
            return 1
        print(json.dumps(ports))
        return 0
    pid_file = os.path.join(args.state_dir, "pid")
    try:
        with open(pid_file) as f:
            pid = int(f.read().strip())
    except (OSError, ValueError):
        print("simctl.py: no simulator recorded in %s" % args.state_dir, file=sys.stderr)
        return 1
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    def gone():
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return True
        return False
    if not wait_until(gone, 5):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    os.remove(pid_file)
    return 0


if __name__ == "__main__":
    sys.exit(main())
