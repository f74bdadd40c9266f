#!/usr/bin/env bash
# Builds the pellfold program (installing cmake, ninja-build and g++ first
# when they are missing), then encrypts a file and decrypts it back: the
# main job, end to end.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-packages.sh cmake ninja-build g++
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target pellfold_host >/dev/null
input=${1:-README.md}
export PELLFOLD_DEMO_PASSWORD=${2:-correct horse battery staple}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
build/host/pellfold encrypt --pass env:PELLFOLD_DEMO_PASSWORD "$input" "$out/file.acbc"
build/host/pellfold inspect "$out/file.acbc"
build/host/pellfold decrypt --pass env:PELLFOLD_DEMO_PASSWORD "$out/file.acbc" "$out/file.back"
echo "header:     $(head -c 512 "$out/file.acbc" | tr -d '\0')"
echo "sizes:      $(stat -c %s "$input") bytes -> $(stat -c %s "$out/file.acbc") bytes encrypted"
cmp "$input" "$out/file.back" && echo "round trip: identical"
