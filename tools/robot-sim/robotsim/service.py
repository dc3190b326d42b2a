"""The robot's own service (device port 6102): frames, command envelopes, MessagePack payloads."""

import os
import socket
import struct
import threading
import time

import msgpack

MAGIC = b"\x34\x12"
HEAD = struct.Struct("<HiHH")
MAX_FRAME = 16 * 1024 * 1024


def pack(obj):
    # The robot speaks the old MessagePack dialect: texts and byte strings are both "raw".
    return msgpack.packb(obj, use_bin_type=False)


def frame(msg_id, payload_obj=None):
    body = pack(payload_obj) if payload_obj is not None else b""
    envelope = pack([msg_id, body])
    return HEAD.pack(0x1234, len(envelope) + 4, 1, 0) + envelope


def split_frames(buf):
    """Takes every complete frame off the front of buf (a bytearray); returns their payloads.

    Skips garbage up to the next start mark and drops frames of another version."""
    out = []
    while True:
        k = buf.find(MAGIC)
        if k < 0:
            del buf[:max(0, len(buf) - 1)]
            return out
        if k:
            del buf[:k]
        if len(buf) < 10:
            return out
        _magic, length, version, _reserved = HEAD.unpack_from(buf)
        if length < 4 or length > MAX_FRAME:
            del buf[:2]
            continue
        if len(buf) < 6 + length:
            return out
        payload = bytes(buf[10:6 + length])
        del buf[:6 + length]
        if version == 1 and payload:
            out.append(payload)


def jsonable(obj):
    if isinstance(obj, bytes):
        return obj.decode("utf-8", "replace")
    if isinstance(obj, (list, tuple)):
        return [jsonable(x) for x in obj]
    if isinstance(obj, dict):
        return {str(jsonable(k)): jsonable(v) for k, v in obj.items()}
    return obj


def _text(obj, index, default=b""):
    if isinstance(obj, list) and len(obj) > index and isinstance(obj[index], bytes):
        return obj[index]
    return default


def _int(obj, index, default=0):
    if isinstance(obj, list) and len(obj) > index and isinstance(obj[index], int):
        return obj[index]
    return default


def raw_texts(obj):
    """JSON from a scenario as robot payload: texts become raw byte strings."""
    if isinstance(obj, str):
        return obj.encode()
    if isinstance(obj, list):
        return [raw_texts(x) for x in obj]
    return obj


def scripted_reply(msg_id, rule_def):
    """A reply from the scenario: a payload array, or exact bytes for broken answers."""
    if isinstance(rule_def, dict):
        if "frame_hex" in rule_def:
            return bytes.fromhex(rule_def["frame_hex"])
        body = bytes.fromhex(rule_def.get("payload_hex", ""))
        envelope = pack([int(rule_def.get("id", msg_id)), body])
        return HEAD.pack(0x1234, len(envelope) + 4, int(rule_def.get("version", 1)), 0) + envelope
    return frame(msg_id, raw_texts(rule_def))


class RobotService:
    def __init__(self, state, scenario):
        self.state = state
        self.sc = scenario["service"]
        self.port = None
        self._listener = None
        self._conns = set()
        self._lock = threading.Lock()

    def start(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", int(self.sc.get("port") or 0)))
        s.listen(8)
        self._listener = s
        self.port = s.getsockname()[1]
        threading.Thread(target=self._accept_loop, daemon=True).start()

    def stop(self):
        if self._listener:
            self._listener.close()
        with self._lock:
            conns = list(self._conns)
        for c in conns:
            try:
                c.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _accept_loop(self):
        while True:
            try:
                sock, _ = self._listener.accept()
            except OSError:
                return
            with self._lock:
                self._conns.add(sock)
            threading.Thread(target=self._serve, args=(sock,), daemon=True).start()

    def _serve(self, sock):
        self.state.log_service({"event": "connected"})
        buf = bytearray()
        try:
            if self.sc.get("close_on_connect"):
                return
            while True:
                data = sock.recv(65536)
                if not data:
                    break
                buf += data
                for payload in split_frames(buf):
                    self._handle(sock, payload)
        except OSError:
            pass
        finally:
            with self._lock:
                self._conns.discard(sock)
            sock.close()
            self.state.log_service({"event": "disconnected"})

    def _handle(self, sock, payload):
        try:
            envelope = msgpack.unpackb(payload, raw=True)
            msg_id = envelope[0]
            body = envelope[1] if len(envelope) > 1 else b""
            obj = msgpack.unpackb(body, raw=True) if body else None
        except Exception as e:  # a broken frame is logged and dropped; the connection stays
            self.state.log_service({"event": "bad frame", "error": str(e), "bytes": payload.hex()})
            return
        self.state.log_service({"id": msg_id, "payload": jsonable(obj)})
        if self.sc.get("silent") or msg_id in (self.sc.get("silent_ids") or []):
            return
        override = (self.sc.get("replies") or {}).get(str(msg_id))
        if override is not None:
            data = scripted_reply(msg_id, override)
        else:
            reply = self._reply(msg_id, obj)
            if reply is None:
                return
            data = frame(msg_id, reply)
        delay = self.sc.get("delay_ms") or 0
        if isinstance(delay, dict):
            delay = delay.get(str(msg_id), 0)
        if delay:
            time.sleep(delay / 1000.0)
        sock.sendall(data)

    def _actions_dir(self):
        return self.state.host_path("/sdcard/actions")

    def _action_names(self):
        root = self._actions_dir()
        names = []
        for dirpath, dirnames, filenames in os.walk(root):
            dirnames.sort()
            for name in sorted(filenames):
                rel = os.path.relpath(os.path.join(dirpath, name), root)
                names.append(rel.replace(os.sep, "/").encode())
        return names

    def _reply(self, msg_id, obj):
        sc = self.sc
        ip = sc["server_ip"].encode()
        if msg_id == 1:
            return [int(sc.get("login_result", 0))]
        if msg_id in (2, 12, 21, 22):
            return [int(sc["server_port"]), _text(obj, 0, b"1.zev") or b"1.zev", ip]
        if msg_id == 3:
            return [self._action_names()]
        if msg_id == 4:
            name = _text(obj, 0).decode("utf-8", "replace")
            path = self.state.host_path("/sdcard/actions/" + name)
            inside = path.startswith(self._actions_dir() + os.sep)
            status = 1
            if inside and os.path.isfile(path):
                os.remove(path)
                status = int(sc.get("delete_status", 0))
            return [_text(obj, 0), status]
        if msg_id == 7:
            return [[[w[0].encode(), int(w[1]), w[2].encode(), bool(w[3])] for w in sc["wifi"]]]
        if msg_id == 10:
            return [_int(obj, 0), int(sc["motor_angle"]), 0]
        if msg_id == 13:
            return [[r.encode() for r in sc["resources"]]]
        if msg_id == 14:
            name = _text(obj, 0)
            path = self.state.host_path("/sdcard/actions/" + name.decode("utf-8", "replace"))
            exists = path.startswith(self._actions_dir() + os.sep) and os.path.isfile(path)
            size = os.path.getsize(path) if exists else 0
            return [int(sc["server_port"]), size, name or b"1.zev", ip, exists]
        if msg_id in (33, 34):
            kind = _int(obj, 0, 0)
            return [kind & 0xFF, str(sc["versions"].get(str(msg_id), "")).encode()]
        if msg_id == 52:
            return [str(sc["serial"]).encode()]
        return None  # 5, 8, 9, 11, 17, 18, 19, 20, 37, 48: recorded only
