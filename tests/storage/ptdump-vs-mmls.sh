#!/usr/bin/env bash
# Compares ptdump's partition rows with The Sleuth Kit's mmls on every
# fixture image and the public disk and volume images: same partitions
# (start, length), for GPT the same names, and none where mmls finds no
# table. Public zips are unpacked into a temp folder.
set -uo pipefail
wine=${DELVARO_WINE64:-wine64}
bin=${DELVARO_UNIX_BIN:?}
fx=${DELVARO_UNIX_FIXTURES:?}
shared=${DELVARO_UNIX_SHARED:?}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

command -v mmls >/dev/null || { echo "mmls not installed: skipped"; exit 0; }

# Every fixture image of the build (disks and bare volumes alike).
images=()
for f in "$fx"/*.img; do images+=("$f"); done
unzip -q -o "$shared/corpora/disks/dftt/1-extend-part.zip" '*.dd' -d "$tmp" &&
  images+=("$tmp/1-extend-part/ext-part-test-2.dd")
unzip -q -o "$shared/corpora/disks/dftt/10b-ntfs-autodetect.zip" '*/10-ntfs-disk.dd' -d "$tmp" &&
  images+=("$tmp/10-ntfs-autodetect/10-ntfs-disk.dd")
for x in gpt dos+bsd; do
  xz -dc "$shared/corpora/disks/blkid/$x.img.xz" > "$tmp/$x.img" && images+=("$tmp/$x.img")
done
# Volume images without a partition table (their boot sector ends in 55 AA
# too): mmls finds no table and ptdump must list nothing, except where the
# formatter wrote a real table entry (mtools' floppy).
for x in fat exfat ntfs fat16_noheads fat32_xp_label1 fat32_label_64MB fat32_cp850_O_tilde; do
  xz -dc "$shared/corpora/disks/blkid/$x.img.xz" > "$tmp/vol-$x.img" && images+=("$tmp/vol-$x.img")
done
for z in 5-fat-daylight 6-undel-fat 7-undel-ntfs 9-fat-label; do
  unzip -q -o "$shared/corpora/disks/dftt/$z.zip" '*.dd' -d "$tmp" && images+=("$(ls "$tmp/$z"/*.dd | head -1)")
done

fail=0
for img in "${images[@]}"; do
  [ -f "$img" ] || { echo "missing $img"; fail=1; continue; }
  # mmls: partition rows only (no Meta, no unallocated), as "start count [name]".
  mm=$(mmls "$img" 2>/dev/null)
  scheme=$(echo "$mm" | head -1)
  want=$(echo "$mm" | awk -v gpt="$([[ $scheme == GUID* ]] && echo 1 || echo 0)" '
    $2 ~ /^[0-9]+(:[0-9]+)?$/ && $2 != "Meta" {
      start=$3+0; len=$5+0; name="";
      if (gpt) { name=$6; for (i=7;i<=NF;i++) name=name" "$i }
      print start, len, name }' | sort -n)
  got=$(cd "$bin" && "$wine" ./ptdump.exe "Z:${img//\//\\}" 2>/dev/null | tr -d '\r' |
        awk -F'\t' -v gpt="$([[ $scheme == GUID* ]] && echo 1 || echo 0)" '
    NR > 1 { name = gpt ? $8 : ""; print $5+0, $6+0, name }' | sed 's/ $//' | sort -n)
  want=$(echo "$want" | sed 's/ $//')
  if [ "$want" != "$got" ]; then
    echo "MISMATCH $(basename "$img")"; echo "mmls:"; echo "$want"; echo "ptdump:"; echo "$got"
    fail=1
  else
    echo "ok $(basename "$img"): $(echo -n "$got" | grep -c .) partitions"
  fi
done
# blkid's expected low-level probe output for its two partition-table images:
# start, size, the MBR type byte or the GPT name (BSD sub-partitions #5 and
# up are not part of the DOS table).
for x in gpt dos+bsd; do
  exp="$shared/corpora/disks/blkid/lowprobe-pt-$x"
  pat='^#[1-4]:'; [ "$x" = gpt ] && pat='^#[0-9]+:'
  want=$(awk -v pat="$pat" '$0 ~ pat { t=$4; name=""; if (match($0, /name=\x27[^\x27]*\x27/)) name=substr($0, RSTART+6, RLENGTH-7);
         printf "%d %d %s\n", $2, $3, (name != "" ? name : t) }' "$exp" | sort -n)
  got=$(cd "$bin" && "$wine" ./ptdump.exe "Z:${tmp//\//\\}\\$x.img" 2>/dev/null | tr -d '\r' |
        awk -F'\t' 'NR > 1 { printf "%d %d %s\n", $5, $6, ($2 == "GPT" ? $8 : sprintf("0x%x", $4)) }' | sort -n)
  if [ "$want" != "$got" ]; then
    echo "MISMATCH with lowprobe-pt-$x"; echo "expected:"; echo "$want"; echo "ptdump:"; echo "$got"; fail=1
  else
    echo "ok lowprobe-pt-$x: $(echo -n "$got" | grep -c .) partitions"
  fi
done
exit $fail
