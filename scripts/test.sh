#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds both targets
# (i686 is compiled only), and runs every test under Wine with CTest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
bd="$root/build/x86_64"
"$root/scripts/build.sh" x86_64 "$bd"
"$root/scripts/build.sh" i686 "$root/build/i686"
. "$root/scripts/wine-env.sh" "$bd"
wine_start
trap wine_stop EXIT
cd "$bd"
ctest --output-on-failure -j"$(nproc)" "$@"
