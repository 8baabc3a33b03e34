# SPDX-License-Identifier: GPL-2.0-or-later
"""Shared helpers of the HTTP tests: start a bridge with its HTTP server on a free loopback
port, ask it things over plain sockets, stop it. Every wait is bounded.

Environment:
  HTTP_STAND_IN         the stand-in program (runs the server with a fake bridge)
  HTTP_TEST_ARTEFACTS   where screenshots are kept
"""

import http.client
import json
import os
import select
import signal
import socket
import subprocess
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
