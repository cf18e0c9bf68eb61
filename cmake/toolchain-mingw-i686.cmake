# 32-bit Windows build with MinGW-w64 (Debian: g++-mingw-w64-i686-posix), tests run under Wine.
#
#   cmake --workflow --preset win32
#
# Every binary is linked statically against libgcc, libstdc++ and winpthread, so mviahlp.dll,
# HWLINK32.DLL and the test programs need no MinGW runtime DLL beside them: they import only
# system DLLs (and mviahlp.dll imports HWLINK32.DLL).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(MVIAHLP_MINGW_TRIPLET i686-w64-mingw32)
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
find_program(MVIAHLP_WINE NAMES wine wine-stable)
if(MVIAHLP_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      /usr/bin/env WINEDEBUG=-all WINEPREFIX=${MVIAHLP_WINEPREFIX} WINEDLLOVERRIDES=mscoree,mshtml=
      ${MVIAHLP_WINE})
endif()
