"""The simulator ends with the process that owns it, so a test killed by its time-out does not
leave it behind holding the adb ports and the machine-wide lock."""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import simtest

PYTHON = "/usr/bin/python3"
SIMCTL = os.path.join(simtest.SIM_DIR, "simctl.py")
ROBOT_SIM = os.path.join(simtest.SIM_DIR, "robot-sim")
# Ephemeral ports only: no lock, no adb server scan, so these run beside anything.
SCENARIO = {"adb_ports": [0]}


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A zombie child of ours still answers; it has ended all the same.
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def wait_gone(pid, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not alive(pid):
            return True
        time.sleep(0.05)
    return False


def accepts(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


class OwnerTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="simowner-")
        self.state = os.path.join(self.tmp, "state")
        self.scenario = os.path.join(self.tmp, "scenario.json")
        with open(self.scenario, "w") as f:
            json.dump(SCENARIO, f)
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
            p.wait(10)
            if p.stdout:
                p.stdout.close()
        pid = self.sim_pid(missing_ok=True)
        if pid and alive(pid):
            os.kill(pid, signal.SIGKILL)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def spawn(self, code, *args):
        p = subprocess.Popen([PYTHON, "-c", code] + list(args), stdout=subprocess.PIPE,
                             stdin=subprocess.DEVNULL, text=True)
        self.procs.append(p)
        return p

    def sim_pid(self, missing_ok=False):
        try:
            with open(os.path.join(self.state, "pid")) as f:
                return int(f.read())
        except (OSError, ValueError):
            if missing_ok:
                return None
            raise

    def web_port(self):
        with open(os.path.join(self.state, "ports.json")) as f:
            return json.load(f)["web"]

    def test_detached_simulator_ends_with_the_caller_of_simctl_start(self):
        owner = self.spawn("import subprocess, sys, time\n"
                           "subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL)\n"
                           "print('started', flush=True)\n"
                           "time.sleep(120)\n",
                           PYTHON, SIMCTL, "start", "--state-dir", self.state, "--scenario", self.scenario)
        self.assertEqual(owner.stdout.readline().strip(), "started")
        pid = self.sim_pid()
        port = self.web_port()
        # simctl itself has returned: its end must not take the simulator with it.
        time.sleep(0.5)
        self.assertTrue(alive(pid))
        self.assertTrue(accepts(port))

        owner.kill()  # as ctest ends a test at its time-out
        owner.wait(10)
        self.assertTrue(wait_gone(pid, 10), "robot-sim outlived its owner")
        self.assertFalse(accepts(port))

    def test_simulator_ends_with_its_parent(self):
        parent = self.spawn("import subprocess, sys, time\n"
                            "subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL,\n"
                            "                 stderr=subprocess.DEVNULL, start_new_session=True)\n"
                            "time.sleep(120)\n",
                            ROBOT_SIM, "run", "--state-dir", self.state, "--scenario", self.scenario)
        deadline = time.monotonic() + 30
        while not os.path.exists(os.path.join(self.state, "ports.json")) and time.monotonic() < deadline:
            time.sleep(0.05)
        pid = self.sim_pid()
        self.assertTrue(alive(pid))
        parent.kill()
        parent.wait(10)
        self.assertTrue(wait_gone(pid, 10), "robot-sim outlived its parent")

    def test_owner_already_gone_at_start(self):
        gone = subprocess.Popen([PYTHON, "-c", "pass"])
        gone.wait(10)
        started = time.monotonic()
        p = subprocess.run([PYTHON, ROBOT_SIM, "run", "--state-dir", self.state, "--scenario",
                            self.scenario, "--owner-pid", str(gone.pid)],
                           capture_output=True, timeout=30)
        self.assertNotEqual(p.returncode, 0)
        self.assertLess(time.monotonic() - started, 20)

    def test_sim_class_owned_by_this_process_stays_while_it_runs(self):
        import simctl
        sim = simctl.Sim(SCENARIO, self.state)
        ports = sim.start(timeout=30)
        try:
            time.sleep(0.5)
            self.assertIsNone(sim.proc.poll())
            self.assertTrue(accepts(ports["web"]))
        finally:
            sim.stop()
        self.assertFalse(accepts(ports["web"]))


if __name__ == "__main__":
    simtest.main()
