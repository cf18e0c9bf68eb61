#include "spy_in_front.h"

#include <cstring>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "cp866.h"
#else
#include <link.h>
#endif

#include "folder_command.h"
#include "folder_files.h"
#include "install_manifest.h"
#include "library_check.h"
#include "program_folder.h"

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

std::string SpyInFrontText(const SpyInFront &spy) {
  std::string text = "Transport spy: the board is reached through the transport spy " + spy.file +
                     (spy.version.empty() ? "" : " (hwlink-spy " + spy.version + ")") + "\n";
  if (spy.by_klia) {
    text += "  put there by 'klia spy install' on " + spy.since + ", in front of " + spy.transport +
            (spy.guard == "read-only" ? ", read-only guard on" : "") + "\n  traces: " + spy.trace +
            "\n  take it out with: " + spy.remove + "\n";
  } else {
    text += "  not put there by klia (no klia-spy.json beside it): take it out as spy/README.md says\n";
  }
  return text;
}

nlohmann::json SpyInFrontJson(const SpyInFront &spy) {
  nlohmann::json result = {{"file", spy.file}, {"version", spy.version}, {"by_klia", spy.by_klia}};
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
