#!/usr/bin/env bash
# A consumer of an installed Pellfold through pkg-config, built the way a
# Makefile would build it. PKG_CONFIG_PATH must lead to pellfold.pc.
#
#   build.sh CC OUTPUT
set -euo pipefail
cc=$1
output=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck disable=SC2046  # the flags are meant to split into words
"$cc" -std=c11 -Wall -Wextra -Werror $(pkg-config --cflags pellfold) \
  -o "$output" "$here/../roundtrip.c" \
  $(pkg-config --libs pellfold) -Wl,-rpath,"$(pkg-config --variable=libdir pellfold)"
