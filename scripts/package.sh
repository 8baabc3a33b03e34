#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian packages in build-deb/ (library, tools and the marlod bridge for /usr, no
# tests), lists their control data and contents, checks their dependencies and runs lintian on
# them where lintian is installable.
#   scripts/package.sh             build and check
#   scripts/package.sh --install   then install them with apt-get and use them: the tools, the
#                                  library from C and CMake, marlod in dry-run mode and the
#                                  systemd units (CI: a machine of its own)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh dpkg-dev file            # dpkg-shlibdeps for CPack, which also runs file
if apt-cache show lintian >/dev/null 2>&1; then scripts/deps.sh lintian; fi

# A distribution's build: Debian's compiler and linker flags with every hardening option, no
# -Werror, everything for /usr.
dir=build-deb
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_C_FLAGS="$CPPFLAGS $CFLAGS" -DCMAKE_CXX_FLAGS="$CPPFLAGS $CXXFLAGS" \
  -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS" \
  -DZEL_INSTALL_STATIC=ON -DZEL_BUILD_TESTS=OFF -DZEL_BUILD_EXAMPLES=OFF -DZEL_WERROR=OFF \
  -DZEL_EXAMPLES_INSTALL_DIR=share/doc/libzel-marlo-dev/examples
cmake --build "$dir" -j2
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB)

