#!/usr/bin/env bash
# Scans of a failing disk. Volumes made here by the real tools (mkfs.ntfs +
# ntfs-3g, mkfs.fat + mtools) and the exFAT scan fixture are served through
# a FUSE file (faildev.py) whose reads fail as a real device's do, mapped to
# drive X: like any image, and scanned for deleted files; The Sleuth Kit
# (fls -r -d) on the healthy image says what is there:
#  - sectors 1-7 unreadable (sector 0 reads): every deleted file is listed,
#    and the recover tool lists them all too;
#  - one unreadable sector of an MFT record: only that record's file is
#    lost, the other records of its cluster are kept, and the user is told;
#  - one unreadable sector of a FAT16 and of a FAT32 root folder: only the
#    folders whose entries lie in it are lost, every other folder is walked;
#  - the device pulled in the middle of the scan (NTFS, FAT32; and of the
#    formatted scans of the FAT32 and exFAT formatted-volume fixtures): the
#    entries found so far are listed, the tools say the scan did not finish,
#    exit 4. (The device goes at the first read at or past the point, so an
#    NTFS folder read later may no longer be had: entries are compared by
#    name and record.)
# Skipped only where /dev/fuse is missing.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/faildev-common.sh"
faildev_begin scan-faildev mkfs.ntfs ntfs-3g mkfs.fat mcopy mdel mmd fls
mkdir -p "$work/src"
lost="Lost folders"  # the "LostDir" text of the English language file

# tool NAME RC TOOL ARGS...: rows in $work/NAME.rows, messages in
# $work/NAME.err; the exit code must be RC.
tool() {
  local name="$1" want="$2"; shift 2
  (cd "$bin" && timeout 120 "$wine" "$@") 2> "$work/$name.err" | tr -d '\r' > "$work/$name.rows"
  local rc=${PIPESTATUS[0]}
  if [ "$rc" != "$want" ]; then
    echo "$name: exit code $rc, not $want"; cat "$work/$name.err"; tail -n 2 "$work/$name.rows"; fail=1
  fi
  echo "$name ($((SECONDS - t0)) s): $(tail -n 1 "$work/$name.rows")"
}
scan() { tool "$1" "$2" ./scan.exe deleted "$(winpath "$3")" --letter X; }
said() { # said NAME TEXT: the tool's messages say TEXT
  grep -q "$2" "$work/$1.err" || { echo "$1: the user is not told \"$2\""; cat "$work/$1.err"; fail=1; }
}

# ---- the volumes ---------------------------------------------------------------------
# NTFS: a folder of 800 small files removed whole, so that the MFT's
# deleted records lie one behind the other, four to a cluster (TSK finds the
# names its index still holds; the rest only the MFT has).
truncate -s 32M "$work/ntfs.img"
mkfs.ntfs -F -Q -q -c 4096 "$work/ntfs.img" 2>/dev/null
ntfs-3g "$work/ntfs.img" "$work/ntfsmnt"
mkdir "$work/ntfsmnt/keep" "$work/ntfsmnt/box"
echo "a file that stays" > "$work/ntfsmnt/keep/stays.txt"
for i in $(seq 1 800); do printf 'deleted file %04d %0900d\n' "$i" 0 > "$work/ntfsmnt/box/deleted $i.txt"; done
sync
rm -rf "$work/ntfsmnt/box"
umount "$work/ntfsmnt"

# FAT16 and FAT32: forty folders D01..D40 (short names only, one root entry
# each), each with a live file and a deleted file of a long name.
export MTOOLS_SKIP_CHECK=1
mkfs.fat -C -F 16 -s 8 "$work/fat16.img" $((32 * 1024)) >/dev/null
mkfs.fat -C -F 32 -s 8 "$work/fat32.img" $((264 * 1024)) >/dev/null
for i in $(seq -w 1 40); do
  printf 'kept in %s %0600d\n' "$i" 0 > "$work/src/KEEP$i.TXT"
  printf 'deleted from %s %01500d\n' "$i" 0 > "$work/src/del$i"
done
for v in fat16 fat32; do
  for i in $(seq -w 1 40); do
    mmd -i "$work/$v.img" "::/D$i"
    mcopy -i "$work/$v.img" "$work/src/KEEP$i.TXT" "::/D$i/KEEP.TXT"
    mcopy -i "$work/$v.img" "$work/src/del$i" "::/D$i/a deleted file of folder $i.txt"
  done
  for i in $(seq -w 1 40); do mdel -i "$work/$v.img" "::/D$i/a deleted file of folder $i.txt"; done
done
cp "$fix/scan-exfat.img" "$work/exfat.img"
echo "volumes made ($((SECONDS - t0)) s)"

