#!/usr/bin/env bash
# Recovery of a deleted 1 GiB contiguous file from a FAT32 and an NTFS image,
# beside icat of The Sleuth Kit on the same image in the same run. Both write
# to the same place (a tmpfs when /dev/shm has room, so that the disk's
# write-back does not decide the race), after a sync, in turns; both outputs
# are checked against the original.
#   bench/recover/run.sh [BUILD_DIR]   (default: build/x86_64; needs root for FUSE)
# BENCH_KEEP=DIR keeps the images in DIR and reuses them.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
bd="$(cd "${1:-$root/build/x86_64}" && pwd)"
work="${BENCH_KEEP:-/tmp/delvaro-recover-bench.$$}"
mkdir -p "$work"
[ -n "${BENCH_KEEP:-}" ] || trap 'rm -rf "$work"' EXIT
export MTOOLS_SKIP_CHECK=1
src="$work/original.bin"
[ -f "$src" ] || head -c $((1024 * 1024 * 1024)) /dev/urandom > "$src"
want="$(sha256sum < "$src" | cut -d' ' -f1)"

fat="$work/recover-fat32.img"
if [ ! -f "$fat" ]; then
  echo "making the FAT32 image (4 KiB clusters, the file written and deleted by mtools)..."
  truncate -s 1200M "$fat.tmp"
  mkfs.fat -F 32 -s 8 -n BENCHREC "$fat.tmp" >/dev/null
  mcopy -i "$fat.tmp" "$src" "::/big file.bin"
  mdel -i "$fat.tmp" "::/big file.bin"
  mv "$fat.tmp" "$fat"
fi
ntfs="$work/recover-ntfs.img"
if [ ! -f "$ntfs" ]; then
  echo "making the NTFS image (4 KiB clusters, the file written and deleted by ntfs-3g)..."
  mnt=$(mktemp -d /tmp/recoverbench-mnt.XXXXXX)
  truncate -s 1200M "$ntfs.tmp"
  mkfs.ntfs -F -Q -q -c 4096 "$ntfs.tmp" 2>/dev/null
  ntfs-3g -o big_writes "$ntfs.tmp" "$mnt"
  cp "$src" "$mnt/big file.bin"
  sync
  rm "$mnt/big file.bin"
  umount "$mnt"; rmdir "$mnt"
  mv "$ntfs.tmp" "$ntfs"
fi

export WINEPREFIX=${WINEPREFIX:-$bd/wineprefix} WINEDEBUG=-all
wine=${DELVARO_WINE64:-/usr/lib/wine/wine64}
win() { echo "Z:${1//\//\\}"; }
out="$work/out"
if [ "$(df -B1G --output=avail /dev/shm 2>/dev/null | tail -n 1 | tr -dc '0-9')" -ge 3 ] 2>/dev/null; then
  out="/dev/shm/delvaro-recover-bench.$$"
  trap 'rm -rf "$out"; [ -n "${BENCH_KEEP:-}" ] || rm -rf "$work"' EXIT
fi
rm -rf "$out"; mkdir -p "$out"
echo "outputs go to $out"

bench() { # bench NAME IMAGE [fls/icat options]
  local name="$1" img="$2"; shift 2
  local inode
  inode="$(fls -r -d "$@" "$img" | grep 'big file.bin' | head -n 1 | awk '{print $(NF-2)}' | tr -d ':')"
  cat "$img" > /dev/null  # in the page cache for both
  for round in 1 2 3; do
    rm -f "$out/icat.bin"
    sync
    local t0 t1
    t0=$(date +%s.%N)
    icat "$@" "$img" "$inode" > "$out/icat.bin"
    sync "$out/icat.bin"
    t1=$(date +%s.%N)
    printf '== %s, round %d: icat %.2f s (%s)\n' "$name" "$round" "$(echo "$t1 - $t0" | bc)" \
      "$([ "$(sha256sum < "$out/icat.bin" | cut -d' ' -f1)" = "$want" ] && echo byte-exact || echo DIFFERENT)"
    rm -f "$out/icat.bin"
    sync
    (cd "$bd/bin" && "$wine" ./bench_recover.exe "$(win "$img")" "$(win "$out")" 1 B) | tr -d '\r' | grep pass
    f="$(find "$out/pass0" -type f | head -n 1)"
    echo "   bench_recover output: $([ "$(sha256sum < "$f" | cut -d' ' -f1)" = "$want" ] && echo byte-exact || echo DIFFERENT)"
    rm -rf "$out/pass0"
  done
}
bench FAT32 "$fat" -f fat32
bench NTFS "$ntfs"
