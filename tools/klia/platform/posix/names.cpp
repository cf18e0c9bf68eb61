// The names of files on POSIX systems: the interface library and the transport as programs
// load them, what a library is, and how file names compare (as bytes).
#include "platform/platform.h"

namespace klia {

const char kInterfaceLibraryFileName[] = "libmviahlp.so.1";
const char kTransportFileName[] = "libhwlink32.so";

const char *const kNativeLibraryKind = "a shared object (ELF)";
const bool kNativeLibraryIsPe = false;

bool SameFileName(std::string_view a, std::string_view b) { return a == b; }

bool IsProgramFileName(const std::string &) { return false; }

bool SettingsFileTakesOnlyAscii() { return false; }

}  // namespace klia
