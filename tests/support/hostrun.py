#!/usr/bin/python3
"""Runs Linux programs on behalf of the Windows test programs under Wine, which can start a Linux
program but neither wait for it nor read its output.

    hostrun.py PORT_FILE      listens on a free loopback port and writes it to PORT_FILE

One request per connection: a JSON line {"argv": [...], "cwd": "...", "env": {...}}, "env" naming
variables to set (or with null, to drop) for the program. The answer is a stream of
frames, a tag byte and a little-endian 32-bit length or value: b"O" + length + bytes of standard
output, b"E" + length + bytes of standard error, b"F" + length + the reason it could not start,
and last b"X" + the exit status (negative: the signal that ended it). A client that goes away while
its program runs takes the program (and what it started) with it."""
import json
import os
import signal
import socketserver
import struct
import subprocess
import sys
import threading


class Relay(socketserver.BaseRequestHandler):
    def handle(self):
        self.lock = threading.Lock()
        try:
            request = json.loads(self.request.makefile("rb").readline())
            env = dict(os.environ)
            for name, value in (request.get("env") or {}).items():
                if value is None:
                    env.pop(name, None)
                else:
                    env[name] = value
            process = subprocess.Popen(
                request["argv"], cwd=request.get("cwd") or None, env=env, stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
        except (OSError, ValueError, KeyError, TypeError) as error:
            self.send(b"F", str(error).encode())
            return
        pumps = [threading.Thread(target=self.pump, args=(stream, tag), daemon=True)
                 for stream, tag in ((process.stdout, b"O"), (process.stderr, b"E"))]
        for pump in pumps:
            pump.start()
        threading.Thread(target=self.watch, args=(process,), daemon=True).start()
        status = process.wait()
        # A daemon the program left behind may hold its pipes open: what is there is sent, then
        # the status, without waiting for the end of those pipes.
        for pump in pumps:
            pump.join(2)
        self.send(b"X", struct.pack("<i", status), raw=True)

    def send(self, tag, payload, raw=False):
        frame = tag + (payload if raw else struct.pack("<I", len(payload)) + payload)
        with self.lock:
            try:
                self.request.sendall(frame)
            except OSError:
                pass

    def pump(self, stream, tag):
        for chunk in iter(lambda: os.read(stream.fileno(), 65536), b""):
            self.send(tag, chunk)

    def watch(self, process):
        # The client sends nothing after its request: the end of its stream means it is gone.
        try:
            while self.request.recv(4096):
                pass
        except OSError:
            pass
        if process.poll() is None:
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except OSError:
                pass


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    server = Server(("127.0.0.1", 0), Relay)
    port_file = sys.argv[1]
    with open(port_file + ".new", "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(port_file + ".new", port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
