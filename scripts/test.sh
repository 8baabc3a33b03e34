#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs what is missing, builds with warnings as errors, and runs every test.
#   scripts/test.sh              normal build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-san/
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
opts=(-DZEL_WERROR=ON)
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-san
  opts+=(-DZEL_SANITIZE=ON)
fi

scripts/deps.sh
cmake -S . -B "$dir" -G Ninja "${opts[@]}"
cmake --build "$dir" -j2
cd "$dir"
ctest -j2 --output-on-failure
