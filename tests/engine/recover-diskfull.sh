#!/usr/bin/env bash
# A recovery onto a target that fills up: a 3 MiB tmpfs mounted as Wine's
# drive F:. The file that does not fit (a 5 MiB one) fails alone with the
# "DiskNoSpace" text and the run goes on with the others, which fit; nothing
# partial or empty is left, and the scanned image is unchanged. Needs root to
# mount (else skipped).
set -uo pipefail
bin="${DELVARO_UNIX_BIN:?}"
fix="${DELVARO_UNIX_FIXTURES:?}"
wine="${DELVARO_WINE64:-/usr/lib/wine/wine64}"
prefix="${WINEPREFIX:?}"
work="$(mktemp -d /tmp/recover-full.XXXXXX)"
full="$work/full"
mkdir -p "$full"
cleanup() {
  rm -f "$prefix/dosdevices/f:"
  mountpoint -q "$full" && umount "$full"
  rm -rf "$work"
}
trap cleanup EXIT
if [ "$(id -u)" != 0 ] || ! mount -t tmpfs -o size=3m tmpfs "$full" 2>/dev/null; then
  echo "skipped: mounting a tmpfs needs root"
  exit 77
fi
ln -sfn "$full" "$prefix/dosdevices/f:"
img="$fix/recover-fat32.img"
before="$(sha256sum < "$img") $(stat -c %Y "$img")"
(cd "$bin" && timeout 300 "$wine" ./recover.exe deleted "Z:${img//\//\\}" 'F:\out' --full-path --letter E \
  2> "$work/err") | tr -d '\r' > "$work/rows"
after="$(sha256sum < "$img") $(stat -c %Y "$img")"
fail=0
[ "$before" = "$after" ] || { echo "the scanned image changed"; fail=1; }
grep -q "not enough free space" "$work/err" || { echo "no DiskNoSpace message"; cat "$work/err"; fail=1; }
python3 - "$work/rows" "$full" <<'PY' || fail=1
import os, sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1], encoding="utf-8")]
last, rows = rows[-1], [r for r in rows if len(r) == 3]
full = sys.argv[2]
errors = []
written = set()
full_rows = [r for r in rows if r[0] == "-" and "full" in r[2]]
for path, size, result in rows:
    if path == "-":
        if "full" not in result:
            errors.append("failed otherwise: %s" % result)
        continue
    p = os.path.join(full, *path[3:].split("\\"))
    written.add(p)
    if not os.path.isfile(p) or os.path.getsize(p) != int(size) or not result.startswith("recovered"):
        errors.append("bad row: %s %s %s" % (path, size, result))
for root, _, files in os.walk(full):
    for f in files:
        p = os.path.join(root, f)
        if p not in written or os.path.getsize(p) == 0:
            errors.append("left behind: %s" % p)
if len(full_rows) != 1:
    errors.append("%d entries failed for a full target, not the one that does not fit" % len(full_rows))
if len(rows) != 13 or len(written) != 12:
    errors.append("the run did not go on with the entries that fit")
print("\n".join(errors + [last[0] if last else "", "%d rows, %d files written" % (len(rows), len(written))]))
sys.exit(1 if errors else 0)
PY
exit "$fail"
