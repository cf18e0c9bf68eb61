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
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)
