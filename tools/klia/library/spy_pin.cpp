#include "library/spy_pin.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "platform/windows/wide_text.h"
#else
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "library/board_session.h"
#include "site/folder_files.h"
#include "site/library_check.h"
#include "mviahlp.h"
#include "platform/process_runner.h"
#include "site/program_folder.h"

namespace klia {
namespace {

namespace fs = std::filesystem;

// The spy's own query: 1 when its read-only guard is on in this process.
using GuardQuery = uint32_t(KLIA_CALL *)(void);

std::string g_command;  // the command that asked for the pinned spy
std::string g_spy_file;
void *g_spy = nullptr;  // natively the dlopen handle, on Windows the HMODULE

std::string Environment(const char *name) {
  const char *value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool Replaying() { return !Environment(spy::kReplayVariable).empty(); }

std::string Who() { return g_command.empty() ? "a command run under 'klia trace replay'" : g_command; }

// What every refusal ends with: nothing has been called, so the board is as it was.
std::string Untouched() { return "; " + Who() + " called nothing, the board is as it was"; }

#ifdef _WIN32
// The folders Windows searches for the library's HWLINK32.DLL when the library is loaded with its
// own folder first, in Windows' order: that folder, the system folder, the Windows folder, the
// current folder, then PATH.
std::string TransportTheLibraryWouldFind(const std::string &library) {
  std::vector<fs::path> folders = {fs::path(Utf8ToWide(library)).parent_path()};
  wchar_t path[MAX_PATH * 2] = {};
  if (const UINT n = GetSystemDirectoryW(path, MAX_PATH * 2); n != 0 && n < MAX_PATH * 2) folders.emplace_back(path);
  if (const UINT n = GetWindowsDirectoryW(path, MAX_PATH * 2); n != 0 && n < MAX_PATH * 2) folders.emplace_back(path);
  std::error_code ignored;
  folders.push_back(fs::current_path(ignored));
  const std::string search = Environment("PATH");
  for (size_t at = 0; at <= search.size();) {
    const size_t end = std::min(search.find(';', at), search.size());
    if (end > at) folders.emplace_back(Utf8ToWide(search.substr(at, end - at)));
    at = end + 1;
  }
  for (const fs::path &folder : folders) {
    const fs::path candidate = folder / kTransportFile;
    if (fs::is_regular_file(candidate, ignored)) return WideToUtf8(candidate.wstring());
  }
  throw SpyNotPinned("the library " + library + " finds no board transport " + kTransportFile +
                     " (looked in its own folder, the system folders, the current folder and PATH); put the transport "
                     "beside it, or name "
                     "it with HWLINK_SPY_TARGET" + Untouched());
}

void *AlreadyLoadedTransport() { return GetModuleHandleW(L"HWLINK32.DLL"); }

void *LoadSpy(const std::string &file, std::string &why) {
  HMODULE module = LoadLibraryExW(Utf8ToWide(file).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) why = "Windows error " + std::to_string(GetLastError());
  return module;
}

GuardQuery FindGuardQuery(void *spy) {
  return reinterpret_cast<GuardQuery>(
      reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(spy), spy::kGuardExport)));
}

std::string ModuleFile(HMODULE module) {
  wchar_t path[MAX_PATH * 4] = {};
  const DWORD length = GetModuleFileNameW(module, path, static_cast<DWORD>(std::size(path)));
  return length == 0 ? std::string("(unknown)") : WideToUtf8(std::wstring(path, length));
}

uint32_t Read32(const unsigned char *at) {
  uint32_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// The modules that the addresses in the library's import table for HWLINK32.DLL lie in: the
// loader has filled them in, so they say what the library will call.
std::vector<HMODULE> TransportModulesOf(HMODULE library, bool &imports_transport) {
  const auto *base = reinterpret_cast<const unsigned char *>(library);
  const uint32_t nt = Read32(base + 0x3C);
  uint16_t magic;
  std::memcpy(&magic, base + nt + 24, sizeof magic);
  const size_t directories = nt + 24 + (magic == 0x20B ? 112 : 96);
  const uint32_t imports = Read32(base + directories + 8);  // the import directory, entry 1
  std::vector<HMODULE> modules;
  imports_transport = false;
  if (imports == 0) return modules;
  for (const unsigned char *descriptor = base + imports;; descriptor += 20) {
    const uint32_t name = Read32(descriptor + 12), thunks = Read32(descriptor + 16);
    if (name == 0) break;
    if (_stricmp(reinterpret_cast<const char *>(base + name), "HWLINK32.DLL") != 0) continue;
    imports_transport = true;
    for (const unsigned char *thunk = base + thunks;; thunk += sizeof(uintptr_t)) {
      uintptr_t address;
      std::memcpy(&address, thunk, sizeof address);
      if (address == 0) break;
      HMODULE owner = nullptr;
      GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(address), &owner);
      modules.push_back(owner);
    }
  }
  return modules;
}
#else
// The dynamic loader of this program (its PT_INTERP), to ask it what a library would load.
int FindInterpreter(struct dl_phdr_info *info, size_t, void *found) {
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    if (info->dlpi_phdr[i].p_type != PT_INTERP) continue;
    *static_cast<std::string *>(found) = reinterpret_cast<const char *>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
    return 1;
  }
  return 1;  // only the program itself, the first object, has one
}

