#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The wire as others see it.

ProtocolDoc  docs/protocol.md's two annotated hex dumps, made again from the library's packets.
Library      the library's own packets and tags, in captures, through the Wireshark dissector
             (contrib/wireshark/zel_marlo.lua) under tshark: every field value against what went in.
Malformed    hand-made faulty datagrams: the right expert info, the rest still visible, and never a
             Lua error; every cut of a packet and of a tag, and seeded random damage, too.
Tools        a datagram marlotx really sends, and the bare tag marlorx -k really forwards.

The dissector groups end with status 77 (skipped) when tshark is not installed. Every child
process has a time limit and every socket wait a time-out.

Environment: WIRE_SAMPLES (the helper program), ZEL_SOURCE_DIR, MARLOTX and MARLORX.
Run one group: wire_test.py ProtocolDoc (or Library, Malformed, Tools).
"""

import json
import os
import random
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from vesk_crc import crc16  # noqa: E402

SAMPLES = os.environ.get("WIRE_SAMPLES", "")
SOURCE = os.environ.get("ZEL_SOURCE_DIR",
                        os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
DOC = os.path.join(SOURCE, "docs", "protocol.md")
PLUGIN = os.path.join(SOURCE, "contrib", "wireshark", "zel_marlo.lua")
TX = os.environ.get("MARLOTX", "")
RX = os.environ.get("MARLORX", "")
TSHARK = shutil.which("tshark")

VESK_PORT = 11000
TAG_PORT = 10001
OTHER_PORTS = (40000, 40001)  # no dissector of Wireshark's own claims these: heuristics decide
SKIP = 77



def run(cmd, timeout=60, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout,
                          **kw)


def arguments(fields):
    """key=value arguments of the helper; texts as bytes, passed on unchanged."""
    out = []
    for key, value in fields.items():
        if isinstance(value, str):
            value = value.encode("utf-8")
        elif isinstance(value, int):
            value = str(value).encode()
        out.append(key.encode() + b"=" + value)
    return out


def library(mode, *args, **fields):
    """Bytes the library makes: mode "packet" (args kind, msgid) or "tag"."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "out.bin")
        cmd = [SAMPLES, mode, path] + [str(a) for a in args] + arguments(fields)
        res = run(cmd)
        if res.returncode != 0:
            raise AssertionError("%r failed: %s" % (cmd, res.stderr.decode(errors="replace")))
        with open(path, "rb") as f:
            return f.read()


def packet(kind, msgid, **fields):
    return library("packet", kind, msgid, **fields)


def tag(**fields):
    return library("tag", **fields)


# ---- capture files ------------------------------------------------------------------------

def write_pcap(path, datagrams):
    """A classic pcap file: Ethernet, IPv4 and UDP headers around each (src, dst, payload).
    Checksums stay 0 (none for UDP)."""
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        for i, (sport, dport, payload) in enumerate(datagrams):
            udp = struct.pack(">HHHH", sport, dport, 8 + len(payload), 0) + payload
            ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), i & 0xFFFF, 0, 64, 17, 0,
                             bytes([127, 0, 0, 1]), bytes([127, 0, 0, 1]))
            eth = b"\x02\x00\x00\x00\x00\x01" + b"\x02\x00\x00\x00\x00\x02" + b"\x08\x00"
            frame = eth + ip + udp
            f.write(struct.pack("<IIII", 1700000000 + i, 0, len(frame), len(frame)) + frame)


def flatten(node, out):
    """Field name -> list of shown values, over a tshark JSON tree whose duplicate keys were
    merged into lists. An item with a subtree and no value of its own counts as ""."""
    for key, value in node.items():
        for v in value if isinstance(value, list) else [value]:
            if isinstance(v, dict):
                if not key.endswith("_tree"):
                    out.setdefault(key, []).append("")
                flatten(v, out)
            else:
                out.setdefault(key, []).append(v)
    return out


class Dissected:
    """One frame as the dissector showed it."""

    def __init__(self, layers, protocol, info):
        self.layers = layers
        self.fields = flatten({k: v for k, v in layers.items() if k in ("vesk", "psd")}, {})
        self.all_fields = flatten(layers, {})
        self.protocol = protocol
        self.info = info

    def get(self, name):
        return self.fields.get(name, [])

    def one(self, name):
        values = self.get(name)
        if len(values) != 1:
            raise AssertionError("%s: %d values %r; frame %r" % (name, len(values), values,
                                                                  self.info))
        return values[0]

    def experts(self):
        """Expert info names and messages of the dissector's layers."""
        names = {k for k in self.fields if k.startswith(("vesk.", "psd.")) and k in EXPERTS}
        return names, self.get("_ws.expert.message")

    def errors(self):
        return [m for m, s in zip(self.get("_ws.expert.message"), self.get("_ws.expert.severity"))
                if s == str(0x00800000)]


# Expert info names of the dissector, read from the plugin itself.
with open(PLUGIN, encoding="utf-8") as _f:
    EXPERTS = set(re.findall(r'mk\("([a-z0-9_.]+)"', _f.read()))


