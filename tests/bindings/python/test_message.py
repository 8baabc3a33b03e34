# SPDX-License-Identifier: GPL-2.0-or-later
"""Message: values through the library and back, the text encoding, switches, dicts, repr,
the printed text and the handle's lifetime."""

import gc

import pytest
from conftest import FULL

import zel_marlo
from zel_marlo import Encoding, Message

# Texts in the ID3 text encoding, and the ISO-8859-1 fields with a value each may take.
TEXT_FIELDS = ["title", "artist", "album", "genre", "comment_title", "comment_desc",
               "seller_name", "product_desc"]
LATIN1_VALUES = {"price": "£5.00", "valid_until": "20991231", "contact_url": "http://café.fr",
                 "recv_as": "8", "ufid_owner_id": "propriétaire"}
SAMPLES = {"latin1": "Beyoncé ÿ", "bmp": "日本語 Ωμέγα", "astral": "🎵 𝄞 x"}


def decoded(message):
    return Message.from_id3(message.to_id3())


@pytest.mark.parametrize("encoding", ["auto", Encoding.LATIN_1, Encoding.UTF_16,
                                      Encoding.UTF_16BE, Encoding.UTF_8])
@pytest.mark.parametrize("sample", SAMPLES)
@pytest.mark.parametrize("field", TEXT_FIELDS)
def test_texts_round_trip_through_the_library_and_a_tag(field, sample, encoding):
    text = SAMPLES[sample]
    if encoding == Encoding.LATIN_1 and sample != "latin1":
        with pytest.raises(ValueError), Message(encoding=encoding) as message:
            setattr(message, field, text)
        return
    with Message(**{**FULL, field: text}, encoding=encoding) as message:
        assert getattr(message, field) == text
        with decoded(message) as back:
            assert getattr(back, field) == text
            assert back.to_dict() == message.to_dict()


@pytest.mark.parametrize("encoding", ["auto", Encoding.UTF_16, Encoding.UTF_8])
@pytest.mark.parametrize("field", LATIN1_VALUES)
def test_iso_8859_1_fields_take_latin1_in_every_encoding(field, encoding):
    with Message(**{**FULL, "title": "日本", field: LATIN1_VALUES[field]},
                 encoding=encoding) as message:
        assert getattr(message, field) == LATIN1_VALUES[field]
        with decoded(message) as back:
            assert getattr(back, field) == LATIN1_VALUES[field]
            assert back.title == "日本"
        with pytest.raises(ValueError):
            setattr(message, field, "€ 5")
        assert getattr(message, field) == LATIN1_VALUES[field]


def test_ufid_identifier_round_trips_any_bytes():
    for identifier in (b"\x00", bytes(range(64)), b"\xff\x00\n"):
        with Message(ufid_owner_id="o", ufid_identifier=identifier) as message:
            assert message.ufid_identifier == identifier
            with decoded(message) as back:
                assert back.ufid_identifier == identifier


def frame_encoding(tag, frame):
    return tag[tag.index(frame) + 10]


def test_auto_encoding_is_latin1_while_every_text_fits_it():
    with Message(title="Beyoncé", artist="Sade") as message:
        tag = message.to_id3()
        assert b"Beyonc\xe9" in tag and frame_encoding(tag, b"TIT2") == 0
        message.artist = "坂本龍一"  # the stored texts are rewritten for UTF-16
        assert (message.title, message.artist) == ("Beyoncé", "坂本龍一")
        tag = message.to_id3()
        assert frame_encoding(tag, b"TIT2") == 1 and "Beyoncé".encode("utf-16-be") in tag
        message.artist = "Sade"  # back to ISO-8859-1 at the next encoding
        assert message.to_id3() == Message(title="Beyoncé", artist="Sade").to_id3()
        assert message.title == "Beyoncé"
        assert message.encoding == "auto"


def test_an_explicit_encoding_rewrites_and_refuses_what_it_cannot_carry():
    with Message(title="Beyoncé", artist="日本") as message:
        with pytest.raises(ValueError):
            message.encoding = Encoding.LATIN_1
        assert (message.title, message.artist, message.encoding) == ("Beyoncé", "日本", "auto")
        message.encoding = Encoding.UTF_8
        assert frame_encoding(message.to_id3(), b"TIT2") == 3
        message.artist = "Sade"
        message.encoding = Encoding.LATIN_1
        assert message.to_id3() == Message(title="Beyoncé", artist="Sade").to_id3()
        with pytest.raises(ValueError):
            message.title = "日本"
        assert message.title == "Beyoncé"
        for bad in (4, -1, "utf-8", True):
            with pytest.raises(ValueError):
                message.encoding = bad