// What `interpreter --list library` prints: each object the library needs and the file the
// loader takes for it. The loader maps them without starting any of them. False when it says
// the library cannot be loaded.
bool ListDependencies(const std::string &interpreter, const std::string &library, std::string &output) {
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return false;
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipe_ends[1], 1);
    dup2(pipe_ends[1], 2);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    execl(interpreter.c_str(), interpreter.c_str(), "--list", library.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(pipe_ends[1]);
  if (child < 0) {
    close(pipe_ends[0]);
    return false;
  }
  char buffer[4096];
  for (ssize_t n; (n = read(pipe_ends[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    output.append(buffer, static_cast<size_t>(n));
  }
  close(pipe_ends[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string Trim(std::string text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.erase(text.begin());
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.pop_back();
  return text;
}

std::string BaseName(const std::string &path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file the dynamic loader takes for the library's libhwlink32.so, asked of the loader
// itself, so that the library's run path, the library path and the system's cache count as they
// would. Throws SpyNotPinned when the library needs no such transport, needs one under another
// name (which the spy, loaded as libhwlink32.so, would not stand in for), or the loader finds
// none while `needed` (no other transport is named). "" when the loader cannot list the library:
// loading it then fails with the loader's own words.
std::string TransportTheLibraryWouldFind(const std::string &library, bool needed_here = true) {
  std::string interpreter;
  dl_iterate_phdr(FindInterpreter, &interpreter);
  std::string output;
  if (interpreter.empty() || !ListDependencies(interpreter, library, output)) return "";
  std::string found;
  bool needed = false;
  for (size_t at = 0; at < output.size();) {
    const size_t end = std::min(output.find('\n', at), output.size());
    const std::string line = Trim(output.substr(at, end - at));
    at = end + 1;
    const size_t arrow = line.find(" => ");
    const std::string name = arrow == std::string::npos ? line.substr(0, line.find(" (")) : line.substr(0, arrow);
    if (BaseName(name).rfind("libhwlink32", 0) != 0) continue;
    if (name != kTransportFile) {
      throw SpyNotPinned("the library " + library + " loads its board transport as " + name + ", not as " +
                         kTransportFile + ": the spy cannot stand in front of it, so its writes could reach the "
                         "board" + Untouched());
    }
    needed = true;
    std::string path = arrow == std::string::npos ? "" : line.substr(arrow + 4);
    path = path.substr(0, path.rfind(" (0x"));
    if (path == "not found" && needed_here) {
      throw SpyNotPinned("the library " + library + " finds no board transport " + kTransportFile +
                         " (the loader looked in its run path, LD_LIBRARY_PATH and the system's folders); put the "
                         "transport beside it, or name it with HWLINK_SPY_TARGET" + Untouched());
    }
    found = path;
  }
  if (!needed) {
    throw SpyNotPinned("the library " + library + " does not load the board transport " + kTransportFile +
                       ": it reaches the board some other way, and the spy cannot stand in front of it" + Untouched());
  }
  return found;
}

void *AlreadyLoadedTransport() { return dlopen(kTransportFile, RTLD_NOW | RTLD_NOLOAD); }

void *LoadSpy(const std::string &file, std::string &why) {
  // Local: the spy's functions are found by the library that needs libhwlink32.so, and by no
  // other object (the real transport's own calls stay its own).
  void *handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char *error = dlerror();
    why = error != nullptr ? error : "unknown reason";
  }
  return handle;
}

GuardQuery FindGuardQuery(void *spy) {
  void *address = dlsym(spy, spy::kGuardExport);
  GuardQuery query = nullptr;
  static_assert(sizeof query == sizeof address);
  std::memcpy(&query, &address, sizeof query);
  return query;
}

std::string ObjectFile(const void *address) {
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) return "";
  return info.dli_fname;
}
#endif

bool IsSpy(const std::string &file) {
  try {
    return SpyVersion(ReadFileAt(file, 256u << 20)).has_value();
  } catch (const FileStepFailure &) {
    return false;
  }
}

std::string LoadedFile(void *spy) {
#ifdef _WIN32
  return ModuleFile(static_cast<HMODULE>(spy));
#else
  return ObjectFile(reinterpret_cast<const void *>(FindGuardQuery(spy)));
#endif
}

}  // namespace

void RequirePinnedSpy(const std::string &command) { g_command = command; }

bool PinnedSpyWanted() { return !g_command.empty() || Replaying(); }

const std::string &PinnedSpyFile() { return g_spy_file; }

void PinSpy(const std::string &library) {
  if (g_spy != nullptr) return;
  const bool replaying = Replaying();
  // Judged from its bytes first: a file that is no interface library is not loaded at all.
  try {
    CheckInterfaceLibrary(ReadFileAt(library, 1u << 30), library);
  } catch (const FileStepFailure &e) {
    throw Failure("library", "cannot load " + library + ": " + e.what());
  }
  // The spy's settings, before it is loaded: it takes them when it is loaded. The guard is asked
  // for whatever this process inherited; under a replay no board is reached and no transport
  // is loaded.
  SetEnvironment(spy::kGuardVariable, spy::kGuardReadOnly);
  // A spy the library would find anyway (one that 'klia spy install' put into a program's folder)
  // is the one pinned: with its own settings, and the guard on. Two spies in one process would
  // both take the settings meant for one.
  std::string folder_spy;
  if (!replaying) {
    if (Environment(spy::kTargetVariable).empty()) {
      const std::string target = TransportTheLibraryWouldFind(library);
      if (!target.empty() && IsSpy(target)) {
        folder_spy = target;
      } else if (!target.empty()) {
        SetEnvironment(spy::kTargetVariable, target);
      }
    } else {
#ifndef _WIN32
      TransportTheLibraryWouldFind(library, false);  // only its checks: the transport is named
#endif
    }
    if (folder_spy.empty() && Environment(spy::kTraceVariable).empty()) {
      SetEnvironment(spy::kTraceVariable, spy::kNoTrace);
    }
  }

  // A transport loaded already is the one the library will bind to: under a replay, the spy that
  // klia trace replay put before everything else; it must be a spy.
  void *spy = AlreadyLoadedTransport();
  std::string file;
  if (spy != nullptr) {
    file = LoadedFile(spy);
  } else {
    try {
      file = folder_spy.empty() ? FindSpy().library.string() : folder_spy;
    } catch (const CannotRun &e) {
      throw SpyNotPinned(std::string(e.what()) + ": " + Who() + " runs only behind it" + Untouched());
    }
    std::string why;
    spy = LoadSpy(file, why);
    if (spy == nullptr) {
      throw SpyNotPinned("cannot load the transport spy " + file + ": " + why + "; " + Who() +
                         " runs only behind it" + Untouched());
    }
  }
  const GuardQuery guard = FindGuardQuery(spy);
  if (guard == nullptr) {
    throw SpyNotPinned("the transport " + (file.empty() ? std::string(kTransportFile) : file) +
                       " loaded in front of the library is not klia's transport spy (it cannot say whether its "
                       "read-only guard is on)" + Untouched());
  }
  if (!replaying && guard() != 1) {
    throw SpyNotPinned("the transport spy " + file + " did not turn its read-only guard on" + Untouched());
  }
  g_spy = spy;
  g_spy_file = file;
}

void CheckBoundToPinnedSpy(void *module, const std::string &library) {
  if (g_spy == nullptr) return;
#ifdef _WIN32
  bool imports_transport = false;
  const std::vector<HMODULE> modules = TransportModulesOf(static_cast<HMODULE>(module), imports_transport);
  if (!imports_transport) {
    throw SpyNotPinned("the library " + library +
                       " does not import the board transport HWLINK32.DLL: it reaches the board some other way, and "
                       "the spy cannot stand in front of it" + Untouched());
  }
  for (HMODULE owner : modules) {
    if (owner == static_cast<HMODULE>(g_spy)) continue;
    throw SpyNotPinned("the library " + library + " is bound to the transport " +
                       (owner != nullptr ? ModuleFile(owner) : std::string("(unknown)")) + ", not to the spy " +
                       g_spy_file + " klia put in front of it" + Untouched());
  }
#else
  for (const char *name : {"HwTransfer", "HwTransferEx"}) {
    const void *bound = dlsym(module, name);
    if (bound != nullptr && bound == dlsym(g_spy, name)) continue;
    const std::string other = ObjectFile(bound);
    throw SpyNotPinned("the library " + library +
                       (other.empty() ? " has no transport function " + std::string(name)
                                      : " is bound to the transport " + other) +
                       ", not to the spy " + g_spy_file + " klia put in front of it" + Untouched());
  }
#endif
}

}  // namespace klia
