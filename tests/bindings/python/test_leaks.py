# SPDX-License-Identifier: GPL-2.0-or-later
"""Every block the library hands out is freed: the process's memory stays flat over many calls
of each kind. A leak of even the smallest heap block per call would add megabytes here."""

import gc

import pytest
from conftest import FULL

from zel_marlo import CL_ONLY, Error, Message, flush_packet

PAGE = 4096
ROUNDS = 20000  # each round makes some 15 to 40 library calls
LIMIT = 2 * 1024 * 1024


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def read_everything(message):
    message.to_dict()
    str(message)
    message.ufid_identifier


def encode(message):
    message.to_id3()
    message.to_packet(5)
    message.to_packet(6, CL_ONLY)
    flush_packet()


def decode(message):
    got, _ = Message.from_packet(message._packet_for_leaks)
    got.close()
    Message.from_id3(message._tag_for_leaks).close()


def fail(message):
    for act in (lambda: Message.from_packet(b"xx"), lambda: Message(comment_desc="d").validate(),
                lambda: Message.from_id3(b"ID3junk")):
        with pytest.raises(Error):
            act()


def transcode(message):
    message.title = "坂本龍一"
    message.validate()
    message.title = "Beyoncé"
    message.validate()


@pytest.mark.parametrize("work", [read_everything, encode, decode, fail, transcode])
def test_memory_stays_flat(work):
    message = Message(**FULL)
    message._packet_for_leaks = message.to_packet()
    message._tag_for_leaks = message.to_id3()
    for _ in range(ROUNDS // 10):  # the allocator's and the interpreter's own growth first
        work(message)
    gc.collect()
    before = resident()
    for _ in range(ROUNDS):
        work(message)
    gc.collect()
    grown = resident() - before
    message.close()
    assert grown < LIMIT, f"{grown} bytes more after {ROUNDS} rounds of {work.__name__}"
