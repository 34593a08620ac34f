#!/usr/bin/env bash
# Carving benchmark, whole process against whole process: images of random
# bytes with real picture files (JPEG, GIF, BMP, ICO, PSD made by ImageMagick,
# 300 per GiB) on sector boundaries. For each size, carve (under Wine) and
# PhotoRec run one after the other on the same page-cached image, several
# times; each run reports wall time, peak memory (/usr/bin/time -v), the scan
# speed carve measures itself, and how many planted files came back byte for
# byte. The machine's load average is printed beside every run.
#   bench/carve/run.sh [BUILD_DIR]   (default: build/x86_64)
# BENCH_SIZES="1 4"     image sizes in GiB
# BENCH_RUNS=3          runs per size (min, median and max are printed)
# BENCH_KEEP=DIR        keep the images, pictures and truth tables in DIR and
#                       reuse them next time (outputs are made afresh)
# BENCH_CARVE_BIN=DIR   folder holding carve.exe and its type/ plug-ins
#                       (default BUILD_DIR/bin), to compare two builds
# BENCH_SKIP_PHOTOREC=1 runs carve only
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
bd="$(cd "${1:-$root/build/x86_64}" && pwd)"
bin="${BENCH_CARVE_BIN:-$bd/bin}"
sizes="${BENCH_SIZES:-1 4}"
runs="${BENCH_RUNS:-3}"
per_gib="${BENCH_FILES:-300}"
if [ -n "${BENCH_KEEP:-}" ]; then
  work="$BENCH_KEEP"
  mkdir -p "$work"
  trap 'rm -rf "$work/out"' EXIT
else
  work="${BENCH_TMP:-/tmp}/delvaro-carve-bench.$$"
  mkdir -p "$work"
  trap 'rm -rf "$work"' EXIT
fi

make_image() {  # make_image DIR GIB: pictures, bench.img and truth.tsv in DIR
  local dir="$1" gib="$2" count=$(( per_gib * $2 ))
  if [ -f "$dir/bench.img" ] && [ -f "$dir/truth.tsv" ]; then return; fi
  mkdir -p "$dir/pics"
  echo "making $count pictures for $gib GiB..."
  seq 1 "$count" | xargs -P 4 -I{} bash -c '
    i={}; d="$1"; w=$(( 40 + (i * 37) % 600 )); h=$(( 30 + (i * 53) % 400 ))
    case $(( i % 5 )) in
      0) convert -size ${w}x${h} plasma:fractal -seed $i -quality $(( 60 + i % 35 )) "$d/p$i.jpg" ;;
      1) convert -size ${w}x${h} plasma:fractal -seed $i -colors 64 "$d/p$i.gif" ;;
      2) convert -size $(( w / 2 + 8 ))x$(( h / 2 + 8 )) plasma:fractal -seed $i -type TrueColor "$d/p$i.bmp" ;;
      3) s=$(( 16 + (i % 3) * 16 )); convert -size ${s}x${s} plasma:fractal -seed $i "$d/p$i.ico" ;;
      4) convert -size $(( w / 2 + 8 ))x$(( h / 2 + 8 )) plasma:fractal -seed $i "$d/p$i.psd" ;;
    esac' _ "$dir/pics"
  echo "laying out the $gib GiB image..."
  python3 - "$dir" "$gib" <<'PY'
import hashlib, os, random, sys
work, gib = sys.argv[1], int(sys.argv[2])
rng = random.Random(42)
pics = sorted(os.listdir(os.path.join(work, "pics")))
rng.shuffle(pics)
size = gib << 30
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
}

exact() {  # exact TRUTH DIR: planted files whose exact bytes are among the files in DIR
  find "$2" -type f -print0 | xargs -0 -r sha256sum | cut -d' ' -f1 | sort -u > "$work/got.sha"
  cut -f4 "$1" | sort -u > "$work/want.sha"
  comm -12 "$work/got.sha" "$work/want.sha" | wc -l
}
by_ext() {  # per extension, from the last exact call
  python3 - "$1" "$work/got.sha" <<'PY'
import sys, collections
got = set(open(sys.argv[2]).read().split())
tot = collections.Counter(); ok = collections.Counter()
for line in open(sys.argv[1]):
    off, n, ext, sha = line.split()
    tot[ext] += 1; ok[ext] += sha in got
print("  ".join("%s %d/%d" % (e, ok[e], tot[e]) for e in sorted(tot)))
PY
}
timed() {  # timed LOG OUT CMD...: CMD under /usr/bin/time -v, its output to OUT; prints "wall_s rss_kib"
  local log="$1" out="$2"; shift 2
  local t0 t1
  t0=$(date +%s.%N)
  /usr/bin/time -v -o "$log" "$@" > "$out" 2> "$log.err" || true
  t1=$(date +%s.%N)
  echo "$(python3 -c "print('%.3f' % ($t1 - $t0))") $(awk -F': ' '/Maximum resident set size/ {print $2}' "$log")"
}
load() { cut -d' ' -f1-3 /proc/loadavg; }

