#!/usr/bin/env bash
# Checks the Debian packages that dpkg-buildpackage wrote: Debian's hardening
# flags on every compile and link command of the build log, each package's
# files exactly, its control data and dependencies, the libraries' shlibs,
# symbols and ldconfig triggers, hardened and stripped binaries, and the
# packaged program and Python module running on the packaged libraries.
#
#   package_test.sh DIR LOG    (DIR: the .deb files; LOG: dpkg-buildpackage's output)
set -euo pipefail
dir=$1 log=$2
version=$(dpkg-parsechangelog -l "$(dirname "$0")/../../debian/changelog" -S Version)
maintainer='Pellfold maintainers <maintainers@pellfold.example>'
libdir=usr/lib/$(dpkg-architecture -q DEB_HOST_MULTIARCH)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# dpkg-buildflags reached the compiler and the linker: every compile command
# fortifies and protects the stack, every link of a shared library or a
# program binds now.
compiles=$(grep -E '^\[[0-9]+/[0-9]+\] /usr/bin/(cc|c\+\+) .* -c ' "$log" || true)
[ -n "$compiles" ] || fail "no compile command in $log"
! grep -v -e '-D_FORTIFY_SOURCE=2' <<<"$compiles" | head -n 3 | grep . || fail "compiled without fortify"
! grep -v -e '-fstack-protector-strong' <<<"$compiles" | head -n 3 | grep . ||
  fail "compiled without the stack protector"
links=$(grep -E '^\[[0-9]+/[0-9]+\] : && /usr/bin/(cc|c\+\+) ' "$log" || true)
[ -n "$links" ] || fail "no link command in $log"
! grep -v -e '-Wl,-z,now' <<<"$links" | head -n 3 | grep . || fail "linked without -z now"

# Every file and link of each package, exactly (directories aside).
expected() {
  local doc="./usr/share/doc/$1"
  echo "$doc/changelog.gz"
  echo "$doc/copyright"
  case $1 in
    libpellfold1)
      echo "./$libdir/libpellfold.so.1 -> libpellfold.so.1.0.0.1"
      echo "./$libdir/libpellfold.so.1.0.0.1" ;;
    libpellfold-dev)
      echo "./usr/include/pellfold.h"
      for f in PellfoldConfig PellfoldConfigVersion PellfoldTargets-none PellfoldTargets; do
        echo "./$libdir/cmake/Pellfold/$f.cmake"
      done
      echo "./$libdir/libpellfold.so -> libpellfold.so.1"
      echo "./$libdir/pkgconfig/pellfold.pc"
      echo "$doc/examples/acbc_demo.c" ;;
    libacbc1)
      echo "./$libdir/libacbc.so.1 -> libacbc.so.1.1.0"
      echo "./$libdir/libacbc.so.1.1.0" ;;
    libacbc-dev)
      echo "./usr/include/acbc.h"
      echo "./$libdir/cmake/Pellfold/PellfoldAcbcTargets-none.cmake"
      echo "./$libdir/cmake/Pellfold/PellfoldAcbcTargets.cmake"
      echo "./$libdir/libacbc.so -> libacbc.so.1"
      echo "./$libdir/pkgconfig/acbc.pc"
      echo "./usr/share/man/man3/acbc.3.gz"
      echo "$doc/examples/acbc_host.c" ;;
    python3-pellfold)
      for f in __init__.py __main__.py _age.py _io.py _lib.py py.typed; do
        echo "./usr/lib/python3/dist-packages/pellfold/$f"
      done ;;
    pellfold)
      echo "./usr/bin/pellfold"
      echo "./usr/share/bash-completion/completions/pellfold"
      echo "./usr/share/fish/vendor_completions.d/pellfold.fish"
      echo "./usr/share/man/man1/pellfold.1.gz"
      echo "./usr/share/zsh/vendor-completions/_pellfold" ;;
  esac
}

declare -A deb
for name in libpellfold1 libpellfold-dev libacbc1 libacbc-dev pellfold python3-pellfold; do
  deb[$name]=$(find "$dir" -maxdepth 1 -name "${name}_${version}_*.deb")
  [ -n "${deb[$name]}" ] || fail "no ${name}_${version}_*.deb in $dir"
  dpkg-deb -c "${deb[$name]}" |
    awk '$1 !~ /^d/ { $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' | sort > "$tmp/has"
  expected "$name" | sort | diff -u - "$tmp/has" >&2 || fail "$name: contents differ"
  [ "$(dpkg-deb -f "${deb[$name]}" Package)" = "$name" ] || fail "$name: package name"
  [ "$(dpkg-deb -f "${deb[$name]}" Version)" = "$version" ] || fail "$name: version"
  [ "$(dpkg-deb -f "${deb[$name]}" Maintainer)" = "$maintainer" ] || fail "$name: maintainer"
  # shlibs, symbols and an ldconfig trigger for the libraries; byte-compiling
  # scripts (dh_python3's) for the Python module; no maintainer scripts
  # elsewhere.
  dpkg-deb -e "${deb[$name]}" "$tmp/control-$name"
  controls=$(cd "$tmp/control-$name" && ls | tr '\n' ' ')
  case $name in
    lib*[0-9]) [ "$controls" = "control md5sums shlibs symbols triggers " ] ;;
    python3-*) [ "$controls" = "control md5sums postinst prerm " ] ;;
    *) [ "$controls" = "control md5sums " ] ;;
  esac || fail "$name: control files are: $controls"
  dpkg-deb -x "${deb[$name]}" "$tmp/root"
