#!/usr/bin/env bash
# Carving benchmark on a used volume made by the real driver: a 1.5 GiB NTFS
# volume (mkfs.ntfs, written through ntfs-3g) filled in turns with real files
# of every type the plug-ins handle (make-files.sh) and with other real files
# of this machine (libraries, compressed manuals, texts), a third of them
# deleted again and more files written over the freed space. The program's
# carving tool with every plug-in and PhotoRec with all its file types carve
# the same image; for each the whole-process time and peak memory are
# printed, and per type how many of the files that still lie whole and in one
# piece on the volume (live or deleted) came back byte for byte.
#   bench/carve_all/used.sh [BUILD_DIR]   (default: build/x86_64)
# BENCH_FILES (default 600) sets how many files make-files.sh makes;
# BENCH_KEEP=DIR keeps the image and its truth table in DIR for the next run.
# Needs root for the FUSE mount.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
bd="$(cd "${1:-$root/build/x86_64}" && pwd)"
count="${BENCH_FILES:-600}"
if [ -n "${BENCH_KEEP:-}" ]; then
  work="$BENCH_KEEP"
  mkdir -p "$work"
else
  work="${BENCH_TMP:-/tmp}/delvaro-carve-used.$$"
fi
mnt="$work/mnt"
cleanup() {
  mountpoint -q "$mnt" 2> /dev/null && umount "$mnt" || true
  rm -rf "$work/out"
  [ -n "${BENCH_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
rm -rf "$work/out"
mkdir -p "$work/out" "$mnt"
ours="jpg gif bmp ico psd avi wav mp3 amr zip docx xlsx pptx odt cab doc xls ppt pdf exe dll dwg rar cr2 nef dng"

if [ -f "$work/used.img" ] && [ -f "$work/used-truth.tsv" ]; then
  echo "reusing the image in $work"
else
  rm -rf "$work/other"
  if [ ! -f "$work/files/.made" ]; then
    rm -rf "$work/files"
    echo "making the files..."
    bash "$root/bench/carve_all/make-files.sh" "$work/files" "$count"
    touch "$work/files/.made"
  fi
  # Other real files: shared libraries, compressed manuals and texts.
  mkdir -p "$work/other"
  find /usr/lib/x86_64-linux-gnu -maxdepth 1 -name '*.so*' -type f -size +64k 2> /dev/null | sort | sed -n '1,220p' |
    while read -r p; do cp "$p" "$work/other/lib_$(basename "$p")"; done
  find /usr/share/doc -name '*.gz' -type f 2> /dev/null | sort | sed -n '1,400p' |
    while read -r p; do cp "$p" "$work/other/gz_$(echo "$p" | tr / _)"; done
  find /usr/share/doc -name 'copyright' -type f 2> /dev/null | sort | sed -n '1,300p' |
    while read -r p; do cp "$p" "$work/other/txt_$(echo "$p" | tr / _).txt"; done
  echo "writing the volume..."
  rm -f "$work/used.img"
  truncate -s 1536M "$work/used.img"
  mkfs.ntfs -F -Q -L used "$work/used.img" > /dev/null
  ntfs-3g -o big_writes "$work/used.img" "$mnt"
  # Three rounds: a share of the files of each kind in shuffled order, then
  # every third file written so far deleted.
  python3 - "$work" <<'PY'
import os, random, shutil, sys
work = sys.argv[1]
rng = random.Random(7)
ours = sorted(n for n in os.listdir(os.path.join(work, "files")) if not n.startswith("."))
other = sorted(os.listdir(os.path.join(work, "other")))
rng.shuffle(ours); rng.shuffle(other)
mnt = os.path.join(work, "mnt")
written, deleted = [], []
for r in range(3):
    batch = [("files", n) for n in ours[r::3]] + [("other", n) for n in other[r::3]]
    rng.shuffle(batch)
    d = os.path.join(mnt, "round%d" % r)
    os.makedirs(d, exist_ok=True)
    for src, n in batch:
        dst = os.path.join(d, n)
        shutil.copyfile(os.path.join(work, src, n), dst)
        written.append((src, n, dst))
    os.sync()
    for i in range(0, len(written), 3):
        src, n, dst = written[i]
        if os.path.exists(dst):
            os.remove(dst)
            deleted.append(n)
    os.sync()
with open(os.path.join(work, "deleted.txt"), "w") as f:
    f.write("\n".join(deleted) + "\n")
PY
  sync
  umount "$mnt"
  # The truth: every file of the handled types, and whether its bytes still
  # lie whole and in one piece at a sector boundary of the image.
  python3 - "$work" "$ours" <<'PY'
import hashlib, os, sys
work, ours = sys.argv[1], set(sys.argv[2].split())
img = open(os.path.join(work, "used.img"), "rb")
deleted = set(open(os.path.join(work, "deleted.txt")).read().split("\n"))
files = {}
for n in sorted(os.listdir(os.path.join(work, "files"))):
    if n.startswith("."):
        continue
    ext = n.rsplit(".", 1)[-1].lower()
    if ext in ours:
        data = open(os.path.join(work, "files", n), "rb").read()
        if len(data) >= 512:
            files.setdefault(data[:64], []).append((n, ext, data))
found = {}
block = 64 << 20
pos = 0
while True:
    img.seek(pos)
    chunk = img.read(block + 64)
    if len(chunk) < 64:
        break
    for i in range(0, min(block, len(chunk) - 63), 512):
        head = chunk[i:i + 64]
        if head in files:
            for n, ext, data in files[head]:
                if n in found:
                    continue
                img.seek(pos + i)
                if img.read(len(data)) == data:
                    found[n] = pos + i
    pos += block
with open(os.path.join(work, "used-truth.tsv"), "w") as f:
    for head, lst in sorted(files.items()):
        for n, ext, data in lst:
            state = "deleted" if n in deleted else "live"
            f.write("%s\t%s\t%s\t%d\t%s\t%s\n" % (n, ext, state, len(data), hashlib.sha256(data).hexdigest(),
                                                   found.get(n, -1)))
PY
  rm -rf "$work/files" "$work/other"
fi

bytes=$(stat -c %s "$work/used.img")
python3 - "$work/used-truth.tsv" <<'PY'
import sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1])]
whole = [r for r in rows if int(r[5]) >= 0]
print("volume: %d files of the handled types written, %d still whole and in one piece "
      "(%d live, %d deleted)" % (len(rows), len(whole), sum(r[2] == "live" for r in whole),
                                 sum(r[2] == "deleted" for r in whole)))
