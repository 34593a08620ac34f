#!/usr/bin/env bash
# Lost partitions and saved results over whole-disk images made by sfdisk,
# sgdisk and the real file-system drivers:
#   - every table entry removed (sfdisk --delete, sgdisk --zap-all): the
#     search finds every partition the key (the table before) lists, with
#     its start, length, file system and label; TestDisk's search on the
#     same image finds the same
#   - one entry removed: only that partition is found (the others are
#     table-listed and passed over)
#   - the quick parse of a disk grown by 100 MiB whose extended (MBR) or
#     last (GPT) entry was removed
#   - a disk cut short inside its last partition: that one is marked
#   - a volume moved to a sector below its hidden-sectors value
#   - each found partition's files against The Sleuth Kit on that volume,
#     listed and recovered (byte for byte against icat)
#   - save and load: the same entries back, the same bytes recovered from
#     them, and the reference codec in
#     Python writes the program's files again byte for byte (all three
#     layouts); a file it writes loads
#   - the public disks: no false finds, counts beside TestDisk's
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
bin="${DELVARO_UNIX_BIN:?}"
fix="${DELVARO_UNIX_FIXTURES:?}"
shared="${DELVARO_UNIX_SHARED:-}"
wine="${DELVARO_WINE64:-/usr/lib/wine/wine64}"
for t in sfdisk sgdisk fls python3 unzip; do
  command -v "$t" >/dev/null || { echo "missing $t"; exit 1; }
done
work="$(mktemp -d /tmp/lostpart-fixtures.XXXXXX)"
trap 'rm -rf "$work"' EXIT
# The checks start Python some fifty times: start the interpreter itself, not
# a version manager's shim in front of it (half a second a start, and much
# more on a loaded machine).
py="$(python3 -c 'import sys; print(sys.executable)' 2>/dev/null)"
[ -x "$py" ] || py=python3
check="$here/lostpart_check.py"
ref="$here/dsr_reference.py"
key="Z:${bin//\//\\}"  # the program folder, the scrambling key
fail=0

winpath() { echo "Z:${1//\//\\}"; }
lostpart() { (cd "$bin" && timeout 300 "$wine" ./lostpart.exe "$(winpath "$1")" "${@:2}"); }
scan() { (cd "$bin" && timeout 300 "$wine" ./scan.exe "$1" "$(winpath "$2")" "${@:3}"); }
has_testdisk() { command -v testdisk >/dev/null; }
# search_then_check IMAGE [lostpart options] -- CHECK-ARGS: the search, then a
# check of its rows; a search that fails says how it ended and what it wrote.
search_then_check() {
  local img="$1" rc=0 opts=()
  shift
  while [ "$1" != -- ]; do opts+=("$1"); shift; done
  shift
  lostpart "$img" ${opts[@]+"${opts[@]}"} > "$img.rows" 2> "$img.err" || rc=$?
  if [ "$rc" != 0 ]; then
    echo "lostpart failed on $(basename "$img") with exit $rc"; cat "$img.err"; fail=1; return
  fi
  "$py" "$check" "$@" || fail=1
}
testdisk_log() { # IMAGE -> its TestDisk log
  (cd "$work" && rm -f testdisk.log && timeout 300 testdisk /log /cmd "$1" analyze >/dev/null 2>&1)
  cp "$work/testdisk.log" "$1.testdisk.log" 2>/dev/null
}

wipe() { # IMAGE: every table entry removed
  if [ "$(sfdisk -d "$1" 2>/dev/null | sed -n 's/^label: //p')" = gpt ]; then
    sgdisk --zap-all "$1" >/dev/null 2>&1
  else
    sfdisk -q --delete "$1"
  fi
}

# The disks the table tools edit, made first and side by side: sgdisk syncs
# and then waits a second after every change it writes.
for d in mbr gpt 63; do
  (cp "$fix/lost-$d.img" "$work/lost-$d.img" && wipe "$work/lost-$d.img") &
done
(img="$work/one-mbr.img"; cp "$fix/lost-mbr.img" "$img" && sfdisk -q --delete "$img" 2) &
(img="$work/one-gpt.img"; cp "$fix/lost-gpt.img" "$img" && sgdisk -d 2 "$img" >/dev/null) &
(img="$work/quick-mbr.img"; cp "$fix/lost-mbr.img" "$img" &&
  dd if=/dev/zero of="$img" bs=1 seek=$((446 + 32)) count=16 conv=notrunc status=none &&  # the extended entry
  truncate -s +100M "$img") &
(img="$work/quick-gpt.img"; cp "$fix/lost-gpt.img" "$img" && truncate -s +100M "$img" &&
  sgdisk -e -d 4 "$img" >/dev/null) &
(img="$work/short-mbr.img"; cp "$fix/lost-mbr.img" "$img" && sfdisk -q --delete "$img" &&
  truncate -s $((140000 * 512)) "$img") &
wait

