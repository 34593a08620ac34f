#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds both targets
# (i686 is compiled only), and runs every test under Wine with CTest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
bd="$root/build/x86_64"
"$root/scripts/build.sh" x86_64 "$bd"
"$root/scripts/build.sh" i686 "$root/build/i686"
. "$root/scripts/wine-env.sh" "$bd"
# A fresh server for the run: its desktop and services belong to this run's
# screen, so it starts (wine_start boots the prefix's services too) once the
# screen is there.
wine_stop
trap wine_stop EXIT
cd "$bd"
start_then='. "$0" "$PWD" >/dev/null; wine_start; exec "$@"'
# Windows are tested on a virtual screen.
if [ -z "${DISPLAY:-}" ]; then
  xvfb-run -a -s "-screen 0 1280x1024x24" bash -c "$start_then" "$root/scripts/wine-env.sh" ctest --output-on-failure -j"$(nproc)" "$@"
else
  bash -c "$start_then" "$root/scripts/wine-env.sh" ctest --output-on-failure -j"$(nproc)" "$@"
fi
