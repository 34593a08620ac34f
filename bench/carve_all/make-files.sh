#!/usr/bin/env bash
# Makes the real files of the carving benchmarks in DIR: COUNT pictures,
# videos, sounds, archives and office documents by real tools (ImageMagick,
# ffmpeg, sox, lame with id3v2 and eyeD3, zip, gcab, LibreOffice, where those
# are installed), documents and Windows programs by make-docs.sh (BENCH_DOCS
# of them, 120 by default), and what no tool here writes (camera raws, RAR,
# DWG, PDF, PE and compound-file documents) from the shared corpora.
#   bench/carve_all/make-files.sh DIR [COUNT]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
f="$1"
count="${2:-600}"
corpora="${CORPORA:-$root/../shared/corpora/formats}"
mkdir -p "$f"
t="$(mktemp -d)"
trap 'rm -rf "$t"' EXIT
q() { "$@" > /dev/null 2>&1; }
have() { command -v "$1" > /dev/null 2>&1; }
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

true
