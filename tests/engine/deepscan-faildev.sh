#!/usr/bin/env bash
# The deep scan of a failing disk. A 256 MiB disk with a picture every 2 MiB
# (spaced-disk.sh: JPEG and BMP by ffmpeg) is served through FUSE files
# whose reads fail as a real device's do (faildev.py) and
# mapped to drive X: as in recover-faildev.sh:
#  - 1 MiB, and 64 KiB, unreadable (EIO) at 100 MiB: every file that does
#    not touch the bad range is listed, exactly where and as long as it is,
#    the scan finishes (code 0) and says how much it could not read;
#  - a pulled device (ENODEV from 150 MiB on): the files before it stay
#    listed and the scan says that it did not finish and where (code 4);
#  - slow failing reads (each sleeps): with one bad MiB the scan still
#    finishes with every readable file, well inside the time failed reads
#    may take (30 s); with a bad stretch in every 2 MiB and a second per
#    failed read it ends when that time is used up, says so (code 4) and
#    what it could not read, and keeps what it found.
# PhotoRec's count on the same devices: bench/deepscan_faildev/run.sh.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
bin="${DELVARO_UNIX_BIN:?}"
wine="${DELVARO_WINE64:-/usr/lib/wine/wine64}"
py=/usr/bin/python3  # Debian's, with python3-fusepy
if [ ! -e /dev/fuse ]; then
  echo "skipped: /dev/fuse is missing, so no failing device can be served"
  exit 77
fi
"$py" -c 'import fusepy' 2>/dev/null || { echo "missing python3-fusepy (scripts/setup.sh installs it)"; exit 1; }
work="$(mktemp -d /tmp/deepscan-faildev.XXXXXX)"
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
fail=0
t0=$SECONDS
winpath() { echo "Z:${1//\//\\}"; }
MiB=$((1024 * 1024))

bash "$here/spaced-disk.sh" "$work" || exit 1
img="$work/spaced.img"
truth="$work/spaced.tsv"
echo "disk made ($((SECONDS - t0)) s)"

# scan NAME IMAGE: a deep scan; rows in NAME.rows, messages in NAME.err, the
# exit code in $rc and the seconds it took in $took.
scan() {
  local name="$1" t=$SECONDS
  (cd "$bin" && timeout 300 "$wine" ./scan.exe deep "$(winpath "$2")" --letter X) 2> "$work/$name.err" \
    | tr -d '\r' > "$work/$name.rows"
  rc=${PIPESTATUS[0]}
  took=$((SECONDS - t))
  echo "$name: code $rc, $took s: $(tail -n 1 "$work/$name.rows")"
  grep -a '^scan:' "$work/$name.err" | tr -d '\r'
}
expect_code() { # NAME CODE
  if [ "$rc" != "$2" ]; then echo "$1: exit code $rc, not $2"; tail -n 5 "$work/$1.err"; fail=1; fi
}
expect_says() { # NAME TEXT: the scan's message on standard error holds TEXT
  if ! grep -aqF -- "$2" "$work/$1.err"; then echo "$1: does not say \"$2\""; fail=1; fi
}
check() { # NAME ARGS...: the listed files against the image's
  "$py" "$here/deepscan_check.py" "$work/$1.rows" "$truth" "${@:2}" | sed "s/^/$1: /"
  [ "${PIPESTATUS[0]}" -eq 0 ] || fail=1
}

scan healthy "$img"
expect_code healthy 0
check healthy
if grep -aq '^scan:' "$work/healthy.err"; then echo "healthy: says something could not be read"; fail=1; fi
healthy_s=$took

# ---- the failing devices -----------------------------------------------------------
gone=$((150 * MiB + 4096))
# A 4 KiB bad stretch 1.5 MiB into every 2 MiB from 20 MiB on, between the files.
many="$(python3 -c "print(', '.join('[%d, 4096]' % ((2 * k + 1) * 1048576 + 524288) for k in range(10, 120)))")"
cat > "$work/faildev.json" <<JSON
{"bad1m.img": {"image": "$img", "bad": [[$((100 * MiB)), $MiB]]},
 "bad64k.img": {"image": "$img", "bad": [[$((100 * MiB)), 65536]]},
 "gone.img": {"image": "$img", "gone_at": $gone}}
JSON
cat > "$work/slow.json" <<JSON
{"slow1m.img": {"image": "$img", "bad": [[$((100 * MiB)), $MiB]], "slow": 0.2},
 "slowmany.img": {"image": "$img", "bad": [$many], "slow": 1.0}}
JSON
mount_dev() { # SCRIPT CONFIG MOUNTPOINT
  "$py" "$here/$1" "$2" "$3" 2> "$3.log" &
  pids+=($!)
  # Mounted, and its files answer (their first sector is good on every one).
  for _ in $(seq 100); do
    mountpoint -q "$3" && head -c 4096 "$3/$(ls "$3" | head -n 1)" > /dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "the failing device $1 did not mount"; cat "$3.log"; exit 1
}
mount_dev faildev.py "$work/faildev.json" "$mnt"
mount_dev faildev.py "$work/slow.json" "$slow"

for b in 1m:$MiB 64k:65536; do
  n="bad${b%%:*}" len="${b#*:}"
  scan "$n" "$mnt/$n.img"
  expect_code "$n" 0
  check "$n" --bad $((100 * MiB)) "$len"
  expect_says "$n" "unreadable: $len bytes in 1 area passed over"
done

scan gone "$mnt/gone.img"
expect_code gone 4
expect_says gone "scan did not finish: the device stopped answering at byte"
at="$(grep -aoE 'answering at byte [0-9]+' "$work/gone.err" | grep -oE '[0-9]+$')"
if [ -z "$at" ] || [ "$at" -lt $((gone - 12 * MiB)) ] || [ "$at" -gt $((gone + 8 * MiB)) ]; then
  echo "gone: says it stopped at byte ${at:-?}, not near $gone"; fail=1
fi
# The scan reads a window (4 MiB) ahead of the one it carves from.
check gone --before $((gone - 9 * MiB))

scan slow1m "$slow/slow1m.img"
expect_code slow1m 0
check slow1m --bad $((100 * MiB)) $MiB
expect_says slow1m "unreadable: $MiB bytes in 1 area passed over"
if [ "$took" -gt $((healthy_s + 30)) ]; then echo "slow1m: took $took s, the healthy disk $healthy_s s"; fail=1; fi

scan slowmany "$slow/slowmany.img"
expect_code slowmany 4
expect_says slowmany "scan did not finish: not everything could be read"
expect_says slowmany "bytes in"
# 30 s for the failed reads, the few reads of the stretch under way, the
# carving itself.
if [ "$took" -gt $((healthy_s + 30 + 25)) ]; then echo "slowmany: took $took s, over its time"; fail=1; fi
check slowmany --before $((21 * MiB))

echo "$((SECONDS - t0)) s"
[ "$fail" -eq 0 ] && echo "every readable file listed, every unreadable stretch told"
exit "$fail"
