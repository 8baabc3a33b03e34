# SPDX-License-Identifier: GPL-2.0-or-later
"""Threads: messages sent at once all arrive whole, and a Message shared between threads keeps
every value its writers gave it."""

import sys
import threading

from conftest import FULL

from zel_marlo import Message, Receiver

THREADS = 6
ROUNDS = 30
WRITES = 600


def run_all(targets):
    threads = [threading.Thread(target=t) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads), "a thread hangs"


def test_threads_sending_at_once_each_deliver_their_messages():
    received = {}
    errors = []
    with Receiver(0, "127.0.0.1") as receiver:
        def sender(n):
            def send():
                try:
                    for i in range(ROUNDS):
                        with Message(title=f"thread {n} Beyoncé {i}", artist="日本" * n) as m:
                            m.send("127.0.0.1", receiver.port, content_id=n * 1000 + i)
                except Exception as e:  # noqa: BLE001 - reported below
                    errors.append(e)
            return send

        run_all([sender(n) for n in range(THREADS)])
        while len(received) < THREADS * ROUNDS:
            got = receiver.receive(timeout=5)
            assert got is not None, f"{len(received)} of {THREADS * ROUNDS} arrived"
            message, content_id = got
            with message:
                received[content_id] = (message.title, message.artist)
    assert errors == []
    assert received == {n * 1000 + i: (f"thread {n} Beyoncé {i}", "日本" * n or None)
                        for n in range(THREADS) for i in range(ROUNDS)}


def test_a_shared_message_stays_whole():
    # Each writer owns one value of a group set by one call, so a write that did not hold the
    # lock across read, modify and write would lose another writer's value; the title flips
    # between ISO-8859-1 and other text, so every value is rewritten in another encoding.
    owned = ["price", "valid_until", "contact_url", "recv_as", "seller_name", "product_desc",
             "comment_title", "comment_desc"]
    values = {name: [FULL[name], "x" + FULL[name]] for name in owned}
    values["valid_until"] = ["20301231", "20291130"]
    values["recv_as"] = ["2", "7"]
    values["seller_name"] = ["Señor", "売り手"]
    errors = []
    # Switch threads as often as possible, so that unlocked sequences would interleave.
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        whole(owned, values, errors)
    finally:
        sys.setswitchinterval(old_interval)


def whole(owned, values, errors):
    with Message(**FULL) as shared:
        def writer(name):
            def write():
                for i in range(WRITES):
                    setattr(shared, name, values[name][i % 2])
            return write

        def flipper():
            for i in range(WRITES):
                shared.title = ("Beyoncé", "坂本龍一")[i % 2]

        def reader():
            try:
                for _ in range(ROUNDS * 2):
                    back, _ = Message.from_packet(shared.to_packet())
                    with back:
                        for name in owned:
                            assert getattr(back, name) in values[name] + [FULL[name]], name
                        assert back.title in ("Title", "Beyoncé", "坂本龍一")
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(e)

        run_all([writer(n) for n in owned] + [flipper, reader, reader])
        assert errors == []
        for name in owned:
            assert getattr(shared, name) == values[name][(WRITES - 1) % 2], name
        assert shared.title == "坂本龍一"
