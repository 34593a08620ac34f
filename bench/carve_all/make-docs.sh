#!/usr/bin/env bash
# Makes COUNT distinct documents for the carving benchmark in DIR, by real
# programs: Word, Excel and PowerPoint files by LibreOffice (from pandoc and
# CSV sources), Excel files by Spreadsheet::WriteExcel, PDF files by groff with
# Ghostscript and by LibreOffice, and Windows programs by MinGW with an icon.
#   bench/carve_all/make-docs.sh DIR [COUNT]
set -euo pipefail
dir="$1"
count="${2:-150}"
mkdir -p "$dir"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
soffice=(soffice -env:UserInstallation=file://"$work"/lo --headless)
words=(harbour ferry lantern library festival committee accounts roof summer pier tide gull
       rope net market bridge tower garden orchard mill)

per=$(( count / 6 + 1 ))
mkdir -p "$work/odt" "$work/csv" "$work/pptx" "$work/pdf"
for i in $(seq 1 "$per"); do
  # Texts of a few hundred words to a few thousand.
  {
    echo "# Report $i"
    for p in $(seq 1 $(( 2 + i % 40 ))); do
      line=""
      for w in $(seq 1 $(( 20 + (i * p) % 60 ))); do line+="${words[$(( (i * 7 + p * 3 + w) % 20 ))]} "; done
      echo "$line"
      echo
    done
  } > "$work/d$i.md"
  pandoc "$work/d$i.md" -o "$work/odt/doc$i.odt"
  pandoc "$work/d$i.md" -o "$work/pptx/ppt$i.pptx"
  {
    echo "Item,Count,Note"
    for r in $(seq 1 $(( 5 + i * 13 % 300 ))); do echo "${words[$(( (r + i) % 20 ))]} $r,$(( r * i % 977 )),row $r of $i"; done
  } > "$work/csv/xls$i.csv"
  pandoc "$work/d$i.md" -t ms -s -o "$work/d$i.ms"
  groff -ms -Tps "$work/d$i.ms" > "$work/d$i.ps" 2>/dev/null
  ps2pdf "$work/d$i.ps" "$dir/gs$i.pdf"
done
(cd "$work/odt" && "${soffice[@]}" --convert-to doc --outdir "$dir" ./*.odt > /dev/null 2>&1)
(cd "$work/odt" && "${soffice[@]}" --convert-to pdf --outdir "$work/pdf" ./*.odt > /dev/null 2>&1)
for f in "$work"/pdf/*.pdf; do mv "$f" "$dir/lo$(basename "$f")"; done
(cd "$work/csv" && "${soffice[@]}" --infilter=CSV:44,34,76 --convert-to xls --outdir "$dir" ./*.csv > /dev/null 2>&1)
(cd "$work/pptx" && "${soffice[@]}" --convert-to ppt --outdir "$dir" ./*.pptx > /dev/null 2>&1)

cat > "$work/we.pl" <<'EOF'
use Spreadsheet::WriteExcel;
my ($dir, $n) = @ARGV;
for my $i (1 .. $n) {
  my $wb = Spreadsheet::WriteExcel->new("$dir/we$i.xls");
  my $ws = $wb->add_worksheet('Stock');
  $ws->write($_, 0, "item $_ of $i") for 0 .. 3 * $i;
  $ws->write($_, 1, $_ * $i) for 0 .. 3 * $i;
  $wb->close();
}
EOF
perl "$work/we.pl" "$dir" "$per"

convert -size 64x64 gradient:teal-orange -define icon:auto-resize=48,32,16 "$work/app.ico"
echo "1 ICON \"$work/app.ico\"" > "$work/app.rc"
x86_64-w64-mingw32-windres "$work/app.rc" -O coff -o "$work/app.res"
for i in $(seq 1 "$per"); do
  printf '#include <windows.h>\nstatic const char pad[%d] = "%d";\nint WINAPI WinMain(HINSTANCE h, HINSTANCE p, LPSTR c, int s) { MessageBoxA(0, pad, "Report %d", 0); return 0; }\n' \
    $(( 1000 + i * 4099 % 200000 )) "$i" "$i" > "$work/app$i.c"
  x86_64-w64-mingw32-gcc -O2 -mwindows -s "$work/app$i.c" "$work/app.res" -o "$dir/app$i.exe"
done
ls "$dir" | wc -l
