#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Instructions and allocations per operation of the road, beside their budgets.

Runs bench/icount (and bench/icount_bridge, marlod's work per update, where marlod is built)
under callgrind, reads one dump per operation, and prints a table. Exits 1
when an operation costs more than twice its budget (a guard against a renderer that pads or
compresses, or CRC tables rebuilt per call), 0 otherwise.

usage: bench/icount.py BUILD_DIR [RUNS]
"""
import glob
import os
import re
import subprocess
import sys
import tempfile

# operation: (instruction budget per run, allocation budget per run or None, divisor label)
BUDGETS = {
    "render": (30000, 45),
    "create": (35000, None),
    "pack": (4000, None),
    "recv_parse": (45000, 60),  # every group switched on, as the receive tool decodes
    "tx_cycle": (70000, None),  # fill, validate, print, create, send to a buffer
    "rx_cycle": (90000, None),  # receive from a buffer, parse, print
    "worst": (1000000, None),   # a 32,000-character title decoded, then refused
    "crc16": (3.5, None),  # per byte
}

# marlod, one new item for one exciter: text road (render, fit, load) and encoding (create,
# pack); the second with a Cyrillic item transliterated for a Latin-1 exciter.
BRIDGE_BUDGETS = {
    "bridge_update": (150000, 60),
    "bridge_translit": (500000, 60),
}

# Operations whose count includes libid3tag's parse of a tag, and the measurement of that parse
# alone (id3_tag_parse and id3_tag_delete of the tag as the decoder hands it over). Its cost is
# the floor of the decode as long as the decode goes through libid3tag. For the worst input the
# budget is for the library's own part, the count less that floor: libid3tag's parse of a
# 32,000-character title alone is more than twice the million.
FLOORS = {"recv_parse": "recv_parse_libid3tag", "worst": "worst_libid3tag"}
BUDGET_ABOVE_FLOOR = {"worst"}


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    drivers = [os.path.join(build, "bench", "icount")]
    budgets = dict(BUDGETS)
    bridge = os.path.join(build, "bench", "icount_bridge")
    if os.path.exists(bridge):
        drivers.append(bridge)
        budgets.update(BRIDGE_BUDGETS)
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        stdout = ""
        for i, driver in enumerate(drivers):
            proc = subprocess.run(
                ["valgrind", "--tool=callgrind", "--collect-atstart=no",
                 f"--callgrind-out-file={out}.{i}", driver, str(runs)],
                capture_output=True, text=True, check=False)
            if proc.returncode != 0:
                sys.stderr.write(proc.stdout + proc.stderr)
                return 1
            stdout += proc.stdout
        allocs = {}
        counts = {}
        crc_bytes = None
        for line in stdout.splitlines():
            m = re.match(r"(\w+) runs=(\d+) allocations=(\d+)", line)
            if m:
                allocs[m.group(1)] = int(m.group(3)) / int(m.group(2))
                counts[m.group(1)] = int(m.group(2))
            m = re.match(r"crc_bytes=(\d+)", line)
            if m:
                crc_bytes = int(m.group(1))
        instr = {}
        for path in glob.glob(out + "*"):
            name, total = None, None
            with open(path, encoding="utf-8", errors="replace") as f:
                for line in f:
                    m = re.match(r"desc: Trigger: Client Request: (\w+)", line)
                    if m:
                        name = m.group(1)
                    m = re.match(r"(?:summary|totals): (\d+)", line)
                    if m:
                        total = int(m.group(1))
            if (name in budgets or name in FLOORS.values()) and total is not None:
                instr[name] = total / counts.get(name, runs)

    failed = False
    print(f"{'operation':<12} {'instructions':>14} {'libid3tag':>11} {'budget':>10} "
          f"{'allocations':>12} {'budget':>7}")
    for name, (ibudget, abudget) in budgets.items():
        if name not in instr:
            print(f"{name:<12} no measurement")
            failed = True
            continue
        value = instr[name]
        unit = ""
        if name == "crc16":
            value = value / crc_bytes
            unit = "/byte"
        a = allocs.get(name, 0.0)
        floor = instr.get(FLOORS.get(name, ""), None)
        if name in FLOORS and floor is None:
            print(f"{name:<12} no measurement of libid3tag's parse")
            failed = True
        counted = value - floor if name in BUDGET_ABOVE_FLOOR and floor is not None else value
        over = counted > 2 * ibudget or (abudget is not None and a > 2 * abudget)
        failed |= over
        mark = "  OVER TWICE THE BUDGET" if over else ("  over budget" if counted > ibudget or (
            abudget is not None and a > abudget) else "")
        if name in BUDGET_ABOVE_FLOOR and floor is not None:
            mark += f"  (budget for the {counted:,.0f} above libid3tag's parse)"
        abud = f"{abudget}" if abudget is not None else "-"
        fl = f"{floor:>11,.0f}" if floor is not None else f"{'-':>11}"
        print(f"{name:<12} {value:>14,.1f}{unit} {fl} {ibudget:>10,} {a:>12.1f} {abud:>7}{mark}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
