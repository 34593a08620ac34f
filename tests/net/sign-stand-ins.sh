#!/usr/bin/env bash
# Signed copies of the test stand-ins for the trust tests:
#   sign-stand-ins.sh OUTDIR INSTALLER.exe PATCH.dll
# Writes into OUTDIR, with a fresh self-signed "Delvaro Test Publisher"
# certificate: installer_signed.exe, patch_signed.dll, installer_tampered.exe
# (a signed copy with one byte of its code changed), installer_impostor.exe
# (signed by another certificate of the same name), and publisher.sha256 /
# impostor.sha256 (SHA-256 of each certificate, hex). Without openssl or
# osslsigncode it writes nothing, and the tests check only refusals.
set -euo pipefail
out=$1 installer=$2 patch=$3
mkdir -p "$out"
rm -f "$out"/*.exe "$out"/*.dll "$out"/*.sha256
if ! command -v openssl >/dev/null || ! command -v osslsigncode >/dev/null; then
  echo "sign-stand-ins: openssl or osslsigncode missing; no signed stand-ins" >&2
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for who in publisher impostor; do
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/$who.key" -out "$work/$who.pem" -days 3650 \
    -subj "/CN=Delvaro Test Publisher" -addext "extendedKeyUsage=codeSigning" 2>/dev/null
  openssl x509 -in "$work/$who.pem" -outform der | sha256sum | cut -d' ' -f1 > "$out/$who.sha256"
done
sign() { osslsigncode sign -certs "$work/$1.pem" -key "$work/$1.key" -n "Delvaro test" -in "$2" -out "$3" >/dev/null; }
sign publisher "$installer" "$out/installer_signed.exe"
sign publisher "$patch" "$out/patch_signed.dll"
sign impostor "$installer" "$out/installer_impostor.exe"
python3 - "$out/installer_signed.exe" "$out/installer_tampered.exe" <<'PY'
import struct, sys
d = bytearray(open(sys.argv[1], "rb").read())
# One byte in the middle of the first section's raw data.
pe = struct.unpack_from("<I", d, 0x3C)[0]
opt = struct.unpack_from("<H", d, pe + 20)[0]
sec = pe + 24 + opt
size, raw = struct.unpack_from("<II", d, sec + 16)
d[raw + size // 2] ^= 0xFF
open(sys.argv[2], "wb").write(bytes(d))
PY
