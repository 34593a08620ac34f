#!/usr/bin/env bash
# The plug-in DLLs in bin/type export the contract's entries by their plain
# names (no stdcall @n, no leading underscore): functions from code, the flag
# entries as data. The image, media, archive, drawing and document plug-ins
# export exactly their sets.
#
# Both builds are checked: the 64-bit one in DELVARO_UNIX_BIN and the 32-bit
# one in DELVARO_I686_BIN (scripts/test.sh builds it before the tests run).
# Each must hold all sixteen plug-ins.
set -euo pipefail
bin="${DELVARO_UNIX_BIN:?}"
bin32="${DELVARO_I686_BIN:?}"
plugins=(fmt_office fmt_pdf fmt_zip fmt_riff fmt_exe fmt_mp3 fmt_cad fmt_rar fmt_jpg fmt_psd
         fmt_gif fmt_ico fmt_bmp fmt_amr fmt_cab fmt_camera)
fail=0
check_build() {
  local dir="$1" objdump="$2" arch="$3" name dll
  for name in "${plugins[@]}"; do
    dll="$dir/type/$name.dll"
    if [ ! -f "$dll" ]; then
      echo "$arch $name: missing ($dll)"
      fail=1
      continue
    fi
    check_dll "$dll" "$objdump" "$arch" || fail=1
  done
  local extra
  for extra in "$dir"/type/fmt_*.dll; do
    [ -f "$extra" ] || continue
    name=$(basename "$extra" .dll)
    [[ " ${plugins[*]} " == *" $name "* ]] || { echo "$arch $name: not one of the sixteen"; fail=1; }
  done
}
check_dll() {
  local dll="$1" objdump="$2" arch="$3"
  python3 - "$(basename "$dll" .dll)" <("$objdump" -p "$dll") <("$objdump" -h "$dll") "$arch" <<'PY'
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
arch = sys.argv[4]
if arch == "i686" and not re.search(r"file format pei?-i386", p):
    errors.append("not a 32-bit DLL")
print("\n".join(f"{arch} {name}: {e}" for e in errors) or f"{arch} {name}: exports ok")
sys.exit(1 if errors else 0)
PY
}
check_build "$bin" "${OBJDUMP:-x86_64-w64-mingw32-objdump}" x86_64
check_build "$bin32" "${OBJDUMP32:-i686-w64-mingw32-objdump}" i686
exit $fail
