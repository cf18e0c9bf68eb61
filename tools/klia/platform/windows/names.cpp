// The names of files on Windows: the interface library and the transport as programs load them,
// what a library is, and how file names compare (whatever the case of their ASCII letters).
#include <algorithm>

#include "platform/platform.h"

namespace klia {

const char kInterfaceLibraryFileName[] = "mviahlp.dll";
const char kTransportFileName[] = "HWLINK32.DLL";

const char *const kNativeLibraryKind = "a Windows DLL";
const bool kNativeLibraryIsPe = true;

bool SameFileName(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

bool IsProgramFileName(const std::string &name) {
  if (name.size() < 4) return false;
  std::string ending = name.substr(name.size() - 4);
  for (char &c : ending) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return ending == ".exe";
}

// The spy reads its settings file in the system's ANSI code page.
bool SettingsFileTakesOnlyAscii() { return true; }

}  // namespace klia
