#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the libFuzzer targets with clang (ASan + UBSan) in build-fuzz/: the one build that
# scripts/fuzz.sh and fuzz/campaign.sh share, so that their flags cannot drift apart.
#   fuzz/build.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZEL_BUILD_FUZZ=ON -DZEL_SANITIZE=ON -DZEL_BUILD_TESTS=OFF -DZEL_BUILD_TOOLS=OFF \
  -DZEL_BUILD_EXAMPLES=OFF -DZEL_WERROR=ON >/dev/null
cmake --build build-fuzz -j2
