#!/usr/bin/env bash
# Recovery of a used volume beside its floor. A volume written by the real
# tools (NTFS: ntfs-3g; FAT32: mtools; exFAT: exfat-fuse) holds about 10,000
# files of real sizes (drawn from the sizes of the files under /usr/share and
# /usr/lib, about 330 MB in all) in about 1,500 nested folders, all deleted.
# Each round, in turns and after a sync:
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
#   bench/recover/floor/run.sh [BUILD_DIR] [ROUNDS] [ntfs|fat32|exfat]
#   (default build/x86_64, 5, ntfs; needs root for FUSE and the loop device)
# BENCH_KEEP=DIR keeps the image, the originals' pack and the manifest in DIR
# and reuses them. On FAT32 and exFAT every name is longer than 8.3 (a deleted
# short name has lost its first letter; its long name has not), and the
# volume has 4 KiB clusters as the NTFS one has.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)"
bd="$(cd "${1:-$root/build/x86_64}" && pwd)"
rounds="${2:-5}"
fs="${3:-ntfs}"
case "$fs" in ntfs|fat32|exfat) ;; *) echo "unknown file system: $fs (ntfs, fat32 or exfat)" >&2; exit 2 ;; esac
work="${BENCH_KEEP:-/tmp/delvaro-recover-floor.$$}"
mkdir -p "$work"
[ -n "${BENCH_KEEP:-}" ] || trap 'rm -rf "$work"' EXIT

if [ "$fs" = ntfs ]; then
  img="$work/used-ntfs.img"; pack="$work/originals.pack"; manifest="$work/manifest.tsv"
else
  img="$work/used-$fs.img"; pack="$work/originals-$fs.pack"; manifest="$work/manifest-$fs.tsv"
fi
if [ ! -f "$img" ] || [ ! -f "$pack" ] || [ ! -f "$manifest" ]; then
  echo "making the $fs image (files of real sizes in nested folders, written and deleted by the file system's own tools)..."
  mnt=$(mktemp -d /tmp/recoverfloor-mnt.XXXXXX)
  loop=""
  # The tree is written into $mnt: the mounted volume, or for mtools a
  # folder that mcopy then copies in as a whole.
  unmount() {
    if mountpoint -q "$mnt"; then umount "$mnt" || fusermount -u "$mnt" || true; fi
    if [ -n "$loop" ]; then losetup -d "$loop" || true; loop=""; fi
    rm -rf "$mnt"
  }
  trap 'unmount; [ -n "${BENCH_KEEP:-}" ] || rm -rf "$work"' EXIT
  truncate -s 640M "$img.tmp"
  case "$fs" in
    ntfs)
      mkfs.ntfs -F -Q -q -c 4096 "$img.tmp" 2>/dev/null
      ntfs-3g -o big_writes "$img.tmp" "$mnt" ;;
    fat32)
      export MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=0
      mkfs.fat -F 32 -s 8 -n USEDFAT "$img.tmp" >/dev/null ;;
    exfat)
      mkfs.exfat -c 4K -L USEDEXF "$img.tmp" >/dev/null
      loop="$(losetup -f --show "$img.tmp")"
      mount.exfat-fuse "$loop" "$mnt" ;;
  esac
  find /usr/share /usr/lib -xdev -type f -printf '%s\n' 2>/dev/null > "$work/sizes.txt"
  python3 - "$mnt" "$work/sizes.txt" "$pack" "$manifest" "$fs" <<'PY'
import os, random, sys
mnt, sizes_file, pack_path, manifest_path, fs = sys.argv[1:6]
# NTFS keeps its short names; elsewhere every name is a long one.
top, folder_name, file_name = (("tree", "d%04d", "f%05d.%s") if fs == "ntfs"
                               else ("folder-tree", "folder-%04d", "file-%05d.%s"))
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
tree = [(top, 0)]
for i in range(1, folders):
    while True:
        parent, depth = tree[rnd.randrange(len(tree))]
        if depth < 6:
            break
    tree.append(("%s/%s" % (parent, folder_name % i), depth + 1))
exts = ["txt", "jpg", "png", "pdf", "doc", "docx", "xls", "mp3", "html", "js", "css", "py", "c", "h", "so",
        "gz", "xml", "json", "svg", "mo", "zip", "dat", "ttf", "bin"]
with open(manifest_path, "w") as manifest, open(pack_path, "wb") as pack:
    for path, _ in tree:
        os.mkdir(os.path.join(mnt, path))
        manifest.write("D\t%s\n" % path)
    for n, size in enumerate(sizes):
        folder = tree[rnd.randrange(len(tree))][0]
        path = "%s/%s" % (folder, file_name % (n, rnd.choice(exts)))
        data = rnd.randbytes(size)
        with open(os.path.join(mnt, path), "wb") as f:
            f.write(data)
        pack.write(data)
        manifest.write("F\t%d\t%s\n" % (size, path))
print("%d files, %d bytes, %d folders (sizes drawn with seed %d)" % (files, sum(sizes), folders, seed))
PY
  sync
  top=$(sed -n '1s/^D\t//p' "$manifest")
  if [ "$fs" = fat32 ]; then
    mcopy -s -i "$img.tmp" "$mnt/$top" ::/
    mdeltree -i "$img.tmp" "::/$top"
  else
    rm -rf "${mnt:?}/$top"
  fi
  unmount
  trap - EXIT
  [ -n "${BENCH_KEEP:-}" ] || trap 'rm -rf "$work"' EXIT
  mv "$img.tmp" "$img"
fi
files=$(grep -c '^F' "$manifest")
folders=$(grep -c '^D' "$manifest")
# A FAT scan lists a deleted file only when its size is not 0 (an
# empty one has nothing to give back), as tsk_recover does: those count.
expected=$files
[ "$fs" != fat32 ] || expected=$(grep -c -v -P '^F\t0\t|^D' "$manifest")

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
echo "outputs go to $out; $files files in $folders folders; $expected to come back"

# exact DIR [bypath]: how many files of the manifest DIR holds with their
# bytes: at their own path under DIR (bypath), or anywhere under their name.
exact() {
  python3 - "$1" "$pack" "$manifest" "${2:-}" "$fs" <<'PY'
import collections, hashlib, os, sys
top, pack_path, manifest_path, mode, fs = sys.argv[1:6]
want = []
with open(pack_path, "rb") as pack:
    for line in open(manifest_path):
        kind, rest = line.rstrip("\n").split("\t", 1)
        if kind == "F":
            size, path = rest.split("\t", 1)
            sha = hashlib.sha256(pack.read(int(size))).hexdigest()
            if int(size) or fs != "fat32":
                want.append((path, sha))
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
    "$ours_s" "$ratio" "$ours_exact" "$expected"
  printf '   tsk_recover  %6.2f s  %5.2fx the floor  %5d of %d byte-exact\n' "$tsk_s" "$(echo "$tsk_s / $floor" | bc -l)" \
    "$tsk_exact" "$expected"
  sed 's/^/     /' "$out/ours.log"
  echo "$floor $ours_s $tsk_s" >> "$results"
  [ "$ours_exact" = "$expected" ] || failed=1
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
