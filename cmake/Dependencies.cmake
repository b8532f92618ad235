# Third-party libraries of the tests: giflib (the independent decoder, and
# encoder, the tests and fuzzers check outputs against; no shipped program
# links it) and GoogleTest.
#
# Natively both come from Debian's development packages. For Windows there
# are no prebuilt MinGW packages of either, so both are compiled here with the
# cross toolchain from Debian's sources: GoogleTest from /usr/src/googletest
# (package googletest), giflib from its Debian source package, which
# scripts/install-deps.sh unpacks. Either way the targets are GIF::GIF,
# GTest::gtest and GTest::gtest_main.
if(NOT WIN32)
  find_package(GIF REQUIRED)
  if(LODRA_BUILD_TESTS)
    find_package(GTest REQUIRED)
  endif()
  return()
endif()

set(LODRA_GIFLIB_SOURCE_DIR /usr/local/src/lodra-deps/giflib CACHE PATH
    "Unpacked giflib source package, for the Windows build")
set(LODRA_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources, for the Windows build")

if(NOT EXISTS ${LODRA_GIFLIB_SOURCE_DIR}/gif_lib.h)
  message(FATAL_ERROR "giflib sources not found in ${LODRA_GIFLIB_SOURCE_DIR}; "
                      "run scripts/install-deps.sh (as root) or set LODRA_GIFLIB_SOURCE_DIR")
endif()

# The library part of giflib only; its utilities are not needed.
add_library(lodra_giflib STATIC
  ${LODRA_GIFLIB_SOURCE_DIR}/dgif_lib.c
  ${LODRA_GIFLIB_SOURCE_DIR}/egif_lib.c
  ${LODRA_GIFLIB_SOURCE_DIR}/gifalloc.c
  ${LODRA_GIFLIB_SOURCE_DIR}/gif_err.c
  ${LODRA_GIFLIB_SOURCE_DIR}/gif_font.c
  ${LODRA_GIFLIB_SOURCE_DIR}/gif_hash.c
  ${LODRA_GIFLIB_SOURCE_DIR}/openbsd-reallocarray.c
  ${LODRA_GIFLIB_SOURCE_DIR}/quantize.c
)
target_include_directories(lodra_giflib SYSTEM PUBLIC ${LODRA_GIFLIB_SOURCE_DIR})
# Not our code: its warnings are not ours to fix.
target_compile_options(lodra_giflib PRIVATE -w)
add_library(GIF::GIF ALIAS lodra_giflib)

if(LODRA_BUILD_TESTS)
  if(NOT EXISTS ${LODRA_GOOGLETEST_SOURCE_DIR}/googletest/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${LODRA_GOOGLETEST_SOURCE_DIR}; "
                        "run scripts/install-deps.sh (as root)")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # GoogleTest's own Win32 threading, not winpthread.
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  # SYSTEM: its headers' warnings are not reported in our code.
  add_subdirectory(${LODRA_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest
                   EXCLUDE_FROM_ALL SYSTEM)
  foreach(lib gtest gtest_main)
    target_compile_options(${lib} PRIVATE -w)
  endforeach()
endif()
