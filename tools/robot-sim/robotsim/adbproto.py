"""The device end of the adb transport protocol over TCP (what adbd speaks)."""

import collections
import socket
import struct
import threading

A_CNXN = 0x4E584E43
A_AUTH = 0x48545541
A_OPEN = 0x4E45504F
A_OKAY = 0x59414B4F
A_WRTE = 0x45545257
A_CLSE = 0x45534C43

A_VERSION = 0x01000001
MAX_PAYLOAD = 1024 * 1024

HEADER = struct.Struct("<6I")
NAMES = {A_CNXN: "CNXN", A_AUTH: "AUTH", A_OPEN: "OPEN", A_OKAY: "OKAY", A_WRTE: "WRTE", A_CLSE: "CLSE"}


class ConnectionLost(Exception):
    pass


def _recv_exact(sock, n):
    buf = bytearray(n)
    view = memoryview(buf)
    got = 0
    while got < n:
        k = sock.recv_into(view[got:], n - got)
        if k == 0:
            raise ConnectionLost()
        got += k
    return bytes(buf)


class Stream:
    """One adb stream: the host's OPEN accepted by us. Written by one handler thread."""

    def __init__(self, conn, local_id, remote_id, service):
        self.conn = conn
        self.local_id = local_id
        self.remote_id = remote_id
        self.service = service
        self._cond = threading.Condition()
        self._incoming = collections.deque()
        self._may_write = True
        self.closed = False

    # Called from the connection's reader thread.
    def _on_okay(self):
        with self._cond:
            self._may_write = True
            self._cond.notify_all()

    def _on_data(self, data):
        with self._cond:
            self._incoming.append(data)
            self._cond.notify_all()

    def _on_close(self):
        with self._cond:
            self.closed = True
            self._cond.notify_all()

    # Called from the handler thread.
    def recv(self):
        """Next chunk the host wrote, or None once the stream or connection closed."""
        with self._cond:
            while not self._incoming and not self.closed:
                self._cond.wait()
            if not self._incoming:
                return None
            data = self._incoming.popleft()
        # The host sends its next WRTE only after this acknowledgement.
        self.conn.send(A_OKAY, self.local_id, self.remote_id)
        return data

    def write(self, data):
        """Writes all of data; returns False when the stream closed first."""
        view = memoryview(bytes(data))
        step = self.conn.max_payload
        while len(view):
            with self._cond:
                while not self._may_write and not self.closed:
                    self._cond.wait()
                if self.closed:
                    return False
                self._may_write = False
            chunk = view[:step]
            view = view[step:]
            if not self.conn.send(A_WRTE, self.local_id, self.remote_id, chunk):
                return False
        return True

    def wait_closed(self, timeout=None):
        with self._cond:
            self._cond.wait_for(lambda: self.closed, timeout)
            return self.closed

    def close(self):
        with self._cond:
            if self.closed:
                return
            self.closed = True
            self._cond.notify_all()
        self.conn.forget(self.local_id)
        self.conn.send(A_CLSE, self.local_id, self.remote_id)


class StreamReader:
    """Byte-stream view of what the host writes to a stream."""

    def __init__(self, stream):
        self.stream = stream
        self._buf = bytearray()

    def read_exact(self, n):
        while len(self._buf) < n:
            chunk = self.stream.recv()
            if chunk is None:
                return None
            self._buf += chunk
        out = bytes(self._buf[:n])
        del self._buf[:n]
        return out

    def read_some(self):
        if self._buf:
            out = bytes(self._buf)
            self._buf.clear()
            return out
        return self.stream.recv()


class Connection:
    """One host connection (one adb server). `on_open(conn, stream)` decides what a stream does."""

    def __init__(self, sock, banner, on_open, on_lost=None):
        self.sock = sock
        self.banner = banner
        self.on_open = on_open
        self.on_lost = on_lost
        self.max_payload = 4096
        self.host_banner = ""
        self.frozen = False
        self._wlock = threading.Lock()
        self._slock = threading.Lock()
        self._streams = {}
        self._next_id = 1
        self._dead = False

    def send(self, cmd, arg0, arg1, data=b""):
        if self.frozen:
            return False
        check = sum(data) & 0xFFFFFFFF if cmd in (A_CNXN, A_AUTH) else 0
        header = HEADER.pack(cmd, arg0, arg1, len(data), check, cmd ^ 0xFFFFFFFF)
        try:
            with self._wlock:
                if len(data) < 65536:
                    self.sock.sendall(header + bytes(data))
                else:
                    self.sock.sendall(header)
                    self.sock.sendall(data)
            return True
        except OSError:
            self.drop()
            return False

    def forget(self, local_id):
        with self._slock:
            self._streams.pop(local_id, None)

    def drop(self):
        """Cuts the connection as a pulled cable does."""
        with self._slock:
            if self._dead:
                return
            self._dead = True
            streams = list(self._streams.values())
            self._streams.clear()
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        for s in streams:
            s._on_close()

    def freeze(self):
        """Keeps the connection but answers nothing any more."""
        self.frozen = True

    def serve(self):
        try:
            while True:
                cmd, arg0, arg1, length, _check, magic = HEADER.unpack(_recv_exact(self.sock, 24))
                if magic != cmd ^ 0xFFFFFFFF or length > MAX_PAYLOAD * 2:
                    break
                data = _recv_exact(self.sock, length) if length else b""
                if self.frozen:
                    continue
                self._handle(cmd, arg0, arg1, data)
        except (ConnectionLost, OSError):
            pass
        finally:
            self.drop()
            if self.on_lost:
                self.on_lost(self)

    def _handle(self, cmd, arg0, arg1, data):
        if cmd == A_CNXN:
            self.max_payload = max(256, min(arg1, MAX_PAYLOAD))
            self.host_banner = data.rstrip(b"\0").decode("utf-8", "replace")
            self.send(A_CNXN, A_VERSION, MAX_PAYLOAD, self.banner.encode())
        elif cmd == A_OPEN:
            service = data.rstrip(b"\0").decode("utf-8", "replace")
            with self._slock:
                local_id = self._next_id
                self._next_id += 1
                stream = Stream(self, local_id, arg0, service)
                self._streams[local_id] = stream
            self.on_open(self, stream)
        elif cmd == A_OKAY:
            stream = self._streams.get(arg1)
            if stream:
                stream._on_okay()
        elif cmd == A_WRTE:
            stream = self._streams.get(arg1)
            if stream:
                stream._on_data(data)
            else:
                self.send(A_CLSE, 0, arg0)
        elif cmd == A_CLSE:
            with self._slock:
                stream = self._streams.pop(arg1, None)
            if stream:
                stream._on_close()
        # AUTH never comes: we never ask for it.

    def accept_stream(self, stream):
        self.send(A_OKAY, stream.local_id, stream.remote_id)

    def refuse_stream(self, stream):
        self.forget(stream.local_id)
        stream.closed = True
        self.send(A_CLSE, 0, stream.remote_id)
