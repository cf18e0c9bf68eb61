#include "library/spy_in_front.h"

#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "platform/windows/wide_text.h"
#else
#include <dlfcn.h>
#include <link.h>
#endif

#include "site/folder_command.h"
#include "site/folder_files.h"
#include "site/install_manifest.h"
#include "site/library_check.h"
#include "mviahlp.h"
#include "site/program_folder.h"

namespace klia {
namespace {

#ifdef _WIN32
std::string LoadedTransport() {
  const HMODULE module = GetModuleHandleW(L"HWLINK32.DLL");
  if (module == nullptr) return "";
  wchar_t path[MAX_PATH * 4] = {};
  const DWORD length = GetModuleFileNameW(module, path, static_cast<DWORD>(std::size(path)));
  return length == 0 ? std::string() : WideToUtf8(std::wstring(path, length));
}
#else
int FindTransport(struct dl_phdr_info *info, size_t, void *found) {
  const char *name = info->dlpi_name;
  if (name == nullptr) return 0;
  const char *base = std::strrchr(name, '/');
  base = base == nullptr ? name : base + 1;
  if (std::strcmp(base, kTransportFile) != 0) return 0;
  *static_cast<std::string *>(found) = name;
  return 1;
}

std::string LoadedTransport() {
  std::string found;
  dl_iterate_phdr(FindTransport, &found);
  return found;
}
#endif

// One of the spy's own queries (HwSpyGuard, HwSpyGuardedCalls) in the loaded transport, or null.
using SpyQuery = uint32_t(KLIA_CALL *)(void);
SpyQuery FindQuery(const char *name) {
#ifdef _WIN32
  const HMODULE module = GetModuleHandleW(L"HWLINK32.DLL");
  if (module == nullptr) return nullptr;
  return reinterpret_cast<SpyQuery>(reinterpret_cast<void *>(GetProcAddress(module, name)));
#else
  const std::string file = LoadedTransport();
  if (file.empty()) return nullptr;
  void *handle = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return nullptr;
  void *address = dlsym(handle, name);
  dlclose(handle);  // only the reference RTLD_NOLOAD took
  SpyQuery query = nullptr;
  std::memcpy(&query, &address, sizeof query);
  return query;
#endif
}

// The folder part and the file name part of a path.
std::pair<std::string, std::string> Split(const std::string &path) {
#ifdef _WIN32
  const size_t slash = path.find_last_of("\\/");
#else
  const size_t slash = path.find_last_of('/');
#endif
  if (slash == std::string::npos) return {".", path};
  return {path.substr(0, slash == 0 ? 1 : slash), path.substr(slash + 1)};
}

}  // namespace

std::optional<SpyInFront> FindSpyInFront() {
  const std::string file = LoadedTransport();
  if (file.empty()) return std::nullopt;
  std::optional<std::string> version;
  try {
    version = SpyVersion(ReadFileAt(file, 256u << 20));
  } catch (const FileStepFailure &) {
    return std::nullopt;
  }
  if (!version) return std::nullopt;
  SpyInFront spy;
  spy.file = AbsolutePath(file);
  spy.version = *version;
  if (const SpyQuery guard = FindQuery(spy::kGuardExport)) spy.guard_on = guard() != 0;
  // The spy in this process read the same settings file and the same environment.
  const std::string spy_folder = Split(spy.file).first;
  spy.guard_reason = spy::ResolveSettings([](const char *name) { return std::getenv(name); },
                                          spy::ReadConfigFile(spy_folder), spy_folder)
                         .guard_reason;
  const FolderFiles folder(Split(spy.file).first);
  try {
    const InstallManifest record = DecodeManifest(folder.Read(kSpyRecordFile, 1 << 20), folder.PathOf(kSpyRecordFile));
    if (record.kind == "spy") {
      spy.by_klia = true;
      spy.since = record.time;
      for (auto [key, field] : {std::pair{"trace", &spy.trace}, {"transport", &spy.transport}, {"guard", &spy.guard}}) {
        if (record.details.count(key) != 0) *field = record.details.at(key);
      }
      spy.remove = "klia spy remove " + Pasteable(folder.folder());
    }
  } catch (const std::exception &) {
    // No record of klia's, or none it can read: a spy put there by hand.
  }
  return spy;
}

uint32_t CallsKeptByGuard() {
  const SpyQuery kept = FindQuery(spy::kGuardedCallsExport);
  return kept != nullptr ? kept() : 0;
}

namespace {
// The guard as the spy applies it in this process.
std::string GuardWords(const SpyInFront &spy) {
  if (!spy.guard_on) return "guard: not said (a spy older than this klia)";
  const std::string why = spy.guard_reason.empty() ? "" : "; " + spy.guard_reason;
  return (*spy.guard_on ? "guard: read-only (only calls that read the board reach it)"
                        : "guard: off (writes reach the board)") +
         why;
}
}  // namespace

std::string SpyInFrontText(const SpyInFront &spy) {
  std::string text = "Transport spy: the board is reached through the transport spy " + spy.file +
                     (spy.version.empty() ? "" : " (hwlink-spy " + spy.version + ")") + "\n  " + GuardWords(spy) +
                     "\n";
  if (spy.by_klia) {
    text += "  put there by 'klia spy install' on " + spy.since + ", in front of " + spy.transport +
            (spy.guard == "read-only" ? ", installed with --guard read-only" : "") + "\n  traces: " + spy.trace +
            "\n  take it out with: " + spy.remove + "\n";
  } else {
    text += "  not put there by klia (no klia-spy.json beside it): take it out as spy/README.md says\n";
  }
  return text;
}

nlohmann::json SpyInFrontJson(const SpyInFront &spy) {
  nlohmann::json result = {{"file", spy.file},
                            {"version", spy.version},
                            {"by_klia", spy.by_klia},
                            {"guard_on", spy.guard_on ? nlohmann::json(*spy.guard_on) : nlohmann::json()},
                            {"guard_reason", spy.guard_reason}};
  if (spy.by_klia) {
    result["since"] = spy.since;
    result["trace"] = spy.trace;
    result["transport"] = spy.transport;
    result["guard"] = spy.guard;
    result["remove"] = spy.remove;
  }
  return result;
}

}  // namespace klia
