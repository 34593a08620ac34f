#!/usr/bin/env bash
# Runs a window test program with devices mapped before it starts (Wine
# lists drive letters as they are when a process starts): K: is a FAT16
# volume image and \\.\PhysicalDrive6 an MBR disk image. Both are read-only
# for the program; the links go when the program ends.
set -u
exe=$1
shift
dd="$WINEPREFIX/dosdevices"
fx="$DELVARO_UNIX_FIXTURES"
root=$(mktemp -d)
links=("$dd/k:" "$dd/k::" "$dd/physicaldrive6")
cleanup() {
  rm -f "${links[@]}"
  rm -rf "$root"
}
trap cleanup EXIT
ln -sfn "$root" "$dd/k:"
ln -sfn "$fx/fat16.img" "$dd/k::"
ln -sfn "$fx/disk-mbr.img" "$dd/physicaldrive6"
"$DELVARO_WINE64" "$exe" "$@"
