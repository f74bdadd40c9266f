#!/usr/bin/env bash
# A configure on a machine with only the build tools: GoogleTest, OpenSSL and
# Google Benchmark hidden. It succeeds with one line saying the tests are
# skipped and builds the library and the program, whose binaries have no
# empty RUNPATH entry; asking for the tests explicitly fails instead.
#
#   nodeps_test.sh CMAKE SOURCE_DIR GENERATOR C_COMPILER CXX_COMPILER
set -euo pipefail
cmake=$1 source=$2 generator=$3 cc=$4 cxx=$5
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

hide=(-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_OpenSSL=ON
      -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
      -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx")
"$cmake" -S "$source" -B "$tmp/build" -G "$generator" "${hide[@]}" >"$tmp/log" 2>&1 ||
  { cat "$tmp/log" >&2; fail "configure without the test dependencies"; }
[ "$(grep -c 'Tests skipped' "$tmp/log")" = 1 ] || { cat "$tmp/log" >&2; fail "no skip line"; }
"$cmake" --build "$tmp/build" >"$tmp/log" 2>&1 || { cat "$tmp/log" >&2; fail "build"; }
"$tmp/build/host/pellfold" --version | grep -qx 'pellfold 1.0.0.1' || fail "program"
[ -f "$tmp/build/src/libpellfold.so.1.0.0.1" ] || fail "library"
# No binary built has an empty RUNPATH or RPATH entry (also none at either
# end): the dynamic loader would search the current folder for libraries.
while IFS= read -r -d '' file; do
  path=$(readelf -d "$file" 2>/dev/null | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]$/\2/p')
  case ":$path:" in ::) ;; *::*) fail "$file: empty entry in RUNPATH '$path'" ;; esac
done < <(find "$tmp/build" -type f \( -perm -u+x -o -name '*.so*' \) -print0)

! "$cmake" -S "$source" -B "$tmp/required" -G "$generator" "${hide[@]}" \
  -DPELLFOLD_BUILD_TESTS=ON >"$tmp/log" 2>&1 || fail "tests required without their dependencies"
echo "configure and build without test dependencies ok"
