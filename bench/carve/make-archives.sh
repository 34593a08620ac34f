#!/usr/bin/env bash
# Archives, office documents, cabinets and drawings for the carving
# benchmark, written into DIR next to its pictures: N of them made here by
# real tools (zip plain, stored and streamed to a pipe; LibreOffice docx,
# xlsx, pptx, odt, ods, odp; gcab stored and MSZIP cabinets), plus the RAR
# and DWG samples of the shared corpus (no tool here writes those).
#   bench/carve/make-archives.sh DIR [N]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
dir="$(cd "$1" && pwd)"
n="${2:-120}"
corpus="${CORPORA:-$root/../shared/corpora/formats}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

words=(recovery volume sector cluster archive drawing record folder table index journal bitmap
       deleted format signature window header entry stream block)
text() {  # text SEED LINES
  local s=$1 i
  for ((i = 0; i < $2; i++)); do
    echo "${words[$(( (s + i * 7) % 20 ))]} ${words[$(( (s * 3 + i) % 20 ))]} $s-$i ${words[$(( (s + i * i) % 20 ))]}"
  done
}

mkdir -p docs
kinds=(zip stored streamed docx xlsx pptx odt ods odp cab mszip)
for ((i = 1; i <= n; i++)); do
  kind=${kinds[$(( i % ${#kinds[@]} ))]}
  mkdir -p "src$i/sub"
  text "$i" $(( 50 + (i * 37) % 3000 )) > "src$i/notes.txt"
  head -c $(( 2000 + (i * 997) % 60000 )) /dev/urandom > "src$i/sub/data.bin"
  case $kind in
    zip) (cd "src$i" && zip -q -X -r "$dir/a$i.zip" .) ;;
    stored) (cd "src$i" && zip -q -X -0 -r "$dir/a$i.zip" .) ;;
    streamed) (cd "src$i" && zip -q -X -r - . | cat > "$dir/a$i.zip") ;;
    cab) (cd "src$i" && gcab -c "$dir/a$i.cab" notes.txt sub/data.bin) ;;
    mszip) (cd "src$i" && gcab -c -z "$dir/a$i.cab" notes.txt sub/data.bin) ;;
    docx | odt) cp "src$i/notes.txt" "docs/d$i.txt"; echo "$kind" > "docs/d$i.kind" ;;
    xlsx | ods) text "$i" $(( 20 + i % 200 )) | tr ' ' ',' > "docs/d$i.csv"; echo "$kind" > "docs/d$i.kind" ;;
    pptx | odp)
      { echo '<?xml version="1.0" encoding="UTF-8"?>'
        echo '<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0" xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0" office:version="1.2" office:mimetype="application/vnd.oasis.opendocument.presentation"><office:body><office:presentation>'
        for ((p = 0; p < 1 + i % 6; p++)); do
          echo "<draw:page draw:name=\"p$p\"><draw:frame svg:x=\"2cm\" svg:y=\"2cm\" svg:width=\"20cm\" svg:height=\"3cm\"><draw:text-box><text:p>$(text $((i + p)) 1)</text:p></draw:text-box></draw:frame></draw:page>"
        done
        echo '</office:presentation></office:body></office:document>'; } > "docs/d$i.fodp"
      echo "$kind" > "docs/d$i.kind" ;;
  esac
done
# One office run per target format converts all its documents.
profile="file://$work/lo-profile"
for kind in docx odt xlsx ods pptx odp; do
  files=()
  for k in docs/*.kind; do
    [ "$(cat "$k")" = "$kind" ] || continue
    base="${k%.kind}"
    for src in "$base".txt "$base".csv "$base".fodp; do [ -f "$src" ] && files+=("$src"); done
  done
  [ ${#files[@]} -gt 0 ] || continue
  timeout 900 soffice -env:UserInstallation="$profile" --headless --convert-to "$kind" \
    --outdir "$dir" "${files[@]}" > /dev/null 2>&1
done
# RAR 5 archives are another format: left out.
for f in "$corpus"/rar/*.rar "$corpus"/dwg/*.dwg; do
  case "$f" in */rar5-*) continue ;; esac
  cp "$f" "$dir/corpus-$(basename "$f")"
done