def dissect(test, datagrams):
    """Runs tshark with the plugin over a capture of datagrams; one Dissected per datagram.
    Fails on any Lua error, in stderr or in the tree, and on a fault the dissector caught."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "capture.pcap")
        write_pcap(path, datagrams)
        base = [TSHARK, "-n", "-X", "lua_script:" + PLUGIN, "-r", path]
        js = run(base + ["-T", "json", "--no-duplicate-keys"], timeout=240)
        cols = run(base + ["-T", "fields", "-E", "separator=/t", "-e", "frame.number",
                           "-e", "_ws.col.Protocol", "-e", "_ws.col.Info"], timeout=240)
    for res in (js, cols):
        err = res.stderr.decode(errors="replace")
        # tshark run as root warns about it; that line is no fault. Any mention of Lua is.
        test.assertEqual(res.returncode, 0, err)
        test.assertNotIn("Lua", err)
    frames = json.loads(js.stdout.decode("utf-8"))
    rows = [line.split("\t") for line in cols.stdout.decode("utf-8").splitlines()]
    test.assertEqual(len(frames), len(datagrams))
    test.assertEqual(len(rows), len(datagrams))
    out = []
    for frame, row in zip(frames, rows):
        d = Dissected(frame["_source"]["layers"], row[1], row[2] if len(row) > 2 else "")
        # A Lua error, a fault the dissector caught itself, or an exception inside Wireshark
        # while the dissector ran (a read past the bytes).
        faults = [m for m in d.all_fields.get("_ws.expert.message", [])
                  if any(w in m for w in ("Lua Error", "Dissector fault", "Exception occurred"))]
        if "_ws.lua.error" in d.all_fields:
            faults.append("_ws.lua.error")
        test.assertEqual(faults, [], "frame %s (%s)" % (row[0], d.info))
        out.append(d)
    return out


def need_tshark():
    if TSHARK is None:
        print("tshark is not installed: skipped")
        sys.exit(SKIP)


# ---- the messages that go in --------------------------------------------------------------

# Texts per encoding: ISO-8859-1 bytes for 0, UTF-8 for the others (the library reads them so),
# with characters outside the Basic Multilingual Plane for the UTF-16 surrogates.
TEXTS = {
    "latin1": dict(title=b"Caf\xe9 Morning", artist=b"Studio \xc5 2", album=b"Live \xbd",
                   genre=b"Talk", ctitle=b"Today", cdesc=b"Live from the studio \xa9",
                   seller=b"Sh\xf6p", product=b"Mug \xd7 2"),
    "unicode": dict(title="Caf\u00e9 \u65e5\u672c \U0001F600 Morning", artist="Studio \u03a9 2",
                    album="\u0416\u0438\u0432\u043e\u0439", genre="Talk \U0001D11E",
                    ctitle="Heute", cdesc="Live \u2013 aus dem Studio",
                    seller="Sh\u00f6p \u2713", product="Tasse \u2615"),
}
COMMERCIAL = dict(price="USD5.95", until="20271231", url="http://shop.example.com", recvas=4)
UFID = dict(owner="http://ids.example.com", ident="0001feff41")
TEXT_KEYS = {"title": "psd.id3.title", "artist": "psd.id3.artist", "album": "psd.id3.album",
             "genre": "psd.id3.genre", "ctitle": "psd.id3.comm.description",
             "cdesc": "psd.id3.comm.text", "seller": "psd.id3.comr.seller",
             "product": "psd.id3.comr.description"}


def message(encoding, groups=("core", "comment", "commercial", "ufid")):
    """The helper's arguments for a message with the groups given, in an encoding."""
    texts = TEXTS["latin1" if encoding == 0 else "unicode"]
    fields = dict(enc=encoding, id=4660 + encoding, core=int("core" in groups),
                  comment=int("comment" in groups), commercial=int("commercial" in groups),
                  ufid=int("ufid" in groups))
    fields.update(texts)
    fields.update(COMMERCIAL)
    fields.update(UFID)
    return fields


def shown(value, encoding):
    """A text as the dissector should show it."""
    if isinstance(value, bytes):
        return value.decode("latin-1" if encoding == 0 else "utf-8")
    return value


# ---- ProtocolDoc --------------------------------------------------------------------------

# The small message of the document's second dump.
DOC_MESSAGE = dict(id=7, title="Morning Show", artist="Studio 2")


