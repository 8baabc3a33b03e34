# SPDX-License-Identifier: GPL-2.0-or-later
"""python3 -m zel_marlo send|receive: PSD messages from the command line, for quick work on
site."""

from __future__ import annotations

import argparse
import json
import sys
import time
from collections.abc import Sequence

from . import (AUTO, DEFAULT_PORT, FLUSH, Encoding, Error, Kind, Message, Receiver,
               flush_packet, send_packet, version)

_TEXTS = ("title", "artist", "album", "genre", "comment_title", "comment_desc", "price",
          "valid_until", "contact_url", "recv_as", "seller_name", "product_desc",
          "ufid_owner_id")
_GROUP_TEXTS = {"core": _TEXTS[0:4], "comment": _TEXTS[4:6], "commercial": _TEXTS[6:12],
                "ufid": _TEXTS[12:]}
_GROUPS = tuple(_GROUP_TEXTS)
_ENCODINGS = {"auto": AUTO, "latin-1": Encoding.LATIN_1, "utf-16": Encoding.UTF_16,
              "utf-16be": Encoding.UTF_16BE, "utf-8": Encoding.UTF_8}


def _destination(text: str) -> str | tuple[str, int]:
    """HOST, HOST:PORT, or [IPV6]:PORT."""
    if text.startswith("["):
        host, _, rest = text[1:].partition("]")
        return (host, int(rest[1:])) if rest.startswith(":") else host
    host, colon, port = text.rpartition(":")
    if colon and ":" not in host and port.isdigit():
        return host, int(port)
    return text


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python3 -m zel_marlo", description="Send and receive PSD messages.",
        epilog="python3 -m zel_marlo send --help and receive --help tell more.")
    parser.add_argument("--version", action="store_true", help="print the library's versions")
    commands = parser.add_subparsers(dest="command", metavar="{send,receive}")

    send = commands.add_parser(
        "send", help="send a PSD message (or a flush) to one or more exciters",
        description="Sends a PSD message as one UDP datagram to each destination. Groups that "
                    "are given a value are switched on, unless --disable says otherwise.")
    send.add_argument("destinations", nargs="+", metavar="HOST[:PORT]",
                      type=_destination, help="where to send: host name or address")
    send.add_argument("--port", type=int, default=DEFAULT_PORT,
                      help="port of destinations without one (default %(default)s)")
    send.add_argument("--content-id", type=int, default=0, help="0 to 65535 (default 0)")
    send.add_argument("--cl-only", action="store_true",
                      help="send a CL packet alone instead of the two-layer packet")
    send.add_argument("--encoding", choices=list(_ENCODINGS), default="auto",
                      help="ID3 text encoding (default auto: ISO-8859-1 when every text fits "
                           "it, else UTF-16)")
    send.add_argument("--count", type=int, default=1,
                      help="messages to send; 0 sends until interrupted (default 1)")
    send.add_argument("--interval", type=float, default=4.0,
                      help="seconds between messages (default 4)")
    send.add_argument("--flush", action="store_true",
                      help="send a flush message: the exciter drops the text on air")
    send.add_argument("--load", metavar="FILE", help="start from the message of an ID3 file")
    send.add_argument("--save", metavar="FILE", help="also write the ID3 tag to FILE")
    for name in _TEXTS:
        send.add_argument("--" + name.replace("_", "-"), dest=name, metavar="TEXT")
    send.add_argument("--ufid-identifier", metavar="TEXT",
                      help="UFID identifier as text (its UTF-8 bytes)")
    send.add_argument("--ufid-identifier-hex", metavar="HEX", help="UFID identifier in hex")
    send.add_argument("--enable", action="append", default=[], choices=_GROUPS,
                      help="switch a group on (repeatable)")
    send.add_argument("--disable", action="append", default=[], choices=_GROUPS,
                      help="switch a group off (repeatable)")

    receive = commands.add_parser(
        "receive", help="receive and print PSD messages",
        description="Listens on a UDP port and prints each PSD message received.")
    receive.add_argument("--port", type=int, default=DEFAULT_PORT,
                         help="port to listen on (default %(default)s)")
    receive.add_argument("--host", default="0.0.0.0", help="address to bind (default all)")
    receive.add_argument("--count", type=int, default=0,
                         help="messages to receive before exiting; 0: no end (default)")
    receive.add_argument("--timeout", type=float,
                         help="give up after this many seconds without a datagram (exit 1)")
    receive.add_argument("--save", metavar="FILE", help="write each message's ID3 tag to FILE")
    receive.add_argument("--json", action="store_true",
                         help="one JSON object a line instead of the printed message")
    return parser


def _message(args: argparse.Namespace) -> Message:
    message = Message.load(args.load) if args.load else Message()
    message.encoding = _ENCODINGS[args.encoding]
    given = {name: getattr(args, name) for name in _TEXTS if getattr(args, name) is not None}
    identifier = None
    if args.ufid_identifier is not None:
        identifier = args.ufid_identifier.encode("utf-8")
    if args.ufid_identifier_hex is not None:
        identifier = bytes.fromhex(args.ufid_identifier_hex.removeprefix("0x").removeprefix("0X"))
    for name, value in given.items():
        setattr(message, name, value)
    if identifier is not None:
        message.ufid_identifier = identifier
    for group, names in _GROUP_TEXTS.items():
        if any(n in given for n in names) or (group == "ufid" and identifier is not None):
            setattr(message, group + "_enabled", True)
    for group in args.enable:
        setattr(message, group + "_enabled", True)
    for group in args.disable:
        setattr(message, group + "_enabled", False)
    return message


def _send(args: argparse.Namespace) -> int:
    kind = Kind.CL_ONLY if args.cl_only else Kind.TWO_LAYER
    if args.flush:
        packet = flush_packet(kind)
        send_packet(packet, args.destinations, args.port)
        return 0
    with _message(args) as message:
        if args.save:
            message.save(args.save)
        sent = 0
        while True:
            message.send(args.destinations, args.port, args.content_id, kind)
            sent += 1
            print(f"sent PSD message {sent} ({len(message.to_id3())} bytes of ID3)", flush=True)
            if args.count and sent >= args.count:
                return 0
            time.sleep(args.interval)


def _receive(args: argparse.Namespace) -> int:
    received = 0
    with Receiver(args.port, args.host) as receiver:
        while not args.count or received < args.count:
            try:
                got = receiver.receive(args.timeout)
            except Error as e:
                print(f"bad datagram: {e}", file=sys.stderr, flush=True)
                continue
            if got is None:
                print(f"nothing received within {args.timeout} s", file=sys.stderr)
                return 1
            received += 1
            message, content_id = got
            if message is FLUSH:
                print(json.dumps({"flush": True}) if args.json else "PSD flush message",
                      flush=True)
                continue
            with message:
                if args.save:
                    message.save(args.save)
                if args.json:
                    values = {k: (v.hex() if isinstance(v, bytes) else v)
                              for k, v in message.to_dict().items()}
                    print(json.dumps({"content_id": content_id, **values}, ensure_ascii=False),
                          flush=True)
                else:
                    print(f"PSD message, content id {content_id}\n{message}", flush=True)
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.version:
        print(version(), end="")
        return 0
    if args.command is None:
        parser.print_help()
        return 2
    try:
        return _send(args) if args.command == "send" else _receive(args)
    except (Error, OSError, ValueError) as e:
        print(f"python3 -m zel_marlo {args.command}: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
