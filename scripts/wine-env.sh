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
  # The skins name the Windows fonts of each language; WenQuanYi Micro Hei
  # (installed by the set-up) stands in for the Chinese ones. The window
  # test programs run without a window manager: their windows are left
  # unmanaged, so Wine does not wait for one when a window goes.
  local mark="$WINEPREFIX/.delvaro-prefix.5"
  if [ ! -f "$mark" ]; then
    local reg="$WINEPREFIX/delvaro-prefix.reg"
    printf '%s\r\n' 'REGEDIT4' '' '[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]' \
      '"Microsoft YaHei"="WenQuanYi Micro Hei"' '"Microsoft JhengHei"="WenQuanYi Micro Hei"' \
      '"SimSun"="WenQuanYi Micro Hei"' '"PMingLiU"="WenQuanYi Micro Hei"' '' \
      '[HKEY_CURRENT_USER\Software\Wine\AppDefaults\app_window_tests.exe\X11 Driver]' '"Managed"="N"' '' \
      '[HKEY_CURRENT_USER\Software\Wine\AppDefaults\app_program_tests.exe\X11 Driver]' '"Managed"="N"' '' \
      '[HKEY_CURRENT_USER\Software\Wine\AppDefaults\app_journey_tests.exe\X11 Driver]' '"Managed"="N"' '' \
      '[HKEY_CURRENT_USER\Software\Wine\AppDefaults\app_update_tests.exe\X11 Driver]' '"Managed"="N"' '' \
      '[HKEY_CURRENT_USER\Software\Wine\AppDefaults\views_tests.exe\X11 Driver]' '"Managed"="N"' \
      > "$reg"
    "$WINE64" regedit /S "$reg" >/dev/null 2>&1 && touch "$mark"
  fi
}
wine_stop() { "$WINESERVER" -k >/dev/null 2>&1 || true; }
