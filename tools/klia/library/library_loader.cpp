#include "library/library_loader.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "platform/windows/wide_text.h"
#include "shell/errors.h"
#include "site/folder_files.h"
#include "site/library_check.h"
#include "site/interface_functions.h"
#include "mviahlp.h"
#include "shell/output.h"
#include "platform/process_runner.h"
#include "library/spy_pin.h"

#ifndef KLIA_DEFAULT_LIBRARY
#ifdef _WIN32
#define KLIA_DEFAULT_LIBRARY "mviahlp.dll"
#else
#define KLIA_DEFAULT_LIBRARY "libmviahlp.so.1"
#endif
#endif
#ifndef KLIA_LIBRARY_FOLDERS
#define KLIA_LIBRARY_FOLDERS ""
#endif

namespace klia {
namespace {

// Any function address, as the table keeps it; cast back to the function's own type at the
// call.
using Address = void (*)();

// The loaded library's functions by ordinal (interface_functions.h).
Address g_table[kErrorStateOrdinal] = {};

std::string g_chosen;  // --library, or empty for klia's own
bool g_loaded = false;

std::string Description() {
  return g_chosen.empty() ? std::string(KLIA_DEFAULT_LIBRARY) + " (klia's own interface library)" : g_chosen;
}

#ifdef _WIN32
std::string SystemMessage(DWORD code) {
  char text[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
                 nullptr);
  std::string reason = text;
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ')) reason.pop_back();
  return reason.empty() ? "error " + std::to_string(code) : reason;
}

// A named library is loaded with its own folder searched first for what it imports, so that
// the HWLINK32.DLL beside it (a transport, or the spy in front of one) is the one it gets.
HMODULE Open(std::string &reason) {
  HMODULE module = g_chosen.empty()
                       ? LoadLibraryW(Utf8ToWide(KLIA_DEFAULT_LIBRARY).c_str())
                       : LoadLibraryExW(Utf8ToWide(g_chosen).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) reason = SystemMessage(GetLastError());
  return module;
}

Address Find(HMODULE module, int ordinal) {
  return reinterpret_cast<Address>(GetProcAddress(module, MAKEINTRESOURCEA(ordinal)));
}

// What to do when the loader refused the library for `reason`. A named file that is there was
// refused for what it imports: the transport, as a rule.
std::string LoadAdvice(const std::string &) {
  std::error_code ignored;
  if (g_chosen.empty()) {
    return "it needs the board transport HWLINK32.DLL beside klia.exe or on PATH; simulator\\klia.exe works with "
           "the virtual board instead";
  }
  if (!std::filesystem::is_regular_file(std::filesystem::path(Utf8ToWide(g_chosen)), ignored)) return "check the path";
  return "the library needs the board transport HWLINK32.DLL in its own folder or on PATH";
}
#else
// klia's own library is taken by its full path from the first of KLIA_LIBRARY_FOLDERS that
// holds it (lib/ beside an installed klia's bin/, then the build tree's), so that klia needs
// no run path; only when none does is it left to the loader's search.
std::string OwnLibrary() {
  const std::filesystem::path found = FirstHolding(KLIA_LIBRARY_FOLDERS, KLIA_DEFAULT_LIBRARY);
  return found.empty() ? std::string(KLIA_DEFAULT_LIBRARY) : found.string();
}

void *Open(std::string &reason) {
  void *module = dlopen((g_chosen.empty() ? OwnLibrary() : g_chosen).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char *error = dlerror();
    reason = error != nullptr ? error : "unknown reason";
  }
  return module;
}

Address Find(void *module, int ordinal) {
  void *address = dlsym(module, std::string(kInterfaceFunctionNames[ordinal - 1]).c_str());
  Address function = nullptr;
  static_assert(sizeof function == sizeof address);
  std::memcpy(&function, &address, sizeof function);
  return function;
}

// What to do when the loader refused the library for `reason` (its own words, which name the
// object it could not open).
std::string LoadAdvice(const std::string &reason) {
  if (g_chosen.empty()) return "reinstall klia with its library (lib/libmviahlp.so.1 beside bin/klia)";
  if (reason.rfind(g_chosen + ":", 0) == 0) return "check the path";
  if (reason.find("libhwlink32") != std::string::npos) {
    return "the library needs the board transport libhwlink32.so on its library path (LD_LIBRARY_PATH) or beside it";
  }
  return "install what the loader names, or put its folder on the library path (LD_LIBRARY_PATH)";
}
#endif

// The address of the function of `ordinal`, the library loaded first.
template <typename Function>
Function At(int ordinal) {
  LoadInterfaceLibrary();
  return reinterpret_cast<Function>(g_table[ordinal - 1]);
}

}  // namespace

void ChooseLibrary(const std::string &path) {
  if (path.empty()) {
    g_chosen.clear();
    return;
  }
  // Made absolute: a bare file name must not send the loader searching the library path.
  std::error_code ignored;
  g_chosen = std::filesystem::absolute(path, ignored).string();
}

void LoadInterfaceLibrary() {
  if (g_loaded) return;
  // With --json, what the library, the spy and the transport write on standard error from now
  // on goes into klia's JSON object, not beside it.
  CollectTransportMessages();
  // A command that promises not to change the board loads the transport spy first, so that the
  // library binds to it whatever its own search for a transport would find.
  const bool pinned = PinnedSpyWanted();
  if (pinned) PinSpy(g_chosen.empty() ? OwnLibraryFile() : g_chosen);
  std::string reason;
  const auto module = Open(reason);
  if (module == nullptr) {
    // A named file that is no library at all is said to be that: the loader's own words for it
    // ("invalid ELF header") and a hint about the transport would send the person the wrong way.
    if (!g_chosen.empty()) {
      try {
        CheckInterfaceLibrary(ReadFileAt(g_chosen, 1u << 30), g_chosen);
      } catch (const FileStepFailure &e) {
        throw Failure("library", "cannot load " + g_chosen + ": " + e.what() + "; check the path");
      } catch (const Failure &e) {
        throw Failure("library", "cannot load " + g_chosen + ": " + e.what());
      }
    }
    throw Failure("library", "cannot load " + Description() + ": " + reason + "; " + LoadAdvice(reason));
  }
  if (pinned) CheckBoundToPinnedSpy(module, g_chosen.empty() ? OwnLibraryFile() : g_chosen);
  std::string missing;
  int missing_count = 0;
  for (int ordinal = 1; ordinal <= kErrorStateOrdinal; ++ordinal) {
    g_table[ordinal - 1] = Find(module, ordinal);
    if (g_table[ordinal - 1] != nullptr || ordinal > kInterfaceFunctionCount) continue;
    if (++missing_count <= 3) {
      missing += (missing.empty() ? "" : ", ") + std::string(kInterfaceFunctionNames[ordinal - 1]) + " (ordinal " +
                 std::to_string(ordinal) + ")";
    }
  }
  if (missing_count != 0) {
    // Left loaded: it may have started something of its own, and klia ends now anyway.
    const std::string what = missing_count == kInterfaceFunctionCount ? "none of the 26 functions"
                             : missing_count > 3
                                 ? missing + " and " + std::to_string(missing_count - 3) + " more of the 26 functions"
                                 : missing + " of the 26 functions";
    throw Failure("library", Description() + " is not an interface library of the IA board: it has " +
                                 (missing_count == kInterfaceFunctionCount ? what : "no " + what) + " klia calls");
  }
  g_loaded = true;
  if (g_table[kErrorStateOrdinal - 1] == nullptr) {
    Notice("the library " + Description() +
           " does not report its error state (it has no KLIAGetErrorState, ordinal 27): a failure names the "
           "operation only");
  }
}

bool LibraryReportsErrorState() {
  LoadInterfaceLibrary();
  return g_table[kErrorStateOrdinal - 1] != nullptr;
}

std::string LibraryName() { return g_chosen.empty() ? KLIA_DEFAULT_LIBRARY : g_chosen; }

std::string OwnLibraryFile() {
#ifdef _WIN32
  wchar_t path[MAX_PATH * 4] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
  return WideToUtf8((std::filesystem::path(std::wstring(path, length)).parent_path() / KLIA_DEFAULT_LIBRARY).wstring());
#else
  return OwnLibrary();
#endif
}

}  // namespace klia

