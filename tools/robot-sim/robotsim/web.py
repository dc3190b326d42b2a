"""The upgrade web service: newest-package answer, package download with Range, install reports."""

import fnmatch
import hashlib
import http.server
import io
import json
import os
import shutil
import socket
import ssl
import subprocess
import threading
import time
import urllib.parse
import zipfile

FIND_PATH = "/zev/version/findPcInstallApk"
REPORT_PATH = "/zev/version/addPcInstallStat"
DOWNLOAD_PREFIX = "/download/"
ZIP_TIME = (2017, 3, 15, 12, 0, 0)


def _filler(size, seed):
    """Deterministic bytes, so that a package's digest is the same on every run."""
    block = hashlib.sha256(seed.encode()).digest() * 2048
    out = bytearray()
    while len(out) < size:
        out += block
    return bytes(out[:size])


def _entry(z, name, data):
    info = zipfile.ZipInfo(name, ZIP_TIME)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.external_attr = 0o644 << 16
    z.writestr(info, data)


def make_apk(package, version, size):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as z:
        manifest = ('<?xml version="1.0" encoding="utf-8"?>\n'
                    '<manifest xmlns:android="http://schemas.android.com/apk/res/android"\n'
                    '    package="%s" android:versionName="%s">\n</manifest>\n' % (package, version))
        _entry(z, "AndroidManifest.xml", manifest)
        info = zipfile.ZipInfo("classes.dex", ZIP_TIME)
        info.compress_type = zipfile.ZIP_STORED
        z.writestr(info, _filler(max(0, int(size)), package))
    return buf.getvalue()


def build_package(pkg, out_dir, base_dir):
    """Writes the package zip; returns its path."""
    os.makedirs(out_dir, exist_ok=True)
    dest = os.path.join(out_dir, pkg["file_name"])
    if pkg.get("zip"):
        src = pkg["zip"] if os.path.isabs(pkg["zip"]) else os.path.join(base_dir, pkg["zip"])
        shutil.copyfile(src, dest)
        return dest
    with zipfile.ZipFile(dest + ".tmp", "w") as z:
        for name, content in (pkg.get("actions") or {}).items():
            data = content.encode() if isinstance(content, str) else _filler(int(content.get("size", 0)), name)
            _entry(z, name, data)
        for apk in pkg.get("apks") or []:
            _entry(z, apk["file"], make_apk(apk["package"], apk.get("version", ""), apk.get("size", 1024)))
        for name, content in (pkg.get("files") or {}).items():
            data = content.encode() if isinstance(content, str) else _filler(int(content.get("size", 0)), name)
            _entry(z, name, data)
    os.replace(dest + ".tmp", dest)
    return dest


def digests(path):
    md5, sha = hashlib.md5(), hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            md5.update(chunk)
            sha.update(chunk)
    return md5.hexdigest(), sha.hexdigest()


class Fault:
    def __init__(self, rule_def):
        self.rule_def = rule_def
        self.seen = 0
        self.used = 0
        self.lock = threading.Lock()

    def take(self, target, path, range_header):
        want = self.rule_def.get("target", "*")
        if want not in ("*", target) and not fnmatch.fnmatchcase(path, want):
            return False
        # A client may send a request again by itself after a cut; a fault meant for one
        # resumption names its Range header, "" for none.
        if "range" in self.rule_def and self.rule_def["range"] != (range_header or ""):
            return False
        with self.lock:
            self.seen += 1
            if self.seen <= int(self.rule_def.get("skip", 0)):
                return False
            times = self.rule_def.get("times")
            if times is not None and self.used >= int(times):
                return False
            self.used += 1
            return True


