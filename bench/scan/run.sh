#!/usr/bin/env bash
# Scan benchmarks, each beside The Sleuth Kit on the same image in the same run:
#  1. quick scan of an NTFS volume with 100,000 files, half of them deleted
#     (made through ntfs-3g), against fls -r -d;
#  2. formatted sweep of a FAT32 volume of a million 512-byte clusters
#     (populated with mtools, then formatted again by mkfs.fat).
#   bench/scan/run.sh [BUILD_DIR]   (default: build/x86_64; needs root for FUSE)
# BENCH_KEEP=DIR keeps the images in DIR and reuses them.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
bd="$(cd "${1:-$root/build/x86_64}" && pwd)"
work="${BENCH_KEEP:-/tmp/delvaro-scan-bench.$$}"
mkdir -p "$work"
[ -n "${BENCH_KEEP:-}" ] || trap 'rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1

ntfs="$work/quick-ntfs.img"
if [ ! -f "$ntfs" ]; then
  echo "making the NTFS image (100,000 files, half deleted)..."
  mnt=$(mktemp -d /tmp/scanbench-mnt.XXXXXX)
  truncate -s 1G "$ntfs.tmp"
  mkfs.ntfs -F -Q -q "$ntfs.tmp" 2>/dev/null
  ntfs-3g -o big_writes "$ntfs.tmp" "$mnt"
  python3 - "$mnt" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(100):
    p = os.path.join(root, "dir%03d" % d, "sub")
    os.makedirs(p)
    for f in range(1000):
        with open(os.path.join(p, "file%04d.txt" % f), "w") as fh:
            fh.write("%d/%d\n" % (d, f) * (1 + f % 7))
for d in range(100):
    p = os.path.join(root, "dir%03d" % d, "sub")
    for f in range(0, 1000, 2):
        os.unlink(os.path.join(p, "file%04d.txt" % f))
PY
  sync; umount "$mnt"; rmdir "$mnt"
  mv "$ntfs.tmp" "$ntfs"
fi

fat="$work/formatted-fat32.img"
if [ ! -f "$fat" ]; then
  echo "making the formatted FAT32 image (1,048,576 clusters)..."
  mkfs.fat -C -F 32 -s 1 -n BENCHFAT "$fat" $(( (1048576 + 8192) / 2 )) >/dev/null
  for d in $(seq 1 20); do
    mmd -i "$fat" "::/folder$d" "::/folder$d/inner"
    for f in $(seq 1 20); do
      printf 'file %d of folder %d\n' "$f" "$d" > "$work/f.txt"
      mcopy -i "$fat" "$work/f.txt" "::/folder$d/inner/file$f.txt"
    done
  done
  mkfs.fat -F 32 -s 1 -n BENCHFAT "$fat" >/dev/null
fi

cat "$ntfs" "$fat" > /dev/null  # both in the page cache
export WINEPREFIX=${WINEPREFIX:-$bd/wineprefix} WINEDEBUG=-all
wine=${DELVARO_WINE64:-/usr/lib/wine/wine64}
win() { echo "Z:${1//\//\\}"; }

echo "== NTFS quick scan: fls -r -d (The Sleuth Kit) =="
/usr/bin/time -f "%e s elapsed" fls -r -d "$ntfs" | wc -l
echo "== NTFS quick scan: bench_scan deleted (under Wine) =="
(cd "$bd/bin" && "$wine" ./bench_scan.exe deleted "$(win "$ntfs")" 3)
echo "== NTFS quick scan: fls -r -d again =="
/usr/bin/time -f "%e s elapsed" fls -r -d "$ntfs" | wc -l

echo "== FAT32 formatted sweep, $(( $(stat -c %s "$fat") / 512 )) sectors: bench_scan formatted =="
(cd "$bd/bin" && "$wine" ./bench_scan.exe formatted "$(win "$fat")" 2)
echo "== for scale: fls -r on the same formatted image (sees only the new, empty root) =="
/usr/bin/time -f "%e s elapsed" fls -r "$fat" | wc -l
