# SPDX-License-Identifier: GPL-2.0-or-later
"""Tags, files and packets against the bytes the C library and its tools make, an independent
ID3 reader, and the library's errors as exceptions."""

import os
import subprocess
import sys

import pytest
from conftest import FULL, free_udp_port, tool

from zel_marlo import (CL_ONLY, FLUSH, TWO_LAYER, EmptyMessageError, Error, FileError, Message,
                       PacketError, ValidationError, flush_packet)

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "support"))
from vesk_crc import crc16  # noqa: E402

HI_TAG = bytes.fromhex("4944330300000000000d" "54495432000000030000" "004869")
FLUSH_TWO_LAYER = bytes.fromhex("41460000001000019069100001021000000100000001000000003E59")


def cl_packet(msg_id, payload=b""):
    return b"\x10\x00\x00\x01" + msg_id.to_bytes(4, "big") + len(payload).to_bytes(4, "big") + \
        payload


def container(tag, content_id, kind=0, form=1):
    return bytes([0, kind, form, 0, 1, 0]) + content_id.to_bytes(2, "little") + \
        len(tag).to_bytes(4, "little") + tag


def two_layer(cl):
    body = b"AF" + (len(cl) + 4).to_bytes(4, "big") + bytes.fromhex("00019069 10000102") + cl
    return body + crc16(body).to_bytes(2, "big")


def test_tag_and_packets_are_the_library_bytes():
    with Message(title="Hi") as message:
        assert message.to_id3() == HI_TAG
        assert message.to_packet(7, CL_ONLY) == cl_packet(0, container(HI_TAG, 7))
        assert message.to_packet(7) == two_layer(cl_packet(0, container(HI_TAG, 7)))
        assert message.to_packet(65535, TWO_LAYER) == \
            two_layer(cl_packet(0, container(HI_TAG, 65535)))
    assert flush_packet() == FLUSH_TWO_LAYER
    assert flush_packet(CL_ONLY) == cl_packet(1)


@pytest.mark.parametrize("kind", [TWO_LAYER, CL_ONLY])
@pytest.mark.parametrize("content_id", [0, 1, 0x1234, 65535])
def test_packets_round_trip_with_the_kind_told_from_the_bytes(kind, content_id):
    with Message(**{**FULL, "title": "Beyoncé 日本"}) as message:
        got, cid = Message.from_packet(message.to_packet(content_id, kind))
        with got:
            assert (got, cid) == (message, content_id)
    assert Message.from_packet(flush_packet(kind)) == (FLUSH, None)
    assert Message.from_packet(bytearray(flush_packet(kind)), kind) == (FLUSH, None)


@pytest.mark.parametrize("content_id, kind, error", [
    (-1, TWO_LAYER, ValueError), (65536, TWO_LAYER, ValueError), (1.0, TWO_LAYER, TypeError),
    (0, 2, ValueError),
])
def test_packet_arguments_out_of_range_raise(content_id, kind, error):
    with Message(title="t") as message, pytest.raises(error):
        message.to_packet(content_id, kind)


def test_tags_and_files_of_the_c_tools_read_back(tmp_path):
    path = str(tmp_path / "tx.id3")
    result = subprocess.run(
        [tool("MARLOTX"), "-n", "1", "-o", "F", "-t", b"Beyonc\xe9", "-y", "T", "-c", "Note",
         "-f", path, "-k", f"127.0.0.1:{free_udp_port()}"],
        capture_output=True, timeout=30)
    assert result.returncode == 0, result.stdout
    with open(path, "rb") as f:
        written = f.read()
    with Message.load(path) as loaded:
        assert loaded.title == "Beyoncé" and loaded.comment_title == "Note"
        assert loaded.to_id3() == written
        with Message.from_dict(loaded.to_dict()) as rebuilt:
            assert rebuilt.to_id3() == written


def test_saved_files_hold_the_tag_and_load_back(tmp_path):
    path = tmp_path / "full.id3"
    with Message(**{**FULL, "artist": "坂本龍一"}) as message:
        message.save(path)
        assert path.read_bytes() == message.to_id3()
        with Message.load(os.fsencode(path)) as loaded:
            assert loaded == message
    with Message(title="t", core_enabled=False) as message:
        message.save(tmp_path / "none.id3")
        assert (tmp_path / "none.id3").read_bytes() == b""


