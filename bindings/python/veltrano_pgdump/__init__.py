"""ctypes bindings for the veltrano-pgdump library.

The library is found through $VELTRANO_PGDUMP_LIBRARY (a path), else by its
name on the system's library path.  Every text crosses the boundary as
UTF-8; replies are copied into Python strings at once, so the library's
per-thread buffers are never held (see docs/api.md).

    import veltrano_pgdump as vp
    lib = vp.Library()
    cfg = {"host": "127.0.0.1", "user": "app", "password": "pw", "database": "shop"}
    print(lib.test_connection(cfg))
    with lib.start_dump(dict(cfg, out_path="shop.sql", complete=True)) as dump:
        result = dump.wait(on_progress=print)
"""

import ctypes
import ctypes.util
import json
import os
import sys
import time

__all__ = ["Library", "Session", "PgDumpError", "Table", "STATE_NAMES"]

STATE_NAMES = {0: "idle", 1: "connecting", 2: "running", 3: "done", 4: "cancelled", 5: "failed"}


class PgDumpError(Exception):
    """A failure reply: code (a word of docs/api.md), sqlstate, detail and
    hint from the server, and the whole reply."""

    def __init__(self, reply):
        self.reply = reply
        self.code = reply.get("code", "internal")
        self.sqlstate = reply.get("sqlstate")
        self.detail = reply.get("detail")
        self.hint = reply.get("hint")
        super().__init__(reply.get("error", "unknown failure"))


class Table:
    """One entry of list_tables."""

    def __init__(self, entry):
        self.name = entry["name"]
        self.rows = entry["rows"]
        self.data_bytes = entry["data_bytes"]

    def __repr__(self):
        return "Table(%r, rows=%d, data_bytes=%d)" % (self.name, self.rows, self.data_bytes)


def _library_names():
    if sys.platform == "win32":
        return ["veltrano-pgdump.dll"]
    found = ctypes.util.find_library("veltrano-pgdump")
    return ([found] if found else []) + ["libveltrano-pgdump.so.1", "libveltrano-pgdump.so"]


class Library:
    """The loaded library with typed functions."""

    def __init__(self, path=None):
        path = path or os.environ.get("VELTRANO_PGDUMP_LIBRARY")
        names = [path] if path else _library_names()
        err = None
        for name in names:
            try:
                self._lib = ctypes.CDLL(name)
                break
            except OSError as e:
                err = e
        else:
            raise OSError("cannot load veltrano-pgdump: %s" % err)
        texts = ["pgdump_version", "pgdump_last_error"]
        calls = ["pgdump_test_connection", "pgdump_list_databases", "pgdump_list_tables"]
        # Returned texts are the library's: c_void_p, never c_char_p's
        # ownership guesses, read with string_at and decoded as UTF-8.
        for name in texts:
            getattr(self._lib, name).argtypes = []
            getattr(self._lib, name).restype = ctypes.c_void_p
        for name in calls:
            getattr(self._lib, name).argtypes = [ctypes.c_char_p]
            getattr(self._lib, name).restype = ctypes.c_void_p
        for name in ["pgdump_start", "pgdump_restore_start"]:
            getattr(self._lib, name).argtypes = [ctypes.c_char_p]
            getattr(self._lib, name).restype = ctypes.c_int32
        self._lib.pgdump_status.argtypes = [ctypes.c_int32]
        self._lib.pgdump_status.restype = ctypes.c_int32
        for name in ["pgdump_progress", "pgdump_result"]:
            getattr(self._lib, name).argtypes = [ctypes.c_int32]
            getattr(self._lib, name).restype = ctypes.c_void_p
        for name in ["pgdump_cancel", "pgdump_free"]:
            getattr(self._lib, name).argtypes = [ctypes.c_int32]
            getattr(self._lib, name).restype = None

    @staticmethod
    def _text(ptr):
        return ctypes.string_at(ptr).decode("utf-8") if ptr else ""

    @staticmethod
    def _config(cfg):
        text = cfg if isinstance(cfg, str) else json.dumps(cfg, ensure_ascii=False)
        return text.encode("utf-8")

    def _reply(self, fn, cfg):
        reply = json.loads(self._text(fn(self._config(cfg))))
        if not reply.get("ok"):
            raise PgDumpError(reply)
        return reply

    def version(self):
        return self._text(self._lib.pgdump_version())

    def last_error(self):
        return self._text(self._lib.pgdump_last_error())

    def test_connection(self, cfg):
        """The server's version text."""
        return self._reply(self._lib.pgdump_test_connection, cfg)["server_version"]

    def list_databases(self, cfg):
        reply = self._reply(self._lib.pgdump_list_databases, cfg)
        return reply["databases"], reply.get("truncated", False)

    def list_tables(self, cfg):
        reply = self._reply(self._lib.pgdump_list_tables, cfg)
        return [Table(t) for t in reply["tables"]], reply.get("truncated", False)

    def _start(self, fn, cfg):
        s = fn(self._config(cfg))
        if s < 0:
            code = "busy" if s == -2 else "config"
            raise PgDumpError({"ok": False, "error": self.last_error(), "code": code})
        return Session(self, s)

    def start_dump(self, cfg):
        return self._start(self._lib.pgdump_start, cfg)

    def start_restore(self, cfg):
        return self._start(self._lib.pgdump_restore_start, cfg)


class Session:
    """A running dump or restore; free it (or use `with`) when done."""

    def __init__(self, lib, number):
        self._lib = lib
        self.number = number

    def status(self):
        return self._lib._lib.pgdump_status(self.number)

    def progress(self):
        return json.loads(self._lib._text(self._lib._lib.pgdump_progress(self.number)))

    def result(self):
        """The final reply; raises PgDumpError for "ok": false."""
        reply = json.loads(self._lib._text(self._lib._lib.pgdump_result(self.number)))
        if not reply.get("ok"):
            raise PgDumpError(reply)
        return reply

    def cancel(self):
        self._lib._lib.pgdump_cancel(self.number)

    def wait(self, on_progress=None, interval=0.1):
        while self.status() < 3:
            if on_progress is not None:
                on_progress(self.progress())
            time.sleep(interval)
        return self.result()

    def free(self):
        if self.number >= 0:
            self._lib._lib.pgdump_free(self.number)
            self.number = -1

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.free()