def annotate(pkt):
    """The annotated dump of a two-layer packet as the library sends it, line by line as the
    document shows it. Each value is read from the packet."""
    rows = []

    def be(off, size):
        return int.from_bytes(pkt[off:off + size], "big")

    def le(off, size):
        return int.from_bytes(pkt[off:off + size], "little")

    def add(off, size, text):
        rows.append((off, pkt[off:off + size], text))

    length = be(2, 4)
    add(0, 2, 'AFL sync "AF"')
    add(2, 4, "AFL length L = %d: bytes 12 to %d, CRC included" % (length, length + 11))
    add(6, 2, "AFL sequence number %d" % be(6, 2))
    add(8, 1, "AFL version 0x%02X: bit 7 set, a CRC follows" % pkt[8])
    add(9, 1, "protocol '%c'" % pkt[9])
    add(10, 1, "TAL version 0x%02X" % pkt[10])
    add(11, 1, "TAL extension count %d (bits 7-5)" % (pkt[11] >> 5))
    add(12, 1, "TAL field 1 = %d" % pkt[12])
    add(13, 1, "TAL field 2 = %d" % pkt[13])
    add(14, 1, "CL version 0x%02X" % pkt[14])
    add(15, 1, "CL flags 0x%02X" % pkt[15])
    add(16, 2, "CL sequence number %d" % be(16, 2))
    msgid = be(18, 4)
    add(18, 4, "CL message id %d: %s" % (msgid, {0: "PSD message", 1: "flush"}[msgid]))
    cl_length = be(22, 4)
    add(22, 4, "CL payload length %d" % cl_length)
    if cl_length:
        add(26, 1, "PSD reserved %d" % pkt[26])
        add(27, 1, "PSD type %d: PSD" % pkt[27])
        add(28, 1, "PSD format %d: ID3" % pkt[28])
        add(29, 1, "PSD options %d: no extension header" % pkt[29])
        add(30, 2, "PSD parameter %d, little-endian" % le(30, 2))
        add(32, 2, "content ID %d, little-endian" % le(32, 2))
        add(34, 4, "payload length %d, little-endian" % le(34, 4))
        add(38, 3, 'ID3 tag: "ID3"')
        add(41, 1, "major version %d" % pkt[41])
        add(42, 1, "revision %d" % pkt[42])
        add(43, 1, "flags 0x%02X" % pkt[43])
        size = sum((b & 0x7F) << (7 * (3 - i)) for i, b in enumerate(pkt[44:48]))
        add(44, 4, "tag size %d, syncsafe" % size)
        at = 48
        while at < 48 + size:
            frame_id = pkt[at:at + 4].decode("ascii")
            frame_size = be(at + 4, 4)
            add(at, 4, 'frame "%s"' % frame_id)
            add(at + 4, 4, "frame size %d" % frame_size)
            add(at + 8, 2, "frame flags 0x%04X" % be(at + 8, 2))
            add(at + 10, 1, "text encoding %d: ISO-8859-1" % pkt[at + 10])
            text = pkt[at + 11:at + 10 + frame_size]
            add(at + 11, len(text), 'text "%s"' % text.decode("latin-1"))
            at += 10 + frame_size
    end = len(pkt) - 2
    add(end, 2, "CRC-16 0x%04X of bytes 0 to %d" % (be(end, 2), end - 1))

    lines = ["offset  bytes                    meaning"]
    for off, data, text in rows:
        for i in range(0, len(data), 8):
            chunk = " ".join("%02X" % b for b in data[i:i + 8])
            lines.append(("%6d  %-23s  %s" % (off + i, chunk, text if i == 0 else "")).rstrip())
    return lines


def doc_dump(name):
    """The lines of the fenced block after the marker <!-- dump:name --> in docs/protocol.md."""
    with open(DOC, encoding="utf-8") as f:
        text = f.read()
    m = re.search(r"<!-- dump:%s -->\n```text\n(.*?)\n```" % re.escape(name), text, re.S)
    if not m:
        raise AssertionError("docs/protocol.md has no dump named %s" % name)
    return m.group(1).split("\n")


class ProtocolDoc(unittest.TestCase):
    def check(self, name, pkt):
        # The CRC that the dump explains is the one any implementer computes.
        self.assertEqual(int.from_bytes(pkt[-2:], "big"), crc16(pkt[:-2]))
        expected = annotate(pkt)
        self.assertEqual(doc_dump(name), expected, "docs/protocol.md's %s dump should read:\n%s"
                         % (name, "\n".join(expected)))

    def test_flush_dump(self):
        self.check("flush", packet(0, 1))

    def test_psd_dump(self):
        pkt = packet(0, 0, **DOC_MESSAGE)
        self.check("psd", pkt)
        # The CL-only packet of the same message is the two-layer packet's CL part.
        self.assertEqual(packet(1, 0, **DOC_MESSAGE), pkt[14:-2])

    def test_crc_check_value(self):
        # The check value the document gives for its CRC parameters.
        with open(DOC, encoding="utf-8") as f:
            self.assertIn("0xD64E", f.read())
        self.assertEqual(crc16(b"123456789"), 0xD64E)


# ---- Library ------------------------------------------------------------------------------

