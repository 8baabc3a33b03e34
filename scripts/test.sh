#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs what is missing, builds with warnings as errors, and runs every test.
#   scripts/test.sh              normal build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-san/
#   scripts/test.sh --tsan       ThreadSanitizer build (clang) in build-tsan/; runs the tests
#                                that use the library from several threads at once
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build
opts=(-DZEL_WERROR=ON)
extra=()
only=()
case "${1:-}" in
  --sanitize)
    dir=build-san
    opts+=(-DZEL_SANITIZE=ON)
    ;;
  --tsan)
    dir=build-tsan
    opts+=(-DZEL_TSAN=ON -DZEL_BUILD_TOOLS=OFF -DZEL_BUILD_BRIDGE=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
    extra=(clang libclang-rt-14-dev)
    only=(-R '^Threads\.')
    # Any report fails the test; the test's own failures keep their status.
    export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1"
    ;;
esac

scripts/deps.sh "${extra[@]}"
cmake -S . -B "$dir" -G Ninja "${opts[@]}"
if [ ${#only[@]} -gt 0 ]; then
  cmake --build "$dir" -j2 --target thread_tests
else
  cmake --build "$dir" -j2
fi
cd "$dir"
ctest -j2 --output-on-failure "${only[@]}"
