#!/usr/bin/env bash
# Pellfold beside OpenSSL and cp on one machine, printed as one table.
#
#   bench/compare.sh [SIZE_MIB]          (default 256)
#
# Builds the library twice (paths for AES and SHA instructions, and
# -DPELLFOLD_HARDWARE_CRYPTO=OFF for the portable paths alone), then times on
# a SIZE_MIB file of random bytes, in alternating rounds so that a busy
# moment hits every command alike: AESEncypt and AESDecrypt through a minimal
# host (bench/export_host), the pellfold program, `openssl enc -aes-256-cbc
# -nopad` (and -d) with the same key and IV, both also without OpenSSL's AES
# instructions (OPENSSL_ia32cap), cp and `dd bs=64K`, the floors of reading
# and writing the file, and `pellfold hash` beside `openssl dgst`,
# sha256sum and md5sum on the file and on 4 files of 64 MiB (hashed side by
# side on every core). Then `strace -c` counts AESEncypt's writes, when
# strace is there. Each cell is the median of the rounds; ratios compare medians of
# this run only. Then peak resident memory of AESEncypt on 1 MiB, 64 MiB and
# SIZE_MIB files, and the component benchmarks (bench/pellfold_bench)
# beside OpenSSL with and without its AES instructions.
#
# Environment:
#   ROUNDS=5          rounds of the file-level commands
#   BEFORE_LIB=DIR    also time the exports of an older libpellfold.so.1 found
#                     in DIR (same host binary, loaded via LD_LIBRARY_PATH)
#   BEFORE_PROGRAM=PATH  also time `hash` of an older pellfold program
#   BUILD=build-compare   prefix of the build folders and the work folder
# The default run takes about 3-5 minutes on a 2-core machine (plus the
# older library's rounds, if any).
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=bench/medians.sh
. bench/medians.sh

size_mib=${1:-256}
rounds=${ROUNDS:-5}
build=${BUILD:-build-compare}
work=$build/work
password=benchmark-password
jobs=$(nproc)

echo "== building (hardware and portable paths)" >&2
for variant in hw portable; do
  option=ON
  [ "$variant" = portable ] && option=OFF
  cmake -S . -B "$build-$variant" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPELLFOLD_BUILD_TESTS=OFF -DPELLFOLD_BUILD_BENCHMARKS=ON \
    -DPELLFOLD_HARDWARE_CRYPTO=$option >/dev/null
  cmake --build "$build-$variant" -j "$jobs" --target export_host pellfold_bench >/dev/null
done
# The program is timed when it builds; its rows say n/a otherwise.
cmake --build "$build-hw" -j "$jobs" --target pellfold_host >/dev/null 2>&1 || true
hw=$build-hw/bench/export_host
portable=$build-portable/bench/export_host
program=$build-hw/host/pellfold

echo "== test files" >&2
mkdir -p "$work"
head -c $((size_mib << 20)) /dev/urandom >"$work/plain"
head -c $((1 << 20)) /dev/urandom >"$work/plain-1m"
head -c $((64 << 20)) /dev/urandom >"$work/plain-64m"
quarters=()
for q in 1 2 3 4; do
  head -c $((64 << 20)) /dev/urandom >"$work/part$q"
  quarters+=("$work/part$q")
