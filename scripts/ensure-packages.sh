#!/usr/bin/env bash
# Installs those of the given Debian packages that are missing, quietly:
# one line says what is being installed, and the package manager's output
# goes to a log file that is shown only when it fails. Uses sudo when not
# run as root.
#
#   scripts/ensure-packages.sh PACKAGE...
set -euo pipefail

missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

echo "installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
log=$(mktemp "${TMPDIR:-/tmp}/pellfold-apt.XXXXXX.log")
if ! { "${sudo[@]}" apt-get update &&
       "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
         apt-get install -y --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "installing ${missing[*]} failed; the output above is also in $log" >&2
  exit 1
fi
rm -f "$log"
