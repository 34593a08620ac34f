# Helpers shared by the per-folder CMake files.

# Tests run only in the x86_64 build: this machine runs no 32-bit code.
if(DELVARO_ARCH STREQUAL "x86_64")
  set(DELVARO_RUN_TESTS ON)
else()
  set(DELVARO_RUN_TESTS OFF)
endif()

set(DELVARO_WINE64 /usr/lib/wine/wine64 CACHE FILEPATH "64-bit Wine loader")
set(DELVARO_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
set(DELVARO_FIXTURE_DIR "${CMAKE_BINARY_DIR}/fixtures")

# Windows form of a Linux path (Wine maps Z: to /).
function(delvaro_winpath out path)
  string(REPLACE "/" "\\" _w "${path}")
  set(${out} "Z:${_w}" PARENT_SCOPE)
endfunction()

delvaro_winpath(DELVARO_WIN_SOURCE_DIR "${CMAKE_SOURCE_DIR}")
delvaro_winpath(DELVARO_WIN_FIXTURE_DIR "${DELVARO_FIXTURE_DIR}")
delvaro_winpath(DELVARO_WIN_BIN_DIR "${DELVARO_BIN_DIR}")
get_filename_component(_shared "${CMAKE_SOURCE_DIR}/../shared" ABSOLUTE)
set(DELVARO_SHARED_DIR "${_shared}")
delvaro_winpath(DELVARO_WIN_SHARED_DIR "${_shared}")

set(DELVARO_TEST_ENV
  "WINEPREFIX=${DELVARO_WINEPREFIX}"
  "WINEDEBUG=-all"
  "WINEDLLOVERRIDES=mscoree,mshtml,winedbg.exe=d"
  "DELVARO_SOURCE_DIR=${DELVARO_WIN_SOURCE_DIR}"
  "DELVARO_FIXTURES=${DELVARO_WIN_FIXTURE_DIR}"
  "DELVARO_BIN=${DELVARO_WIN_BIN_DIR}"
  "DELVARO_SHARED=${DELVARO_WIN_SHARED_DIR}"
  "DELVARO_UNIX_FIXTURES=${DELVARO_FIXTURE_DIR}"
  "DELVARO_UNIX_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
  "DELVARO_UNIX_BIN=${DELVARO_BIN_DIR}"
  "DELVARO_UNIX_SHARED=${_shared}")

# Command prefix that runs a built Windows program here.
set(DELVARO_WINE_RUN ${CMAKE_COMMAND} -E env ${DELVARO_TEST_ENV} ${DELVARO_WINE64})

# A static library of one layer from every .cpp/.c in a folder.
function(delvaro_layer_library name)
  cmake_parse_arguments(A "" "" "DIRS;LIBS" ${ARGN})
  set(_srcs)
  foreach(d ${A_DIRS})
    file(GLOB _s CONFIGURE_DEPENDS ${d}/*.cpp ${d}/*.c)
    list(APPEND _srcs ${_s})
  endforeach()
  if(NOT _srcs)
    set(_stub "${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp")
    file(WRITE "${_stub}" "// layer has no sources yet\n")
    set(_srcs "${_stub}")
  endif()
  add_library(${name} STATIC ${_srcs})
  target_link_libraries(${name} PUBLIC ${A_LIBS} ${DELVARO_WIN_LIBS})
endfunction()

# One GoogleTest program and one CTest test for it (not one per case), or,
# with SHARDS n, n CTest tests of it, NAME.1 to NAME.n, each running every
# n-th case through GoogleTest's sharding: a case added to any source file
# lands in exactly one of them. The shards of one program never run side by
# side (they share its drive letters and files). ${name}_TESTS lists the
# CTest names for the properties set after the call.
# delvaro_add_gtest(name SOURCES ... LIBS ... [DEPENDS targets] [TIMEOUT s] [SHARDS n])
function(delvaro_add_gtest name)
  cmake_parse_arguments(A "" "TIMEOUT;SHARDS" "SOURCES;LIBS;DEPENDS" ${ARGN})
  add_executable(${name} ${A_SOURCES} ${CMAKE_SOURCE_DIR}/tests/common/TestPaths.cpp
                 ${CMAKE_SOURCE_DIR}/tests/common/TestMain.cpp)
  target_link_libraries(${name} PRIVATE ${A_LIBS} deps_gmock deps_gtest)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  if(A_DEPENDS)
    add_dependencies(${name} ${A_DEPENDS})
  endif()
  add_dependencies(${name} fixtures)
  set(_tests ${name})
  if(DELVARO_RUN_TESTS)
    if(NOT A_TIMEOUT)
      set(A_TIMEOUT 600)
    endif()
    if(NOT A_SHARDS OR A_SHARDS LESS 2)
      add_test(NAME ${name} COMMAND ${DELVARO_WINE64} $<TARGET_FILE:${name}> --gtest_brief=1
               WORKING_DIRECTORY ${DELVARO_BIN_DIR})
    else()
      set(_tests)
      foreach(_k RANGE 1 ${A_SHARDS})
        math(EXPR _index "${_k} - 1")
        add_test(NAME ${name}.${_k} COMMAND ${DELVARO_WINE64} $<TARGET_FILE:${name}> --gtest_brief=1
                 WORKING_DIRECTORY ${DELVARO_BIN_DIR})
        # Apart from ENVIRONMENT, which the callers set again for their own needs.
        set_tests_properties(${name}.${_k} PROPERTIES ENVIRONMENT_MODIFICATION
                             "GTEST_TOTAL_SHARDS=set:${A_SHARDS};GTEST_SHARD_INDEX=set:${_index}")
        list(APPEND _tests ${name}.${_k})
      endforeach()
      # Added once the folder's own properties are set, which would replace it.
      cmake_language(EVAL CODE
        "cmake_language(DEFER CALL set_property TEST ${_tests} APPEND PROPERTY RESOURCE_LOCK ${name})")
    endif()
    set_tests_properties(${_tests} PROPERTIES ENVIRONMENT "${DELVARO_TEST_ENV}" TIMEOUT ${A_TIMEOUT}
                         SKIP_RETURN_CODE 77 FIXTURES_REQUIRED wine_desktop)
  endif()
  set(${name}_TESTS ${_tests} PARENT_SCOPE)
endfunction()

# A test written as a shell script (oracle comparisons with Linux tools).
function(delvaro_add_script_test name script)
  if(DELVARO_RUN_TESTS)
    add_test(NAME ${name} COMMAND bash ${script} ${ARGN} WORKING_DIRECTORY ${DELVARO_BIN_DIR})
    # Scripts exit 77 (skipped) when a public corpus they need is missing.
    set_tests_properties(${name} PROPERTIES ENVIRONMENT
      "${DELVARO_TEST_ENV};DELVARO_WINE64=${DELVARO_WINE64}" TIMEOUT 600 SKIP_RETURN_CODE 77
      FIXTURES_REQUIRED wine_desktop)
  endif()
endfunction()

# A test tool or build tool: an executable beside the program.
function(delvaro_add_tool name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS} ${DELVARO_WIN_LIBS})
  set_target_properties(${name} PROPERTIES OUTPUT_NAME ${name})
endfunction()

# A file-type plug-in DLL in the type folder: fmt_<name>.dll
function(delvaro_add_plugin name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} SHARED ${A_SOURCES})
  target_link_libraries(${name} PRIVATE delvaro_plugin_common ${A_LIBS} ${DELVARO_WIN_LIBS})
  set_target_properties(${name} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${DELVARO_PLUGIN_DIR}
    LIBRARY_OUTPUT_DIRECTORY ${DELVARO_PLUGIN_DIR}
    PREFIX "")
  # Exports keep their plain C names on both targets (no @n stdcall decoration).
  target_link_options(${name} PRIVATE -Wl,--kill-at)
  add_dependencies(delvaro_plugins ${name})
endfunction()