@pytest.mark.parametrize("value, error", [
    ("a\0b", ValueError),       # C would cut it at the NUL
    ("\udc80", ValueError),      # a lone surrogate has no UTF-8
    (b"bytes", TypeError),
    (5, TypeError),
])
def test_bad_texts_raise_and_change_nothing(value, error):
    with Message(title="kept") as message:
        with pytest.raises(error):
            message.title = value
        assert message.title == "kept"


def test_empty_and_none_clear_a_value():
    with Message(**FULL) as message:
        message.title = ""
        message.comment_title = None
        del message.price
        message.ufid_identifier = b""
        assert (message.title, message.comment_title, message.price,
                message.ufid_identifier) == (None, None, None, None)
        assert message.comment_desc == "two\nlines"  # its partner in the group stays


@pytest.mark.parametrize("field, value", [
    ("ufid_identifier", bytes(65)),   # the library would drop the stored identifier
    ("ufid_owner_id", "o" * 192),     # the library would keep the old one and say nothing
    ("ufid_identifier", "text"),
])
def test_ufid_limits_raise_and_keep_the_stored_values(field, value):
    with Message(ufid_owner_id="owner", ufid_identifier=b"id") as message:
        with pytest.raises((ValueError, TypeError)):
            setattr(message, field, value)
        assert (message.ufid_owner_id, message.ufid_identifier) == ("owner", b"id")
        message.ufid_identifier = bytes(64)
        message.ufid_owner_id = "o" * 191
        assert (message.ufid_owner_id, message.ufid_identifier) == ("o" * 191, bytes(64))


def test_switches_follow_the_values_given_unless_set():
    with Message(title="t", comment_title="c", price="USD1") as message:
        assert (message.core_enabled, message.comment_enabled, message.commercial_enabled,
                message.ufid_enabled) == (True, True, True, False)
    with Message(title="t", comment_title="c", comment_enabled=False) as message:
        assert not message.comment_enabled
        assert b"COMM" not in message.to_id3()
        message.comment_enabled = True
        assert b"COMM" in message.to_id3()
    with Message(comment_title="c") as message, decoded(message) as back:
        assert (back.core_enabled, back.comment_enabled, back.commercial_enabled) == (
            True, True, False)


def test_equality_repr_and_dicts():
    message = Message(**FULL, encoding=Encoding.UTF_8, ufid_enabled=False)
    assert eval(repr(message), {"zel_marlo": zel_marlo}) == message
    assert message == Message.from_dict(message.to_dict(), encoding=Encoding.UTF_8,
                                        ufid_enabled=False)
    assert message != Message(**FULL)
    assert message.to_dict()["comment"] == "two\nlines"
    assert message.to_dict()["id"] == b"\x00id\xff"  # not UTF-8: stays bytes
    # The bridge's JSON input: its other keys are ignored, "id" as text is UTF-8.
    bridge = Message.from_dict({"title": "Halo", "artist": "Beyoncé", "duration": 261.5,
                                "comment": "desc", "comment_title": "ct", "id": "cart-42",
                                "isrc": "USSM10803780", "group": "MUSIC"})
    assert bridge.to_dict() == {"title": "Halo", "artist": "Beyoncé", "comment_title": "ct",
                                "comment": "desc", "id": "cart-42"}
    assert bridge.ufid_identifier == b"cart-42" and bridge.comment_enabled
    assert decoded(Message(**FULL)) == Message(**FULL)


def test_str_is_the_library_print_of_the_enabled_groups():
    with Message(title="Beyoncé", artist="日本", price="£5", valid_until="20301231",
                 contact_url="u", recv_as="1", seller_name="Señor", product_desc="p",
                 comment_title="hidden", comment_enabled=False) as message:
        assert str(message) == (
            "title: -->Beyoncé\nartist: -->日本\ncommercial price: -->£5\n"
            "commercial valid until: -->20301231\ncommercial contact url: -->u\n"
            "commercial recv as: -->1\ncommercial seller name: -->Señor\n"
            "commercial product desc: -->p\n")
    assert str(Message()) == "PSD message contains no data!\n"


def test_close_frees_the_handle_once_and_the_finaliser_frees_a_forgotten_one():
    message = Message(title="t")
    with message:
        pass
    assert message.closed
    message.close()
    with pytest.raises(ValueError):
        message.title
    with pytest.raises(ValueError):
        message.to_id3()
    assert repr(message) == "<zel_marlo.Message closed>"
    forgotten = Message(title="t")
    finalizer = forgotten._finalizer
    del forgotten
    gc.collect()
    assert not finalizer.alive


def test_clear_drops_values_and_restores_defaults():
    with Message(**FULL, encoding=Encoding.UTF_8) as message:
        message.clear()
        assert message == Message()
