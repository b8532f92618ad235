# Cross build for 32-bit Windows with Debian's MinGW-w64 (packages
# g++-mingw-w64-i686-posix, binutils-mingw-w64-i686).
#
# The posix thread model is chosen because GoogleTest needs std::mutex and
# friends, which GCC 12's win32 model does not provide. Its winpthread
# library, libgcc and libstdc++ are linked statically into every binary, so
# the module and the test programs import only system DLLs and run under Wine
# without a DLL search path. The module alone takes a thread layer of its own
# in place of winpthread (plugin/runtime/module_threads.cpp), so that
# unloading it leaves nothing behind.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(LODRA_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${LODRA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LODRA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${LODRA_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${LODRA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# CTest runs the test programs through Wine; see cmake/WineTesting.cmake,
# which sets CMAKE_CROSSCOMPILING_EMULATOR to a wrapper with a private prefix
# inside the build tree.
