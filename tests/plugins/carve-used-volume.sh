#!/usr/bin/env bash
# Deep-scans the used FAT volume (pictures written by mtools into the freed
# clusters of older files, tests/fixtures/make-plugslack.sh) with the program's
# carving tool and image plug-ins: every picture listed in the volume's table
# must come back byte for byte under its own extension, though older bytes
# stand right behind each one.
set -euo pipefail
bin="$DELVARO_UNIX_BIN"
img="$DELVARO_UNIX_FIXTURES/plugslack_fat.img"
truth="$DELVARO_UNIX_FIXTURES/plugslack_fat.tsv"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
winpath() { echo "Z:${1//\//\\}"; }

"$DELVARO_WINE64" "$bin/carve.exe" "$(winpath "$img")" "$(winpath "$out/files")" | tr -d '\r' > "$out/list.tsv"
tail -n 1 "$out/list.tsv"

pass=0; fail=0
while IFS=$'\t' read -r name off size sha; do
  [ "$name" = name ] && continue
  row="$(awk -F'\t' -v o="$off" '$2 == o' "$out/list.tsv" | head -n 1)"
  if [ -z "$row" ]; then
    echo "MISSED $name at $off"; fail=$((fail + 1)); continue
  fi
  IFS=$'\t' read -r file hstart hlen hext <<<"$row"
  got="$(sha256sum "$out/files/$file" | cut -d' ' -f1)"
  if [ "$hext" != "${name##*.}" ] || [ "$hlen" != "$size" ] || [ "$got" != "$sha" ]; then
    echo "WRONG $name at $off: ext $hext, length $hlen (want $size)"; fail=$((fail + 1))
  else
    pass=$((pass + 1))
  fi
done < "$truth"
echo "$pass pictures byte-exact, $fail failed"
[ "$fail" -eq 0 ] && [ "$pass" -eq 11 ]
