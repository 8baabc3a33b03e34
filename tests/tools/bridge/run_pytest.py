#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Runs pytest on the given files, with the sanitizer runtimes of PYTHON_PRELOAD loaded into the
interpreter first when the build is instrumented (the library is loaded through ctypes)."""
import os
import sys

preload = os.environ.pop("PYTHON_PRELOAD", "")
if preload and "LD_PRELOAD" not in os.environ:
    env = dict(os.environ, LD_PRELOAD=preload, MARLOD_CHILD_DROP_PRELOAD="1",
               ASAN_OPTIONS="detect_leaks=0")
    os.execve(sys.executable, [sys.executable, __file__, *sys.argv[1:]], env)

import pytest  # noqa: E402

sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", *sys.argv[1:]]))
