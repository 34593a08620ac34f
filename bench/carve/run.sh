#!/usr/bin/env bash
# Carving benchmark: a 1 GiB image of random bytes with a few hundred real
# picture files (JPEG, GIF, BMP, ICO, PSD made by ImageMagick) on sector
# boundaries. Runs carve under Wine and PhotoRec on the same image, and prints
# each one's speed and how many planted files came back byte for byte.
#   bench/carve/run.sh [BUILD_DIR]   (default: build/x86_64)
# BENCH_KEEP=DIR keeps the image, its pictures and truth table in DIR and
# reuses them on the next run (outputs are still made afresh);
# BENCH_SKIP_PHOTOREC=1 runs carve only.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
bd="${1:-$root/build/x86_64}"
count="${BENCH_FILES:-300}"
if [ -n "${BENCH_KEEP:-}" ]; then
  work="$BENCH_KEEP"
  mkdir -p "$work"
  rm -rf "$work/carve-out" "$work/pr"
  trap 'rm -rf "$work/carve-out" "$work/pr"' EXIT
else
  work="${BENCH_TMP:-/tmp}/delvaro-carve-bench.$$"
  trap 'rm -rf "$work"' EXIT
fi
if [ -f "$work/bench.img" ] && [ -f "$work/truth.tsv" ]; then
  echo "reusing the image in $work"
else
mkdir -p "$work/pics"

echo "making $count pictures..."
for i in $(seq 1 "$count"); do
  w=$(( 40 + (i * 37) % 600 )); h=$(( 30 + (i * 53) % 400 ))
  case $(( i % 5 )) in
    0) convert -size ${w}x${h} plasma:fractal -seed $i -quality $(( 60 + i % 35 )) "$work/pics/p$i.jpg" ;;
    1) convert -size ${w}x${h} plasma:fractal -seed $i -colors 64 "$work/pics/p$i.gif" ;;
    2) convert -size $(( w / 2 + 8 ))x$(( h / 2 + 8 )) plasma:fractal -seed $i -type TrueColor "$work/pics/p$i.bmp" ;;
    3) s=$(( 16 + (i % 3) * 16 )); convert -size ${s}x${s} plasma:fractal -seed $i "$work/pics/p$i.ico" ;;
    4) convert -size $(( w / 2 + 8 ))x$(( h / 2 + 8 )) plasma:fractal -seed $i "$work/pics/p$i.psd" ;;
  esac
done

echo "laying out the 1 GiB image..."
python3 - "$work" <<'PY'
import hashlib, os, random, sys
work = sys.argv[1]
rng = random.Random(42)
pics = sorted(os.listdir(os.path.join(work, "pics")))
rng.shuffle(pics)
size = 1 << 30
slot = size // (len(pics) + 1)
rows = []
with open(os.path.join(work, "bench.img"), "wb") as img:
    pos = 0
    for i, name in enumerate(pics):
        data = open(os.path.join(work, "pics", name), "rb").read()
        target = (slot * i + rng.randrange(0, slot // 2)) // 512 * 512
        if target < pos:
            target = (pos + 511) // 512 * 512
        while pos < target:
            n = min(target - pos, 1 << 22)
            img.write(os.urandom(n)); pos += n
        img.write(data)
        rows.append((pos, len(data), name.rsplit(".", 1)[1], hashlib.sha256(data).hexdigest()))
        pos += len(data)
    while pos < size:
        n = min(size - pos, 1 << 22)
        img.write(os.urandom(n)); pos += n
with open(os.path.join(work, "truth.tsv"), "w") as f:
    for r in rows:
        f.write("%d\t%d\t%s\t%s\n" % r)
PY
fi

score() {  # score DIR: planted files whose exact bytes are among the files in DIR
  find "$1" -type f -print0 | xargs -0 -r sha256sum | cut -d' ' -f1 | sort -u > "$work/got.sha"
  cut -f4 "$work/truth.tsv" | sort -u > "$work/want.sha"
  comm -12 "$work/got.sha" "$work/want.sha" | wc -l
}
by_ext() {  # planted files recovered byte for byte, per extension
  python3 - "$work/truth.tsv" "$work/got.sha" <<'PY'
import sys, collections
got = set(open(sys.argv[2]).read().split())
tot = collections.Counter(); ok = collections.Counter()
for line in open(sys.argv[1]):
    off, n, ext, sha = line.split()
    tot[ext] += 1; ok[ext] += sha in got
print("  ".join("%s %d/%d" % (e, ok[e], tot[e]) for e in sorted(tot)))
PY
}
planted=$(wc -l < "$work/truth.tsv")
bytes=$(stat -c %s "$work/bench.img")

. "$root/scripts/wine-env.sh" "$bd"
wine_start
mkdir -p "$work/carve-out"
winimg="Z:${work//\//\\}\\bench.img"; winout="Z:${work//\//\\}\\carve-out"
start=$(date +%s.%N)
"$WINE64" "$bd/bin/carve.exe" "$winimg" "$winout" > "$work/carve.tsv" || true
end=$(date +%s.%N)
echo "carve:    $(tail -n 1 "$work/carve.tsv")"
echo "carve:    wall $(python3 -c "print('%.1f s, %.1f MB/s' % ($end - $start, $bytes / 1e6 / ($end - $start)))")," \
     "hits $(( $(wc -l < "$work/carve.tsv") - 1 )), byte-exact $(score "$work/carve-out") of $planted planted"
echo "carve:    by type: $(by_ext)"

[ -n "${BENCH_SKIP_PHOTOREC:-}" ] && exit 0
start=$(date +%s.%N)
mkdir -p "$work/pr"
# photorec writes photorec.log into the folder it runs in.
(cd "$work/pr" && photorec /log /d "$work/pr/out" /cmd "$work/bench.img" partition_none,fileopt,everything,enable,search > /dev/null 2>&1) || true
end=$(date +%s.%N)
found=$(find "$work/pr/out"* -type f 2>/dev/null | wc -l)
echo "photorec: wall $(python3 -c "print('%.1f s, %.1f MB/s' % ($end - $start, $bytes / 1e6 / ($end - $start)))")," \
     "files $found, byte-exact $(score "$work/pr") of $planted planted"
echo "photorec: by type: $(by_ext)"
