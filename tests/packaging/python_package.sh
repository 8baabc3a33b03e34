#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The Python binding's Debian package, for scripts/package.sh:
#   python_package.sh check DEB VERSION   its control data and files
#   python_package.sh installed           once installed (with the runtime and tools packages):
#                                         /usr/bin/python3 sends to marlorx, and mutagen reads a
#                                         Latin-1 tag the binding made
set -euo pipefail
fail() { echo "FAIL: $*"; exit 1; }

case "${1:-}" in
check)
  deb=$2 version=$3
  [ -f "$deb" ] || fail "no package $deb"
  echo "=== $(basename "$deb")"
  dpkg-deb -f "$deb"
  dpkg-deb -c "$deb"
  [ "$(dpkg-deb -f "$deb" Architecture)" = all ] || fail "$(basename "$deb") is not Architecture: all"
  depends=$(dpkg-deb -f "$deb" Depends)
  grep -Eq "(^|, )python3(:any)?( |,|$)" <<<"$depends" || fail "no dependency on python3"
  grep -q "libzel-marlodll${version%%.*} (>= $version)" <<<"$depends" ||
    fail "no dependency on the library package"
  # The listing read whole first: grep -q leaving a pipe early fails dpkg-deb (pipefail).
  contents=$(dpkg-deb -c "$deb")
  for f in __init__.py __main__.py _native.py py.typed; do
    grep -q "/usr/lib/python3/dist-packages/zel_marlo/$f$" <<<"$contents" ||
      fail "$f is not in /usr/lib/python3/dist-packages/zel_marlo"
  done
  if grep -q "__pycache__" <<<"$contents"; then fail "compiled files in the package"; fi
  ;;
installed)
  unset ZEL_MARLO_LIBRARY PYTHONPATH
  scratch=$(mktemp -d)
  # Only a receiver still running: "kill 0" would end the whole process group.
  trap '[ -z "${rx:-}" ] || kill "$rx" 2>/dev/null || true; rm -rf "$scratch"' EXIT
  cd "$scratch"  # nothing of the source tree on the module path
  /usr/bin/python3 -c "import zel_marlo, sys; print(zel_marlo.__file__, zel_marlo.__version__)
assert zel_marlo.__file__.startswith('/usr/lib/python3/dist-packages/'), zel_marlo.__file__"
  /usr/bin/python3 -m zel_marlo --help >/dev/null
  /usr/bin/python3 -m pydoc zel_marlo >"$scratch/pydoc.txt"  # whole, not into a pipe grep -q may close early
  grep -q "Receiver(11000)" "$scratch/pydoc.txt" || fail "pydoc zel_marlo shows no receive example"
  port=$(/usr/bin/python3 -c "import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(('127.0.0.1', 0)); print(s.getsockname()[1])")
  timeout 60 marlorx -p "$port" -n 1 -f "$scratch/rx.id3" >"$scratch/rx.out" &
  rx=$!
  # marlorx binds its port only while it waits: send until it has saved the message.
  timeout 60 /usr/bin/python3 -c "import os, sys, time, zel_marlo
m = zel_marlo.Message(title='Beyoncé', artist='Sade', comment_title='Smooth')
m.save('$scratch/python.id3')
deadline = time.monotonic() + 30
while not os.path.exists('$scratch/rx.id3') and time.monotonic() < deadline:
    m.send('127.0.0.1', $port, content_id=7)
    time.sleep(0.2)
sys.exit(0 if os.path.exists('$scratch/rx.id3') else 'marlorx received nothing')"
  wait "$rx" || fail "marlorx ended with $?"
  rx=
  cat "$scratch/rx.out"
  grep -aq "title: -->Beyonc"$'\xe9' "$scratch/rx.out" || fail "marlorx did not print the title in ISO-8859-1"
  cmp "$scratch/rx.id3" "$scratch/python.id3" || fail "marlorx saved another tag than Python made"
  /usr/bin/python3 -c "from mutagen.id3 import ID3
tag = ID3('$scratch/python.id3')
assert tag['TIT2'].encoding == 0 and tag['TIT2'].text == ['Beyoncé'], tag['TIT2']
print('mutagen reads', tag['TIT2'].text[0], 'from the Latin-1 tag')"
  ;;
*)
  fail "usage: $0 check DEB VERSION | installed"
  ;;
esac
