#!/usr/bin/env bash
# The shared library's dynamic symbol table defines exactly the two exports,
# and its SONAME is libpellfold.so.1.
set -euo pipefail
lib=$1
defined=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort | tr '\n' ' ')
if [ "$defined" != "AESDecrypt AESEncypt " ]; then
  echo "unexpected dynamic symbols: $defined" >&2
  exit 1
fi
for name in AESEncypt AESDecrypt; do
  nm -D --defined-only "$lib" | grep -qE "^[0-9a-f]+ T $name\$" || {
    echo "$name is not a defined function" >&2
    exit 1
  }
done
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = libpellfold.so.1 ] || { echo "SONAME is '$soname'" >&2; exit 1; }
echo "exports: $defined, SONAME $soname"
