#!/usr/bin/env bash
# Runs the scan tool over volume images made by the real drivers (each mapped
# to a drive letter) and checks what it lists:
#   deleted   against The Sleuth Kit (fls -r -d) on the same image
#   formatted against the listing taken before the format
#   recycle   over several volumes at once: only recycle-bin folders, every
#             volume counted, a volume without a recycle bin passed over
#   deep      the carving fixture as a volume: every sector-aligned file its
#             format's rule covers whole, at its offset with its length
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
bin="${DELVARO_UNIX_BIN:?}"
fix="${DELVARO_UNIX_FIXTURES:?}"
shared="${DELVARO_UNIX_SHARED:-}"
wine="${DELVARO_WINE64:-/usr/lib/wine/wine64}"
for t in fls fsstat python3 unzip; do
  command -v "$t" >/dev/null || { echo "missing $t: the oracle needs The Sleuth Kit, python3 and unzip"; exit 1; }
done
work="$(mktemp -d /tmp/scan-fixtures.XXXXXX)"
trap 'rm -rf "$work"' EXIT
lost="Lost folders"  # the "LostDir" text of the English language file
fail=0

scan() { # scan KIND LETTER IMAGE... > rows
  local kind="$1" letter="$2"; shift 2
  local args=()
  for img in "$@"; do args+=("Z:${img//\//\\}"); done
  (cd "$bin" && timeout 300 "$wine" ./scan.exe "$kind" "${args[@]}" --letter "$letter")
}

deleted() { # deleted IMAGE [oracle options]
  local img="$1" name; shift
  name="$(basename "$img")"
  if ! scan deleted K "$img" > "$work/$name.rows" 2> "$work/$name.err"; then
    echo "scan failed on $name"; cat "$work/$name.err"; fail=1; return
  fi
  python3 "$here/scan_vs_tsk.py" "$work/$name.rows" "$img" "$lost" "$@" || fail=1
}

for f in scan-fat32 scan-fat16; do deleted "$fix/$f.img" --absent /moved-from/; done
for f in scan-exfat scan-ntfs fat16 fat32 exfat ntfs-4k ntfs-512 ntfs-4kn fat32-grown; do deleted "$fix/$f.img"; done
# The deleted folder that grew between its files' data: TSK finds 2 of its
# 100 files under it and the rest as orphans; all 100 are listed under it.
python3 - "$work/fat32-grown.img.rows" <<'PY' || fail=1
import sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1], encoding="utf-8")]
under = {r[0] for r in rows if len(r) == 6 and r[0].startswith("K:\\_lbum\\")}
want = {"K:\\_lbum\\holiday photo number %d of the long summer.jpg" % k for k in range(1, 101)}
print("grown folder: %d of 100 files under it" % len(want & under))
sys.exit(0 if want <= under else 1)
PY
# Deleted files and folders made by Windows XP (the DFTT undelete images).
if [ -n "$shared" ] && [ -d "$shared/corpora/disks/dftt" ]; then
  unzip -q -o "$shared/corpora/disks/dftt/6-undel-fat.zip" -d "$work" 6-undel-fat/6-fat-undel.dd
  unzip -q -o "$shared/corpora/disks/dftt/7-undel-ntfs.zip" -d "$work" 7-undel-ntfs/7-ntfs-undel.dd
  deleted "$work/6-undel-fat/6-fat-undel.dd"
  # dir1 was deleted but kept its files' entries: those are live files of a
  # deleted folder (contiguous flag 0); files deleted themselves get 1.
  python3 - "$work/6-fat-undel.dd.rows" <<'PY' || fail=1
