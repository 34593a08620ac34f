#!/usr/bin/env bash
# Deep-scans the used FAT volume (pictures written by mtools into the freed
# clusters of older files, tests/fixtures/make-plugslack.sh) with the program's
# carving tool and image plug-ins: every picture listed in the volume's table
# comes back byte for byte under its own extension, though older bytes stand
# right behind each one.
set -euo pipefail
img="$DELVARO_UNIX_FIXTURES/plugslack_fat.img"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
winpath() { echo "Z:${1//\//\\}"; }
"$DELVARO_WINE64" "$DELVARO_UNIX_BIN/carve.exe" "$(winpath "$img")" "$(winpath "$out/files")" |
  tr -d '\r' > "$out/list.tsv"
tail -n 1 "$out/list.tsv"
pass=0; fail=0
while IFS=$'\t' read -r name off size sha; do
  [ "$name" = name ] && continue
  IFS=$'\t' read -r file _ hlen hext < <(awk -F'\t' -v o="$off" '$2 == o' "$out/list.tsv" | head -n 1) || true
  got="$( [ -n "${file:-}" ] && sha256sum "$out/files/$file" | cut -d' ' -f1 || true)"
  if [ "${hext:-}" != "${name##*.}" ] || [ "${hlen:-}" != "$size" ] || [ "$got" != "$sha" ]; then
    echo "WRONG $name at $off: ext ${hext:-none}, length ${hlen:-none} (want $size)"; fail=$((fail + 1))
  else
    pass=$((pass + 1))
  fi
  file=; hext=; hlen=
done < "${img%.img}.tsv"
echo "$pass pictures byte-exact, $fail failed"
[ "$fail" -eq 0 ] && [ "$pass" -eq 11 ]
