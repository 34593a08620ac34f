#!/usr/bin/env bash
# Lost-partition and saved-result benchmarks:
#  1. the lost-partition search over a sparse 100 GiB disk image without a
#     table, holding four volumes (NTFS, FAT32, exFAT, FAT16 made by the real
#     tools: those of the lost-gpt fixture) at 1, 30, 60 and 95 GiB, beside
#     TestDisk's search (analyse) of the same image in the same run;
#  2. saving and loading 100,000 found entries through the save and load
#     workers.
#   bench/lostpart/run.sh [BUILD_DIR]   (default: build/x86_64)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
bd="$(cd "${1:-$root/build/x86_64}" && pwd)"
work="$(mktemp -d /tmp/delvaro-lostpart-bench.XXXXXX)"
trap 'rm -rf "$work"' EXIT
. "$root/scripts/wine-env.sh" "$bd"
wine_start
winpath() { echo "Z:${1//\//\\}"; }

src="$bd/fixtures/lost-gpt.img"
key="$bd/fixtures/lost-gpt.key.tsv"
img="$work/disk100g.img"
truncate -s 100G "$img"
gib=$((1024 * 1024 * 2))  # sectors
i=0
for at in 1 30 60 95; do
  i=$((i + 1))
  read -r first n _ < <(sed -n "${i}p" "$key")
  dd if="$src" of="$img" bs=512 skip="$first" seek=$((at * gib)) count="$n" conv=notrunc,sparse status=none
  echo "volume $i ($(sed -n "${i}p" "$key" | cut -f3)) at sector $((at * gib))"
done

echo "== lost-partition search, 100 GiB, four lost partitions"
(cd "$bd/bin" && "$WINE64" ./lostpart.exe "$(winpath "$img")")
if command -v testdisk >/dev/null; then
  t0=$(date +%s.%N)
  (cd "$work" && timeout 3600 testdisk /log /cmd "$img" analyze >/dev/null 2>&1) || true
  t1=$(date +%s.%N)
  found=$(sed -n '/search_part()/,/interface_write()/p' "$work/testdisk.log" | grep -cE '^     (FAT|HPFS|exFAT|NTFS)' || true)
  printf 'TestDisk (analyse, quick search): %d partitions in %.3f s\n' "$found" "$(echo "$t1 - $t0" | bc)"
else
  echo "TestDisk is not installed: no comparison"
fi

echo "== save and load of 100,000 entries"
(cd "$bd/bin" && "$WINE64" ./bench_saveload.exe "$(winpath "$bd/fixtures/fat16.img")" "$(winpath "$work/bench.dsr")" 100000)