PY

# Per type: the files still whole on the volume whose exact bytes are among
# the files a tool wrote.
table() {  # table NAME DIR
  find "$2" -type f -print0 | xargs -0 -r sha256sum | cut -d' ' -f1 | sort -u > "$work/got.sha"
  python3 - "$1" "$work/used-truth.tsv" "$work/got.sha" <<'PY'
import collections, sys
name, truth, got = sys.argv[1], sys.argv[2], set(open(sys.argv[3]).read().split())
tot, ok = collections.Counter(), collections.Counter()
for line in open(truth):
    n, ext, state, size, sha, at = line.rstrip("\n").split("\t")
    if int(at) < 0:
        continue
    tot[ext] += 1
    ok[ext] += sha in got
print("%-9s byte-exact %d of %d: %s" % (name + ":", sum(ok.values()), sum(tot.values()),
                                        "  ".join("%s %d/%d" % (e, ok[e], tot[e]) for e in sorted(tot))))
PY
}
# Whole-process figures: wall time and peak resident memory.
measure() {  # measure NAME COMMAND...
  local t="$work/$1.time"
  /usr/bin/time -f "%e %M" -o "$t" "${@:2}" > "$work/$1.out" 2>&1 || true
  read -r wall kb < "$t"
  python3 -c "import sys; w=float(sys.argv[1]); print('%-9s whole process %.1f s (%.0f MB/s), peak memory %.0f MiB' % (sys.argv[3] + ':', w, float(sys.argv[4])/1e6/w, float(sys.argv[2])/1024))" "$wall" "$kb" "$1" "$bytes"
}

. "$root/scripts/wine-env.sh" "$bd"
wine_start
"$WINE64" cmd /c exit < /dev/null > /dev/null 2>&1 || true
cat "$work/used.img" > /dev/null  # both read it from the page cache
winimg="Z:${work//\//\\}\\used.img"
mkdir -p "$work/out/carve"
measure carve "$WINE64" "$bd/bin/carve.exe" "$winimg" "Z:${work//\//\\}\\out\\carve"
table carve "$work/out/carve"
rm -rf "$work/out/carve"
mkdir -p "$work/out/pr"
measure photorec bash -c "cd '$work/out/pr' && photorec /log /d '$work/out/pr/f' /cmd '$work/used.img' partition_none,fileopt,everything,enable,search"
table photorec "$work/out/pr"
