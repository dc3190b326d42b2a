#!/usr/bin/python3
"""A loopback web service with fine-grained faults for the download component's tests.

Prints "PORT <n>" once it listens. Everything is chosen by the request's path and query:
  POST /zev/version/findPcInstallApk?answer=valid|invalid|nourl|garbage|array|badtype|baddigest|huge
       [&size=N][&status=S][&url=U]          the newest-package answer (recorded)
  POST /zev/version/addPcInstallStat[?status=S]  a report (recorded when answered 2xx)
  GET  /files/<name>?size=N[&cut=M][&norange=1][&badrange=1][&stall=M][&nolength=1][&trickle=T]
       deterministic bytes; Range honoured unless norange; cut closes the connection after M
       body bytes; stall sends M bytes and then nothing; trickle sends 1000 bytes every T ms
  GET  /status/<code>                        that status
  GET  /redirect?to=<url>[&code=C]           one redirect
  GET  /chain/<n>?then=<url>                 n redirects, then <url>
  GET  /loop/a, /loop/b                      redirect to each other
  GET  /nolocation                           302 without a Location
  GET  /_log                                 recorded requests as a JSON list
  GET  /_sha?size=N                          SHA-256 of the first N bytes
"""

import hashlib
import http.server
import json
import random
import socket
import sys
import threading
import time
import urllib.parse

PATTERN_LEN = 65521  # prime, so that no block boundary lines up with the pattern
PATTERN = random.Random(7).randbytes(PATTERN_LEN)
WINDOW = PATTERN * (1 + (1 << 20) // PATTERN_LEN + 1)

LOG = []
LOG_LOCK = threading.Lock()


def content(offset, length):
    """Bytes [offset, offset+length) of every file, in chunks of at most 1 MiB."""
    end = offset + length
    while offset < end:
        start = offset % PATTERN_LEN
        n = min(end - offset, 1 << 20)
        yield WINDOW[start:start + n]
        offset += n


def sha256_of(size):
    h = hashlib.sha256()
    for chunk in content(0, size):
        h.update(chunk)
    return h.hexdigest()


def md5_of(size):
    h = hashlib.md5()
    for chunk in content(0, size):
        h.update(chunk)
    return h.hexdigest()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def _send(self, status, body=b"", ctype="application/json", headers=None):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        for key, value in (headers or {}).items():
            self.send_header(key, value)
        self.end_headers()
        self.wfile.write(body)

    def _record(self, body):
        entry = {"method": self.command, "path": self.path, "range": self.headers.get("Range"),
                 "contentType": self.headers.get("Content-Type"),
                 "acceptEncoding": self.headers.get("Accept-Encoding")}
        if body is not None:
            try:
                entry["body"] = json.loads(body.decode("utf-8"))
            except ValueError:
                entry["body"] = body.decode("utf-8", "replace")
        with LOG_LOCK:
            LOG.append(entry)

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        url = urllib.parse.urlsplit(self.path)
        query = {k: v[-1] for k, v in urllib.parse.parse_qs(url.query).items()}
        self._record(body)
        if "status" in query:
            self._send(int(query["status"]), b'{"error": "as asked"}')
            return
        if url.path == "/zev/version/findPcInstallApk":
            self._answer(query)
        elif url.path == "/zev/version/addPcInstallStat":
            self._send(200, b'{"code": 0}')
        elif url.path.startswith(("/redirect", "/chain/", "/loop/")):
            self.do_GET()
        else:
            self._send(404, b"{}")

    def _answer(self, query):
        kind = query.get("answer", "valid")
        size = int(query.get("size", "4096"))
        host = "http://127.0.0.1:%d" % self.server.server_address[1]
        url = query.get("url", host + "/files/package.zip?size=%d" % size)
        answers = {
            "valid": {"valid": True, "downloadUrl": url, "md5": md5_of(size).upper(),
                      "sha256": sha256_of(size), "size": size, "version": "2.3.4"},
            "minimal": {"valid": True, "downloadUrl": url, "md5": md5_of(size)},
            "invalid": {"valid": False, "downloadUrl": "", "md5": ""},
            "nourl": {"valid": True, "md5": md5_of(size)},
            "badtype": {"valid": "yes", "downloadUrl": url, "md5": md5_of(size)},
            "baddigest": {"valid": True, "downloadUrl": url, "md5": "not-a-digest"},
            "array": [{"valid": True, "downloadUrl": url}],
        }
        if kind == "garbage":
            body = b'{"valid": tru'
        elif kind == "huge":
            body = b'{"valid": true, "version": "' + b"x" * (2 << 20) + b'"}'
        else:
            body = json.dumps(answers[kind]).encode()
        self._send(200, body)

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = {k: v[-1] for k, v in urllib.parse.parse_qs(url.query).items()}
        path = url.path
        host = "http://127.0.0.1:%d" % self.server.server_address[1]
        if path == "/_log":
            with LOG_LOCK:
                body = json.dumps(LOG).encode()
            self._send(200, body)
            return
        self._record(None)
        if path == "/_sha":
            self._send(200, sha256_of(int(query["size"])).encode(), "text/plain")
        elif path.startswith("/files/"):
            self._file(query)
        elif path.startswith("/status/"):
            self._send(int(path.split("/")[2]), b"status as asked", "text/plain")
        elif path == "/redirect":
            self._send(int(query.get("code", "302")), headers={"Location": query["to"]})
        elif path.startswith("/chain/"):
            n = int(path.split("/")[2])
            then = query["then"]
            target = then if n <= 1 else "/chain/%d?then=%s" % (n - 1, urllib.parse.quote(then, safe=""))
            self._send(302, headers={"Location": target})
        elif path == "/loop/a":
            self._send(302, headers={"Location": host + "/loop/b"})
        elif path == "/loop/b":
            self._send(307, headers={"Location": "/loop/a"})
        elif path == "/nolocation":
            self._send(302)
        else:
            self._send(404, b"not found", "text/plain")

    def _file(self, query):
        total = int(query.get("size", "0"))
        start, end, status = 0, total - 1, 200
        wanted = self.headers.get("Range")
        if wanted and "norange" not in query:
            first = int(wanted.split("=", 1)[1].split("-", 1)[0])
            if first >= total:
                self._send(416, headers={"Content-Range": "bytes */%d" % total})
                return
            start, status = first, 206
            if "badrange" in query:
                start = 0
        length = end - start + 1
        self.send_response(status)
        self.send_header("Content-Type", "application/zip")
        if "nolength" in query:
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(length))
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, total))
        self.end_headers()
        budget = length
        if "cut" in query:
            budget = min(length, int(query["cut"]))
        if "stall" in query:
            budget = min(length, int(query["stall"]))
        sent = 0
        pause = int(query.get("trickle", "0")) / 1000.0
        try:
            for chunk in content(start, budget):
                if pause:
                    for at in range(0, len(chunk), 1000):
                        self.wfile.write(chunk[at:at + 1000])
                        self.wfile.flush()
                        time.sleep(pause)
                else:
                    self.wfile.write(chunk)
                sent += len(chunk)
            self.wfile.flush()
            if "stall" in query:
                # Nothing more; hold the connection until the client gives up.
                self.connection.settimeout(30)
                self.connection.recv(1)
        except OSError:
            return
        if sent < length:
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class Server(http.server.ThreadingHTTPServer):
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        # Clients that hang up early are part of the tests.
        pass


def main():
    port = int(sys.argv[1]) if len(sys.argv) > 1 else 0
    server = Server(("127.0.0.1", port), Handler)
    server.daemon_threads = True
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
