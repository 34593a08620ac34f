#!/usr/bin/env bash
# Long names and deep long paths over volumes made by the real tools
# (make-longnames.sh):
#   - exFAT names of 241 to 255 characters (17 name entries): listed as The
#     Sleuth Kit (fls -r -d) lists them, with what follows them in the
#     folder, and recovered byte for byte
#   - 3,000 deleted files of long names 1,000 folders deep (FAT32: folders
#     of 125 and files of 100 characters, exFAT: both of 255): every one
#     listed with its whole path, the scan's peak memory (the Wine
#     process's, from outside) well under 512 MB
#   - a file 300 folders of 118-character names deep (a path longer than
#     the system takes): recovered where its row says, inside the output
#     folder, and nothing else made there
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
bin="${DELVARO_UNIX_BIN:?}"
fix="${DELVARO_UNIX_FIXTURES:?}"
wine="${DELVARO_WINE64:-/usr/lib/wine/wine64}"
for t in fls icat python3 /usr/bin/time; do
  command -v "$t" >/dev/null || { echo "missing $t: the checks need The Sleuth Kit, python3 and GNU time"; exit 1; }
done
work="$(mktemp -d /tmp/longnames-fixtures.XXXXXX)"
trap 'rm -rf "$work"' EXIT
fail=0
# Peak memory a scan may reach, in KiB (well under 512 MB).
peak_limit=$((192 * 1024))

winpath() { echo "Z:${1//\//\\}"; }
tool() { local t="$1"; shift; (cd "$bin" && timeout 300 "$wine" "./$t.exe" "$@"); }

# ---- names of 241 to 255 characters on exFAT ------------------------------------------
img="$fix/names-exfat.img"
python3 - "$work/names.key.tsv" <<'PY'
import hashlib, sys
def content(tag, n):
    buf, off = bytearray(), 0
    while off < n:
        buf += ("%s@%d\n" % (tag, off)).encode().ljust(512, b"-")
        off += 512
    return bytes(buf[:n])
long255, dir250 = "n" * 251 + ".txt", "d" * 250
rows = [("/before.txt", "before.txt", 3000), ("/" + long255, long255, 5000),
        ("/%s/inside.txt" % dir250, "inside.txt", 7000), ("/after1.txt", "after1.txt", 2000),
        ("/after2.txt", "after2.txt", 9000)]
with open(sys.argv[1], "w") as f:
    for path, tag, n in rows:
        data = content(tag, n)
        f.write("%s\t%d\t%s\tdeleted\n" % (path, len(data), hashlib.sha256(data).hexdigest()))
PY
tool scan deleted "$(winpath "$img")" --letter K > "$work/names.rows" 2> "$work/names.err" || {
  echo "scan failed on names-exfat"; cat "$work/names.err"; fail=1; }
python3 "$here/scan_vs_tsk.py" "$work/names.rows" "$img" "Lost folders" || fail=1
listed=$(grep -c $'\t' "$work/names.rows")
if [ "$listed" = 5 ]; then
  echo "names-exfat: the 5 files listed, the 255-character name and the 250-character folder among them"
else
  echo "names-exfat: $listed files listed (want 5)"; fail=1
fi
tool recover deleted "$(winpath "$img")" "$(winpath "$work/names.out")" --full-path --letter X \
  > "$work/names.rec" 2> "$work/names.rerr" || { echo "recover failed on names-exfat"; cat "$work/names.rerr"; fail=1; }
grep $'\t' "$work/names.rec" | grep -v '^[0-9]* entries' > "$work/names.rec.rows"
# Each file byte for byte at the path its row gives (a name longer than the
# recovery keeps is cut in front of its extension), nothing else written.
python3 - "$work/names.rec.rows" "$work/names.out" "$(winpath "$work/names.out")" "$work/names.key.tsv" <<'PY' || fail=1
import hashlib, os, sys
rows, out, wout, key = sys.argv[1:5]
want = {}
for line in open(key, encoding="utf-8"):
    path, size, digest, kind = line.rstrip("\n").split("\t")
    want[digest] = path
found, bad = {}, []
for line in open(rows, encoding="utf-8"):
    cols = line.rstrip("\n").split("\t")
    unix = out + cols[0][len(wout):].replace("\\", "/")
    digest = hashlib.sha256(open(unix, "rb").read()).hexdigest() if os.path.isfile(unix) else None
    if cols[2].startswith("recovered") and digest in want:
        found[want[digest]] = unix
    else:
        bad.append(cols[0][-40:])
written = sum(len(f) for _, _, f in os.walk(out))
print("names-exfat: %d of %d files recovered byte for byte where their rows say, %d files written%s" % (
    len(found), len(want), written, "; not: " + ", ".join(bad) if bad else ""))
sys.exit(0 if len(found) == len(want) and not bad and written == len(want) else 1)
PY