done

control=$tmp/control-libpellfold1
[ "$(cat "$control/shlibs")" = "libpellfold 1 libpellfold1 (>= 1.0.0.1)" ] || fail "shlibs"
[ "$(grep -c '^ AES[A-Za-z]*@Base 1\.0\.0\.1$' "$control/symbols")" = 2 ] || fail "symbols"
grep -qx 'activate-noawait ldconfig' "$control/triggers" || fail "triggers"
dpkg-deb -f "${deb[libpellfold1]}" Depends | grep -q '^libc6 ' || fail "libpellfold1 depends on libc6"
[ "$(dpkg-deb -f "${deb[libpellfold-dev]}" Depends)" = "libpellfold1 (= $version)" ] ||
  fail "-dev depends"
control=$tmp/control-libacbc1
[ "$(cat "$control/shlibs")" = "libacbc 1 libacbc1 (>= 1.0.0.1)" ] || fail "libacbc1 shlibs"
# The symbols file lists exactly what the library exports: the ACBC_1.0
# functions since 1.0.0.1, the ACBC_1.1 ones since this package's version.
nm -D --defined-only "$tmp/root/$libdir/libacbc.so.1.1.0" | awk '{print " " $NF}' |
  sed -E 's/@@?/@/; s/ (ACBC_1\.[01])$/ \1@\1/' |
  awk -v v11="$version" '{print $0 " " ($1 ~ /@ACBC_1\.0$/ ? "1.0.0.1" : v11)}' | sort > "$tmp/exported"
grep '^ ' "$control/symbols" | sort | diff -u - "$tmp/exported" >&2 || fail "libacbc1 symbols"
for node in ACBC_1.0 ACBC_1.1; do
  grep -q "@$node " "$tmp/exported" || fail "libacbc1 exports nothing under $node"
done
grep -qx 'activate-noawait ldconfig' "$control/triggers" || fail "libacbc1 triggers"
dpkg-deb -f "${deb[libacbc1]}" Depends | grep -q '^libc6 ' || fail "libacbc1 depends on libc6"
[ "$(dpkg-deb -f "${deb[libacbc-dev]}" Depends)" = \
  "libacbc1 (= $version), libpellfold-dev (= $version)" ] || fail "libacbc-dev depends"
# The program does its file work through libacbc.so.1.
dpkg-deb -f "${deb[pellfold]}" Depends | grep -Eq '^libacbc1 \(>= 1\.0\.0\.1\), libc6 .*libstdc\+\+6' ||
  fail "pellfold depends: $(dpkg-deb -f "${deb[pellfold]}" Depends)"
[ "$(dpkg-deb -f "${deb[python3-pellfold]}" Architecture)" = all ] || fail "python3-pellfold arch"
dpkg-deb -f "${deb[python3-pellfold]}" Depends | grep -Eq '^libacbc1 \(>= 1\.0\.0\.1\), python3:any' ||
  fail "python3-pellfold depends: $(dpkg-deb -f "${deb[python3-pellfold]}" Depends)"

# Stripped, bound now, and the program position independent.
for elf in "$libdir/libpellfold.so.1.0.0.1" "$libdir/libacbc.so.1.1.0" usr/bin/pellfold; do
  ! readelf -S "$tmp/root/$elf" | grep -Eq '\.(symtab|debug_info|comment)' || fail "$elf not stripped"
  readelf -d "$tmp/root/$elf" | grep -q 'FLAGS.*BIND_NOW' || fail "$elf not bound now"
done
readelf -d "$tmp/root/usr/bin/pellfold" | grep -q 'FLAGS_1.*PIE' || fail "pellfold is not PIE"
for link in libpellfold.so libacbc.so; do
  [ -e "$tmp/root/$libdir/$link" ] || fail "development link $link dangles"
done
LD_LIBRARY_PATH="$tmp/root/$libdir" "$tmp/root/usr/bin/pellfold" --version |
  grep -qx "pellfold $version" || fail "packaged program"
PYTHONPATH="$tmp/root/usr/lib/python3/dist-packages" PYTHONDONTWRITEBYTECODE=1 \
  PELLFOLD_LIBACBC="$tmp/root/$libdir/libacbc.so.1" python3 -c \
  'import pellfold; assert pellfold.decrypt(pellfold.encrypt(b"x", password="p"), password="p") == b"x"' ||
  fail "packaged Python module"
echo "packages ok: $(cd "$dir" && ls ./*.deb | sed 's|^\./||' | tr '\n' ' ')"
