#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The tools' save option as another program sees the file: a reader polling the file that
marlorx -f saves message after message into never finds it empty, cut short or unparsable;
-f to a device (standard output) is written in place; a program stopped by SIGTERM or SIGINT
while it saves ends as such a stop always ended it and leaves no temporary file behind.

Uses the programs and helpers of cli_test.py (same environment variables)."""

import os
import random
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cli_test as cli  # noqa: E402

# The reader: polls the file until the stop file appears (or its time is up) and checks every
# snapshot: "ID3" header, the size it announces equal to what follows, mutagen parses it.
READER = r"""
import io, os, sys, time
import mutagen.id3
path, stop, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
deadline = time.monotonic() + seconds
reads = bad = 0
sample = b""
while time.monotonic() < deadline and not os.path.exists(stop):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        continue
    reads += 1
    ok = len(data) >= 10 and data[:3] == b"ID3"
    if ok:
        s = data[6:10]
        ok = 10 + (s[0] << 21 | s[1] << 14 | s[2] << 7 | s[3]) == len(data)
    if ok:
        try:
            ok = "TIT2" in mutagen.id3.ID3(io.BytesIO(data))
        except Exception:
            ok = False
    if not ok:
        bad += 1
        sample = sample or data
print("reads=%d bad=%d sample=%r" % (reads, bad, sample[:40]))
"""


class SaveWhileRead(cli.ToolTest):
    COUNT = 1000

    def test_reader_never_sees_a_partial_tag(self):
        n = self.COUNT
        sink = cli.Drain()
        try:  # n messages, each title numbered anew, so the saved tag changes its length
            sent = cli.run(cli.TX, "-n", str(n), "-m", "0", "-k", "127.0.0.1:%d" % sink.port,
                           seconds=60 + n)
        finally:
            packets = sink.close()
        self.assertEnds(sent, 0)
        self.assertEqual(len(packets), n)

        target, stop = self.path("now_playing.id3"), self.path("stop")
        reader = subprocess.Popen(["/usr/bin/python3", "-c", READER, target, stop,
                                   str(cli.limit(120 + n / 10))],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            port = cli.free_udp_port()
            with cli.Background(cli.RX, "-p", str(port), "-n", str(n), "-f", target) as receiver:
                seen = set()
                for datagram in packets:
                    cli.wait_for_bind(port, seen, receiver)
                    cli.send_datagram(port, datagram)
                got = receiver.finish(seconds=60 + n)
        finally:
            open(stop, "w").close()
            out, err = reader.communicate(timeout=cli.limit(180))
        self.assertEnds(got, 0)
        self.assertEqual(got.out.count(b"PSD message saved to ID3 formatted file"), n)
        self.assertEqual(reader.returncode, 0, err)
        fields = dict(part.split("=", 1) for part in out.decode().split(" ", 2))
        self.assertGreater(int(fields["reads"]), 0, out)
        self.assertEqual(fields["bad"], "0", out)
        self.assertEqual(sorted(os.listdir(self.dir.name)), ["now_playing.id3", "stop"])


class SaveToDevice(cli.ToolTest):
    def test_standard_output_is_written_in_place(self):
        sink = cli.Drain()
        try:
            sent = cli.run(cli.TX, "-n", "1", "-o", "F", "-f", "/dev/stdout",
                           "-k", "127.0.0.1:%d" % sink.port)
        finally:
            packets = sink.close()
        self.assertEnds(sent, 0)
        self.assertEqual(len(packets), 1)
        self.assertIn(b"ID3\x03\x00\x00", sent.out)


class StopDuringSave(cli.ToolTest):
    """Each program saving message after message is stopped at a random moment, many times over:
    it ends by the signal, as before, and the folder holds the saved file and nothing else."""

    STOPS = 24  # per program and signal

    def stop_while_saving(self, args, sig):
        """Runs a program until it has saved once, stops it a moment later with sig and
        returns its exit status and what the folder holds."""
        with tempfile.TemporaryFile() as log:
            # A signal the test runner ignores would stay ignored in the child.
            proc = subprocess.Popen(cli.WRAPPER + args, stdin=subprocess.DEVNULL, stdout=log,
                                    stderr=subprocess.DEVNULL, env=cli.ENV,
                                    preexec_fn=lambda: signal.signal(sig, signal.SIG_DFL))
            try:
                deadline = time.monotonic() + cli.limit(10)
                while time.monotonic() < deadline and proc.poll() is None:
                    log.seek(0)
                    if b"saved to ID3 formatted file" in log.read():
                        break
                    time.sleep(0.002)
                else:
                    self.fail("nothing saved; status %r" % proc.poll())
                time.sleep(random.uniform(0, 0.02))
                proc.send_signal(sig)
                status = proc.wait(timeout=cli.limit(10))
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait(timeout=30)
        return status, sorted(os.listdir(self.dir.name))

    def test_transmitter(self):
        target = self.path("tx.id3")
        with cli.Listener() as sink:  # never read: the datagrams only need somewhere to go
            for sig in (signal.SIGTERM, signal.SIGINT):
                for _ in range(self.STOPS):
                    status, held = self.stop_while_saving(
                        [cli.TX, "-m", "0", "-o", "F", "-f", target,
                         "-k", "127.0.0.1:%d" % sink.port], sig)
                    self.assertEqual(status, -sig)
                    self.assertEqual(held, ["tx.id3"])

    def test_receiver(self):
        sink = cli.Drain()
        try:
            sent = cli.run(cli.TX, "-n", "1", "-k", "127.0.0.1:%d" % sink.port)
        finally:
            packets = sink.close()
        self.assertEnds(sent, 0)
        self.assertEqual(len(packets), 1)
        target = self.path("rx.id3")
        port = cli.free_udp_port()
        done = threading.Event()

        def feed():  # the same message again and again; those sent while no receive waits are lost
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                while not done.is_set():
                    s.sendto(packets[0], ("127.0.0.1", port))
                    time.sleep(0.0005)

        feeder = threading.Thread(target=feed, daemon=True)
        feeder.start()
        try:
            for sig in (signal.SIGTERM, signal.SIGINT):
                for _ in range(self.STOPS):
                    status, held = self.stop_while_saving(
                        [cli.RX, "-p", str(port), "-f", target], sig)
                    self.assertEqual(status, -sig)
                    self.assertEqual(held, ["rx.id3"])
        finally:
            done.set()
            feeder.join(timeout=10)


if __name__ == "__main__":
    if not (cli.TX and cli.RX):
        sys.exit("MARLOTX and MARLORX must name the programs")
    unittest.main(verbosity=2)
