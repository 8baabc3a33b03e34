#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks that every C and C++ source is as clang-format (.clang-format) lays it out; with --fix
# it formats them in place.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh clang-format
mapfile -t sources < <(git ls-files '*.c' '*.h' '*.cpp' '*.hpp')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${sources[@]}"
else
  clang-format --dry-run -Werror "${sources[@]}"
  echo "${#sources[@]} sources formatted as .clang-format says"
fi
