// Process notifications of mviahlp.dll (32-bit Windows). src/exports/unload.cpp does the same
// for the POSIX shared library.
//
// The C runtime calls DllMain after the library's static objects are set up (the page cache
// is empty at load) and, at detach, before they are finalised. Attaching binds nothing and
// sends nothing to the board: the caller binds with KLIADriverPresent. Detaching, at
// FreeLibrary or at process exit, calls the exported KLIAFlush so that a modified page still
// held in the driver's cache is written to the board; HWLINK32.DLL, which this DLL imports,
// is detached only after it. An unbound library only records BindError. Thread
// notifications change nothing.
#include <windows.h>

#include "mviahlp.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_DETACH) KLIAFlush();
  return TRUE;
}
