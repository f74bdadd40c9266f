#!/usr/bin/env bash
# The C11 demo host loads libpellfold.so.1 with dlopen, resolves both exports
# by name and round-trips a file through them.
set -euo pipefail
demo=$1
# Found by its SONAME through the library path (the demo's own RUNPATH is not
# consulted when a sanitizer runtime intercepts dlopen).
export LD_LIBRARY_PATH=$2${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
head -c 100000 /dev/urandom > "$dir/plain"
"$demo" encrypt "$dir/plain" "$dir/plain.acbc" "pass word" | grep -qx "AESEncypt returned 999"
"$demo" decrypt "$dir/plain.acbc" "$dir/back" "pass word" | grep -qx "AESDecrypt returned 0"
cmp "$dir/plain" "$dir/back"
[ "$(stat -c %s "$dir/plain.acbc")" -eq $((512 * (100000 / 512 + 2))) ]
head -c 11 "$dir/plain.acbc" | grep -qx "ACBC 100000"
echo "dlopen round trip ok"
