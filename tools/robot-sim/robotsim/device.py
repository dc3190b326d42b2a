"""The simulated adbd: listens where adb servers look for emulators and serves adb services."""

import fnmatch
import os
import re
import socket
import stat
import struct
import threading

from . import adbproto
from .adbproto import StreamReader
from .shell import DeviceShell, Result

SYNC_DATA_MAX = 64 * 1024


# The first adb service of each step of an upgrade, for "unplug": {"at": STEP}.
STEPS = {
    "serial": "tcp:6102",
    "base_info": "shell:cat /system/build.prop",
    "ip": "shell:busybox arp",
    "battery": "shell:dumpsys battery",
    "push": "shell:mkdir /sdcard/actions/",
    "uninstall": "shell:pm list packages",
    "install": "shell:pm 'install'*",
    "restart": "shell:am start*",
}


class Rule:
    """A scripted behaviour for services matching a pattern: delay, hang, output, unplug, freeze."""

    def __init__(self, rule_def):
        self.rule_def = rule_def
        self.pattern = rule_def.get("match")
        self.regex = re.compile(rule_def["regex"]) if rule_def.get("regex") else None
        self.skip = int(rule_def.get("skip", 0))
        self.times = rule_def.get("times")
        self.seen = 0
        self.used = 0
        self._lock = threading.Lock()

    def take(self, service):
        if self.regex is not None:
            hit = self.regex.search(service) is not None
        else:
            hit = fnmatch.fnmatchcase(service, self.pattern or "*")
        if not hit:
            return False
        with self._lock:
            self.seen += 1
            if self.seen <= self.skip:
                return False
            if self.times is not None and self.used >= int(self.times):
                return False
            self.used += 1
            return True


def unplug_rule(rule_def):
    """The scenario's "unplug" shorthand as a rule: at a step name or a service pattern."""
    at = rule_def["at"]
    return {"match": STEPS.get(at, at), "skip": int(rule_def.get("occurrence", 1)) - 1, "times": 1,
            "unplug": True, "replug_after_ms": rule_def.get("replug_after_ms")}


