#!/usr/bin/env bash
# Intake of found entries into the main window's result list (the window's
# intake moves at most 1001 entries a second), the window's answer time
# meanwhile, and one sort of all rows.
#   bench/results/run.sh [BUILD_DIR] [N]   (default: build/x86_64, 100000)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
bd="$(cd "${1:-$root/build/x86_64}" && pwd)"
n="${2:-100000}"
. "$root/scripts/wine-env.sh" "$bd"
wine_start
win() { echo "Z:${1//\//\\}"; }
export WINEDEBUG=-all DELVARO_SOURCE_DIR="$(win "$root")" DELVARO_BIN="$(win "$bd/bin")"
cd "$bd/bin"
xvfb-run -a "${DELVARO_WINE64:-/usr/lib/wine/wine64}" ./bench_results.exe "$n" | tr -d '\r'