. "$root/scripts/wine-env.sh" "$bd"
wine_start
results="$work/results.tsv"
: > "$results"
echo "carve from $bin"
for gib in $sizes; do
  dir="$work/${gib}g"
  make_image "$dir" "$gib"
  img="$dir/bench.img"; truth="$dir/truth.tsv"
  planted=$(wc -l < "$truth"); bytes=$(stat -c %s "$img")
  winimg="Z:${img//\//\\}"
  echo "== $gib GiB, $planted planted files =="
  for run in $(seq 1 "$runs"); do
    cat "$img" > /dev/null  # page-cached for both
    rm -rf "$work/out"; mkdir -p "$work/out/carve" "$work/out/pr"
    l0=$(load)
    read -r wall rss < <(timed "$work/time-carve.txt" "$work/carve.tsv" "$WINE64" "$bin/carve.exe" \
      "$winimg" "Z:${work//\//\\}\\out\\carve")
    [ -s "$work/carve.tsv" ] || { echo "carve printed nothing:"; tail -n 5 "$work/time-carve.txt"; exit 1; }
    scan=$(tail -n 1 "$work/carve.tsv" | tr '\t' '\n' | awk '/MB\/s/ {print $1}')
    hits=$(( $(wc -l < "$work/carve.tsv") - 1 ))
    ok=$(exact "$truth" "$work/out/carve")
    printf "%s\tcarve\t%s\t%s\t%s\t%s\t%s\t%s\n" "$gib" "$wall" "$rss" "$scan" "$ok" "$hits" "$l0" >> "$results"
    echo "run $run carve:    wall ${wall} s, peak ${rss} KiB, scan ${scan} MB/s, hits $hits, byte-exact $ok of $planted (load $l0)"
    [ "$run" = 1 ] && echo "                   by type: $(by_ext "$truth")"
    [ -n "${BENCH_SKIP_PHOTOREC:-}" ] && continue
    l0=$(load)
    # photorec writes photorec.log into the folder it runs in.
    read -r wall rss < <(cd "$work/out/pr" && timed "$work/time-pr.txt" /dev/null photorec /log /d "$work/out/pr/out" \
      /cmd "$img" partition_none,fileopt,everything,enable,search)
    found=$(find "$work/out/pr" -path '*out*' -type f | wc -l)
    ok=$(exact "$truth" "$work/out/pr")
    printf "%s\tphotorec\t%s\t%s\t-\t%s\t%s\t%s\n" "$gib" "$wall" "$rss" "$ok" "$found" "$l0" >> "$results"
    echo "run $run photorec: wall ${wall} s, peak ${rss} KiB, files $found, byte-exact $ok of $planted (load $l0)"
    [ "$run" = 1 ] && echo "                   by type: $(by_ext "$truth")"
  done
done

echo
echo "== summary: min / median / max over $runs runs =="
python3 - "$results" <<'PY'
import sys, statistics, collections
rows = collections.defaultdict(list)
for line in open(sys.argv[1]):
    gib, tool, wall, rss, scan, ok, hits, load = line.rstrip("\n").split("\t")
    rows[(int(gib), tool)].append((float(wall), int(rss), scan, int(ok), load))
def mmm(v, fmt):
    v = sorted(v)
    return " / ".join(fmt % x for x in (v[0], statistics.median(v), v[-1]))
print("%-4s %-9s %-26s %-26s %-26s %-24s %-10s %s" % ("GiB", "tool", "wall s", "whole MB/s", "scan MB/s", "peak MiB", "byte-exact", "load (1 5 15)"))
for (gib, tool), r in sorted(rows.items()):
    size = gib * 1073741824 / 1e6
    scans = [float(x[2]) for x in r if x[2] != "-"]
    print("%-4d %-9s %-26s %-26s %-26s %-24s %-10s %s" % (
        gib, tool, mmm([x[0] for x in r], "%.2f"), mmm([size / x[0] for x in r], "%.0f"),
        mmm(scans, "%.0f") if scans else "-", mmm([x[1] / 1024 for x in r], "%.1f"),
        "/".join(sorted(set(str(x[3]) for x in r))), ", ".join(x[4] for x in r)))
PY
