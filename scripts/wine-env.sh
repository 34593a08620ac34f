# Sourced by the scripts: the Wine environment of one build folder.
# usage: . scripts/wine-env.sh BUILD_DIR
_bd="$(cd "$1" && pwd)"
export WINEPREFIX="$_bd/wineprefix"
export WINEDEBUG=-all
# winedbg disabled: a crashing test exits at once instead of waiting in the debugger.
export WINEDLLOVERRIDES="mscoree,mshtml,winedbg.exe=d"
export WINEARCH=win64
WINE64=/usr/lib/wine/wine64
# Debian keeps wineserver beside wine64, off the PATH.
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)
wine_start() {
  mkdir -p "$WINEPREFIX"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$WINE64" wineboot -i >/dev/null 2>&1 || true
  fi
  # A persistent server: each test process then starts in a fraction of a second.
  "$WINESERVER" -p >/dev/null 2>&1 || true
}
wine_stop() { "$WINESERVER" -k >/dev/null 2>&1 || true; }
