#!/usr/bin/env bash
# Carves the fixture image with every plug-in of the program's type folder and
# checks the result against the image's truth table:
#  - every sector-aligned file whose format rule covers the whole file comes
#    back byte for byte under its extension;
#  - every hit's output file holds exactly the image bytes of its reported range.
set -euo pipefail
bin="$DELVARO_UNIX_BIN"
img="$DELVARO_UNIX_FIXTURES/carve.img"
truth="$DELVARO_UNIX_FIXTURES/carve.tsv"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
winpath() { echo "Z:${1//\//\\}"; }

"$DELVARO_WINE64" "$bin/carve.exe" "$(winpath "$img")" "$(winpath "$out/files")" | tr -d '\r' > "$out/list.tsv"
tail -n 1 "$out/list.tsv"

declare -A plugin=([jpg]=fmt_jpg [gif]=fmt_gif [bmp]=fmt_bmp [ico]=fmt_ico [psd]=fmt_psd)
pass=0; fail=0; skipped=0

# Whole files of handled formats: byte for byte.
while IFS=$'\t' read -r off len ext aligned whole sha src; do
  [ "$off" = offset ] && continue
  [ "$aligned" = 1 ] && [ "$whole" = 1 ] || continue
  if [ ! -f "$bin/type/${plugin[$ext]}.dll" ]; then
    skipped=$((skipped + 1)); echo "no plug-in for $ext: $src at $off not checked"; continue
  fi
  row="$(awk -F'\t' -v o="$off" '$2 == o' "$out/list.tsv" | head -n 1)"
  if [ -z "$row" ]; then
    echo "MISSED $ext $src at $off"; fail=$((fail + 1)); continue
  fi
  IFS=$'\t' read -r name hstart hlen hext <<<"$row"
  got="$(sha256sum "$out/files/$name" | cut -d' ' -f1)"
  if [ "$hext" != "$ext" ] || [ "$hlen" != "$len" ] || [ "$got" != "$sha" ]; then
    echo "WRONG $src at $off: ext $hext (want $ext), length $hlen (want $len)"; fail=$((fail + 1))
  else
    pass=$((pass + 1))
  fi
done < "$truth"

# Every hit: the written file is the image's bytes over the reported range.
ranges=0
while IFS=$'\t' read -r name hstart hlen hext; do
  case "$name" in File*) ;; *) continue ;; esac
  want="$(dd if="$img" iflag=skip_bytes,count_bytes skip="$hstart" count="$hlen" status=none | sha256sum | cut -d' ' -f1)"
  got="$(sha256sum "$out/files/$name" | cut -d' ' -f1)"
  if [ "$want" != "$got" ]; then echo "RANGE $name differs from the image"; fail=$((fail + 1)); fi
  ranges=$((ranges + 1))
done < "$out/list.tsv"

echo "whole files: $pass exact, $skipped without plug-in; hit ranges checked: $ranges"
echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ] && [ "$pass" -gt 0 ]
