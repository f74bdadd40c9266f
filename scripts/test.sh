#!/usr/bin/env bash
# Installs what is missing, then runs the test stages in order, each timed:
#   format           every C and C++ source follows .clang-format
#   plain            build (warnings as errors) and run every test
#   asan-ubsan       the tests under AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan             the tests labelled "threads" under ThreadSanitizer
#   portable-aes     every test on a -DPELLFOLD_HARDWARE_CRYPTO=OFF build (the
#                    portable AES record and SHA-256 paths only); same
#                    transcript as plain
#   s390x            the portability check cross-built for big-endian s390x,
#                    run under qemu: it must print the native transcript
#   arm              the same for aarch64 (also forced onto the portable
#                    record path) and for 32-bit armhf
#   valgrind         memcheck over acbc_demo and the program's commands
#   static-analysis  clang-tidy (.clang-tidy) and cppcheck: no finding allowed
#   ct               constant time: the record paths (those the CPU under
#                    valgrind reports, and the portable one) and libacbc's
#                    password check run under memcheck with key, password and
#                    plaintext marked undefined; no branch or memory index may
#                    depend on them. The table-driven engine runs through the
#                    same harness and must be reported, to show the check works
#   debian           dpkg-buildpackage on a copy of the tree (hardened, the
#                    tests run), the packages' checks, lintian, and the
#                    autopkgtests against the installed packages
#   fuzz             every libFuzzer target for 30 s (scripts/fuzz.sh 30)
#   faults           the program's and libacbc's file commands with each of
#                    their file calls failing in turn (EIO, ENOSPC), and
#                    encrypt -f / decrypt -f of 64 MiB and encrypt -r -f of 200
#                    files killed at 20 moments
# scripts/test.sh --stage NAME runs one stage (repeat for more), --list
# names them. Builds go to build-test/, never to build/.
set -euo pipefail
cd "$(dirname "$0")/.."

all_stages=(format plain asan-ubsan tsan portable-aes s390x arm valgrind static-analysis ct debian fuzz faults)
selected=()
while [ $# -gt 0 ]; do
  case $1 in
    --list) printf '%s\n' "${all_stages[@]}"; exit 0 ;;
    --stage)
      [ $# -ge 2 ] && [[ " ${all_stages[*]} " == *" $2 "* ]] ||
        { echo "unknown stage '${2-}'; scripts/test.sh --list names them" >&2; exit 2; }
      selected+=("$2"); shift 2 ;;
    *) echo "usage: scripts/test.sh [--list | --stage NAME ...]" >&2; exit 2 ;;
  esac
