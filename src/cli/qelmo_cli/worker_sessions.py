"""Models and sessions kept for the life of a process, for scoring many
chunks: each model file is loaded once per process, and each thread that
scores gets one session of it, made on its first chunk.

A model file is told apart by its resolved path, size and modification
time, so a file replaced in place is loaded again, and the entry of the
file it replaced is dropped. Sessions are per thread because staged inputs
belong to a session: two threads must not stage into one at once."""

import os
import threading
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Tuple

import qelmo

from qelmo_cli.devices import DEVICE_TYPES, session_device


@dataclass(frozen=True)
class ModelFile:
    path: str
    size: int
    mtime_ns: int

    @classmethod
    def at(cls, path: str) -> "ModelFile":
        status = os.stat(path)
        return cls(os.path.realpath(path), status.st_size, status.st_mtime_ns)


@dataclass
class _Entry:
    model: qelmo.QelmoModel
    sessions: Dict[Tuple[int, str], qelmo.QelmoSession] = field(default_factory=dict)
    # Where each device's sessions really run ("gpu" may fall back to "cpu").
    devices_used: Dict[str, str] = field(default_factory=dict)


class ProcessSessions:
    def __init__(self) -> None:
        self.pid = os.getpid()
        self._lock = threading.Lock()
        self._entries: Dict[ModelFile, _Entry] = {}
        self.models_loaded = 0
        self.sessions_made = 0
        self._loads_by_path: Dict[str, int] = {}
        self.chunks_scored = 0
        self.rows_scored = 0

    def model(self, path: str) -> qelmo.QelmoModel:
        return self._entry(ModelFile.at(path)).model

    def session(self, path: str, device: str) -> qelmo.QelmoSession:
        """This thread's session of the model at `path` on `device` ("cpu" or "gpu")."""
        key = ModelFile.at(path)
        entry = self._entry(key)
        slot = (threading.get_ident(), device)
        session = entry.sessions.get(slot)
        if session is None:
            # Made outside the lock: a big model's session takes a while, and
            # only this thread uses the slot.
            session = qelmo.QelmoSession(entry.model, DEVICE_TYPES[device])
            used = session_device(device).used
            with self._lock:
                entry.sessions[slot] = session
                entry.devices_used[device] = used
                self.sessions_made += 1
        return session

    def count_chunk(self, rows: int) -> None:
        with self._lock:
            self.chunks_scored += 1
            self.rows_scored += rows

    def _entry(self, key: ModelFile) -> _Entry:
        with self._lock:
            entry = self._entries.get(key)
            if entry is not None:
                return entry
            # Loading holds the lock so that threads starting together load once.
            entry = _Entry(qelmo.QelmoModel(key.path))
            for stale in [old for old in self._entries if old.path == key.path]:
                del self._entries[stale]
            self._entries[key] = entry
            self.models_loaded += 1
            self._loads_by_path[key.path] = self._loads_by_path.get(key.path, 0) + 1
            return entry

    def info(self) -> Dict[str, object]:
        with self._lock:
            models: List[Dict[str, object]] = [
                {
                    "path": key.path,
                    "size": key.size,
                    "loads": self._loads_by_path[key.path],  # of this path, in this process
                    "sessions": len(entry.sessions),
                    "devices_used": dict(entry.devices_used),
                }
                for key, entry in self._entries.items()
            ]
            return {
                "pid": os.getpid(),
                "models_loaded": self.models_loaded,
                "sessions_made": self.sessions_made,
                "chunks_scored": self.chunks_scored,
                "rows_scored": self.rows_scored,
                "models": models,
            }


_PROCESS_SESSIONS: Optional[ProcessSessions] = None
_PROCESS_LOCK = threading.Lock()


def process_sessions() -> ProcessSessions:
    """This process's cache (a forked child starts a cache of its own)."""
    global _PROCESS_SESSIONS
    with _PROCESS_LOCK:
        if _PROCESS_SESSIONS is None or _PROCESS_SESSIONS.pid != os.getpid():
            _PROCESS_SESSIONS = ProcessSessions()
        return _PROCESS_SESSIONS
