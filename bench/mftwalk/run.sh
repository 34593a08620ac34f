#!/usr/bin/env bash
# Makes an NTFS image with 100,000 files through ntfs-3g (root, FUSE), deletes
# a tenth of them, then times `fls -r` and the MFT walk on the same image.
#   bench/mftwalk/run.sh <build dir> [image path]
set -euo pipefail
bd=$(cd "${1:?usage: run.sh <build dir> [image]}" && pwd)
img=${2:-/tmp/delvaro-bench-mft.img}
if [ ! -f "$img" ]; then
  mnt=$(mktemp -d /tmp/mftwalk-mnt.XXXXXX)
  truncate -s 512M "$img.tmp"
  mkfs.ntfs -F -Q -q "$img.tmp" 2>/dev/null
  ntfs-3g -o big_writes "$img.tmp" "$mnt"
  python3 - "$mnt" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(100):
    p = os.path.join(root, "dir%03d" % d)
    os.mkdir(p)
    for f in range(1000):
        with open(os.path.join(p, "file%04d.txt" % f), "w") as fh:
            fh.write("%d/%d\n" % (d, f))
for d in range(0, 100, 10):
    p = os.path.join(root, "dir%03d" % d)
    for f in range(1000):
        os.unlink(os.path.join(p, "file%04d.txt" % f))
PY
  sync; umount "$mnt"; rmdir "$mnt"
  mv "$img.tmp" "$img"
fi
cat "$img" > /dev/null  # warm the page cache
export WINEPREFIX=${WINEPREFIX:-$bd/wineprefix} WINEDEBUG=-all
wine=${DELVARO_WINE64:-/usr/lib/wine/wine64}
echo "== fls -r (The Sleuth Kit) =="
/usr/bin/time -f "%e s elapsed" fls -r -f ntfs "$img" | wc -l
echo "== MFT walk (bench_mftwalk under Wine) =="
(cd "$bd/bin" && "$wine" ./bench_mftwalk.exe "Z:${img//\//\\}" 0 3)
echo "== fls -r again =="
/usr/bin/time -f "%e s elapsed" fls -r -f ntfs "$img" | wc -l
