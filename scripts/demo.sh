#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The main job: installs what is missing, builds the library and the two tools (nothing else,
# in build-demo/), starts marlorx on a loopback port and lets marlotx send it three PSD
# messages with all four groups enabled. Each line shows which tool printed it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build-demo -G Ninja -DZEL_BUILD_TESTS=OFF -DZEL_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build-demo -j2 --target marlotx marlorx

# A UDP port that is free on this machine right now.
port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

# Line-buffered output, each line marked with the tool that printed it.
label() { sed -u "s/^/[$1] /"; }

echo "=== marlorx listening on port $port"
stdbuf -oL build-demo/tools/rx/marlorx -p "$port" -n 3 > >(label marlorx) &
rx=$!
trap 'kill $rx 2>/dev/null || true' EXIT
sleep 1

echo "=== marlotx sending three messages to 127.0.0.1:$port"
stdbuf -oL build-demo/tools/tx/marlotx -k "127.0.0.1:$port" -n 3 -m 1 -y T -z T -b T \
  > >(label marlotx)

# marlorx ends by itself after the third message; give it a moment, then stop waiting.
for _ in $(seq 50); do
  kill -0 "$rx" 2>/dev/null || break
  sleep 0.1
done
wait "$rx" 2>/dev/null || true
sleep 0.2 # the labels of the last lines
echo "=== done"
