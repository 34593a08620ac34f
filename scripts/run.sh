#!/usr/bin/env bash
# Installs what is missing, builds the program and runs it under Wine.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
bd="$root/build/x86_64"
"$root/scripts/build.sh" x86_64 "$bd"
. "$root/scripts/wine-env.sh" "$bd"
wine_start
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a "$WINE64" "$bd/bin/Delvaro6.exe" "$@"
fi
exec "$WINE64" "$bd/bin/Delvaro6.exe" "$@"