# fatplace IMAGE root-sector K | folder NAME | names-in OFFSET: the byte
# offset of the root folder's K-th sector, of a folder's first cluster, or
# the folder names whose root entries lie in the sector at OFFSET.
fatplace() {
  python3 - "$@" <<'PY'
import struct, sys
img = open(sys.argv[1], "rb").read()
u16 = lambda o: struct.unpack_from("<H", img, o)[0]
u32 = lambda o: struct.unpack_from("<I", img, o)[0]
bps, spc, res, nf, rootent = u16(11), img[13], u16(14), img[16], u16(17)
fatsz = u16(22) or u32(36)
fat32 = u16(22) == 0
rootsec = res + nf * fatsz
datasec = rootsec + (rootent * 32 + bps - 1) // bps
coff = lambda c: (datasec + (c - 2) * spc) * bps
if fat32:
    secs, c = [], u32(44)
    while 2 <= c < 0x0FFFFFF8:
        secs += [coff(c) + k * bps for k in range(spc)]
        c = u32(res * bps + 4 * c) & 0x0FFFFFFF
else:
    secs = [(rootsec + k) * bps for k in range((rootent * 32 + bps - 1) // bps)]
def entries(at):
    for k in range(bps // 32):
        e = img[at + 32 * k: at + 32 * k + 32]
        if e[0] in (0, 0xE5) or e[11] == 0x0F or not e[11] & 0x10:
            continue
        yield e[:8].decode("ascii").strip(), (u16(at + 32 * k + 20) << 16 if fat32 else 0) | u16(at + 32 * k + 26)
if sys.argv[2] == "root-sector":
    print(secs[int(sys.argv[3])])
elif sys.argv[2] == "folder":
    print(next(coff(c) for at in secs for n, c in entries(at) if n == sys.argv[3]))
else:
    print(" ".join(n for n, c in entries(int(sys.argv[3]))))
PY
}
# The NTFS record of "deleted 402.txt" (its second sector goes bad), and
# the place of record 600, where the device is pulled.
read -r rec mftbad mftgone < <(python3 - "$work/ntfs.img" <<'PY'
import struct, sys
img = open(sys.argv[1], "rb").read()
at, rec = {}, None
name = "deleted 402.txt".encode("utf-16-le")
for o in range(0, len(img), 1024):
    if img[o:o + 4] == b"FILE":
        n = struct.unpack_from("<I", img, o + 44)[0]
        at.setdefault(n, o)
        if rec is None and name in img[o:o + 1024]:
            rec = n
print(rec, at[rec] + 512, at[600])
PY
)
r16="$(fatplace "$work/fat16.img" root-sector 1)"
r32="$(fatplace "$work/fat32.img" root-sector 1)"  # inside the root's first cluster
lost16="$(fatplace "$work/fat16.img" names-in "$r16")"
lost32="$(fatplace "$work/fat32.img" names-in "$r32")"
gone32="$(fatplace "$work/fat32.img" folder D20)"
echo "bad record $rec at $mftbad, pulled at $mftgone; root sectors $r16 ($lost16), $r32 ($lost32); D20 at $gone32"

config="$work/faildev.json"
{
  echo "{"
  sep=""
  for v in ntfs fat16 fat32 exfat; do
    printf '%s"%s-boot.img": {"image": "%s", "bad": [[512, 3584]]}\n' "$sep" "$v" "$work/$v.img"; sep=","
  done
  printf ',"ntfs-mft.img": {"image": "%s", "bad": [[%s, 512]]}\n' "$work/ntfs.img" "$mftbad"
  printf ',"fat16-root.img": {"image": "%s", "bad": [[%s, 512]]}\n' "$work/fat16.img" "$r16"
  printf ',"fat32-root.img": {"image": "%s", "bad": [[%s, 512]]}\n' "$work/fat32.img" "$r32"
  printf ',"ntfs-gone.img": {"image": "%s", "gone_at": %s}\n' "$work/ntfs.img" "$mftgone"
  printf ',"fat32-gone.img": {"image": "%s", "gone_at": %s}\n' "$work/fat32.img" "$gone32"
  printf ',"fat32-gone2.img": {"image": "%s", "gone_at": %s}\n' "$work/fat32.img" "$gone32"
  for v in fat32 exfat; do  # formatted volumes, pulled halfway through the sweep
    printf ',"fmt-%s-gone.img": {"image": "%s", "gone_at": %s}\n' "$v" "$fix/fmt-$v.img" \
      $(( $(stat -c %s "$fix/fmt-$v.img") / 2 ))
  done
  echo "}"
} > "$config"
faildev_serve "$config"

vs_tsk() { # vs_tsk NAME IMAGE [options]: the rows of NAME against fls on IMAGE
  python3 "$here/scan_vs_tsk.py" "$work/$1.rows" "$2" "$lost" "${@:3}" || { echo "$1: not what TSK lists"; fail=1; }
}

# ---- sectors 1-7 unreadable -----------------------------------------------------------
for v in ntfs fat16 fat32 exfat; do
  scan "$v-boot" 0 "$mnt/$v-boot.img"
  vs_tsk "$v-boot" "$work/$v.img"
done
scan fat16-healthy 0 "$work/fat16.img"
tool recover-boot 0 ./recover.exe deleted "$(winpath "$mnt/fat16-boot.img")" "$(winpath "$work/out-boot")" --letter X
want="$(grep -c $'\t' "$work/fat16-healthy.rows")"
got="$(tail -n 1 "$work/recover-boot.rows" | awk '{ print $1 }')"
[ "$want" -gt 0 ] && [ "$got" = "$want" ] || { echo "recover-boot: $got entries, not $want"; fail=1; }

# ---- one bad MFT record sector: that record alone ---------------------------------------
scan ntfs-healthy 0 "$work/ntfs.img"
vs_tsk ntfs-healthy "$work/ntfs.img"
scan ntfs-mft 0 "$mnt/ntfs-mft.img"
vs_tsk ntfs-mft "$work/ntfs.img" --unreadable "/box/deleted 402.txt"
said ntfs-mft "unreadable: 1024 bytes"  # the record passed over
# The other three records of its cluster are listed, and nothing else is lost.
python3 - "$work/ntfs-mft.rows" "$work/ntfs-healthy.rows" "$rec" <<'PY' || fail=1
import sys
refs = lambda p: {int(l.split("\t")[3]) for l in open(p, encoding="utf-8") if l.count("\t") == 5}
bad, healthy, rec = refs(sys.argv[1]), refs(sys.argv[2]), int(sys.argv[3])
group = {r for r in healthy if r // 4 == rec // 4}
print("ntfs-mft: record %d lost: %s; of its cluster's %d, %d kept; %d of %d listed" % (
    rec, rec not in bad, len(group), len(group & bad), len(bad), len(healthy)))
sys.exit(0 if len(group) == 4 and group - bad == {rec} and healthy - bad == {rec} else 1)
PY

# ---- one bad sector of the root folder: its entries alone -------------------------------
for v in fat16 fat32; do
  eval "names=\$lost${v#fat}"
  opts=()
  for n in $names; do opts+=(--unreadable "/$n/"); done
  [ "${#opts[@]}" -ge 4 ] || { echo "$v-root: the bad sector holds too few folders ($names)"; fail=1; }
  scan "$v-root" 0 "$mnt/$v-root.img"
  vs_tsk "$v-root" "$work/$v.img" "${opts[@]}"
  grep -q $'^X:\\\\D40\\\\' "$work/$v-root.rows" || { echo "$v-root: the folders after the bad sector are not walked"; fail=1; }
  said "$v-root" "unreadable: 512 bytes"
done

# ---- the device pulled mid-scan: the list so far, "did not finish", exit 4 ---------------
scan fat32-healthy 0 "$work/fat32.img"
scan ntfs-gone 4 "$mnt/ntfs-gone.img"
scan fat32-gone 4 "$mnt/fat32-gone.img"
tool recover-gone 4 ./recover.exe deleted "$(winpath "$mnt/fat32-gone2.img")" "$(winpath "$work/out-gone")" --letter X
for v in fat32 exfat; do
  tool "fmt-$v-healthy" 0 ./scan.exe formatted "$(winpath "$fix/fmt-$v.img")" --letter X
  tool "fmt-$v-gone" 4 ./scan.exe formatted "$(winpath "$mnt/fmt-$v-gone.img")" --letter X
done
for v in ntfs fat32 fmt-fat32 fmt-exfat; do
  said "$v-gone" "did not finish"
  # The formatted fixtures' old folders lie in their first halves: all of
  # them may be found before the device goes.
  python3 - "$work/$v-gone.rows" "$work/$v-healthy.rows" "${v%%-*}" <<'PY' || fail=1
import sys
# Each entry by its name and its record or first cluster: a folder that
# could no longer be read when the device went puts its files under the
# lost-folder text.
def rows(p):
    cols = [l.split("\t") for l in open(p, encoding="utf-8") if l.count("\t") == 5]
    return {(c[0].rsplit("\\", 1)[-1], c[3]) for c in cols}
gone, healthy = rows(sys.argv[1]), rows(sys.argv[2])
print("%s: %d of %d entries before the device went" % (sys.argv[1].rsplit("/", 1)[-1], len(gone), len(healthy)))
sys.exit(0 if gone and (gone <= healthy if sys.argv[3] == "fmt" else gone < healthy) else 1)
PY
done
said recover-gone "did not finish"

echo "$((SECONDS - t0)) s"
[ "$fail" -eq 0 ] && echo "every readable entry listed, and the user told what could not be read"
exit "$fail"
