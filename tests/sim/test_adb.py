"""Debian's real adb client and server against the simulated robot, for every command the tool issues."""

import hashlib
import os
import socket
import subprocess
import sys
import tempfile
import time
import zipfile

import msgpack

import simtest
from robotsim import service


def recv_frames(sock, count, timeout=5.0):
    sock.settimeout(timeout)
    buf = bytearray()
    got = []
    deadline = time.monotonic() + timeout
    while len(got) < count and time.monotonic() < deadline:
        sock.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            data = sock.recv(65536)
        except socket.timeout:
            break
        if not data:
            break
        buf += data
        got += service.split_frames(buf)
    out = []
    for payload in got:
        env = msgpack.unpackb(payload, raw=True)
        out.append((env[0], msgpack.unpackb(env[1], raw=True) if env[1] else None))
    return out


class DefaultRobotTest(simtest.SimTestCase):
    """The default scenario, with the command lines exactly as the tool builds them."""

    def extract_package(self, name):
        folder = tempfile.mkdtemp(dir=self.tmp)
        with zipfile.ZipFile(self.ports["package"]["file"]) as z:
            z.extractall(folder)
        return os.path.join(folder, name)

    def test_build_prop(self):
        out = self.shell("cat", "/system/build.prop")
        self.assertIn("build.prop", out)
        self.assertIn("\r\nro.build.version.incremental=20170315120000\r\n", out)
        self.assertIn("\r\nro.build.date.utc=1489550400\r\n", out)
        self.assertNotIn("\n", out.replace("\r\n", ""))

    def test_pull_and_list(self):
        local = os.path.join(self.tmp, "pulled.prop")
        code, out, err = self.adb.run("pull", "/system/build.prop", local)
        self.assertEqual(code, 0, out + err)
        with open(local, "rb") as f, open(self.sim.device_file("/system/build.prop"), "rb") as g:
            self.assertEqual(f.read(), g.read())
        code, out, err = self.adb.run("ls", "/sdcard/actions")
        names = [line.split()[-1] for line in out.splitlines()]
        self.assertIn("hello.hts", names)
        self.assertIn(".", names)
        code, out, err = self.adb.run("pull", "/nope/x", local)
        self.assertNotEqual(code, 0)
        self.assertIn("remote object '/nope/x' does not exist", out + err)

    def test_ip_address_commands(self):
        arp = self.shell("busybox", "arp")
        self.assertEqual(arp, "? (192.168.1.1) at 50:bd:5f:12:34:56 [ether]  on wlan0\r\n")
        ifc = self.shell("busybox", "ifconfig", "wlan0")
        self.assertIn("inet addr:192.168.1.23  Bcast:192.168.1.255", ifc)
        self.assertIn("Device not found", self.shell("busybox", "ifconfig", "eth7"))

    def test_battery_and_storage(self):
        bat = self.shell("dumpsys", "battery")
        for line in ("  AC powered: true\r\n", "  level: 85\r\n", "  scale: 100\r\n"):
            self.assertIn(line, bat)
        df = self.shell("df")
        self.assertRegex(df, r"\r\n/data +12\.5G +2\.0G +10\.5G +4096\r\n")

    def test_unknown_command_and_echo(self):
        self.assertEqual(self.shell("nosuchtool", "-x"), "/system/bin/sh: nosuchtool: not found\r\n")
        self.assertEqual(self.shell("echo", "hello", "robot"), "hello robot\r\n")

    def test_mkdir_and_rm_as_issued(self):
        self.assertEqual(self.shell("mkdir", "/sdcard/actions/"), "mkdir failed for /sdcard/actions/, File exists\r\n")
        self.assertEqual(self.shell("mkdir", "/sdcard/actions/newdir"), "")
        self.assertTrue(os.path.isdir(self.sim.device_file("/sdcard/actions/newdir")))
        self.assertTrue(os.path.exists(self.sim.device_file("/data/local/tmp/Tarvo2Services_old.apk")))
        self.assertEqual(self.shell("busybox", "rm", "-rf", "/data/local/tmp/Tarvo2Services*"), "")
        self.assertFalse(os.path.exists(self.sim.device_file("/data/local/tmp/Tarvo2Services_old.apk")))
        self.assertEqual(self.shell("busybox", "rm", "-rf", "/data/app/vmd*"), "")

    def test_push_nested_tree(self):
        src = os.path.join(self.tmp, "tree", "actions")
        files = {"a.hts": b"A" * 10, "dance/b.mp3": os.urandom(200000), "dance/step/c d.hts": b"C",
                 "dance/step/\u821e.hts": b"unicode"}
        for rel, data in files.items():
            os.makedirs(os.path.dirname(os.path.join(src, rel)), exist_ok=True)
            with open(os.path.join(src, rel), "wb") as f:
                f.write(data)
        self.shell("mkdir", "/sdcard/pushed")
        code, out, err = self.adb.run("push", src, "/sdcard/pushed/")
        self.assertEqual(code, 0, out + err)
        self.assertIn("bytes", out)
        for rel, data in files.items():
            with open(self.sim.device_file("/sdcard/pushed/actions/" + rel), "rb") as f:
                self.assertEqual(f.read(), data, rel)
        # One file into a folder named with a trailing slash, as the push worker does it.
        code, out, err = self.adb.run("push", os.path.join(src, "a.hts"), "/sdcard/pushed/")
        self.assertIn("1 file pushed", out)
        self.assertTrue(os.path.isfile(self.sim.device_file("/sdcard/pushed/a.hts")))

    def test_install_uninstall_am_start(self):
        apk = self.extract_package("DanceGame.apk")
        code, out, err = self.adb.run("install", apk)
        self.assertIn("Performing Push Install", out)
        self.assertIn("\tpkg: /data/local/tmp/DanceGame.apk\r\nSuccess\r\n", out)
        self.assertIn("package:com.example.dancegame\r\n", self.shell("pm", "list", "packages"))
        code, out, err = self.adb.run("install", apk)
        self.assertIn("Failure [INSTALL_FAILED_ALREADY_EXISTS]", out)
        self.assertIn("Starting: Intent { cmp=com.example.dancegame/.Main }",
                      self.shell("am", "start", "-n", "com.example.dancegame/.Main"))
        self.assertIn("com.example.dancegame/com.example.dancegame.Main", self.sim.device_state()["started"])
        self.assertEqual(self.adb.run("uninstall", "com.example.dancegame")[1], "Success\r\n")
        self.assertEqual(self.adb.run("uninstall", "com.example.dancegame")[1],
                         "Failure [DELETE_FAILED_INTERNAL_ERROR]\r\n")
        self.assertNotIn("com.example.dancegame", self.sim.device_state()["packages"])
        # The pushed copy was removed again by adb's own clean-up command.
        self.assertFalse(os.path.exists(self.sim.device_file("/data/local/tmp/DanceGame.apk")))
        log = self.sim.commands()
        self.assertIn("shell:pm 'install' '/data/local/tmp/DanceGame.apk'", log)
        self.assertIn("shell:rm '/data/local/tmp/DanceGame.apk' </dev/null", log)
        self.assertIn("shell:pm 'uninstall' 'com.example.dancegame'", log)

    def test_forward_and_serial_exchange(self):
        code, out, err = self.adb.run("forward", "tcp:6102", "tcp:6102")
        self.assertEqual(code, 0, out + err)
        try:
            with socket.create_connection(("127.0.0.1", 6102), timeout=5) as s:
                s.sendall(bytes.fromhex("34 12 09 00 00 00 01 00 00 00 92 34 a2 91 a0"))
                self.assertEqual(recv_frames(s, 1), [(52, [b"TV2A17030001#F01"])])
                s.sendall(service.frame(1, [b"kkkkkk"]) + service.frame(33, [3, b""]) + service.frame(3))
                replies = recv_frames(s, 3)
                self.assertEqual(replies[0], (1, [0]))
                self.assertEqual(replies[1], (33, [3, b"1.2.0"]))
                self.assertEqual(replies[2][0], 3)
                self.assertIn(b"hello.hts", replies[2][1][0])
        finally:
            self.adb.run("forward", "--remove", "tcp:6102")
        self.assertIn("tcp:6102", self.sim.commands())
        ids = [m.get("id") for m in self.sim.service_messages()]
        self.assertEqual([i for i in ids if i is not None][:4], [52, 1, 33, 3])

    def test_kill_server_then_command_again(self):
        self.adb.kill_server()
        self.assertTrue(self.adb.start_server(1), "device did not come back after kill-server")
        self.assertEqual(self.shell("echo", "again"), "again\r\n")

    def test_substitution_is_not_run(self):
        self.shell("echo", "$(reboot)", "`rm -rf /sdcard`")
        executed = self.sim.executed()
        self.assertIn({"substitution": "reboot"}, executed)
        self.assertIn({"substitution": "rm -rf /sdcard"}, executed)
        self.assertEqual(self.sim.device_state()["reboots"], 0)
        self.assertTrue(os.path.isdir(self.sim.device_file("/sdcard")))

    def test_zz_measure(self):
        """Figures for the report: adb push throughput and 20 adb shell calls."""
        big = os.path.join(self.tmp, "big.bin")
        size = 64 * 1024 * 1024
        with open(big, "wb") as f:
            f.write(os.urandom(1 << 20) * 64)
        start = time.monotonic()
        code, out, err = self.adb.run("push", big, "/sdcard/big.bin", timeout=120)
        push_s = time.monotonic() - start
        self.assertEqual(code, 0, out + err)
        digests = []
        for path in (big, self.sim.device_file("/sdcard/big.bin")):
            with open(path, "rb") as f:
                digests.append(hashlib.md5(f.read()).hexdigest())
        self.assertEqual(digests[0], digests[1])
        start = time.monotonic()
        for i in range(20):
            self.assertEqual(self.shell("echo", str(i)), "%d\r\n" % i)
        shell_s = time.monotonic() - start
        print("\nMEASURE adb push: %d MiB in %.2f s = %.1f MiB/s; 20 adb shell calls: %.2f s (%.0f ms each)"
              % (size >> 20, push_s, size / 1048576.0 / push_s, shell_s, shell_s * 50), file=sys.stderr)
        os.remove(self.sim.device_file("/sdcard/big.bin"))


