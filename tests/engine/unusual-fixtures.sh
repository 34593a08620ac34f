#!/usr/bin/env bash
# Unusual volumes and disks made by the real tools (make-unusual.sh):
#   - FAT32 and exFAT files 150 and 300 folders deep: listed as The Sleuth
#     Kit (fls -r -d) lists them as far as it goes (128 folders), every one
#     of them recovered byte for byte into its folders
#   - sizes the data cannot hold (an NTFS record claiming 40 MiB over runs
#     of 8 KiB, an exFAT entry claiming 2^50 bytes): listed as damaged (0 %)
#   - a volume whose boot sector is zeroed: the deleted-file and formatted
#     scans say it cannot be read and point to the deep scan
#   - a disk of 4 KiB sectors (GPT): its table, the lost-partition search,
#     the scan and the recovery of the lost partition, in 4 KiB sectors
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
bin="${DELVARO_UNIX_BIN:?}"
fix="${DELVARO_UNIX_FIXTURES:?}"
wine="${DELVARO_WINE64:-/usr/lib/wine/wine64}"
for t in fls icat python3; do
  command -v "$t" >/dev/null || { echo "missing $t: the oracle needs The Sleuth Kit and python3"; exit 1; }
done
work="$(mktemp -d /tmp/unusual-fixtures.XXXXXX)"
trap 'rm -rf "$work"' EXIT
fail=0

winpath() { echo "Z:${1//\//\\}"; }
tool() { local t="$1"; shift; (cd "$bin" && timeout 300 "$wine" "./$t.exe" "$@"); }

# ---- files at any folder depth -------------------------------------------------
# The answer key of both deep images (the bytes make-unusual.sh wrote).
python3 - "$work/deep.key.tsv" <<'PY'
import hashlib, sys
def content(tag, n):
    buf, off = bytearray(), 0
    while off < n:
        buf += ("%s@%d\n" % (tag, off)).encode().ljust(512, b"-")
        off += 512
    return bytes(buf[:n])
rows = []
a = "/".join("a%03d" % k for k in range(1, 151))
rows.append(("/%s/bottom.txt" % a, content("bottom.txt", 3000)))
p = ""
for k in range(1, 301):
    p += "/b%03d" % k
    rows.append(("%s/level-%d.txt" % (p, k), content("level-%d.txt" % k, 600)))
with open(sys.argv[1], "w") as f:
    for path, data in rows:
        f.write("%s\t%d\t%s\tdeleted\n" % (path, len(data), hashlib.sha256(data).hexdigest()))
PY
for name in deep-fat32 deep-exfat; do
  img="$fix/$name.img"
  tool scan deleted "$(winpath "$img")" --letter K > "$work/$name.rows" 2> "$work/$name.err" || {
    echo "scan failed on $name"; cat "$work/$name.err"; fail=1; continue; }
  # fls -r stops 128 folders down: deeper rows are checked by the key below.
  python3 "$here/scan_vs_tsk.py" "$work/$name.rows" "$img" "Lost folders" --tsk-depth 128 || fail=1
  deepest=$(awk -F'\t' 'NF == 6 { n = gsub(/\\/, "\\", $1); if (n > m) m = n } END { print m - 1 }' "$work/$name.rows")
  found=$(grep -c $'\t' "$work/$name.rows")
  if [ "$found" -ge 301 ] && [ "$deepest" -ge 300 ]; then
    echo "$name: $found files listed, the deepest $deepest folders down"
  else
    echo "$name: $found files listed (want 301), the deepest $deepest folders down (want 300)"; fail=1
  fi
  tool recover deleted "$(winpath "$img")" "$(winpath "$work/$name.out")" --full-path --letter X \
    > "$work/$name.rec" 2> "$work/$name.rerr" || { echo "recover failed on $name"; cat "$work/$name.rerr"; fail=1; }
  grep $'\t' "$work/$name.rec" | grep -v '^[0-9]* entries' > "$work/$name.rec.rows"
  python3 "$here/recover_vs_key.py" "$work/$name.rec.rows" "$work/$name.out" "$img" --key "$work/deep.key.tsv" || fail=1
done

