// Where klia's own files lie: its interface library, the transport spy and the default board
// transport, beside an installed klia or else in the build tree.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "shell/errors.h"

namespace klia {

// The file name of klia's own interface library (mviahlp.dll, libmviahlp.so.1).
const char *OwnLibraryName();

// The file of klia's own library (beside klia.exe; natively lib/ beside klia's bin/, or the
// build tree's; its bare name when none of them holds it).
std::string OwnLibraryFile();

// The folders where klia's transport spy may lie: beside an installed klia, then the build
// tree's.
std::vector<std::filesystem::path> SpyFolders();

struct SpyLocation {
  std::filesystem::path library;  // the spy's file (libhwlink32.so, HWLINK32.DLL)
  std::string library_path;       // natively: the folder to put first on LD_LIBRARY_PATH
};

// The spy beside an installed klia, else in the build tree. Throws CannotRun naming
// where it was looked for.
SpyLocation FindSpy();

// The transport klia's own library would use: natively the virtual board (libhwlink32.so
// beside klia's library); on Windows the HWLINK32.DLL beside klia.exe (the virtual board in
// the simulator folder). Throws CannotRun when there is none.
std::filesystem::path DefaultTransport();

}  // namespace klia