fail() { echo "FAIL: $*"; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
arch=$(dpkg --print-architecture)
runtime=$dir/libzel-marlodll${version%%.*}_${version}_$arch.deb
dev=$dir/libzel-marlo-dev_${version}_$arch.deb
tools=$dir/zel-marlo-tools_${version}_$arch.deb
bridge=$dir/marlod_${version}_$arch.deb
for deb in "$runtime" "$dev" "$tools" "$bridge"; do
  [ -f "$deb" ] || fail "no package $deb"
  echo "=== $(basename "$deb")"
  dpkg-deb -f "$deb"
  dpkg-deb -c "$deb"
done
# The Python binding (Architecture: all).
python=$dir/python3-zel-marlo_${version}_all.deb
tests/packaging/python_package.sh check "$python" "$version"

echo "=== dependencies"
# Has the package's Depends field every package named, as a whole word?
depends_on() {
  local deb=$1 field
  shift
  field=$(dpkg-deb -f "$deb" Depends)
  echo "$(basename "$deb"): $field"
  for p in "$@"; do
    grep -Eq "(^|, )$p( \(|,|$)" <<<"$field" || fail "$(basename "$deb") does not depend on $p"
  done
}
# The library and the tools (which link the library's code statically) depend on the
# libraries they load, found by dpkg-shlibdeps.
depends_on "$runtime" libc6 libid3tag0 libstdc\\+\\+6 zlib1g
depends_on "$tools" libc6 libid3tag0 libstdc\\+\\+6 zlib1g
depends_on "$dev" libzel-marlodll${version%%.*} libid3tag0-dev zlib1g-dev
dpkg-deb -f "$dev" Depends | grep -q "libzel-marlodll${version%%.*} (= $version)" ||
  fail "the -dev package does not depend on this very version of the library"
# marlod loads the shared library (dpkg-shlibdeps finds the runtime package's shlibs entry)
# and the libraries of its event loop, transliteration, configuration and HTTP side.
depends_on "$bridge" libc6 libstdc\\+\\+6 "libzel-marlodll${version%%.*}" libsystemd0 libicu72 \
  libtomlplusplus3 libmicrohttpd12
dpkg-deb -f "$bridge" Depends | grep -q "libzel-marlodll${version%%.*} (>= $version)" ||
  fail "marlod does not depend on this version of the library or a later one"
# Everything a station needs beside the program.
contents=$(dpkg-deb -c "$bridge")
for f in /usr/sbin/marlod /usr/share/man/man8/marlod.8.gz /usr/share/man/man5/marlod.toml.5.gz \
  /usr/share/doc/marlod/examples/marlod.toml /usr/lib/systemd/system/marlod.service \
  /usr/lib/systemd/system/marlod@.service /usr/share/doc/marlod/copyright \
  /usr/share/doc/marlod/changelog.gz; do
  grep -q " \.$f\$" <<<"$contents" || fail "marlod has no $f"
done
# The library package tells dependent packages which package holds the SONAME, and runs
# ldconfig through its trigger.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -e "$runtime" "$scratch/control"
grep -q "^libzel_marloDLL ${version%%.*} libzel-marlodll${version%%.*}" "$scratch/control/shlibs" ||
  fail "no shlibs entry for libzel_marloDLL"
grep -q "ldconfig" "$scratch/control/triggers" || fail "no ldconfig trigger"

if command -v lintian >/dev/null; then
  echo "=== lintian"
  lintian --fail-on error --display-info "$runtime" "$dev" "$tools" "$bridge"
  lintian --fail-on error --display-info "$python"
else
  echo "=== lintian is not installable here: skipped"
fi

if [ "${1:-}" = "--install" ]; then
  scripts/deps.sh systemd                # systemd-analyze verifies the units
  echo "=== installing the packages"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -qq "./$runtime" "./$dev" "./$tools" "./$bridge"
  marlotx -v
  marlorx -v
  dpkg -L zel-marlo-tools libzel-marlo-dev | grep -E '/man[13]/|\.service$'
  systemd-analyze verify --man=no /usr/lib/systemd/system/marlorx.service
  [ "$(pkg-config --modversion zel_marlo)" = "$version" ] || fail "pkg-config does not find zel_marlo"
  cc -Wall -Wextra -Werror -o "$scratch/consumer" tests/packaging/consumer/consumer.c \
    $(pkg-config --cflags --libs zel_marlo)
  "$scratch/consumer"
  cmake -S tests/packaging/consumer -B "$scratch/cmake" -G Ninja >/dev/null
  cmake --build "$scratch/cmake" >/dev/null
  "$scratch/cmake/consumer"
  cc -Wall -Wextra -Werror -o "$scratch/psd_hello" \
    /usr/share/doc/libzel-marlo-dev/examples/psd_hello.c $(pkg-config --cflags --libs zel_marlo)
  "$scratch/psd_hello" >/dev/null
  apt-get install -y -qq "./$python"
  tests/packaging/python_package.sh installed

  echo "=== marlod"
  marlod --version
  sample=/usr/share/doc/marlod/examples/marlod.toml
  marlod --check-config -c "$sample"
  # The installed program with the installed sample, sending nothing: at start it puts the
  # fallback (the station's name) on air, which a dry run prints in the library's format. A dry
  # run writes no state file.
  station=$(sed -n '/^\[station\]/,/^\[/s/^name *= *"\(.*\)"$/\1/p' "$sample")
  [ -n "$station" ] || fail "no station name in $sample"
  cp "$sample" "$scratch/marlod.toml"
  marlod --dry-run -c "$scratch/marlod.toml" >"$scratch/marlod.out" 2>&1 &
  pid=$!
  for _ in $(seq 100); do
    grep -qx "title: -->$station" "$scratch/marlod.out" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$scratch/marlod.out"
  if ! grep -Eq '^PSD message of length [0-9]+ bytes printed on ' "$scratch/marlod.out" ||
    ! grep -qx "title: -->$station" "$scratch/marlod.out"; then
    kill -KILL "$pid" 2>/dev/null || true
    fail "marlod printed no fallback (\"$station\") within 10 s"
  fi
  kill -TERM "$pid"
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid"
    fail "marlod did not stop within 10 s of SIGTERM"
  fi
  status=0
  wait "$pid" || status=$?
  [ "$status" -eq 0 ] || fail "marlod stopped with status $status after SIGTERM"
  # The units as installed, and one bridge of the per-station template.
  systemd-analyze verify --man=no /usr/lib/systemd/system/marlod.service
  mkdir -p /etc/marlod
  created=
  [ -e /etc/marlod/test.toml ] || { cp "$sample" /etc/marlod/test.toml; created=yes; }
  systemd-analyze verify --man=no /usr/lib/systemd/system/marlod@test.service
  [ -z "$created" ] || rm -f /etc/marlod/test.toml
fi
echo "=== packages ready: $runtime $dev $tools $bridge"
