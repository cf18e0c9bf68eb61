# What the MinGW-w64 toolchain files share, for the triplet MVIAHLP_MINGW_TRIPLET they set:
# compilers and tools of that triplet, its sysroot, static runtime, and Wine as the emulator that
# runs the test programs.
set(CMAKE_C_COMPILER ${MVIAHLP_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MVIAHLP_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MVIAHLP_MINGW_TRIPLET}-windres)
set(CMAKE_DLLTOOL ${MVIAHLP_MINGW_TRIPLET}-dlltool)
set(CMAKE_OBJDUMP ${MVIAHLP_MINGW_TRIPLET}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${MVIAHLP_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine, quietly, in a Wine prefix of their own (created by the first
# run, which takes a few seconds). The prefix lives in the build directory unless
# MVIAHLP_WINEPREFIX names another one. The Mono and Gecko installers are not wanted.
set(MVIAHLP_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix for running the test programs")
# 32-bit programs run under `wine`; 64-bit ones under Wine's 64-bit loader itself, which Debian
# keeps out of PATH (its `wine` script takes the 32-bit loader whenever that is installed, and
# that loader cannot start where the kernel refuses 32-bit programs).
if(MVIAHLP_MINGW_TRIPLET MATCHES "^x86_64")
  find_program(MVIAHLP_WINE NAMES wine64 PATHS /usr/lib/wine /usr/lib/wine64 /usr/lib64/wine)
else()
  find_program(MVIAHLP_WINE NAMES wine wine-stable)
endif()
if(MVIAHLP_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      /usr/bin/env WINEDEBUG=-all WINEPREFIX=${MVIAHLP_WINEPREFIX} WINEDLLOVERRIDES=mscoree,mshtml=
      ${MVIAHLP_WINE})
endif()
