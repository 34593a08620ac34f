#!/usr/bin/env bash
# Runs the recover tool over volume images made by the real drivers and
# checks what it wrote (recover_vs_key.py): against the answer keys of the
# recovery fixtures (the files as written), against The Sleuth Kit's icat on
# every fixture with deleted files, the formatted volumes against their
# listings, the recycle bin, and the carving fixture against its truth table.
# No image may change: its hash and time stamp are taken before and after.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
bin="${DELVARO_UNIX_BIN:?}"
fix="${DELVARO_UNIX_FIXTURES:?}"
wine="${DELVARO_WINE64:-/usr/lib/wine/wine64}"
for t in fls icat fsstat python3 sha256sum; do
  command -v "$t" >/dev/null || { echo "missing $t: the oracle needs The Sleuth Kit and python3"; exit 1; }
done
work="$(mktemp -d /tmp/recover-fixtures.XXXXXX)"
trap 'rm -rf "$work"' EXIT
fail=0
winpath() { echo "Z:${1//\//\\}"; }
stamp() { echo "$(sha256sum < "$1" | cut -d' ' -f1) $(stat -c %Y "$1")"; }

recover() { # recover KIND IMAGE OUTDIR > rows
  (cd "$bin" && timeout 600 "$wine" ./recover.exe "$1" "$(winpath "$2")" "$(winpath "$3")" --full-path --letter X) |
    tr -d '\r'
}

check() { # check KIND IMAGE [key]
  local kind="$1" img="$2" name before after
  name="$(basename "$img")"
  before="$(stamp "$img")"
  local rc=0
  recover "$kind" "$img" "$work/$name.out" > "$work/$name.rows" 2> "$work/$name.err" || rc=$?
  if [ "$rc" != 0 ]; then
    # A silent non-zero code is the process dying (an exception code) or the time-out.
    echo "recover failed on $name (exit code $rc)"; cat "$work/$name.err"; tail -n 3 "$work/$name.rows"; fail=1; return 1
  fi
  after="$(stamp "$img")"
  [ "$before" = "$after" ] || { echo "$name changed while it was recovered from"; fail=1; }
  tail -n 1 "$work/$name.rows"
  return 0
}

# The recovery fixtures, against their answer keys and TSK.
for f in recover-ntfs recover-fat32 recover-fat16 recover-exfat; do
  check deleted "$fix/$f.img" &&
    python3 "$here/recover_vs_key.py" "$work/$f.img.rows" "$work/$f.img.out" "$fix/$f.img" \
      --key "$fix/$f.img.key.tsv" || fail=1
done

# The other fixtures with deleted files: what we recover without a note is
# what icat reads.
for f in fat16 fat32 exfat ntfs-4k ntfs-512 ntfs-4kn scan-ntfs scan-fat32 scan-fat16 scan-exfat; do
  check deleted "$fix/$f.img" &&
    python3 "$here/recover_vs_key.py" "$work/$f.img.rows" "$work/$f.img.out" "$fix/$f.img" || fail=1
done

# Formatted volumes: every file of the old listing the scan finds comes back
# at its size, in its folder.
for f in fmt-fat32 fmt-fat16 fmt-exfat fmt-ntfs; do
  check formatted "$fix/$f.img" || continue
  python3 - "$work/$f.img.rows" "$fix/$f.key.tsv" <<'PY' || fail=1
import sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1], encoding="utf-8")]
rows = [r for r in rows if len(r) == 3]
sizes = {}
for path, size, result in rows:
    if result.startswith("recovered"):
        sizes.setdefault(path.rsplit("\\", 1)[-1], []).append(int(size))
key = [l.rstrip("\n").split("\t") for l in open(sys.argv[2], encoding="utf-8")]
found = sum(1 for path, size in key if int(size) in sizes.get(path.rsplit("/", 1)[-1], []))
bad = [r for r in rows if r[2].startswith("failed")]
print("%s: %d of %d listed files recovered at their size, %d failed" % (sys.argv[2], found, len(key), len(bad)))
sys.exit(0 if found >= len(key) - 1 and not bad else 1)
PY
done

# Recycle bins: the files come back under the "Recycle" folder, never "$RECYCLE.BIN".
if check recycle "$fix/scan-ntfs.img"; then
  if grep -q '\$RECYCLE\.BIN\|\$Recycle\.Bin' "$work/scan-ntfs.img.rows" ||
      ! grep -q 'Recycle Bin' "$work/scan-ntfs.img.rows"; then
    echo "recycle-bin files not under the Recycle folder"; fail=1
  fi
fi

# Carved files: every whole, aligned file of the truth table comes back byte
# for byte, sorted into folders by type.
if check deep "$fix/carve.img"; then
  python3 - "$work/carve.img.rows" "$fix/carve.tsv" <<'PY' || fail=1
import hashlib, sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1], encoding="utf-8")]
got = {}
for path, size, result in (r for r in rows if len(r) == 3):
    if result == "recovered":
        unix = "/" + path[3:].replace("\\", "/")
        got.setdefault(hashlib.sha256(open(unix, "rb").read()).hexdigest(), []).append(path)
truth = [l.rstrip("\n").split("\t") for l in open(sys.argv[2], encoding="utf-8")][1:]
want = [t for t in truth if t[3] == "1" and t[4] == "1"]
missing = [t for t in want if t[5] not in got]
misfiled = [p for t in want for p in got.get(t[5], []) if "\\%s\\" % t[2] not in p]
for t in missing:
    print("not recovered: %s at %s" % (t[6], t[0]))
for p in misfiled:
    print("not in its type's folder: %s" % p)
print("carved: %d of %d whole files byte-exact" % (len(want) - len(missing), len(want)))
sys.exit(1 if missing or misfiled else 0)
PY
fi

[ "$fail" -eq 0 ] && echo "all recoveries as expected"
exit "$fail"
