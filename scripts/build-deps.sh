#!/usr/bin/env bash
# Cross-builds TinyXML, JsonCpp, minizip and GoogleTest for both MinGW targets
# from Debian's sources, and DuiLib from the shared third-party folder, into a
# cache folder outside the source tree.
# Each library is built once; a stamp file marks it done.
set -euo pipefail
cache="${DELVARO_DEPS:-$HOME/.cache/delvaro6-deps}"
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
shared="${DELVARO_SHARED:-$(cd "$repo/.." && pwd)/shared}"
mkdir -p "$cache/src"
stamp_version=1
duilib_stamp=2

fetch_source() { # package -> prints the extracted folder
  local pkg=$1
  local dir
  dir=$(find "$cache/src" -maxdepth 1 -type d -name "${pkg}-*" | head -n1)
  if [ -z "$dir" ]; then
    # Newest first; a version whose files the mirror no longer serves is skipped.
    local v
    for v in "" $(apt-cache showsrc "$pkg" 2>/dev/null | sed -n 's/^Version: //p' | sort -rV); do
      if (cd "$cache/src" && apt-get source -qq "$pkg${v:+=$v}" >/dev/null 2>&1); then break; fi
    done
    dir=$(find "$cache/src" -maxdepth 1 -type d -name "${pkg}-*" | head -n1)
  fi
  [ -n "$dir" ] || { echo "build-deps: no source for $pkg" >&2; exit 1; }
  echo "$dir"
}

build_arch() {
  local arch=$1
  local triple=${arch}-w64-mingw32
  local prefix="$cache/$arch"
  local cc=${triple}-gcc-posix cxx=${triple}-g++-posix ar=${triple}-ar
  mkdir -p "$prefix/include" "$prefix/lib"
  local flags="-O2 -static-libgcc"

  if [ ! -f "$prefix/.tinyxml.$stamp_version" ]; then
    local src; src=$(fetch_source tinyxml)
    local b="$cache/build/$arch/tinyxml"; rm -rf "$b"; mkdir -p "$b"
    for f in tinyxml tinystr tinyxmlerror tinyxmlparser; do
      $cxx $flags -DTIXML_USE_STL -c "$src/$f.cpp" -o "$b/$f.o"
    done
    $ar rcs "$prefix/lib/libtinyxml.a" "$b"/*.o
    cp "$src/tinyxml.h" "$src/tinystr.h" "$prefix/include/"
    touch "$prefix/.tinyxml.$stamp_version"
  fi

  if [ ! -f "$prefix/.minizip.$stamp_version" ]; then
    local src; src=$(fetch_source zlib)
    local mz="$src/contrib/minizip"
    local b="$cache/build/$arch/minizip"; rm -rf "$b"; mkdir -p "$b"
    for f in unzip ioapi zip iowin32; do
      $cc $flags -DNOCRYPT=0 -c "$mz/$f.c" -o "$b/$f.o"
    done
    $ar rcs "$prefix/lib/libminizip.a" "$b"/*.o
    mkdir -p "$prefix/include/minizip"
    cp "$mz"/{unzip.h,zip.h,ioapi.h,iowin32.h} "$prefix/include/minizip/"
    touch "$prefix/.minizip.$stamp_version"
  fi

  local tc="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/cmake/toolchain-$arch.cmake"

  if [ ! -f "$prefix/.jsoncpp.$stamp_version" ]; then
    local src; src=$(fetch_source libjsoncpp)
    local b="$cache/build/$arch/jsoncpp"; rm -rf "$b"
    cmake -S "$src" -B "$b" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$tc" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON \
      -DBUILD_OBJECT_LIBS=OFF -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF \
      -DJSONCPP_WITH_PKGCONFIG_SUPPORT=OFF -DJSONCPP_WITH_CMAKE_PACKAGE=OFF >/dev/null
    cmake --build "$b" >/dev/null
    cmake --install "$b" >/dev/null
    touch "$prefix/.jsoncpp.$stamp_version"
  fi

  if [ ! -f "$prefix/.gtest.$stamp_version" ]; then
    local b="$cache/build/$arch/gtest"; rm -rf "$b"
    cmake -S /usr/src/googletest -B "$b" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$tc" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON >/dev/null
    cmake --build "$b" >/dev/null
    cmake --install "$b" >/dev/null
    touch "$prefix/.gtest.$stamp_version"
  fi
}

# DuiLib: a fresh copy of the pinned upstream with the MinGW patch and the
# project's own cmake/duilib-tooltip.patch applied,
# built as DuiLib.dll with the project's toolchain. Headers go to
# include/duilib, the import library to lib, the DLL and its three licence
# files to bin and share/duilib.
build_duilib() {
  local arch=$1
  local prefix="$cache/$arch"
  [ -f "$prefix/.duilib.$duilib_stamp" ] && return 0
  local dl="$shared/third_party/duilib"
  [ -f "$dl/duilib-mingw.patch" ] || { echo "build-deps: DuiLib sources missing in $dl" >&2; exit 1; }
  local tc="$repo/cmake/toolchain-$arch.cmake"
  local b="$cache/build/$arch/duilib"
  rm -rf "$b"; mkdir -p "$b/wrap"
  cp -r "$dl/upstream" "$b/src"
  chmod -R u+w "$b/src"
  (cd "$b/src" && git apply --whitespace=nowarn "$dl/duilib-mingw.patch")
  # The project's own mends on top: tooltips that never take a click.
  (cd "$b/src" && git apply --whitespace=nowarn "$repo/cmake/duilib-tooltip.patch")
  # A wrapper project: the library's own CMake file, with the DLL named DuiLib.dll.
  cat > "$b/wrap/CMakeLists.txt" <<EOT
cmake_minimum_required(VERSION 3.16)
project(duilib_build C CXX)
add_definitions(-DUNICODE -D_UNICODE)
add_subdirectory("$b/src/DuiLib" duilib)
set_target_properties(duilib PROPERTIES OUTPUT_NAME DuiLib PREFIX "" IMPORT_PREFIX "lib")
EOT
  cmake -S "$b/wrap" -B "$b/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$tc" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_STANDARD=17 >/dev/null
  cmake --build "$b/build" -j "${DELVARO_DEPS_JOBS:-4}" >/dev/null
  local inc="$prefix/include/duilib"
  rm -rf "$inc"; mkdir -p "$inc" "$prefix/bin" "$prefix/share/duilib"
  (cd "$b/src/DuiLib" && find . -name '*.h' -exec cp --parents {} "$inc/" \;)
  cp "$(find "$b/build" -name DuiLib.dll | head -n1)" "$prefix/bin/DuiLib.dll"
  cp "$(find "$b/build" -name libDuiLib.dll.a | head -n1)" "$prefix/lib/libDuiLib.dll.a"
  cp "$dl/upstream/LICENSE" "$dl/upstream/duilib license.txt" "$dl/upstream/directui license.txt" \
    "$prefix/share/duilib/"
  chmod u+w "$prefix/share/duilib/"* "$prefix/bin/DuiLib.dll"
  touch "$prefix/.duilib.$duilib_stamp"
}

build_arch x86_64
build_arch i686
build_duilib x86_64
build_duilib i686