import sys
rows = {r[0]: r for r in (l.rstrip("\n").split("\t") for l in open(sys.argv[1], encoding="utf-8")) if len(r) == 6}
want = {"K:\\_ir1\\mult2.dat": ("0", "0"), "K:\\_ir1\\dir2\\frag3.dat": ("0", "0"), "K:\\_ing.dat": ("1", "1")}
bad = [p for p, (deleted, contiguous) in want.items() if p not in rows or (rows[p][2], rows[p][5]) != (deleted, contiguous)]
print("DFTT 6 flags: %s" % ("as expected" if not bad else "wrong for " + ", ".join(bad)))
sys.exit(1 if bad else 0)
PY
  deleted "$work/7-undel-ntfs/7-ntfs-undel.dd"
else
  echo "public corpus ../shared/corpora/disks/dftt missing: its two images are not scanned"
fi

# Formatted volumes: every file of the old listing whose folder survived.
# (The format rewrote the FAT roots, and with them their one top-level file.)
for f in fmt-fat32:37 fmt-fat16:37 fmt-exfat:37 fmt-ntfs:38; do
  name="${f%%:*}" min="${f##*:}"
  if ! scan formatted L "$fix/$name.img" > "$work/$name.rows" 2> "$work/$name.err"; then
    echo "formatted scan failed on $name"; cat "$work/$name.err"; fail=1; continue
  fi
  python3 "$here/fmt_vs_key.py" "$work/$name.rows" "$fix/$name.key.tsv" "$min" || fail=1
done

# Recycle bins of five volumes; fat16.img has none and adds nothing.
if scan recycle M "$fix/scan-ntfs.img" "$fix/scan-fat32.img" "$fix/fat16.img" "$fix/scan-fat16.img" \
    "$fix/scan-exfat.img" > "$work/recycle.rows" 2> "$work/recycle.err"; then
  python3 - "$work/recycle.rows" <<'PY' || fail=1
import sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1], encoding="utf-8")]
files = sorted(r[0] for r in rows if len(r) == 6)
want = sorted([
    "M:\\$Recycle.Bin\\S-1-5-21-1004336348-1177238915-682003330-1000\\$RA1B2C3.docx",
    "M:\\$Recycle.Bin\\S-1-5-21-1004336348-1177238915-682003330-1000\\$IA1B2C3.docx",
    "N:\\$RECYCLE.BIN\\S-1-5-21-1004336348-1177238915-682003330-1000\\$RA1B2C3.docx",
    "N:\\$RECYCLE.BIN\\S-1-5-21-1004336348-1177238915-682003330-1000\\$IA1B2C3.docx",
    "P:\\RECYCLED\\_C1.TXT",
    "Q:\\$RECYCLE.BIN\\S-1-5-21-1004336348-1177238915-682003330-1000\\$RA1B2C3.docx",
    "Q:\\$RECYCLE.BIN\\S-1-5-21-1004336348-1177238915-682003330-1000\\$IA1B2C3.docx",
])
ok = files == want and rows[-1][0].startswith("%d entries" % len(want))
print("recycle-bin scan: %d files%s" % (len(files), "" if ok else ", expected:\n  " + "\n  ".join(want) +
      "\ngot:\n  " + "\n  ".join(files)))
sys.exit(0 if ok else 1)
PY
else
  echo "recycle-bin scan failed"; cat "$work/recycle.err"; fail=1
fi
# The deep scan started by the controller on a volume device.
if scan deep R "$fix/carve.img" > "$work/deep.rows" 2> "$work/deep.err"; then
  python3 - "$work/deep.rows" "$fix/carve.tsv" <<'PY' || fail=1
import sys
hits = {(int(r[3]), int(r[1])) for r in (l.rstrip("\n").split("\t") for l in open(sys.argv[1])) if len(r) == 6}
want = [l.split("\t") for l in open(sys.argv[2]).read().splitlines()[1:]]
missed = ["%s at %s" % (w[6], w[0]) for w in want if w[3] == "1" and w[4] == "1" and (int(w[0]), int(w[1])) not in hits]
print("deep scan of a volume: %d hits, %s" % (len(hits), "all whole files found" if not missed else "missed " + ", ".join(missed)))
sys.exit(1 if missed else 0)
PY
else
  echo "deep scan failed"; cat "$work/deep.err"; fail=1
fi
exit $fail
