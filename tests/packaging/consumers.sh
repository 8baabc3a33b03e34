#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the build into a staging prefix and builds programs against it the ways a user of
# the library does: pkg-config (shared), pkg-config --static (static library), the CMake
# package, and the source tree through add_subdirectory. Each program round-trips a message
# and prints the header version, which must be the project's.
#   consumers.sh BUILD_DIR SOURCE_DIR WORK_DIR VERSION VERSION_NUMBER
set -euo pipefail
build=$1 src=$2 work=$3 version=$4 number=$5
here=$(cd "$(dirname "$0")" && pwd)
: "${CC:=cc}" "${CMAKE:=cmake}" "${GENERATOR:=Ninja}"

rm -rf "$work"
mkdir -p "$work"
stage=$work/stage

fail() { echo "FAIL: $*"; exit 1; }

# Runs a consumer and checks its report.
check_run() {
  local name=$1
  shift
  local out
  out=$("$@" 2>&1) || fail "$name exited with $?: $out"
  echo "$out" | sed "s/^/  [$name] /"
  grep -q "^round trip ok, header $version ($number)\$" <<<"$out" ||
    fail "$name: no round trip with header $version ($number)"
}

echo "== install into $stage"
"$CMAKE" --install "$build" --prefix "$stage" >/dev/null
"$CMAKE" --install "$build" --prefix "$stage" --component static >/dev/null
so=$(find "$stage" -name 'libzel_marloDLL.so.*.*' -type f)
[ -n "$so" ] || fail "no shared library installed"
libdir=$(dirname "$so")
[ -f "$libdir/libzel_marloDLL.a" ] || fail "no static library installed"
[ -f "$libdir/pkgconfig/zel_marlo.pc" ] || fail "no zel_marlo.pc installed"
# No installed text file may point back into the build or the source tree.
leaks=$(grep -rhoI -e "$build[^\"' ]*" -e "$src[^\"' ]*" "$stage" | grep -v "^$stage" || true)
[ -z "$leaks" ] || fail "installed files name the build or source tree: $leaks"

# The system's folders stay on pkg-config's path for id3tag and zlib.
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion zel_marlo)" = "$version" ] || fail "zel_marlo.pc has the wrong version"

echo "== pkg-config, shared library"
# shellcheck disable=SC2046
"$CC" -Wall -Wextra -Werror -o "$work/pc_shared" "$here/consumer/consumer.c" \
  $(pkg-config --cflags --libs zel_marlo)
readelf -d "$work/pc_shared" | grep -q 'NEEDED.*libzel_marloDLL\.so\.[0-9]' ||
  fail "pc_shared does not use the shared library"
check_run pc_shared env LD_LIBRARY_PATH="$libdir" "$work/pc_shared"

echo "== pkg-config --static, static library"
# shellcheck disable=SC2046
"$CC" -Wall -Wextra -Werror -static -o "$work/pc_static" "$here/consumer/consumer.c" \
  $(pkg-config --static --cflags --libs zel_marlo) 2>"$work/pc_static.log" ||
  { cat "$work/pc_static.log"; fail "static link"; }
if readelf -d "$work/pc_static" 2>/dev/null | grep -q NEEDED; then fail "pc_static is not static"; fi
check_run pc_static "$work/pc_static"

echo "== find_package(zel_marlo 4 REQUIRED)"
cmake_consumer() { # build-dir, extra options...
  local dir=$1
  shift
  "$CMAKE" -S "$here/consumer" -B "$dir" -G "$GENERATOR" -DCMAKE_C_COMPILER="$CC" \
    -DCMAKE_PREFIX_PATH="$stage" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
    -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF "$@"
}
cmake_consumer "$work/cmake" >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "configure"; }
"$CMAKE" --build "$work/cmake" >>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "build"; }
grep -q "zel_marlo_DIR:PATH=$stage/" "$work/cmake/CMakeCache.txt" || fail "package not found in the stage"
check_run find_package "$work/cmake/consumer"
# Only the same major version matches.
major=$(cut -d. -f1 <<<"$version")
minor=$(cut -d. -f2 <<<"$version")
for want in $((major - 1)) $((major + 1)) "$major.$((minor + 1))"; do
  if cmake_consumer "$work/cmake-$want" -DZEL_WANT="$want" >"$work/cmake-$want.log" 2>&1; then
    fail "find_package(zel_marlo $want) accepted version $version"
  fi
  grep -q "zel_marloConfig.cmake, version: $version" "$work/cmake-$want.log" ||
    { cat "$work/cmake-$want.log"; fail "find_package(zel_marlo $want) failed for another reason"; }
done

echo "== add_subdirectory of the source tree"
"$CMAKE" -S "$here/subdir" -B "$work/subdir" -G "$GENERATOR" -DCMAKE_C_COMPILER="$CC" \
  -DZEL_SOURCE_DIR="$src" >"$work/subdir.log" 2>&1 || { cat "$work/subdir.log"; fail "configure"; }
"$CMAKE" --build "$work/subdir" -j1 >>"$work/subdir.log" 2>&1 || { cat "$work/subdir.log"; fail "build"; }
check_run add_subdirectory "$work/subdir/consumer"
# Only the library and the consumer were built: no test, tool or example program.
built=$(find "$work/subdir" -type f -perm -u+x \( -name '*.so*' -o ! -name '*.*' \) \
  ! -path '*/CMakeFiles/*' -printf '%f\n' | sort | tr '\n' ' ')
[ "$built" = "consumer libzel_marloDLL.so.$version " ] || fail "add_subdirectory built: $built"
grep -qi gtest "$work/subdir/CMakeCache.txt" && fail "add_subdirectory looked for GoogleTest"
echo "all consumers built against the staged installation"