FAILURES = ["INSTALL_FAILED_INSUFFICIENT_STORAGE", "INSTALL_FAILED_DEXOPT", "INSTALL_FAILED_DEVICE_NOSPACE",
            "INSTALL_FAILED_DEVICE_COPY_FAILED", "INSTALL_FAILED_UPDATE_INCOMPATIBLE",
            "INSTALL_FAILED_CONFLICTING_PROVIDER", "INSTALL_PARSE_FAILED_INCONSISTENT_CERTIFICATES",
            "INSTALL_FAILED_ALREADY_EXISTS", "INSTALL_FAILED_INVALID_ZIP_FILE", "INSTALL_FAILED_OLDER_SDK",
            "INSTALL_FAILED_CONTAINER_ERROR", "INSTALL_FAILED_UID_CHANGED", "INSTALL_FAILED_VERSION_DOWNGRADE",
            "INSTALL_FAILED_SHARED_USER_INCOMPATIBLE"]


class ScriptedAnswersTest(simtest.SimTestCase):
    SCENARIO = {
        "install_answers": {"com.example.dancegame": FAILURES + ["Success"]},
        "push_failures": [{"path": "/sdcard/full/*", "message": "No space left on device", "times": 1}],
        "rules": [{"match": "shell:dumpsys battery", "delay_ms": 400, "times": 1},
                  {"match": "shell:busybox arp", "hang": True},
                  {"match": "shell:df", "output": "scripted df\n"}],
    }

    def test_each_install_failure_text_then_success(self):
        folder = tempfile.mkdtemp(dir=self.tmp)
        with zipfile.ZipFile(self.ports["package"]["file"]) as z:
            apk = z.extract("DanceGame.apk", folder)
        for reason in FAILURES:
            with self.subTest(reason=reason):
                code, out, err = self.adb.run("install", apk)
                self.assertIn("\r\nFailure [%s]\r\n" % reason, out)
                self.assertNotIn("Success", out)
        code, out, err = self.adb.run("install", apk)
        self.assertIn("Success", out)
        self.assertIn("com.example.dancegame", self.sim.device_state()["packages"])

    def test_push_failure_lacks_bytes(self):
        src = os.path.join(self.tmp, "f.hts")
        with open(src, "wb") as f:
            f.write(b"x" * 1000)
        self.shell("mkdir", "/sdcard/full")
        code, out, err = self.adb.run("push", src, "/sdcard/full/")
        self.assertNotEqual(code, 0)
        # adb 29 still prints its summary, "bytes" included: only the count and the error tell.
        self.assertIn("0 files pushed", out + err)
        self.assertIn("adb: error: failed to copy", out + err)
        self.assertIn("remote No space left on device", out + err)
        self.assertFalse(os.path.exists(self.sim.device_file("/sdcard/full/f.hts")))
        code, out, err = self.adb.run("push", src, "/sdcard/full/")  # only the first one fails
        self.assertIn("bytes", out)

    def test_delay_hang_and_output(self):
        start = time.monotonic()
        self.assertIn("level: 85", self.shell("dumpsys", "battery"))
        self.assertGreaterEqual(time.monotonic() - start, 0.4)
        code, out, err = self.adb.run("shell", "busybox", "arp", timeout=1.5)
        self.assertIsNone(code, "a hanging command must not answer")
        self.assertEqual(self.shell("df"), "scripted df\r\n")


