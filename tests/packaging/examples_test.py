#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The example programs against each other over 127.0.0.1: psd_receiver on a port the system
picks, psd_sender sending to it, and a datagram that is no packet in between, which the
receiver reports without stopping.

    examples_test.py PSD_SENDER PSD_RECEIVER
"""
import select
import socket
import subprocess
import sys
import time

SENDER, RECEIVER = sys.argv[1], sys.argv[2]
DEADLINE = 20  # seconds for the whole exchange


def fail(message, output=b""):
    print("FAIL:", message)
    sys.stdout.write(output.decode("latin-1"))
    sys.exit(1)


def read_line(proc, until):
    line = b""
    while not line.endswith(b"\n"):
        left = until - time.monotonic()
        if left <= 0 or not select.select([proc.stdout], [], [], left)[0]:
            fail("receiver silent", line)
        byte = proc.stdout.read(1)
        if not byte:
            fail("receiver ended early", line)
        line += byte
    return line


def send(*args):
    done = subprocess.run([SENDER, *args], capture_output=True, timeout=10)
    return done.returncode, done.stdout + done.stderr


# Command lines the sender refuses, before anything is sent.
for args in (["127.0.0.1"], ["127.0.0.1", "x"], ["127.0.0.1", "70000"], ["127.0.0.1", "-1"]):
    status, out = send(*args)
    if status != 2:
        fail(f"psd_sender {args}: status {status}, expected 2", out)

messages = [(b"Caf\xc3\xa9 Blue", b"The Trio"), (b"Second Song", b"Other Band")]
until = time.monotonic() + DEADLINE
receiver = subprocess.Popen([RECEIVER, "0", "3", "127.0.0.1"], stdout=subprocess.PIPE, bufsize=0)
try:
    first = read_line(receiver, until)
    if not first.startswith(b"listening on 127.0.0.1:"):
        fail("no listening line", first)
    port = int(first.split(b":")[1])

    status, out = send("127.0.0.1", str(port), *[m.decode("utf-8") for m in messages[0]])
    if status != 0 or b"sent" not in out:
        fail(f"first send: status {status}", out)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.sendto(b"no packet at all", ("127.0.0.1", port))
    status, out = send("127.0.0.1", str(port), *[m.decode("utf-8") for m in messages[1]])
    if status != 0:
        fail(f"second send: status {status}", out)

    output = first
    left = until - time.monotonic()
    rest, _ = receiver.communicate(timeout=max(left, 1))
    output += rest
    if receiver.returncode != 0:
        fail(f"receiver status {receiver.returncode}", output)
finally:
    if receiver.poll() is None:
        receiver.kill()
        receiver.wait()

# Both messages with every field the sender fills, the bytes of the texts unchanged, and the
# stray datagram reported between them.
lines = output.splitlines()
expected = []
for title, artist in messages:
    expected += [b"PSD message, content id 42", b"  title                " + title,
                 b"  artist               " + artist, b"  album                Morning Show",
                 b"  genre                Jazz", b"  comment              Studio 2",
                 b"  comment text         Live from the studio this morning"]
expected.insert(7, b"16 bytes that are not a PSD packet: orvo[2021]: XFER_RX zel_vesk_unpack")
got = [line[: len(want)] for line, want in zip(lines[1:], expected)]
if got != expected or len(lines) != len(expected) + 1:
    fail("receiver output differs", output)
print("examples: two messages and a stray datagram over 127.0.0.1")
