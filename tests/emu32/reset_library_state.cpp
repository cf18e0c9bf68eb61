// The library's interface tests reset it between tests with ResetLibraryState. Run against the
// emulated DLL, the reset is a fresh load of the DLL into a fresh emulator: everything as a new
// process finds it, and, as with the native reset, nothing flushed.
#include "interface/library_state.h"

extern "C" void Emu32ReloadLibrary(void);

namespace mviahlp {

void ResetLibraryState() { Emu32ReloadLibrary(); }

}  // namespace mviahlp
