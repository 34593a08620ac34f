#!/usr/bin/env bash
# Configures and builds one architecture:
#   scripts/build.sh [x86_64|i686] [BUILD_DIR] [TARGET...]
# With no targets everything is built (the program, its plug-ins, the tests,
# the tools and the benchmarks); with targets only those and what they need.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
arch=${1:-x86_64}
bd=${2:-$root/build/$arch}
shift $(( $# < 2 ? $# : 2 ))
targets=()
for t in "$@"; do targets+=(--target "$t"); done
mkdir -p "$bd"
if [ ! -f "$bd/build.ninja" ]; then
  cmake -S "$root" -B "$bd" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" >/dev/null
fi
if [ "$arch" = x86_64 ]; then
  # Build steps run tools under Wine: give them a prefix and a server.
  . "$root/scripts/wine-env.sh" "$bd"
  wine_start
  # Start the prefix's services now, with no output to hold open: a build
  # step that started them would hand them ninja's pipe, and ninja would
  # wait for them to end.
  "$WINE64" cmd /c exit </dev/null >/dev/null 2>&1 || true
fi
if ! cmake --build "$bd" ${targets[@]+"${targets[@]}"} -- -k 0 > "$bd/build.log" 2>&1; then
  grep -v '^\[' "$bd/build.log" | tail -n 150
  echo "build ($arch) failed; full log: $bd/build.log" >&2
  exit 1
fi
