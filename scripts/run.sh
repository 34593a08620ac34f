#!/usr/bin/env bash
# Installs what is missing, builds the program and runs it under Wine: on the
# current display when there is one, else on a virtual screen (Xvfb).
# Only what the program needs to run is built (the program, the sector
# engine, the plug-ins, the skins and the language files); the tests, tools
# and benchmarks are built by scripts/test.sh.
# Arguments are passed to the program (such as /debug).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
bd="$root/build/x86_64"
"$root/scripts/build.sh" x86_64 "$bd" Delvaro6
. "$root/scripts/wine-env.sh" "$bd"
# A fresh server for the program: the build started the prefix's services
# without a screen, and a desktop started then has no display driver, so the
# program's window could not be made.
wine_stop
wine_start
exe="$bd/bin/Delvaro6.exe"
if [ -n "${DISPLAY:-}" ]; then
  echo "run: starting $exe under Wine on display $DISPLAY."
  echo "run: to stop it, close its window, or press Ctrl+C here."
  exec "$WINE64" "$exe" "$@"
fi
echo "run: no display: starting $exe under Wine on a virtual screen (Xvfb); nothing is shown."
echo "run: to stop it, press Ctrl+C here, or run: WINEPREFIX=$WINEPREFIX $WINESERVER -k"
echo "run: pictures of every page are made by the tests: bash scripts/test.sh, then build/x86_64/screenshots/."
exec xvfb-run -a -s "-screen 0 1280x1024x24" "$WINE64" "$exe" "$@"
