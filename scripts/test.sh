#!/usr/bin/env bash
# Installs what is missing, checks the formatting, then builds and runs every
# test three ways: a plain build (warnings as errors), AddressSanitizer +
# UndefinedBehaviorSanitizer, and ThreadSanitizer for the tests labelled
# "threads". Then the portability check is cross-built for a big-endian
# target (s390x), run under qemu, and must print what the native one prints;
# last, the libFuzzer targets run for a short while each.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ pkg-config binutils libgtest-dev libgmock-dev
          libbenchmark-dev libssl-dev openssl coreutils
          util-linux dpkg-dev man-db clang-format lintian
          g++-s390x-linux-gnu qemu-user clang libclang-rt-14-dev)  # setsid/setpriv/prlimit, cpack's .deb, man -l
scripts/ensure-packages.sh "${packages[@]}"

jobs=$(nproc)

echo "== format"
# Every C and C++ source follows .clang-format; a diff fails the run.
find include src host examples bench tests \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print0 |
  xargs -0 clang-format --dry-run --Werror

echo "== plain build"
cmake -S . -B build -G Ninja -DPELLFOLD_WERROR=ON -DPELLFOLD_BUILD_BENCHMARKS=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DPELLFOLD_WERROR=ON -DPELLFOLD_SANITIZE=address,undefined
cmake --build build-asan -j "$jobs"
# The >4 GiB digest tests are labelled slow: they run in the plain build only.
ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE slow

echo "== ThreadSanitizer"
cmake -S . -B build-tsan -G Ninja -DPELLFOLD_WERROR=ON -DPELLFOLD_SANITIZE=thread
# Only what the "threads" tests need.
cmake --build build-tsan -j "$jobs" --target aestable_threads_test exports_threads_test
ctest --test-dir build-tsan --output-on-failure -L threads

echo "== big-endian: s390x under qemu-user"
cmake -S . -B build-s390x -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/s390x-linux-gnu.cmake \
  -DPELLFOLD_WERROR=ON -DPELLFOLD_BUILD_TESTS=OFF -DPELLFOLD_BUILD_PORTABLE_CHECK=ON
cmake --build build-s390x -j "$jobs" --target portable_check
ctest --test-dir build-s390x --output-on-failure
build/tests/portability/portable_check > build/portable-native.txt
qemu-s390x build-s390x/tests/portability/portable_check > build-s390x/portable-s390x.txt
diff build/portable-native.txt build-s390x/portable-s390x.txt
echo "big-endian transcript equals the native one"

echo "== fuzzing: libFuzzer with ASan+UBSan, 20 s per target"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DPELLFOLD_WERROR=ON \
  -DPELLFOLD_BUILD_TESTS=OFF -DPELLFOLD_BUILD_FUZZERS=ON -DPELLFOLD_SANITIZE=address,undefined
cmake --build build-fuzz -j "$jobs" --target acbc_decrypt_fuzz text_fuzz
mkdir -p build-fuzz/corpus/acbc_decrypt_fuzz build-fuzz/corpus/text_fuzz
build/host/pellfold encrypt -q -f --pass pass:fuzzing-seed README.md build-fuzz/corpus/acbc_decrypt_fuzz/readme
printf 'ACBC -5\0' > build-fuzz/corpus/acbc_decrypt_fuzz/negative
printf 'p\303\244ss\360\237\230\200' > build-fuzz/corpus/text_fuzz/utf8
for target in acbc_decrypt_fuzz text_fuzz; do
  if ! build-fuzz/tests/fuzz/$target -max_total_time=20 build-fuzz/corpus/$target \
      > build-fuzz/$target.log 2>&1; then
    tail -n 60 build-fuzz/$target.log
    exit 1
  fi
  echo "$target: $(grep -E '^Done' build-fuzz/$target.log)"
done

# Reached only when every stage above succeeded (set -e).
echo "all stages passed: format, plain, sanitizers, threads, big-endian, fuzzing"
echo "stages: 6 passed, 0 failed"
