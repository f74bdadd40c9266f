#!/usr/bin/env bash
# Builds the six Debian packages with CPack and checks their contents,
# control data and lintian's verdict, then runs the program and the Python
# package from the unpacked packages.
#
#   package_test.sh CPACK BUILD_DIR LIBDIR     (LIBDIR: lib/<triplet>)
set -euo pipefail
cpack=$1 build=$2 libdir=$3
version=1.0.0.1-1
maintainer='Pellfold maintainers <maintainers@pellfold.example>'
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && "$cpack" -G DEB -B "$tmp" >"$tmp/cpack.log" 2>&1) ||
  { cat "$tmp/cpack.log" >&2; fail "cpack"; }

# Every file and link of each package, exactly (directories aside).
expected() {
  local doc="./usr/share/doc/$1"
  echo "$doc/changelog.Debian.gz"
  echo "$doc/copyright"
  case $1 in
    libpellfold1)
      echo "./usr/$libdir/libpellfold.so.1 -> libpellfold.so.1.0.0.1"
      echo "./usr/$libdir/libpellfold.so.1.0.0.1" ;;
    libpellfold-dev)
      echo "./usr/include/pellfold.h"
      for f in PellfoldConfig PellfoldConfigVersion PellfoldTargets-BUILDTYPE PellfoldTargets; do
        echo "./usr/$libdir/cmake/Pellfold/$f.cmake"
      done
      echo "./usr/$libdir/libpellfold.so -> libpellfold.so.1"
      echo "./usr/$libdir/pkgconfig/pellfold.pc" ;;
    libacbc1)
      echo "./usr/$libdir/libacbc.so.1 -> libacbc.so.1.0.0"
      echo "./usr/$libdir/libacbc.so.1.0.0" ;;
    libacbc-dev)
      echo "./usr/include/acbc.h"
      for f in PellfoldAcbcTargets-BUILDTYPE PellfoldAcbcTargets; do
        echo "./usr/$libdir/cmake/Pellfold/$f.cmake"
      done
      echo "./usr/$libdir/libacbc.so -> libacbc.so.1"
      echo "./usr/$libdir/pkgconfig/acbc.pc"
      echo "./usr/share/man/man3/acbc.3.gz" ;;
    pellfold)
      echo "./usr/bin/pellfold"
      echo "./usr/share/man/man1/pellfold.1.gz" ;;
    python3-pellfold)
      for f in __init__.py __main__.py _lib.py py.typed; do
        echo "./usr/lib/python3/dist-packages/pellfold/$f"
      done ;;
  esac
}

for name in libpellfold1 libpellfold-dev pellfold libacbc1 libacbc-dev python3-pellfold; do
  deb=$(find "$tmp" -maxdepth 1 -name "${name}_${version}_*.deb")
  [ -n "$deb" ] || fail "no ${name}_${version}_*.deb in $(ls "$tmp")"
  debs+=("$deb")
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' |
    sed -E 's/(Pellfold(Acbc)?Targets)-[a-z]+\.cmake$/\1-BUILDTYPE.cmake/' | sort > "$tmp/has"
  expected "$name" | sort | diff -u - "$tmp/has" >&2 || fail "$name: contents differ"

  [ "$(dpkg-deb -f "$deb" Package)" = "$name" ] || fail "$name: package name"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$name: version"
  [ "$(dpkg-deb -f "$deb" Maintainer)" = "$maintainer" ] || fail "$name: maintainer"
  # Control files: shlibs, symbols and an ldconfig trigger for the library,
  # and no maintainer scripts anywhere.
  dpkg-deb -e "$deb" "$tmp/control-$name"
  controls=$(cd "$tmp/control-$name" && ls | tr '\n' ' ')
  case $name in
    libpellfold1 | libacbc1) [ "$controls" = "control md5sums shlibs symbols triggers " ] ;;
    *) [ "$controls" = "control md5sums " ] ;;
  esac || fail "$name: control files are: $controls"

  dpkg-deb -x "$deb" "$tmp/root"
  zcat "$tmp/root/usr/share/doc/$name/changelog.Debian.gz" | head -n 1 |
    grep -qx "pellfold ($version) unstable; urgency=medium" || fail "$name: changelog"
  head -n 1 "$tmp/root/usr/share/doc/$name/copyright" |
    grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "$name: copyright format"
  grep -qx 'License: Expat' "$tmp/root/usr/share/doc/$name/copyright" || fail "$name: licence"