class Library(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        need_tshark()

    def check_message(self, d, fields, encoding, groups):
        """Every value that went in, as the dissector shows it."""
        for key, name in TEXT_KEYS.items():
            group = {"title": "core", "artist": "core", "album": "core", "genre": "core",
                     "ctitle": "comment", "cdesc": "comment"}.get(key, "commercial")
            want = [shown(fields[key], encoding)] if group in groups else []
            self.assertEqual(d.get(name), want, name)
        if "comment" in groups:
            self.assertEqual(d.get("psd.id3.comm.language"), ["eng"])
        if "commercial" in groups:
            self.assertEqual(d.get("psd.id3.comr.price"), [COMMERCIAL["price"]])
            self.assertEqual(d.get("psd.id3.comr.valid_until"), [COMMERCIAL["until"]])
            self.assertEqual(d.get("psd.id3.comr.contact_url"), [COMMERCIAL["url"]])
            self.assertEqual(d.get("psd.id3.comr.received_as"), [str(COMMERCIAL["recvas"])])
            self.assertEqual(d.get("psd.id3.comr.mime_type"), [""])
            self.assertEqual(d.get("psd.id3.comr.logo"), [])
        else:
            self.assertEqual(d.get("psd.id3.comr.price"), [])
        if "ufid" in groups:
            self.assertEqual(d.get("psd.id3.ufid.owner"), [UFID["owner"]])
            self.assertEqual(d.get("psd.id3.ufid.identifier"), ["00:01:fe:ff:41"])
        else:
            self.assertEqual(d.get("psd.id3.ufid.owner"), [])
        frames = {"core": 4, "comment": 1, "commercial": 1, "ufid": 0}
        texts = sum(n for g, n in frames.items() if g in groups)
        self.assertEqual(d.get("psd.id3.encoding"), [str(encoding)] * texts)
        self.assertEqual(d.get("psd.id3.version"), ["3"])
        self.assertEqual(d.errors(), [])
        if "core" in groups:
            self.assertIn(shown(fields["title"], encoding), d.info)

    def check_layers(self, d, pkt, kind, tag_bytes, content_id):
        """The header fields against the packet's sizes."""
        cl_at = 14 if kind == 0 else 0
        if kind == 0:
            self.assertEqual(d.one("vesk.afl.sync"), "AF")
            self.assertEqual(d.one("vesk.afl.length"), str(len(pkt) - 12))
            self.assertEqual(d.one("vesk.afl.seq"), "1")
            self.assertEqual(d.one("vesk.afl.version"), "0x90")
            self.assertEqual(d.one("vesk.afl.tal.field1"), "1")
            self.assertEqual(d.one("vesk.afl.tal.field2"), "2")
            self.assertEqual(d.one("vesk.afl.crc"), "0x%04x" % crc16(pkt[:-2]))
            self.assertEqual(d.one("vesk.afl.crc.status"), "1")
        else:
            self.assertEqual(d.get("vesk.afl"), [])
            self.assertIn("(CL only)", d.info)
        self.assertEqual(d.one("vesk.cl.version"), "0x10")
        self.assertEqual(d.one("vesk.cl.seq"), "1")
        self.assertEqual(len(pkt), cl_at + 12 + int(d.one("vesk.cl.length")) + 2 * (kind == 0))
        if tag_bytes is None:
            self.assertEqual(d.one("vesk.cl.msgid"), "1")
            self.assertEqual(d.one("vesk.cl.length"), "0")
            self.assertEqual(d.get("psd.container"), [])
            return
        self.assertEqual(d.one("vesk.cl.msgid"), "0")
        self.assertEqual(d.one("vesk.cl.length"), str(len(tag_bytes) + 12))
        self.assertEqual(d.one("psd.type"), "0")
        self.assertEqual(d.one("psd.format"), "1")
        self.assertEqual(d.one("psd.options"), "0")
        self.assertEqual(d.one("psd.param"), "1")
        self.assertEqual(d.one("psd.content_id"), str(content_id))
        self.assertEqual(d.one("psd.payload_length"), str(len(tag_bytes)))
        self.assertEqual(d.one("psd.id3.size"), str(len(tag_bytes) - 10))
        self.assertIn("Content ID %d" % content_id, d.info)
        self.assertEqual(d.protocol, "PSD")

    def test_packets_of_both_kinds_in_every_encoding(self):
        cases = []
        for encoding in range(4):
            for kind in (0, 1):
                fields = message(encoding)
                cases.append((kind, encoding, fields, ("core", "comment", "commercial", "ufid")))
        # One group at a time, in a Unicode encoding and in ISO-8859-1.
        for groups in (("core",), ("comment",), ("commercial",), ("ufid",)):
            for encoding in (0, 1):
                cases.append((0, encoding, message(encoding, groups), groups))
        datagrams, expected = [], []
        for kind, encoding, fields, groups in cases:
            pkt = packet(kind, 0, **fields)
            tag_fields = {k: v for k, v in fields.items() if k != "id"}
            datagrams.append((50000, VESK_PORT, pkt))
            expected.append((pkt, kind, encoding, fields, groups, tag(**tag_fields)))
        for d, (pkt, kind, encoding, fields, groups, tag_bytes) in zip(dissect(self, datagrams),
                                                                      expected):
            with self.subTest(kind=kind, encoding=encoding, groups=groups):
                self.check_layers(d, pkt, kind, tag_bytes, fields["id"])
                self.check_message(d, fields, encoding, groups)

    def test_flush_of_both_kinds(self):
        pkts = [packet(0, 1), packet(1, 1)]
        found = dissect(self, [(50000, VESK_PORT, p) for p in pkts])
        for kind, (d, pkt) in enumerate(zip(found, pkts)):
            with self.subTest(kind=kind):
                self.check_layers(d, pkt, kind, None, None)
                self.assertEqual(d.protocol, "VESK")
                self.assertTrue(d.info.startswith("Flush message"), d.info)
                self.assertEqual(d.errors(), [])

    def test_bare_tag_in_every_encoding(self):
        datagrams, expected = [], []
        for encoding in range(4):
            fields = message(encoding)
            del fields["id"]
            datagrams.append((50000, TAG_PORT, tag(**fields)))
            expected.append((encoding, fields))
        for d, (encoding, fields) in zip(dissect(self, datagrams), expected):
            with self.subTest(encoding=encoding):
                self.assertEqual(d.protocol, "PSD")
                self.assertTrue(d.info.startswith("ID3 tag: "), d.info)
                self.assertEqual(d.get("vesk.cl"), [])
                self.check_message(d, fields, encoding, ("core", "comment", "commercial", "ufid"))

    def test_heuristics_on_other_ports(self):
        fields = message(1)
        tag_fields = {k: v for k, v in fields.items() if k != "id"}
        pkts = [packet(0, 0, **fields), packet(1, 0, **fields), packet(0, 1), packet(1, 1),
                tag(**tag_fields)]
        # A datagram that merely starts like a packet or a tag stays plain data.
        lookalikes = [pkts[0][:-1], pkts[1] + b"\x00", b"AF" + bytes(30),
                      pkts[4][:-3] + b"xyz" + b"!"]
        found = dissect(self, [(OTHER_PORTS[0], OTHER_PORTS[1], p) for p in pkts + lookalikes])
        for i, d in enumerate(found[:4]):
            with self.subTest(packet=i):
                self.assertEqual(d.one("vesk.cl.seq"), "1")
                self.assertEqual(d.errors(), [])
        self.assertEqual(found[0].one("psd.id3.title"), fields["title"])
        self.assertEqual(found[1].one("psd.content_id"), str(fields["id"]))
        self.assertEqual(found[4].one("psd.id3.title"), fields["title"])
        for d in found[5:]:
            self.assertEqual(d.fields, {}, d.info)


# ---- Malformed ----------------------------------------------------------------------------

def with_crc(body):
    """An AFL packet body (everything before the CRC) with its CRC."""
    return bytes(body) + struct.pack(">H", crc16(body))


def edit(pkt, offset, new, fix_crc=True):
    """pkt with new bytes at offset; the CRC made anew for a two-layer packet."""
    b = bytearray(pkt)
    b[offset:offset + len(new)] = new
    return with_crc(b[:-2]) if fix_crc else bytes(b)


def syncsafe(n):
    return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])


