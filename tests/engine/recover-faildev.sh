#!/usr/bin/env bash
# Recovery from a failing disk. Each volume image is served through a FUSE
# file (faildev.py) whose reads fail as a real device's do, and mapped to
# drive X: (as recover-fixtures.sh does, under the same lock) through Wine's drive links like any image:
#  - a bad range (EIO) of 8 sectors inside a deleted file of the NTFS, FAT16,
#    FAT32 and exFAT recovery fixtures, and inside a carved file of the
#    carving fixture: that file comes back partial with zeros exactly there,
#    every other file as it comes back from the healthy image;
#  - a pulled device (every read ENODEV from the first one at a point inside
#    that file): the files before it come back whole, that one is not kept,
#    no file of zeros is left, and the run ends there with its message;
#  - a 1 MiB bad run inside a deleted 64 MiB picture of an NTFS and a FAT16
#    volume (made here by mkfs.ntfs + ntfs-3g, mkfs.fat + mtools, the picture
#    by ffmpeg), recovered as a file and carved: every byte around the run
#    comes back.
# The mount is made and removed here; skipped only where /dev/fuse is missing.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/faildev-common.sh"
faildev_begin recover-faildev mkfs.ntfs ntfs-3g mkfs.fat mcopy mdel ffmpeg


# ---- the healthy runs, and where the chosen files lie ----------------------------
declare -A config
# at IMAGE FILE POS LENGTH...: for each pair, where bytes POS to POS + LENGTH
# of FILE lie in IMAGE, in one piece (-1 when they are not found so).
at() {
  python3 - "$@" <<'PY'
import mmap, sys
f = open(sys.argv[2], "rb").read()
with open(sys.argv[1], "rb") as i:
    img = mmap.mmap(i.fileno(), 0, access=mmap.ACCESS_READ)
    out = []
    for k in range(3, len(sys.argv), 2):
        pos, n = int(sys.argv[k]), int(sys.argv[k + 1])
        off = img.find(f[pos:pos + 4096])
        out.append(off if off >= 0 and img[off:off + n] == f[pos:pos + n] else -1)
print(" ".join(map(str, out)))
PY
}
cluster=4096
for fs in ntfs fat32 fat16 exfat; do
  img="$fix/recover-$fs.img"
  recover "ok-$fs" "$img"
  # Deleted FAT entries lose their first letter: "_ig.bin".
  big="$(find "$work/ok-$fs" -name '?ig.bin' | head -n 1)"
  bad=-1 gone=-1
  [ -n "$big" ] && read -r bad gone < <(at "$img" "$big" $((16 * cluster)) 4096 $((2 * 1024 * 1024)) 4096)
  if [ "$bad" -lt 0 ] || [ "$gone" -lt 0 ]; then
    echo "$fs: big.bin not recovered whole from the healthy image"; fail=1; continue
  fi
  # 8 sectors at the file's 17th cluster; the device pulled 2 MiB into it.
  config[$fs-bad]="{\"image\": \"$img\", \"bad\": [[$bad, 4096]]}"
  config[$fs-gone]="{\"image\": \"$img\", \"gone_at\": $gone}"
done

# The carving fixture: a whole file of at least 16 KiB gets the bad range; the
# device is pulled inside the last of them.
run deep-carve ./scan.exe deep "$(winpath "$fix/carve.img")" --letter X --save "$(winpath "$work/carve.dsr")"
carved ok-carve "$fix/carve.img" "$work/carve.dsr"
read -r cbad cname cgone < <(python3 - "$fix/carve.tsv" <<'PY'
import sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1])][1:]
big = [r for r in rows if r[3] == "1" and r[4] == "1" and int(r[1]) >= 16384]
first, last = big[0], big[-1]
bad = (int(first[0]) + 8192) // 4096 * 4096
print(bad, first[0], int(last[0]) + 4096)
PY
)
config[carve-bad]="{\"image\": \"$fix/carve.img\", \"bad\": [[$cbad, 4096]]}"
config[carve-gone]="{\"image\": \"$fix/carve.img\", \"gone_at\": $cgone}"

