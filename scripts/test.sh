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
wine_start
trap wine_stop EXIT
cd "$bd"
# Windows are tested on a virtual screen.
if [ -z "${DISPLAY:-}" ]; then
  xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j"$(nproc)" "$@"
else
  ctest --output-on-failure -j"$(nproc)" "$@"
fi
