#!/usr/bin/env bash
# Carves images made to cost the plug-ins more than their size
# (tests/plugins/hostile_carve_images.py) and prints, per image, the wall
# time, the bytes the plug-ins read against the bytes scanned (the carve
# tool's own figure), the files and bytes written, beside PhotoRec on the
# same image (files and bytes it writes):
#   zip  SIZE HEADERS: streamed ZIP headers before 13 MiB of places that could
#                      close an entry, a real streamed archive behind them;
#   pdf  SIZE HEADERS: "%PDF-" headers 512 bytes apart before one trailer;
#   many SIZE ENTRIES: one archive of that many empty entries.
#   bench/carve_hostile/run.sh [BUILD_DIR]   (default: build/x86_64)
# BENCH_CASES="zip:64:250 ..."  the images (kind:MiB:count); an old build
#                               may fill the disk on pdf:64:2000
# BENCH_TIMEOUT=400             seconds a carve may run
# BENCH_CARVE_BIN=DIR           folder holding carve.exe and its type/ plug-ins
# BENCH_SKIP_PHOTOREC=1         runs carve only
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
bd="$(cd "${1:-$root/build/x86_64}" && pwd)"
bin="${BENCH_CARVE_BIN:-$bd/bin}"
cases="${BENCH_CASES:-zip:64:250 zip:64:1000 zip:64:4000 zip:1024:1000 pdf:8:200 pdf:64:2000 many:128:1200000}"
limit="${BENCH_TIMEOUT:-400}"
work="${BENCH_TMP:-/tmp}/delvaro-carve-hostile.$$"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
real="$bd/fixtures/stream_python.zip"
[ -f "$real" ] || { echo "missing $real (build the fixtures first)"; exit 1; }

. "$root/scripts/wine-env.sh" "$bd"
wine_start
echo "carve from $bin"
printf "%-16s %-7s %9s %-30s %8s %14s\n" case tool "wall s" "plug-ins read (x scanned)" files "bytes written"
for c in $cases; do
  IFS=: read -r kind mib headers <<<"$c"
  img="$work/$kind.img"
  if [ "$kind" = zip ]; then
    python3 "$root/tests/plugins/hostile_carve_images.py" zip "$mib" "$headers" "$real" "$img" "$work/truth"
  else
    python3 "$root/tests/plugins/hostile_carve_images.py" "$kind" "$mib" "$headers" "$img" "$work/truth"
  fi
  cat "$img" > /dev/null
  rm -rf "$work/out"; mkdir -p "$work/out/carve" "$work/out/pr"
  t0=$(date +%s.%N)
  rc=0
  timeout "$limit" "$WINE64" "$bin/carve.exe" "Z:${img//\//\\}" "Z:${work//\//\\}\\out\\carve" |
    tr -d '\r' > "$work/carve.tsv" || rc=$?
  t1=$(date +%s.%N)
  wall=$(python3 -c "print('%.1f' % ($t1 - $t0))")
  last="$(tail -n 1 "$work/carve.tsv" 2>/dev/null || true)"
  read_fig="$(sed -n 's/.*plug-ins read \([0-9]*\) bytes (\([0-9.]*\) x scanned).*/\1 (\2)/p' <<<"$last")"
  files=$(find "$work/out/carve" -type f | wc -l)
  bytes=$(find "$work/out/carve" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
  [ "$rc" = 0 ] || read_fig="not done in ${limit} s (exit $rc)"
  printf "%-16s %-7s %9s %-30s %8s %14s\n" "$c" carve "$wall" "$read_fig" "$files" "$bytes"
  [ -n "${BENCH_SKIP_PHOTOREC:-}" ] && continue
  t0=$(date +%s.%N)
  (cd "$work/out/pr" && timeout "$limit" photorec /log /d "$work/out/pr/out" /cmd "$img" \
    partition_none,fileopt,everything,enable,search > /dev/null 2>&1) || true
  t1=$(date +%s.%N)
  wall=$(python3 -c "print('%.1f' % ($t1 - $t0))")
  files=$(find "$work/out/pr" -path '*out*' -type f | wc -l)
  bytes=$(find "$work/out/pr" -path '*out*' -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
  printf "%-16s %-7s %9s %-30s %8s %14s\n" "$c" photorec "$wall" "-" "$files" "$bytes"
done