done
"$hw" encrypt "$work/plain" "$work/plain.acbc" "$password"
# The key as OpenSSL takes it: the password zero-filled to 32 bytes; the
# vector of every ACBC record.
key=$(printf '%s' "$password" | od -An -tx1 | tr -d ' \n')
key=$key$(printf '0%.0s' $(seq $((64 - ${#key}))))
iv=000102030405060708090a0b0c0d0e0f
openssl enc -aes-256-cbc -nopad -K "$key" -iv "$iv" -in "$work/plain" -out "$work/plain.cbc"
no_aesni='~0x200000000000000'  # OPENSSL_ia32cap: CPUID.1:ECX bit 25 (AES-NI) off

# Name and command of each row, in table order. Every command writes
# $work/out, which is removed before each run.
names=() commands=()
row() {
  names+=("$1")
  commands+=("$2")
}
row "AESEncypt" "$hw encrypt $work/plain $work/out $password"
row "AESDecrypt" "$hw decrypt $work/plain.acbc $work/out $password"
row "AESEncypt, portable build" "$portable encrypt $work/plain $work/out $password"
row "AESDecrypt, portable build" "$portable decrypt $work/plain.acbc $work/out $password"
if [ -n "${BEFORE_LIB:-}" ]; then
    before="env LD_LIBRARY_PATH=$BEFORE_LIB $portable"
  row "AESEncypt, before" "$before encrypt $work/plain $work/out $password"
  row "AESDecrypt, before" "$before decrypt $work/plain.acbc $work/out $password"
fi
if [ -n "${BEFORE_PROGRAM:-}" ]; then
  row "pellfold hash sha256, before" "$BEFORE_PROGRAM hash sha256 $work/plain"
  row "pellfold hash md5, before" "$BEFORE_PROGRAM hash md5 $work/plain"
  row "hash md5, 4 x 64 MiB, before" "$BEFORE_PROGRAM hash md5 ${quarters[*]}"
fi
row "pellfold encrypt" "$program encrypt -q -f --pass pass:$password $work/plain $work/out"
row "pellfold decrypt" "$program decrypt -q -f --pass pass:$password $work/plain.acbc $work/out"
row "openssl enc" "openssl enc -aes-256-cbc -nopad -K $key -iv $iv -in $work/plain -out $work/out"
row "openssl enc -d" "openssl enc -d -aes-256-cbc -nopad -K $key -iv $iv -in $work/plain.cbc -out $work/out"
row "openssl enc, no AES-NI" "env OPENSSL_ia32cap=$no_aesni openssl enc -aes-256-cbc -nopad -K $key -iv $iv -in $work/plain -out $work/out"
row "openssl enc -d, no AES-NI" "env OPENSSL_ia32cap=$no_aesni openssl enc -d -aes-256-cbc -nopad -K $key -iv $iv -in $work/plain.cbc -out $work/out"
row "cp" "cp $work/plain $work/out"
row "dd bs=64K" "dd if=$work/plain of=$work/out bs=64K status=none"
row "pellfold hash sha256" "$program hash sha256 $work/plain"
row "openssl dgst -sha256" "openssl dgst -sha256 $work/plain"
row "sha256sum" "sha256sum $work/plain"
row "pellfold hash md5" "$program hash md5 $work/plain"
row "openssl dgst -md5" "openssl dgst -md5 $work/plain"
row "md5sum" "md5sum $work/plain"
row "pellfold hash sha256, 4 x 64 MiB" "$program hash sha256 ${quarters[*]}"
row "sha256sum, 4 x 64 MiB" "sha256sum ${quarters[*]}"
row "pellfold hash md5, 4 x 64 MiB" "$program hash md5 ${quarters[*]}"
row "pellfold hash md5 -j 1, 4 x 64 MiB" "$program hash md5 -j 1 ${quarters[*]}"
row "md5sum, 4 x 64 MiB" "md5sum ${quarters[*]}"

echo "== $rounds alternating rounds over ${#names[@]} commands, ${size_mib} MiB" >&2
declare -A times
for ((r = 1; r <= rounds; r++)); do
  for i in "${!names[@]}"; do
    rm -f "$work/out"
    start=$(date +%s%N)
    if ! ${commands[$i]} >/dev/null 2>&1; then
      times[$i]="${times[$i]:-} failed"
      continue
    fi
    end=$(date +%s%N)
    times[$i]="${times[$i]:-} $(((end - start) / 1000000))"
  done
  echo "round $r done" >&2
done
rm -f "$work/out"

take_medians
echo
echo "$(machine); $(openssl version | cut -d' ' -f1-2)"
echo "File: ${size_mib} MiB in the page cache; median of $rounds alternating rounds"
echo
printf '| %-34s | %9s | %8s |\n' "Work" "Median s" "MiB/s"
printf '|%s|%s|%s|\n' "------------------------------------" "----------:" "---------:"
for name in "${names[@]}"; do
  m=${med[$name]}
  if [ "$m" = n/a ]; then
    printf '| %-34s | %9s | %8s |\n' "$name" n/a n/a
  else
    printf '| %-34s | %9.3f | %8.0f |\n' "$name" "$(awk -v m="$m" 'BEGIN { print m / 1000 }')" \
      "$(awk -v m="$m" -v s="$size_mib" 'BEGIN { print (m > 0) ? s * 1000 / m : 0 }')"
  fi
done
echo
echo "Ratios (lower is faster):"
echo "  AESEncypt / openssl enc:                          $(ratio AESEncypt 'openssl enc')   (target <= 0.5)"
echo "  AESEncypt / cp:                                   $(ratio AESEncypt cp)   (target <= 2)"
echo "  AESEncypt / dd bs=64K:                            $(ratio AESEncypt 'dd bs=64K')   (target <= 1.25)"
echo "  hash sha256 / openssl dgst -sha256:               $(ratio 'pellfold hash sha256' 'openssl dgst -sha256')   (target <= 1.1)"
echo "  hash sha256 / sha256sum:                          $(ratio 'pellfold hash sha256' sha256sum)"
echo "  hash md5 / md5sum:                                $(ratio 'pellfold hash md5' md5sum)"
echo "  hash md5 / md5sum, 4 x 64 MiB:                    $(ratio 'pellfold hash md5, 4 x 64 MiB' 'md5sum, 4 x 64 MiB')   (target <= 0.6)"
echo "  hash md5 -j 1 / md5sum, 4 x 64 MiB:               $(ratio 'pellfold hash md5 -j 1, 4 x 64 MiB' 'md5sum, 4 x 64 MiB')"
echo "  hash sha256 / sha256sum, 4 x 64 MiB:              $(ratio 'pellfold hash sha256, 4 x 64 MiB' 'sha256sum, 4 x 64 MiB')"
echo "  AESDecrypt / openssl enc -d:                      $(ratio AESDecrypt 'openssl enc -d')   (target <= 0.6)"
echo "  pellfold encrypt / openssl enc:                   $(ratio 'pellfold encrypt' 'openssl enc')   (target <= 0.8)"
echo "  AESEncypt portable / openssl enc, no AES-NI:      $(ratio 'AESEncypt, portable build' 'openssl enc, no AES-NI')"
echo "  AESDecrypt portable / openssl enc -d, no AES-NI:  $(ratio 'AESDecrypt, portable build' 'openssl enc -d, no AES-NI')"
echo "  AESEncypt portable / hardware:                    $(ratio 'AESEncypt, portable build' AESEncypt)"
if [ -n "${BEFORE_PROGRAM:-}" ]; then
  echo "  hash sha256 / before:                             $(ratio 'pellfold hash sha256' 'pellfold hash sha256, before')"
  echo "  hash md5, 4 x 64 MiB / before:                    $(ratio 'pellfold hash md5, 4 x 64 MiB' 'hash md5, 4 x 64 MiB, before')"
fi
if [ -n "${BEFORE_LIB:-}" ]; then
  echo "  AESEncypt / before:                               $(ratio AESEncypt 'AESEncypt, before')"
  echo "  AESDecrypt / before:                              $(ratio AESDecrypt 'AESDecrypt, before')"
  echo "  AESEncypt portable / before:                      $(ratio 'AESEncypt, portable build' 'AESEncypt, before')   (target <= 0.33)"
  echo "  AESDecrypt portable / before:                     $(ratio 'AESDecrypt, portable build' 'AESDecrypt, before')   (target <= 0.33)"
fi

if command -v strace >/dev/null; then
  echo
  echo "System calls of AESEncypt on ${size_mib} MiB (strace -c), $((size_mib * 16)) chunks of 64 KiB:"
  rm -f "$work/out"
  strace -c -e trace=read,write -o "$work/strace.txt" "$hw" encrypt "$work/plain" "$work/out" "$password"
  awk '$NF == "read" || $NF == "write" { print "  " $NF ": " $4 " calls" }' "$work/strace.txt"
fi

echo
echo "Peak resident memory of AESEncypt (KiB):"
for f in plain-1m plain-64m plain; do
  rm -f "$work/out"
  rss=$(/usr/bin/time -f %M "$hw" encrypt "$work/$f" "$work/out" "$password" 2>&1 >/dev/null)
  echo "  $(stat -c %s "$work/$f" | awk '{ printf "%d MiB", $1 / 1048576 }'): $rss"
done
rm -f "$work/out"

echo
echo "Components (bench/pellfold_bench; RecordPath/i/1 encrypts, /0 decrypts 64 KiB):"
filter='ByteAES256|TableAES/.*/256|RecordPath|OpenSSL|MD5|SHA256'
# Name, rate and label (the record path) of every benchmark line.
# shellcheck disable=SC2016  # an awk program
rates='/^[A-Za-z]/ && !/^Benchmark/ && !/ERROR/ {
  for (i = 1; i <= NF; i++) if ($i ~ /^bytes_per_second=/) break
  label = ""; for (j = i + 1; j <= NF; j++) label = label " " $j
  printf "  %-28s %12s%s\n", $1, substr($i, 18), label }'
"$build-hw/bench/pellfold_bench" --benchmark_filter="$filter" --benchmark_min_time=0.2 2>/dev/null |
  awk "$rates"
"$build-portable/bench/pellfold_bench" --benchmark_filter='RecordPath|SHA256' --benchmark_min_time=0.2 \
  2>/dev/null | awk "$rates" | sed 's/$/ (portable build)/'
echo "OpenSSL without its AES instructions (OPENSSL_ia32cap=$no_aesni):"
OPENSSL_ia32cap=$no_aesni "$build-hw/bench/pellfold_bench" --benchmark_filter='OpenSSL' \
  --benchmark_min_time=0.2 2>/dev/null | awk "$rates"
