#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan, in build-test/fuzz) and
# runs each for SECONDS (default 60). The committed seeds in
# tests/fuzz/corpus/TARGET are only read; what a run finds is kept in
# build-test/fuzz/corpus/TARGET and grows from run to run, and a failing input
# lands in build-test/fuzz/findings/TARGET/. Prints each target's executions
# per second and coverage; fails when a target fails.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build=build-test/fuzz
targets=(acbc_decrypt_fuzz acbc_buffer_fuzz age_fuzz text_fuzz digest_fuzz cipher_fuzz)

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DPELLFOLD_WERROR=ON \
  -DPELLFOLD_BUILD_TESTS=OFF -DPELLFOLD_BUILD_FUZZERS=ON \
  -DPELLFOLD_SANITIZE=address,undefined,alignment > "$build.configure.log" 2>&1 ||
  { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

status=0
for target in "${targets[@]}"; do
  mkdir -p "$build/corpus/$target" "$build/findings/$target"
  log=$build/$target.log
  if ! "$build/tests/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$build/findings/$target/" \
      "$build/corpus/$target" "tests/fuzz/corpus/$target" > "$log" 2>&1; then
    tail -n 60 "$log"
    echo "$target: FAILED; the input is in $build/findings/$target/"
    status=1
    continue
  fi
  execs=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  coverage=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1)
  echo "$target: $runs runs in ${seconds} s, $execs exec/s, $coverage, corpus $(ls "$build/corpus/$target" | wc -l) inputs"
done
exit $status
