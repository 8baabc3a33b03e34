#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Fails on an #include that goes against the arrows between the modules.

    include_arrows.py ROOT          check ROOT/lib and ROOT/tools; print each wrong arrow
    include_arrows.py --self-test   check that every kind of wrong arrow is caught

A module may include its own headers and those of the modules below it:

    api          -> api/id3, api/record, vesk, psdmsg, psdxfer, common
    api/id3      -> api/record, common
    api/record   -> common
    vesk, psdmsg, psdxfer -> common

Every module may include the exported header api/zel_marlo.h (its types are the contract's
vocabulary) and the version header it includes, generated into the build tree. libid3tag and zlib are seen by api/id3 alone. A tool includes the exported header
(as "zel_marlo.h", like any user of the library) and the tools' own headers, nothing from lib/.
"""
import os
import re
import sys
import tempfile

ALLOWED = {
    "common": {"common"},
    "vesk": {"vesk", "common"},
    "psdmsg": {"psdmsg", "common"},
    "psdxfer": {"psdxfer", "common"},
    "api/record": {"api/record", "common"},
    "api/id3": {"api/id3", "api/record", "common"},
    "api": {"api", "api/id3", "api/record", "vesk", "psdmsg", "psdxfer", "common"},
}
PUBLIC_HEADER = "api/zel_marlo.h"
VERSION_HEADER = "zel_marlo_version.h"  # generated from the project version, beside it
THIRD_PARTY = {"id3tag.h": "api/id3", "zlib.h": "api/id3"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
SOURCES = (".c", ".cpp", ".h", ".hpp")


def module_of(lib_relative):
    """The module a path below lib/ belongs to."""
    parts = lib_relative.split("/")
    if parts[0] == "api" and len(parts) > 2:
        return "api/" + parts[1]
    return parts[0]


def check_file(root, path):
    rel = os.path.relpath(path, root).replace(os.sep, "/")
    in_lib = rel.startswith("lib/")
    module = module_of(rel[len("lib/"):]) if in_lib else "tools"
    wrong = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            quoted, name = m.group(1) == '"', m.group(2)
            where = f"{rel}:{number}: {module} includes {name}"
            if not quoted:
                owner = THIRD_PARTY.get(name)
                if owner is not None and module != owner:
                    wrong.append(f"{where} (only {owner} sees it)")
                continue
            if not in_lib:
                # A tool: the exported header under its public name, or a tools header.
                if name in ("zel_marlo.h", VERSION_HEADER):
                    continue
                if os.path.exists(os.path.join(root, "lib", name)) or "/" in name:
                    wrong.append(f"{where} (a tool sees only zel_marlo.h)")
                continue
            if name in (PUBLIC_HEADER, VERSION_HEADER):
                continue
            if not os.path.exists(os.path.join(root, "lib", name)):
                wrong.append(f"{where} (not a path below lib/)")
                continue
            target = module_of(name)
            if target not in ALLOWED.get(module, set()):
                wrong.append(f"{where} (an arrow {module} -> {target} must not exist)")
    return wrong


def check(root):
    wrong = []
    for top in ("lib", "tools"):
        for folder, _, files in os.walk(os.path.join(root, top)):
            for name in sorted(files):
                if name.endswith(SOURCES):
                    wrong += check_file(root, os.path.join(folder, name))
    return wrong


def self_test():
    """Every kind of wrong arrow in a small tree of its own is reported, and a right one is not."""
    files = {
        "lib/common/bytes.hpp": "",
        "lib/vesk/zel_vesk.hpp": '#include "common/bytes.hpp"\n',
        "lib/psdmsg/psdmsg.hpp": '#include "api/handle.hpp"\n',        # wrong: upwards
        "lib/psdxfer/psdxfer.cpp": '#include "vesk/zel_vesk.hpp"\n',   # wrong: sideways
        "lib/api/record/validate.cpp": '#include "api/id3/encode.hpp"\n',  # wrong: wing to wing
        "lib/api/id3/encode.hpp": '#include <id3tag.h>\n#include "api/record/validate.hpp"\n',
        "lib/api/handle.hpp": '#include <zlib.h>\n#include "api/zel_marlo.h"\n',  # wrong: zlib
        "lib/api/zel_marlo.h": "",
        "lib/api/record/validate.hpp": "",
        "tools/tx/marlotx.cpp": '#include "zel_marlo.h"\n#include "api/handle.hpp"\n',  # wrong
    }
    with tempfile.TemporaryDirectory() as root:
        for rel, text in files.items():
            os.makedirs(os.path.dirname(os.path.join(root, rel)), exist_ok=True)
            with open(os.path.join(root, rel), "w") as f:
                f.write(text)
        found = sorted(line.split(":")[0] for line in check(root))
    expected = sorted(["lib/psdmsg/psdmsg.hpp", "lib/psdxfer/psdxfer.cpp",
                       "lib/api/record/validate.cpp", "lib/api/handle.hpp",
                       "tools/tx/marlotx.cpp"])
    if found != expected:
        print(f"self-test: reported {found}, expected {expected}")
        return 1
    print("self-test: every wrong arrow reported")
    return 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    wrong = check(sys.argv[1])
    for line in wrong:
        print(line)
    if wrong:
        print(f"{len(wrong)} include(s) against the module arrows")
        return 1
    print("every #include keeps to the module arrows")
    return 0


if __name__ == "__main__":
    sys.exit(main())