# ---- sizes the data cannot hold ----------------------------------------------------
sizes() { # IMAGE DAMAGED HONEST: the damaged entry at 0 %, the honest one not
  local img="$1" rows="$work/$(basename "$1").rows"
  tool scan deleted "$(winpath "$img")" --letter K > "$rows" 2> "$rows.err" || {
    echo "scan failed on $(basename "$img")"; cat "$rows.err"; fail=1; return; }
  python3 - "$rows" "$2" "$3" <<'PY' || fail=1
import sys
rows = {}
for line in open(sys.argv[1], encoding="utf-8"):
    c = line.rstrip("\n").split("\t")
    if len(c) == 6:
        rows[c[0].rsplit("\\", 1)[-1]] = (int(c[1]), int(c[4]))
bad, good = rows.get(sys.argv[2]), rows.get(sys.argv[3])
ok = bad is not None and bad[1] == 0 and good is not None and good[1] != 0
print("%s: claimed %s bytes at %s %%; %s at %s %%" % (
    sys.argv[2], bad and bad[0], bad and bad[1], sys.argv[3], good and good[1]))
sys.exit(0 if ok else 1)
PY
}
sizes "$fix/size-ntfs.img" claims-40m.bin honest.bin
sizes "$fix/size-exfat.img" claims-huge.bin honest.bin

# ---- a volume that cannot be read ----------------------------------------------------
for name in fat32 exfat ntfs-4k; do
  img="$work/zeroed-$name.img"
  cp "$fix/$name.img" "$img"
  dd if=/dev/zero of="$img" bs=512 count=1 conv=notrunc status=none
  for kind in deleted formatted; do
    rc=0
    tool scan "$kind" "$(winpath "$img")" --letter K > "$img.$kind" 2> "$img.$kind.err" || rc=$?
    if [ "$rc" = 3 ] && grep -q '^volume cannot be read: .*deep scan' "$img.$kind" &&
       grep -q 'deep scan' "$img.$kind.err"; then
      echo "zeroed boot sector ($name, $kind): said unreadable, deep scan offered"
    else
      echo "zeroed boot sector ($name, $kind): exit $rc"; cat "$img.$kind" "$img.$kind.err"; fail=1
    fi
  done
done
# The untouched volume still scans as usual.
tool scan deleted "$(winpath "$fix/fat32.img")" --letter K > "$work/fat32.rows" 2>&1 &&
  ! grep -q 'cannot be read' "$work/fat32.rows" || { echo "a readable volume was called unreadable"; fail=1; }

# ---- a disk of 4 KiB sectors ------------------------------------------------------------
img="$fix/disk-4kn.img"
tool ptdump "$(winpath "$img")" > "$work/4kn.pt" 2>&1
if [ "$(grep -c $'^[0-9]\tGPT\t' "$work/4kn.pt")" = 1 ] && grep -q $'\t-7\t256\t16384\t' "$work/4kn.pt"; then
  echo "4 KiB disk: the table lists the exFAT partition alone, at 256 for 16384 sectors"
else
  echo "4 KiB disk: table read wrong"; cat "$work/4kn.pt"; fail=1
fi
tool lostpart "$(winpath "$img")" > "$work/4kn.rows" 2> "$work/4kn.err" || { cat "$work/4kn.err"; fail=1; }
python3 "$here/lostpart_check.py" key "$work/4kn.rows" "$fix/disk-4kn.key.tsv" || fail=1
tool scan lost "$(winpath "$img")" --start 16640 --recover "$(winpath "$work/4kn.out")" \
  > "$work/4kn.scan" 2> "$work/4kn.scan.err" || { echo "scan lost failed"; cat "$work/4kn.scan.err"; fail=1; }
fls -r -p -l -b 4096 -o 16640 "$img" > "$work/4kn.fls" 2>/dev/null
python3 "$here/lostpart_check.py" files "$work/4kn.scan" "$work/4kn.fls" || fail=1
python3 "$here/lostpart_check.py" bytes "$work/4kn.scan" "$work/4kn.out" "$img" 16640 4096 || fail=1
# The deleted files too (fls types them "-/r"): byte for byte as icat reads them.
python3 - "$work/4kn.out" "$img" <<'PY' || fail=1
import os, subprocess, sys
out, img = sys.argv[1], sys.argv[2]
fls = subprocess.run(["fls", "-r", "-p", "-d", "-b", "4096", "-o", "16640", img], capture_output=True, text=True).stdout
same, bad = 0, []
for line in fls.splitlines():
    head, _, path = line.partition("\t")
    if not head.endswith(":") or "/r" not in head or path.startswith("$"):
        continue
    data = subprocess.run(["icat", "-b", "4096", "-o", "16640", img, head.split()[-1].rstrip(":")],
                          capture_output=True).stdout
    mine = os.path.join(out, *path.split("/"))
    if os.path.isfile(mine) and open(mine, "rb").read() == data:
        same += 1
    else:
        bad.append(path)
print("4 KiB disk: %d deleted files recovered as icat reads them%s" % (same, "; not: " + ", ".join(bad) if bad else ""))
sys.exit(1 if bad or same < 2 else 0)
PY

[ "$fail" = 0 ] && echo "unusual fixtures: all checks passed"
exit "$fail"
