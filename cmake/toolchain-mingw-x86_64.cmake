# 64-bit Windows build with MinGW-w64 (Debian: g++-mingw-w64-x86-64-posix), tests under 64-bit
# Wine.
#
#   cmake --workflow --preset win64
#
# A TEST VEHICLE, NEVER SHIPPED: the board transport exists only as a 32-bit DLL, so a 64-bit
# mviahlp.dll has nothing to load on a site. This build exists for machines whose kernel refuses
# 32-bit programs (IA-32 emulation switched off), where 32-bit Wine cannot start: there it puts
# the same Windows sources (library, virtual board, spy, klia.exe and the Windows test programs)
# in front of a real PE loader. What only a 32-bit process can show (the standard calling
# convention's stack balance, garbage in the high bits of 32-bit argument slots, the 32-bit DLL's
# own tables) stays with the win32 build; the tables are checked on every machine without Wine.
#
# As for win32, every binary is linked statically against libgcc, libstdc++ and winpthread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(MVIAHLP_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)