// The trampolines: the library's functions as mviahlp.h declares them, each calling the
// loaded library's function of the same ordinal.
using klia::At;

extern "C" {

int32_t KLIA_CALL Today(void) { return At<decltype(&Today)>(1)(); }
KLIA_BOOL KLIA_CALL KLIAMakeUserXID(uint16_t length, const void *data, void *xid4) {
  return At<decltype(&KLIAMakeUserXID)>(2)(length, data, xid4);
}
KLIA_BOOL KLIA_CALL KLIASetRTCDateTime(const void *date_time8) {
  return At<decltype(&KLIASetRTCDateTime)>(3)(date_time8);
}
KLIA_BOOL KLIA_CALL KLIAGetRTCDateTime(void *date_time8) { return At<decltype(&KLIAGetRTCDateTime)>(4)(date_time8); }
KLIA_BOOL KLIA_CALL KLIASetWDTimeout(uint16_t timeout) { return At<decltype(&KLIASetWDTimeout)>(5)(timeout); }
KLIA_BOOL KLIA_CALL KLIAGetWDTimeout(uint16_t *timeout) { return At<decltype(&KLIAGetWDTimeout)>(6)(timeout); }
KLIA_BOOL KLIA_CALL KLIAClearLog(void) { return At<decltype(&KLIAClearLog)>(7)(); }
KLIA_BOOL KLIA_CALL KLIAWriteConfigData(const void *config14) {
  return At<decltype(&KLIAWriteConfigData)>(8)(config14);
}
KLIA_BOOL KLIA_CALL KLIAReadConfigData(void *config14) { return At<decltype(&KLIAReadConfigData)>(9)(config14); }
KLIA_BOOL KLIA_CALL KLIAReadHwStep(uint8_t *step) { return At<decltype(&KLIAReadHwStep)>(10)(step); }
KLIA_BOOL KLIA_CALL KLIAWriteHwStep(uint8_t step) { return At<decltype(&KLIAWriteHwStep)>(11)(step); }
KLIA_BOOL KLIA_CALL KLIASetIaResult(uint8_t kind, const void *record) {
  return At<decltype(&KLIASetIaResult)>(12)(kind, record);
}
KLIA_BOOL KLIA_CALL KLIAChangeUserPassword(uint16_t user, const void *block16) {
  return At<decltype(&KLIAChangeUserPassword)>(13)(user, block16);
}
KLIA_BOOL KLIA_CALL KLIAFormatDatabase(uint16_t check_word, KLIA_PROGRESS_PROC progress) {
  return At<decltype(&KLIAFormatDatabase)>(14)(check_word, progress);
}
void KLIA_CALL KLIAFlush(void) { At<decltype(&KLIAFlush)>(15)(); }
KLIA_BOOL KLIA_CALL KLIAWriteDataEx(uint8_t area, const void *data, int32_t offset, uint16_t count, uint16_t *done) {
  return At<decltype(&KLIAWriteDataEx)>(16)(area, data, offset, count, done);
}
KLIA_BOOL KLIA_CALL KLIAWriteData(uint8_t area, const void *data, uint16_t offset, uint16_t count, uint16_t *done) {
  return At<decltype(&KLIAWriteData)>(17)(area, data, offset, count, done);
}
KLIA_BOOL KLIA_CALL KLIAReadDataEx(uint8_t area, void *data, int32_t offset, uint16_t count, uint16_t *done) {
  return At<decltype(&KLIAReadDataEx)>(18)(area, data, offset, count, done);
}
KLIA_BOOL KLIA_CALL KLIAReadData(uint8_t area, void *data, uint16_t offset, uint16_t count, uint16_t *done) {
  return At<decltype(&KLIAReadData)>(19)(area, data, offset, count, done);
}
KLIA_BOOL KLIA_CALL KLIAWriteUserData(uint16_t user, const void *record) {
  return At<decltype(&KLIAWriteUserData)>(20)(user, record);
}
KLIA_BOOL KLIA_CALL KLIAReadUserData(uint16_t user, void *record) {
  return At<decltype(&KLIAReadUserData)>(21)(user, record);
}
void KLIA_CALL KLIALogout(void) { At<decltype(&KLIALogout)>(22)(); }
KLIA_BOOL KLIA_CALL KLIALogin(const void *first8, const void *second8, uint8_t unused) {
  return At<decltype(&KLIALogin)>(23)(first8, second8, unused);
}
KLIA_BOOL KLIA_CALL KLIAGetCurrentUser(uint16_t *user, uint8_t *flag) {
  return At<decltype(&KLIAGetCurrentUser)>(24)(user, flag);
}
KLIA_BOOL KLIA_CALL KLIAGetInfo(void *info58) { return At<decltype(&KLIAGetInfo)>(25)(info58); }
KLIA_BOOL KLIA_CALL KLIADriverPresent(void) { return At<decltype(&KLIADriverPresent)>(26)(); }

// A library without the extension reports nothing: the three codes read 0.
void KLIA_CALL KLIAGetErrorState(uint16_t *bind_error, uint16_t *last_error, uint16_t *device_status) {
  if (klia::LibraryReportsErrorState()) {
    At<decltype(&KLIAGetErrorState)>(27)(bind_error, last_error, device_status);
    return;
  }
  for (uint16_t *code : {bind_error, last_error, device_status}) {
    if (code != nullptr) *code = 0;
  }
}

}  // extern "C"
