#!/usr/bin/env bash
# Recovery from a failing disk, around the copy itself. Each image is served
# through a FUSE file (faildev.py) whose reads fail where the case says, and
# mapped to drive X: (under the lock of the scan tests):
#  - one unreadable sector of the first FAT, over the entries of clusters
#    1024 on (FAT32) or 4096 on (FAT16), on FAT32 and FAT16 volumes with 1 KiB clusters (mkfs.fat +
#    mtools) that hold a deleted 24 MiB file written in one piece and files
#    written after it (one of them deleted too): no file is said whole with other bytes than icat's
#    (The Sleuth Kit, on the healthy image); with the second FAT readable the
#    file comes back whole from it, with that sector bad in both it comes
#    back said uncertain;
#  - a boot sector that turns unreadable during the run, beside one bad
#    cluster (NTFS, FAT32) or a bad first sector of a carved file: the device
#    still answers at the places read before, so that file comes back
#    partial and the run goes on;
#  - an unreadable sector just before a carved file on a 512-byte-sector
#    disk: no byte of any file is lost;
#  - bad, bad, good, bad groups of clusters inside one file: zeros exactly at
#    the bad ones, the good group read;
#  - an NTFS record damaged to claim 50 MiB with runs for 300 KiB: the file
#    is cut at its runs and said so, not filled with "unreadable" zeros;
#  - a slow failing device (each failing read takes a quarter of a second)
#    with a bad cluster in every other one: the file ends within the time
#    given to bad areas, and says what was not read.
# The mount is made and removed here; skipped only where /dev/fuse is missing.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/faildev-common.sh"
faildev_begin recover-badareas mkfs.fat mcopy mdel fls icat mkfs.ntfs ntfs-3g

run_limit=240  # seconds a tool run may take here
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
declare -A config

# ---- FAT volumes of 1 KiB clusters with a deleted 24 MiB file ----------------------
export MTOOLS_SKIP_CHECK=1
head -c $((24 * 1024 * 1024)) /dev/urandom > "$work/big24.bin"
for i in 1 2 3 4; do head -c $((1024 * 1024)) /dev/urandom > "$work/later$i.bin"; done
echo "a small file written first" > "$work/early.txt"
mkfs.fat -C -F 32 -s 2 -S 512 "$work/fat32k.img" $((80 * 1024)) >/dev/null
mkfs.fat -C -F 16 -s 2 -S 512 "$work/fat16k.img" $((40 * 1024)) >/dev/null
for v in fat32k fat16k; do
  img="$work/$v.img"
  # FAT32: the entries of clusters 1024 on; FAT16: of clusters 4096 on, past
  # the first 4 KiB of the volume (which its open reads in one go).
  [ "$v" = fat32k ] && entries=1024 || entries=4096
  mcopy -i "$img" "$work/early.txt" ::/early.txt
  mcopy -i "$img" "$work/big24.bin" ::/big24.bin
  for i in 1 2 3 4; do mcopy -i "$img" "$work/later$i.bin" ::/later$i.bin; done
  mdel -i "$img" ::/big24.bin ::/later2.bin
  # The oracle: icat of the deleted file on the healthy image.
  inode="$(fls -r -d "$img" | awk -F'[ :\t]+' '/ig24\.bin$/ { print $3; exit }')"
  icat "$img" "$inode" > "$work/$v.icat" 2>/dev/null
  cmp -s "$work/$v.icat" "$work/big24.bin" || { echo "$v: icat does not read big24.bin back (inode '$inode')"; fail=1; }
  # The sector of the first FAT (and of the second) with the entries of
  # clusters 1024 on.
  read -r fat1 fat2 < <(python3 - "$img" "$entries" <<'PY'
import struct, sys
b = open(sys.argv[1], "rb").read(512)
bps, reserved = struct.unpack_from("<H", b, 11)[0], struct.unpack_from("<H", b, 14)[0]
size = struct.unpack_from("<H", b, 22)[0] or struct.unpack_from("<I", b, 36)[0]
entry = 2 if struct.unpack_from("<H", b, 22)[0] else 4
first = reserved * bps + int(sys.argv[2]) * entry // bps * bps
print(first, first + size * bps)
PY
)
  config[$v-fat1]="{\"image\": \"$img\", \"bad\": [[$fat1, 512]]}"
  config[$v-both]="{\"image\": \"$img\", \"bad\": [[$fat1, 512], [$fat2, 512]]}"
done
echo "FAT volumes made ($((SECONDS - t0)) s)"

