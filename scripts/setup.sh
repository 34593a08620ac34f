#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test Delvaro6,
# then builds the third-party libraries once into the dependency cache.
# `setup.sh --tools` also installs the tools of the fixture scripts and benchmarks.
# Quiet and quick when everything is already there.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

packages=(
  wine64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  gcc-mingw-w64-x86-64-posix gcc-mingw-w64-i686-posix binutils-mingw-w64
  cmake ninja-build xvfb xauth fonts-wqy-microhei fonts-wine
  libz-mingw-w64-dev libstb-dev googletest
  ntfs-3g dosfstools mtools exfatprogs exfat-fuse fdisk gdisk sleuthkit
  xz-utils dpkg-dev unzip python3
  # the web-client tests decrypt reports with an AES of their own
  python3-cryptography openssl
  # the updater tests sign their stand-in installers
  osslsigncode
  # the media player's tests play through Wine's DirectShow over GStreamer
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  # the failing-disk test serves its images through FUSE (Debian's fusepy, run
  # by /usr/bin/python3) and makes its 64 MiB picture with ffmpeg
  fuse3 python3-fusepy ffmpeg
  # the streamed-archive samples are made at build time by Info-ZIP's zip,
  # the preview's large picture by ImageMagick
  zip imagemagick
)
# The tools that make the fixture samples and run the benchmarks beside
# PhotoRec and TestDisk; the tests only read what they made. `--tools` adds them.
tool_packages=(
  testdisk
  # media samples (tests/fixtures/make-media.sh)
  ffmpeg sox libsox-fmt-base lame id3v2 eyed3
  # archive, document and cabinet samples (tests/fixtures/make-archives.sh)
  zip gcab osslsigncode libreoffice-writer-nogui libreoffice-calc-nogui libreoffice-impress-nogui
  # documents and programs of the office, PDF and PE samples (tests/fixtures/make-docs.sh)
  pandoc groff ghostscript libspreadsheet-writeexcel-perl libimage-exiftool-perl
)
if [ "${1:-}" = --tools ]; then packages+=("${tool_packages[@]}"); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# Source packages of TinyXML, JsonCpp and zlib (minizip) need deb-src entries.
src_list=/etc/apt/sources.list.d/debian.sources
need_update=0
if [ -f "$src_list" ] && ! grep -q 'deb-src' "$src_list"; then
  $SUDO sed -i 's/^Types: deb$/Types: deb deb-src/' "$src_list"
  need_update=1
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
elif [ $need_update = 1 ]; then
  $SUDO apt-get update -qq
fi

"$here/build-deps.sh"
