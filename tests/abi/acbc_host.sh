#!/usr/bin/env bash
# The libacbc example host goes through a good file, a wrong password, a
# damaged file and a missing one in one run, and says which is which.
set -euo pipefail
host=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
head -c 70000 /dev/urandom > a
cp a b
"$host" encrypt 'pass word' a b > out
head -c 5000 b.acbc > cut.acbc
mv a before
status=0
"$host" decrypt 'pass word' a.acbc cut.acbc missing.acbc > out || status=$?
[ "$status" = 1 ] || { echo "exit status $status" >&2; exit 1; }
diff -u - out <<'END'
a.acbc: ok
cut.acbc: damaged file (truncated, or a negative length) [damaged]
missing.acbc: cannot open input: No such file or directory [input_open]
libacbc 1.1.0: 1 ok, 2 failed
END
cmp a before
{ "$host" verify 'wrong' a.acbc || true; } | grep -qx 'a.acbc: wrong password (or the file was altered) \[wrong_password\]'
echo "example host ok"
