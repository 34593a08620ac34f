#!/usr/bin/env bash
# The Wine desktop of a test run: "up" before the first test, "down" after the
# last (CTest's fixture wine_desktop).
#
# Wine starts its desktop process (explorer.exe /desktop) from the first
# process that asks for the desktop window, and every process Wine starts
# keeps its starter's Unix standard error. A test program that started it
# would have its output held open by the desktop, which lives until the last
# Wine process of the prefix has ended: CTest waits for that output to close,
# so the test would run into its time-out long after its last case. Here the
# desktop is started with no output of CTest's, and a Wine process that stays
# until "down" keeps it for the whole run, so that no test starts another.
#
# usage: wine-desktop.sh up|down   (WINEPREFIX and DELVARO_WINE64 set)
set -u
wine=${DELVARO_WINE64:-/usr/lib/wine/wine64}
[ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ] || { echo "no WINEPREFIX"; exit 1; }
fifo="$WINEPREFIX/.delvaro-desktop-holder"

case "${1:-}" in
up)
  # The services of the prefix first (see scripts/test.sh), then the holder:
  # a command prompt that reads its commands from a pipe no one else writes
  # to, opened read-write so that it never sees the end of its input.
  "$wine" cmd /c exit </dev/null >/dev/null 2>&1
  [ -p "$fifo" ] && timeout 10 bash -c 'echo exit >"$0"' "$fifo"
  rm -f "$fifo"
  mkfifo "$fifo" || exit 0
  setsid "$wine" cmd <>"$fifo" >/dev/null 2>&1 &
  # Any program with a window asks for the desktop; this one ends at once.
  "$wine" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1
  for _ in $(seq 100); do
    for pid in $(pgrep -f 'explorer.exe /desktop'); do
      # Other prefixes have desktops of their own.
      tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && exit 0
    done
    sleep 0.1
  done
  # Not a reason to hold back the tests, which would only run as before.
  echo "Wine's desktop did not start: a test program that starts it may wait for it to end"
  exit 0
  ;;
down)
  [ -p "$fifo" ] && timeout 10 bash -c 'echo exit >"$0"' "$fifo"
  rm -f "$fifo"
  exit 0
  ;;
*)
  echo "usage: $0 up|down" >&2
  exit 2
  ;;
esac
