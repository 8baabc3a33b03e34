# SPDX-License-Identifier: GPL-2.0-or-later
"""zel_marlo: build, check, encode, send and receive PSD messages from Python.

A PSD message is the small metadata record (title, artist, album, genre, a comment, a
commercial offer, a unique file identifier) that travels beside a digital radio programme:
an ID3v2.3 tag in a PSD container in a VESK packet, one UDP datagram to the exciter (port
11000). This package drives the installed shared library through ctypes; set
ZEL_MARLO_LIBRARY to a library file to load another one.

Send::

    import zel_marlo

    with zel_marlo.Message(title="Halo", artist="Beyoncé", album="I Am... Sasha Fierce",
                           comment_title="Now playing", comment_desc="until 10:04") as msg:
        msg.validate()                          # raises zel_marlo.ValidationError
        msg.send("127.0.0.1", port=11000, content_id=7)
        msg.send(["exciter-a", ("exciter-b", 11001)])  # one encoding, two exciters
        msg.save("now.id3")                     # the ID3 tag alone
        packet = msg.to_packet(content_id=7)    # the datagram's bytes
    print(zel_marlo.version())

Receive::

    import zel_marlo

    with zel_marlo.Receiver(11000) as rx:       # stays bound between datagrams
        while (got := rx.receive(timeout=30)) is not None:
            message, content_id = got
            if message is zel_marlo.FLUSH:
                print("flush: the text on air is to be dropped")
                continue
            print(content_id, message.title, message.artist)
            message.close()

Texts are str everywhere: the ID3 text encoding is chosen when a message is encoded
(ISO-8859-1 when every text fits it, UTF-16 otherwise) unless Message.encoding says which.
Failures raise Error (ValidationError, EmptyMessageError, FileError, PacketError) with the
library's error number and report; a time-out of receive() returns None. For asyncio
programs, open_receiver() gives a datagram protocol to await. On the command line:
python3 -m zel_marlo send --help, python3 -m zel_marlo receive --help.
"""

from __future__ import annotations

from . import _native
from ._errors import (E_FILE, E_FORMAT, E_SEND, E_SYSTEM, E_VESK_INIT, SET_ID3, VESK_PARSE,
                      XFER_RX, ZEL_MARLO_FORMAT, ZEL_MARLO_TYPE, EmptyMessageError, Error,
                      FileError, PacketError, ValidationError)
from ._message import (AUTO, DEFAULT_PORT, FLUSH, MAX_TAG_LENGTH, Encoding, Flush, Kind, Message,
                       flush_packet)
from ._net import Receiver, ReceiverProtocol, open_receiver, receive, send_packet

__version__ = "4.1.0"

TWO_LAYER = Kind.TWO_LAYER
CL_ONLY = Kind.CL_ONLY
LATIN_1 = Encoding.LATIN_1
UTF_16 = Encoding.UTF_16
UTF_16BE = Encoding.UTF_16BE
UTF_8 = Encoding.UTF_8

# Shown as zel_marlo.Message, zel_marlo.ValidationError, ... in tracebacks and help().
for _public in (Error, ValidationError, EmptyMessageError, FileError, PacketError, Message,
                Encoding, Kind, Flush, Receiver, ReceiverProtocol):
    _public.__module__ = __name__
del _public


def version() -> str:
    """The library's version text: the versions of the library, its packet module and its ID3
    writer, one per line."""
    text = _native.lib.getVersion()
    return text.decode("latin-1") if text else ""


__all__ = [
    "AUTO", "CL_ONLY", "DEFAULT_PORT", "E_FILE", "E_FORMAT", "E_SEND", "E_SYSTEM", "E_VESK_INIT",
    "EmptyMessageError", "Encoding", "Error", "FLUSH", "FileError", "Flush", "Kind", "LATIN_1",
    "MAX_TAG_LENGTH", "Message", "PacketError", "Receiver", "ReceiverProtocol", "SET_ID3",
    "TWO_LAYER", "UTF_16", "UTF_16BE", "UTF_8", "VESK_PARSE", "ValidationError", "XFER_RX",
    "ZEL_MARLO_FORMAT", "ZEL_MARLO_TYPE", "flush_packet", "open_receiver", "receive",
    "send_packet", "version",
]
