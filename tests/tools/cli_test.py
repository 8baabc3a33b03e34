#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Drives the built marlotx and marlorx: command lines, exit statuses, and messages travelling
from one to the other over UDP on 127.0.0.1.

Every child process runs under a time limit and is reaped; every socket wait has a time-out.

Environment:
  MARLOTX, MARLORX      the programs
  ZEL_TOOLS_TEST_DATA   the folder with the expected help texts
  ZEL_TOOLS_WRAPPER     optional command put in front of each program (valgrind ...)
  ZEL_TOOLS_SLOWDOWN    optional factor for time limits and send intervals (default 1)

  ZEL_LONG_RUN_COUNT    messages of the LongRun group (default 50)

Run one group of tests: cli_test.py TxCommandLine (or RxCommandLine, EndToEnd, LongRun).
"""

import os
import re
import shlex
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from vesk_crc import crc16  # noqa: E402

TX = os.environ.get("MARLOTX", "")
RX = os.environ.get("MARLORX", "")
DATA = os.environ.get("ZEL_TOOLS_TEST_DATA", os.path.join(os.path.dirname(__file__), "data"))
WRAPPER = shlex.split(os.environ.get("ZEL_TOOLS_WRAPPER", ""))
SLOWDOWN = float(os.environ.get("ZEL_TOOLS_SLOWDOWN", "1"))

# Sanitizer and valgrind reports must not hide behind an expected exit status of 1.
ENV = {k: v for k, v in os.environ.items() if k != "POSIXLY_CORRECT"}
ENV["ASAN_OPTIONS"] = "exitcode=86:detect_leaks=1"
ENV["UBSAN_OPTIONS"] = "exitcode=87:print_stacktrace=1"
FAULT_MARKERS = (b"Sanitizer", b"runtime error:", b"== Invalid", b"definitely lost in",
                 b"indirectly lost in")

VERSION_TEXT = (b"\nzel_marlo Version --> zel_marlo v4.1 Jul 17 2008\n"
                b"zel_vesk Version --> 1.5 Jul 17 2008-11:26:24\n"
                b"zel_id3 Version --> zel_id3 v2.3_r4 Apr  9 2008\n")
TX_BANNER = b"marlotx v4.0w Jul 17 2008 \n(" + VERSION_TEXT + b")\n"
RX_BANNER = b"orvorx v2.0w Jul 17 2008 \n(" + VERSION_TEXT + b")\n"

# The flush message exactly as the library sends it (two-layer packet, message id 1).
FLUSH_PACKET = bytes.fromhex("41460000001000019069100001021000000100000001000000003E59")

GREETING = b"Hello World, what up"  # the default UFID identifier


def limit(seconds):
    return seconds * SLOWDOWN


def read(path):
    with open(path, "rb") as f:
        return f.read()



def packet_with_msg_id(msg_id):
    """The flush packet with another CL message id and its CRC made anew."""
    body = bytearray(FLUSH_PACKET[:26])
    body[18:22] = struct.pack(">I", msg_id)
    return bytes(body) + struct.pack(">H", crc16(body))


def psd_packet(tag):
    """A two-layer packet carrying tag in a PSD container, made here rather than by marlotx, so
    that it may carry what marlotx would refuse."""
    container = bytes([0, 0, 1, 0, 1, 0, 0, 0]) + struct.pack("<I", len(tag)) + tag
    cl = bytes.fromhex("10000001") + struct.pack(">II", 0, len(container)) + container
    afl = b"AF" + struct.pack(">I", len(cl) + 4) + bytes.fromhex("000190691000") + b"\x01\x02"
    body = afl + cl
    return body + struct.pack(">H", crc16(body))


def id3_tag(*frames):
    """An ID3v2.3 tag of (frame id, frame data) pairs."""
    body = b"".join(fid + struct.pack(">I", len(data)) + b"\x00\x00" + data
                    for fid, data in frames)
    n = len(body)
    return b"ID3\x03\x00\x00" + bytes([n >> 21 & 0x7F, n >> 14 & 0x7F, n >> 7 & 0x7F,
                                         n & 0x7F]) + body


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def udp_sockets_on(port):
    """Inodes of the IPv4 UDP sockets bound to port on this machine."""
    inodes = set()
    with open("/proc/net/udp") as table:
        next(table)
        for line in table:
            fields = line.split()
            if int(fields[1].split(":")[1], 16) == port:
                inodes.add(fields[9])
    return inodes


def wait_for_bind(port, seen, proc, seconds=10):
    """Waits until a socket that is not in seen is bound to port, and adds it to seen.

    marlorx binds its port only while one receive waits, with a new socket each time: a datagram
    sent before the new socket exists is lost."""
    deadline = time.monotonic() + limit(seconds)
    while time.monotonic() < deadline:
        fresh = udp_sockets_on(port) - seen
        if fresh:
            seen.update(fresh)
            return
        if proc.poll() is not None:
            raise AssertionError("receiver ended before it listened: %r" % proc.output())
        time.sleep(0.005)
    raise AssertionError("nothing bound UDP port %d" % port)


def path_of_length(folder, length):
    """A path of exactly length characters: folders of 199 characters under folder, then the
    file name. The folders are made; the file is not."""
    path = folder
    while length > len(path) + 201:
        path = os.path.join(path, "d" * 199)
        os.mkdir(path)
    return os.path.join(path, "f" * (length - len(path) - 1))


def files_under(folder):
    return sorted(os.path.join(top, name) for top, _, names in os.walk(folder) for name in names)


def send_datagram(port, data):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.sendto(data, ("127.0.0.1", port))


class Listener:
    """A UDP socket on 127.0.0.1 that a test receives datagrams on."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]

    def receive(self, seconds=10):
        self.sock.settimeout(limit(seconds))
        return self.sock.recvfrom(65536)[0]

    def nothing_waiting(self):
        self.sock.settimeout(0.2)
        try:
            self.sock.recvfrom(65536)
        except socket.timeout:
            return True
        return False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.sock.close()


