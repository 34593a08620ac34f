#!/usr/bin/env bash
# Carves the fixture image with the program's plug-ins and checks it against
# the image's truth table: every sector-aligned file that its format's rule
# covers whole comes back byte for byte under its extension, and every hit's
# output file holds exactly the image bytes of its reported range.
#   carve-fixture.sh [IMAGE TRUTH]   (fixture names; default carve.img carve.tsv)
set -euo pipefail
img="$DELVARO_UNIX_FIXTURES/${1:-carve.img}"
truth="$DELVARO_UNIX_FIXTURES/${2:-carve.tsv}"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
winpath() { echo "Z:${1//\//\\}"; }
"$DELVARO_WINE64" "$DELVARO_UNIX_BIN/carve.exe" "$(winpath "$img")" "$(winpath "$out/files")" | tr -d '\r' > "$out/list.tsv"
tail -n 1 "$out/list.tsv"
pass=0; fail=0; ranges=0

while IFS=$'\t' read -r off len ext aligned whole sha src; do
  [ "$aligned$whole" = 11 ] || continue
  row="$(awk -F'\t' -v o="$off" '$2 == o' "$out/list.tsv" | head -n 1)"
  if [ -z "$row" ]; then echo "MISSED $ext $src at $off"; fail=$((fail + 1)); continue; fi
  IFS=$'\t' read -r name hstart hlen hext <<<"$row"
  got="$(sha256sum "$out/files/$name" | cut -d' ' -f1)"
  if [ "$hext" != "$ext" ] || [ "$hlen" != "$len" ] || [ "$got" != "$sha" ]; then
    echo "WRONG $src at $off: ext $hext (want $ext), length $hlen (want $len)"; fail=$((fail + 1))
  else
    pass=$((pass + 1))
  fi
done < "$truth"

while IFS=$'\t' read -r name hstart hlen hext; do
  case "$name" in File*) ;; *) continue ;; esac
  want="$(dd if="$img" iflag=skip_bytes,count_bytes skip="$hstart" count="$hlen" status=none | sha256sum | cut -d' ' -f1)"
  got="$(sha256sum "$out/files/$name" | cut -d' ' -f1)"
  [ "$want" = "$got" ] || { echo "RANGE $name differs from the image"; fail=$((fail + 1)); }
  ranges=$((ranges + 1))
done < "$out/list.tsv"

# An empty image and a missing one are refused with a plain message.
: > "$out/empty.img"
for bad in "empty.img:is empty: nothing to scan" "missing.img:cannot open"; do
  rc=0
  "$DELVARO_WINE64" "$DELVARO_UNIX_BIN/carve.exe" "$(winpath "$out/${bad%%:*}")" "$(winpath "$out/none")" \
    > /dev/null 2> "$out/err" || rc=$?
  [ "$rc" != 0 ] || { echo "carve accepted ${bad%%:*}"; fail=$((fail + 1)); }
  grep -q "${bad#*:}" "$out/err" ||
    { echo "no plain message for ${bad%%:*} (exit $rc): $(cat "$out/err")"; fail=$((fail + 1)); }
done
echo "whole files: $pass exact; hit ranges checked: $ranges"
echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ] && [ "$pass" -gt 0 ]