class WebService:
    def __init__(self, state, scenario, base_dir=None):
        self.state = state
        self.sc = scenario["web"]
        self.base_dir = base_dir or os.getcwd()
        self.faults = [Fault(f) for f in self.sc.get("faults") or []]
        self.port = None
        self.package_path = None
        self.md5 = self.sha256 = None
        self.size = 0
        self._server = None

    def package_info(self):
        return {"file": self.package_path, "md5": self.md5, "sha256": self.sha256, "size": self.size,
                "url": self.download_url()}

    def base_url(self):
        return "%s://127.0.0.1:%d" % ("https" if self.tls else "http", self.port)

    def download_url(self):
        name = urllib.parse.quote(os.path.basename(self.package_path))
        return "%s%s%s" % (self.base_url(), DOWNLOAD_PREFIX, name)

    def start(self):
        self.package_path = build_package(self.sc["package"], os.path.join(self.state.root, "web"),
                                          self.base_dir)
        self.md5, self.sha256 = digests(self.package_path)
        self.size = os.path.getsize(self.package_path)
        self.signature_path = self._signature()
        self.tls = self._tls()
        web = self

        class Handler(_Handler):
            service = web

        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", int(self.sc.get("port") or 0)), Handler)
        self._server.daemon_threads = True
        self.port = self._server.server_address[1]
        threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.2},
                         daemon=True).start()

    def _tls(self):
        """The server's TLS context when the scenario names a certificate and its key, or None."""
        tls = self.sc.get("tls")
        if not tls:
            return None
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(self.base_dir, tls["cert"]),
                                os.path.join(self.base_dir, tls["key"]))
        return context

    def _signature(self):
        """Where the package's signature is read when it is asked for, or None."""
        sig = self.sc.get("signature")
        if not sig:
            return None
        if sig.get("file"):
            return os.path.join(self.base_dir, sig["file"])
        key = os.path.join(self.base_dir, sig["key"])
        path = self.package_path + ".minisig"
        # Debian's minisign; a key made with -W needs no password.
        subprocess.run(["minisign", "-S", "-s", key, "-m", self.package_path, "-x", path], check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        return path

    def stop(self):
        if self._server:
            self._server.shutdown()
            self._server.server_close()

    def answer(self):
        body = {"valid": True, "downloadUrl": self.download_url(), "md5": self.md5,
                "sha256": self.sha256, "size": self.size, "version": self.sc["package"].get("version", "")}
        for key, value in (self.sc.get("answer") or {}).items():
            if value is None:
                body.pop(key, None)
            else:
                body[key] = value
        return body


class _Handler(http.server.BaseHTTPRequestHandler):
    service = None
    server_version = "ZevSim/1.0"

    def log_message(self, fmt, *args):
        pass

    def setup(self):
        # The handshake runs on the connection's own thread: a client that refuses the
        # certificate fails only its own connection (a traceback in sim.out), and asks nothing.
        if self.service.tls:
            self.request = self.service.tls.wrap_socket(self.request, server_side=True)
        super().setup()

    def _target(self, path):
        if path == FIND_PATH:
            return "find"
        if path == REPORT_PATH:
            return "report"
        if path.startswith(DOWNLOAD_PREFIX):
            return "download"
        return "other"

    def _log(self, body, status, fault):
        rec = {"time": time.time(), "method": self.command, "path": self.path,
               "range": self.headers.get("Range"), "status": status}
        if body is not None:
            try:
                rec["body"] = json.loads(body.decode("utf-8"))
            except ValueError:
                rec["body"] = body.decode("utf-8", "replace")
        if fault is not None:
            rec["fault"] = fault.rule_def
        self.service.state.log_web(rec)

    def _read_body(self):
        n = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(n) if n > 0 else b""

    def do_POST(self):
        self._serve(self._read_body())

    def do_GET(self):
        self._serve(None)

    def do_HEAD(self):
        self._serve(None, head=True)

    def _serve(self, body, head=False):
        url = urllib.parse.urlsplit(self.path)
        path = urllib.parse.unquote(url.path)
        target = self._target(path)
        fault = next((f for f in self.service.faults
                      if f.take(target, path, self.headers.get("Range"))), None)
        rule_def = fault.rule_def if fault else {}
        if rule_def.get("delay_ms"):
            time.sleep(rule_def["delay_ms"] / 1000.0)
        if rule_def.get("drop"):
            self._log(body, None, fault)
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        redirect = rule_def.get("redirect")
        if redirect:
            location = self._redirect_location(redirect, url)
            if location is not None:
                self._log(body, 302, fault)
                self._plain(302, b"", headers={"Location": location})
                return
        if rule_def.get("status"):
            self._log(body, rule_def["status"], fault)
            text = rule_def.get("body", "error %d" % rule_def["status"]).encode()
            self._plain(int(rule_def["status"]), text, "text/plain")
            return
        if rule_def.get("garbage"):
            self._log(body, 200, fault)
            self._plain(200, rule_def.get("body", '{"valid": tru').encode(), "application/json")
            return
        if target == "find" and self.command == "POST":
            self._log(body, 200, fault)
            self._plain(200, json.dumps(self.service.answer()).encode(), "application/json")
        elif target == "report" and self.command == "POST":
            self._log(body, 200, fault)
            self._plain(200, b'{"code": 0, "message": "ok"}', "application/json")
        elif target == "download" and self.command in ("GET", "HEAD"):
            self._download(path, body, rule_def, fault, head)
        else:
            self._log(body, 404, fault)
            self._plain(404, b"not found", "text/plain")

    def _redirect_location(self, redirect, url):
        host = self.service.base_url()
        if redirect == "loop":
            return host + self.path
        if isinstance(redirect, str) and redirect.startswith("chain:"):
            hops = int(redirect.split(":", 1)[1])
            query = urllib.parse.parse_qs(url.query)
            hop = int(query.get("hop", ["0"])[0])
            if hop >= hops:
                return None
            return "%s%s?hop=%d" % (host, url.path, hop + 1)
        return redirect

    def _plain(self, status, data, ctype="application/octet-stream", headers=None):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(data)))
        for k, v in (headers or {}).items():
            self.send_header(k, v)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)

    def _download(self, path, body, rule_def, fault, head):
        name = path[len(DOWNLOAD_PREFIX):]
        pkg = self.service.package_path
        signature = self.service.signature_path
        if name == os.path.basename(pkg) + ".minisig" and signature and os.path.exists(signature):
            with open(signature, "rb") as f:
                data = f.read()
            self._log(body, 200, fault)
            self._plain(200, data, "text/plain")
            return
        if name != os.path.basename(pkg):
            self._log(body, 404, fault)
            self._plain(404, b"no such package", "text/plain")
            return
        total = os.path.getsize(pkg)
        start, end = 0, total - 1
        status = 200
        wanted = self.headers.get("Range")
        if wanted and not rule_def.get("ignore_range"):
            parsed = _parse_range(wanted, total)
            if parsed is None:
                self._log(body, 416, fault)
                self._plain(416, b"", headers={"Content-Range": "bytes */%d" % total})
                return
            start, end = parsed
            status = 206
        length = end - start + 1
        self._log(body, status, fault)
        self.send_response(status)
        self.send_header("Content-Type", "application/zip")
        self.send_header("Content-Length", str(length))
        self.send_header("Accept-Ranges", "bytes")
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, total))
        self.end_headers()
        if head:
            return
        cut = rule_def.get("cut_after")
        rate = rule_def.get("rate")
        budget = length if cut is None else min(length, int(cut))
        began = time.monotonic()
        sent = 0
        with open(pkg, "rb") as f:
            f.seek(start)
            while sent < budget:
                if rate:
                    # Slices of a tenth of a second, each sent when the rate allows it.
                    ahead = sent / float(rate) - (time.monotonic() - began)
                    if ahead > 0:
                        time.sleep(ahead)
                chunk = f.read(min(65536, budget - sent, max(1, int(rate) // 10) if rate else 65536))
                if not chunk:
                    break
                try:
                    self.wfile.write(chunk)
                except OSError:
                    return
                sent += len(chunk)
        if sent < length:
            # The connection is cut in the middle of the body.
            self.wfile.flush()
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def _parse_range(text, total):
    if not text.startswith("bytes=") or "," in text:
        return None
    first, _, last = text[6:].strip().partition("-")
    try:
        if first == "":
            n = int(last)
            if n <= 0:
                return None
            return max(0, total - n), total - 1
        start = int(first)
        end = int(last) if last else total - 1
    except ValueError:
        return None
    if start >= total or end < start:
        return None
    return start, min(end, total - 1)
