#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# A fuzzing campaign: runs each target under the resource budget (fuzz/budget.sh) for a given
# time or number of executions, then minimises what it found into fuzz/corpus/<target>/. Prints
# executions, coverage (cov) and features (ft) per target, and adds a line per run to
# build-fuzz/campaign/runs.tsv, whose totals per target are printed at the end.
#
#   fuzz/campaign.sh [-t SECONDS | -n EXECUTIONS] [--no-build] [--no-merge | --merge-only]
#                    [target ...]
#
# The committed corpus is minimised by edges: the named seeds stay (regression cases and
# examples), and of the inputs named by their hash only those that reach code no other input
# reaches are kept (libFuzzer's -merge=1 with -use_counters=0, smallest first).
# Default: 600 s per target, every target. The working corpus of each target is kept in
# build-fuzz/campaign/<target>/corpus between runs, so that runs add up; a crash, leak, timeout
# or out-of-memory input is kept in build-fuzz/campaign/<target>/ and makes the script fail.
# Run slow targets on their own (one process per core), e.g.
#   nohup fuzz/campaign.sh -n 10000000 --no-build id3_file_load > id3_file_load.log &
set -euo pipefail
cd "$(dirname "$0")/.."

limit=(-max_total_time=600)
build=1
merge=1
fuzz=1
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    -t) limit=(-max_total_time="$2"); shift 2 ;;
    -n) limit=(-runs="$2"); shift 2 ;;
    --no-build) build=0; shift ;;
    --no-merge) merge=0; shift ;;
    --merge-only) fuzz=0; shift ;;
    -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done

if [ "$build" -eq 1 ]; then
  fuzz/build.sh  # the build scripts/fuzz.sh uses too
fi
if [ ${#targets[@]} -eq 0 ]; then
  for dir in fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

source fuzz/budget.sh
top=build-fuzz/campaign
mkdir -p "$top"
[ -f "$top/runs.tsv" ] || printf 'date\ttarget\texecutions\tcov\tft\tresult\n' >"$top/runs.tsv"

# minimise BIN TARGET WORK [MORE-INPUTS ...]: fuzz/corpus/TARGET becomes its named seeds plus the
# fewest inputs (of it and MORE-INPUTS) that reach every edge they reach.
minimise() {
  local bin=$1 t=$2 work=$3
  shift 3
  local fresh=$work/minimised
  rm -rf "$fresh"
  mkdir -p "$fresh"
  find "fuzz/corpus/$t" -maxdepth 1 -type f -regextype posix-extended ! -regex '.*/[0-9a-f]{40}' -exec cp {} "$fresh/" \;
  local before
  before=$(ls "fuzz/corpus/$t" | wc -l)
  "$bin" -merge=1 -use_counters=0 "$fresh" "fuzz/corpus/$t" "$@" "${ZEL_FUZZ_BUDGET[@]}" \
    -close_fd_mask=1 >"$work/merge.log" 2>&1
  find "fuzz/corpus/$t" -maxdepth 1 -type f -regextype posix-extended -regex '.*/[0-9a-f]{40}' -delete
  cp "$fresh"/* "fuzz/corpus/$t/"
  echo "   minimised fuzz/corpus/$t: $before -> $(ls "fuzz/corpus/$t" | wc -l) files," \
    "$(cat "fuzz/corpus/$t"/* | wc -c) bytes"
}

failed=()
for t in "${targets[@]}"; do
  bin=build-fuzz/fuzz/fuzz_$t
  [ -x "$bin" ] || { echo "no fuzz binary for $t"; exit 1; }
  work=$top/$t
  mkdir -p "$work/corpus"
  log=$work/last.log
  rc=0
  if [ "$fuzz" -eq 0 ]; then
    echo "== $t: minimising fuzz/corpus/$t"
    minimise "$bin" "$t" "$work"
    continue
  fi
  echo "== $t: ${limit[*]}"
  "$bin" "$work/corpus" "fuzz/corpus/$t" "${limit[@]}" "${ZEL_FUZZ_BUDGET[@]}" \
    -print_final_stats=1 -close_fd_mask=1 -artifact_prefix="$work/" >"$log" 2>&1 || rc=$?

  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  result=ok
  if [ "$rc" -ne 0 ]; then
    result="failed($rc)"
    failed+=("$t")
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error)|artifact_prefix|Test unit written' "$log" |
      head -n 20 || true
  fi
  printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$(date -u +%FT%TZ)" "$t" "${execs:-0}" "${cov:-?}" \
    "${ft:-?}" "$result" >>"$top/runs.tsv"
  echo "   executions ${execs:-0}, cov ${cov:-?}, ft ${ft:-?}: $result (log: $log)"

  if [ "$merge" -eq 1 ] && [ "$rc" -eq 0 ]; then
    minimise "$bin" "$t" "$work" "$work/corpus"
  fi
done

echo "== totals over all runs in $top/runs.tsv (failed runs included)"
awk -F'\t' 'NR > 1 { n[$2] += $3; if ($6 != "ok") bad[$2]++; cov[$2] = $4; ft[$2] = $5 }
  END { for (t in n) printf "   %-20s %12d executions, last cov %s ft %s, %d failed runs\n",
        t, n[t], cov[t], ft[t], bad[t] }' "$top/runs.tsv" | sort
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed: ${failed[*]} (reproducers in $top/<target>/)"
  exit 1
fi