for d in mbr gpt 63; do
  img="$work/lost-$d.img"
  lostpart "$img" > "$img.rows" 2> "$img.err" || { echo "lostpart failed on $d"; cat "$img.err"; fail=1; continue; }
  "$py" "$check" key "$img.rows" "$fix/lost-$d.key.tsv" || fail=1
  if has_testdisk; then
    testdisk_log "$img" && "$py" "$check" testdisk "$img.testdisk.log" "$img.rows" --require || fail=1
  fi
  # The files of every partition found, against The Sleuth Kit.
  while IFS=$'\t' read -r first _ fs _; do
    [[ "$first" =~ ^[0-9]+$ ]] || continue
    scan lost "$img" --start "$first" --recover "$img.$first.out" > "$img.$first.rows" 2> "$img.$first.err" || {
      echo "scan lost failed at $first"; cat "$img.$first.err"; fail=1; continue; }
    fls -r -p -l -o "$first" "$fix/lost-$d.img" > "$img.$first.fls" 2>/dev/null
    "$py" "$check" files "$img.$first.rows" "$img.$first.fls" || fail=1
    "$py" "$check" bytes "$img.$first.rows" "$img.$first.out" "$fix/lost-$d.img" "$first" || fail=1
  done < "$img.rows"
done

# One entry removed: only that partition is found.
img="$work/one-mbr.img"
search_then_check "$img" -- key "$img.rows" "$fix/lost-mbr.key.tsv" --only 18432
img="$work/one-gpt.img"
first=$(awk -F'\t' '$3=="FAT32"{print $1}' "$fix/lost-gpt.key.tsv")
search_then_check "$img" -- key "$img.rows" "$fix/lost-gpt.key.tsv" --only "$first"

# The quick parse: gaps of 100 MiB or more after the listed entries.
img="$work/quick-mbr.img"
search_then_check "$img" --quick -- key "$img.rows" "$fix/lost-mbr.key.tsv" --only 36864
img="$work/quick-gpt.img"
last=$(tail -n 1 "$fix/lost-gpt.key.tsv" | cut -f1)
search_then_check "$img" --quick -- key "$img.rows" "$fix/lost-gpt.key.tsv" --only "$last"

# A disk that ends inside its last partition.
img="$work/short-mbr.img"
search_then_check "$img" -- key "$img.rows" "$fix/lost-mbr.key.tsv" --past-end 126976
scan lost "$img" --start 126976 > "$img.scan" 2>&1 || { echo "scan of a partition past the disk end failed"; fail=1; }

# A volume moved towards the disk's start: its hidden sectors (18,432) lie
# beyond its new place (sector 2,048).
img="$work/moved.img"; truncate -s 48M "$img"
first=$(awk -F'\t' '$3=="FAT32"{print $1}' "$fix/lost-gpt.key.tsv"); n=$(awk -F'\t' '$3=="FAT32"{print $2}' "$fix/lost-gpt.key.tsv")
dd if="$fix/lost-gpt.img" of="$img" bs=512 skip="$first" seek=2048 count="$n" conv=notrunc status=none
lostpart "$img" > "$img.rows"
if awk -F'\t' '$1==2048 && $3=="FAT32" && $5==2048 && $6==0 {ok=1} END {exit !ok}' "$img.rows"; then
  echo "moved volume: found at 2048 (start 2048, hidden 0)"
else
  echo "moved volume: not found at 2048"; cat "$img.rows"; fail=1
fi

# Save and load: the same entries, the reference codec byte for byte.
roundtrip() { # NAME KIND TARGET [scan options]
  local name="$1" kind="$2" target="$3" same=same; shift 3
  # A formatted result stores each entry's path before its "LostDir" one.
  [ "$kind" = formatted ] && same=same-names
  local f="$work/$name.dsr"
  scan "$kind" "$target" "$@" --letter N --save "$(winpath "$f")" --recover "$work/$name.out1" \
    > "$work/$name.saved" 2> "$work/$name.err" &&
    scan "$kind" "$target" "$@" --letter N --load "$(winpath "$f")" --recover "$work/$name.out2" \
      > "$work/$name.loaded" 2>> "$work/$name.err" || {
      echo "save or load failed for $name"; cat "$work/$name.err"; fail=1; return; }
  "$py" "$check" "$same" "$work/$name.saved" "$work/$name.loaded" || fail=1
  # Folders aside (see above) for a formatted result: the same contents.
  local n
  n=$(find "$work/$name.out1" -type f | wc -l)
  if [ "$same" = same-names ]; then
    sums() { (cd "$1" && find . -type f -exec sha256sum {} + | cut -d' ' -f1 | sort); }
    same_bytes() { [ "$(sums "$1")" = "$(sums "$2")" ]; }
  else
    same_bytes() { diff -r "$1" "$2" >/dev/null; }
  fi
  if [ "$n" -gt 0 ] && same_bytes "$work/$name.out1" "$work/$name.out2"; then
    echo "$name: the loaded result recovers the same $n files byte for byte"
  else
    echo "$name: the loaded result recovers other bytes ($n files after the scan)"; fail=1
  fi
  "$py" "$ref" check "$f" "$key" || fail=1
}
img="$work/lost-mbr.img"
roundtrip lost-ntfs lost "$img" --start 36864
roundtrip lost-fat32 lost "$img" --start 55296
roundtrip lost-exfat lost "$img" --start 126976
roundtrip volume-fat32 deleted "$fix/scan-fat32.img"
roundtrip volume-ntfs deleted "$fix/scan-ntfs.img"
roundtrip formatted-fat16 formatted "$fix/fmt-fat16.img"
roundtrip recycle-ntfs recycle "$fix/scan-ntfs.img"
roundtrip deep-carve deep "$fix/carve.img"

