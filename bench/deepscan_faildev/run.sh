#!/usr/bin/env bash
# The deep scan of a failing disk beside PhotoRec: the 256 MiB disk of the
# failing-disk test (tests/engine/spaced-disk.sh: a picture every 2 MiB, by
# ffmpeg) served through FUSE (tests/engine/faildev.py) with
# 1 MiB and 64 KiB unreadable at 100 MiB, a device pulled at 150 MiB, and a
# bad MiB whose every failed read sleeps 0.2 s. For each device, the scan
# tool (under Wine, drive X:) and PhotoRec run one after the other; each
# prints its wall time and how many of the planted files it found (the scan
# tool: listed at their offset with their length; PhotoRec: recovered byte
# for byte), and the scan tool what it said it could not read.
#   bench/deepscan_faildev/run.sh [BUILD_DIR]   (default: build/x86_64)
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
bd="$(cd "${1:-$root/build/x86_64}" && pwd)"
tests="$root/tests/engine"
py=/usr/bin/python3
[ -e /dev/fuse ] || { echo "no /dev/fuse: no failing device can be served"; exit 1; }
command -v photorec >/dev/null || { echo "missing photorec (package testdisk)"; exit 1; }
. "$root/scripts/wine-env.sh" "$bd"
wine_start >/dev/null 2>&1 || true
work="$(mktemp -d "${BENCH_TMP:-/tmp}/delvaro-deepscan-faildev.XXXXXX")"
mnt="$work/mnt" slow="$work/slow"
mkdir -p "$mnt" "$slow"
pids=()
cleanup() {
  for m in "$mnt" "$slow"; do
    if mountpoint -q "$m"; then fusermount -u "$m" 2>/dev/null || umount -l "$m" 2>/dev/null; fi
  done
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
MiB=$((1024 * 1024))
bash "$tests/spaced-disk.sh" "$work" >/dev/null || exit 1
img="$work/spaced.img"
cat > "$work/faildev.json" <<JSON
{"bad1m.img": {"image": "$img", "bad": [[$((100 * MiB)), $MiB]]},
 "bad64k.img": {"image": "$img", "bad": [[$((100 * MiB)), 65536]]},
 "gone.img": {"image": "$img", "gone_at": $((150 * MiB + 4096))}}
JSON
cat > "$work/slow.json" <<JSON
{"slow1m.img": {"image": "$img", "bad": [[$((100 * MiB)), $MiB]], "slow": 0.2}}
JSON
mount_dev() { # SCRIPT CONFIG MOUNTPOINT
  "$py" "$tests/$1" "$2" "$3" 2> "$3.log" &
  pids+=($!)
  for _ in $(seq 100); do
    mountpoint -q "$3" && head -c 4096 "$3/$(ls "$3" | head -n 1)" > /dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "the failing device $1 did not mount"; cat "$3.log"; exit 1
}
mount_dev faildev.py "$work/faildev.json" "$mnt"
mount_dev faildev.py "$work/slow.json" "$slow"

# PhotoRec's files that are a planted file byte for byte.
photorec_found() { # DIR
  "$py" - "$1" "$work/spaced.tsv" "$img" <<'PY'
import hashlib, os, sys
out, truth, img = sys.argv[1:4]
want = set()
with open(img, "rb") as f:
    for line in open(truth):
        off, n, _ = line.split()
        f.seek(int(off))
        want.add(hashlib.md5(f.read(int(n))).hexdigest())
got = set()
for d, _, names in os.walk(out):
    for n in names:
        h = hashlib.md5(open(os.path.join(d, n), "rb").read()).hexdigest()
        if h in want:
            got.add(h)
print(len(got))
PY
}
printf '%-8s %-10s %7s %6s  %s\n' device tool seconds found "said"
for dev in "$img" "$mnt/bad1m.img" "$mnt/bad64k.img" "$mnt/gone.img" "$slow/slow1m.img"; do
  name="$(basename "$dev" .img)"
  [ "$dev" = "$img" ] && name=healthy
  t0=$(date +%s.%N)
  (cd "$bd/bin" && timeout 600 "$WINE64" ./scan.exe deep "Z:${dev//\//\\}" --letter X) 2> "$work/$name.err" \
    | tr -d '\r' > "$work/$name.rows"
  rc=${PIPESTATUS[0]}
  t1=$(date +%s.%N)
  found="$("$py" "$tests/deepscan_check.py" "$work/$name.rows" "$work/spaced.tsv" | tail -n 1 | awk '{print $2}')"
  said="$(grep -a '^scan:' "$work/$name.err" | tr -d '\r' | sed 's/^scan: //')"
  printf '%-8s %-10s %7.1f %6s  code %s %s\n' "$name" delvaro "$(echo "$t1 - $t0" | bc)" "$found" "$rc" "$said"
  rm -rf "$work/pr"; mkdir -p "$work/pr"
  t0=$(date +%s.%N)
  timeout 600 photorec /d "$work/pr/out" /cmd "$dev" partition_none,options,paranoid,fileopt,everything,enable,search \
    > "$work/pr.log" 2>&1
  t1=$(date +%s.%N)
  printf '%-8s %-10s %7.1f %6s\n' "$name" photorec "$(echo "$t1 - $t0" | bc)" "$(photorec_found "$work/pr")"
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
