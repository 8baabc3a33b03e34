# SPDX-License-Identifier: GPL-2.0-or-later
"""What the marlod tests share: a receiver that stands in for an exciter (it decodes what
arrives with the library itself, as an exciter's receiver would), a running marlod started and
stopped by the test, a stand-in PAD feed, and free loopback ports. Every wait is bounded."""
import ctypes
import json
import os
import re
import signal
import socket
import subprocess
import threading
import time

MARLOD = os.environ.get("MARLOD", "marlod")
LIBRARY = os.environ.get("ZEL_MARLO_LIBRARY", "libzel_marloDLL.so.4")


def free_port(kind=socket.SOCK_DGRAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(predicate, timeout, step=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


class _Library:
    def __init__(self):
        lib = ctypes.CDLL(LIBRARY)
        libc = ctypes.CDLL(None)
        h = ctypes.c_void_p
        lib.zel_marlo_allocPsdMsg.argtypes = [ctypes.POINTER(h)]
        lib.zel_marlo_deletePsdMsg.argtypes = [h]
        lib.zel_marlo_recvPsdMsgFromBuffer.argtypes = [
            h, ctypes.c_char_p, ctypes.c_uint32, ctypes.c_int32, ctypes.POINTER(ctypes.c_int32)]
        lib.zel_marlo_parsePsdMsg.argtypes = [h, ctypes.POINTER(ctypes.c_uint16)]
        lib.zel_marlo_getId3TextEncoding.argtypes = [h, ctypes.POINTER(ctypes.c_int32)]
        for name in ("Title", "Artist", "Album", "Genre", "CommentTitle", "CommentDesc",
                     "UfidOwnerId"):
            f = getattr(lib, "zel_marlo_getPsd" + name)
            f.argtypes = [h]
            f.restype = ctypes.c_void_p
        libc.free.argtypes = [ctypes.c_void_p]
        self.lib, self.libc = lib, libc

    def text(self, handle, name, latin1):
        p = getattr(self.lib, "zel_marlo_getPsd" + name)(handle)
        if not p:
            return ""
        raw = ctypes.string_at(p)
        self.libc.free(p)
        return raw.decode("latin-1" if latin1 else "utf-8")


_library = None


def library():
    global _library
    if _library is None:
        _library = _Library()
    return _library


class Packet:
    def __init__(self, when, data, kind):
        self.when, self.data = when, data
        self.flush, self.content_id, self.encoding, self.fields = False, None, None, {}
        self.error = None
        lib = library()
        handle = ctypes.c_void_p()
        lib.lib.zel_marlo_allocPsdMsg(ctypes.byref(handle))
        try:
            msg_id = ctypes.c_int32()
            if lib.lib.zel_marlo_recvPsdMsgFromBuffer(handle, data, len(data), kind,
                                                      ctypes.byref(msg_id)) != 1:
                self.error = "unpack"
                return
            if msg_id.value == 1:
                self.flush = True
                return
            cid = ctypes.c_uint16()
            if lib.lib.zel_marlo_parsePsdMsg(handle, ctypes.byref(cid)) != 1:
                self.error = "parse"
                return
            enc = ctypes.c_int32()
            lib.lib.zel_marlo_getId3TextEncoding(handle, ctypes.byref(enc))
            self.content_id, self.encoding = cid.value, enc.value
            latin1 = enc.value == 0
            for key, name in (("title", "Title"), ("artist", "Artist"), ("album", "Album"),
                              ("genre", "Genre"), ("comment_title", "CommentTitle"),
                              ("comment", "CommentDesc"), ("ufid_owner", "UfidOwnerId")):
                self.fields[key] = lib.text(handle, name, latin1)
        finally:
            lib.lib.zel_marlo_deletePsdMsg(handle)

    @property
    def title(self):
        return self.fields.get("title")

    def __repr__(self):
        if self.flush:
            return "<flush>"
        return f"<{self.content_id} {self.fields.get('title')!r} {self.error or ''}>"


class Receiver:
    """An exciter on a free loopback port: keeps every packet it gets, decoded."""

    def __init__(self, kind=0):
        self.kind = kind  # 0 two-layer, 1 CL
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.1)
        self.port = self.sock.getsockname()[1]
        self.packets = []
        self.lock = threading.Lock()
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            try:
                data = self.sock.recv(65536)
            except (socket.timeout, OSError):
                continue
            packet = Packet(time.monotonic(), data, self.kind)
            with self.lock:
                self.packets.append(packet)

    def close(self):
        self.running = False
        self.thread.join(2)
        self.sock.close()

    def snapshot(self):
        with self.lock:
            return list(self.packets)

    def last(self):
        with self.lock:
            return self.packets[-1] if self.packets else None

    def wait_for(self, predicate, timeout=5, after=0):
        """The first packet from index `after` on that matches."""
        def find():
            for p in self.snapshot()[after:]:
                if predicate(p):
                    return p
            return None
        return wait_until(find, timeout)

    def wait_title(self, title, timeout=5, after=0):
        return self.wait_for(lambda p: not p.flush and p.title == title, timeout, after)

    def count(self):
        with self.lock:
            return len(self.packets)


class Marlod:
    """marlod as a process of the test: started, read, signalled and stopped by it."""

    def __init__(self, folder, config, args=(), stdin=False, env=None):
        self.folder = folder
        self.path = os.path.join(folder, "marlod.toml")
        self.write_config(config)
        self.lines = []
        self.lock = threading.Lock()
        environment = dict(os.environ)
        environment.pop("JOURNAL_STREAM", None)
        if environment.pop("MARLOD_CHILD_DROP_PRELOAD", None):
            # The interpreter's sanitizer preload is not marlod's: it has its own, leak check on.
            environment.pop("LD_PRELOAD", None)
            environment.pop("ASAN_OPTIONS", None)
        environment.update(env or {})
        self.process = subprocess.Popen(
            [MARLOD, "-c", self.path, "-v", *args], stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
            env=environment)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def write_config(self, config):
        with open(self.path + ".new", "w", encoding="utf-8") as f:
            f.write(config)
        os.replace(self.path + ".new", self.path)

    def _read(self):
        for raw in self.process.stdout:
            with self.lock:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def log(self):
        with self.lock:
            return list(self.lines)

    def wait_log(self, pattern, timeout=5, after=0):
        regex = re.compile(pattern)

        def find():
            for line in self.log()[after:]:
                if regex.search(line):
                    return line
            return None
        found = wait_until(find, timeout)
        assert found, f"no log line matching {pattern!r} in:\n" + "\n".join(self.log()[-40:])
        return found

    def alive(self):
        return self.process.poll() is None

    def signal(self, number):
        self.process.send_signal(number)

    def stop(self, timeout=10):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(5)
            raise AssertionError("marlod did not stop on SIGTERM")
        self.reader.join(2)
        return status


def send_udp(port, payload):
    if isinstance(payload, (dict, list)):
        payload = json.dumps(payload).encode()
    elif isinstance(payload, str):
        payload = payload.encode()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.sendto(payload, ("127.0.0.1", port))


class PadFeed:
    """A stand-in for the playout's PAD feed: a TCP server that sends documents, framed as the
    feed frames them, to whoever connects."""

    def __init__(self, port=None):
        self.port = port or free_port(socket.SOCK_STREAM)
        self.server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", self.port))
        self.server.listen(4)
        self.server.settimeout(0.1)
        self.clients = []
        self.connections = 0
        self.running = True
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while self.running:
            try:
                client, _ = self.server.accept()
            except (socket.timeout, OSError):
                continue
            self.clients.append(client)
            self.connections += 1

    def wait_connected(self, count=1, timeout=10):
        assert wait_until(lambda: self.connections >= count, timeout), "marlod did not connect"

    def send_raw(self, data):
        for c in list(self.clients):
            try:
                c.sendall(data)
            except OSError:
                self.clients.remove(c)

    def send(self, document):
        text = json.dumps(document, indent=4).replace("\n", "\r\n") + "\r\n\r\n"
        self.send_raw(text.encode())

    def close(self):
        self.running = False
        self.thread.join(2)
        for c in self.clients:
            c.close()
        self.clients = []
        self.server.close()


def pad_document(now, machine=1, onair=True):
    return {"padUpdate": {"dateTime": "2026-12-10T14:03:07+01:00", "machine": machine,
                          "onairFlag": onair, "mode": "Automatic",
                          "service": {"name": "Production"}, "now": now, "next": None}}