class TwoDevicesTest(simtest.SimTestCase):
    SCENARIO = {"adb_ports": [5555, 5557]}
    DEVICES = 2

    def test_more_than_one_device(self):
        self.assertEqual(sorted(self.adb.devices()), ["emulator-5554", "emulator-5556"])
        code, out, err = self.adb.run("shell", "cat", "/system/build.prop")
        self.assertNotEqual(code, 0)
        self.assertIn("more than one device/emulator", out + err)
        code, out, err = self.adb.run("install", "x.apk")
        self.assertIn("more than one device/emulator", out + err)
        self.assertEqual(self.adb.run("-s", "emulator-5556", "shell", "echo", "two")[1], "two\r\n")

    def test_second_simulator_waits_for_the_scan_ports(self):
        other = simtest.simctl.Sim({"adb_ports": [5559]}, os.path.join(self.tmp, "other"))
        os.environ["ZEV_SIM_LOCK_TIMEOUT"] = "0.5"
        try:
            with self.assertRaises(simtest.simctl.SimError) as caught:
                other.start(timeout=10)
        finally:
            del os.environ["ZEV_SIM_LOCK_TIMEOUT"]
        self.assertIn("another simulator kept the adb ports too long", str(caught.exception))
        self.assertEqual(sorted(self.adb.devices()), ["emulator-5554", "emulator-5556"])

    def test_simulator_on_a_loopback_of_its_own_does_not_wait(self):
        isolate = os.path.join(simtest.SOURCE, "scripts", "isolate")
        if subprocess.run([isolate, "--probe"]).returncode != 0:
            self.skipTest("no network namespaces on this machine")
        ports = os.path.join(self.tmp, "elsewhere", "ports.json")
        other = subprocess.Popen([isolate, simtest.simctl.PYTHON, simtest.simctl.ROBOT_SIM, "run", "--state-dir",
                                  os.path.dirname(ports), "--owner-pid", "0"],
                                 env=dict(os.environ, ZEV_SIM_LOCK_TIMEOUT="0.5"), stdout=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while not os.path.exists(ports) and other.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        # unshare leaves SIGTERM to its child; its end takes the namespace's processes along.
        other.kill()
        other.wait(10)
        self.assertTrue(os.path.exists(ports), "exit status %s" % other.returncode)


class UnplugTest(simtest.SimTestCase):
    SCENARIO = {"rules": [{"match": "shell:dumpsys battery", "unplug": True, "replug_after_ms": 1500, "times": 1}]}

    def test_unplug_then_replug(self):
        code, out, err = self.adb.run("shell", "dumpsys", "battery", timeout=10)
        self.assertNotEqual(code, 0)
        self.assertEqual(out + err, "error: closed\n")
        code, out, err = self.adb.run("shell", "echo", "x", timeout=10)
        self.assertNotEqual(code, 0)
        self.assertRegex(out + err, r"^error: (device offline|no devices/emulators found)\n$")
        # Replugged: adb's retry of the emulator port finds it again.
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and self.adb.run("shell", "echo", "y", timeout=5)[1] != "y\r\n":
            time.sleep(0.3)
        self.assertEqual(self.shell("dumpsys", "battery").splitlines()[0], "Current Battery Service state:")
        self.assertEqual(self.sim.device_state()["boots"], 2)


class UnplugDuringInstallTest(simtest.SimTestCase):
    SCENARIO = {"unplug": {"at": "install", "occurrence": 2}}

    def test_second_install_meets_the_unplug_and_waits(self):
        folder = tempfile.mkdtemp(dir=self.tmp)
        with zipfile.ZipFile(self.ports["package"]["file"]) as z:
            apk = z.extract("DanceGame.apk", folder)
        self.assertIn("Success", self.adb.run("install", apk, timeout=20)[1])
        code, out, err = self.adb.run("install", "-r", apk, timeout=4)
        self.assertIsNone(code, "adb install gave up instead of waiting")
        self.assertNotIn("Success", out)  # stdout is not flushed when the client is killed
        self.assertIn("- waiting for device -", err)
        self.assertEqual(self.sim.commands()[-2:],
                         ["sync:", "shell:pm 'install' '-r' '/data/local/tmp/DanceGame.apk'"])
        code, out, err = self.adb.run("shell", "echo", "x", timeout=10)
        self.assertRegex(out + err, r"^error: (device offline|no devices/emulators found)\n$")


class FreezeTest(simtest.SimTestCase):
    SCENARIO = {"rules": [{"match": "shell:dumpsys battery", "freeze": True}]}

    def test_connected_but_silent(self):
        self.assertEqual(self.shell("echo", "before"), "before\r\n")
        self.assertIsNone(self.adb.run("shell", "dumpsys", "battery", timeout=2)[0])
        self.assertIsNone(self.adb.run("shell", "echo", "after", timeout=2)[0])
        # A frozen device does not even take the next OPEN.
        self.assertEqual(self.sim.commands()[-2:], ["shell:echo before", "shell:dumpsys battery"])


class NewerDeviceTest(simtest.SimTestCase):
    """A device with shell_v2 and cmd: real exit codes and the streamed install."""

    SCENARIO = {"device": {"features": ["shell_v2", "cmd"], "reboot_ms": 300}}

    def test_exit_codes_and_streamed_install(self):
        self.assertEqual(self.adb.run("shell", "nosuch")[0], 127)
        self.assertEqual(self.adb.run("shell", "echo a; false")[:2], (1, "a\n"))
        folder = tempfile.mkdtemp(dir=self.tmp)
        with zipfile.ZipFile(self.ports["package"]["file"]) as z:
            apk = z.extract("SmartCamera.apk", folder)
        code, out, err = self.adb.run("install", apk)
        self.assertEqual((code, out), (0, "Performing Streamed Install\nSuccess\n"))
        self.assertRegex(self.sim.commands()[-1], r"^exec:cmd package 'install' -S \d+$")
        # uninstall asks for a pty (no "raw"), so its lines end in CRLF
        self.assertEqual(self.adb.run("uninstall", "com.norvik.smartcamera")[:2], (0, "Success\r\n"))

    def test_reboot(self):
        self.assertEqual(self.adb.run("reboot")[0], 0)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and self.adb.run("shell", "echo", "up", timeout=5)[1] != "up\n":
            time.sleep(0.3)
        self.assertEqual(self.adb.run("shell", "echo", "up")[1], "up\n")
        self.assertEqual(self.sim.device_state()["reboots"], 1)


if __name__ == "__main__":
    simtest.main()
