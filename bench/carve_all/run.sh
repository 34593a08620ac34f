#!/usr/bin/env bash
# Carving benchmark over every file type the plug-ins handle: a 1 GiB image of
# random bytes with real files on sector boundaries (pictures by ImageMagick;
# AVI and WAV by ffmpeg and sox; MP3 by lame with ID3v2.3 tags by id3v2 and
# eyeD3; AMR by sox; ZIP by zip, cabinets by gcab and office documents by
# LibreOffice where those are installed; Word, Excel, PowerPoint and PDF
# documents and Windows programs by LibreOffice, Spreadsheet::WriteExcel,
# groff with Ghostscript and MinGW (make-docs.sh, BENCH_DOCS of them, 120 by
# default) where those are installed; camera raws, RAR, DWG, PDF, PE and
# compound-file documents from the shared corpora). Carves it three ways and
# prints, per type, how many planted files came back byte for byte, and the
# speed of each:
#   - carve with every fmt_*.dll of the build's type folder bound,
#   - carve with only the five picture plug-ins bound (the same image),
#   - PhotoRec with all its file types.
#   bench/carve_all/run.sh [BUILD_DIR]   (default: build/x86_64)
# BENCH_FILES (default 600) sets how many files are made; BENCH_KEEP=DIR keeps
# the image and its truth table in DIR for the next run; BENCH_SKIP_PHOTOREC=1
# leaves PhotoRec out.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
bd="$(cd "${1:-$root/build/x86_64}" && pwd)"
count="${BENCH_FILES:-600}"
corpora="${CORPORA:-$root/../shared/corpora/formats}"
if [ -n "${BENCH_KEEP:-}" ]; then
  work="$BENCH_KEEP"
  mkdir -p "$work"
  trap 'rm -rf "$work/out" "$work/bin5"' EXIT
else
  work="${BENCH_TMP:-/tmp}/delvaro-carve-all.$$"
  trap 'rm -rf "$work"' EXIT
fi
rm -rf "$work/out" "$work/bin5"
mkdir -p "$work/out"
q() { "$@" > /dev/null 2>&1; }
have() { command -v "$1" > /dev/null 2>&1; }

if [ -f "$work/bench.img" ] && [ -f "$work/truth.tsv" ]; then
  echo "reusing the image in $work"
else
rm -rf "$work/files"
bash "$root/bench/carve_all/make-files.sh" "$work/files" "$count"
echo "laying out the 1 GiB image..."
python3 - "$work" <<'PY'
import hashlib, os, random, sys
work = sys.argv[1]
rng = random.Random(42)
names = sorted(os.listdir(os.path.join(work, "files")))
rng.shuffle(names)
size = 1 << 30
slot = size // (len(names) + 1)
rows = []
with open(os.path.join(work, "bench.img"), "wb") as img:
    pos = 0
    for i, name in enumerate(names):
        data = open(os.path.join(work, "files", name), "rb").read()
        target = (slot * i + rng.randrange(0, slot // 2)) // 512 * 512
        if target < pos:
            target = (pos + 512 + 511) // 512 * 512
        while pos < target:
            n = min(target - pos, 1 << 22)
            img.write(os.urandom(n)); pos += n
        img.write(data)
        rows.append((pos, len(data), name.rsplit(".", 1)[1].lower(), hashlib.sha256(data).hexdigest()))
        pos += len(data)
        # An AMR file has no end mark: its slack is clean, as on a fresh disk.
        if name.endswith(".amr"):
            img.write(b"\0" * 512); pos += 512
    while pos < size:
        n = min(size - pos, 1 << 22)
        img.write(os.urandom(n)); pos += n
with open(os.path.join(work, "truth.tsv"), "w") as f:
    for r in rows:
        f.write("%d\t%d\t%s\t%s\n" % r)
PY
rm -rf "$work/files"
fi

planted=$(wc -l < "$work/truth.tsv")
bytes=$(stat -c %s "$work/bench.img")
# Per type: planted files whose exact bytes are among the files of a folder,
# and, for carve, those found at their offset with the length and extension.
table() {  # table NAME DIR [HITS.tsv]
  find "$2" -type f -print0 | xargs -0 -r sha256sum | cut -d' ' -f1 | sort -u > "$work/got.sha"
  python3 - "$1" "$work/truth.tsv" "$work/got.sha" "${3:-}" <<'PY'
import collections, sys
name, truth, got, hits = sys.argv[1], sys.argv[2], set(open(sys.argv[3]).read().split()), sys.argv[4]
at = {}
if hits:
    for line in open(hits):
        p = line.rstrip("\r\n").split("\t")
        if len(p) == 4 and p[0].startswith("File"):
            at[int(p[1])] = (int(p[2]), p[3])
tot, ok, named = collections.Counter(), collections.Counter(), collections.Counter()
for line in open(truth):
    off, n, ext, sha = line.split()
    tot[ext] += 1; ok[ext] += sha in got
    named[ext] += at.get(int(off)) == (int(n), ext)
cells = []
for e in sorted(tot):
    cells.append("%s %d/%d" % (e, ok[e], tot[e]) + (" (%d named)" % named[e] if hits else ""))
print("%-9s exact %d of %d: %s" % (name + ":", sum(ok.values()), sum(tot.values()), "  ".join(cells)))
PY
}
speed() { python3 -c "import sys; s=float(sys.argv[2])-float(sys.argv[1]); print('%.1f s, %.0f MB/s' % (s, $bytes/1e6/s))" "$1" "$2"; }

. "$root/scripts/wine-env.sh" "$bd"
wine_start
winimg="Z:${work//\//\\}\\bench.img"

run_carve() {  # run_carve NAME BINDIR
  rm -rf "$work/out/$1"; mkdir -p "$work/out/$1"
  local start end
  start=$(date +%s.%N)
  "$WINE64" "$2/carve.exe" "$winimg" "Z:${work//\//\\}\\out\\$1" > "$work/$1.tsv" || true
  end=$(date +%s.%N)
  echo "$1: $(tail -n 1 "$work/$1.tsv" | tr -d '\r'); wall $(speed "$start" "$end"), hits $(( $(wc -l < "$work/$1.tsv") - 1 ))"
  table "$1" "$work/out/$1" "$work/$1.tsv"
  rm -rf "$work/out/$1"
}

echo "image: $bytes bytes, $planted files planted"
cat "$work/bench.img" > /dev/null  # every run reads it from the page cache
run_carve carve "$bd/bin"
# The same program with only the picture plug-ins in its type folder.
mkdir -p "$work/bin5/type"
for e in "$bd/bin"/*; do [ "$(basename "$e")" = type ] || ln -s "$e" "$work/bin5/"; done
for p in jpg gif bmp ico psd; do ln -s "$bd/bin/type/fmt_$p.dll" "$work/bin5/type/"; done
run_carve carve5 "$work/bin5"

[ -n "${BENCH_SKIP_PHOTOREC:-}" ] && exit 0
start=$(date +%s.%N)
mkdir -p "$work/out/pr"
(cd "$work/out/pr" && photorec /log /d "$work/out/pr/f" /cmd "$work/bench.img" partition_none,fileopt,everything,enable,search > /dev/null 2>&1) || true
end=$(date +%s.%N)
echo "photorec: wall $(speed "$start" "$end"), files $(find "$work/out/pr" -type f -name 'f*' | wc -l)"
table photorec "$work/out/pr"
