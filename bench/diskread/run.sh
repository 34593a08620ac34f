#!/usr/bin/env bash
# Makes a 1 GiB image (random data, page-cached), then reads it with the
# cached reader under Wine (one reader, its buffers reused over the passes;
# the default window and the deep scan's window) and with dd in the same run,
# and prints each with the machine's load.
#   bench/diskread/run.sh <build dir> [image path]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
bd=$(cd "${1:?usage: run.sh <build dir> [image]}" && pwd)
img=${2:-/tmp/delvaro-bench-1g.img}
if [ ! -f "$img" ] || [ "$(stat -c %s "$img")" -ne $((1024*1024*1024)) ]; then
  head -c $((1024*1024*1024)) /dev/urandom > "$img"
fi
cat "$img" > /dev/null  # warm the page cache
. "$root/scripts/wine-env.sh" "$bd"
wine_start
winimg="Z:${img//\//\\}"
load() { echo "(load $(cut -d' ' -f1-3 /proc/loadavg))"; }
dd_rate() { dd if="$img" of=/dev/null bs="$1" 2>&1 | tail -1 | sed 's/.*, //'; }
for bs in 32M 4M; do echo "dd bs=$bs: $(dd_rate $bs) $(load)"; done
for window in 0 4194304; do
  echo "reader, window ${window/#0/default}: $(cd "$bd/bin" && "$WINE64" ./bench_diskread.exe "$winimg" 5 "$window" | tail -1) $(load)"
done
for bs in 32M 4M; do echo "dd bs=$bs again: $(dd_rate $bs) $(load)"; done
