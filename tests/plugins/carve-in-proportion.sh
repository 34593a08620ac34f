#!/usr/bin/env bash
# What a carve costs stays in proportion to the image, whatever its bytes:
#
# 1. A hundred streamed ZIP headers at the start of a 32 MiB image, then
#    about 13 MiB of 12-byte groups that could each close an entry (more
#    than the ZIP plug-in keeps notes of), then random bytes with a real
#    streamed archive (written by Python's zipfile on a pipe) among them
#    (hostile_carve_images.py). The plug-ins may read at most 3 times the
#    bytes scanned (the carve tool's own figure), and the real archive still
#    comes back byte for byte.
# 2. Two hundred "%PDF-" headers 512 bytes apart before one trailer in 8 MiB:
#    one document, carved once from its first header, not once per header;
#    what is written stays within twice the image.
# 3. One archive of 1,200,000 empty entries (more local headers than the ZIP
#    plug-in keeps of one walk), each on a sector's start a candidate: read
#    at most 3 times the bytes scanned, and carved whole once.
# 4. The headers of 2. with 5,000 Illustrator markers in the first document
#    (more than the PDF plug-in keeps): read at most 3 times the bytes
#    scanned, and the first document still an Illustrator file.
set -uo pipefail
fx="$DELVARO_UNIX_FIXTURES"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
winpath() { echo "Z:${1//\//\\}"; }
fail=0

here="$(dirname "${BASH_SOURCE[0]}")"
python3 "$here/hostile_carve_images.py" zip 32 100 "$fx/stream_python.zip" "$work/zip.img" "$work/zip.truth"
python3 "$here/hostile_carve_images.py" pdf 8 200 "$work/pdf.img" "$work/pdf.truth"
python3 "$here/hostile_carve_images.py" many 100 1200000 "$work/many.img" "$work/many.truth"
python3 "$here/hostile_carve_images.py" pdfmarks 24 300 "$work/marks.img" "$work/marks.truth"
[ -s "$work/zip.img" ] && [ -s "$work/pdf.img" ] && [ -s "$work/many.img" ] && [ -s "$work/marks.img" ] || { echo "images not made"; exit 1; }

carve() {  # carve NAME: carves NAME.img into NAME.out, rows to NAME.tsv
  "$DELVARO_WINE64" "$DELVARO_UNIX_BIN/carve.exe" "$(winpath "$work/$1.img")" "$(winpath "$work/$1.out")" |
    tr -d '\r' > "$work/$1.tsv"
  tail -n 1 "$work/$1.tsv"
}

read_at_most_3x() {  # read_at_most_3x NAME: the plug-ins' reads of NAME's carve
  local ratio
  ratio="$(tail -n 1 "$work/$1.tsv" | sed -n 's/.*plug-ins read [0-9]* bytes (\([0-9.]*\) x scanned).*/\1/p')"
  if [ -z "$ratio" ]; then
    echo "no plug-in read figure from the carve of $1"; fail=$((fail + 1))
  elif ! python3 -c "import sys; sys.exit(0 if float('$ratio') <= 3.0 else 1)"; then
    echo "TOO MUCH READ: on $1 the plug-ins read $ratio x the bytes scanned (at most 3)"; fail=$((fail + 1))
  fi
}

# 1. The notes-filling ZIP image.
carve zip
read_at_most_3x zip
IFS=$'\t' read -r off len sha < "$work/zip.truth"
row="$(awk -F'\t' -v o="$off" '$2 == o' "$work/zip.tsv" | head -n 1)"
IFS=$'\t' read -r name hstart hlen hext <<<"$row"
got="$( [ -n "${name:-}" ] && sha256sum "$work/zip.out/$name" | cut -d' ' -f1 || true)"
if [ "${hlen:-}" != "$len" ] || [ "${hext:-}" != zip ] || [ "$got" != "$sha" ]; then
  echo "WRONG the streamed archive at $off: length ${hlen:-none} (want $len), ext ${hext:-none}"
  fail=$((fail + 1))
fi

# 2. The nested PDF headers.
carve pdf
img_bytes=$(stat -c %s "$work/pdf.img")
listed=$(awk -F'\t' '$1 ~ /^File/ { s += $3 } END { print s + 0 }' "$work/pdf.tsv")
written=$(find "$work/pdf.out" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
files=$(find "$work/pdf.out" -type f | wc -l)
echo "pdf: $files files, $written bytes written for an image of $img_bytes"
if [ "$written" -gt $((2 * img_bytes)) ] || [ "$listed" -gt $((2 * img_bytes)) ]; then
  echo "TOO MUCH WRITTEN: $written bytes ($listed listed) for an image of $img_bytes"; fail=$((fail + 1))
fi
IFS=$'\t' read -r off len < "$work/pdf.truth"
row="$(awk -F'\t' -v o="$off" '$2 == o' "$work/pdf.tsv" | head -n 1)"
IFS=$'\t' read -r name hstart hlen hext <<<"$row"
if [ "${hlen:-}" != "$len" ] || [ "${hext:-}" != pdf ]; then
  echo "WRONG the document at $off: length ${hlen:-none} (want $len), ext ${hext:-none}"; fail=$((fail + 1))
fi
pdfs=$(awk -F'\t' '$1 ~ /^File/ && $4 == "pdf"' "$work/pdf.tsv" | wc -l)
[ "$pdfs" -eq 1 ] || { echo "WRONG $pdfs documents carved from one (want 1)"; fail=$((fail + 1)); }

# 3. The archive of more entries than one walk keeps.
carve many
read_at_most_3x many
IFS=$'\t' read -r off len sha < "$work/many.truth"
zips=$(awk -F'\t' '$1 ~ /^File/ && $4 == "zip"' "$work/many.tsv" | wc -l)
row="$(awk -F'\t' -v o="$off" '$2 == o' "$work/many.tsv" | head -n 1)"
IFS=$'\t' read -r name hstart hlen hext <<<"$row"
got="$( [ -n "${name:-}" ] && sha256sum "$work/many.out/$name" | cut -d' ' -f1 || true)"
if [ "${hlen:-}" != "$len" ] || [ "$got" != "$sha" ] || [ "$zips" -ne 1 ]; then
  echo "WRONG the archive of many entries: length ${hlen:-none} (want $len), $zips archives (want 1)"
  fail=$((fail + 1))
fi

# 4. The Illustrator markers.
carve marks
read_at_most_3x marks
IFS=$'\t' read -r off len < "$work/marks.truth"
row="$(awk -F'\t' -v o="$off" '$2 == o' "$work/marks.tsv" | head -n 1)"
IFS=$'\t' read -r name hstart hlen hext <<<"$row"
if [ "${hlen:-}" != "$len" ] || [ "${hext:-}" != ai ]; then
  echo "WRONG the Illustrator file at $off: length ${hlen:-none} (want $len), ext ${hext:-none}"; fail=$((fail + 1))
fi

echo "$fail failed"
[ "$fail" -eq 0 ]
