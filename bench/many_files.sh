#!/usr/bin/env bash
# Pellfold on many small files beside cp and sha256sum, printed as one table.
#
#   bench/many_files.sh [FOLDER]          (default: the build folder)
#
# Builds in FOLDER (on disk, not tmpfs: the point is what syncing costs; the
# output names FOLDER's file system type) a tree of 10,000 files of 4 KiB of
# random bytes in 100 folders, then times in alternating rounds:
#   - `cp -r` of the tree, alone and followed by `sync -f` (syncfs of the
#     output's file system), since pellfold syncs every output it writes;
#   - `pellfold encrypt -r -o` of the tree and `pellfold decrypt -r -o` of
#     its outputs;
#   - `pellfold verify -r` of the outputs beside `sha256sum` over the same
#     files (find | xargs);
#   - on a tree of 4 files of 64 MiB, `pellfold encrypt -r -j 1` beside
#     `-j 2`, when the program takes -j for encrypt ("skipped" otherwise).
# Each cell is the median of the rounds; the ratios (pellfold / reference)
# compare medians of this run only. Every output is removed before each run,
# outside the timing; the inputs stay in the page cache. Removes all it made.
#
# Environment:
#   ROUNDS=3              rounds of every command
#   BUILD=build           the build folder (pellfold is built there if missing)
#   PELLFOLD=PATH         the program to time (default BUILD/host/pellfold)
# The default run takes about 15-20 minutes on a busy 2-core machine, most of it
# in the syncs of 10,000 outputs.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=bench/medians.sh
. bench/medians.sh

build=${BUILD:-build}
folder=${1:-$build}
rounds=${ROUNDS:-3}
program=${PELLFOLD:-$build/host/pellfold}
export PELLFOLD_BENCH_PW=benchmark-password

if [ ! -x "$program" ]; then
  echo "== building $program" >&2
  [ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j "$(nproc)" --target pellfold_host >/dev/null
fi
program=$(realpath "$program")
mkdir -p "$folder"
fs_type=$(stat -f -c %T "$folder")
[ "$fs_type" = tmpfs ] && echo "warning: $folder is on tmpfs: syncs cost nothing there" >&2
work=$(mktemp -d "$(realpath "$folder")/many-files.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "== test trees in $work ($fs_type)" >&2
tree=$work/tree
for d in $(seq -w 0 99); do
  mkdir -p "$tree/d$d"
  # One read of random bytes per folder, cut into its 100 files.
  head -c $((100 * 4096)) /dev/urandom | split -b 4096 -a 2 -d - "$tree/d$d/f"
done
big=$work/big
mkdir -p "$big"
for q in 1 2 3 4; do
  head -c $((64 << 20)) /dev/urandom >"$big/part$q"
done
pass=(--pass env:PELLFOLD_BENCH_PW)
# The outputs verify, decrypt and sha256sum read, written once up front.
mkdir -p "$work/sealed"
"$program" encrypt -q -r "${pass[@]}" -o "$work/sealed" "$tree" >/dev/null 2>&1
jobs_note=""
if "$program" encrypt --help 2>&1 | grep -Eq '(^|[ ,])-j([ ,=]|$)'; then
  has_jobs=1
else
  has_jobs=0
  jobs_note="skipped (pellfold encrypt takes no -j)"
fi

# Name and command of each row, in table order. Every command writes into
# $work/out, which is removed and made empty before each run.
names=() commands=()
row() {
  names+=("$1")
  commands+=("$2")
}
out=$work/out
row "cp -r" "cp -r $tree $out/tree"
row "cp -r + sync -f" "cp -r $tree $out/tree && sync -f $out"
row "pellfold encrypt -r -o" "$program encrypt -q -r ${pass[*]} -o $out $tree"
row "pellfold decrypt -r -o" "$program decrypt -q -r ${pass[*]} -o $out $work/sealed"
row "pellfold verify -r" "$program verify -r ${pass[*]} $work/sealed"
row "sha256sum (find | xargs)" "find $work/sealed -type f -print0 | xargs -0 sha256sum"
if [ "$has_jobs" = 1 ]; then
  row "encrypt -r -j 1, 4 x 64 MiB" "$program encrypt -q -r -j 1 ${pass[*]} -o $out $big"
  row "encrypt -r -j 2, 4 x 64 MiB" "$program encrypt -q -r -j 2 ${pass[*]} -o $out $big"
fi

echo "== $rounds alternating rounds over ${#names[@]} commands" >&2
declare -A times
for ((r = 1; r <= rounds; r++)); do
  for i in "${!names[@]}"; do
    rm -rf "$out"
    mkdir "$out"
    sync -f "$work"  # the removal's own writes, outside the timing
    start=$(date +%s%N)
    if ! bash -c "${commands[$i]}" >/dev/null 2>&1; then
      times[$i]="${times[$i]:-} failed"
      continue
    fi
    end=$(date +%s%N)
    times[$i]="${times[$i]:-} $(((end - start) / 1000000))"
  done
  echo "round $r done" >&2
done

take_medians
# The -j rows are skipped where encrypt takes no -j.
ratio_or_note() {
  if [ -n "$jobs_note" ] && [[ "$1" == *"-j "* ]]; then echo "$jobs_note"; else ratio "$1" "$2"; fi
}
echo
machine
echo "Folder: $folder ($fs_type); 10,000 files of 4 KiB in 100 folders; median of $rounds alternating rounds"
echo
printf '| %-30s | %9s | %15s |\n' "Work" "Median s" "Rate"
printf '|%s|%s|%s|\n' "--------------------------------" "----------:" "----------------:"
for name in "${names[@]}"; do
  m=${med[$name]}
  count=10000 unit=files/s
  [[ "$name" == *"64 MiB"* ]] && count=256 unit=MiB/s
  if [ "$m" = n/a ]; then
    printf '| %-30s | %9s | %15s |\n' "$name" n/a n/a
  else
    printf '| %-30s | %9.3f | %7.0f %-7s |\n' "$name" "$(awk -v m="$m" 'BEGIN { print m / 1000 }')" \
      "$(awk -v m="$m" -v n="$count" 'BEGIN { print (m > 0) ? n * 1000 / m : 0 }')" "$unit"
  fi
done
[ "$has_jobs" = 1 ] || printf '| %-30s | %9s | %15s |\n' "encrypt -r -j 1 / -j 2" skipped skipped
echo
echo "Ratios (pellfold / reference; lower is faster):"
echo "  encrypt -r / cp -r:                $(ratio_or_note 'pellfold encrypt -r -o' 'cp -r')"
echo "  encrypt -r / cp -r + sync -f:      $(ratio_or_note 'pellfold encrypt -r -o' 'cp -r + sync -f')"
echo "  decrypt -r / cp -r:                $(ratio_or_note 'pellfold decrypt -r -o' 'cp -r')"
echo "  decrypt -r / cp -r + sync -f:      $(ratio_or_note 'pellfold decrypt -r -o' 'cp -r + sync -f')"
echo "  verify -r / sha256sum:             $(ratio_or_note 'pellfold verify -r' 'sha256sum (find | xargs)')"
echo "  encrypt -j 2 / -j 1, 4 x 64 MiB:   $(ratio_or_note 'encrypt -r -j 2, 4 x 64 MiB' 'encrypt -r -j 1, 4 x 64 MiB')"
