#!/usr/bin/env bash
# Runs fsdump over a fixture image and compares it with The Sleuth Kit.
#   compare_tsk.sh IMAGE [SECTOR_OFFSET]
set -euo pipefail
#   IMAGE is a fixture name, or shared:REL for an xz image of the shared corpora.
sectors="${2:-0}"
out="$(mktemp)"
tmpimg=""
trap 'rm -f "$out" $tmpimg' EXIT
case "$1" in
  shared:*)
    tmpimg="$(mktemp)"
    xz -dc "$DELVARO_UNIX_SHARED/${1#shared:}" > "$tmpimg"
    img="$tmpimg" ;;
  *) img="$DELVARO_UNIX_FIXTURES/$1" ;;
esac
winimg="Z:$(echo "$img" | tr '/' '\\')"
"$DELVARO_WINE64" "$DELVARO_UNIX_BIN/fsdump.exe" "$winimg" --offset $((sectors * 512)) > "$out"
python3 "$DELVARO_UNIX_SOURCE_DIR/tests/fat/compare_tsk.py" "$out" "$img" "$sectors"
