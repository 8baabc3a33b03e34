#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the benchmarks (RelWithDebInfo, in build-bench/) and prints the instruction and
# allocation counts of the road and of marlod's update beside their budgets; fails when an
# operation costs more than twice its budget. Then runs marlod from outside (bench_bridge:
# idle, latency, a burst; about 15 s), which fails when a figure is far beyond its goal. With
# --time it also runs the Google Benchmark programs of the road and times marlod's text road.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh libbenchmark-dev valgrind
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEL_BUILD_BENCH=ON \
  -DZEL_BUILD_TESTS=OFF -DZEL_BUILD_TOOLS=OFF -DZEL_BUILD_EXAMPLES=OFF -DZEL_WERROR=ON
cmake --build build-bench -j2
/usr/bin/python3 bench/icount.py build-bench 100
if [ -x build-bench/bench/bench_bridge ]; then
  build-bench/bench/bench_bridge --benchmark_filter='bridge/(idle|latency|burst)'
fi
if [ "${1:-}" = "--time" ]; then
  build-bench/bench/bench_road --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
  if [ -x build-bench/bench/bench_bridge ]; then
    build-bench/bench/bench_bridge --benchmark_filter=bridge/textroad
  fi
fi
