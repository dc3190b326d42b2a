"""The simulator's parts without sockets: shell parsing, device shell, frames, scenarios, ranges."""

import json
import os
import shutil
import tempfile
import unittest

import simtest  # noqa: F401  (puts the simulator on the path)
from robotsim import main, scenario, service, shparse, web
from robotsim.shell import DeviceShell
from robotsim.state import StateDir


def words(line):
    return [[w for w, _ in c["words"]] for _, pipe in shparse.parse(line) for c in pipe]


class ShellParseTest(unittest.TestCase):
    def test_words(self):
        rows = [
            ("cat /system/build.prop", [["cat", "/system/build.prop"]]),
            ("pm 'install' '/data/local/tmp/a b.apk'", [["pm", "install", "/data/local/tmp/a b.apk"]]),
            ("echo \"x\\\"y\" z\\ w", [["echo", 'x"y', "z w"]]),
            ("echo 'it'\\''s'", [["echo", "it's"]]),
            ("a; b && c || d", [["a"], ["b"], ["c"], ["d"]]),
            ("ls | cat", [["ls"], ["cat"]]),
            ("echo a#b # comment", [["echo", "a#b"]]),
            ("", []),
        ]
        for line, expected in rows:
            with self.subTest(line=line):
                self.assertEqual(words(line), expected)

    def test_redirections(self):
        (_, [cmd]), = shparse.parse("rm '/data/local/tmp/x.apk' </dev/null 2>&1 >out")
        self.assertEqual([w for w, _ in cmd["words"]], ["rm", "/data/local/tmp/x.apk"])
        self.assertEqual(cmd["redirs"], [("<", "/dev/null"), ("2>&1", None), (">", "out")])

    def test_glob_only_when_unquoted(self):
        (_, [cmd]), = shparse.parse("rm -rf /data/local/tmp/Tarvo2Services* '/x/*' \"/y/?\"")
        self.assertEqual([g for _, g in cmd["words"]], [False, False, True, False, False])

    def test_substitutions_are_found_not_run(self):
        for line, text in (("echo $(reboot)", "reboot"), ('echo "a`id`b"', "id"),
                           ("echo $(echo $(x))", "echo $(x)")):
            with self.subTest(line=line):
                (_, [cmd]), = shparse.parse(line)
                self.assertEqual(cmd["substitutions"], [text])
        (_, [cmd]), = shparse.parse("echo '$(reboot)'")
        self.assertEqual(cmd["substitutions"], [])

    def test_syntax_errors(self):
        for line in ("echo 'open", 'echo "open', "a &&", "| b", "echo >", "echo $(x"):
            with self.subTest(line=line):
                with self.assertRaises(shparse.ParseError):
                    shparse.parse(line)


class DeviceShellTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="simunit-")
        self.sc = scenario.defaults()
        self.state = StateDir(self.tmp)
        main.prepare_device(self.state, self.sc)
        self.shell = DeviceShell(self.state, self.sc)

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def run_sh(self, line):
        out, err, code, reboot = self.shell.run(line)
        return (out + err).decode(), code

    def put_apk(self, path, package):
        self.state.write_device_file(path, web.make_apk(package, "1.0", 100))

    def test_paths_stay_inside_the_device(self):
        for p in ("/../../etc/passwd", "../../x", "/sdcard/../../../y"):
            with self.subTest(path=p):
                self.assertTrue(self.state.host_path(p).startswith(self.state.device_root))

    def test_unknown_command(self):
        self.assertEqual(self.run_sh("frobnicate -x"), ("/system/bin/sh: frobnicate: not found\n", 127))
        self.assertEqual(self.run_sh("busybox frob")[0], "frob: applet not found\n")

    def test_mkdir_and_rm(self):
        shutil.rmtree(self.state.host_path("/sdcard/actions"))
        self.assertEqual(self.run_sh("mkdir /sdcard/actions/"), ("", 0))
        self.assertEqual(self.run_sh("mkdir /sdcard/actions/"),
                         ("mkdir failed for /sdcard/actions/, File exists\n", 1))
        self.assertEqual(self.run_sh("mkdir /a/b")[0], "mkdir failed for /a/b, No such file or directory\n")
        self.assertEqual(self.run_sh("mkdir -p /a/b"), ("", 0))
        for name in ("Tarvo2Services.apk", "Tarvo2Services_x", "smartcamera.apk", "keep.txt"):
            self.state.write_device_file("/data/local/tmp/" + name, b"x")
        self.assertEqual(self.run_sh("busybox rm -rf /data/local/tmp/Tarvo2Services*"), ("", 0))
        self.assertEqual(sorted(os.listdir(self.state.host_path("/data/local/tmp"))),
                         ["keep.txt", "smartcamera.apk"])
        # A quoted star is a file name, not a pattern.
        self.assertEqual(self.run_sh("rm '/data/local/tmp/smart*'")[0],
                         "rm failed for /data/local/tmp/smart*, No such file or directory\n")
        self.assertEqual(self.run_sh("busybox rm -rf /data/app/vmd*"), ("", 0))

    def test_redirect_into_file_and_pipe(self):
        self.assertEqual(self.run_sh("echo hello > /sdcard/x.txt; cat /sdcard/x.txt | cat"), ("hello\n", 0))
        self.assertEqual(self.run_sh("cat /nope 2>/dev/null || echo missing"), ("missing\n", 0))

    def test_pm_install_natural(self):
        self.put_apk("/data/local/tmp/game.apk", "com.example.newgame")
        self.assertEqual(self.run_sh("pm 'install' '/data/local/tmp/game.apk'"),
                         ("\tpkg: /data/local/tmp/game.apk\nSuccess\n", 0))
        self.assertIn("package:com.example.newgame\n", self.run_sh("pm list packages")[0])
        self.assertEqual(self.run_sh("pm install /data/local/tmp/game.apk")[0],
                         "\tpkg: /data/local/tmp/game.apk\nFailure [INSTALL_FAILED_ALREADY_EXISTS]\n")
        self.assertIn("Success", self.run_sh("pm install -r /data/local/tmp/game.apk")[0])
        self.assertEqual(self.run_sh("pm install /data/local/tmp/none.apk")[0],
                         "\tpkg: /data/local/tmp/none.apk\nFailure [INSTALL_FAILED_INVALID_URI]\n")
        self.state.write_device_file("/data/local/tmp/bad.apk", b"not a zip")
        self.assertIn("Failure [INSTALL_PARSE_FAILED_NOT_APK]", self.run_sh("pm install /data/local/tmp/bad.apk")[0])

    def test_pm_install_scripted_attempts(self):
        self.sc["install_answers"] = {"com.example.newgame": ["INSTALL_FAILED_INSUFFICIENT_STORAGE", "Success"],
                                      "odd.apk": [{"output": "error: device not found\n"}]}
        self.put_apk("/data/local/tmp/game.apk", "com.example.newgame")
        self.put_apk("/data/local/tmp/odd.apk", "com.example.odd")
        first = self.run_sh("pm install /data/local/tmp/game.apk")[0]
        self.assertTrue(first.endswith("Failure [INSTALL_FAILED_INSUFFICIENT_STORAGE]\n"), first)
        self.assertTrue(self.run_sh("pm install /data/local/tmp/game.apk")[0].endswith("Success\n"))
        # Past the scripted answers the device behaves naturally again.
        self.assertIn("INSTALL_FAILED_ALREADY_EXISTS", self.run_sh("pm install /data/local/tmp/game.apk")[0])
        self.assertEqual(self.run_sh("pm install /data/local/tmp/odd.apk")[0],
                         "\tpkg: /data/local/tmp/odd.apk\nerror: device not found\n")

    def test_pm_uninstall_and_am_start(self):
        self.assertEqual(self.run_sh("pm 'uninstall' 'com.example.oldgame'"), ("Success\n", 0))
        self.assertEqual(self.run_sh("pm uninstall com.example.oldgame")[0],
                         "Failure [DELETE_FAILED_INTERNAL_ERROR]\n")
        self.assertEqual(self.run_sh("am start -n com.android.settings/.Settings")[0],
                         "Starting: Intent { cmp=com.android.settings/.Settings }\n")
        self.assertEqual(self.state.data["started"], ["com.android.settings/com.android.settings.Settings"])
        out = self.run_sh("am start -n com.x/com.x.Main")[0]
        self.assertIn("Error: Activity class {com.x/com.x.Main} does not exist.", out)

    def test_substitution_logged_not_run(self):
        self.run_sh("echo $(reboot)")
        with open(os.path.join(self.tmp, "exec.log")) as f:
            log = [json.loads(x) for x in f]
        self.assertIn({"substitution": "reboot"}, log)
        self.assertNotIn(["reboot"], [r.get("argv") for r in log])
        self.assertFalse(self.shell.run("echo $(reboot)")[3])

    def test_texts(self):
        arp = self.run_sh("busybox arp")[0]
        self.assertEqual(arp.rsplit(" ", 1)[1], "wlan0\n")
        ifc = self.run_sh("busybox ifconfig wlan0")[0]
        self.assertIn("inet addr:192.168.1.23  Bcast", ifc)
        self.assertIn("Device not found", self.run_sh("busybox ifconfig eth9")[0])
        bat = self.run_sh("dumpsys battery")[0]
        for line in ("  AC powered: true\n", "  level: 85\n", "  scale: 100\n"):
            self.assertIn(line, bat)
        df = self.run_sh("df")[0]
        data_line = [l for l in df.splitlines() if l.startswith("/data")][0]
        self.assertEqual(data_line.split()[3], "10.5G")
        self.sc["net"]["wifi_on"] = False
        self.assertEqual(self.run_sh("busybox arp"), ("", 0))