class Result:
    def __init__(self, status, out, err):
        self.status, self.out, self.err = status, out, err


def run(program, *args, seconds=20, cwd=None):
    """Runs a program to its end (killed after the time limit) and returns what it did."""
    done = subprocess.run(WRAPPER + [program, *args], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=limit(seconds), env=ENV, cwd=cwd)
    return Result(done.returncode, done.stdout, done.stderr)


class Background:
    """A program running beside the test, its output going to a file; always reaped."""

    def __init__(self, program, *args):
        self.log = tempfile.TemporaryFile()
        self.errlog = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(WRAPPER + [program, *args], stdin=subprocess.DEVNULL,
                                     stdout=self.log, stderr=self.errlog, env=ENV)

    def poll(self):
        return self.proc.poll()

    def output(self):
        self.log.seek(0)
        return self.log.read()

    def finish(self, seconds=20):
        """Waits for the program's own end and returns what it did."""
        try:
            status = self.proc.wait(timeout=limit(seconds))
        except subprocess.TimeoutExpired:
            self.stop()
            raise AssertionError("did not end in time; printed %r" % self.output())
        self.errlog.seek(0)
        return Result(status, self.output(), self.errlog.read())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=30)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        self.log.close()
        self.errlog.close()


class ToolTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def assertClean(self, result):
        for marker in FAULT_MARKERS:
            self.assertNotIn(marker, result.err, result.err.decode(errors="replace"))

    def assertEnds(self, result, status, out=None):
        self.assertClean(result)
        self.assertEqual(result.status, status, result.out.decode(errors="replace"))
        if out is not None:
            self.assertEqual(result.out, out)


def listing(title, core=True, comment=False, commercial=False, ufid=False):
    """The field listing marlotx prints for its default values."""
    yes = lambda flag: b"YES" if flag else b"NO"
    return (b"Retrieving PSD content from message:\n"
            b"    is Core PSD enabled      --> " + yes(core) + b"\n"
            b"    Title                    --> '" + title + b"'\n"
            b"    Artist                   --> 'artist/host/sponsor'\n"
            b"    Album                    --> 'album/show name/sponsor name'\n"
            b"    Genre                    --> 'Jazz'\n"
            b"    is Comment PSD enabled   --> " + yes(comment) + b"\n"
            b"    Comment Title            --> 'one-line comment title'\n"
            b"    Comment Desc             --> 'comment description text'\n"
            b"    is Commercial PSD enabled--> " + yes(commercial) + b"\n"
            b"    Commercial Price         --> 'USD10.0'\n"
            b"    Commercial Valid Until   --> '20041231'\n"
            b"    Commercial URL           --> 'http://www.example.com'\n"
            b"    Commercial Receive As    --> '0'\n"
            b"    Commercial SellerName    --> 'seller's name'\n"
            b"    Commercial Product Desc  --> 'product description text'\n"
            b"    is UFID PSD enable       --> " + yes(ufid) + b"\n"
            b"    UFID Owner ID            --> 'UFID Owner ID !!!!'\n"
            b"    UFID Identifier Len      --> '20'\n"
            b"    UFID Identifer (Bin Data)--> 'Hello World, what up'\n"
            b"\n")


def printed_fields(title):
    """The lines of a printed message with all four groups of marlotx's defaults."""
    ident = b"".join(b"%x::" % byte for byte in GREETING)
    return (b"title: -->" + title + b"\n"
            b"artist: -->artist/host/sponsor\n"
            b"album: -->album/show name/sponsor name\n"
            b"genre: -->Jazz\n"
            b"comment title: -->one-line comment title\n"
            b"commercial price: -->USD10.0\n"
            b"commercial valid until: -->20041231\n"
            b"commercial contact url: -->http://www.example.com\n"
            b"commercial recv as: -->0\n"
            b"commercial seller name: -->seller's name\n"
            b"commercial product desc: -->product description text\n"
            b"ufid: owner id -->UFID Owner ID !!!!\n"
            b"ufid: identifier (least sig -- Most sig) -->" + ident + b"\n")


ALL_GROUPS = ["-y", "T", "-z", "T", "-b", "T"]


