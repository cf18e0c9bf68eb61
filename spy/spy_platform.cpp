#include "spy_platform.h"

#include <cstdio>
#include <vector>

#include "spy_config.h"
#include "trace_file.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#endif

namespace spy {

namespace {

// Any function of this library, to find the library by an address inside it.
void Anchor() {}

std::string FolderOf(const std::string &path) {
#ifdef _WIN32
  const size_t slash = path.find_last_of("\\/");
#else
  const size_t slash = path.find_last_of('/');
#endif
  if (slash == std::string::npos) return "";
  return path.substr(0, slash == 0 ? 1 : slash);
}

bool IsFile(const std::string &path) {
#ifdef _WIN32
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
#else
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
#endif
}

std::string ProgramFolder() {
#ifdef _WIN32
  char path[MAX_PATH * 2] = {};
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) return "";
  return FolderOf(path);
#else
  char path[PATH_MAX] = {};
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  return FolderOf(std::string(path, static_cast<size_t>(n)));
#endif
}

// The system's own library folders.
std::vector<std::string> SystemFolders() {
#ifdef _WIN32
  char path[MAX_PATH * 2] = {};
  const UINT n = GetSystemDirectoryA(path, sizeof path);
  if (n == 0 || n >= sizeof path) return {};
  return {path};
#else
  std::vector<std::string> folders;
#if defined(__x86_64__)
  folders = {"/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu"};
#elif defined(__i386__)
  folders = {"/lib/i386-linux-gnu", "/usr/lib/i386-linux-gnu"};
#elif defined(__aarch64__)
  folders = {"/lib/aarch64-linux-gnu", "/usr/lib/aarch64-linux-gnu"};
#endif
  folders.push_back("/lib");
  folders.push_back("/usr/lib");
  return folders;
#endif
}

// The full path of the target: a full path as it is, a bare name from the program's folder
// or the system's folders.
bool FindTarget(const std::string &target, std::string &path, std::string &error) {
  if (IsFullPath(target)) {
    path = target;
    return true;
  }
  if (!IsBareName(target)) {
    error = "\"" + target + "\" is neither a full path nor a bare file name; name the real transport by its full path";
    return false;
  }
  std::vector<std::string> folders;
  if (const std::string program = ProgramFolder(); !program.empty()) folders.push_back(program);
  for (const std::string &folder : SystemFolders()) folders.push_back(folder);
  std::string looked;
  for (const std::string &folder : folders) {
    const std::string candidate = JoinPath(folder, target);
    if (IsFile(candidate)) {
      path = candidate;
      return true;
    }
    looked += (looked.empty() ? "" : ", ") + folder;
  }
  error = "no file " + target + " in the program's folder or the system folder (looked in " + looked + ")";
  return false;
}

const char kSelfRefused[] =
    " is this spy itself: rename the real transport (e.g. to " "%s" ") or name it by its full path in another folder";

std::string SelfRefusal(const std::string &path) {
  char text[512];
  std::snprintf(text, sizeof text, kSelfRefused, kDefaultTargetName);
  return path + text;
}

}  // namespace

#ifdef _WIN32

namespace {
HMODULE OwnModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&Anchor), &module);
  return module;
}

}  // namespace

std::string SpyFolder() {
  char path[MAX_PATH * 2] = {};
  const DWORD n = GetModuleFileNameA(OwnModule(), path, sizeof path);
  if (n == 0 || n >= sizeof path) return "";
  return FolderOf(path);
}

bool LoadTarget(const std::string &target, Target &loaded, std::string &error) {
  std::string path;
  if (!FindTarget(target, path, error)) return false;
  // The target's own dependencies are looked for in its folder, not the current one.
  HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) {
    error = "cannot load " + path + ": " + hwtrace::WindowsErrorText(GetLastError());
    return false;
  }
  if (module == OwnModule()) {
    FreeLibrary(module);
    error = SelfRefusal(path);
    return false;
  }
  FARPROC transfer = GetProcAddress(module, MAKEINTRESOURCEA(1000));
  FARPROC transfer_ex = GetProcAddress(module, MAKEINTRESOURCEA(1002));
  if (transfer == nullptr || transfer_ex == nullptr) {
    FreeLibrary(module);
    error = path + " does not export the transport's ordinals 1000 and 1002";
    return false;
  }
  loaded.transfer = reinterpret_cast<TransferFunction>(reinterpret_cast<void *>(transfer));
  loaded.transfer_ex = reinterpret_cast<TransferExFunction>(reinterpret_cast<void *>(transfer_ex));
  loaded.path = path;
  return true;  // kept loaded for the life of the process
}

void Say(const std::string &line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
  OutputDebugStringA((line + "\n").c_str());
}

#else

namespace {
// The base address of the object that holds `address`.
void *ObjectOf(const void *address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0) return nullptr;
  return info.dli_fbase;
}
}  // namespace

std::string SpyFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void *>(&Anchor), &info) == 0 || info.dli_fname == nullptr) return "";
  char resolved[PATH_MAX];
  if (realpath(info.dli_fname, resolved) == nullptr) return FolderOf(info.dli_fname);
  return FolderOf(resolved);
}

bool LoadTarget(const std::string &target, Target &loaded, std::string &error) {
  std::string path;
  if (!FindTarget(target, path, error)) return false;
  void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char *why = dlerror();
    error = why != nullptr ? std::string(why) : "cannot load " + path;
    return false;
  }
  void *transfer = dlsym(handle, "HwTransfer");
  void *transfer_ex = dlsym(handle, "HwTransferEx");
  if (transfer == nullptr || transfer_ex == nullptr) {
    dlclose(handle);
    error = path + " does not export HwTransfer and HwTransferEx";
    return false;
  }
  if (ObjectOf(transfer) == ObjectOf(reinterpret_cast<const void *>(&Anchor))) {
    dlclose(handle);
    error = SelfRefusal(path);
    return false;
  }
  loaded.transfer = reinterpret_cast<TransferFunction>(transfer);
  loaded.transfer_ex = reinterpret_cast<TransferExFunction>(transfer_ex);
  loaded.path = path;
  return true;  // kept loaded for the life of the process
}

void Say(const std::string &line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

#endif

}  // namespace spy