def id3(major, frames, padding=0):
    """An ID3v2 tag of frames (id, data); frame sizes syncsafe in v2.4, plain in v2.3."""
    body = b"".join(fid + (syncsafe(len(data)) if major == 4 else struct.pack(">I", len(data)))
                    + b"\x00\x00" + data for fid, data in frames) + bytes(padding)
    return b"ID3" + bytes([major, 0, 0]) + syncsafe(len(body)) + body


class Malformed(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        need_tshark()
        cls.fields = dict(id=9, title="Hello", artist="Studio 2", comment=1, ctitle="Today",
                          cdesc="Live", commercial=1, **COMMERCIAL, seller="Shop",
                          product="Mug", ufid=1, **UFID)
        cls.pkt = packet(0, 0, **cls.fields)
        cls.cl = packet(1, 0, **cls.fields)
        cls.flush = packet(0, 1)
        cls.tag = cls.pkt[38:-2]

    def check_rows(self, rows):
        """rows: (name, port, datagram, expert names that must show, fields that must show,
        text the Info column must hold)."""
        found = dissect(self, [(50000, port, data) for _, port, data, _, _, _ in rows])
        for d, (name, _, data, experts, fields, info) in zip(found, rows):
            with self.subTest(name):
                names, messages = d.experts()
                self.assertTrue(set(experts) <= names, "%s: %r %r" % (name, names, messages))
                for key, value in fields.items():
                    self.assertEqual(d.get(key), value if isinstance(value, list) else [value],
                                     key)
                self.assertIn(info, d.info)
                # A fault is never the end of the tree: the bytes after it stay visible.
                self.assertTrue(d.fields, name)

    def test_faults_in_each_layer(self):
        p, cl, fl = self.pkt, self.cl, self.flush
        L = len(p) - 12
        title = {"psd.id3.title": "Hello"}
        # One TAL extension word (E = 1 in bits 7-5 of byte 11) and the length grown by it.
        ext_word = (p[:2] + struct.pack(">I", L + 4) + p[6:11] + b"\x20" + b"\xAA\xBB\xCC\xDD"
                    + p[12:-2])
        container_ext = bytearray(p[:-2])
        # An extension header of 8 bytes in the container: options 1, extLength 8, 4 bytes.
        container_ext[29] = 1
        container_ext[38:38] = struct.pack("<I", 8) + b"\x01\x02\x03\x04"
        container_ext[2:6] = struct.pack(">I", L + 8)
        container_ext[22:26] = struct.pack(">I", len(p) - 28 + 8)
        rows = [
            # AFL
            ("wrong sync", VESK_PORT, b"AX" + p[2:], ["vesk.afl.sync.bad"],
             {"vesk.afl.sync": "AX", "psd.id3.title": []}, "Not a VESK packet"),
            ("CRC off", VESK_PORT, edit(p, 8, b"\x10", fix_crc=False)[:-2] + b"\x00\x00",
             ["vesk.afl.crc.unverified"], dict(title, **{"vesk.afl.crc.status": "2"}), "Hello"),
            ("CRC wrong", VESK_PORT, p[:-1] + bytes([p[-1] ^ 0x01]), ["vesk.afl.crc.bad"],
             dict(title, **{"vesk.afl.crc.status": "0"}), "[bad CRC]"),
            ("payload changed", VESK_PORT, edit(p, p.index(b"Hello"), b"Jello", fix_crc=False),
             ["vesk.afl.crc.bad"], {"psd.id3.title": "Jello", "vesk.afl.crc.status": "0"},
             "Jello [bad CRC]"),
            ("AFL version", VESK_PORT, edit(p, 8, b"\x91"), ["vesk.afl.version.bad"], title,
             "[malformed]"),
            ("AFL protocol", VESK_PORT, edit(p, 9, b"j"), ["vesk.afl.protocol.bad"], title,
             "[malformed]"),
            ("TAL version", VESK_PORT, edit(p, 10, b"\x11"), ["vesk.afl.tal.version.bad"], title,
             "[malformed]"),
            ("TAL extension word", VESK_PORT, with_crc(ext_word), [],
             dict(title, **{"vesk.afl.tal.ext_count": "1", "vesk.afl.tal.ext": "aa:bb:cc:dd",
                            "vesk.afl.crc.status": "1"}), "Hello"),
            ("AFL length too long", VESK_PORT, edit(p, 2, struct.pack(">I", L + 1)),
             ["vesk.afl.length.bad"], dict(title, **{"vesk.afl.length": str(L + 1)}),
             "[malformed]"),
            ("AFL length too short", VESK_PORT, edit(p, 2, struct.pack(">I", L - 1)),
             ["vesk.afl.length.bad", "vesk.afl.trailing.expert"],
             {"vesk.afl.length": str(L - 1)}, "[malformed]"),
            ("AFL length zero", VESK_PORT, edit(p, 2, bytes(4)), ["vesk.afl.length.bad"], title,
             "[malformed]"),
            # CL
            ("CL length too long", VESK_PORT, edit(p, 22, struct.pack(">I", len(p) - 28 + 1)),
             ["vesk.cl.length.bad"], title, "[malformed]"),
            ("CL length too short", VESK_PORT, edit(p, 22, struct.pack(">I", len(p) - 28 - 1)),
             ["vesk.cl.trailing.expert", "psd.payload_length.bad"], {}, "[malformed]"),
            ("CL reserved flag bits", VESK_PORT, edit(p, 15, b"\x02"),
             ["vesk.cl.flags.reserved.bad"], title, "[malformed]"),
            ("CL version", VESK_PORT, edit(p, 14, b"\x20"), ["vesk.cl.version.bad"], title,
             "[malformed]"),
            ("message id 7", VESK_PORT, edit(fl, 18, struct.pack(">I", 7)),
             ["vesk.cl.msgid.unknown"], {"vesk.cl.msgid": "7"}, "Unknown message id 7"),
            ("flush with payload", VESK_PORT,
             with_crc(fl[:2] + struct.pack(">I", 19) + fl[6:22] + struct.pack(">I", 3) + b"xyz"),
             ["vesk.cl.flush_payload"], {"vesk.cl.payload": "78:79:7a"}, "Flush message"),
            ("PSD message without container", VESK_PORT, edit(fl, 18, bytes(4)),
             ["vesk.cl.no_container"], {"vesk.cl.msgid": "0"}, "[malformed]"),
            ("CL only, length too long", VESK_PORT,
             cl[:8] + struct.pack(">I", len(cl) - 11) + cl[12:], ["vesk.cl.length.bad"], title,
             "(CL only) [malformed]"),
            # PSD container
            ("container type", VESK_PORT, edit(p, 27, b"\x05"), ["psd.type.bad"],
             dict(title, **{"psd.type": "5"}), "Hello"),
            ("container format", VESK_PORT, edit(p, 28, b"\x02"), ["psd.format.bad"],
             dict(title, **{"psd.format": "2"}), "Hello"),
            ("container payload length too long", VESK_PORT,
             edit(p, 34, struct.pack("<I", len(self.tag) + 1)), ["psd.payload_length.bad"], title,
             "[malformed]"),
            ("container payload length too short", VESK_PORT,
             edit(p, 34, struct.pack("<I", len(self.tag) - 1)),
             ["psd.trailing.expert", "psd.id3.size.bad"], {}, "[malformed]"),
            ("container extension header", VESK_PORT, with_crc(container_ext), [],
             dict(title, **{"psd.options": "1", "psd.ext.length": "8",
                            "psd.ext.data": "01:02:03:04"}), "Hello"),
            ("container extension too short", VESK_PORT, edit(edit(p, 29, b"\x01"), 38, b"\x03"),
             ["psd.ext.bad"],
             {"psd.options": "1"}, "[malformed]"),
            ("container payload not ID3", VESK_PORT, edit(p, 38, b"XYZ"), ["psd.payload.not_id3"],
             {"psd.id3.title": []}, "[malformed]"),
            # ID3 inside the container
            ("tag size too long", VESK_PORT, edit(p, 44, b"\x00\x00\x7f\x7f"),
             ["psd.id3.size.bad"], title, "[malformed]"),
            ("unknown text encoding", VESK_PORT, edit(p, 48 + 10, b"\x07"),
             ["psd.id3.encoding.bad"], title, "[malformed]"),
            ("ID3 version 2.2", VESK_PORT, edit(p, 41, b"\x02"), ["psd.id3.bad"],
             {"psd.id3.title": []}, "[malformed]"),
            ("frame size beyond the tag", VESK_PORT, edit(p, 48 + 4, struct.pack(">I", 4000)),
             ["psd.id3.frame.bad"], {}, "[malformed]"),
            ("tiny datagram", VESK_PORT, b"A", ["vesk.afl.short"], {}, "[malformed]"),
        ]
        self.check_rows(rows)

    def test_tag_cut_in_a_frame(self):
        t = self.tag
        comr = t.index(b"COMR")
        rows = [
            ("cut in the TIT2 text", TAG_PORT, t[:23], ["psd.id3.size.bad"],
             {"psd.id3.title": "He"}, "ID3 tag: He [malformed]"),
            ("cut in the COMR frame", TAG_PORT, t[:comr + 25],
             ["psd.id3.size.bad", "psd.id3.field.bad"],
             {"psd.id3.comr.price": "USD5.95", "psd.id3.title": "Hello"}, "[malformed]"),
            ("cut in a frame header", TAG_PORT, t[:comr + 6], ["psd.id3.frame.bad"],
             {"psd.id3.comm.text": "Live"}, "[malformed]"),
            ("header only", TAG_PORT, t[:10], ["psd.id3.size.bad"], {"psd.id3.version": "3"},
             "[malformed]"),
            ("shorter than a header", TAG_PORT, t[:6], ["psd.id3.bad"], {}, "[malformed]"),
        ]
        self.check_rows(rows)

    def test_text_decoding_of_hand_made_tags(self):
        # Texts the library's writer never makes, as other senders might: ill-formed UTF-8, a
        # little-endian byte-order mark, a missing mark, a lone surrogate; a v2.4 tag with
        # syncsafe frame sizes, a frame of another kind, and padding.
        frames = [(b"TIT2", b"\x03A\xff\xc3B"), (b"TPE1", b"\x01\xff\xfeh\x00i\x00"),
                  (b"TALB", b"\x01\x00h\x00i"), (b"TCON", b"\x02\xd8\x00\x00A"),
                  (b"PRIV", b"x\x00\x01\x02"), (b"UFID", b"owner\x00")]
        v23 = id3(3, frames, padding=6)
        v24 = id3(4, [(b"TIT2", b"\x03" + "\u00e9".encode() * 100)])
        found = dissect(self, [(50000, TAG_PORT, v23), (OTHER_PORTS[0], OTHER_PORTS[1], v24)])
        d = found[0]
        self.assertEqual(d.get("psd.id3.title"), ["A\ufffd\ufffdB"])
        self.assertEqual(d.get("psd.id3.artist"), ["hi"])
        self.assertEqual(d.get("psd.id3.album"), ["hi"])
        self.assertEqual(d.get("psd.id3.genre"), ["\ufffdA"])
        self.assertEqual(d.get("psd.id3.frame.data"), ["78:00:01:02"])
        self.assertEqual(d.get("psd.id3.ufid.owner"), ["owner"])
        self.assertEqual(d.get("psd.id3.ufid.identifier"), [])
        self.assertEqual(d.get("psd.id3.padding"), ["00:00:00:00:00:00"])
        self.assertIn("psd.id3.bom.missing", d.experts()[0])
        self.assertEqual(d.errors(), [])
        d = found[1]
        self.assertEqual(d.get("psd.id3.version"), ["4"])
        self.assertEqual(d.get("psd.id3.frame.size"), ["201"])
        self.assertEqual(d.get("psd.id3.title"), ["\u00e9" * 100])
        self.assertEqual(d.errors(), [])

    def test_every_cut_of_a_packet_and_a_tag(self):
        # Truncated anywhere, each layer kind: an error on the layer concerned, never a Lua error.
        datagrams = [(50000, VESK_PORT, self.pkt[:n]) for n in range(1, len(self.pkt))]
        datagrams += [(50000, VESK_PORT, self.cl[:n]) for n in range(1, len(self.cl))]
        datagrams += [(50000, TAG_PORT, self.tag[:n]) for n in range(1, len(self.tag))]
        for d, (_, _, data) in zip(dissect(self, datagrams), datagrams):
            with self.subTest(cut=len(data)):
                self.assertTrue(d.errors(), d.info)
                self.assertIn("[malformed]", d.info)

    def test_random_damage(self):
        # Seeded: bytes flipped, inserted and removed. Only the absence of faults is checked
        # (dissect does that); a damaged packet may still be a valid one.
        rnd = random.Random(15)
        datagrams = []
        for source, port in ((self.pkt, VESK_PORT), (self.cl, VESK_PORT), (self.tag, TAG_PORT)):
            for _ in range(150):
                b = bytearray(source)
                for _ in range(rnd.randint(1, 4)):
                    at = rnd.randrange(len(b))
                    what = rnd.random()
                    if what < 0.6:
                        b[at] = rnd.randrange(256)
                    elif what < 0.8:
                        b.insert(at, rnd.randrange(256))
                    elif len(b) > 1:
                        del b[at]
                datagrams.append((50000, port, bytes(b)))
        self.assertEqual(len(dissect(self, datagrams)), len(datagrams))


# ---- Tools --------------------------------------------------------------------------------

def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def udp_bound(port):
    with open("/proc/net/udp") as table:
        next(table)
        return any(int(line.split()[1].split(":")[1], 16) == port for line in table)


class Tools(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        need_tshark()
        if not (TX and RX):
            raise unittest.SkipTest("marlotx and marlorx are not part of the build")

    def listen(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", 0))
        s.settimeout(20)
        self.addCleanup(s.close)
        return s

    def test_marlotx_datagram(self):
        s = self.listen()
        port = s.getsockname()[1]
        res = run([TX, "-k", "127.0.0.1:%d" % port, "-n", "1", "-o", "F", "-i", "77",
                   "-t", "Evening News", "-a", "Studio 3"], timeout=30)
        self.assertEqual(res.returncode, 0, res.stdout)
        data, _ = s.recvfrom(65536)
        # On the exciter port, and on the port it really went to (heuristic).
        for d in dissect(self, [(50000, VESK_PORT, data), (50000, port, data)]):
            self.assertEqual(d.protocol, "PSD")
            self.assertIn("Evening News", d.info)
            self.assertIn("Content ID 77", d.info)
            self.assertEqual(d.one("psd.id3.artist"), "Studio 3")
            self.assertEqual(d.one("vesk.afl.crc.status"), "1")
            self.assertEqual(d.errors(), [])

    def test_marlorx_forwarded_tag(self):
        s = self.listen()
        fwd = s.getsockname()[1]
        listen_port = free_udp_port()
        rx = subprocess.Popen([RX, "-p", str(listen_port), "-n", "1",
                               "-k", "127.0.0.1:%d" % fwd],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        try:
            deadline = time.monotonic() + 20
            while not udp_bound(listen_port):
                self.assertIsNone(rx.poll(), "marlorx ended before it listened")
                self.assertLess(time.monotonic(), deadline, "marlorx did not bind its port")
                time.sleep(0.01)
            res = run([TX, "-k", "127.0.0.1:%d" % listen_port, "-n", "1", "-o", "F",
                       "-t", "Forwarded News", "-y", "T", "-c", "Note", "-e", "Text"],
                      timeout=30)
            self.assertEqual(res.returncode, 0, res.stdout)
            data, _ = s.recvfrom(65536)
            out, _ = rx.communicate(timeout=20)
            self.assertEqual(rx.returncode, 0, out)
        finally:
            if rx.poll() is None:
                rx.kill()
                rx.wait(timeout=10)
        self.assertEqual(data[:3], b"ID3")
        for d in dissect(self, [(50000, TAG_PORT, data), (50000, fwd, data)]):
            self.assertEqual(d.protocol, "PSD")
            self.assertEqual(d.info, "ID3 tag: Forwarded News")
            self.assertEqual(d.one("psd.id3.title"), "Forwarded News")
            self.assertEqual(d.one("psd.id3.comm.text"), "Text")
            # Encoded again by the receiver: ISO-8859-1 texts stay ISO-8859-1.
            self.assertEqual(set(d.get("psd.id3.encoding")), {"0"})
            self.assertEqual(d.errors(), [])


if __name__ == "__main__":
    groups = {"ProtocolDoc": ProtocolDoc, "Library": Library, "Malformed": Malformed,
              "Tools": Tools}
    if len(sys.argv) != 2 or sys.argv[1] not in groups:
        sys.exit("usage: wire_test.py " + "|".join(groups))
    if not SAMPLES:
        sys.exit("WIRE_SAMPLES is not set")
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(groups[sys.argv[1]])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)