done

control=$tmp/control-libpellfold1
[ "$(cat "$control/shlibs")" = "libpellfold 1 libpellfold1 (>= 1.0.0.1)" ] || fail "shlibs"
[ "$(grep -c '^ AES[A-Za-z]*@Base 1\.0\.0\.1$' "$control/symbols")" = 2 ] || fail "symbols"
[ "$(cat "$control/triggers")" = "activate-noawait ldconfig" ] || fail "triggers"
dpkg-deb -f "${debs[0]}" Depends | grep -q '^libc6 ' || fail "libpellfold1 depends on libc6"
[ "$(dpkg-deb -f "${debs[1]}" Depends)" = "libpellfold1 (= $version)" ] || fail "-dev depends"
control=$tmp/control-libacbc1
[ "$(cat "$control/shlibs")" = "libacbc 1 libacbc1 (>= 1.0.0.1)" ] || fail "libacbc1 shlibs"
# The symbols file lists exactly what the library exports.
nm -D --defined-only "$tmp/root/usr/$libdir/libacbc.so.1.0.0" | awk '{print " " $NF}' |
  sed -E 's/@@?/@/; s/ (ACBC_1\.0)$/ \1@\1/; s/$/ 1.0.0.1/' | sort > "$tmp/exported"
grep '^ ' "$control/symbols" | sort | diff -u - "$tmp/exported" >&2 || fail "libacbc1 symbols"
[ "$(cat "$control/triggers")" = "activate-noawait ldconfig" ] || fail "libacbc1 triggers"
dpkg-deb -f "${debs[3]}" Depends | grep -q '^libc6 ' || fail "libacbc1 depends on libc6"
[ "$(dpkg-deb -f "${debs[4]}" Depends)" = "libacbc1 (= $version), libpellfold-dev (= $version)" ] ||
  fail "libacbc-dev depends"
# The program links the library's components statically, and the C++ runtime.
dpkg-deb -f "${debs[2]}" Depends | grep -Eq '^libc6 .*libstdc\+\+6' || fail "pellfold depends"

for elf in "usr/$libdir/libpellfold.so.1.0.0.1" "usr/$libdir/libacbc.so.1.0.0" usr/bin/pellfold; do
  ! readelf -S "$tmp/root/$elf" | grep -Eq '\.(symtab|debug_info)' || fail "$elf not stripped"
done
[ -e "$tmp/root/usr/$libdir/libpellfold.so" ] || fail "development link dangles"
[ -e "$tmp/root/usr/$libdir/libacbc.so" ] || fail "libacbc development link dangles"
[ "$(dpkg-deb -f "${debs[5]}" Architecture)" = all ] || fail "python3-pellfold architecture"
[ "$(dpkg-deb -f "${debs[5]}" Depends)" = "libacbc1, python3 (>= 3.9)" ] ||
  fail "python3-pellfold depends"
# The packaged module works on the packaged libacbc.
PYTHONPATH="$tmp/root/usr/lib/python3/dist-packages" PYTHONDONTWRITEBYTECODE=1 \
  PELLFOLD_LIBACBC="$tmp/root/usr/$libdir/libacbc.so.1" python3 -c \
  'import pellfold; assert pellfold.decrypt(pellfold.encrypt(b"x", password="p"), password="p") == b"x"' ||
  fail "packaged Python module"
"$tmp/root/usr/bin/pellfold" --version | grep -qx 'pellfold 1.0.0.1' || fail "packaged program"

if command -v lintian >/dev/null; then
  status=0
  lintian --fail-on error "${debs[@]}" >"$tmp/lintian" 2>&1 || status=$?
  grep -v 'root privileges' "$tmp/lintian" || true
  [ "$status" = 0 ] || fail "lintian reports errors"
else
  echo "lintian not installed: its check skipped"
fi
echo "packages ok: ${debs[*]##*/}"
