#!/usr/bin/env bash
# Deep-scans an image holding real archives, office documents, cabinets and
# drawings (the samples of tests/fixtures/make-archives.sh and the public
# ones of the shared corpus) laid among runs of zeros and random bytes, with
# the program's carving tool and all the plug-ins. The image and its truth
# table are assembled here from those files (one file stands off the sector
# grid, some are followed directly by random bytes). Every file of a handled
# kind must come back byte for byte under its own extension (files under
# 512 bytes excepted: the deep scan keeps no hit that short).
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../common/corpus.sh"
fx="$DELVARO_UNIX_FIXTURES"
corpus=""
# Without the public corpus the image holds the samples made here only.
have_corpus corpora/formats && corpus="$DELVARO_UNIX_SHARED/corpora/formats"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
winpath() { echo "Z:${1//\//\\}"; }

python3 - "$fx" "$corpus" "$work" <<'PY'
import hashlib, os, random, sys
fx, corpus, work = sys.argv[1:4]
rng = random.Random(15)
# (path, handled): handled files must come back whole; the others (another
# RAR format, damaged files) are there to be met, not recovered.
made = sorted(f for f in os.listdir(fx) if f.startswith("arch_") and not f.endswith(".tsv"))
files = [(os.path.join(fx, f), True) for f in made]
corpus_files = ["zip/sample.zip", "zip/testZip_with_DataDescriptor.zip", "zip/with_directory.zip",
                "docx/OOXML.docx", "docx/sample.docx", "docx/testWORD_1img.docx", "xlsx/sample.xlsx",
                "xlsx/testEXCEL.xlsx", "xlsx/xlrd-sample.xlsx", "odt/sample.odt",
                "odt/testOpenOffice2.odt", "odt/LibreOfficeWriter_odt_1.3.odt",
                "rar/hachoir-core.rar", "rar/rar15-comment.rar", "rar/rar202-comment-nopsw.rar",
                "rar/rar3-comment-plain.rar", "rar/rar3-old.rar", "rar/rar3-solid.rar",
                "rar/rar3-subdirs.rar", "rar/rar3-versions.rar", "rar/rar3-vols.part1.rar",
                "rar/seektest.rar", "rar/unicode.rar", "cab/large-files-cab.cab",
                "cab/mszip_lzx_qtm.cab", "cab/normal_2files_1folder.cab", "cab/test-documents.cab",
                "dwg/r14-v.dwg", "dwg/sample_2000.dwg", "dwg/sample_2018.dwg", "dwg/testDWG2007.dwg"]
if not corpus:
    corpus_files = []
files += [(os.path.join(corpus, rel), True) for rel in corpus_files]
if corpus:
    for rel in ["rar/rar5-solid.rar", "malformed/testZIP_corrupted_oom.zip",
                "malformed/testWORD_truncated.docx", "malformed/hidden-file-beyond-eof.cab"]:
        files.append((os.path.join(corpus, rel), False))
rng.shuffle(files)
img = bytearray()
def pad(sector=512):
    img.extend(b"\0" * ((-len(img)) % sector))
def gap():
    if rng.random() < 0.5:
        img.extend(b"\0" * (512 * rng.randint(1, 8)))
    else:
        img.extend(rng.randbytes(rng.randint(100, 3000)))
    pad()
rows = []
gap()
for i, (path, handled) in enumerate(files):
    aligned = 1
    if i == 3:
        img.extend(b"\0" * 100)  # off the sector grid: a sector scan cannot see it
        aligned = 0
    data = open(path, "rb").read()
    off = len(img)
    img.extend(data)
    ext = path.rsplit(".", 1)[1].lower()
    # The deep scan keeps no hit below 512 bytes, whatever its plug-in says.
    whole = int(handled and aligned and len(data) >= 512)
    rows.append((off, len(data), ext, aligned, whole, hashlib.sha256(data).hexdigest(),
                 os.path.basename(path)))
    # Random bytes right behind some files, zeros up to the sector behind the others.
    if rng.random() < 0.4:
        img.extend(rng.randbytes(rng.randint(1, 2000)))
    gap()
img.extend(b"\0" * ((-len(img)) % 65536))
open(os.path.join(work, "carve.img"), "wb").write(img)
with open(os.path.join(work, "truth.tsv"), "w") as f:
    for r in rows:
        f.write("%d\t%d\t%s\t%d\t%d\t%s\t%s\n" % r)
print("image: %d bytes, %d files" % (len(img), len(rows)))
PY

"$DELVARO_WINE64" "$DELVARO_UNIX_BIN/carve.exe" "$(winpath "$work/carve.img")" "$(winpath "$work/files")" |
  tr -d '\r' > "$work/list.tsv"
tail -n 1 "$work/list.tsv"
pass=0; fail=0
while IFS=$'\t' read -r off size ext aligned whole sha name; do
  [ "$whole" = 1 ] || continue
  IFS=$'\t' read -r file _ hlen hext < <(awk -F'\t' -v o="$off" '$2 == o' "$work/list.tsv" | head -n 1) || true
  got="$( [ -n "${file:-}" ] && sha256sum "$work/files/$file" | cut -d' ' -f1 || true)"
  if [ "${hext:-}" != "$ext" ] || [ "${hlen:-}" != "$size" ] || [ "$got" != "$sha" ]; then
    echo "WRONG $name at $off: ext ${hext:-none} (want $ext), length ${hlen:-none} (want $size)"
    fail=$((fail + 1))
  else
    pass=$((pass + 1))
  fi
  file=; hext=; hlen=
done < "$work/truth.tsv"
want=$(awk -F'\t' '$5 == 1' "$work/truth.tsv" | wc -l)
echo "$pass of $want handled files byte-exact with their extension, $fail wrong"
[ "$fail" -eq 0 ] && [ "$pass" -eq "$want" ] && [ "$want" -ge 15 ]
finish_with $?
