"""The state folder: logs, the virtual device's file system and its package database."""

import json
import os
import posixpath
import threading
import time


class StateDir:
    def __init__(self, root):
        self.root = os.path.abspath(root)
        self.device_root = os.path.join(self.root, "device")
        os.makedirs(self.device_root, exist_ok=True)
        self._log_lock = threading.Lock()
        self.lock = threading.RLock()  # guards the package database and counters
        self._state_path = os.path.join(self.root, "state.json")
        self.data = {"packages": {}, "started": [], "boots": 0, "reboots": 0}
        if os.path.exists(self._state_path):
            with open(self._state_path, encoding="utf-8") as f:
                self.data.update(json.load(f))

    # Logs: one line per event, flushed at once so that a test can read them while we run.
    def _append(self, name, line):
        with self._log_lock:
            with open(os.path.join(self.root, name), "a", encoding="utf-8", newline="\n") as f:
                f.write(line + "\n")

    def log_command(self, service):
        self._append("commands.log", service.replace("\n", "\\n"))

    def log_exec(self, record):
        self._append("exec.log", json.dumps(record, ensure_ascii=False))

    def log_web(self, record):
        self._append("web.log", json.dumps(record, ensure_ascii=False))

    def log_service(self, record):
        self._append("service.log", json.dumps(record, ensure_ascii=False))

    def save(self):
        with self.lock:
            tmp = self._state_path + ".tmp"
            with open(tmp, "w", encoding="utf-8") as f:
                json.dump(self.data, f, indent=1, sort_keys=True)
            os.replace(tmp, self._state_path)

    def write_json(self, name, value):
        path = os.path.join(self.root, name)
        tmp = path + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(value, f)
        os.replace(tmp, path)

    # Virtual file system: device paths map below device/, never outside it.
    def host_path(self, device_path, cwd="/"):
        p = posixpath.normpath(posixpath.join(cwd, device_path or "."))
        if p.startswith("//"):
            p = "/" + p.lstrip("/")
        parts = [x for x in p.split("/") if x not in ("", ".")]
        return os.path.join(self.device_root, *parts) if parts else self.device_root

    def device_path(self, host_path):
        rel = os.path.relpath(host_path, self.device_root)
        return "/" if rel == "." else "/" + rel.replace(os.sep, "/")

    def write_device_file(self, device_path, data, mode=0o644):
        path = self.host_path(device_path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, mode & 0o777 or 0o644)

    def now(self):
        return int(time.time())
