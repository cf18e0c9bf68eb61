// The native face of the emulated DLL: a shared library with the native library's soname
// (libmviahlp.so.1) and transport (libhwlink32.so), exporting the public header's functions.
// Each call copies its arguments into emulated memory (records with the sizes of the public
// header, data blocks with their length argument, each surrounded by guard bytes), calls the
// 32-bit mviahlp.dll's export by its ordinal under the emulator, and copies the results back. A
// narrow argument (8 or 16 bits) goes in its 32-bit slot with garbage in the high bits, as some
// callers leave it.
//
// Which DLL: the file MVIAHLP_EMU32_DLL names, otherwise mviahlp.dll beside this library. With
// MVIAHLP_EMU32_VERBOSE set (to anything but 0), the first call says on standard error which
// file runs and why that one.
//
// A breach of the calling contract, a fault in the DLL's code or a DLL that cannot be loaded
// ends the process with a message naming the function and exit status 70: this is a test
// vehicle, and carrying on after a breach would hide it.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "emulated_dll.h"
#include "mviahlp.h"

namespace {

constexpr int kBreachExitStatus = 70;
constexpr uint32_t kHigh8 = 0xA5A5A500;   // garbage above an 8-bit argument
constexpr uint32_t kHigh16 = 0xA5A50000;  // garbage above a 16-bit argument

std::unique_ptr<emu32::EmulatedDll> g_dll;
bool g_announced = false;
bool g_detach_registered = false;

void ProcessDetach();

[[noreturn]] void Stop(const std::string &message) {
  std::fprintf(stderr, "libmviahlp.so.1 (emu32): %s\n", message.c_str());
  std::fflush(stderr);
  std::_Exit(kBreachExitStatus);
}

// The DLL's path and why it is that one.
std::pair<std::string, std::string> DllPath() {
  if (const char *named = std::getenv("MVIAHLP_EMU32_DLL"); named != nullptr && *named != '\0') {
    return {named, "named by MVIAHLP_EMU32_DLL"};
  }
  Dl_info info{};
  std::string folder = ".";
  if (dladdr(reinterpret_cast<void *>(&DllPath), &info) != 0 && info.dli_fname != nullptr) {
    folder = info.dli_fname;
    const size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : folder.substr(0, slash);
  }
  return {folder + "/mviahlp.dll", "beside this library"};
}

emu32::EmulatedDll &Dll() {
  if (g_dll) return *g_dll;
  const auto [path, why] = DllPath();
  if (!g_announced) {
    g_announced = true;
    if (const char *verbose = std::getenv("MVIAHLP_EMU32_VERBOSE");
        verbose != nullptr && std::strcmp(verbose, "0") != 0) {
      std::fprintf(stderr, "libmviahlp.so.1 (emu32): running the 32-bit %s (%s) under the CPU emulator\n", path.c_str(),
                   why.c_str());
    }
  }
  try {
    g_dll = std::make_unique<emu32::EmulatedDll>(path);
  } catch (const std::exception &error) {
    Stop(std::string("cannot run the DLL ") + path + " (" + why + "): " + error.what());
  }
  // Registered after the emulator has started, so that it runs before the emulator's own exit
  // handlers; in a shared library it also runs when the library is unloaded.
  if (!g_detach_registered) g_detach_registered = std::atexit(ProcessDetach) == 0;
  return *g_dll;
}

// One argument of a call: a number in its slot, or a caller buffer copied in (and out again
// when the function writes it).
struct Arg {
  uint32_t value = 0;
  void *buffer = nullptr;
  size_t size = 0;
  bool out = false;
};

Arg Value(uint32_t value) { return Arg{value, nullptr, 0, false}; }
Arg In(const void *buffer, size_t size) { return Arg{0, const_cast<void *>(buffer), size, false}; }
Arg InOut(void *buffer, size_t size) { return Arg{0, buffer, size, true}; }

uint32_t Call(uint16_t ordinal, const char *name, std::vector<Arg> args) {
  emu32::EmulatedDll &dll = Dll();
  try {
    dll.ResetStaging();
    std::vector<uint32_t> slots;
    std::vector<uint32_t> addresses(args.size(), 0);
    for (size_t i = 0; i < args.size(); ++i) {
      if (args[i].buffer != nullptr) addresses[i] = dll.Stage(args[i].buffer, args[i].size);
      slots.push_back(args[i].buffer != nullptr ? addresses[i] : args[i].value);
    }
    const uint32_t result = dll.Call(ordinal, name, slots);
    dll.CheckStaging(std::string(name) + " (ordinal " + std::to_string(ordinal) + ")");
    for (size_t i = 0; i < args.size(); ++i) {
      if (args[i].out && args[i].buffer != nullptr) dll.Read(addresses[i], args[i].buffer, args[i].size);
    }
    return result;
  } catch (const std::exception &error) {
    Stop(error.what());
  }
}

KLIA_PROGRESS_PROC g_progress = nullptr;

// Process detach, at exit or when this library is unloaded: the DLL's entry point with
// DLL_PROCESS_DETACH, as the native library's destructor does (a modified cached page is
// written to the board).
void ProcessDetach() {
  if (!g_dll) return;
  try {
    g_dll->Detach();
  } catch (const std::exception &error) {
    Stop(error.what());
  }
  g_dll.reset();
}

}  // namespace

// Test fixtures reset the library between tests: a fresh load of the DLL, as a new process would
// find it (no detach, so nothing is flushed).
extern "C" __attribute__((visibility("default"))) void Emu32ReloadLibrary(void) {
  g_dll.reset();
  Dll();
}