class TxCommandLine(ToolTest):
    """marlotx on its own: help, banner, option errors, and cycles sent to a test socket."""

    def test_help_text_byte_for_byte(self):
        expected = read(os.path.join(DATA, "marlotx_help.txt"))
        for arg in ("-h", "-?", "--help"):
            self.assertEnds(run(TX, arg), 0, expected)

    def test_version_prints_the_banner(self):
        self.assertEnds(run(TX, "-v"), 0, TX_BANNER)
        self.assertEnds(run(TX, "--version", "-n", "-4"), 0, TX_BANNER)

    def test_option_errors(self):
        name = TX.encode()
        cases = [
            (["-m", "-1"], b"Error -- invalid time -1 (< 0 sec)\n"),
            (["-n", "-1"], b"Error -- invalid count -1 (< 0)\n"),
            (["-w", "x"], b"Error -- invalid enableCore option 'x' (T/F)\n"),
            (["-y", "maybe"], b"Error -- invalid enableComment option 'maybe' (T/F)\n"),
            (["-z", "1"], b"Error -- invalid enableCommercial option '1' (T/F)\n"),
            (["--enableUfid", "y"], b"Error -- invalid enableUfid option 'y' (T/F)\n"),
            (["-o", "no"], b"Error -- invalid auto psd message counter option 'no' (T/F)\n"),
            (["-B", "0X123"], b"string length must be 2 X number of bytes \n"),
            (["-B", "0XZZ"], b"sscanf returned error Z :: Z \n"),
            (["-j", self.path("missing.id3")],
             b"Error -- load file not found: '" + self.path("missing.id3").encode() + b"' \n"),
            (["-h", "-n", "1"],
             b"Error -- invalid option. For help, type \"" + name + b" --help\" or -? \n"),
            (["-Q"], b"Error -- invalid option. For help, type \"" + name + b" --help\" or -? \n"),
            (["-n", "1", "word"], b"Error -- invalid option elements optind-->3 argc-->4 \n"),
            (["stray"], b"Error -- invalid option elements optind-->1 argc-->2 \n"),
            # A count beyond 32 bits does not wrap to 1.
            (["-n", "-4294967295"], b"Error -- invalid count -4294967295 (< 0)\n"),
            (["-k", "h" * 300],
             b"Error -- host name longer than 253 characters in --> '" + b"h" * 300 + b"' \n"),
            (["-f", "/" + "p" * 4095], b"Error -- save file name longer than 4095 characters: '/"
             + b"p" * 4095 + b"' \n"),
            (["-j", "/" + "p" * 4095], b"Error -- load file name longer than 4095 characters: '/"
             + b"p" * 4095 + b"' \n"),
        ]
        for args, message in cases:
            with self.subTest(args=args[:1]):
                self.assertEnds(run(TX, *args), 9, message)

    def test_numbers_beyond_32_bits_do_not_wrap_into_range(self):
        # 2^32 + 11000 is not port 11000: the port message, and the default port, as for 70000.
        result = run(TX, "-n", "0", "-k", "127.0.0.1:4294978296")
        self.assertEnds(result, 0, b"Error -- invalid port number in --> '127.0.0.1:4294978296'"
                        b" using default \n" + TX_BANNER + b"done.\n")
        # 2^32 + 5 is not content id 5.
        with Listener() as rx:
            result = run(TX, "-n", "1", "-i", "4294967301", "-k", "127.0.0.1:%d" % rx.port)
            self.assertEnds(result, 0)
            self.assertTrue(result.out.startswith(
                b"Error -- invalid content ID in --> '4294967301' using def = 0 \n" + TX_BANNER))
            self.assertEqual(struct.unpack("<H", rx.receive()[32:34])[0], 0)

    def test_paths_are_used_whole(self):
        # Each path is written, and read back, under exactly its own name.
        with Listener() as rx:
            for length in (127, 128, 130, 1000):
                with self.subTest(length=length):
                    folder = self.path("tree%d" % length)
                    os.mkdir(folder)
                    path = path_of_length(folder, length)
                    self.assertEqual(len(path), length)
                    target = "127.0.0.1:%d" % rx.port
                    saved = run(TX, "-n", "1", "-o", "F", "-f", path, "-k", target)
                    self.assertEnds(saved, 0)
                    self.assertIn(b"PSD message saved to ID3 formatted file '" + path.encode() +
                                  b"'\n", saved.out)
                    self.assertEqual(files_under(folder), [path])
                    self.assertEqual(read(path)[:3], b"ID3")
                    loaded = run(TX, "-n", "1", "-j", path, "-k", target)
                    self.assertEnds(loaded, 0)
                    self.assertIn(b"PSD message loaded from ID3 formatted file '" +
                                  path.encode() + b"'\nRetrieving PSD content from message:\n"
                                  b"    is Core PSD enabled      --> YES\n"
                                  b"    Title                    --> 'title/topic/announcement'\n",
                                  loaded.out)
                    self.assertEqual(rx.receive()[:2], b"AF")
                    self.assertEqual(rx.receive()[:2], b"AF")

    def test_count_0_sends_nothing(self):
        with Listener() as rx:
            result = run(TX, "-n", "0", "-k", "127.0.0.1:%d" % rx.port)
            self.assertEnds(result, 0, TX_BANNER + b"done.\n")
            self.assertTrue(rx.nothing_waiting())

    def test_one_cycle_lists_prints_and_sends(self):
        with Listener() as rx:
            result = run(TX, "-n", "1", "-i", "-1", "-k", "127.0.0.1:%d" % rx.port)
            self.assertEnds(result, 0)
            out = result.out
            self.assertTrue(out.startswith(TX_BANNER + listing(b"[0001] title/topic/announcement")))
            self.assertIn(b"Sending PSD message to '127.0.0.1':\nPSD message of length ", out)
            self.assertIn(b"title: -->[0001] title/topic/announcement\n"
                          b"artist: -->artist/host/sponsor\n"
                          b"album: -->album/show name/sponsor name\n"
                          b"genre: -->Jazz\n\n", out)
            self.assertNotIn(b"comment title: -->", out)  # only the core group is enabled
            self.assertTrue(out.endswith(b"\n\ndone.\n"))
            packet = rx.receive()
        # Two-layer packet: CL message id 0, then the container with content id -1 as 16 bits.
        self.assertEqual(packet[:2], b"AF")
        self.assertEqual(struct.unpack(">I", packet[18:22])[0], 0)
        self.assertEqual(packet[26:30], b"\x00\x00\x01\x00")
        self.assertEqual(struct.unpack("<H", packet[32:34])[0], 65535)
        self.assertEqual(packet[38:41], b"ID3")
        self.assertEqual(crc16(packet[:-2]), struct.unpack(">H", packet[-2:])[0])

    def test_content_id_above_65535_is_sent_as_0(self):
        with Listener() as rx:
            result = run(TX, "-n", "1", "-i", "70000", "-k", "127.0.0.1:%d" % rx.port)
            self.assertEnds(result, 0)
            self.assertTrue(result.out.startswith(
                b"Error -- invalid content ID in --> '70000' using def = 0 \n" + TX_BANNER))
            self.assertEqual(struct.unpack("<H", rx.receive()[32:34])[0], 0)

    def test_address_forms(self):
        with Listener() as rx:
            result = run(TX, "-n", "1", "--addr", "127.0.0.1:%d" % rx.port)
            self.assertEnds(result, 0)
            self.assertIn(b"Sending PSD message to '127.0.0.1':\n", result.out)
            self.assertEqual(rx.receive()[:2], b"AF")
        # A bad port after the colon is reported before the banner; the run goes on.
        for arg in ("127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:"):
            with self.subTest(arg=arg):
                self.assertEnds(run(TX, "-n", "0", "-k", arg), 0,
                                b"Error -- invalid port number in --> '" + arg.encode() +
                                b"' using default \n" + TX_BANNER + b"done.\n")

    def test_address_without_a_good_port_uses_the_exciter_port(self):
        # Only while this test holds port 11000 itself, so that nothing else gets the packets.
        exciter = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            exciter.bind(("127.0.0.1", 11000))
        except OSError:
            exciter.close()
            self.skipTest("port 11000 is in use")
        with exciter:
            exciter.settimeout(limit(10))
            for arg in ("127.0.0.1", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:70000"):
                with self.subTest(arg=arg):
                    result = run(TX, "-n", "1", "-k", arg)
                    self.assertEnds(result, 0)
                    self.assertIn(b"Sending PSD message to '127.0.0.1':\n", result.out)
                    self.assertEqual(exciter.recvfrom(65536)[0][:2], b"AF")

    def test_hex_identifier_reaches_the_message(self):
        with Listener() as rx:
            target = "127.0.0.1:%d" % rx.port
            result = run(TX, "-n", "1", "-b", "T", "-B", "0X4142", "-k", target)
            self.assertEnds(result, 0)
            self.assertIn(b"    UFID Identifier Len      --> '2'\n"
                          b"    UFID Identifer (Bin Data)--> 'BA'\n", result.out)
            self.assertIn(b"ufid: identifier (least sig -- Most sig) -->42::41::\n", result.out)
            result = run(TX, "-n", "1", "-b", "T", "-B", "0x0A0b", "-k", target)
            self.assertIn(b"ufid: identifier (least sig -- Most sig) -->b::a::\n", result.out)
            # No identifier bytes: the UFID frame is left out.
            result = run(TX, "-n", "1", "-b", "T", "-B", "0X", "-k", target)
            self.assertEnds(result, 0)
            self.assertIn(b"    UFID Identifier Len      --> '0'\n", result.out)
            self.assertNotIn(b"ufid: identifier", result.out)

    def test_title_too_big_once_numbered(self):
        title = "t" * 121
        with Listener() as rx:
            target = "127.0.0.1:%d" % rx.port
            result = run(TX, "-n", "1", "-t", title, "-k", target)
            self.assertEnds(result, 8, TX_BANNER +
                            b"Error :: title too big\n size -- 128 :: maxAllowed-> 127\n")
            self.assertTrue(rx.nothing_waiting())
            result = run(TX, "-n", "1", "-o", "F", "-t", title, "-k", target)
            self.assertEnds(result, 0)
            self.assertIn(b"    Title                    --> '" + title.encode() + b"'\n",
                          result.out)
            self.assertEqual(rx.receive()[:2], b"AF")
            # Titles much longer than the composing buffer end the same way.
            result = run(TX, "-n", "1", "-t", "x" * 1024, "-k", target)
            self.assertEnds(result, 8, TX_BANNER +
                            b"Error :: title too big\n size -- 1023 :: maxAllowed-> 127\n")
            # Without numbering nothing is composed: the 1024 stored characters are measured.
            for length, warning in ((1024, b""),
                                    (1500, b"Warning -- truncating title to 1024 bytes\n")):
                result = run(TX, "-n", "1", "-o", "F", "-t", "x" * length, "-k", target)
                self.assertEnds(result, 8, warning + TX_BANNER +
                                b"Error :: title too big\n size -- 1024 :: maxAllowed-> 127\n")
            self.assertTrue(rx.nothing_waiting())

    def test_artist_and_album_too_big(self):
        for option, what in (("-a", b"artist"), ("-l", b"album")):
            with self.subTest(option=option):
                result = run(TX, "-n", "1", option, "a" * 128, "-k", "127.0.0.1:9")
                self.assertEnds(result, 8, TX_BANNER + b"Error :: " + what +
                                b" too big\n size -- 128 :: maxAllowed-> 127\n")

    def test_ufid_too_big_before_the_banner(self):
        result = run(TX, "-b", "T", "-I", "o" * 180, "-n", "1", "-k", "127.0.0.1:9")
        self.assertEnds(result, 8, b"Error :: UFID Owner ID and identifier ARE TOO BIG\n"
                        b"idSize-> 180 : identifierSize-> 20 : maxAllowed-> 192\n")
        # With the group off the sizes are not looked at here.
        with Listener() as rx:
            result = run(TX, "-I", "o" * 180, "-n", "1", "-k", "127.0.0.1:%d" % rx.port)
            self.assertEnds(result, 0)

    def test_month_13_fails_validation_although_commercial_is_off(self):
        with Listener() as rx:
            result = run(TX, "-n", "1", "-x", "20041301", "-k", "127.0.0.1:%d" % rx.port)
            self.assertEnds(result, 9)
            self.assertTrue(result.out.endswith(
                b"    UFID Identifer (Bin Data)--> 'Hello World, what up'\n\n"
                b"orvo[1110]: E_FORMAT invalid commercial validUntil month 20041301\n"
                b"marlotx[1206]: zel_marlo_validatePsdMsg failed\n"))
            self.assertTrue(rx.nothing_waiting())

    def test_identifier_of_65_bytes_fails_with_status_8(self):
        result = run(TX, "-n", "1", "-S", "s" * 65, "-k", "127.0.0.1:9")
        self.assertEnds(result, 8, TX_BANNER + b"marlotx[1120]: zel_marlo_setPsdUfid failed\n")

    def test_save_file_that_cannot_be_written(self):
        bad = self.path("no/such/dir/out.id3")
        result = run(TX, "-n", "1", "-f", bad, "-k", "127.0.0.1:9")
        self.assertEnds(result, 8)  # E_FILE
        self.assertTrue(result.out.endswith(
            b"orvo[1582]: E_FILE file open failed for '" + bad.encode() + b"'\n"
            b"marlotx[1218]: zel_marlo_saveId3PsdFile failed\n"))

    def test_load_file_that_is_no_tag(self):
        junk = self.path("junk.id3")
        with open(junk, "wb") as f:
            f.write(b"not a tag at all")
        result = run(TX, "-n", "1", "-j", junk, "-k", "127.0.0.1:9")
        self.assertEnds(result, 9)  # E_FORMAT
        self.assertTrue(result.out.endswith(b"marlotx[1002]: zel_marlo_loadId3PsdFile failed\n"))

    def test_cycles_are_numbered_and_spaced(self):
        with Listener() as rx:
            start = time.monotonic()
            result = run(TX, "-n", "3", "-m", "0.2", "-k", "127.0.0.1:%d" % rx.port)
            elapsed = time.monotonic() - start
            self.assertEnds(result, 0)
            for n in (1, 2, 3):
                self.assertIn(b"    Title                    --> '[%04d] title/topic/announcement'"
                              % n, result.out)
            self.assertEqual(result.out.count(b"Sending PSD message to"), 3)
            self.assertGreaterEqual(elapsed, 0.4)  # two waits of 200 ms
            for _ in range(3):
                self.assertEqual(rx.receive()[:2], b"AF")


class RxCommandLine(ToolTest):
    """marlorx on its own: help, banner, option errors."""

    def test_usage_text_byte_for_byte(self):
        expected = read(os.path.join(DATA, "marlorx_help.txt"))
        for arg in ("-h", "-?", "--help"):
            self.assertEnds(run(RX, arg), 0, expected)

    def test_version_prints_the_banner(self):
        self.assertEnds(run(RX, "-v"), 0, RX_BANNER)

    def test_option_errors(self):
        name = RX.encode()
        cases = [
            (["-n", "-1"], b"Error -- invalid count -1 (< 0)\n"),
            (["-w", "x"], b"Error -- invalid enableCore option 'x' (T/F)\n"),
            (["-y", "x"], b"Error -- invalid enableComment option 'x' (T/F)\n"),
            (["-z", "x"], b"Error -- invalid enableCommercial option 'x' (T/F)\n"),
            (["-b", "x"], b"Error -- invalid enableUfid option 'x' (T/F)\n"),
            (["-m", "5"], b"Error -- invalid option (use --help or -? for help)\n"),
            (["-h", "-n", "1"],
             b"Error -- invalid option. For help, type \"" + name + b" --help\" or -? \n"),
            (["--bogus"],
             b"Error -- invalid option. For help, type \"" + name + b" --help\" or -? \n"),
            (["-n", "1", "left", "over"], b"Error -- invalid option elementsleft over \n"),
            (["-n", "-4294967295"], b"Error -- invalid count -4294967295 (< 0)\n"),
            (["-k", "r" * 300 + ":9000"], b"Error -- host name longer than 253 characters in --> '"
             + b"r" * 300 + b":9000' \n"),
            (["-f", "s" * 4096], b"Error -- save file name longer than 4095 characters: '" +
             b"s" * 4096 + b"' \n"),
        ]
        for args, message in cases:
            with self.subTest(args=args[:1]):
                self.assertEnds(run(RX, *args), 1, message)

    def test_ports_beyond_32_bits_do_not_wrap_into_range(self):
        # 2^32 + 11000 and 2^32 + 10001: the invalid-port lines, not ports 11000 and 10001.
        result = run(RX, "-n", "0", "-p", "4294978296", "-k", "relay:4294977297")
        self.assertEnds(result, 0)
        self.assertTrue(result.out.startswith(
            b"Error -- invalid port number in --> '4294978296' using default \n"
            b"Error -- invalid raw port number in --> 'relay:4294977297' using default \n" +
            RX_BANNER))

    def test_count_0_ends_after_the_start_up_lines(self):
        result = run(RX, "-n", "0", "-p", "0", "-w", "true", "-y", "False")
        self.assertEnds(result, 0)
        # The listening line ends in ctime's text with its own line break, then an empty line.
        self.assertRegex(result.out, re.compile(
            re.escape(b"Error -- invalid port number in --> '0' using default \n" + RX_BANNER) +
            rb"VESK PSD receiver is now listening for messages on "
            rb"[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}\n\ndone\.\n\Z"))

    def test_port_taken_by_another_socket_is_a_receive_failure(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as other:
            other.bind(("127.0.0.1", 0))  # without address reuse: the port cannot be shared
            result = run(RX, "-n", "1", "-p", str(other.getsockname()[1]))
        self.assertEnds(result, 1)
        self.assertIn(b"orvo[1917]: XFER_RX error in the psdxfer_openRx \n", result.out)
        self.assertTrue(result.out.endswith(b"orvorx[480]: zel_marlo_recvPsdMsg failed\n"))


class EndToEnd(ToolTest):
    """marlotx sending to marlorx, and marlorx taking odd packets, on 127.0.0.1."""

    def start_receiver(self, *args):
        port = free_udp_port()
        receiver = Background(RX, "-p", str(port), *args)
        self.addCleanup(receiver.__exit__)
        seen = set()
        wait_for_bind(port, seen, receiver)
        return receiver, port, seen

    def test_three_messages_with_every_group(self):
        receiver, port, _ = self.start_receiver("-n", "3")
        sent = run(TX, "-n", "3", "-m", "%g" % (0.1 * SLOWDOWN), *ALL_GROUPS,
                   "-k", "127.0.0.1:%d" % port)
        self.assertEnds(sent, 0)
        self.assertTrue(sent.out.endswith(b"done.\n"))
        got = receiver.finish()
        self.assertEnds(got, 0)
        out = got.out
        self.assertTrue(out.startswith(RX_BANNER + b"VESK PSD receiver is now listening"))
        self.assertTrue(out.endswith(b"\n\ndone.\n"))
        self.assertEqual(out.count(b"PSD message of length "), 3)
        for n in (1, 2, 3):
            title = b"[%04d] title/topic/announcement" % n
            self.assertIn(b"\n" + printed_fields(title) + b"\n", out)
            self.assertIn(listing(title, True, True, True, True), sent.out)
        # Each message printed the same way on both sides.
        self.assertIn(printed_fields(b"[0002] title/topic/announcement"), sent.out)

    def test_saved_tag_equals_the_sent_one_and_is_forwarded(self):
        with Listener() as relay:
            receiver, port, _ = self.start_receiver(
                "-n", "1", "-f", self.path("rx.id3"), "-k", "127.0.0.1:%d" % relay.port)
            sent = run(TX, "-n", "1", *ALL_GROUPS, "-f", self.path("tx.id3"),
                       "-k", "127.0.0.1:%d" % port)
            self.assertEnds(sent, 0)
            self.assertIn(b"PSD message saved to ID3 formatted file '" +
                          self.path("tx.id3").encode() + b"'\nSending PSD message", sent.out)
            got = receiver.finish()
            self.assertEnds(got, 0)
            self.assertIn(b"\nPSD message saved to ID3 formatted file '" +
                          self.path("rx.id3").encode() + b"'\nPSD message of length ", got.out)
            forwarded = relay.receive()
        tag = read(self.path("tx.id3"))
        self.assertEqual(tag[:5], b"ID3\x03\x00")
        self.assertEqual(read(self.path("rx.id3")), tag)
        self.assertEqual(forwarded, tag)  # the bare tag: no container, no packet
        self.assertIn(b"PSD message of length %d bytes printed on " % len(tag), got.out)

    def test_receiver_saves_under_a_long_path_whole(self):
        folder = self.path("tree")
        os.mkdir(folder)
        path = path_of_length(folder, 1000)
        receiver, port, _ = self.start_receiver("-n", "1", "-f", path)
        self.assertEnds(run(TX, "-n", "1", "-k", "127.0.0.1:%d" % port), 0)
        got = receiver.finish()
        self.assertEnds(got, 0)
        self.assertIn(b"\nPSD message saved to ID3 formatted file '" + path.encode() + b"'\n",
                      got.out)
        self.assertEqual(files_under(folder), [path])
        self.assertEqual(read(path)[:3], b"ID3")

    def test_a_saved_file_is_sent_again(self):
        # Save a message with comment and UFID, then send it from the file with other options.
        with Listener() as sink:
            saved = run(TX, "-n", "1", "-y", "T", "-b", "T", "-t", "From a file",
                        "-o", "F", "-f", self.path("saved.id3"), "-k", "127.0.0.1:%d" % sink.port)
            self.assertEnds(saved, 0)
        receiver, port, _ = self.start_receiver("-n", "1")
        sent = run(TX, "-n", "1", "-y", "T", "-b", "T", "-t", "ignored",
                   "-j", self.path("saved.id3"), "-k", "127.0.0.1:%d" % port)
        self.assertEnds(sent, 0)
        self.assertIn(b"PSD message loaded from ID3 formatted file '" +
                      self.path("saved.id3").encode() + b"'\n"
                      b"Retrieving PSD content from message:\n"
                      b"    is Core PSD enabled      --> YES\n"
                      b"    Title                    --> 'From a file'\n", sent.out)
        # Values of groups that are not in the file are absent.
        self.assertIn(b"    Commercial Price         --> '(null)'\n", sent.out)
        got = receiver.finish()
        self.assertEnds(got, 0)
        self.assertIn(b"title: -->From a file\n", got.out)
        self.assertIn(b"comment title: -->one-line comment title\n", got.out)
        self.assertIn(b"ufid: owner id -->UFID Owner ID !!!!\n", got.out)
        self.assertNotIn(b"commercial price", got.out)

    def test_a_utf16_message_goes_out_and_comes_back_in_utf16(self):
        # 450 CJK characters over title, artist and album: 949 bytes in UTF-16, 1,393 in UTF-8.
        # Loaded, sent, received and checked again in UTF-16; the receiver keeps listening.
        texts = ["".join(chr(0x4E00 + start + i) for i in range(150)) for start in (0, 1000, 2000)]
        frames = b""
        for frame_id, text in zip((b"TIT2", b"TPE1", b"TALB"), texts):
            data = b"\x01\xfe\xff" + text.encode("utf-16-be")
            frames += frame_id + struct.pack(">I", len(data)) + b"\x00\x00" + data
        size = len(frames)
        syncsafe = bytes([size >> 21 & 0x7F, size >> 14 & 0x7F, size >> 7 & 0x7F, size & 0x7F])
        tag = b"ID3\x03\x00\x00" + syncsafe + frames
        self.assertEqual(len(tag), 949)
        with open(self.path("cjk.id3"), "wb") as f:
            f.write(tag)
        receiver, port, _ = self.start_receiver("-n", "2", "-f", self.path("rx.id3"))
        sent = run(TX, "-n", "2", "-m", "%g" % (0.3 * SLOWDOWN), "-o", "F",
                   "-j", self.path("cjk.id3"), "-k", "127.0.0.1:%d" % port)
        self.assertEnds(sent, 0)
        got = receiver.finish()
        self.assertEnds(got, 0)
        self.assertEqual(got.out.count(b"PSD message of length 949 bytes printed on "), 2)
        for label, text in zip((b"title", b"artist", b"album"), texts):
            self.assertEqual(got.out.count(b"\n" + label + b": -->" + text.encode() + b"\n"), 2)
        self.assertNotIn(b"orvo[", got.out)
        self.assertTrue(got.out.endswith(b"\n\ndone.\n"))
        self.assertEqual(read(self.path("rx.id3")), tag)

    def test_the_date_that_travels_is_the_date_checked(self):
        # Only the first eight characters of the valid-until date go on the wire, so they are
        # what the sender checks: "2027 12 31" (whose day lies past them) is refused before
        # anything is sent, and "20271231abc" goes out as 20271231 and is taken by the receiver,
        # which keeps listening for the next message.
        with Listener() as rx:
            refused = run(TX, "-n", "1", "-z", "T", "-x", "2027 12 31",
                          "-k", "127.0.0.1:%d" % rx.port)
            self.assertEnds(refused, 9)
            self.assertIn(b"orvo[1119]: E_FORMAT invalid commercial validUntil day 2027 12 31\n",
                          refused.out)
            self.assertTrue(rx.nothing_waiting())
        receiver, port, seen = self.start_receiver("-n", "2")
        for i, date in enumerate(("20271231abc", "20280229")):
            if i > 0:
                wait_for_bind(port, seen, receiver)
            self.assertEnds(run(TX, "-n", "1", "-z", "T", "-x", date,
                                "-k", "127.0.0.1:%d" % port), 0)
        got = receiver.finish()
        self.assertEnds(got, 0)
        self.assertEqual(got.out.count(b"\ncommercial valid until: -->20271231\n"), 1)
        self.assertEqual(got.out.count(b"\ncommercial valid until: -->20280229\n"), 1)
        self.assertNotIn(b"orvo[", got.out)
        self.assertTrue(got.out.endswith(b"\n\ndone.\n"))

    def test_received_controls_are_shown_as_escapes(self):
        # Whoever can send a datagram chooses the texts: a title that clears the screen and
        # retitles the window, in ISO-8859-1 (C1 as a byte) and in UTF-8 (C1 as U+009B), and a
        # valid-until date that the library's report quotes. None reaches the terminal raw.
        attack = b"\x1b[2J\x1b]0;owned\x07\r\x7f"
        utf8_title = attack + "\u009b31m \u00e9\u65e5".encode()
        with open(self.path("utf8.id3"), "wb") as f:
            f.write(id3_tag((b"TIT2", b"\x03" + utf8_title)))
        commercial = (b"\x00USD1\x00" + b"\x1b[2J\x1b[1H" + b"u\x00\x01s\x00d\x00\x00")
        receiver, port, seen = self.start_receiver("-n", "3")
        self.assertEnds(run(TX, "-n", "1", "-o", "F", "-t", attack + b"\x9b31m Caf\xe9",
                            "-k", "127.0.0.1:%d" % port), 0)
        wait_for_bind(port, seen, receiver)
        self.assertEnds(run(TX, "-n", "1", "-o", "F", "-j", self.path("utf8.id3"),
                            "-k", "127.0.0.1:%d" % port), 0)
        wait_for_bind(port, seen, receiver)
        send_datagram(port, psd_packet(id3_tag((b"COMR", commercial))))
        got = receiver.finish()
        self.assertEnds(got, 1)
        shown = b"\\x1B[2J\\x1B]0;owned\\x07\\x0D\\x7F"
        self.assertIn(b"\ntitle: -->" + shown + b"\\x9B31m Caf\xe9\n", got.out)
        self.assertIn(b"\ntitle: -->" + shown + b"\\xC2\\x9B31m \xc3\xa9\xe6\x97\xa5\n",
                      got.out)
        self.assertIn(b"\norvo[1101]: E_FORMAT invalid commercial validUntil year "
                      b"\\x1B[2J\\x1B[1H\n", got.out)
        self.assertTrue(got.out.endswith(b"orvorx[498]: zel_marlo_parsePsdMsg failed\n"))
        for raw in (b"\x1b", b"\x07", b"\r", b"\x7f", b"\x9b"):
            self.assertNotIn(raw, got.out)

    def test_flush_and_unsupported_ids_count_and_print_their_lines(self):
        receiver, port, seen = self.start_receiver("-n", "3")
        send_datagram(port, FLUSH_PACKET)
        wait_for_bind(port, seen, receiver)
        send_datagram(port, packet_with_msg_id(7))
        wait_for_bind(port, seen, receiver)
        self.assertEnds(run(TX, "-n", "1", "-k", "127.0.0.1:%d" % port), 0)
        got = receiver.finish()
        self.assertEnds(got, 0)
        self.assertIn(b"\nPSD Flush message received \nunsupported PSD msg 7 received  \n"
                      b"PSD message of length ", got.out)
        self.assertIn(b"title: -->[0001] title/topic/announcement\n", got.out)
        self.assertTrue(got.out.endswith(b"\n\ndone.\n"))

    def test_groups_switched_off_at_the_receiver_are_not_printed(self):
        receiver, port, _ = self.start_receiver("-n", "1", "-y", "F", "--enableUfid", "F")
        self.assertEnds(run(TX, "-n", "1", *ALL_GROUPS, "-k", "127.0.0.1:%d" % port), 0)
        got = receiver.finish()
        self.assertEnds(got, 0)
        self.assertIn(b"title: -->[0001] title/topic/announcement\n", got.out)
        self.assertIn(b"commercial price: -->USD10.0\n", got.out)
        self.assertNotIn(b"comment title", got.out)
        self.assertNotIn(b"ufid:", got.out)

    def test_datagram_that_is_no_vesk_packet_ends_with_status_1(self):
        for junk in (b"hello, receiver", b"", FLUSH_PACKET[:27], FLUSH_PACKET[:-1] + b"\x00",
                     os.urandom(32768)):
            with self.subTest(size=len(junk)):
                receiver, port, _ = self.start_receiver("-n", "5")
                send_datagram(port, junk)
                got = receiver.finish()
                self.assertEnds(got, 1)
                self.assertTrue(got.out.endswith(b"orvorx[480]: zel_marlo_recvPsdMsg failed\n"))
                self.assertIn(b"\norvo[1966]: XFER_RX zel_vesk_unpack fail [ ", got.out)
                self.assertNotIn(b"done.", got.out)

    def test_save_file_that_cannot_be_written_ends_with_status_1(self):
        bad = self.path("no/such/dir/rx.id3")
        receiver, port, _ = self.start_receiver("-n", "2", "-f", bad)
        self.assertEnds(run(TX, "-n", "1", "-k", "127.0.0.1:%d" % port), 0)
        got = receiver.finish()
        self.assertEnds(got, 1)
        self.assertTrue(got.out.endswith(
            b"orvo[1582]: E_FILE file open failed for '" + bad.encode() + b"'\n"
            b"orvorx[512]: zel_marlo_saveId3PsdFile failed\n"))

    def test_container_that_is_not_psd_ends_with_status_1(self):
        # A valid packet whose container says type 5: the parse fails, the program ends.
        receiver, port, _ = self.start_receiver("-n", "2")
        container = bytes([0, 5, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0])
        cl = bytes.fromhex("10000001") + struct.pack(">II", 0, len(container)) + container
        afl = b"AF" + struct.pack(">I", len(cl) + 4) + bytes.fromhex("000190691000") + b"\x01\x02"
        body = afl + cl
        send_datagram(port, body + struct.pack(">H", crc16(body)))
        got = receiver.finish()
        self.assertEnds(got, 1)
        self.assertTrue(got.out.endswith(
            b"orvo[1718]: ZEL_MARLO_TYPE psd Type field not PSD !! error  \n"
            b"orvorx[498]: zel_marlo_parsePsdMsg failed\n"))


class Drain:
    """A Listener whose datagrams a thread collects while a program sends them."""

    def __init__(self):
        self.listener = Listener()
        self.port = self.listener.port
        try:  # room for a burst; as root beyond the system's default limit
            self.listener.sock.setsockopt(socket.SOL_SOCKET, 33, 8 << 20)  # SO_RCVBUFFORCE
        except OSError:
            self.listener.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self.listener.sock.settimeout(0.1)
        self.datagrams = []
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._collect, daemon=True)
        self.thread.start()

    def _collect(self):
        while not self.done.is_set():
            try:
                self.datagrams.append(self.listener.sock.recvfrom(65536)[0])
            except socket.timeout:
                pass

    def close(self, linger=0.5):
        """Stops after the datagrams still on their way; returns them."""
        time.sleep(linger)
        self.done.set()
        self.thread.join(timeout=10)
        self.listener.sock.close()
        return self.datagrams


class LongRun(ToolTest):
    """Many messages through each program in one process: no leak and no invalid access builds
    up (run under valgrind, or the sanitizers, whose reports end the program with a status of
    their own). marlotx sends back to back (-m 0); marlorx takes a mix of its PSD messages,
    flush messages and unsupported message ids, saving and forwarding each PSD message."""

    COUNT = int(os.environ.get("ZEL_LONG_RUN_COUNT", "50"))

    def test_transmitter_and_receiver(self):
        n = self.COUNT
        sink = Drain()
        try:
            sent = run(TX, "-n", str(n), "-m", "0", *ALL_GROUPS, "-k", "127.0.0.1:%d" % sink.port,
                       seconds=60 + n)
        finally:
            packets = sink.close()
        self.assertEnds(sent, 0)
        self.assertEqual(sent.out.count(b"Sending PSD message to "), n)
        self.assertTrue(sent.out.endswith(b"done.\n"))
        self.assertEqual(len(packets), n)

        # The mix: two PSD messages, a flush, an unsupported id, over and over.
        mix = []
        for i in range(n):
            kind = i % 4
            if kind == 2:
                mix.append(FLUSH_PACKET)
            elif kind == 3:
                mix.append(packet_with_msg_id(7 + i))
            else:
                mix.append(packets[i])
        psd = sum(1 for i in range(n) if i % 4 < 2)
        relay = Drain()
        try:
            port = free_udp_port()
            with Background(RX, "-p", str(port), "-n", str(n), "-f", self.path("rx.id3"),
                            "-k", "127.0.0.1:%d" % relay.port) as receiver:
                seen = set()
                for datagram in mix:
                    wait_for_bind(port, seen, receiver)
                    send_datagram(port, datagram)
                got = receiver.finish(seconds=60 + n)
        finally:
            forwarded = relay.close()
        self.assertEnds(got, 0)
        out = got.out
        self.assertTrue(out.endswith(b"\ndone.\n"))
        self.assertEqual(out.count(b"PSD message of length "), psd)
        self.assertEqual(out.count(b"PSD Flush message received \n"), n // 4 + (n % 4 > 2))
        self.assertEqual(out.count(b"unsupported PSD msg "), n // 4)
        self.assertEqual(out.count(b"PSD message saved to ID3 formatted file"), psd)
        self.assertEqual(len(forwarded), psd)
        self.assertEqual(forwarded[-1], read(self.path("rx.id3")))


if __name__ == "__main__":
    if not (TX and RX):
        sys.exit("MARLOTX and MARLORX must name the programs")
    unittest.main(verbosity=2)
