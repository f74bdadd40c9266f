#!/usr/bin/env bash
# Builds the library and the demo host, then encrypts a file and decrypts it
# back: the main job, end to end.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target acbc_demo >/dev/null
input=${1:-README.md}
password=${2:-correct horse battery staple}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
build/examples/acbc_demo encrypt "$input" "$out/file.acbc" "$password"
build/examples/acbc_demo decrypt "$out/file.acbc" "$out/file.back" "$password"
echo "header:     $(head -c 512 "$out/file.acbc" | tr -d '\0')"
echo "sizes:      $(stat -c %s "$input") bytes -> $(stat -c %s "$out/file.acbc") bytes encrypted"
cmp "$input" "$out/file.back" && echo "round trip: identical"
