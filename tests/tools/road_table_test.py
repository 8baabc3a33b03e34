#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The receive road's table of malformed datagrams (tests/api/receive_road_table.hpp), sent as
real datagrams to marlorx on 127.0.0.1: a datagram that does not unpack ends the program with
the report of zel_marlo_recvPsdMsg (480), one whose container or tag does not parse with the
report of zel_marlo_parsePsdMsg (498), both with status 1 and the library's own report before;
the rest is taken. Never a crash, a sanitizer report or a hang: every run is bounded and reaped.

Environment: MARLORX, ROAD_ROWS_DUMP (the program that writes the table's datagrams), and
ZEL_TOOLS_WRAPPER / ZEL_TOOLS_SLOWDOWN as for cli_test.py.
"""

import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cli_test  # noqa: E402  (its helpers: bounded runs, free ports, waits for the bind)
from cli_test import Background, RX, send_datagram, wait_for_bind, free_udp_port  # noqa: E402

DUMP = os.environ.get("ROAD_ROWS_DUMP", "")


def rows():
    """(file bytes, stage, error number, site or report, message id, name) per table row."""
    folder = tempfile.mkdtemp()
    subprocess.run([DUMP, folder], check=True, timeout=60, stdout=subprocess.DEVNULL)
    out = []
    with open(os.path.join(folder, "index.tsv")) as index:
        for line in index:
            name, stage, error, site, msg_id, title = line.rstrip("\n").split("\t")
            with open(os.path.join(folder, name), "rb") as f:
                out.append((f.read(), stage, int(error), int(site), int(msg_id), title))
            os.remove(os.path.join(folder, name))
    os.remove(os.path.join(folder, "index.tsv"))
    os.rmdir(folder)
    return out


class RoadTable(cli_test.ToolTest):
    def test_every_row_as_a_datagram(self):
        table = rows()
        self.assertGreater(len(table), 40)
        for datagram, stage, error, site, msg_id, name in table:
            with self.subTest(row=name):
                port = free_udp_port()
                with Background(RX, "-p", str(port), "-n", "1") as receiver:
                    wait_for_bind(port, set(), receiver)
                    send_datagram(port, datagram)
                    got = receiver.finish()
                self.assertClean(got)
                out = got.out
                if stage == "unpack":
                    self.assertEqual(got.status, 1, out)
                    self.assertIn(b"\norvo[1966]: XFER_RX zel_vesk_unpack fail [ zel_vesk.cpp:%04d ["
                                  % site, out)
                    self.assertTrue(out.endswith(b"orvorx[480]: zel_marlo_recvPsdMsg failed\n"), out)
                elif stage == "parse":
                    self.assertEqual(got.status, 1, out)
                    self.assertIn(b"orvo[%d]: " % site, out)
                    self.assertTrue(out.endswith(b"orvorx[498]: zel_marlo_parsePsdMsg failed\n"), out)
                else:
                    self.assertEqual(got.status, 0, out)
                    self.assertTrue(out.endswith(b"done.\n"), out)
                    if msg_id == 1:
                        self.assertIn(b"PSD Flush message received \n", out)
                    elif msg_id != 0:
                        self.assertIn(b"unsupported PSD msg %d received  \n" % msg_id, out)
                    else:
                        self.assertIn(b"PSD message of length ", out)

    def test_datagram_above_32_kib_is_a_receive_failure(self):
        # Never handed over cut short: one byte above the limit ends the program.
        port = free_udp_port()
        with Background(RX, "-p", str(port), "-n", "1") as receiver:
            wait_for_bind(port, set(), receiver)
            send_datagram(port, bytes(32769))
            got = receiver.finish()
        self.assertClean(got)
        self.assertEqual(got.status, 1, got.out)
        self.assertTrue(got.out.endswith(b"orvo[1932]: XFER_RX error in the psdxfer_recv \n"
                                         b"orvorx[480]: zel_marlo_recvPsdMsg failed\n"), got.out)


if __name__ == "__main__":
    if not (RX and DUMP):
        sys.exit("MARLORX and ROAD_ROWS_DUMP must name the programs")
    unittest.main(verbosity=2)
