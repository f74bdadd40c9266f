#!/usr/bin/env bash
# Installs the build into a temporary prefix, checks what landed there, and
# builds and runs two consumers against it: one through find_package(Pellfold),
# one through pkg-config. The installed program then reads the file that the
# installed library wrote.
#
#   install_test.sh CMAKE BUILD_DIR SOURCE_DIR C_COMPILER GENERATOR
set -euo pipefail
cmake=$1 build=$2 source=$3 cc=$4 generator=$5
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

fail() { echo "FAIL: $*" >&2; exit 1; }
# True when the program loads libpellfold.so.1 (or the library named second)
# from the installed tree.
loads_installed() {
  local lib=${2:-libpellfold} loaded
  loaded=$(ldd "$1" | awk -v lib="$lib.so.1" '$1 == lib { print $3 }')
  [ -n "$loaded" ] && [ "$(realpath "$loaded")" = "$(realpath "$libdir/$lib.so.1")" ]
}

# A libacbc program (examples/acbc_host.c) encrypts a file in DIR, refuses
# a wrong password and decrypts it back.
acbc_round_trip() {
  local program=$1 dir=$2
  mkdir "$dir" && head -c 3000 /dev/urandom > "$dir/data" && cp "$dir/data" "$dir/copy"
  "$program" encrypt 'pass word' "$dir/data" | grep -qx "$dir/data: ok" || return 1
  rm "$dir/data"
  { "$program" decrypt wrong "$dir/data.acbc" || true; } | grep -q 'wrong_password' || return 1
  [ ! -e "$dir/data" ] && "$program" decrypt 'pass word' "$dir/data.acbc" >/dev/null &&
    cmp -s "$dir/data" "$dir/copy"
}

"$cmake" --install "$build" --prefix "$prefix" >/dev/null

libdir=$(dirname "$(find "$prefix" -name libpellfold.so.1.0.0.1)")
[ -f "$libdir/libpellfold.so.1.0.0.1" ] || fail "library not installed"
[ "$(readlink "$libdir/libpellfold.so.1")" = libpellfold.so.1.0.0.1 ] || fail "SONAME link"
[ "$(readlink "$libdir/libpellfold.so")" = libpellfold.so.1 ] || fail "development link"
readelf -d "$libdir/libpellfold.so.1.0.0.1" | grep -q 'SONAME.*\[libpellfold\.so\.1\]' ||
  fail "SONAME is not libpellfold.so.1"
[ "$(readlink "$libdir/libacbc.so.1")" = libacbc.so.1.1.0 ] || fail "libacbc SONAME link"
[ "$(readlink "$libdir/libacbc.so")" = libacbc.so.1 ] || fail "libacbc development link"
readelf -d "$libdir/libacbc.so.1.1.0" | grep -q 'SONAME.*\[libacbc\.so\.1\]' ||
  fail "SONAME is not libacbc.so.1"
for f in include/pellfold.h include/acbc.h bin/pellfold share/man/man1/pellfold.1.gz \
         share/man/man3/acbc.3.gz share/bash-completion/completions/pellfold \
         share/fish/vendor_completions.d/pellfold.fish; do
  [ -f "$prefix/$f" ] || fail "$f not installed"
done
# The zsh folder is a build option (site-functions or vendor-completions).
[ -n "$(find "$prefix/share/zsh" -name _pellfold)" ] || fail "zsh completion not installed"
for f in pkgconfig/pellfold.pc pkgconfig/acbc.pc cmake/Pellfold/PellfoldAcbcTargets.cmake \
         cmake/Pellfold/PellfoldConfig.cmake \
         cmake/Pellfold/PellfoldConfigVersion.cmake cmake/Pellfold/PellfoldTargets.cmake; do
  [ -f "$libdir/$f" ] || fail "$f not installed"
done
# The installed program, on the installed libacbc.so.1: a build for another
# prefix than /usr finds it through its relative RUNPATH; one for /usr (as
# the Debian package build) has none and is pointed at it here.
env=()
readelf -d "$prefix/bin/pellfold" | grep -q RUNPATH || env=(LD_LIBRARY_PATH="$libdir")
program() { env "${env[@]}" "$prefix/bin/pellfold" "$@"; }
loaded=$(env "${env[@]}" ldd "$prefix/bin/pellfold" | awk '/libacbc\.so\.1 / { print $3 }')
[ -n "$loaded" ] && [ "$(realpath "$loaded")" = "$(realpath "$libdir/libacbc.so.1")" ] ||
  fail "the program does not load the installed libacbc.so.1"
program --version | grep -qx 'pellfold 1.0.0.1' || fail "--version"

# The manual page renders, and groff has nothing to complain about.
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$prefix/share/man/man1/pellfold.1.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "manual page warnings: $warnings"
LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$prefix/share/man/man1/pellfold.1.gz" 2>/dev/null |
  grep -q 'pellfold: decrypt: notes.acbc: not an ACBC file' || fail "manual page text"
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$prefix/share/man/man3/acbc.3.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "acbc(3) warnings: $warnings"
LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$prefix/share/man/man3/acbc.3.gz" 2>/dev/null |
  grep -q 'ACBC_E_WRONG_PASSWORD' || fail "acbc(3) text"

