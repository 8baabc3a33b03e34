#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the Debian packages the build, the tests and the tools need, and only those missing.
# Usage: scripts/deps.sh [extra-package ...]
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config          # build
  libid3tag0-dev zlib1g-dev                 # ID3 tag model and parser, and its zlib
  libgtest-dev libgmock-dev                 # tests
  python3-mutagen                           # independent ID3 implementation for the interop tests
  valgrind                                  # leak checks in the test suite
  tshark                                    # the capture dissector's tests (contrib/wireshark)
  libsystemd-dev libicu-dev libtomlplusplus-dev nlohmann-json3-dev libmicrohttpd-dev  # marlod
  python3-pytest                            # marlod and binding tests
  chromium chromium-driver python3-selenium # the status page in a real browser
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
# tshark's package asks whether ordinary users may capture; answer no without asking.
if printf '%s\n' "${missing[@]}" | grep -qx tshark; then
  echo "wireshark-common wireshark-common/install-setuid boolean false" |
    "${sudo[@]}" debconf-set-selections
fi
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
