#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The main job: installs what is missing, builds the library, the two tools and the bridge
# (nothing else, in build-demo/), starts marlorx on a loopback port and lets marlotx send it
# three PSD messages with all four groups enabled; then marlod puts now-playing on air for
# marlorx: the station's fallback, a song announced as JSON over UDP, and the fallback again
# when the song has ended. Each line shows which program printed it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake -S . -B build-demo -G Ninja -DZEL_BUILD_TESTS=OFF -DZEL_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build-demo -j2 --target marlotx marlorx marlod

# A UDP port that is free on this machine right now.
free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
port=$(free_port)

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

exciter=$(free_port)
input=$(free_port)
scratch=$(mktemp -d)
cat >"$scratch/marlod.toml" <<EOF
[station]
name = "Radio Demo"

[[exciter]]
host = "127.0.0.1"
port = $exciter

[input.json]
udp = "127.0.0.1:$input"

[timing]
refresh = 30
grace = 1

[state]
path = "$scratch/state.json"
EOF

echo "=== marlorx standing in for the exciter on port $exciter"
stdbuf -oL build-demo/tools/rx/marlorx -p "$exciter" -n 3 > >(label marlorx) &
rx=$!
trap 'kill $rx ${bridge:-} 2>/dev/null || true; rm -rf "$scratch"' EXIT
sleep 1
echo "=== marlod following JSON over UDP on port $input: the fallback goes on air"
build-demo/tools/bridge/marlod -c "$scratch/marlod.toml" > >(label marlod) &
bridge=$!
sleep 1
echo "=== the playout announces a song, then its end"
echo '{"title": "Quiet Harbour Nocturne", "artist": "The Lantern Trio", "duration": 214}' \
  >"/dev/udp/127.0.0.1/$input"
sleep 1
echo '{"clear": true}' >"/dev/udp/127.0.0.1/$input"
for _ in $(seq 50); do
  kill -0 "$rx" 2>/dev/null || break
  sleep 0.1
done
kill -TERM "$bridge"
wait "$bridge" 2>/dev/null || true
wait "$rx" 2>/dev/null || true
sleep 0.2
echo "=== done"
