#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Has mutagen, an independent ID3 implementation, read the tags this library writes.

Usage: check_with_mutagen.py WRITER - runs the writer program (id3_interop_writer) into a
temporary directory and checks every value of every file it wrote, one file per text encoding.
"""
import os
import subprocess
import sys
import tempfile

from mutagen.id3 import ID3

UNICODE_TITLE = "\u00e9\u65e5\u672c\U0001F600"


def check(path, encoding):
    failures = []

    def expect(what, got, wanted):
        if got != wanted:
            failures.append("%s: %s is %r, expected %r" % (os.path.basename(path), what, got, wanted))

    tag = ID3(path, translate=False)
    expect("version", tag.version[:2], (2, 3))
    expect("frames", sorted(frame.FrameID for frame in tag.values()),
           sorted(["TIT2", "TPE1", "TALB", "TCON", "COMM", "COMR", "UFID"]))
    title = "Caf\u00e9" if encoding == 0 else UNICODE_TITLE
    for frame_id, text in (("TIT2", title), ("TPE1", "Artist"), ("TALB", "Album"),
                           ("TCON", "Rock")):
        frame = tag.get(frame_id)
        expect(frame_id, frame and list(frame.text), [text])
        expect(frame_id + " encoding", frame and int(frame.encoding), encoding)
    comm = tag.get("COMM:Note:eng")
    expect("COMM text", comm and list(comm.text), ["two\nlines"])
    comrs = tag.getall("COMR")
    if len(comrs) != 1:
        failures.append("%s: %d COMR frames" % (os.path.basename(path), len(comrs)))
    else:
        comr = comrs[0]
        expect("COMR encoding", int(comr.encoding), encoding)
        expect("COMR price", comr.price, "USD10.0")
        expect("COMR valid until", comr.valid_until, "20041231")
        expect("COMR contact", comr.contact, "http://shop.example")
        expect("COMR received as", comr.format, 2)
        expect("COMR seller", comr.seller, "Sell\u00e9r")
        expect("COMR description", comr.desc, "Product")
    ufid = tag.get("UFID:http://zel.example/ufid")
    expect("UFID data", ufid and ufid.data, bytes([0x00, 0x01, 0xFE, 0xFF]))
    return failures


GENRES = ["(Live) Jazz", "(12)Talk", "((x", "("]


def check_genre(path, genre):
    """A genre that begins with "(" is read back as it was set."""
    tag = ID3(path, translate=False)
    frame = tag.get("TCON")
    got = frame and frame.genres
    if got != [genre]:
        return ["%s: TCON genres are %r, expected %r" % (os.path.basename(path), got, [genre])]
    return []


def main():
    writer = sys.argv[1]
    with tempfile.TemporaryDirectory() as directory:
        subprocess.run([writer, directory], check=True, timeout=60)
        failures = [check(os.path.join(directory, "zel_enc%d.id3" % encoding), encoding)
                    for encoding in range(4)]
        failures += [check_genre(os.path.join(directory, "zel_genre%d.id3" % i), genre)
                     for i, genre in enumerate(GENRES)]
    for file_failures in failures:
        for failure in file_failures:
            print(failure)
    failed = sum(1 for file_failures in failures if file_failures)
    print("%d passed, %d failed" % (len(failures) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
