#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# marlod's files as the bridge component installs them: the manual page, the sample, and both
# systemd units, which must pass systemd-analyze verify. The staging prefix's units name the
# staged marlod, so verify finds the program it checks for. Skipped (status 77) where
# systemd-analyze is not installed.
#   units_test.sh BUILD_DIR WORK_DIR
set -euo pipefail
build=$1 work=$2
: "${CMAKE:=cmake}"
command -v systemd-analyze >/dev/null || { echo "SKIP: no systemd-analyze"; exit 77; }

fail() { echo "FAIL: $*"; exit 1; }

rm -rf "$work"
mkdir -p "$work"
stage=$work/stage
"$CMAKE" --install "$build" --prefix "$stage" --component bridge >/dev/null
for f in sbin/marlod share/man/man5/marlod.toml.5 share/doc/marlod/examples/marlod.toml; do
  [ -f "$stage/$f" ] || fail "$f not installed"
done

units=$stage/lib/systemd/system
grep -qx "ExecStart=$stage/sbin/marlod -c /etc/marlod/marlod.toml" "$units/marlod.service" ||
  fail "marlod.service does not start the installed marlod"
grep -qx "ExecStart=$stage/sbin/marlod -c /etc/marlod/%i.toml" "$units/marlod@.service" ||
  fail "marlod@.service does not start the installed marlod"

# verify fails only for some faults and merely prints others (an unknown key, a bad value):
# whatever it says about the units is a failure.
for unit in marlod.service marlod@radio1.service; do
  echo "== systemd-analyze verify $unit"
  out=$(cd "$units" && systemd-analyze verify --man=no "./$unit" 2>&1) || fail "$unit: $out"
  if grep marlod <<<"$out"; then fail "$unit: systemd-analyze has remarks"; fi
done
echo "ok"
