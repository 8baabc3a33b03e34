# SPDX-License-Identifier: GPL-2.0-or-later
"""Sending and receiving over 127.0.0.1: the binding's sockets, the C tools on the other end,
asyncio and the command line. Every wait is bounded."""

import asyncio
import json
import os
import subprocess
import sys

import pytest
from conftest import FULL, free_udp_port, send_until_exit, tool

import zel_marlo
from zel_marlo import CL_ONLY, FLUSH, Message, PacketError, Receiver

LOOP = "127.0.0.1"


def test_a_message_reaches_several_receivers_from_one_send():
    with Receiver(0, LOOP) as a, Receiver(0, LOOP) as b, Message(**FULL) as message:
        message.send([(LOOP, a.port), (LOOP, b.port)], content_id=77)
        for receiver in (a, b):
            got, content_id = receiver.receive(timeout=5)
            assert (got, content_id) == (message, 77)
        message.send(LOOP, b.port, kind=CL_ONLY)
        assert b.receive(timeout=5)[0] == message


def test_receive_times_out_and_a_bad_datagram_raises_without_unbinding():
    assert zel_marlo.receive(free_udp_port(), timeout=0.2, host=LOOP) is None
    with Receiver(0, LOOP) as receiver:
        assert receiver.receive(timeout=0) is None
        zel_marlo.send_packet(b"not a packet", LOOP, receiver.port)
        zel_marlo.send_packet(zel_marlo.flush_packet(), LOOP, receiver.port)
        with Message(title="after") as message:
            message.send(LOOP, receiver.port, content_id=2)
            with pytest.raises(PacketError):
                receiver.receive(timeout=5)
            assert receiver.receive(timeout=5) == (FLUSH, None)
            assert receiver.receive(timeout=5) == (message, 2)


@pytest.mark.parametrize("host, port, error", [
    ("", 11000, TypeError), ([], 11000, ValueError), (LOOP, 0, ValueError),
    (LOOP, 70000, ValueError), ([(LOOP, -1)], 11000, ValueError),
])
def test_bad_destinations_raise_before_sending(host, port, error):
    with Message(title="t") as message, pytest.raises(error):
        message.send(host, port)


def test_marlorx_receives_what_python_sends(tmp_path):
    port = free_udp_port()
    saved = tmp_path / "rx.id3"
    rx = subprocess.Popen([tool("MARLORX"), "-p", str(port), "-n", "1", "-f", str(saved)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    with Message(title="Beyoncé", artist="Sade", comment_title="c") as message:
        out, _ = send_until_exit(rx, lambda: message.send(LOOP, port, content_id=5))
        assert rx.returncode == 0, out
        # A receiver that shows ISO-8859-1 sees the right letters.
        assert b"title: -->Beyonc\xe9\n" in out and b"artist: -->Sade\n" in out
        assert saved.read_bytes() == message.to_id3()


def test_python_receives_what_marlotx_sends():
    with Receiver(0, LOOP) as receiver:
        result = subprocess.run(
            [tool("MARLOTX"), "-n", "1", "-o", "F", "-t", b"Beyonc\xe9", "-i", "42",
             "-k", f"{LOOP}:{receiver.port}"], capture_output=True, timeout=30)
        assert result.returncode == 0, result.stdout
        message, content_id = receiver.receive(timeout=10)
        with message:
            assert (message.title, content_id) == ("Beyoncé", 42)
            assert message.core_enabled and not message.comment_enabled


def test_asyncio_protocol_waits_beside_other_work():
    async def main():
        errors = []
        protocol = await zel_marlo.open_receiver(0, LOOP, on_error=errors.append)
        port = protocol.transport.get_extra_info("sockname")[1]
        with Message(title="one") as one, Message(title="two") as two:
            one.send(LOOP, port, content_id=1)
            zel_marlo.send_packet(b"junk", LOOP, port)
            two.send(LOOP, port, content_id=2)
            got = [await asyncio.wait_for(protocol.receive(), 5) for _ in range(2)]
            assert [(m.title, c) for m, c in got] == [("one", 1), ("two", 2)]
        assert len(errors) == 1 and isinstance(errors[0], PacketError)
        protocol.close()
        assert [item async for item in protocol] == []

    asyncio.run(asyncio.wait_for(main(), 20))


def run_module(*args):
    return subprocess.Popen([sys.executable, "-m", "zel_marlo", *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=os.environ)


def test_command_line_sends_and_receives():
    with Receiver(0, LOOP) as receiver:
        sender = run_module("send", f"{LOOP}:{receiver.port}", "--title", "Beyoncé",
                            "--comment-title", "ct", "--content-id", "9")
        out, err = sender.communicate(timeout=30)
        assert sender.returncode == 0, err
        message, content_id = receiver.receive(timeout=5)
        assert (message.title, message.comment_title, content_id) == ("Beyoncé", "ct", 9)
    port = free_udp_port()
    listener = run_module("receive", "--port", str(port), "--host", LOOP, "--count", "1",
                          "--json", "--timeout", "20")
    with Message(title="日本", ufid_owner_id="o", ufid_identifier=b"\xff") as message:
        out, err = send_until_exit(listener, lambda: message.send(LOOP, port, content_id=3))
    assert listener.returncode == 0, err
    assert json.loads(out) == {"content_id": 3, "title": "日本", "ufid_owner_id": "o",
                               "id": "ff"}
    for args in (["--help"], ["send", "--help"], ["receive", "--help"]):
        helper = run_module(*args)
        out, _ = helper.communicate(timeout=30)
        assert helper.returncode == 0 and b"usage:" in out
    quiet = run_module("receive", "--port", str(free_udp_port()), "--timeout", "0.2")
    _, err = quiet.communicate(timeout=30)
    assert quiet.returncode == 1 and b"nothing received" in err
