#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the libFuzzer targets (fuzz/build.sh: clang, ASan + UBSan) and runs each for a bounded
# time on a scratch copy of its committed seed corpus.
#   scripts/fuzz.sh [seconds-per-target] [target ...]      default: 60 s, every target
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true

fuzz/build.sh

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  shopt -s nullglob
  for dir in fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
  shopt -u nullglob
fi

# Every input of at most 32 KiB is handled within the budget: fuzz/budget.sh.
source fuzz/budget.sh

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for t in "${targets[@]}"; do
  bin=build-fuzz/fuzz/fuzz_$t
  [ -x "$bin" ] || { echo "no fuzz binary for $t"; exit 1; }
  mkdir -p "$scratch/$t"
  cp -r "fuzz/corpus/$t/." "$scratch/$t/"
  echo "== fuzzing $t for ${seconds}s"
  rc=0
  "$bin" "$scratch/$t" -max_total_time="$seconds" "${ZEL_FUZZ_BUDGET[@]}" \
    -print_final_stats=1 -close_fd_mask=1 -artifact_prefix="$scratch/" \
    >"$scratch/$t.log" 2>&1 || rc=$?
  tail -n 14 "$scratch/$t.log"
  if [ "$rc" -ne 0 ]; then
    echo "fuzz target $t failed (exit $rc); reproducer:"
    ls -la "$scratch"/crash-* "$scratch"/leak-* "$scratch"/timeout-* "$scratch"/oom-* 2>/dev/null || true
    for f in "$scratch"/crash-* "$scratch"/leak-* "$scratch"/timeout-* "$scratch"/oom-*; do
      [ -f "$f" ] && od -A x -t x1z "$f" | head -n 20
    done
    exit 1
  fi
done
