#!/usr/bin/env bash
# A consumer of an installed Pellfold through pkg-config, built the way a
# Makefile would build it. PKG_CONFIG_PATH must lead to pellfold.pc (or
# acbc.pc).
#
#   build.sh CC OUTPUT [pellfold | acbc] [--static]
# --static links a static library and what it needs (Libs.private).
set -euo pipefail
cc=$1
output=$2
package=${3:-pellfold}
static=${4-}
here=$(cd "$(dirname "$0")" && pwd)
source=$here/../roundtrip.c
[ "$package" = acbc ] && source=$here/../../../examples/acbc_host.c
# shellcheck disable=SC2046  # the flags are meant to split into words
"$cc" -std=c11 -Wall -Wextra -Werror $(pkg-config --cflags "$package") \
  -o "$output" "$source" \
  $(pkg-config ${static:+"$static"} --libs "$package") -Wl,-rpath,"$(pkg-config --variable=libdir "$package")"
