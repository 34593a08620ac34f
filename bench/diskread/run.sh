#!/usr/bin/env bash
# Makes a 1 GiB image (random data, page-cached), then reads it with the
# cached reader under Wine and with dd in the same run, and prints both.
#   bench/diskread/run.sh <build dir> [image path]
set -euo pipefail
bd=$(cd "${1:?usage: run.sh <build dir> [image]}" && pwd)
img=${2:-/tmp/delvaro-bench-1g.img}
if [ ! -f "$img" ] || [ "$(stat -c %s "$img")" -ne $((1024*1024*1024)) ]; then
  head -c $((1024*1024*1024)) /dev/urandom > "$img"
fi
cat "$img" > /dev/null  # warm the page cache
export WINEPREFIX=${WINEPREFIX:-$bd/wineprefix} WINEDEBUG=-all
wine=${DELVARO_WINE64:-/usr/lib/wine/wine64}
winimg="Z:${img//\//\\}"
echo "== dd =="
dd if="$img" of=/dev/null bs=32M 2>&1 | tail -1
echo "== delvaro reader (default window) =="
(cd "$bd/bin" && "$wine" ./bench_diskread.exe "$winimg" 3)
echo "== dd again =="
dd if="$img" of=/dev/null bs=32M 2>&1 | tail -1