# Consumer 1: find_package(Pellfold) and Pellfold::pellfold.
"$cmake" -S "$source/tests/consumers/cmake" -B "$tmp/cmake-consumer" -G "$generator" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
"$cmake" --build "$tmp/cmake-consumer" >/dev/null
mkdir "$tmp/run-cmake"
[ "$("$tmp/cmake-consumer/consumer" "$tmp/run-cmake")" = "round trip ok" ] || fail "cmake consumer"
# The consumer ran against the installed library, not the build tree's.
loads_installed "$tmp/cmake-consumer/consumer" ||
  fail "cmake consumer does not load the installed library"
acbc_round_trip "$tmp/cmake-consumer/acbc_consumer" "$tmp/run-cmake-acbc" ||
  fail "cmake libacbc consumer"
loads_installed "$tmp/cmake-consumer/acbc_consumer" libacbc ||
  fail "cmake libacbc consumer does not load the installed library"

# Consumer 2: pkg-config.
PKG_CONFIG_PATH="$libdir/pkgconfig" "$source/tests/consumers/pkgconfig/build.sh" \
  "$cc" "$tmp/pc-consumer"
[ "$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --modversion pellfold)" = 1.0.0.1 ] ||
  fail "pkg-config version"
mkdir "$tmp/run-pc"
[ "$("$tmp/pc-consumer" "$tmp/run-pc")" = "round trip ok" ] || fail "pkg-config consumer"
loads_installed "$tmp/pc-consumer" ||
  fail "pkg-config consumer does not load the installed library"
PKG_CONFIG_PATH="$libdir/pkgconfig" "$source/tests/consumers/pkgconfig/build.sh" \
  "$cc" "$tmp/pc-acbc-consumer" acbc
[ "$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --modversion acbc)" = 1.1.0 ] ||
  fail "acbc.pc version"
acbc_round_trip "$tmp/pc-acbc-consumer" "$tmp/run-pc-acbc" || fail "pkg-config libacbc consumer"
loads_installed "$tmp/pc-acbc-consumer" libacbc ||
  fail "pkg-config libacbc consumer does not load the installed library"

# Consumer 3: this source tree as a subproject of another.
"$cmake" -S "$source/tests/consumers/subproject" -B "$tmp/sub" -G "$generator" \
  -DCMAKE_C_COMPILER="$cc" -DPELLFOLD_SOURCE="$source" >/dev/null || fail "subproject configure"
"$cmake" --build "$tmp/sub" >/dev/null || fail "subproject build"
acbc_round_trip "$tmp/sub/acbc_consumer" "$tmp/run-sub" || fail "subproject consumer"
# The parent's install carries both libraries and their headers.
"$cmake" --install "$tmp/sub" --prefix "$tmp/sub-prefix" >/dev/null || fail "subproject install"
for f in parent-lib/libacbc.so.1 parent-lib/libpellfold.so.1 include/acbc.h include/pellfold.h; do
  [ -e "$tmp/sub-prefix/$f" ] || fail "the parent's install has no $f"
done

# Consumer 4: a static libacbc.a, installed with an absolute library folder;
# the consumers link it (and libsodium) through the CMake package and
# through pkg-config --static.
abs=$tmp/abs-prefix
"$cmake" -S "$source" -B "$tmp/static" -G "$generator" -DCMAKE_C_COMPILER="$cc" \
  -DPELLFOLD_ACBC_STATIC=ON -DPELLFOLD_BUILD_PROGRAM=OFF -DPELLFOLD_BUILD_EXAMPLES=OFF \
  -DCMAKE_INSTALL_PREFIX="$abs" -DCMAKE_INSTALL_LIBDIR="$abs/lib" >/dev/null ||
  fail "static configure"
"$cmake" --build "$tmp/static" >/dev/null || fail "static build"
"$cmake" --install "$tmp/static" >/dev/null || fail "static install"
[ -f "$abs/lib/libacbc.a" ] && [ ! -e "$abs/lib/libacbc.so" ] || fail "libacbc.a not installed"
for package in pellfold acbc; do
  [ "$(PKG_CONFIG_PATH="$abs/lib/pkgconfig" pkg-config --variable=libdir $package)" = "$abs/lib" ] ||
    fail "$package.pc: libdir is not the absolute $abs/lib"
done
"$cmake" -S "$source/tests/consumers/cmake" -B "$tmp/static-consumer" -G "$generator" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$abs" >/dev/null || fail "static cmake consumer"
"$cmake" --build "$tmp/static-consumer" >/dev/null || fail "static cmake consumer build"
acbc_round_trip "$tmp/static-consumer/acbc_consumer" "$tmp/run-static" ||
  fail "static cmake libacbc consumer"
! ldd "$tmp/static-consumer/acbc_consumer" | grep -q libacbc || fail "loads a shared libacbc"
PKG_CONFIG_PATH="$abs/lib/pkgconfig" "$source/tests/consumers/pkgconfig/build.sh" \
  "$cc" "$tmp/pc-static-consumer" acbc --static || fail "pkg-config static consumer build"
acbc_round_trip "$tmp/pc-static-consumer" "$tmp/run-pc-static" || fail "pkg-config static consumer"

# The installed program and the installed library agree, both ways.
program decrypt -q --pass 'pass:consumer password' \
  "$tmp/run-pc/plain.acbc" "$tmp/run-pc/again" || fail "program cannot decrypt"
cmp "$tmp/run-pc/plain" "$tmp/run-pc/again" || fail "program decrypted differently"
program encrypt -q --pass 'pass:consumer password' \
  "$tmp/run-pc/plain" "$tmp/run-pc/program.acbc" || fail "program cannot encrypt"
cmp "$tmp/run-pc/plain.acbc" "$tmp/run-pc/program.acbc" || fail "program encrypted differently"
echo "install and consumers ok"
