#!/usr/bin/env bash
# The plug-in DLLs in bin/type export the contract's entries by their plain
# names (no stdcall @n, no leading underscore): functions from code, the flag
# entries as data. The image plug-ins export exactly their set.
set -euo pipefail
bin="${DELVARO_UNIX_BIN:?}"
objdump="${OBJDUMP:-x86_64-w64-mingw32-objdump}"
shopt -s nullglob
dlls=("$bin"/type/fmt_*.dll)
[ ${#dlls[@]} -gt 0 ] || { echo "no plug-ins in $bin/type"; exit 1; }
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
fail=0
for dll in "${dlls[@]}"; do
  name=$(basename "$dll" .dll)
  "$objdump" -p "$dll" > "$tmp/exports.txt"
  "$objdump" -h "$dll" > "$tmp/sections.txt"
  if ! python3 - "$name" "$tmp/exports.txt" "$tmp/sections.txt" <<'PY'
import re, sys
name, exports_txt, sections_txt = sys.argv[1:]
p = open(exports_txt).read()
base = int(re.search(r'^ImageBase\s+([0-9a-fA-F]+)', p, re.M).group(1), 16)
rvas = [int(m.group(1), 16) for m in re.finditer(r'^\s*\[\s*\d+\] \+base\[\s*\d+\] ([0-9a-fA-F]+) Export RVA', p, re.M)]
names = []
sect = p.split('[Ordinal/Name Pointer] Table', 1)
if len(sect) == 2:
    for line in sect[1].splitlines()[1:]:
        m = re.match(r'^\s*\[\s*(\d+)\] (\S+)', line)
        if not m:
            break
        names.append(m.group(2))
sections = []
for line in open(sections_txt):
    m2 = re.match(r'^\s*\d+ (\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)', line)
    if m2:
        sections.append((m2.group(1), int(m2.group(3), 16), int(m2.group(2), 16)))
def section_of(rva):
    va = base + rva
    for n, start, size in sections:
        if start <= va < start + size:
            return n
    return '?'
functions = ["GetSupportFormat", "GetFileSign", "GetFileSizeAtOnce", "GetRawFileInfo"]
data = ["IsFileSigSimple", "CanGetFileLenImmediately", "HasThumbnail", "HasThumbnailBitmap"]
errors = []
for n in names:
    if '@' in n or n.startswith('_'):
        errors.append("decorated export " + n)
for n in functions + data:
    if n not in names:
        errors.append("missing " + n)
# Exports are listed by name in ordinal order here (no explicit ordinals).
if len(rvas) == len(names):
    where = dict(zip(names, (section_of(r) for r in rvas)))
    for n in functions:
        if n in where and where[n] != '.text':
            errors.append(f"{n} is not code ({where[n]})")
    for n in data:
        if n in where and where[n] not in ('.data', '.rdata'):
            errors.append(f"{n} is not data ({where[n]})")
else:
    errors.append("cannot pair names with addresses")
image = {"fmt_jpg", "fmt_gif", "fmt_ico", "fmt_bmp", "fmt_psd"}
if name in image:
    want = sorted(functions + data + ["GetThumbnailText", "GetThumbnailBitmap", "GetPreviewBitmap"])
    if sorted(names) != want:
        errors.append("exports " + ",".join(sorted(names)) + " instead of " + ",".join(want))
for e in errors:
    print(f"{name}: {e}")
sys.exit(1 if errors else 0)
PY
  then fail=1; else echo "$name: exports ok (${#dlls[@]} plug-ins checked)"; fi
done
exit $fail
