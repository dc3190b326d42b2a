"""The simulated robot service on its own loopback port: every answered id, records, silence."""

import json
import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

import simtest
from test_adb import recv_frames
from robotsim import service


class ServiceCase(simtest.SimTestCase):
    WITH_ADB = False
    SCENARIO = {"adb_ports": [0], "files": {"/sdcard/actions/wave.hts": "12345", "/sdcard/actions/hello.hts": None}}

    def connect(self):
        s = socket.create_connection(("127.0.0.1", self.ports["service"]), timeout=5)
        self.addCleanup(s.close)
        return s


class AnswersTest(ServiceCase):
    def exchange(self, msg_id, payload=None):
        s = self.connect()
        s.sendall(service.frame(msg_id, payload))
        replies = recv_frames(s, 1)
        self.assertEqual(len(replies), 1, "no reply to %d" % msg_id)
        self.assertEqual(replies[0][0], msg_id)
        return replies[0][1]

    def test_answered_ids(self):
        ip = b"192.168.1.23"
        rows = [
            (1, [b"kkkkkk"], [0]),
            (2, [b"fw.bin", b"C:/x/fw.bin", 1000], [6010, b"fw.bin", ip]),
            (12, [b"", b"", 0], [6010, b"1.zev", ip]),
            (21, [b"TarvoII_CHEST_kernel.bin", b"C:/x/fw.bin", 65536], [6010, b"TarvoII_CHEST_kernel.bin", ip]),
            (22, [b"TarvoII_HEAD_kernel.bin", b"p", 1], [6010, b"TarvoII_HEAD_kernel.bin", ip]),
            (3, None, [[b"wave.hts"]]),
            (7, None, [[[b"HomeNet", -45, b"[WPA2-PSK-CCMP][ESS]", True], [b"Guest", -70, b"[ESS]", False]]]),
            (10, [7], [7, 90, 0]),
            (13, [b"x"], [[b"hello.mp3", b"dance.mp3"]]),
            (14, [b"wave.hts"], [6010, 5, b"wave.hts", ip, True]),
            (14, [b"none.hts"], [6010, 0, b"none.hts", ip, False]),
            (33, [3, b""], [3, b"1.2.0"]),
            (34, [200, b""], [200, b"5.1.1-20170315"]),
            (52, [b""], [b"TV2A17030001#F01"]),
        ]
        for msg_id, request, reply in rows:
            with self.subTest(id=msg_id, request=request):
                self.assertEqual(self.exchange(msg_id, request), reply)

    def test_delete_action_file(self):
        self.assertEqual(self.exchange(4, [b"../../../system/build.prop"]), [b"../../../system/build.prop", 1])
        self.assertTrue(os.path.exists(self.sim.device_file("/system/build.prop")))
        self.assertEqual(self.exchange(4, [b"wave.hts"]), [b"wave.hts", 0])
        self.assertEqual(self.exchange(4, [b"wave.hts"]), [b"wave.hts", 1])
        self.assertEqual(self.exchange(3), [[]])

    def test_recorded_ids_and_garbage(self):
        s = self.connect()
        sent = [(9, [1, 45, 500]), (17, [1, 2, 3, 4, 5, 6]), (19, [-56, -1, 3, 4, 100, 200, 300]),
                (37, list(range(20)) + [800]), (5, [b"wave.hts"])]
        s.sendall(b"\x00garbage\x34" + b"".join(service.frame(i, p) for i, p in sent) + service.frame(52, [b""]))
        self.assertEqual(recv_frames(s, 1), [(52, [b"TV2A17030001#F01"])])
        got = [(m["id"], m["payload"]) for m in self.sim.service_messages() if "id" in m]
        self.assertEqual(got[-6:-1], sent[:4] + [(5, ["wave.hts"])])


class SilentSerialTest(ServiceCase):
    SCENARIO = {"adb_ports": [0], "service": {"silent_ids": [52], "delay_ms": {"33": 300}}}

    def test_silence_and_delay(self):
        s = self.connect()
        s.sendall(service.frame(52, [b""]))
        self.assertEqual(recv_frames(s, 1, timeout=0.5), [])
        start = time.monotonic()
        s.sendall(service.frame(33, [1, b""]))
        self.assertEqual(recv_frames(s, 1), [(33, [1, b"1.2.0"])])
        self.assertGreaterEqual(time.monotonic() - start, 0.3)


class ScriptedRepliesTest(ServiceCase):
    SCENARIO = {"adb_ports": [0], "service": {"replies": {
        "52": ["ABC#", 1], "33": {"payload_hex": "c1"}, "34": {"frame_hex": "3412ffffff7f"}}}}

    def test_scripted_payloads(self):
        s = self.connect()
        s.sendall(service.frame(52, [b""]))
        self.assertEqual(recv_frames(s, 1), [(52, [b"ABC#", 1])])
        s.sendall(service.frame(33, [1, b""]))
        s.settimeout(5)
        self.assertEqual(s.recv(100), bytes.fromhex("3412 08000000 0100 0000 92 21 a1 c1"))
        s.sendall(service.frame(34, [1, b""]))
        self.assertEqual(s.recv(100), bytes.fromhex("3412ffffff7f"))


class ClosingServiceTest(ServiceCase):
    SCENARIO = {"adb_ports": [0], "service": {"close_on_connect": True, "serial": "X"}}

    def test_closes_at_once(self):
        s = self.connect()
        s.settimeout(5)
        self.assertEqual(s.recv(10), b"")


class CommandLineTest(unittest.TestCase):
    def test_simctl_start_summary_stop(self):
        tmp = tempfile.mkdtemp(prefix="simcli-")
        self.addCleanup(shutil.rmtree, tmp, True)
        state = os.path.join(tmp, "state")
        scenario = os.path.join(tmp, "sc.json")
        with open(scenario, "w") as f:
            json.dump({"adb_ports": [0], "packages": ["com.example.one"]}, f)
        simctl_py = os.path.join(simtest.SIM_DIR, "simctl.py")
        p = subprocess.run([simctl_py, "start", "--state-dir", state, "--scenario", scenario],
                           capture_output=True, timeout=60)
        try:
            self.assertEqual(p.returncode, 0, p.stderr)
            ports = json.loads(p.stdout)
            with open(os.path.join(state, "pid")) as f:
                pid = int(f.read())
            with socket.create_connection(("127.0.0.1", ports["service"]), timeout=5) as s:
                s.sendall(service.frame(52, [b""]))
                self.assertEqual(recv_frames(s, 1), [(52, [b"TV2A17030001#F01"])])
        finally:
            q = subprocess.run([simctl_py, "stop", "--state-dir", state], capture_output=True, timeout=30)
        self.assertEqual(q.returncode, 0, q.stderr)
        with self.assertRaises(ProcessLookupError):
            os.kill(pid, 0)
        out = subprocess.run([os.path.join(simtest.SIM_DIR, "robot-sim"), "summary", "--state-dir", state],
                             capture_output=True, timeout=30).stdout.decode()
        self.assertIn("installed packages:\n  com.example.one \n", out)
        self.assertIn("/sdcard/actions/hello.hts (23 bytes)", out)


if __name__ == "__main__":
    simtest.main()