# ---- the healthy runs of the recovery and carving fixtures ---------------------------
cluster=4096
for fs in ntfs fat32 fat16; do
  img="$fix/recover-$fs.img"
  recover "ok-$fs" "$img"
  big="$(find "$work/ok-$fs" -name '?ig.bin' | head -n 1)"
  c0=-1 c16=-1
  [ -n "$big" ] && read -r c0 c16 < <(at "$img" "$big" 0 $((100 * cluster)) $((16 * cluster)) 4096)
  if [ "$c0" -lt 0 ] || [ "$c16" -lt 0 ]; then
    echo "$fs: big.bin not recovered in one piece from the healthy image"; fail=1; continue
  fi
  # One bad cluster (the 17th), and the boot sector unreadable from the first
  # read of the file on.
  config[$fs-boot]="{\"image\": \"$img\", \"bad\": [[$c16, 4096]], \"later\": {\"at\": $c0, \"bad\": [[0, 512]]}}"
  [ "$fs" = fat16 ] || continue
  # Clusters 16-55 and 76-95 of the file bad, 56-75 good between them.
  config[groups]="{\"image\": \"$img\", \"bad\": [[$c16, $((40 * cluster))], [$((c0 + 76 * cluster)), $((20 * cluster))]]}"
  # Every other cluster of the file bad from the 17th, 200 of them, each failing read slow.
  slow="$(python3 -c "print(', '.join('[%d, 4096]' % ($c16 + 2 * k * 4096) for k in range(200)))")"
  config[slow]="{\"image\": \"$img\", \"bad\": [$slow], \"slow\": 0.25}"
done

run deep-carve ./scan.exe deep "$(winpath "$fix/carve.img")" --letter X --save "$(winpath "$work/carve.dsr")"
carved ok-carve "$fix/carve.img" "$work/carve.dsr"
# The picture of the carving fixture that starts 512 bytes past a 4 KiB
# boundary, with the file before it ending more than a sector earlier; and
# the first carved file.
read -r jpg first < <(python3 - "$fix/carve.tsv" <<'PY'
import sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1])][1:]
rows = sorted({(int(r[0]), int(r[1]), r[2], r[4]) for r in rows})
pick = [s for (s, n, e, w), (ps, pn, _, _) in zip(rows[1:], rows) if e == "jpg" and w == "1" and s % 4096 == 512
        and ps + pn <= s - 512]
print(pick[0] if pick else -1, rows[0][0])
PY
)
if [ "$jpg" -lt 0 ]; then
  echo "carve: no picture 512 bytes past a 4 KiB boundary"; fail=1
else
  # The sector before it bad from the start; its own first sector bad, and
  # the first sector of the device unreadable from the first carved file on.
  config[carve-before]="{\"image\": \"$fix/carve.img\", \"bad\": [[$((jpg - 512)), 512]]}"
  config[carve-boot]="{\"image\": \"$fix/carve.img\", \"bad\": [[$jpg, 512]], \"later\": {\"at\": $first, \"bad\": [[0, 512]]}}"
fi

# ---- an NTFS record that claims more than its runs hold ---------------------------
# A deleted 300 KiB file (mkfs.ntfs + ntfs-3g) whose record is then damaged
# to claim 50 MiB: the runs hold 300 KiB, the device never fails.
truncate -s 100M "$work/ntfsclaim.img"
mkfs.ntfs -F -Q -q -c 4096 "$work/ntfsclaim.img" 2>/dev/null
mkdir -p "$work/ntfsmnt"
head -c $((300 * 1024)) /dev/urandom > "$work/claim.bin"
if ntfs-3g "$work/ntfsclaim.img" "$work/ntfsmnt"; then
  cp "$work/claim.bin" "$work/ntfsmnt/claim.bin"
  echo "a small file beside it" > "$work/ntfsmnt/small.txt"
  sync
  rm "$work/ntfsmnt/claim.bin"
  umount "$work/ntfsmnt"
  python3 - "$work/ntfsclaim.img" <<'PY' || { echo "ntfsclaim: the record of claim.bin was not found"; fail=1; }
import struct, sys
p = sys.argv[1]
img = bytearray(open(p, "rb").read())
bps, spc = struct.unpack_from("<H", img, 11)[0], img[13]
cluster = bps * spc
mft = struct.unpack_from("<q", img, 0x30)[0] * cluster
rec = img[0x40] if img[0x40] < 128 else img[0x40] - 256
rsize = rec * cluster if rec > 0 else 1 << -rec
name = "claim.bin".encode("utf-16-le")
for k in range(1024):
    r = mft + k * rsize
    if img[r:r + 4] != b"FILE" or name not in img[r:r + rsize]:
        continue
    a = r + struct.unpack_from("<H", img, r + 0x14)[0]
    while struct.unpack_from("<I", img, a)[0] not in (0x80, 0xFFFFFFFF):
        a += struct.unpack_from("<I", img, a + 4)[0]
    assert struct.unpack_from("<I", img, a)[0] == 0x80 and img[a + 8] == 1
    # Allocated, real and initialised sizes: 50 MiB, none on a sector's last two bytes.
    assert all((a + o - r) % bps < bps - 2 - 8 for o in (0x28, 0x30, 0x38))
    for o in (0x28, 0x30, 0x38):
        struct.pack_into("<Q", img, a + o, 50 << 20)
    open(p, "wb").write(img)
    sys.exit(0)