def test_an_independent_reader_sees_the_latin1_tag_right(tmp_path):
    mutagen = pytest.importorskip("mutagen.id3")
    path = tmp_path / "latin1.id3"
    with Message(title="Beyoncé", artist="Björk", comment_title="Café",
                 comment_desc="crème") as message:
        message.save(path)
    data = path.read_bytes()
    assert b"Beyonc\xe9" in data and b"\xc3\xa9" not in data
    tag = mutagen.ID3(path)
    assert tag["TIT2"].encoding == 0
    assert (tag["TIT2"].text, tag["TPE1"].text) == (["Beyoncé"], ["Björk"])
    assert tag["COMM:Café:eng"].text == ["crème"]
    with Message(title="Beyoncé", artist="日本") as message:
        message.save(path)
    tag = mutagen.ID3(path)
    assert (tag["TIT2"].encoding, tag["TIT2"].text, tag["TPE1"].text) == (1, ["Beyoncé"], ["日本"])


def long_title():
    return Message(title="x" * 1100)


def corrupt(packet, offset, value):
    return packet[:offset] + bytes([value]) + packet[offset + 1:]


def valid_packet():
    return Message(title="Hi").to_packet(3, CL_ONLY)


@pytest.mark.parametrize("act, error, number, text", [
    (lambda: Message(comment_desc="d").validate(), ValidationError, 9,
     "orvo[1020]: E_FORMAT comment title required "),
    (lambda: Message(price="USD1").to_id3(), ValidationError, 9,
     "orvo[1074]: E_FORMAT all commercial fields not specified "),
    (lambda: Message(**{**FULL, "recv_as": "9"}).to_packet(), ValidationError, 9,
     "orvo[1084]: E_FORMAT invalid commercial recvAs s code '9'"),
    (lambda: Message(**{**FULL, "valid_until": "19691231"}).save("/nonexistent/x"),
     ValidationError, 9, "orvo[1101]: E_FORMAT invalid commercial validUntil year 19691231"),
    (lambda: long_title().validate(), ValidationError, 9,
     "orvo[730]: E_FORMAT pad message too long, '1121 bytes'"),
    (lambda: Message(title="t", core_enabled=False).to_packet(), EmptyMessageError, 7,
     "orvo[1809]: E_SEND cannot send zero length pad message "),
    (lambda: Message.from_id3(b""), ValidationError, 9,
     "orvo[811]: E_FORMAT could not find id3 tag "),
    (lambda: Message.from_id3(b"no tag at all"), ValidationError, 9,
     "orvo[822]: E_FORMAT id3 parse failed, len=13"),
    (lambda: Message.load("/nonexistent/x.id3"), FileError, 8,
     "orvo[1510]: E_FILE file open failed for '/nonexistent/x.id3'"),
    (lambda: Message(title="t").save("/nonexistent/x.id3"), FileError, 8,
     "orvo[1582]: E_FILE file open failed for '/nonexistent/x.id3'"),
    (lambda: Message.from_packet(b"xx"), PacketError, 10,
     "orvo[2021]: XFER_RX zel_vesk_unpack fail [ zel_vesk.cpp:0610 [ packet size(2) "
     "less than min length (14)] ]"),
    (lambda: Message.from_packet(valid_packet(), TWO_LAYER), PacketError, 10, None),
    (lambda: Message.from_packet(corrupt(Message(title="t").to_packet(), 30, 0x55)),
     PacketError, 10, None),  # CRC mismatch
    (lambda: Message.from_packet(corrupt(valid_packet(), 13, 1)), PacketError, 2,
     "orvo[1718]: ZEL_MARLO_TYPE psd Type field not PSD !! error  "),
    (lambda: Message.from_packet(corrupt(valid_packet(), 14, 2)), PacketError, 3,
     "orvo[1732]: ZEL_MARLO_FORMAT psd Format field not ID3 !! error  "),
    (lambda: Message.from_packet(cl_packet(0, container(b"ID3junk", 1))), PacketError, 11,
     "orvo[1766]: SET_ID3 cannot set the id3Msg "),
    (lambda: Message.from_packet(cl_packet(2)), PacketError, 10, "unsupported message id 2"),
])
def test_failures_raise_the_error_record(act, error, number, text):
    with pytest.raises(error) as caught:
        act()
    assert isinstance(caught.value, Error)
    assert caught.value.number == number
    if text is not None:
        assert caught.value.text == text
    assert str(caught.value).startswith(caught.value.text)


def test_a_failed_decoding_leaves_no_file_and_no_message(tmp_path):
    path = tmp_path / "bad.id3"
    with pytest.raises(ValidationError):
        Message(comment_desc="d").save(path)
    assert not path.exists()