class Device:
    def __init__(self, state, scenario, service_port_getter, stop_event):
        self.state = state
        self.sc = scenario
        self.shell = DeviceShell(state, scenario)
        self.service_port = service_port_getter
        self.stop_event = stop_event
        dev = scenario["device"]
        self.features = list(dev.get("features") or [])
        self.banner = "device::ro.product.name=%s;ro.product.model=%s;ro.product.device=%s;features=%s" % (
            dev["product_name"], dev["model"], dev["device"], ",".join(self.features))
        self.ports = list(scenario["adb_ports"])
        rules = list(scenario.get("rules") or [])
        if scenario.get("unplug"):
            rules.insert(0, unplug_rule(scenario["unplug"]))
        self.rules = [Rule(r) for r in rules]
        self.push_rules = [Rule(dict(r, match=r.get("path"))) for r in scenario.get("push_failures") or []]
        self._lock = threading.Lock()
        self._listeners = {}
        self._conns = set()
        self.plugged = False

    # ---- presence ----------------------------------------------------------------------
    def plug(self):
        with self._lock:
            if self.plugged:
                return
            for k, port in enumerate(self.ports):
                s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                s.bind(("127.0.0.1", port))
                s.listen(8)
                # Port 0 takes a free port once; a replug comes back on the same one.
                self.ports[k] = s.getsockname()[1]
                self._listeners[self.ports[k]] = s
                threading.Thread(target=self._accept_loop, args=(s,), daemon=True).start()
            self.plugged = True
            with self.state.lock:
                self.state.data["boots"] += 1
                self.state.save()

    def unplug(self, replug_after_ms=None):
        with self._lock:
            listeners = list(self._listeners.values())
            self._listeners.clear()
            conns = list(self._conns)
            self.plugged = False
        for s in listeners:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()
        for c in conns:
            c.drop()
        if replug_after_ms is not None:
            threading.Thread(target=self._replug_later, args=(replug_after_ms,), daemon=True).start()

    def _replug_later(self, ms):
        if not self.stop_event.wait(ms / 1000.0):
            self.plug()

    def freeze(self):
        with self._lock:
            conns = list(self._conns)
        for c in conns:
            c.freeze()

    def _accept_loop(self, listener):
        while True:
            try:
                sock, _ = listener.accept()
            except OSError:
                return
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            conn = adbproto.Connection(sock, self.banner, self._on_open, self._on_lost)
            with self._lock:
                if not self.plugged:
                    sock.close()
                    continue
                self._conns.add(conn)
            threading.Thread(target=conn.serve, daemon=True).start()

    def _on_lost(self, conn):
        with self._lock:
            self._conns.discard(conn)

    # ---- services ----------------------------------------------------------------------
    def _on_open(self, conn, stream):
        service = stream.service
        self.state.log_command(service)
        rule = next((r for r in self.rules if r.take(service)), None)
        if rule is not None:
            rule_def = rule.rule_def
            if rule_def.get("unplug"):
                self.unplug(rule_def.get("replug_after_ms"))
                return
            if rule_def.get("freeze"):
                self.freeze()
                return
        handler = self._handler_for(service)
        if handler is None:
            conn.refuse_stream(stream)
            return
        conn.accept_stream(stream)
        threading.Thread(target=self._run_handler, args=(handler, stream, rule), daemon=True).start()

    def _run_handler(self, handler, stream, rule):
        try:
            if rule is not None:
                rule_def = rule.rule_def
                if rule_def.get("hang"):
                    # Silent until the host gives up (or the simulator stops).
                    while not stream.wait_closed(0.2) and not self.stop_event.is_set():
                        pass
                    return
                if rule_def.get("delay_ms"):
                    if stream.wait_closed(rule_def["delay_ms"] / 1000.0):
                        return
                if "output" in rule_def:
                    self._write_shell_output(stream, rule_def["output"].encode(), b"",
                                             int(rule_def.get("exit", 0)))
                    return
            handler(stream)
        except Exception as e:  # one broken stream must not take the device down
            self.state.log_exec({"error": "%s: %r" % (stream.service, e)})
        finally:
            stream.close()

    def _handler_for(self, service):
        if service.startswith("shell:"):
            return self._shell_legacy
        if service.startswith("shell,") and "shell_v2" in self.features:
            return self._shell_v2
        if service.startswith("exec:"):
            return self._exec
        if service == "sync:":
            return self._sync
        if service.startswith("tcp:"):
            return self._tcp
        if service.startswith("reboot:"):
            return self._reboot
        return None

    def _write_shell_output(self, stream, out, err, code):
        if stream.service.startswith("shell,"):
            options = stream.service.partition(":")[0].split(",")
            if "raw" not in options:
                out = out.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
            packets = b""
            if out:
                packets += struct.pack("<BI", 1, len(out)) + out
            if err:
                packets += struct.pack("<BI", 2, len(err)) + err
            packets += struct.pack("<BI", 3, 1) + bytes([code & 0xFF])
            stream.write(packets)
        elif stream.service.startswith("exec:"):
            stream.write(out + err)
        else:
            # A pty: stderr mixed in, LF turned into CRLF, the exit code lost.
            stream.write((out + err).replace(b"\r\n", b"\n").replace(b"\n", b"\r\n"))

    def _run_command(self, stream, cmdline, stdin=b""):
        out, err, code, reboot = self.shell.run(cmdline, stdin)
        self._write_shell_output(stream, out, err, code)
        if reboot:
            self._reboot_now()

    def _shell_legacy(self, stream):
        cmdline = stream.service[len("shell:"):]
        if not cmdline.strip():
            stream.write(b"shell@%s:/ $ " % self.sc["device"]["device"].encode())
            return
        self._run_command(stream, cmdline)

    def _shell_v2(self, stream):
        cmdline = stream.service.partition(":")[2]
        if cmdline.strip():
            self._run_command(stream, cmdline)

    def _exec(self, stream):
        cmdline = stream.service[len("exec:"):]
        m = re.match(r"^cmd package 'install'(.*) -S (\d+)\s*$", cmdline) or \
            re.match(r"^cmd package install(.*) -S (\d+)\s*$", cmdline)
        if m:
            size = int(m.group(2))
            data = StreamReader(stream).read_exact(size)
            if data is None:
                return
            self.state.log_exec({"argv": ["cmd", "package", "install", "-S", str(size)]})
            res = Result()
            flags = [w.strip("'") for w in m.group(1).split()]
            self.shell.pm_install(flags, data, res)
            stream.write(res.out.getvalue().encode())
            return
        self._run_command(stream, cmdline)

    def _reboot(self, stream):
        self._reboot_now()

    def _reboot_now(self):
        with self.state.lock:
            self.state.data["reboots"] += 1
            self.state.save()
        # Let the answer leave before the cable "drops".
        threading.Timer(0.2, self.unplug, kwargs={"replug_after_ms": self.sc["device"]["reboot_ms"]}).start()

    # ---- port forward ------------------------------------------------------------------
    def _tcp(self, stream):
        port = stream.service[len("tcp:"):]
        if port not in ("6102",):
            return
        try:
            peer = socket.create_connection(("127.0.0.1", self.service_port()), timeout=5)
        except OSError:
            return
        peer.settimeout(None)
        done = threading.Event()

        def pump_back():
            try:
                while True:
                    data = peer.recv(65536)
                    if not data or not stream.write(data):
                        break
            except OSError:
                pass
            done.set()
            stream.close()

        threading.Thread(target=pump_back, daemon=True).start()
        try:
            while True:
                data = stream.recv()
                if data is None:
                    break
                peer.sendall(data)
        except OSError:
            pass
        finally:
            try:
                peer.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            peer.close()
            done.wait(2)

    # ---- file sync ---------------------------------------------------------------------
    def _sync(self, stream):
        rd = StreamReader(stream)
        while True:
            head = rd.read_exact(8)
            if head is None:
                return
            cmd, length = head[:4], struct.unpack("<I", head[4:])[0]
            if cmd in (b"STAT", b"STA2", b"LST2", b"LIST", b"SEND", b"RECV"):
                if length > 4096:
                    self._sync_fail(stream, "path too long")
                    return
                arg = rd.read_exact(length)
                if arg is None:
                    return
                path = arg.decode("utf-8", "replace")
            if cmd == b"QUIT":
                return
            if cmd == b"STAT":
                stream.write(b"STAT" + self._stat_v1(path))
            elif cmd in (b"STA2", b"LST2"):
                stream.write(cmd + self._stat_v2(path))
            elif cmd == b"LIST":
                self._sync_list(stream, path)
            elif cmd == b"SEND":
                if not self._sync_send(stream, rd, path):
                    return
            elif cmd == b"RECV":
                self._sync_recv(stream, path)
            else:
                self._sync_fail(stream, "unknown command %r" % cmd)
                return

    def _stat(self, path):
        try:
            return os.stat(self.state.host_path(path))
        except OSError:
            return None

    def _stat_v1(self, path):
        st = self._stat(path)
        if st is None:
            return struct.pack("<III", 0, 0, 0)
        return struct.pack("<III", st.st_mode & 0xFFFFFFFF, st.st_size & 0xFFFFFFFF, int(st.st_mtime))

    def _stat_v2(self, path):
        st = self._stat(path)
        if st is None:
            return struct.pack("<IQQIIIIQqqq", 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0)
        return struct.pack("<IQQIIIIQqqq", 0, st.st_dev, st.st_ino, st.st_mode, st.st_nlink, 0, 0,
                           st.st_size, int(st.st_atime), int(st.st_mtime), int(st.st_ctime))

    def _sync_list(self, stream, path):
        host = self.state.host_path(path)
        out = b""
        if os.path.isdir(host):
            for name in [".", ".."] + sorted(os.listdir(host)):
                try:
                    st = os.stat(os.path.join(host, name))
                except OSError:
                    continue
                n = name.encode()
                out += b"DENT" + struct.pack("<IIII", st.st_mode, st.st_size & 0xFFFFFFFF,
                                             int(st.st_mtime), len(n)) + n
        stream.write(out + b"DONE" + struct.pack("<IIII", 0, 0, 0, 0))

    def _sync_fail(self, stream, message):
        m = message.encode()
        stream.write(b"FAIL" + struct.pack("<I", len(m)) + m)

    def _sync_send(self, stream, rd, rule_def):
        path, _, mode_text = rule_def.rpartition(",")
        try:
            mode = int(mode_text)
        except ValueError:
            path, mode = rule_def, 0o100644
        failure = next((r for r in self.push_rules if r.take(path)), None)
        host = self.state.host_path(path)
        error = None
        if failure is not None:
            error = failure.rule_def.get("message", "No space left on device")
        elif os.path.isdir(host):
            error = "couldn't create file: Is a directory"
        tmp = host + ".sim-part"
        f = None
        if error is None:
            try:
                # adbd makes the missing parent folders itself
                os.makedirs(os.path.dirname(host), exist_ok=True)
                f = open(tmp, "wb")
            except OSError as e:
                error = "couldn't create file: %s" % e.strerror
        mtime = None
        try:
            while True:
                head = rd.read_exact(8)
                if head is None:
                    return False
                cmd, length = head[:4], struct.unpack("<I", head[4:])[0]
                if cmd == b"DATA":
                    if length > SYNC_DATA_MAX:
                        self._sync_fail(stream, "data chunk too large")
                        return False
                    data = rd.read_exact(length)
                    if data is None:
                        return False
                    if f is not None:
                        f.write(data)
                elif cmd == b"DONE":
                    mtime = length
                    break
                else:
                    self._sync_fail(stream, "invalid data message")
                    return False
        finally:
            if f is not None:
                f.close()
                if mtime is None or error is not None:
                    os.remove(tmp)
        if error is not None:
            self._sync_fail(stream, error)
            return True
        if stat.S_ISLNK(mode):
            mode = 0o100644  # the simulator keeps no symbolic links: they could point outside it
        os.replace(tmp, host)
        os.chmod(host, (mode & 0o777) or 0o644)
        if mtime:
            os.utime(host, (mtime, mtime))
        stream.write(b"OKAY" + struct.pack("<I", 0))
        return True

    def _sync_recv(self, stream, path):
        host = self.state.host_path(path)
        if not os.path.isfile(host):
            self._sync_fail(stream, "No such file or directory")
            return
        out = bytearray()
        with open(host, "rb") as f:
            while True:
                chunk = f.read(SYNC_DATA_MAX)
                if not chunk:
                    break
                out += b"DATA" + struct.pack("<I", len(chunk)) + chunk
        stream.write(bytes(out) + b"DONE" + struct.pack("<I", 0))
