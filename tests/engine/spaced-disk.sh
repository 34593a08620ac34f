#!/usr/bin/env bash
# spaced-disk.sh DIR: a 256 MiB plain disk image DIR/spaced.img with a
# picture at the start of every 2 MiB (120 of them: JPEG, with a BMP in the
# fourth and seventh place of every eight), all made by ffmpeg and
# written in place by dd; zeros between them. DIR/spaced.tsv lists each file:
# offset, length, extension. Shared by the failing-disk deep-scan test and
# its benchmark beside PhotoRec.
set -euo pipefail
dir="$1"
mkdir -p "$dir/pics"
command -v ffmpeg >/dev/null || { echo "missing ffmpeg (scripts/setup.sh --tools installs it)"; exit 1; }
ff() { ffmpeg -loglevel error -nostdin -y "$@"; }
# Moving test pictures: every frame differs.
ff -f lavfi -i testsrc2=s=320x240:r=25 -frames:v 120 -q:v 3 "$dir/pics/j%03d.jpg"
ff -f lavfi -i testsrc2=s=200x150:r=25 -frames:v 30 "$dir/pics/b%03d.bmp"
img="$dir/spaced.img"
rm -f "$img"
truncate -s 256M "$img"
: > "$dir/spaced.tsv"
nb=0
for k in $(seq 0 119); do
  case $((k % 8)) in
    3 | 6) nb=$((nb + 1)); f="$(printf '%s/pics/b%03d.bmp' "$dir" "$nb")"; ext=bmp ;;
    *) f="$(printf '%s/pics/j%03d.jpg' "$dir" $((k + 1)))"; ext=jpg ;;
  esac
  dd if="$f" of="$img" bs=2M seek="$k" conv=notrunc status=none
  printf '%d\t%d\t%s\n' $((k * 2 * 1024 * 1024)) "$(stat -c %s "$f")" "$ext" >> "$dir/spaced.tsv"
done
