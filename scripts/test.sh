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
# screen.
wine_stop
# What the server itself reports (a client it cut off for a protocol error,
# say) goes to a log that is shown after the run: a test process it ends that
# way leaves no word of its own.
mkdir -p "$bd/Testing"
srvlog="$bd/Testing/wineserver.log"
: > "$srvlog"
mkdir -p "$WINEPREFIX"
"$WINESERVER" -p >/dev/null 2>>"$srvlog" </dev/null || true
wine_start
trap 'wine_stop; if [ -s "$srvlog" ]; then echo "the Wine server reported:"; tail -n 40 "$srvlog"; fi' EXIT
cd "$bd"
# The prefix's services (the mount manager among them) start before the
# tests, with no output to hold open: they live as long as the server, and a
# test that started them would be waited for until its time-out.
boot_then='"$0" cmd /c exit </dev/null >/dev/null 2>&1; exec "$@"'
# Windows are tested on a virtual screen.
if [ -z "${DISPLAY:-}" ]; then
  xvfb-run -a -s "-screen 0 1280x1024x24" bash -c "$boot_then" "$WINE64" ctest --output-on-failure -j"$(nproc)" "$@"
else
  bash -c "$boot_then" "$WINE64" ctest --output-on-failure -j"$(nproc)" "$@"
fi
