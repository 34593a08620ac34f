#!/usr/bin/env bash
# Recovery of a used volume beside its floor. An NTFS volume written by
# ntfs-3g holds about 10,000 files of real sizes (drawn from the sizes of the
# files under /usr/share and /usr/lib, about 330 MB in all) in about 1,500
# nested folders, all deleted. Each round, in turns and after a sync:
#   - tsk_recover of The Sleuth Kit (native) recovers the deleted files;
#   - the floor program (bench_recover_floor) makes the same folders and
#     writes the same bytes from memory, one thread: the least any program
#     can do for these files under this Wine; its writing time is the floor;
#   - Delvaro6 (bench_recover: the deleted-files scan, then the recovery
#     worker with the folder paths kept) recovers them, timed as a whole
#     process.
# Prints the three times and Delvaro6's whole process against the floor's
# writing time; every file of Delvaro6's output must be byte-exact at its
# path (a round that is not says so and the run fails).
#   bench/recover/floor/run.sh [BUILD_DIR] [ROUNDS]  (default build/x86_64, 5; needs root for FUSE)
# BENCH_KEEP=DIR keeps the image, the originals' pack and the manifest in DIR
# and reuses them.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)"
bd="$(cd "${1:-$root/build/x86_64}" && pwd)"
rounds="${2:-5}"
work="${BENCH_KEEP:-/tmp/delvaro-recover-floor.$$}"
mkdir -p "$work"
[ -n "${BENCH_KEEP:-}" ] || trap 'rm -rf "$work"' EXIT

img="$work/used-ntfs.img"
pack="$work/originals.pack"
manifest="$work/manifest.tsv"
if [ ! -f "$img" ] || [ ! -f "$pack" ] || [ ! -f "$manifest" ]; then
  echo "making the NTFS image (files of real sizes in nested folders, written and deleted by ntfs-3g)..."
  mnt=$(mktemp -d /tmp/recoverfloor-mnt.XXXXXX)
  truncate -s 640M "$img.tmp"
  mkfs.ntfs -F -Q -q -c 4096 "$img.tmp" 2>/dev/null
  ntfs-3g -o big_writes "$img.tmp" "$mnt"
  find /usr/share /usr/lib -xdev -type f -printf '%s\n' 2>/dev/null > "$work/sizes.txt"
  python3 - "$mnt" "$work/sizes.txt" "$pack" "$manifest" <<'PY'
import os, random, sys
mnt, sizes_file, pack_path, manifest_path = sys.argv[1:5]
population = sorted(int(s) for s in open(sizes_file) if s.strip() and int(s) <= 32 << 20)
if len(population) < 1000:
    sys.exit("too few files under /usr/share and /usr/lib to draw sizes from")
files, folders = 10000, 1500
# Draw the sizes: the first seed whose draw comes to 310-350 MB.
for seed in range(10000):
    rnd = random.Random(seed)
    sizes = rnd.choices(population, k=files)
    if 310e6 <= sum(sizes) <= 350e6:
        break
else:
    sys.exit("no draw of sizes came to about 330 MB")
# Folders: each one under a folder made before it, at most seven deep.
tree = [("tree", 0)]
for i in range(1, folders):
    while True:
        parent, depth = tree[rnd.randrange(len(tree))]
        if depth < 6:
            break
    tree.append(("%s/d%04d" % (parent, i), depth + 1))
exts = ["txt", "jpg", "png", "pdf", "doc", "docx", "xls", "mp3", "html", "js", "css", "py", "c", "h", "so",
        "gz", "xml", "json", "svg", "mo", "zip", "dat", "ttf", "bin"]
with open(manifest_path, "w") as manifest, open(pack_path, "wb") as pack:
    for path, _ in tree:
        os.mkdir(os.path.join(mnt, path))
        manifest.write("D\t%s\n" % path)
    for n, size in enumerate(sizes):
        folder = tree[rnd.randrange(len(tree))][0]
        path = "%s/f%05d.%s" % (folder, n, rnd.choice(exts))
        data = rnd.randbytes(size)
        with open(os.path.join(mnt, path), "wb") as f:
            f.write(data)
        pack.write(data)
        manifest.write("F\t%d\t%s\n" % (size, path))
print("%d files, %d bytes, %d folders (sizes drawn with seed %d)" % (files, sum(sizes), folders, seed))
PY
  sync
  rm -rf "$mnt/tree"
  umount "$mnt"; rmdir "$mnt"
  mv "$img.tmp" "$img"
fi
files=$(grep -c '^F' "$manifest")
folders=$(grep -c '^D' "$manifest")

