/* A caller built as Visual C++ builds it (clang for i686-pc-windows-msvc, linked by lld-link
 * against lib/mviahlp.lib from the Windows zip): its calls name the decorated stdcall symbols
 * (_KLIADriverPresent@0, ...), which the import library must resolve to the plain names
 * mviahlp.dll exports. No C runtime: the entry point ends the process with the result.
 * Exit code 0: bound to the board and read its information; 1: a call failed. */
#include "mviahlp.h"

__declspec(dllimport) void __stdcall ExitProcess(unsigned code);

void caller_main(void) {
  uint8_t info[KLIA_INFO_RECORD_SIZE];
  uint16_t bind_error = 1, last_error = 1, device_status = 1;
  unsigned failed = (KLIADriverPresent() & 0xFF) == 0 || (KLIAGetInfo(info) & 0xFF) == 0;
  KLIAGetErrorState(&bind_error, &last_error, &device_status);
  if (bind_error != 0 || last_error != 0 || info[KLIA_INFO_SIGNATURE + 8] != 0x41) failed = 1;
  ExitProcess(failed);
}