# ---- 3,000 long names 1,000 folders deep ------------------------------------------------
# The rows go straight to the check (they run to hundreds of megabytes): every
# file with its whole path, nothing else. GNU time gives the peak resident
# size of the Wine process that ran the scan.
deep() { # NAME FOLDER-NAME-LENGTH FILE-NAME-LENGTH FILES-PER-FOLDER: the files fill the last folders
  # of the chain from the deepest up, FILES-PER-FOLDER (deepest first) each
  local name="$1" img="$fix/$1.img" rc=0
  (cd "$bin" && timeout 300 /usr/bin/time -f '%M' -o "$work/$name.peak" \
     "$wine" ./scan.exe deleted "$(winpath "$img")" --letter K 2> "$work/$name.err") |
    python3 -c '
import sys
k, n_len = int(sys.argv[1]), int(sys.argv[2])
per = [int(x) for x in sys.argv[3].split(",")]
folders, path = [], "K:\\"
for d in range(1, 1001):
    path += "%04d" % d + "d" * (k - 4) + "\\"
    folders.append(path)
want = set()
n = 1
for depth, count in zip(range(1000 - len(per), 1000), reversed(per)):
    for _ in range(count):
        want.add(folders[depth] + "%04d" % n + "f" * (n_len - 8) + ".txt")
        n += 1
got, other = 0, 0
for line in sys.stdin.buffer:
    cols = line.decode("utf-8").rstrip("\n").split("\t")
    if len(cols) != 6:
        continue
    if cols[0] in want and cols[2] == "1":
        want.discard(cols[0])
        got += 1
    else:
        other += 1
print("%d of 3000 files listed with their whole paths (up to %d characters), %d other rows" % (
    got, len(folders[-1]) + n_len, other))
sys.exit(0 if got == 3000 and other == 0 else 1)
' "$2" "$3" "$4" > "$work/$name.check" || rc=$?
  local peak
  peak=$(tail -n 1 "$work/$name.peak" 2>/dev/null)
  echo "$name: $(cat "$work/$name.check"); peak memory of the scan $((${peak:-0} / 1024)) MiB (limit $((peak_limit / 1024)) MiB)"
  if [ "$rc" != 0 ] || ! [ "${peak:-0}" -gt 0 ] 2>/dev/null || [ "$peak" -ge "$peak_limit" ]; then
    cat "$work/$name.err"; fail=1
  fi
}
deep deepnames-fat32 125 100 1000,1000,1000
deep deepnames-exfat 255 255 2000,1000

# ---- a path longer than the system takes -------------------------------------------------
img="$fix/longpath-fat32.img"
out="$work/longpath.out"
tool recover deleted "$(winpath "$img")" "$(winpath "$out")" --full-path --letter X \
  > "$work/longpath.rec" 2> "$work/longpath.rerr" || { echo "recover failed on longpath-fat32"; cat "$work/longpath.rerr"; fail=1; }
python3 - "$work/longpath.rec" "$out" "$(winpath "$out")" <<'PY' || fail=1
import os, sys
rows, out, wout = sys.argv[1], sys.argv[2], sys.argv[3]
def content(tag, n):
    buf, off = bytearray(), 0
    while off < n:
        buf += ("%s@%d\n" % (tag, off)).encode().ljust(512, b"-")
        off += 512
    return bytes(buf[:n])
lines = [l.rstrip("\n").split("\t") for l in open(rows, encoding="utf-8") if "\t" in l]
lines = [l for l in lines if len(l) >= 3 and not l[0][0].isdigit()]
ok = True
if len(lines) != 1 or not lines[0][2].startswith("recovered"):
    print("longpath: want one recovered row, got %r" % [l[:1] + l[2:] for l in lines]); sys.exit(1)
where = lines[0][0]
if not where.lower().startswith(wout.lower() + "\\"):
    print("longpath: the row's path lies outside the output folder"); sys.exit(1)
unix = out + where[len(wout):].replace("\\", "/")
written = None
try:
    with open(unix, "rb") as f:
        written = f.read()
except OSError as e:
    print("longpath: the row's path (%d characters) cannot be opened: %s" % (len(where), e.strerror))
    ok = False
if written is not None and written != content("bottom.txt", 5000):
    print("longpath: the file at the row's path does not hold bottom.txt's bytes"); ok = False
# Nothing but the folders on the way to the file, and the file.
way = set()
p = os.path.dirname(unix)
while len(p) > len(out):
    way.add(p)
    p = os.path.dirname(p)
stray = []
for root, dirs, files in os.walk(out):
    for d in dirs:
        if os.path.join(root, d) not in way:
            stray.append(os.path.join(root, d))
    for f in files:
        if os.path.join(root, f) != unix:
            stray.append(os.path.join(root, f))
if stray:
    print("longpath: %d stray items in the output folder, such as %s" % (len(stray), stray[0][len(out):][:120]))
    ok = False
if ok:
    print("longpath: recovered byte for byte at the row's path (%d characters, %d folders down), nothing stray"
          % (len(where), where.count("\\") - wout.count("\\") - 1))
sys.exit(0 if ok else 1)
PY

[ "$fail" = 0 ] && echo "long names fixtures: all checks passed"
exit "$fail"
