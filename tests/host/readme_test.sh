#!/usr/bin/env bash
# Runs the README's example block for the pellfold program as printed, line
# by line in order, in an empty folder with the built program on PATH; any
# failing command, or a warning, fails the test.
#
#   readme_test.sh PROGRAM README
set -euo pipefail
program=$(realpath "$1") readme=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# The first sh block under the heading "## The `pellfold` program".
awk '/^## / { section = ($0 == "## The `pellfold` program") }
     section && /^```sh$/ { inside = 1; next }
     inside && /^```$/ { exit }
     inside { print }' "$readme" > "$tmp/example.sh"
[ "$(wc -l < "$tmp/example.sh")" -gt 10 ] || fail "no example block in $readme"

mkdir "$tmp/bin" "$tmp/work"
ln -s "$program" "$tmp/bin/pellfold"
(cd "$tmp/work" && PATH="$tmp/bin:$PATH" bash -x -euo pipefail "$tmp/example.sh") \
  >"$tmp/log" 2>&1 || { cat "$tmp/log" >&2; fail "the README's example block"; }
! grep 'warning:' "$tmp/log" || fail "an example that draws a warning"
grep -qx 'notes.txt: OK' "$tmp/log" || fail "hash --check did not say OK"
cmp "$tmp/work/notes-copy.txt" "$tmp/work/a.txt" || fail "decrypted copy differs"
echo "README example block ok ($(wc -l < "$tmp/example.sh") lines)"