sys.exit(1)
PY
  run ntfsclaim ./recover.exe deleted "$(winpath "$work/ntfsclaim.img")" "$(winpath "$work/ntfsclaim")" --letter X
  python3 - "$work/ntfsclaim.rows" "$work/claim.bin" <<'PY' || fail=1
import sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1], encoding="utf-8")]
hit = [r for r in rows if len(r) == 3 and r[0].endswith("claim.bin")]
want = open(sys.argv[2], "rb").read()
if len(hit) != 1:
    sys.exit("ntfsclaim: claim.bin not listed once: %s" % hit)
path, size, result = hit[0]
if not result.startswith("recovered") or "cut short" not in result or "unreadable" in result:
    sys.exit("ntfsclaim: %s, not cut at its runs and said so" % result)
data = open("/" + path[3:].replace("\\", "/"), "rb").read()
if data != want or size != str(len(want)):
    sys.exit("ntfsclaim: %d bytes (%s said), not the %d of its runs" % (len(data), size, len(want)))
print("ntfsclaim: cut at its runs (%s)" % result)
PY
else
  echo "ntfsclaim: ntfs-3g could not mount the volume"; fail=1
fi

# ---- the failing device ------------------------------------------------------------
{
  echo "{"
  sep=""
  for k in "${!config[@]}"; do printf '%s"%s.img": %s\n' "$sep" "$k" "${config[$k]}"; sep=","; done
  echo "}"
} > "$work/faildev.json"
faildev_serve "$work/faildev.json"

# One bad FAT sector: never another file's bytes said whole.
for v in fat32k fat16k; do
  for c in fat1 both; do
    [ "$c" = fat1 ] && state=whole || state=uncertain
    recover "$v-$c" "$mnt/$v-$c.img"
    python3 "$here/faildev_check.py" truth "$work/$v-$c.rows" "$work/$v-$c" --ref "ig24.bin=$work/$v.icat" \
      --ref "ater2.bin=$work/later2.bin" --expect "ig24.bin=$state" --expect "ater2.bin=whole" || fail=1
  done
done

# A boot sector that no longer reads is no device gone.
for fs in ntfs fat32; do
  [ -n "${config[$fs-boot]:-}" ] || continue
  recover "$fs-boot" "$mnt/$fs-boot.img"
  python3 "$here/faildev_check.py" partial "$work/$fs-boot.rows" "$work/$fs-boot" "$work/ok-$fs.rows" \
    --file ig.bin --zero $((16 * cluster)) 4096 || fail=1
done
if [ -n "${config[carve-boot]:-}" ]; then
  jname="$(awk -F'\t' -v o="$jpg" 'NF == 6 && $4 == o { print $1; exit }' "$work/ok-carve.rows")"
  carved carve-boot "$mnt/carve-boot.img" "$work/carve.dsr"
  python3 "$here/faildev_check.py" partial "$work/carve-boot.rows" "$work/carve-boot" "$work/ok-carve.rows" \
    --file "$jname" --zero 0 512 || fail=1
  # The sector before a file is none of its bytes.
  carved carve-before "$mnt/carve-before.img" "$work/carve.dsr"
  python3 "$here/faildev_check.py" partial "$work/carve-before.rows" "$work/carve-before" "$work/ok-carve.rows" ||
    fail=1
fi

# Bad, bad, good, bad: the good group comes back.
if [ -n "${config[groups]:-}" ]; then
  recover groups "$mnt/groups.img"
  python3 "$here/faildev_check.py" partial "$work/groups.rows" "$work/groups" "$work/ok-fat16.rows" \
    --file ig.bin --zero $((16 * cluster)) $((40 * cluster)) --zero $((76 * cluster)) $((20 * cluster)) || fail=1
fi

# The slow device: the file ends within the time its bad areas are given
# (30 s, and 10 s for each MiB found unreadable), and says what was not read.
if [ -n "${config[slow]:-}" ]; then
  recover slow "$mnt/slow.img"
  zeros=""
  for k in $(seq 0 199); do zeros="$zeros --zero $(((16 + 2 * k) * cluster)) $cluster"; done
  # shellcheck disable=SC2086
  python3 "$here/faildev_check.py" partial "$work/slow.rows" "$work/slow" "$work/ok-fat16.rows" --not-read \
    --file ig.bin $zeros || fail=1
  secs="$(tail -n 1 "$work/slow.rows" | sed -n 's/.* in \([0-9.]*\) s.*/\1/p')"
  if [ -z "$secs" ] || ! python3 -c "import sys; sys.exit(0 if float('$secs') < 30 + 10 * 0.8 + 8 else 1)"; then
    echo "slow: the recovery took ${secs:-?} s, more than the time given to bad areas"; fail=1
  fi
fi

echo "$((SECONDS - t0)) s"
[ "$fail" -eq 0 ] && echo "no wrong bytes said whole, every readable byte kept, the unread said"
exit "$fail"
