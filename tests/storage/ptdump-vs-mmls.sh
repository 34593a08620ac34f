#!/usr/bin/env bash
# ptdump's partition rows against The Sleuth Kit's mmls on every fixture image
# and the public disk and volume images (same start and length, for GPT the
# same names, none where mmls finds no table), and against the answer keys
# published with the public disks.
set -uo pipefail
wine=${DELVARO_WINE64:-wine64}
bin=${DELVARO_UNIX_BIN:?}
fx=${DELVARO_UNIX_FIXTURES:?}
. "$(dirname "${BASH_SOURCE[0]}")/../common/corpus.sh"
shared=${DELVARO_UNIX_SHARED:-/nonexistent}/corpora/disks
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
command -v mmls >/dev/null || { echo "mmls not installed: skipped"; exit 0; }
# ptdump's rows without its heading; its messages and exit code are kept for
# a mismatch to show.
ptdump() {
  (cd "$bin" && "$wine" ./ptdump.exe "Z:${1//\//\\}" 2> "$tmp/ptdump.err" | tr -d '\r' > "$tmp/ptdump.out"
   echo "${PIPESTATUS[0]}" > "$tmp/ptdump.rc")
  tail -n +2 "$tmp/ptdump.out"
}
fail=0
check() {  # name, want, got
  if [ "$2" != "$3" ]; then echo "MISMATCH $1"; echo "want:"; echo "$2"; echo "ptdump:"; echo "$3"
    echo "(ptdump exit code $(cat "$tmp/ptdump.rc" 2>/dev/null), messages: $(cat "$tmp/ptdump.err" 2>/dev/null))"; fail=1
  else echo "ok $1: $(echo -n "$3" | grep -c .) partitions"; fi
}

images=("$fx"/*.img)
have_corpus corpora/disks && for z in 1-extend-part 10b-ntfs-autodetect:10-ntfs-disk 5-fat-daylight 6-undel-fat 7-undel-ntfs 9-fat-label; do
  d=$tmp/${z%%:*}; pat='*.dd'; [[ $z == *:* ]] && pat="*/${z#*:}.dd"
  unzip -q -o "$shared/dftt/${z%%:*}.zip" "$pat" -d "$d" && images+=("$d"/*/*.dd)
done
# The volume images have no partition table though their boot sector ends in
# 55 AA: ptdump must list nothing, except where the formatter wrote a real
# table entry (mtools' floppy).
have_corpus corpora/disks && for x in gpt dos+bsd fat exfat ntfs fat16_noheads fat32_xp_label1 fat32_label_64MB fat32_cp850_O_tilde; do
  xz -dc "$shared/blkid/$x.img.xz" > "$tmp/$x.img" && images+=("$tmp/$x.img")
done

for img in "${images[@]}"; do
  [ -f "$img" ] || { echo "missing $img"; fail=1; continue; }
  mm=$(mmls "$img" 2>/dev/null)
  gpt=0; [[ $(echo "$mm" | head -1) == GUID* ]] && gpt=1
  want=$(echo "$mm" | awk -v gpt=$gpt '$2 ~ /^[0-9]+(:[0-9]+)?$/ {
      name=""; if (gpt) { name=$6; for (i=7;i<=NF;i++) name=name" "$i }
      print $3+0, $5+0, name }' | sed 's/ $//' | sort -n)
  got=$(ptdump "$img" | awk -F'\t' -v gpt=$gpt '{ print $5+0, $6+0, (gpt ? $8 : "") }' | sed 's/ $//' | sort -n)
  check "$(basename "$img")" "$want" "$got"
done

# The extended-partition disk's answer key: three primaries, an extended
# table holding two partitions and a link, then one more logical partition
# (logical flag, type, start, length).
[ "$_corpus_missing" = 0 ] && check "ext-part-test-2 answer key" "0 4 63 52353
0 4 52416 52416
0 4 104832 52416
1 4 157311 52353
1 4 209727 52353
1 6 262143 50337" "$(ptdump "$tmp"/1-extend-part/*/ext-part-test-2.dd | awk -F'\t' '{ print $3, $4, $5, $6 }')"

# blkid's low-level probe output for its partition-table images: start, size
# and the MBR type byte or the GPT name (BSD sub-partitions #5 and up are not
# part of the DOS table).
[ "$_corpus_missing" = 0 ] && for x in gpt dos+bsd; do
  pat='^#[1-4]:'; [ $x = gpt ] && pat='^#[0-9]+:'
  want=$(awk -v pat="$pat" '$0 ~ pat { t=$4; if (match($0, /name=\x27[^\x27]*\x27/)) t=substr($0, RSTART+6, RLENGTH-7)
         printf "%d %d %s\n", $2, $3, t }' "$shared/blkid/lowprobe-pt-$x" | sort -n)
  got=$(ptdump "$tmp/$x.img" | awk -F'\t' '{ printf "%d %d %s\n", $5, $6, ($2 == "GPT" ? $8 : sprintf("0x%x", $4)) }' | sort -n)
  check "lowprobe-pt-$x" "$want" "$got"
done
finish_with $fail
