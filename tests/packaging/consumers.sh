#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds host programs against
# that installation and runs them: with find_package (the shared and the
# static library) and with pkg-config (the shared library, and the archive
# with what `pkg-config --static` adds). Each must report the project's
# version, link the library it asked for, and, given an example program,
# score it as the installed CLI does.
#
# consumers.sh BUILD_DIR SCRATCH_DIR VERSION CXX "EXTRA_FLAGS" [EXAMPLE.exe]
set -euo pipefail
build=$1 scratch=$2 version=$3 cxx=$4 flags=$5 example=${6:-}
here=$(cd "$(dirname "$0")" && pwd)

fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$scratch"
mkdir -p "$scratch"
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >"$scratch/install.log"
data=$prefix/share/quillmark/Data
pc=$(find "$prefix" -path '*/pkgconfig/quillmark.pc')
[ -n "$pc" ] || fail "no quillmark.pc installed under $prefix"
libdir=$(dirname "$(dirname "$pc")")

# What the installed CLI says of the example: "FILE: 12.3% ...".
expected=
if [ -n "$example" ] && [ -f "$example" ]; then
  line=$("$prefix/bin/quillmark" scan --no-summary --no-progress "$example" | head -n 1) || true
  rest=${line#"$example: "}
  [ "$rest" != "$line" ] && [[ $rest =~ ^[0-9.]+% ]] || fail "the installed CLI gave no verdict: $line"
  expected="$example: ${rest%% *}"
fi

# run NAME SHOULD_NEED_SHARED PROGRAM: checks the output and the linkage.
run() {
  local name=$1 shared=$2 program=$3 out
  out=$(LD_LIBRARY_PATH=$libdir "$program" ${expected:+"$example" "$data"}) ||
    fail "$name: the program failed"
  [ "$(sed -n 1p <<<"$out")" = "quillmark $version" ] ||
    fail "$name: expected 'quillmark $version', got: $out"
  if [ -n "$expected" ]; then
    [ "$(sed -n 2p <<<"$out")" = "$expected" ] ||
      fail "$name: expected '$expected' as the CLI says, got: $(sed -n 2p <<<"$out")"
  fi
  if readelf -d "$program" | grep -q 'NEEDED.*libquillmark\.so'; then
    [ "$shared" = yes ] || fail "$name: linked the shared library, not the archive"
  else
    [ "$shared" = no ] || fail "$name: did not link libquillmark.so"
  fi
  echo "ok: $name"
}

for target in quillmark quillmark_static; do
  dir=$scratch/cmake-$target
  cmake -S "$here/consumer" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
    -DQM_CONSUMER_TARGET=quillmark::$target >"$dir.log" 2>&1 || { cat "$dir.log"; fail "find_package, $target"; }
  cmake --build "$dir" >>"$dir.log" 2>&1 || { cat "$dir.log"; fail "build against quillmark::$target"; }
  [ $target = quillmark ] && shared=yes || shared=no
  run "find_package quillmark::$target" $shared "$dir/consumer"
done

# A host of the shared library needs none of the static library's
# dependencies: without SQLite's development files the package is still found.
dir=$scratch/cmake-no-sqlite
cmake -S "$here/consumer" -B "$dir" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_DISABLE_FIND_PACKAGE_SQLite3=ON >"$dir.log" 2>&1 ||
  { cat "$dir.log"; fail "find_package failed for the shared library without SQLite3"; }
grep -q 'static library left out, missing: SQLite3' "$dir.log" || fail "no word of the static library left out"
echo "ok: find_package without the static library's dependencies"

export PKG_CONFIG_PATH=$(dirname "$pc")${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}
[ "$(pkg-config --modversion quillmark)" = "$version" ] || fail "pkg-config --modversion"
# shellcheck disable=SC2046,SC2086
"$cxx" -std=c++20 $flags "$here/consumer/main.cpp" -o "$scratch/pc-shared" \
  $(pkg-config --cflags --libs quillmark) || fail "build with pkg-config"
run "pkg-config" yes "$scratch/pc-shared"
# The shared library lies beside the archive: a static host names the archive
# and takes the rest of what `--static` gives.
static_libs=$(pkg-config --static --libs quillmark)
static_libs=${static_libs/-lquillmark/-l:libquillmark.a}
# shellcheck disable=SC2046,SC2086
"$cxx" -std=c++20 $flags "$here/consumer/main.cpp" -o "$scratch/pc-static" \
  $(pkg-config --cflags quillmark) $static_libs || fail "build with pkg-config --static"
run "pkg-config --static" no "$scratch/pc-static"