extern "C" {

KLIA_EXPORT int32_t KLIA_CALL Today(void) { return static_cast<int32_t>(Call(1, "Today", {})); }

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAMakeUserXID(uint16_t length, const void *data, void *xid4) {
  return Call(2, "KLIAMakeUserXID", {Value(kHigh16 | length), In(data, length), InOut(xid4, 4)});
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIASetRTCDateTime(const void *date_time8) {
  return Call(3, "KLIASetRTCDateTime", {In(date_time8, KLIA_DATETIME_RECORD_SIZE)});
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAGetRTCDateTime(void *date_time8) {
  return Call(4, "KLIAGetRTCDateTime", {InOut(date_time8, KLIA_DATETIME_RECORD_SIZE)});
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIASetWDTimeout(uint16_t timeout) {
  return Call(5, "KLIASetWDTimeout", {Value(kHigh16 | timeout)});
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAGetWDTimeout(uint16_t *timeout) {
  return Call(6, "KLIAGetWDTimeout", {InOut(timeout, 2)});
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAClearLog(void) { return Call(7, "KLIAClearLog", {}); }

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAWriteConfigData(const void *config14) {
  return Call(8, "KLIAWriteConfigData", {In(config14, KLIA_CONFIG_RECORD_SIZE)});
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAReadConfigData(void *config14) {
  return Call(9, "KLIAReadConfigData", {InOut(config14, KLIA_CONFIG_RECORD_SIZE)});
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAReadHwStep(uint8_t *step) { return Call(10, "KLIAReadHwStep", {InOut(step, 1)}); }

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAWriteHwStep(uint8_t step) {
  return Call(11, "KLIAWriteHwStep", {Value(kHigh8 | step)});
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIASetIaResult(uint8_t kind, const void *record) {
  return Call(12, "KLIASetIaResult", {Value(kHigh8 | kind), In(record, KLIA_USER_RECORD_SIZE)});
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAChangeUserPassword(uint16_t user, const void *block16) {
  return Call(13, "KLIAChangeUserPassword", {Value(kHigh16 | user), In(block16, 16)});
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAFormatDatabase(uint16_t check_word, KLIA_PROGRESS_PROC progress) {
  emu32::EmulatedDll &dll = Dll();
  g_progress = progress;
  dll.SetProgress([](const uint8_t *message) {
    if (g_progress != nullptr) g_progress(message);
  });
  const uint32_t procedure = progress != nullptr ? dll.ProgressThunk() : 0;
  const uint32_t result = Call(14, "KLIAFormatDatabase", {Value(kHigh16 | check_word), Value(procedure)});
  g_progress = nullptr;
  dll.SetProgress(nullptr);
  return result;
}

KLIA_EXPORT void KLIA_CALL KLIAFlush(void) { Call(15, "KLIAFlush", {}); }

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAWriteDataEx(uint8_t area, const void *data, int32_t offset, uint16_t count,
                                                uint16_t *done) {
  return Call(16, "KLIAWriteDataEx",
              {Value(kHigh8 | area), In(data, count), Value(static_cast<uint32_t>(offset)), Value(kHigh16 | count),
               InOut(done, 2)});
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAWriteData(uint8_t area, const void *data, uint16_t offset, uint16_t count,
                                              uint16_t *done) {
  return Call(17, "KLIAWriteData",
              {Value(kHigh8 | area), In(data, count), Value(kHigh16 | offset), Value(kHigh16 | count), InOut(done, 2)});
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAReadDataEx(uint8_t area, void *data, int32_t offset, uint16_t count,
                                               uint16_t *done) {
  return Call(18, "KLIAReadDataEx",
              {Value(kHigh8 | area), InOut(data, count), Value(static_cast<uint32_t>(offset)), Value(kHigh16 | count),
               InOut(done, 2)});
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAReadData(uint8_t area, void *data, uint16_t offset, uint16_t count,
                                             uint16_t *done) {
  return Call(
      19, "KLIAReadData",
      {Value(kHigh8 | area), InOut(data, count), Value(kHigh16 | offset), Value(kHigh16 | count), InOut(done, 2)});
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAWriteUserData(uint16_t user, const void *record) {
  return Call(20, "KLIAWriteUserData", {Value(kHigh16 | user), In(record, KLIA_USER_RECORD_SIZE)});
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAReadUserData(uint16_t user, void *record) {
  return Call(21, "KLIAReadUserData", {Value(kHigh16 | user), InOut(record, KLIA_USER_RECORD_SIZE)});
}

KLIA_EXPORT void KLIA_CALL KLIALogout(void) { Call(22, "KLIALogout", {}); }

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIALogin(const void *first8, const void *second8, uint8_t unused) {
  return Call(23, "KLIALogin", {In(first8, 8), In(second8, 8), Value(kHigh8 | unused)});
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAGetCurrentUser(uint16_t *user, uint8_t *flag) {
  return Call(24, "KLIAGetCurrentUser", {InOut(user, 2), InOut(flag, 1)});
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAGetInfo(void *info58) {
  return Call(25, "KLIAGetInfo", {InOut(info58, KLIA_INFO_RECORD_SIZE)});
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIADriverPresent(void) { return Call(26, "KLIADriverPresent", {}); }

KLIA_EXPORT void KLIA_CALL KLIAGetErrorState(uint16_t *bind_error, uint16_t *last_error, uint16_t *device_status) {
  Call(27, "KLIAGetErrorState", {InOut(bind_error, 2), InOut(last_error, 2), InOut(device_status, 2)});
}

}  // extern "C"
