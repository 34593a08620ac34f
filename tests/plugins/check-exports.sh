#!/usr/bin/env bash
# The plug-in DLLs in bin/type export the contract's entries by their plain
# names (no stdcall @n, no leading underscore): functions from code, the flag
# entries as data. The image, media, archive, drawing and document plug-ins
# export exactly their sets.
set -euo pipefail
bin="${DELVARO_UNIX_BIN:?}"
objdump="${OBJDUMP:-x86_64-w64-mingw32-objdump}"
shopt -s nullglob
dlls=("$bin"/type/fmt_*.dll)
[ ${#dlls[@]} -gt 0 ] || { echo "no plug-ins in $bin/type"; exit 1; }
fail=0
for dll in "${dlls[@]}"; do
  python3 - "$(basename "$dll" .dll)" <("$objdump" -p "$dll") <("$objdump" -h "$dll") <<'PY' || fail=1
import re, sys
name, p, h = sys.argv[1], open(sys.argv[2]).read(), open(sys.argv[3]).read()
base = int(re.search(r'^ImageBase\s+([0-9a-fA-F]+)', p, re.M).group(1), 16)
rvas = [int(r, 16) for r in re.findall(r'^\s*\[\s*\d+\] \+base\[\s*\d+\] ([0-9a-fA-F]+) Export RVA', p, re.M)]
table = p.split('[Ordinal/Name Pointer] Table', 1)[-1]
names = re.findall(r'^\s*\[\s*\d+\] (\S+)$', table, re.M)
sections = [(n, int(va, 16), int(size, 16))
            for n, size, va in re.findall(r'^\s*\d+ (\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)', h, re.M)]
def section_of(rva):
    return next((n for n, va, size in sections if va <= base + rva < va + size), '?')
functions = ["GetSupportFormat", "GetFileSign", "GetFileSizeAtOnce", "GetRawFileInfo"]
data = ["IsFileSigSimple", "CanGetFileLenImmediately", "HasThumbnail", "HasThumbnailBitmap"]
errors = ["decorated export " + n for n in names if '@' in n or n.startswith('_')]
errors += ["missing " + n for n in functions + data if n not in names]
if len(rvas) != len(names):  # no explicit ordinals: names follow in ordinal order
    errors.append("cannot pair names with addresses")
where = dict(zip(names, map(section_of, rvas)))
errors += [f"{n} is not code ({where[n]})" for n in functions if where.get(n, '.text') != '.text']
errors += [f"{n} is not data ({where[n]})" for n in data if where.get(n, '.data') not in ('.data', '.rdata')]
want = sorted(functions + data + ["GetThumbnailText", "GetThumbnailBitmap", "GetPreviewBitmap"])
if name in ("fmt_jpg", "fmt_gif", "fmt_ico", "fmt_bmp", "fmt_psd", "fmt_exe") and sorted(names) != want:
    errors.append("exports " + ",".join(sorted(names)))
exact = {"fmt_office": want + ["GetPreviewText"], "fmt_pdf": [n for n in want if n != "GetThumbnailText"]}
if name in exact and sorted(names) != sorted(exact[name]):
    errors.append("exports " + ",".join(sorted(names)))
media = {"fmt_riff": ["GetThumbnailBitmap", "GetPreviewBitmap"],
         "fmt_mp3": ["GetThumbnailText", "GetThumbnailBitmap", "GetPreviewBitmap"],
         "fmt_amr": [], "fmt_camera": ["GetThumbnailText", "GetThumbnailBitmap"]}
if name in media and sorted(names) != sorted(functions + data + media[name]):
    errors.append("exports " + ",".join(sorted(names)))
# The archive and drawing plug-ins: their text and picture entries.
archive = {"fmt_zip": ["GetThumbnailText", "GetPreviewText", "GetThumbnailBitmap", "GetPreviewBitmap"],
           "fmt_rar": ["GetThumbnailText", "GetPreviewText", "GetThumbnailBitmap"],
           "fmt_cab": ["GetThumbnailText", "GetPreviewText", "GetThumbnailBitmap"],
           "fmt_cad": ["GetThumbnailText", "GetThumbnailBitmap", "GetPreviewBitmap"]}
if name in archive and sorted(names) != sorted(functions + data + archive[name]):
    errors.append("exports " + ",".join(sorted(names)))
print("\n".join(f"{name}: {e}" for e in errors) or f"{name}: exports ok")
sys.exit(1 if errors else 0)
PY
done
exit $fail
