// Libraries on Windows: loaded with LoadLibrary, their functions found with GetProcAddress, the
// modules of this process by their names, and the transport a library imports read from its
// import table, which the loader has filled in.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "platform/windows/wide_text.h"
#include "platform/platform.h"

namespace klia {
namespace {

namespace fs = std::filesystem;

// The file of a loaded module (null: klia's own program) in the system's UTF-16; empty when the
// system does not say.
std::wstring ModulePath(HMODULE module) {
  wchar_t path[MAX_PATH * 4] = {};
  const DWORD length = GetModuleFileNameW(module, path, static_cast<DWORD>(std::size(path)));
  return std::wstring(path, length);
}

std::string ModuleFile(HMODULE module) {
  const std::wstring path = ModulePath(module);
  return path.empty() ? std::string("(unknown)") : WideToUtf8(path);
}

std::string SystemMessage(DWORD code) {
  char text[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
                 nullptr);
  std::string reason = text;
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ')) reason.pop_back();
  return reason.empty() ? "error " + std::to_string(code) : reason;
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

}  // namespace

fs::path OwnProgram() { return fs::path(ModulePath(nullptr)); }

const char *PathSeparators() { return "\\/"; }

std::string PathText(const fs::path &path) { return WideToUtf8(path.wstring()); }

LibraryHandle LoadLibraryByName(const std::string &name, std::string &reason) {
  HMODULE module = LoadLibraryW(Utf8ToWide(name).c_str());
  if (module == nullptr) reason = SystemMessage(GetLastError());
  return module;
}

LibraryHandle LoadLibraryFile(const std::string &file, std::string &reason) {
  HMODULE module = LoadLibraryExW(Utf8ToWide(file).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) reason = SystemMessage(GetLastError());
  return module;
}

LibraryHandle LoadSpyLibrary(const std::string &file, std::string &why) {
  HMODULE module = LoadLibraryExW(Utf8ToWide(file).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) why = "Windows error " + std::to_string(GetLastError());
  return module;
}

// A named file that is there was refused for what it imports: the transport, as a rule.
std::string LibraryLoadAdvice(const std::string &chosen, const std::string &) {
  std::error_code ignored;
  if (chosen.empty()) {
    return "it needs the board transport HWLINK32.DLL beside klia.exe or on PATH; simulator\\klia.exe works with "
           "the virtual board instead";
  }
  if (!fs::is_regular_file(fs::path(Utf8ToWide(chosen)), ignored)) return "check the path";
  return "the library needs the board transport HWLINK32.DLL in its own folder or on PATH";
}

void *LibraryFunction(LibraryHandle library, const char *name) {
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void *InterfaceFunction(LibraryHandle library, int ordinal, const char *) {
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), MAKEINTRESOURCEA(ordinal)));
}

std::string LoadedLibraryFile(LibraryHandle library, const char *) {
  return ModuleFile(static_cast<HMODULE>(library));
}

LibraryHandle LoadedTransport() { return GetModuleHandleW(L"HWLINK32.DLL"); }

std::string LoadedTransportFile() {
  const HMODULE module = GetModuleHandleW(L"HWLINK32.DLL");
  if (module == nullptr) return "";
  return WideToUtf8(ModulePath(module));
}

void *LoadedTransportFunction(const char *name) {
  const HMODULE module = GetModuleHandleW(L"HWLINK32.DLL");
  if (module == nullptr) return nullptr;
  return reinterpret_cast<void *>(GetProcAddress(module, name));
}

// The folders Windows searches for the library's HWLINK32.DLL when the library is loaded with its
// own folder first, in Windows' order: that folder, the system folder, the Windows folder, the
// current folder, then PATH. Only the search is the system's here: a library's need of the
// transport is judged once it is loaded (BindingToTransport).
TransportLookup LookUpTransportOf(const std::string &library, bool must_find) {
  if (!must_find) return {};
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
    const fs::path candidate = folder / kTransportFileName;
    if (fs::is_regular_file(candidate, ignored)) {
      return {TransportLookup::Outcome::kFound, WideToUtf8(candidate.wstring()), ""};
    }
  }
  return {TransportLookup::Outcome::kNotFound, "",
          "looked in its own folder, the system folders, the current folder and PATH"};
}

TransportBinding BindingToTransport(LibraryHandle library, LibraryHandle spy) {
  bool imports_transport = false;
  const std::vector<HMODULE> modules = TransportModulesOf(static_cast<HMODULE>(library), imports_transport);
  if (!imports_transport) return {TransportBinding::Outcome::kNoImport, ""};
  for (HMODULE owner : modules) {
    if (owner == static_cast<HMODULE>(spy)) continue;
    return {TransportBinding::Outcome::kOther, owner != nullptr ? ModuleFile(owner) : std::string("(unknown)")};
  }
  return {};
}

// The loader takes a library's HWLINK32.DLL from the library's own folder first.
fs::path PlaceBesideTransport(const fs::path &library, const fs::path &transport, const fs::path &folder,
                              std::error_code &error) {
  fs::create_directory(folder, error);
  const fs::path copy = folder / library.filename();
  if (error || !fs::copy_file(library, copy, error) || !fs::copy_file(transport, folder / kTransportFileName, error)) {
    return {};
  }
  return copy;
}

bool CanPreloadIntoChildren() { return false; }

bool PreloadIntoChildren(const fs::path &, const char *) { return true; }

}  // namespace klia
