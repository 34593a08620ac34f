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
mkdir -p "$work/files" "$work/tmp"
f="$work/files"
t="$work/tmp"
echo "making $count files..."
convert -size 120x90 -seed 5 plasma:fractal -quality 80 "$t/cover.jpg"
kinds=(jpg gif bmp ico psd avi wav mp3 amr zip cab office)
for i in $(seq 1 "$count"); do
  w=$(( 40 + (i * 37) % 600 )); h=$(( 30 + (i * 53) % 400 ))
  sec=$(( 1 + i % 7 )).$(( i % 10 ))
  case ${kinds[$(( i % ${#kinds[@]} ))]} in
    jpg) convert -size ${w}x${h} plasma:fractal -seed $i -quality $(( 60 + i % 35 )) "$f/p$i.jpg" ;;
    gif) convert -size ${w}x${h} plasma:fractal -seed $i -colors 64 "$f/p$i.gif" ;;
    bmp) convert -size $(( w / 2 + 8 ))x$(( h / 2 + 8 )) plasma:fractal -seed $i -type TrueColor "$f/p$i.bmp" ;;
    ico) s=$(( 16 + (i % 3) * 16 )); convert -size ${s}x${s} plasma:fractal -seed $i "$f/p$i.ico" ;;
    psd) convert -size $(( w / 2 + 8 ))x$(( h / 2 + 8 )) plasma:fractal -seed $i "$f/p$i.psd" ;;
    avi) case $(( i % 3 )) in
           0) q ffmpeg -y -f lavfi -i testsrc=size=$(( w / 4 * 2 + 16 ))x$(( h / 4 * 2 + 16 )):rate=10 \
                -f lavfi -i sine=frequency=$(( 200 + i )):sample_rate=22050 -t $sec -c:v mpeg4 -c:a pcm_s16le "$f/p$i.avi" ;;
           1) q ffmpeg -y -f lavfi -i testsrc=size=$(( w / 4 * 2 + 16 ))x$(( h / 4 * 2 + 16 )):rate=5 -t $sec -c:v mjpeg "$f/p$i.avi" ;;
           2) q ffmpeg -y -f lavfi -i testsrc=size=96x64:rate=8 -f lavfi -i sine=frequency=$(( 300 + i )):sample_rate=11025 \
                -t $sec -c:v msmpeg4 -c:a libmp3lame "$f/p$i.avi" ;;
         esac ;;
    wav) if (( i % 2 )); then sox -n -r $(( 8000 + (i % 4) * 8000 )) -c $(( 1 + i % 2 )) "$f/p$i.wav" synth $sec sine $(( 200 + i ))
         else q ffmpeg -y -f lavfi -i sine=frequency=$(( 200 + i )):sample_rate=16000 -t $sec -c:a adpcm_ms "$f/p$i.wav"; fi ;;
    mp3) rate=$(( i % 3 == 0 ? 22050 : 44100 ))
         sox -n -r $rate -c 1 "$t/s.wav" synth $sec sine $(( 200 + i ))
         lame --quiet -b $(( 64 + (i % 4) * 32 )) "$t/s.wav" "$f/p$i.mp3"
         if (( i % 2 )); then eyeD3 -Q --to-v2.3 -t "Track $i" --add-image "$t/cover.jpg:FRONT_COVER" "$f/p$i.mp3" > /dev/null
         else id3v2 -a "Artist $i" -t "Track $i" "$f/p$i.mp3"; fi ;;
    amr) sox -n -r 8000 -c 1 -C $(( i % 8 )) -t amr-nb "$f/p$i.amr" synth $sec sine $(( 200 + i )) ;;
    zip) mkdir -p "$t/z"; rm -f "$t/z/"*
         convert -size 64x64 plasma:fractal -seed $i "$t/z/a.png"; seq 1 $(( i * 10 )) > "$t/z/b.txt"
         if have zip; then (cd "$t/z" && zip -q -X "$f/p$i.zip" a.png b.txt); fi ;;
    cab) if have gcab; then seq 1 $(( i * 10 )) > "$t/c.txt"; (cd "$t" && gcab -c -z "$f/p$i.cab" c.txt cover.jpg); fi ;;
    office) if have soffice && (( i % 24 == 11 )); then
              seq 1 $(( i % 50 + 5 )) > "$t/d$i.txt"
              q soffice --headless --convert-to docx --outdir "$f" "$t/d$i.txt" && mv "$f/d$i.docx" "$f/p$i.docx"
            fi ;;
  esac
done
if have soffice && have pandoc && have groff && have ps2pdf && have x86_64-w64-mingw32-gcc; then
  echo "making ${BENCH_DOCS:-120} documents and programs..."
  bash "$root/bench/carve_all/make-docs.sh" "$f" "${BENCH_DOCS:-120}" > /dev/null
fi
# What no tool here writes: from the shared corpora.
for s in cr2/testCR2.cr2 nef/Nikon.nef nef/testNEF.nef dng/DNG.dng dng/testDNG.dng amr/test.amr \
         amr/testAMR.amr rar/rar3-solid.rar rar/rar5-solid.rar rar/unicode.rar rar/rar3-old.rar \
         dwg/sample_2000.dwg dwg/r14-v.dwg pdf/PDF.pdf pdf/testPDF.pdf exe/EXE.exe exe/normal64.exe \
         doc/testWORD.doc xls/testEXCEL.xls ppt/testPPT.ppt docx/sample.docx xlsx/sample.xlsx \
         odt/sample.odt cab/normal_2files_1folder.cab zip/sample.zip; do
  [ -f "$corpora/$s" ] && cp "$corpora/$s" "$f/c_$(basename "$s")"
done

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
rm -rf "$work/files" "$work/tmp"
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
