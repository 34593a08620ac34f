#!/usr/bin/env bash
# Compares fsdump's NTFS rows with The Sleuth Kit (fls -r -p -l, icat) on
# every NTFS fixture and on the public NTFS images, and checks that a fuzzing
# input neither crashes nor hangs fsdump.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
bin="${DELVARO_UNIX_BIN:?}"
fix="${DELVARO_UNIX_FIXTURES:?}"
shared="${DELVARO_UNIX_SHARED:-/nonexistent}"
. "$here/../common/corpus.sh"
. "$here/../common/bounded.sh"
wine="${DELVARO_WINE64:-/usr/lib/wine/wine64}"
for t in fls icat unzip xz python3; do
  command -v "$t" >/dev/null || { echo "missing $t: the oracle needs The Sleuth Kit, unzip, xz, python3"; exit 1; }
done
[ -f "$bin/fsdump.exe" ] || { echo "fsdump.exe not built"; exit 1; }
work="$(mktemp -d /tmp/ntfs-oracle.XXXXXX)"
trap 'rm -rf "$work"' EXIT
fail=0

# Each image is checked in its own background job; a failure leaves a mark.
check_one() { # check_one image offset-sectors
  local img="$1" sec="${2:-}" name
  name="$(basename "$img")"
  python3 "$here/tsk_expect.py" "$img" "$sec" > "$work/$name.tsk" || { echo "tsk failed on $name"; touch "$work/$name.failed"; return; }
  local off=0
  [ -n "$sec" ] && off=$((sec * 512))
  if ! bounded 120 "$wine" "$bin/fsdump.exe" "Z:$img" --offset "$off" > "$work/$name.dump" 2> "$work/$name.err"; then
    echo "fsdump failed on $name after writing $(wc -l < "$work/$name.dump") lines"; cat "$work/$name.err"
    touch "$work/$name.failed"; return
  fi
  python3 "$here/compare_dump.py" "$work/$name.tsk" "$work/$name.dump" > "$work/$name.out" 2>&1 || touch "$work/$name.failed"
  cat "$work/$name.out"
}
check() { check_one "$@" & }

check "$fix/ntfs-4k.img"
check "$fix/ntfs-512.img"
check "$fix/ntfs-4kn.img"
check "$fix/ntfs-prealloc.img"
check "$fix/ntfs-disk.img" 2048

if have_corpus corpora/disks/dftt && have_corpus corpora/disks/blkid/ntfs.img.xz; then
  unzip -q -o "$shared/corpora/disks/dftt/7-undel-ntfs.zip" -d "$work" 7-undel-ntfs/7-ntfs-undel.dd
  unzip -q -o "$shared/corpora/disks/dftt/8-jpeg-search.zip" -d "$work" 8-jpeg-search/8-jpeg-search.dd
  xz -dc "$shared/corpora/disks/blkid/ntfs.img.xz" > "$work/blkid-ntfs.img"
  check "$work/7-undel-ntfs/7-ntfs-undel.dd"
  check "$work/8-jpeg-search/8-jpeg-search.dd"
  check "$work/blkid-ntfs.img"

  # The fuzzing input, as it is and with its boot sector made to claim NTFS:
  # fsdump must answer (rows or a refusal), not crash or hang.
  fz="$shared/corpora/disks/dftt/clusterfuzz-testcase-minimized-sleuthkit_fls_ntfs_fuzzer-5124116049166336"
  cp "$fz" "$work/fuzz.img"; cp "$fz" "$work/fuzz-ntfs.img"; chmod u+w "$work"/fuzz*.img
  printf 'NTFS    ' | dd of="$work/fuzz-ntfs.img" bs=1 seek=3 conv=notrunc status=none
  for f in fuzz.img fuzz-ntfs.img; do
    bounded 60 "$wine" "$bin/fsdump.exe" "Z:$work/$f" > /dev/null 2>"$work/$f.err"
    rc=$?
    echo "fsdump on $f: exit $rc"
    [ $rc -le 1 ] || { fail=1; cat "$work/$f.err"; }
  done
fi
wait
ls "$work"/*.failed >/dev/null 2>&1 && fail=1
finish_with $fail