# A file the reference writes loads with its entries.
"$py" - "$work/golden.json" <<'EOF'
import json, sys
rows = [["report.docx", "N:\\Docs\\", "2021-03-04  05:06", 12345, 0, 77, 1, 88],
        ["x" * 300, "N:\\" + "deep\\" * 60, "", 1, 0, 2, 0, -1]]
json.dump(rows, open(sys.argv[1], "w"))
EOF
"$py" "$ref" volume "$work/golden.dsr" "$key" '\\.\N:' "$(stat -c %s "$fix/scan-fat16.img")" 3 "$work/golden.json"
scan deleted "$fix/scan-fat16.img" --letter N --load "$(winpath "$work/golden.dsr")" > "$work/golden.rows" 2>&1
if grep -q $'^N:\\\\Docs\\\\report.docx\t12345\t0\t77\t88\t1$' "$work/golden.rows" &&
   [ "$(grep -c $'\t' "$work/golden.rows")" = 2 ]; then
  echo "reference file: loaded with its entries"
else
  echo "reference file: not loaded as written"; cat "$work/golden.rows"; fail=1
fi

# A saved partition whose start lies past the end of the disk (its file
# changed by the reference codec): the load is refused and says why.
"$py" - "$work/lost-fat32.dsr" "$work/past-end.dsr" "$key" "$here" <<'EOF'
import struct, sys
sys.path.insert(0, sys.argv[4])
import dsr_reference as ref
kind, header, records, d = ref.parse(open(sys.argv[1], "rb").read(), sys.argv[3])
d = bytearray(d)
struct.pack_into("<Q", d, 20, 1 << 30)  # start sector: 512 GiB in
head = header[:len(header) - (4 + struct.unpack_from("<I", header, 53)[0])]
open(sys.argv[2], "wb").write(ref.write(kind, head, records, bytes(d), sys.argv[3]))
EOF
rc=0
scan lost "$work/lost-mbr.img" --start 55296 --letter N --load "$(winpath "$work/past-end.dsr")" \
  --recover "$work/past-end.out" > "$work/past-end.rows" 2> "$work/past-end.err" || rc=$?
if [ "$rc" != 0 ] && grep -q 'belongs to a different disk' "$work/past-end.err" &&
   ! grep -q $'\t' "$work/past-end.rows" && [ ! -e "$work/past-end.out" ]; then
  echo "a partition past the disk's end: the load refused, saying the result belongs to another disk"
else
  echo "a partition past the disk's end: exit $rc"; cat "$work/past-end.rows" "$work/past-end.err"; fail=1
fi

# The public disks with their tables wiped.
if [ -n "$shared" ] && [ -d "$shared/corpora/disks/dftt" ]; then
  unzip -q -o "$shared/corpora/disks/dftt/1-extend-part.zip" -d "$work" 1-extend-part/ext-part-test-2.dd
  unzip -q -o "$shared/corpora/disks/dftt/10b-ntfs-autodetect.zip" -d "$work" 10-ntfs-autodetect/10-ntfs-disk.dd
  printf '63\t52353\tFAT16\n52416\t52416\tFAT16\n104832\t52416\tFAT16\n157311\t52353\tFAT16\n209727\t52353\tFAT16\n262143\t50337\tFAT16\n' \
    > "$work/dftt1.key"
  printf '63\t96327\tNTFS\n96390\t96390\tNTFS\n' > "$work/dftt10.key"
  for pair in "1-extend-part/ext-part-test-2.dd dftt1" "10-ntfs-autodetect/10-ntfs-disk.dd dftt10"; do
    set -- $pair
    img="$work/$1"
    dd if=/dev/zero of="$img" bs=1 seek=446 count=64 conv=notrunc status=none
    search_then_check "$img" -- subset "$img.rows" "$work/$2.key"
    if has_testdisk; then testdisk_log "$img" && "$py" "$check" testdisk "$img.testdisk.log" "$img.rows"; fi
  done
else
  echo "public corpus ../shared/corpora/disks/dftt missing: the DFTT disks are not searched"
fi
if [ -n "$shared" ] && [ -d "$shared/corpora/disks/blkid" ]; then
  for n in gpt dos+bsd; do
    img="$work/$n.img"
    xz -dc "$shared/corpora/disks/blkid/$n.img.xz" > "$img"
    lostpart "$img" > "$img.rows" 2>&1 || { echo "lostpart failed on $n"; fail=1; }
    echo "$n.img: $(grep -c $'\t' "$img.rows") found, $(tail -n 1 "$img.rows")"
  done
fi

[ "$fail" = 0 ] && echo "lost-partition fixtures: all checks passed"
exit "$fail"
