"""The robot's shell: the Android 5 tools the upgrade tool calls, over the virtual file system."""

import fnmatch
import io
import os
import re
import shutil
import threading
import zipfile

from . import shparse

SH = "/system/bin/sh"


class Result:
    def __init__(self):
        self.out = io.StringIO()
        self.err = io.StringIO()
        self.code = 0
        self.reboot = False


class DeviceShell:
    def __init__(self, state, scenario):
        self.state = state
        self.sc = scenario
        self._install_attempts = {}
        self._attempts_lock = threading.Lock()

    # ---- entry -------------------------------------------------------------------------
    def run(self, line, stdin=b""):
        """Runs one command line; returns (stdout bytes, stderr bytes, exit code, reboot wanted)."""
        res = Result()
        try:
            seq = shparse.parse(line)
        except shparse.ParseError as e:
            res.err.write("%s: %s\n" % (SH, e))
            res.code = 2
            return self._finish(res)
        status = 0
        for joiner, pipeline in seq:
            if joiner == "&&" and status != 0:
                continue
            if joiner == "||" and status == 0:
                continue
            status = self._pipeline(pipeline, stdin, res)
            stdin = b""
        res.code = status
        return self._finish(res)

    @staticmethod
    def _finish(res):
        return res.out.getvalue().encode(), res.err.getvalue().encode(), res.code, res.reboot

    def _pipeline(self, pipeline, stdin, res):
        data = stdin
        status = 0
        for k, cmd in enumerate(pipeline):
            last = k == len(pipeline) - 1
            sub = Result()
            status = self._simple(cmd, data, sub)
            res.err.write(sub.err.getvalue())
            res.reboot = res.reboot or sub.reboot
            if last:
                res.out.write(sub.out.getvalue())
            else:
                data = sub.out.getvalue().encode()
        return status

    def _simple(self, cmd, stdin, res):
        for text in cmd["substitutions"]:
            # Recorded, never run: the log shows whether a caller let one through.
            self.state.log_exec({"substitution": text})
        argv = []
        for text, globbable in cmd["words"]:
            argv.extend(self._glob(text) if globbable else [text])
        self.state.log_exec({"argv": argv, "redirs": [list(r) for r in cmd["redirs"]]})
        out_target = None
        err_target = None
        err_to_out = False
        for op, target in cmd["redirs"]:
            if op == "<":
                if target != "/dev/null":
                    path = self.state.host_path(target)
                    if not os.path.isfile(path):
                        res.err.write("%s: can't open %s\n" % (SH, target))
                        return 1
                    with open(path, "rb") as f:
                        stdin = f.read()
                else:
                    stdin = b""
            elif op in (">", ">>"):
                out_target = (target, op == ">>")
            elif op in ("2>", "2>>"):
                err_target = (target, op == "2>>")
            elif op == "2>&1":
                err_to_out = True
        if not argv:
            return 0
        sub = Result()
        status = self._dispatch(argv, stdin, sub)
        res.reboot = res.reboot or sub.reboot
        out, err = sub.out.getvalue(), sub.err.getvalue()
        if err_to_out:
            out, err = out + err, ""
        for target, text, stream in ((out_target, out, res.out), (err_target, err, res.err)):
            if target is None:
                stream.write(text)
            elif target[0] != "/dev/null":
                path = self.state.host_path(target[0])
                if not os.path.isdir(os.path.dirname(path)):
                    res.err.write("%s: can't create %s: No such file or directory\n" % (SH, target[0]))
                    continue
                with open(path, "a" if target[1] else "w", encoding="utf-8") as f:
                    f.write(text)
        return status

    def _glob(self, pattern):
        """Expands a device path pattern; no match leaves the word as it was, as sh does."""
        absolute = pattern.startswith("/")
        parts = [p for p in pattern.split("/") if p]
        found = ["/"] if absolute else [""]
        for part in parts:
            nxt = []
            for base in found:
                host = self.state.host_path(base or ".")
                if any(ch in part for ch in "*?["):
                    try:
                        names = sorted(os.listdir(host))
                    except OSError:
                        names = []
                    for name in names:
                        if fnmatch.fnmatchcase(name, part) and not (name.startswith(".") and not part.startswith(".")):
                            nxt.append(base.rstrip("/") + "/" + name if base else name)
                else:
                    nxt.append(base.rstrip("/") + "/" + part if base else part)
            found = [p for p in nxt if os.path.lexists(self.state.host_path(p))] if any(
                ch in part for ch in "*?[") else nxt
        return found or [pattern]

    # ---- commands ----------------------------------------------------------------------
    def _dispatch(self, argv, stdin, res):
        name = argv[0]
        if name == "busybox":
            if len(argv) < 2:
                res.out.write("BusyBox v1.22.1 (2016-05-12) multi-call binary.\n")
                return 0
            applet = argv[1]
            fn = getattr(self, "bb_" + applet, None) or getattr(self, "cmd_" + applet, None)
            if fn is None or applet in ("pm", "am", "dumpsys", "reboot", "getprop"):
                res.err.write("%s: applet not found\n" % applet)
                return 127
            return fn(argv[1:], stdin, res) or 0
        if "/" in name and name.startswith("/system/bin/"):
            name = name.rsplit("/", 1)[1]
        fn = getattr(self, "cmd_" + name, None) if re.match(r"^[a-z]+$", name) else None
        if fn is None:
            res.err.write("%s: %s: not found\n" % (SH, argv[0]))
            return 127
        return fn(argv, stdin, res) or 0

    def cmd_true(self, argv, stdin, res):
        return 0

    def cmd_false(self, argv, stdin, res):
        return 1

    def cmd_echo(self, argv, stdin, res):
        args = argv[1:]
        newline = True
        if args and args[0] == "-n":
            newline = False
            args = args[1:]
        res.out.write(" ".join(args) + ("\n" if newline else ""))
        return 0

    def cmd_sh(self, argv, stdin, res):
        if len(argv) >= 3 and argv[1] == "-c":
            out, err, code, reboot = self.run(argv[2], stdin)
            res.out.write(out.decode("utf-8", "replace"))
            res.err.write(err.decode("utf-8", "replace"))
            res.reboot = res.reboot or reboot
            return code
        return 0

    def cmd_cat(self, argv, stdin, res):
        if len(argv) == 1:
            res.out.write(stdin.decode("utf-8", "replace"))
            return 0
        status = 0
        for p in argv[1:]:
            path = self.state.host_path(p)
            if os.path.isdir(path):
                res.err.write("%s: Is a directory\n" % p)
                status = 1
            elif not os.path.isfile(path):
                res.err.write("%s: No such file or directory\n" % p)
                status = 1
            else:
                with open(path, "rb") as f:
                    res.out.write(f.read().decode("utf-8", "replace"))
        return status

    def cmd_ls(self, argv, stdin, res):
        paths = [a for a in argv[1:] if not a.startswith("-")] or ["/"]
        status = 0
        for p in paths:
            path = self.state.host_path(p)
            if os.path.isdir(path):
                for name in sorted(os.listdir(path)):
                    res.out.write(name + "\n")
            elif os.path.exists(path):
                res.out.write(p + "\n")
            else:
                res.err.write("%s: No such file or directory\n" % p)
                status = 1
        return status

    def cmd_mkdir(self, argv, stdin, res):
        parents = "-p" in argv[1:]
        status = 0
        for p in [a for a in argv[1:] if not a.startswith("-")]:
            path = self.state.host_path(p)
            if os.path.exists(path):
                if not parents:
                    res.err.write("mkdir failed for %s, File exists\n" % p)
                    status = 1
                continue
            if not parents and not os.path.isdir(os.path.dirname(path)):
                res.err.write("mkdir failed for %s, No such file or directory\n" % p)
                status = 1
                continue
            os.makedirs(path, exist_ok=True)
        return status

    def bb_mkdir(self, argv, stdin, res):
        return self.cmd_mkdir(argv, stdin, res)

    def cmd_rm(self, argv, stdin, res):
        flags = "".join(a[1:] for a in argv[1:] if a.startswith("-") and len(a) > 1)
        recursive = "r" in flags or "R" in flags
        force = "f" in flags
        status = 0
        for p in [a for a in argv[1:] if not (a.startswith("-") and len(a) > 1)]:
            path = self.state.host_path(p)
            if path == self.state.device_root:
                res.err.write("rm failed for %s, Read-only file system\n" % p)
                status = 1
            elif os.path.isdir(path) and not os.path.islink(path):
                if recursive:
                    shutil.rmtree(path, ignore_errors=True)
                else:
                    res.err.write("rm failed for %s, Is a directory\n" % p)
                    status = 1
            elif os.path.lexists(path):
                os.remove(path)
            elif not force:
                res.err.write("rm failed for %s, No such file or directory\n" % p)
                status = 1
        return status

    def bb_rm(self, argv, stdin, res):
        # busybox words its errors differently from toolbox
        sub = Result()
        status = self.cmd_rm(argv, stdin, sub)
        for line in sub.err.getvalue().splitlines():
            m = re.match(r"rm failed for (.*), (.*)$", line)
            res.err.write("rm: can't remove '%s': %s\n" % m.groups() if m else line + "\n")
        return status

    def bb_arp(self, argv, stdin, res):
        net = self.sc["net"]
        if net.get("arp") is not None:
            res.out.write(net["arp"])
        elif net.get("wifi_on", True):
            res.out.write("? (%s) at %s [ether]  on %s\n" % (net["gateway"], net["gateway_mac"], net["iface"]))
        return 0

    def bb_ifconfig(self, argv, stdin, res):
        net = self.sc["net"]
        texts = net.get("ifconfig") or {}
        iface = argv[1] if len(argv) > 1 else net["iface"]
        if iface in texts:
            res.out.write(texts[iface])
            return 0
        if iface != net["iface"] or not net.get("wifi_on", True):
            res.err.write("ifconfig: %s: error fetching interface information: Device not found\n" % iface)
            return 1
        ip = net["ip"]
        bcast = ".".join(ip.split(".")[:3] + ["255"])
        res.out.write(
            "%-10sLink encap:Ethernet  HWaddr %s  \n"
            "          inet addr:%s  Bcast:%s  Mask:255.255.255.0\n"
            "          inet6 addr: fe80::208:22ff:fe5a:3b7c/64 Scope:Link\n"
            "          UP BROADCAST RUNNING MULTICAST  MTU:1500  Metric:1\n"
            "          RX packets:10233 errors:0 dropped:0 overruns:0 frame:0\n"
            "          TX packets:6612 errors:0 dropped:0 overruns:0 carrier:0\n"
            "          collisions:0 txqueuelen:1000 \n"
            "          RX bytes:8123456 (7.7 MiB)  TX bytes:912345 (890.9 KiB)\n\n"
            % (iface, net["mac"].upper(), ip, bcast))
        return 0

    def bb_cat(self, argv, stdin, res):
        return self.cmd_cat(argv, stdin, res)

    def bb_echo(self, argv, stdin, res):
        return self.cmd_echo(argv, stdin, res)

    def bb_ls(self, argv, stdin, res):
        return self.cmd_ls(argv, stdin, res)

    def cmd_getprop(self, argv, stdin, res):
        props = self.sc["build_prop"]
        if len(argv) > 1:
            res.out.write(str(props.get(argv[1], "")) + "\n")
        else:
            for k, v in props.items():
                res.out.write("[%s]: [%s]\n" % (k, v))
        return 0

    def cmd_dumpsys(self, argv, stdin, res):
        if len(argv) < 2 or argv[1] != "battery":
            res.out.write("Can't find service: %s\n" % (argv[1] if len(argv) > 1 else ""))
            return 0
        b = self.sc["battery"]
        if b.get("text") is not None:
            res.out.write(b["text"])
            return 0
        res.out.write(
            "Current Battery Service state:\n"
            "  AC powered: %s\n  USB powered: %s\n  Wireless powered: false\n"
            "  status: %d\n  health: 2\n  present: true\n  level: %d\n  scale: %d\n"
            "  voltage: 4123\n  temperature: 285\n  technology: Li-ion\n"
            % ("true" if b["ac"] else "false", "true" if b.get("usb") else "false",
               2 if b["ac"] else 3, b["level"], b["scale"]))
        return 0

    def cmd_df(self, argv, stdin, res):
        if self.sc.get("df") is not None:
            res.out.write(self.sc["df"])
            return 0
        s = self.sc["storage"]
        res.out.write(
            "Filesystem               Size     Used     Free   Blksize\n"
            "/dev                   488.5M    68.0K   488.4M   4096\n"
            "/sys/fs/cgroup         488.5M    12.0K   488.5M   4096\n"
            "/mnt/asec              488.5M     0.0K   488.5M   4096\n"
            "/mnt/obb               488.5M     0.0K   488.5M   4096\n"
            "/system                  1.5G     1.1G   387.2M   4096\n"
            "/data                %8s %8s %8s   4096\n"
            "/cache                 248.0M   188.0K   247.8M   4096\n"
            "/mnt/shell/emulated  %8s %8s %8s   4096\n"
            % (s["data_size"], s["data_used"], s["data_free"], s["data_size"], s["data_used"],
               s["data_free"]))
        return 0

    def cmd_reboot(self, argv, stdin, res):
        res.reboot = True
        return 0

    def cmd_am(self, argv, stdin, res):
        if len(argv) < 2 or argv[1] != "start":
            if len(argv) >= 3 and argv[1] == "force-stop":
                return 0
            res.err.write("Error: unknown command '%s'\n" % (argv[1] if len(argv) > 1 else ""))
            return 1
        component = None
        args = argv[2:]
        for k, a in enumerate(args):
            if a == "-n" and k + 1 < len(args):
                component = args[k + 1]
        if not component or "/" not in component:
            res.err.write("Error: Activity not started, unable to resolve Intent\n")
            return 1
        pkg, act = component.split("/", 1)
        full = pkg + act if act.startswith(".") else act
        res.out.write("Starting: Intent { cmp=%s }\n" % component)
        with self.state.lock:
            known = pkg in self.state.data["packages"]
            if known:
                self.state.data["started"].append(pkg + "/" + full)
                self.state.save()
        if not known:
            res.err.write("Error type 3\nError: Activity class {%s/%s} does not exist.\n" % (pkg, full))
        return 0

    def cmd_cmd(self, argv, stdin, res):
        if len(argv) >= 2 and argv[1] == "package":
            return self.cmd_pm(["pm"] + argv[2:], stdin, res)
        res.err.write("Can't find service: %s\n" % (argv[1] if len(argv) > 1 else ""))
        return 1

    def cmd_pm(self, argv, stdin, res):
        sub = argv[1] if len(argv) > 1 else ""
        if sub == "list" and len(argv) > 2 and argv[2] == "packages":
            with self.state.lock:
                names = list(self.state.data["packages"])
            pattern = [a for a in argv[3:] if not a.startswith("-")]
            for n in names:
                if not pattern or pattern[0] in n:
                    res.out.write("package:%s\n" % n)
            return 0
        if sub == "path" and len(argv) > 2:
            with self.state.lock:
                p = self.state.data["packages"].get(argv[2])
            if p:
                res.out.write("package:%s\n" % p["apk"])
            return 0
        if sub == "install":
            return self.pm_install(argv[2:], None, res)
        if sub == "uninstall":
            return self.pm_uninstall(argv[2:], res)
        res.err.write("Error: unknown command '%s'\n" % sub)
        return 1

    # ---- packages ----------------------------------------------------------------------
    @staticmethod
    def apk_package(data_or_path, fallback):
        """Package name from our simulated APKs (a zip holding AndroidManifest.xml as text)."""
        try:
            src = io.BytesIO(data_or_path) if isinstance(data_or_path, bytes) else data_or_path
            with zipfile.ZipFile(src) as z:
                text = z.read("AndroidManifest.xml").decode("utf-8", "replace")
            m = re.search(r'package="([^"]+)"', text)
            v = re.search(r'android:versionName="([^"]*)"', text)
            return (m.group(1) if m else fallback), (v.group(1) if v else "")
        except (OSError, KeyError, zipfile.BadZipFile):
            return None, ""

    def _scripted_answer(self, pkg, apk_name):
        answers = self.sc.get("install_answers") or {}
        key = pkg if pkg in answers else apk_name if apk_name in answers else None
        if key is None:
            return None
        with self._attempts_lock:
            n = self._install_attempts.get(key, 0)
            self._install_attempts[key] = n + 1
        seq = answers[key]
        if isinstance(seq, (str, dict)):
            seq = [seq]
        if n >= len(seq):
            return None
        return seq[n]

    def pm_install(self, args, data, res):
        """`pm install [flags] PATH`, or the streamed form with the APK bytes in data."""
        replace = "-r" in args
        path = None if data is not None else (args[-1] if args and not args[-1].startswith("-") else None)
        if data is None:
            res.out.write("\tpkg: %s\n" % (path or ""))
            host = self.state.host_path(path) if path else None
            if not host or not os.path.isfile(host):
                res.out.write("Failure [INSTALL_FAILED_INVALID_URI]\n")
                return 1
            apk_name = os.path.basename(path)
            source = host
        else:
            apk_name = ""
            source = data
        pkg, version = self.apk_package(source, None)
        answer = self._scripted_answer(pkg, apk_name)
        if isinstance(answer, dict):
            res.out.write(answer.get("output", ""))
            if answer.get("install"):
                self._do_install(pkg, version, source)
            return 0
        if answer is not None and answer != "Success" and answer != "natural":
            res.out.write("Failure [%s]\n" % answer)
            return 1
        if pkg is None:
            res.out.write("Failure [INSTALL_PARSE_FAILED_NOT_APK]\n")
            return 1
        with self.state.lock:
            present = pkg in self.state.data["packages"]
        if present and not replace and answer is None:
            res.out.write("Failure [INSTALL_FAILED_ALREADY_EXISTS]\n")
            return 1
        self._do_install(pkg, version, source)
        res.out.write("Success\n")
        return 0

    def _do_install(self, pkg, version, source):
        dest = "/data/app/%s-1/base.apk" % pkg
        host = self.state.host_path(dest)
        os.makedirs(os.path.dirname(host), exist_ok=True)
        if isinstance(source, bytes):
            with open(host, "wb") as f:
                f.write(source)
        else:
            shutil.copyfile(source, host)
        with self.state.lock:
            self.state.data["packages"][pkg] = {"apk": dest, "version": version}
            self.state.save()

    def pm_uninstall(self, args, res):
        names = [a for a in args if not a.startswith("-")]
        if not names:
            res.err.write("Error: no package specified\n")
            return 1
        pkg = names[0]
        forced = (self.sc.get("uninstall_answers") or {}).get(pkg)
        if forced:
            res.out.write("Failure [%s]\n" % forced)
            return 1
        with self.state.lock:
            info = self.state.data["packages"].pop(pkg, None)
            if info is not None:
                self.state.save()
        if info is None:
            res.out.write("Failure [DELETE_FAILED_INTERNAL_ERROR]\n")
            return 1
        shutil.rmtree(os.path.dirname(self.state.host_path(info["apk"])), ignore_errors=True)
        res.out.write("Success\n")
        return 0
