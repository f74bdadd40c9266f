#!/usr/bin/env bash
# A shared library's dynamic symbol table defines exactly the expected
# functions, and its SONAME is the expected one:
#   symbols.sh LIBRARY SONAME NAME...       the names given
#   symbols.sh LIBRARY SONAME --header H --map M
#                                           every ACBC_API function of H, each
#                                           under the version node the version
#                                           script M gives it (ACBC_1.0, ACBC_1.1)
#   ... --map M --node NODE NAME...         and the node NODE of M lists exactly
#                                           the names given (a released node
#                                           never gains or loses a name)
# With --absent REGEX (right after SONAME) the library's full symbol table
# (local symbols included, demangled) must name no function matching REGEX:
# code of a component the library does not call was linked in.
set -euo pipefail
lib=$1 want_soname=$2
shift 2
if [ "${1-}" = --absent ]; then
  all=$(nm -C --defined-only "$lib" 2>/dev/null) || true
  [ -n "$all" ] || { echo "$lib has no symbol table to check" >&2; exit 1; }
  unused=$(grep -E " [tTwW] .*($2)" <<<"$all" || true)
  [ -z "$unused" ] || { echo "code the library does not call is linked in:" >&2; echo "$unused" >&2; exit 1; }
  shift 2
fi
map=
if [ "${1-}" = --header ] && [ "${3-}" = --map ]; then
  names=$(grep -oE '^ACBC_API [^(]*[ *]acbc_[a-z_]+\(' "$2" | sed -E 's/.*(acbc_[a-z_]+)\($/\1/' | sort)
  map=$4
  shift 4
  if [ "${1-}" = --node ]; then
    node_name=$2
    shift 2
    listed=$(awk -v node="$node_name" '/^[A-Z0-9_.]+ *\{/ {in_node = ($1 == node); next}
      in_node && /^ *(global|local):/ {sub(/^ *(global|local):/, "")}
      in_node {gsub(/[;{}]/, " "); for (i = 1; i <= NF; ++i) if ($i != "*") print $i}' "$map" |
      grep -v '^}' | sort | tr '\n' ' ')
    frozen=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
    if [ "$listed" != "$frozen" ]; then
      echo "$node_name lists $listed (expected $frozen)" >&2
      exit 1
    fi
  fi
else
  names=$(printf '%s\n' "$@" | sort)
fi
expected=$(echo $names)
defined=$(nm -D --defined-only "$lib" | awk '$2 != "A" {print $NF}' | sed 's/@.*//' | sort | tr '\n' ' ')
if [ "$defined" != "$expected " ]; then
  echo "unexpected dynamic symbols: $defined (expected $expected)" >&2
  exit 1
fi
# The node whose block in the version script lists `name`.
node_of() {
  awk -v name="$1" '/^[A-Z0-9_.]+ *\{/ {node = $1}
    {gsub(/[;{}]/, " "); for (i = 1; i <= NF; ++i) if ($i == name) print node}' "$map"
}
for name in $names; do
  node=
  if [ -n "$map" ]; then
    node=$(node_of "$name")
    [ -n "$node" ] || { echo "$name is in no version node of $map" >&2; exit 1; }
  fi
  nm -D --defined-only "$lib" | grep -qE "^[0-9a-f]+ T $name(@@$node)?\$" || {
    echo "$name is not a defined function${node:+ of version $node}" >&2
    exit 1
  }
done
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = "$want_soname" ] || { echo "SONAME is '$soname'" >&2; exit 1; }
echo "exports: $defined, SONAME $soname"