done
[ ${#selected[@]} -gt 0 ] || selected=("${all_stages[@]}")

packages=(cmake ninja-build g++ pkg-config binutils libgtest-dev libgmock-dev
          libbenchmark-dev libssl-dev openssl coreutils
          util-linux dpkg-dev man-db clang-format lintian python3
          g++-s390x-linux-gnu qemu-user clang libclang-rt-14-dev
          g++-aarch64-linux-gnu g++-arm-linux-gnueabihf valgrind cppcheck clang-tidy
          debhelper dh-python autopkgtest bash-completion zsh fish
          libsodium-dev age zlib1g-dev strace)  # setsid/setpriv/prlimit, man -l
scripts/ensure-packages.sh "${packages[@]}"

jobs=$(nproc)

# The plain build serves the later stages too (native transcript, valgrind,
# compile_commands.json); each builds only the targets it needs.
plain_build() {
  cmake -S . -B build-test/plain -G Ninja -DPELLFOLD_WERROR=ON -DPELLFOLD_BUILD_TESTS=ON \
    -DPELLFOLD_BUILD_BENCHMARKS=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
  if [ $# -gt 0 ]; then
    cmake --build build-test/plain -j "$jobs" --target "$@"
  else
    cmake --build build-test/plain -j "$jobs"
  fi
}

stage_format() {
  find include src host examples bench tests \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print0 |
    xargs -0 clang-format --dry-run --Werror
}

stage_plain() {
  plain_build
  ctest --test-dir build-test/plain --output-on-failure -j "$jobs"
}

stage_asan-ubsan() {
  cmake -S . -B build-test/asan -G Ninja -DPELLFOLD_WERROR=ON -DPELLFOLD_BUILD_TESTS=ON \
    -DPELLFOLD_SANITIZE=address,undefined,alignment
  cmake --build build-test/asan -j "$jobs"
  # The >4 GiB digest tests and the install checks (which build the libraries
  # again) are labelled slow: they run in the plain build only.
  ctest --test-dir build-test/asan --output-on-failure -j "$jobs" -LE slow
}

stage_tsan() {
  cmake -S . -B build-test/tsan -G Ninja -DPELLFOLD_WERROR=ON -DPELLFOLD_BUILD_TESTS=ON \
    -DPELLFOLD_SANITIZE=thread
  # Only what the "threads" tests need.
  cmake --build build-test/tsan -j "$jobs" --target aestable_threads_test exports_threads_test \
    acbc_api_test
  ctest --test-dir build-test/tsan --output-on-failure -L threads
}

stage_portable-aes() {
  cmake -S . -B build-test/portable-aes -G Ninja -DPELLFOLD_WERROR=ON -DPELLFOLD_BUILD_TESTS=ON \
    -DPELLFOLD_HARDWARE_CRYPTO=OFF
  cmake --build build-test/portable-aes -j "$jobs"
  # The slow tests do not involve the record paths.
  ctest --test-dir build-test/portable-aes --output-on-failure -j "$jobs" -LE slow
  plain_build portable_check
  build-test/plain/tests/portability/portable_check > build-test/portable-native.txt
  build-test/portable-aes/tests/portability/portable_check > build-test/portable-aes/portable.txt
  diff build-test/portable-native.txt build-test/portable-aes/portable.txt
  echo "portable-aes: transcript equals the native one"
}

# cross_check NAME RUN...: cross-builds the portability check with
# cmake/toolchains/NAME.cmake, then for each RUN (an argument list, "" for
# none) runs it under the toolchain's emulator and compares its transcript
# with the native one.
cross_check() {
  local name=$1 dir=build-test/$1
  shift
  plain_build portable_check
  build-test/plain/tests/portability/portable_check > build-test/portable-native.txt
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$name.cmake" \
    -DPELLFOLD_WERROR=ON -DPELLFOLD_BUILD_TESTS=OFF -DPELLFOLD_BUILD_PORTABLE_CHECK=ON
  cmake --build "$dir" -j "$jobs" --target portable_check
  local emulator
  emulator=$(sed -n 's/^set(CMAKE_CROSSCOMPILING_EMULATOR \(.*\))$/\1/p' "cmake/toolchains/$name.cmake")
  for run in "$@"; do
    # $run unquoted: an empty word list adds no argument.
    "$emulator" "$dir/tests/portability/portable_check" $run > "$dir/portable.txt"
    diff build-test/portable-native.txt "$dir/portable.txt"
    echo "$name ${run:-(default)}: transcript equals the native one"
  done
}

stage_s390x() {
  cross_check s390x-linux-gnu ""
}

stage_arm() {
  # aarch64 runs once as dispatched (AES and SHA2 instructions where
  # present) and once forced onto the portable record and SHA-256 paths.
  cross_check aarch64-linux-gnu "" --portable
  cross_check armhf-linux-gnueabihf ""
}

stage_valgrind() {
  plain_build pellfold_host acbc_demo
  local dir=build-test/valgrind bin=build-test/plain
  rm -rf "$dir" && mkdir -p "$dir"
  local vg=(valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite)
  head -c 1500 README.md > "$dir/plain.txt"  # two records and a bit
  "${vg[@]}" "$bin/examples/acbc_demo" encrypt "$dir/plain.txt" "$dir/demo.acbc" 'memcheck pw'
  "${vg[@]}" "$bin/examples/acbc_demo" decrypt "$dir/demo.acbc" "$dir/demo.txt" 'memcheck pw'
  cmp "$dir/plain.txt" "$dir/demo.txt"
  local pellfold=("${vg[@]}" "$bin/host/pellfold")
  "${pellfold[@]}" encrypt -q --pass 'pass:memcheck pw' "$dir/plain.txt" "$dir/program.acbc"
  cmp "$dir/demo.acbc" "$dir/program.acbc"
  "${pellfold[@]}" decrypt -q --pass 'pass:memcheck pw' "$dir/program.acbc" "$dir/program.txt"
  cmp "$dir/plain.txt" "$dir/program.txt"
  "${pellfold[@]}" decrypt -q --pass 'pass:memcheck pw' "$dir/program.acbc" - < /dev/null |
    cmp - "$dir/plain.txt"
  "${pellfold[@]}" rekey -q --pass 'pass:memcheck pw' --new-pass 'pass:memcheck new' \
    "$dir/program.acbc"
  "${pellfold[@]}" verify --json --pass 'pass:memcheck new' - < "$dir/program.acbc" > /dev/null
  "${pellfold[@]}" inspect "$dir/program.acbc" > /dev/null
  "${pellfold[@]}" inspect --json "$dir/program.acbc" > /dev/null
  "${pellfold[@]}" hash md5 "$dir/plain.txt" > /dev/null
  "${pellfold[@]}" hash sha256 < "$dir/plain.txt" > /dev/null
  "${pellfold[@]}" hash hmac-md5 --key pass:key "$dir/plain.txt" > /dev/null
  echo "memcheck: no error, no definite leak"
}

stage_static-analysis() {
  plain_build pellfold_core  # configures and writes compile_commands.json
  local dir=build-test/static
  mkdir -p "$dir"
  # One entry per file of src/ and host/; cppcheck takes the whole list.
  python3 - build-test/plain/compile_commands.json "$dir/compile_commands.json" "$PWD" <<'EOF'
import json, sys
entries, root = json.load(open(sys.argv[1])), sys.argv[3]
keep, seen = [], set()
for e in entries:
    if e["file"].startswith((root + "/src/", root + "/host/")) and e["file"] not in seen:
        seen.add(e["file"])
        keep.append(e)
json.dump(keep, open(sys.argv[2], "w"), indent=1)
EOF
  local status=0
  run-clang-tidy -p build-test/plain -j "$jobs" -quiet "^$PWD/(src|host|examples)/" \
    > "$dir/clang-tidy.log" 2>&1 || status=1
  # The findings once each, without the colour codes run-clang-tidy adds.
  sed 's/\x1b\[[0-9;]*m//g' "$dir/clang-tidy.log" | grep -E '^/.*(warning|error):' | sort -u || true
  # missingIncludeSystem: system headers are not analysed, cppcheck knows
  # the standard library itself. useStlAlgorithm: a loop that returns at its
  # first match reads as well as std::find_if; a style preference, not a defect.
  cppcheck --project="$dir/compile_commands.json" --enable=warning,style,performance,portability \
    --suppress=missingIncludeSystem --suppress=useStlAlgorithm --inline-suppr \
    --error-exitcode=1 -q -j "$jobs" || status=1
  return $status
}

stage_ct() {
  plain_build ct_check
  local dir=build-test/ct bin=build-test/plain/tests/ct/ct_check
  rm -rf "$dir" && mkdir -p "$dir"
  local vg=(valgrind --error-exitcode=3 --suppressions=tests/ct/verdict.supp)
  local finding='Conditional jump or move depends on uninitialised|Use of uninitialised value'
  for mode in records acbc; do
    if ! "${vg[@]}" "$bin" "$mode" 2> "$dir/$mode.log" || grep -Eq "$finding" "$dir/$mode.log"; then
      cat "$dir/$mode.log"
      echo "ct: $mode: a branch or memory index depends on a secret (or a wrong result)"
      return 1
    fi
  done
  # The table engine indexes its tables by key and data: memcheck must say so.
  if "${vg[@]}" "$bin" table 2> "$dir/table.log"; then
    cat "$dir/table.log"
    echo "ct: the table-driven engine went unreported: the check does not work"
    return 1
  fi
  grep -Eq "$finding" "$dir/table.log"
  echo "ct: table-driven engine, as expected: $(grep -Ec "$finding" "$dir/table.log") findings," \
    "$(grep -Eo 'ERROR SUMMARY: [0-9]+ errors from [0-9]+ contexts' "$dir/table.log")"
  # The first finding's place (awk reads to the end: no broken pipe).
  awk -v f="$finding" '$0 ~ f { getline; sub(/^==[0-9]*== *at 0x[0-9A-F]*: /, "  first at "); print; exit }' "$dir/table.log"
  echo "ct: record paths and password check: no finding"
}

# The source package is built from a copy of the files git knows (as a
# fresh clone has them, edits not yet committed included), so that no build
# folder lands in it; dpkg-buildpackage writes the packages beside that copy.
# The copy sits in a folder of mode 0700 (as a home folder or any mktemp -d
# one may be), so that no test may rely on other users reaching the tree;
# the packages and logs are kept in build-test/debian.
stage_debian() {
  local dir=$PWD/build-test/debian version work
  version=$(dpkg-parsechangelog -l debian/changelog -S Version)
  work=$(mktemp -d)
  # Expanded now: the trap runs when the stage's subshell ends.
  trap "find $(printf %q "$work") -maxdepth 1 -type f -exec cp -p {} $(printf %q "$dir") \\; ; rm -rf $(printf %q "$work")" EXIT
  chmod 0700 "$work"
  local tree=$work/pellfold-$version
  rm -rf "$dir" && mkdir -p "$dir" "$tree"
  git ls-files -z --cached --others --exclude-standard |
    tar --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -xf - -C "$tree"
  echo "building the packages (log: $dir/build.log)"
  (cd "$tree" && DEB_BUILD_OPTIONS="parallel=$jobs" dpkg-buildpackage -us -uc) \
    > "$dir/build.log" 2>&1 || { tail -n 60 "$dir/build.log"; return 1; }
  tests/host/package_test.sh "$work" "$dir/build.log"

  # Errors and warnings fail; with -I, no hardening tag may show.
  local changes
  changes=$(ls "$work"/pellfold_"${version}"_*.changes)
  lintian --fail-on error,warning "$changes"
  ! lintian -I "$changes" | grep hardening- || { echo "lintian: hardening tags" >&2; return 1; }
  echo "lintian: no error, no warning, no hardening tag"

  # The autopkgtests on this machine (as root, CI too): autopkgtest installs
  # the packages just built and each test's dependencies, then runs
  # debian/tests/* against what is installed. The packages that were not
  # installed before are removed again afterwards.
  local name fresh=() status=0
  for name in $(sed -n 's/^Package: //p' debian/control); do
    dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed' ||
      fresh+=("$name")
  done
  autopkgtest --output-dir "$dir/autopkgtest" "$tree" "$work"/*.deb -- null || status=$?
  local installed=()
  for name in "${fresh[@]}" "${fresh[@]/%/-dbgsym}"; do
    dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed' &&
      installed+=("$name")
  done
  [ ${#installed[@]} -eq 0 ] || apt-get purge -y "${installed[@]}" > "$dir/purge.log" 2>&1 ||
    { cat "$dir/purge.log"; status=1; }
  return $status
}

stage_fuzz() {
  scripts/fuzz.sh 30
}

stage_faults() {
  plain_build pellfold_host acbc_driver fault_shim
  local bin=build-test/plain status=0
  python3 tests/faults/sweep.py "$bin/host/pellfold" "$bin/tests/faults/acbc_driver" \
    "$bin/tests/faults/fault_shim.so" build-test/faults || status=1
  python3 tests/faults/crash.py "$bin/host/pellfold" "$bin/tests/faults/fault_shim.so" build-test/faults 20 ||
    status=1
  return $status
}

passed=0
failed=0
failures=()
mkdir -p build-test
for stage in "${selected[@]}"; do
  echo "== $stage"
  start=$SECONDS
  # In a subshell with errexit on, so that the first failing command ends
  # the stage and the next one still runs.
  set +e
  (set -e; "stage_$stage")
  result=$?
  set -e
  if [ $result -eq 0 ]; then
    passed=$((passed + 1))
    echo "== $stage: passed in $((SECONDS - start)) s"
  else
    failed=$((failed + 1))
    failures+=("$stage")
    echo "== $stage: FAILED in $((SECONDS - start)) s"
  fi
done

[ $failed -eq 0 ] || echo "failed: ${failures[*]}"
echo "stages: $passed passed, $failed failed"
[ $failed -eq 0 ]
