# SPDX-License-Identifier: GPL-2.0-or-later
"""Shared helpers of the HTTP tests: start a bridge with its HTTP server on a free loopback
port, ask it things over plain sockets, stop it. Every wait is bounded.

Environment:
  HTTP_STAND_IN         the stand-in program (runs the server with a fake bridge)
  MARLOD                the bridge itself, when it is part of the build
  HTTP_TEST_ARTEFACTS   where screenshots are kept
"""

import http.client
import json
import os
import select
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import urllib.parse

STAND_IN = os.environ.get("HTTP_STAND_IN", "")
ARTEFACTS = os.environ.get("HTTP_TEST_ARTEFACTS", ".")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Bridge:
    """The stand-in bridge as a process, listening on 127.0.0.1:port."""

    def __init__(self, secret=None):
        self.secret = secret
        for _ in range(5):  # a free port may be taken between the look and the bind
            self.port = free_port()
            args = [STAND_IN, "--listen", f"127.0.0.1:{self.port}"]
            if secret is not None:
                args += ["--secret", secret]
            self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            ready, _, _ = select.select([self.proc.stdout], [], [], 10)
            if ready and self.proc.stdout.readline().startswith(b"listening"):
                return
            self.proc.kill()
            self.proc.wait(5)
        raise RuntimeError("the stand-in did not start")

    @property
    def address(self):
        return f"127.0.0.1:{self.port}"

    def stop(self):
        """SIGTERM; returns (exit status, standard error)."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            _, err = self.proc.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            _, err = self.proc.communicate(timeout=5)
        return self.proc.returncode, err.decode("utf-8", "replace")

    def request(self, method, path, body=None, headers=None, timeout=5):
        """One request on a fresh connection: (status, headers, body bytes)."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            r = conn.getresponse()
            return r.status, {k.lower(): v for k, v in r.getheaders()}, r.read()
        finally:
            conn.close()

    def status(self):
        code, _, body = self.request("GET", "/status")
        assert code == 200
        return json.loads(body)

    def now_playing(self, **params):
        code, _, body = self.request("GET", "/nowplaying?" + urllib.parse.urlencode(params))
        return code, json.loads(body)

    def lateness_ms(self):
        return self.status()["stand_in"]["max_late_ms"]


def raw_exchange(port, chunks, timeout=5, pause=0.0):
    """Sends the chunks one by one on a raw connection (pause seconds apart), then reads until
    the server closes or is quiet for a second; returns what came back."""
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    out = b""
    try:
        for c in chunks:
            try:
                s.sendall(c)
            except OSError:
                break
            if pause:
                time.sleep(pause)
        s.settimeout(1)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                d = s.recv(65536)
            except socket.timeout:
                if out:
                    break
                continue
            except OSError:
                break
            if not d:
                break
            out += d
    finally:
        s.close()
    return out


MARLOD = os.environ.get("MARLOD", "")


class Receiver:
    """An exciter on loopback: takes every datagram the bridge sends, with its arrival time, its
    content ID and its title (a two-layer packet with a Latin-1 tag)."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.seen = []  # (monotonic time, content ID, title)
        self.lock = threading.Lock()
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    @staticmethod
    def decode(packet):
        if len(packet) < 38 or packet[:2] != b"AF" or packet[18:22] != b"\0\0\0\0":
            return None, None  # a flush, or not a PSD message
        content_id = struct.unpack_from("<H", packet, 32)[0]
        title = None
        at = packet.find(b"TIT2", 38)
        if at > 0:
            size = struct.unpack_from(">I", packet, at + 4)[0]
            data = packet[at + 10:at + 10 + size]
            if data[:1] == b"\0":
                title = data[1:].rstrip(b"\0").decode("latin-1")
        return content_id, title

    def _run(self):
        while self.running:
            try:
                packet = self.sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            content_id, title = self.decode(packet)
            with self.lock:
                self.seen.append((time.monotonic(), content_id, title))

    def latest(self):
        with self.lock:
            return self.seen[-1] if self.seen else None

    def wait_for(self, title, seconds=5):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            last = self.latest()
            if last and last[2] == title:
                return last
            time.sleep(0.02)
        raise AssertionError(f"{title!r} did not reach the exciter; last: {self.latest()}")

    def max_gap(self):
        with self.lock:
            times = [t for t, _, _ in self.seen]
        return max((b - a for a, b in zip(times, times[1:])), default=0.0)

    def close(self):
        self.running = False
        self.thread.join(5)
        self.sock.close()


class Marlod(Bridge):
    """The real bridge as a process, with its HTTP side on 127.0.0.1:port, one exciter (the
    receiver) refreshed every REFRESH seconds, and more exciters when asked."""

    REFRESH = 0.25

    def __init__(self, secret=None, extra_exciters=()):
        self.secret = secret
        self.folder = tempfile.TemporaryDirectory(prefix="marlod-http-")
        self.receiver = Receiver()
        exciters = [self.receiver.port, *extra_exciters]
        for _ in range(5):
            self.port = free_port()
            config = os.path.join(self.folder.name, "marlod.toml")
            with open(config, "w") as f:
                f.write('[station]\nname = "Test FM"\n')
                for port in exciters:
                    f.write(f'[[exciter]]\nhost = "127.0.0.1"\nport = {port}\n'
                            'encoding = "latin1"\n')
                f.write(f"[timing]\nrefresh = {self.REFRESH}\ngrace = 0.2\n")
                f.write(f'[state]\npath = "{self.folder.name}/state.json"\n')
                f.write(f'[http]\nlisten = "127.0.0.1:{self.port}"\n')
                if secret is not None:
                    f.write(f'secret = "{secret}"\n')
            self.config = config
            self.proc = subprocess.Popen([MARLOD, "-c", config], stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and self.proc.poll() is None:
                try:
                    if self.request("GET", "/status", timeout=1)[0] == 200:
                        return
                except OSError:
                    time.sleep(0.05)
            self.proc.kill()
            self.proc.wait(5)
        raise RuntimeError("marlod did not start")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            out, _ = self.proc.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, _ = self.proc.communicate(timeout=5)
        self.receiver.close()
        self.folder.cleanup()
        return self.proc.returncode, out.decode("utf-8", "replace")

    def lateness_ms(self):
        """How much later than its refresh the exciter's longest wait between two datagrams."""
        return max(0.0, (self.receiver.max_gap() - self.REFRESH) * 1000)


def start(kind, secret=None):
    return Marlod(secret) if kind == "marlod" else Bridge(secret)