export WINEPREFIX=${WINEPREFIX:-$bd/wineprefix} WINEDEBUG=-all
wine=${DELVARO_WINE64:-/usr/lib/wine/wine64}
wineserver=${DELVARO_WINESERVER:-/usr/lib/wine/wineserver}
"$wineserver" -p >/dev/null 2>&1 </dev/null || true
win() { echo "Z:${1//\//\\}"; }
# As on Windows, the desktop and the volume are there before either program
# starts: Wine's desktop process is kept up for the run (Wine starts it for the
# first window of the prefix, and a run that started it would wait for it),
# and the image is the volume B: for the whole run (a letter no test uses
# while the benchmarks run; see tests/common/DeviceMap.h).
DELVARO_WINE64="$wine" "$root/tests/common/wine-desktop.sh" up
link="$WINEPREFIX/dosdevices/b::"
ln -sfn "$img" "$link"
out="$work/out"
if [ "$(df -B1G --output=avail /dev/shm 2>/dev/null | tail -n 1 | tr -dc '0-9')" -ge 2 ] 2>/dev/null; then
  out="/dev/shm/delvaro-recover-floor.$$"
fi
rm -rf "$out"; mkdir -p "$out"
trap 'rm -f "$link"; DELVARO_WINE64="$wine" "$root/tests/common/wine-desktop.sh" down; rm -rf "$out"; [ -n "${BENCH_KEEP:-}" ] || rm -rf "$work"' EXIT
echo "outputs go to $out; $files files in $folders folders"

# exact DIR [bypath]: how many files of the manifest DIR holds with their
# bytes: at their own path under DIR (bypath), or anywhere under their name.
exact() {
  python3 - "$1" "$pack" "$manifest" "${2:-}" <<'PY'
import collections, hashlib, os, sys
top, pack_path, manifest_path, mode = sys.argv[1:5]
want = []
with open(pack_path, "rb") as pack:
    for line in open(manifest_path):
        kind, rest = line.rstrip("\n").split("\t", 1)
        if kind == "F":
            size, path = rest.split("\t", 1)
            want.append((path, hashlib.sha256(pack.read(int(size))).hexdigest()))
def digest(p):
    with open(p, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()
n = 0
if mode == "bypath":
    for path, sha in want:
        p = os.path.join(top, path)
        if os.path.isfile(p) and digest(p) == sha:
            n += 1
else:
    have = collections.Counter()
    for d, _, names in os.walk(top):
        for name in names:
            have[(name, digest(os.path.join(d, name)))] += 1
    for path, sha in want:
        key = (os.path.basename(path), sha)
        if have[key] > 0:
            have[key] -= 1
            n += 1
print(n)
PY
}

now() { date +%s.%N; }
cat "$img" "$pack" > /dev/null  # in the page cache for all three
results="$out/results.txt"
: > "$results"
failed=0
for round in $(seq 1 "$rounds"); do
  # Both write at the same depth: Wine looks up every folder of a path.
  rm -rf "$out/tsk" "$out/floor" "$out/ours"; mkdir -p "$out/tsk" "$out/floor/pass0" "$out/ours"
  sync
  t0=$(now)
  tsk_recover "$img" "$out/tsk" > /dev/null
  t1=$(now)
  sync
  "$wine" "$bd/bin/bench_recover_floor.exe" "$(win "$pack")" "$(win "$manifest")" "$(win "$out/floor/pass0")" \
    | tr -d '\r' > "$out/floor.log"
  floor=$(sed -n 's/.* in \([0-9.]*\) s.*/\1/p' "$out/floor.log")
  sync
  t2=$(now)
  (cd "$bd/bin" && "$wine" ./bench_recover.exe - "$(win "$out/ours")" 1 B full) \
    | tr -d '\r' > "$out/ours.log"
  t3=$(now)
  sync
  tsk_s=$(echo "$t1 - $t0" | bc); ours_s=$(echo "$t3 - $t2" | bc)
  ours_exact=$(exact "$out/ours/pass0" bypath)
  tsk_exact=$(exact "$out/tsk")
  ratio=$(echo "$ours_s / $floor" | bc -l)
  printf '== round %d of %d\n' "$round" "$rounds"
  printf '   floor        %6.2f s  (writing; %s)\n' "$floor" "$(cat "$out/floor.log")"
  printf '   Delvaro6     %6.2f s  %5.2fx the floor  %5d of %d byte-exact at their paths  (whole process: scan and recovery)\n' \
    "$ours_s" "$ratio" "$ours_exact" "$files"
  printf '   tsk_recover  %6.2f s  %5.2fx the floor  %5d of %d byte-exact\n' "$tsk_s" "$(echo "$tsk_s / $floor" | bc -l)" \
    "$tsk_exact" "$files"
  sed 's/^/     /' "$out/ours.log"
  echo "$floor $ours_s $tsk_s" >> "$results"
  [ "$ours_exact" = "$files" ] || failed=1
done
python3 - "$results" <<'PY'
import statistics, sys
rows = [list(map(float, l.split())) for l in open(sys.argv[1]) if l.strip()]
floor = statistics.median(r[0] for r in rows)
ours = statistics.median(r[1] for r in rows)
tsk = statistics.median(r[2] for r in rows)
ratio = statistics.median(r[1] / r[0] for r in rows)
print("== medians of %d rounds: floor %.2f s, Delvaro6 %.2f s (%.2fx the floor, round by round), tsk_recover %.2f s"
      % (len(rows), floor, ours, ratio, tsk))
PY
if [ "$failed" != 0 ]; then
  echo "some round did not give every file byte-exact at its path" >&2
  exit 1
fi
