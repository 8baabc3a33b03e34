# SPDX-License-Identifier: GPL-2.0-or-later
"""Fixtures of the binding's tests. The binding is imported from PYTHONPATH and loads the
library ZEL_MARLO_LIBRARY names (CTest sets both to this source and build tree)."""

import os
import socket
import subprocess
import time

import pytest

# A full message: every group holds a value that passes validation.
FULL = dict(title="Title", artist="Artist", album="Album", genre="Jazz",
            comment_title="Note", comment_desc="two\nlines", price="USD10.0",
            valid_until="20301231", contact_url="http://www.example.com", recv_as="2",
            seller_name="Seller", product_desc="Product", ufid_owner_id="owner@example.org",
            ufid_identifier=b"\x00id\xff")


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def tool(variable):
    """The built program $variable names; the test is skipped where it is not built."""
    path = os.environ.get(variable)
    if not path:
        pytest.skip(f"{variable} is not set: the tools are not part of this build")
    return path


def send_until_exit(process, send, limit=15.0):
    """Calls send() every 0.1 s until process ends (a receiver binds its port only while it
    waits, so the first datagrams may find nobody); returns its stdout and stderr."""
    deadline = time.monotonic() + limit
    while process.poll() is None and time.monotonic() < deadline:
        send()
        time.sleep(0.1)
    try:
        out, err = process.communicate(timeout=max(0.1, deadline - time.monotonic()))
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        pytest.fail("the receiver did not end in time")
    return out, err


@pytest.fixture
def port():
    return free_udp_port()
