// Where klia's own files lie. The build names the folders (KLIA_SPY_FOLDERS, KLIA_VBOARD_FOLDERS,
// KLIA_LIBRARY_FOLDERS: '|'-separated, relative ones taken from klia's own folder): first those
// of an installed klia, then the build tree's. On Windows klia's library and the transport lie
// beside klia.exe, where the loader looks first.
#include "shell/installation.h"

#include <algorithm>
#include <system_error>

#include "platform/platform.h"

#ifndef KLIA_DEFAULT_LIBRARY
#error "the build names klia's own interface library in KLIA_DEFAULT_LIBRARY"
#endif
#ifndef KLIA_SPY_FOLDERS
#define KLIA_SPY_FOLDERS ""
#endif
#ifndef KLIA_VBOARD_FOLDERS
#define KLIA_VBOARD_FOLDERS ""
#endif
#ifndef KLIA_LIBRARY_FOLDERS
#define KLIA_LIBRARY_FOLDERS ""
#endif

namespace klia {
namespace {

namespace fs = std::filesystem;

// The folders of a '|'-separated list, relative ones taken from klia's own folder.
std::vector<fs::path> Folders(const std::string &folders) {
  const fs::path own_folder = OwnProgram().parent_path();
  std::vector<fs::path> list;
  size_t at = 0;
  while (at <= folders.size()) {
    const size_t end = std::min(folders.find('|', at), folders.size());
    fs::path folder = folders.substr(at, end - at);
    at = end + 1;
    if (folder.empty()) continue;
    if (folder.is_relative()) folder = own_folder / folder;
    list.push_back(folder);
  }
  return list;
}

// The first of the folders that holds `file`, or an empty path.
fs::path FirstHolding(const std::string &folders, const char *file) {
  std::error_code ignored;
  for (const fs::path &folder : Folders(folders)) {
    if (fs::is_regular_file(folder / file, ignored)) return fs::weakly_canonical(folder / file, ignored);
  }
  return {};
}

}  // namespace

const char *OwnLibraryName() { return KLIA_DEFAULT_LIBRARY; }

// Natively klia's own library is taken by its full path from the first of KLIA_LIBRARY_FOLDERS
// that holds it (lib/ beside an installed klia's bin/, then the build tree's), so that klia
// needs no run path; only when none does is it left to the loader's search.
std::string OwnLibraryFile() {
  if (LibrariesLieBesideProgram()) return PathText(OwnProgram().parent_path() / KLIA_DEFAULT_LIBRARY);
  const fs::path found = FirstHolding(KLIA_LIBRARY_FOLDERS, KLIA_DEFAULT_LIBRARY);
  return found.empty() ? std::string(KLIA_DEFAULT_LIBRARY) : found.string();
}

std::vector<fs::path> SpyFolders() { return Folders(KLIA_SPY_FOLDERS); }

SpyLocation FindSpy() {
  const fs::path spy = FirstHolding(KLIA_SPY_FOLDERS, kTransportFileName);
  if (spy.empty()) {
    throw CannotRun(std::string("cannot find the transport spy (") + kTransportFileName + ") beside klia (" +
                    KLIA_SPY_FOLDERS + "); reinstall klia with its spy");
  }
  return {spy, spy.parent_path().string()};
}

fs::path DefaultTransport() {
  if (LibrariesLieBesideProgram()) {
    const fs::path beside = OwnProgram().parent_path() / kTransportFileName;
    std::error_code ignored;
    if (fs::is_regular_file(beside, ignored)) return beside;
    throw CannotRun("no board transport " + beside.string() + " beside klia; name one with --transport");
  }
  const fs::path board = FirstHolding(KLIA_VBOARD_FOLDERS, kTransportFileName);
  if (board.empty()) {
    throw CannotRun(std::string("cannot find the virtual board (") + kTransportFileName + ") beside klia (" +
                    KLIA_VBOARD_FOLDERS + "); name a transport with --transport");
  }
  return board;
}

}  // namespace klia