class FrameTest(unittest.TestCase):
    def test_worked_frames(self):
        self.assertEqual(service.frame(52, [b""]).hex(" "), "34 12 09 00 00 00 01 00 00 00 92 34 a2 91 a0")
        self.assertEqual(service.frame(3).hex(" "), "34 12 07 00 00 00 01 00 00 00 92 03 a0")

    def test_old_dialect_raw_strings(self):
        # 40 bytes: str 8 (d9) must not appear, the old dialect uses raw 16 (da)
        self.assertEqual(service.pack([b"x" * 40])[:4].hex(), "91da0028")
        self.assertEqual(service.pack(["é"])[:2].hex(), "91a2")

    def test_split_frames(self):
        f52 = service.frame(52, [b""])
        f3 = service.frame(3)
        bad_version = bytearray(f3)
        bad_version[6] = 2
        empty = bytes.fromhex("34120400000001000000")
        buf = bytearray(b"junk" + f52 + bytes(bad_version) + empty + f3 + f52[:7])
        got = service.split_frames(buf)
        self.assertEqual(got, [f52[10:], f3[10:]])
        self.assertEqual(bytes(buf), f52[:7])  # the partial frame waits for its rest
        buf += f52[7:]
        self.assertEqual(service.split_frames(buf), [f52[10:]])
        self.assertEqual(bytes(buf), b"")

    def test_oversized_length_is_skipped(self):
        buf = bytearray(bytes.fromhex("3412ffffff7f01000000") + service.frame(3))
        self.assertEqual(service.split_frames(buf), [service.frame(3)[10:]])


class ScenarioTest(unittest.TestCase):
    def write(self, obj):
        fd, path = tempfile.mkstemp(suffix=".json")
        with os.fdopen(fd, "w") as f:
            f.write(obj if isinstance(obj, str) else json.dumps(obj))
        self.addCleanup(os.remove, path)
        return path

    def test_merge(self):
        sc = scenario.load(self.write({"battery": {"level": 10}, "build_prop": {"ro.extra": "1"},
                                       "web": {"package": {"actions": {"actions/a.hts": "x"}}}}))
        self.assertEqual((sc["battery"]["level"], sc["battery"]["scale"]), (10, 100))
        self.assertEqual(sc["build_prop"]["ro.extra"], "1")
        self.assertIn("ro.build.date.utc", sc["build_prop"])
        self.assertEqual(sc["web"]["package"]["actions"], {"actions/a.hts": "x"})
        self.assertEqual(sc["web"]["package"]["file_name"], "Tarvo2_Upgrade_1.2.3.zip")

    def test_refusals(self):
        for bad in ({"batery": {}}, {"battery": {"levle": 1}}, "[1]", "{nope"):
            with self.subTest(bad=bad):
                with self.assertRaises(scenario.ScenarioError):
                    scenario.load(self.write(bad))

    def test_shipped_scenarios_load(self):
        folder = os.path.join(simtest.SIM_DIR, "scenarios")
        for name in sorted(os.listdir(folder)):
            with self.subTest(name=name):
                sc = scenario.load(os.path.join(folder, name))
                self.assertIn(sc["usb"], ("18d1:4e26", "2207:0011", "2207:0010"))

    def test_build_prop_text(self):
        text = scenario.build_prop_text(scenario.defaults())
        self.assertIn("build.prop", text)
        self.assertIn("\nro.build.version.incremental=20170315120000\n", text)
        self.assertIn("\nro.build.date.utc=1489550400\n", text)


class RangeTest(unittest.TestCase):
    def test_ranges(self):
        rows = [("bytes=0-", (0, 99)), ("bytes=10-19", (10, 19)), ("bytes=90-200", (90, 99)),
                ("bytes=-10", (90, 99)), ("bytes=100-", None), ("bytes=5-2", None),
                ("items=0-1", None), ("bytes=0-1,5-6", None), ("bytes=x-", None), ("bytes=-0", None)]
        for text, expected in rows:
            with self.subTest(text=text):
                self.assertEqual(web._parse_range(text, 100), expected)

    def test_package_is_reproducible(self):
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp)
        pkg = scenario.defaults()["web"]["package"]
        a = web.digests(web.build_package(pkg, os.path.join(tmp, "a"), tmp))
        b = web.digests(web.build_package(pkg, os.path.join(tmp, "b"), tmp))
        self.assertEqual(a, b)


if __name__ == "__main__":
    simtest.main()
