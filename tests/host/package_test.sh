#!/usr/bin/env bash
# Builds the Debian package with CPack and checks its contents and control
# data, then runs the program from the unpacked package.
#
#   package_test.sh CPACK BUILD_DIR
set -euo pipefail
cpack=$1 build=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && "$cpack" -G DEB -B "$tmp" >"$tmp/cpack.log" 2>&1) ||
  { cat "$tmp/cpack.log" >&2; fail "cpack"; }
deb=$(find "$tmp" -maxdepth 1 -name 'pellfold_1.0.0.1_*.deb')
[ -n "$deb" ] || fail "no pellfold_1.0.0.1_*.deb in $(ls "$tmp")"

dpkg-deb -c "$deb" > "$tmp/contents"
expect() { grep -Eq "$1" "$tmp/contents" || fail "package lacks $1"; }
expect ' \./usr/bin/pellfold$'
expect ' \./usr/lib/([^/]+/)?libpellfold\.so\.1\.0\.0\.1$'
expect ' \./usr/lib/([^/]+/)?libpellfold\.so\.1 -> libpellfold\.so\.1\.0\.0\.1$'
expect ' \./usr/lib/([^/]+/)?libpellfold\.so -> libpellfold\.so\.1$'
expect ' \./usr/include/pellfold\.h$'
expect ' \./usr/share/man/man1/pellfold\.1\.gz$'
expect ' \./usr/lib/([^/]+/)?pkgconfig/pellfold\.pc$'
expect ' \./usr/lib/([^/]+/)?cmake/Pellfold/PellfoldConfig\.cmake$'

[ "$(dpkg-deb -f "$deb" Package)" = pellfold ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = 1.0.0.1 ] || fail "package version"
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "no libc6 dependency: shlibdeps did not run"
dpkg-deb -I "$deb" shlibs | grep -q '^libpellfold 1 ' || fail "no shlibs entry"

dpkg-deb -x "$deb" "$tmp/root"
"$tmp/root/usr/bin/pellfold" --version | grep -qx 'pellfold 1.0.0.1' || fail "packaged program"
echo "package ok: $(basename "$deb")"
