# Imported targets for the libraries the program calls.
set(_p "${DELVARO_DEPS_PREFIX}")
if(NOT EXISTS "${_p}/lib/libtinyxml.a")
  message(FATAL_ERROR "Third-party libraries missing in ${_p}: run scripts/setup.sh")
endif()

# zlib from Debian's MinGW package.
add_library(deps_zlib INTERFACE)
target_link_libraries(deps_zlib INTERFACE /usr/${DELVARO_ARCH}-w64-mingw32/lib/libz.a)

add_library(deps_tinyxml STATIC IMPORTED GLOBAL)
set_target_properties(deps_tinyxml PROPERTIES IMPORTED_LOCATION "${_p}/lib/libtinyxml.a"
  INTERFACE_INCLUDE_DIRECTORIES "${_p}/include" INTERFACE_COMPILE_DEFINITIONS TIXML_USE_STL)

add_library(deps_minizip STATIC IMPORTED GLOBAL)
set_target_properties(deps_minizip PROPERTIES IMPORTED_LOCATION "${_p}/lib/libminizip.a"
  INTERFACE_INCLUDE_DIRECTORIES "${_p}/include/minizip"
  INTERFACE_LINK_LIBRARIES deps_zlib)

add_library(deps_jsoncpp STATIC IMPORTED GLOBAL)
set_target_properties(deps_jsoncpp PROPERTIES IMPORTED_LOCATION "${_p}/lib/libjsoncpp.a"
  INTERFACE_INCLUDE_DIRECTORIES "${_p}/include")

# stb_image is a header library from libstb-dev.
add_library(deps_stb INTERFACE)
target_include_directories(deps_stb SYSTEM INTERFACE /usr/include/stb)

add_library(deps_gtest STATIC IMPORTED GLOBAL)
set_target_properties(deps_gtest PROPERTIES IMPORTED_LOCATION "${_p}/lib/libgtest.a"
  INTERFACE_INCLUDE_DIRECTORIES "${_p}/include")
add_library(deps_gtest_main STATIC IMPORTED GLOBAL)
set_target_properties(deps_gtest_main PROPERTIES IMPORTED_LOCATION "${_p}/lib/libgtest_main.a"
  INTERFACE_LINK_LIBRARIES deps_gtest)
add_library(deps_gmock STATIC IMPORTED GLOBAL)
set_target_properties(deps_gmock PROPERTIES IMPORTED_LOCATION "${_p}/lib/libgmock.a"
  INTERFACE_LINK_LIBRARIES deps_gtest)

set(DELVARO_WIN_LIBS kernel32 user32 gdi32 shell32 shlwapi ole32 oleaut32 uuid advapi32
    comctl32 comdlg32 gdiplus wininet ws2_32 version bcrypt dbghelp winmm)

# DuiLib, built by scripts/build-deps.sh from the shared third-party folder.
# The program ships DuiLib.dll beside itself with the library's licences.
if(NOT EXISTS "${_p}/lib/libDuiLib.dll.a")
  message(FATAL_ERROR "DuiLib missing in ${_p}: run scripts/setup.sh")
endif()
add_library(deps_duilib SHARED IMPORTED GLOBAL)
set_target_properties(deps_duilib PROPERTIES
  IMPORTED_LOCATION "${_p}/bin/DuiLib.dll"
  IMPORTED_IMPLIB "${_p}/lib/libDuiLib.dll.a"
  INTERFACE_INCLUDE_DIRECTORIES "${_p}/include/duilib"
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${_p}/include/duilib")
set(DELVARO_DUILIB_DLL "${_p}/bin/DuiLib.dll")
set(DELVARO_DUILIB_LICENSES "${_p}/share/duilib/LICENSE" "${_p}/share/duilib/duilib license.txt"
    "${_p}/share/duilib/directui license.txt")
