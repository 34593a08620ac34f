#!/usr/bin/env bash
# Recovery of 10,000 small deleted files in nested folders from an NTFS
# volume written by ntfs-3g, whole-process beside tsk_recover of The Sleuth
# Kit on the same image in the same run. Both write to the same place (a
# tmpfs when /dev/shm has room), after a sync, in turns; both outputs are
# counted against the originals: a file counts when a recovered file of its
# name has its exact bytes.
#   bench/recover/many.sh [BUILD_DIR] [ROUNDS]  (default build/x86_64, 3; needs root for FUSE)
# BENCH_KEEP=DIR keeps the image and the originals in DIR and reuses them.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
bd="$(cd "${1:-$root/build/x86_64}" && pwd)"
rounds="${2:-3}"
work="${BENCH_KEEP:-/tmp/delvaro-recover-many.$$}"
mkdir -p "$work"
[ -n "${BENCH_KEEP:-}" ] || trap 'rm -rf "$work"' EXIT

img="$work/many-ntfs.img"
sums="$work/originals.sha256"
if [ ! -f "$img" ] || [ ! -f "$sums" ]; then
  echo "making the NTFS image (10,000 files of 100 B to 24 KiB in 3 levels of folders, written and deleted by ntfs-3g)..."
  mnt=$(mktemp -d /tmp/recovermany-mnt.XXXXXX)
  truncate -s 320M "$img.tmp"
  mkfs.ntfs -F -Q -q -c 4096 "$img.tmp" 2>/dev/null
  ntfs-3g "$img.tmp" "$mnt"
  python3 - "$mnt" "$sums" <<'EOF'
import hashlib, os, random, sys
mnt, sums = sys.argv[1], sys.argv[2]
rnd = random.Random(28)
out = []
n = 0
for a in range(10):
    for b in range(10):
        for c in range(5):
            d = os.path.join("tree", "a%02d" % a, "b%02d" % b, "c%d" % c)
            os.makedirs(os.path.join(mnt, d), exist_ok=True)
            for k in range(20):
                name = "file%05d.%s" % (n, rnd.choice(["txt", "dat", "jpg", "doc"]))
                data = rnd.randbytes(rnd.randint(100, 24 * 1024))
                with open(os.path.join(mnt, d, name), "wb") as f:
                    f.write(data)
                out.append("%s  %s\n" % (hashlib.sha256(data).hexdigest(), os.path.join(d, name)))
                n += 1
with open(sums, "w") as f:
    f.writelines(out)
print(n, "files")
EOF
  sync
  rm -rf "$mnt/tree"
  umount "$mnt"; rmdir "$mnt"
  mv "$img.tmp" "$img"
fi
total=$(wc -l < "$sums")

export WINEPREFIX=${WINEPREFIX:-$bd/wineprefix} WINEDEBUG=-all
wine=${DELVARO_WINE64:-/usr/lib/wine/wine64}
wineserver=${DELVARO_WINESERVER:-/usr/lib/wine/wineserver}
"$wineserver" -p 2>/dev/null || true
win() { echo "Z:${1//\//\\}"; }
out="$work/out"
if [ "$(df -B1G --output=avail /dev/shm 2>/dev/null | tail -n 1 | tr -dc '0-9')" -ge 2 ] 2>/dev/null; then
  out="/dev/shm/delvaro-recover-many.$$"
  trap 'rm -rf "$out"; [ -n "${BENCH_KEEP:-}" ] || rm -rf "$work"' EXIT
fi
rm -rf "$out"; mkdir -p "$out"
echo "outputs go to $out"
bytes=$(awk '{print $2}' "$sums" | wc -l)

# exact DIR: how many originals have a file of their name with their bytes under DIR.
exact() {
  python3 - "$1" "$sums" <<'EOF'
import collections, hashlib, os, sys
top, sums = sys.argv[1], sys.argv[2]
have = collections.Counter()
size = 0
for d, _, files in os.walk(top):
    for f in files:
        p = os.path.join(d, f)
        with open(p, "rb") as h:
            data = h.read()
        size += len(data)
        have[(f, hashlib.sha256(data).hexdigest())] += 1
n = 0
for line in open(sums):
    sha, path = line.split(None, 1)
    key = (os.path.basename(path.strip()), sha)
    if have[key] > 0:
        have[key] -= 1
        n += 1
print(n, size)
EOF
}

cat "$img" > /dev/null  # in the page cache for both
for round in $(seq 1 "$rounds"); do
  rm -rf "$out/tsk" "$out/ours"; mkdir -p "$out/tsk" "$out/ours"
  sync
  t0=$(date +%s.%N)
  tsk_recover "$img" "$out/tsk" > /dev/null
  sync
  t1=$(date +%s.%N)
  read -r tn tb < <(exact "$out/tsk")
  sync
  t2=$(date +%s.%N)
  (cd "$bd/bin" && "$wine" ./bench_recover.exe "$(win "$img")" "$(win "$out/ours")" 1 B full) | tr -d '\r' > "$out/ours.log"
  sync
  t3=$(date +%s.%N)
  read -r on ob < <(exact "$out/ours/pass0")
  ts=$(echo "$t1 - $t0" | bc); os_=$(echo "$t3 - $t2" | bc)
  printf '== round %d of %d files\n' "$round" "$total"
  printf '   tsk_recover  %6.2f s  %6.1f MB/s  %5d byte-exact\n' "$ts" "$(echo "$tb / 1048576 / $ts" | bc -l)" "$tn"
  printf '   Delvaro6     %6.2f s  %6.1f MB/s  %5d byte-exact   (whole process: scan and recovery)\n' \
    "$os_" "$(echo "$ob / 1048576 / $os_" | bc -l)" "$on"
  sed 's/^/     /' "$out/ours.log"
done