# A 64 MiB picture (by ffmpeg, of random pixels), deleted on an NTFS and a
# FAT16 volume.
head -c $((4730 * 4730 * 3)) /dev/urandom > "$work/noise.rgb"
ffmpeg -loglevel error -f rawvideo -pix_fmt bgr24 -s 4730x4730 -i "$work/noise.rgb" -frames:v 1 "$work/big.bmp"
rm -f "$work/noise.rgb"
truncate -s 100M "$work/ntfs64.img"
mkfs.ntfs -F -Q -q -c 4096 "$work/ntfs64.img" 2>/dev/null
ntfs-3g -o big_writes "$work/ntfs64.img" "$work/ntfsmnt"
cp "$work/big.bmp" "$work/ntfsmnt/big.bmp"
echo "a small file beside it" > "$work/ntfsmnt/small.txt"
sync
rm "$work/ntfsmnt/big.bmp"
umount "$work/ntfsmnt"
export MTOOLS_SKIP_CHECK=1
mkfs.fat -C -F 16 -s 8 "$work/fat64.img" $((80 * 1024)) >/dev/null
mcopy -i "$work/fat64.img" "$work/big.bmp" ::/big.bmp
echo "64 MiB volumes made ($((SECONDS - t0)) s)"
mdel -i "$work/fat64.img" ::/big.bmp
run deep-fat64 ./scan.exe deep "$(winpath "$work/fat64.img")" --letter X --save "$(winpath "$work/fat64.dsr")"
for v in ntfs64 fat64; do
  # The bad run: 1 MiB from 20 MiB into the picture.
  off="$(at "$work/$v.img" "$work/big.bmp" $((20 * 1024 * 1024)) 1048576)"
  if [ "$off" -lt 0 ]; then echo "$v: the picture is not where the check can find it"; fail=1; continue; fi
  config[$v-bad]="{\"image\": \"$work/$v.img\", \"bad\": [[$off, 1048576]]}"
done

# ---- the failing device ------------------------------------------------------------
{
  echo "{"
  sep=""
  for k in "${!config[@]}"; do printf '%s"%s.img": %s\n' "$sep" "$k" "${config[$k]}"; sep=","; done
  echo "}"
} > "$work/faildev.json"
faildev_serve "$work/faildev.json"

for fs in ntfs fat32 fat16 exfat; do
  [ -n "${config[$fs-bad]:-}" ] || continue
  recover "$fs-bad" "$mnt/$fs-bad.img"
  python3 "$here/faildev_check.py" partial "$work/$fs-bad.rows" "$work/$fs-bad" "$work/ok-$fs.rows" \
    --file ig.bin --zero $((16 * cluster)) 4096 || fail=1
  recover "$fs-gone" "$mnt/$fs-gone.img"
  python3 "$here/faildev_check.py" gone "$work/$fs-gone.rows" "$work/$fs-gone" "$work/ok-$fs.rows" \
    "$work/$fs-gone.err" || fail=1
done

carved carve-bad "$mnt/carve-bad.img" "$work/carve.dsr"
# The carved file that starts where the bad range's file does (entry rows:
# name, length, 1, start offset, -1, 1).
cfile="$(awk -F'\t' -v o="$cname" 'NF == 6 && $4 == o { print $1; exit }' "$work/ok-carve.rows")"
if [ -z "$cfile" ]; then
  echo "carve: no carved file starts at $cname"; fail=1
else
  python3 "$here/faildev_check.py" partial "$work/carve-bad.rows" "$work/carve-bad" "$work/ok-carve.rows" \
    --file "$cfile" --zero $((cbad - cname)) 4096 || fail=1
fi
carved carve-gone "$mnt/carve-gone.img" "$work/carve.dsr"
python3 "$here/faildev_check.py" gone "$work/carve-gone.rows" "$work/carve-gone" "$work/ok-carve.rows" \
  "$work/carve-gone.err" || fail=1

for v in ntfs64 fat64; do
  [ -n "${config[$v-bad]:-}" ] || continue
  recover "$v-bad" "$mnt/$v-bad.img"
  python3 "$here/faildev_check.py" partial "$work/$v-bad.rows" "$work/$v-bad" "$work/big.bmp" --source \
    --file .bmp --zero $((20 * 1024 * 1024)) 1048576 || fail=1
done
carved fat64-carved "$mnt/fat64-bad.img" "$work/fat64.dsr"
python3 "$here/faildev_check.py" partial "$work/fat64-carved.rows" "$work/fat64-carved" "$work/big.bmp" --source \
  --file .bmp --zero $((20 * 1024 * 1024)) 1048576 || fail=1

echo "$((SECONDS - t0)) s"
[ "$fail" -eq 0 ] && echo "every readable byte kept, nothing unreadable counted"
exit "$fail"
