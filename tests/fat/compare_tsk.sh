#!/usr/bin/env bash
# Runs fsdump over an image and compares it with The Sleuth Kit.
#   compare_tsk.sh IMAGE [SECTOR_OFFSET]   IMAGE: a fixture name, or shared:REL (xz, shared corpora)
set -euo pipefail
out="$(mktemp)"
img="$DELVARO_UNIX_FIXTURES/$1"
trap 'rm -f "$out" ${tmpimg:-}' EXIT
. "$DELVARO_UNIX_SOURCE_DIR/tests/common/corpus.sh"
if [[ "$1" == shared:* ]]; then
  have_corpus "${1#shared:}" || finish_with 0
  tmpimg="$(mktemp)" img="$tmpimg"
  xz -dc "$DELVARO_UNIX_SHARED/${1#shared:}" > "$img"
fi
"$DELVARO_WINE64" "$DELVARO_UNIX_BIN/fsdump.exe" "Z:${img//\//\\}" --offset $(( ${2:-0} * 512 )) > "$out"
python3 "$DELVARO_UNIX_SOURCE_DIR/tests/fat/compare_tsk.py" "$out" "$img" "${2:-0}"
