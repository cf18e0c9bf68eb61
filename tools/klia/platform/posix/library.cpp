// Libraries on POSIX systems: loaded with dlopen, their functions found by name with dlsym, the
// objects of this process listed by dl_iterate_phdr, and what a library would load asked of
// the dynamic loader itself.
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string_view>

#include "platform/platform.h"

namespace klia {
namespace {

namespace fs = std::filesystem;

std::string BaseName(const std::string &path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file of the first object loaded in this process whose file name (its last part) `wanted`
// accepts, or "".
std::string LoadedObject(const std::function<bool(const std::string &file_name)> &wanted) {
  struct Search {
    const std::function<bool(const std::string &)> &wanted;
    std::string found;
  } search{wanted, {}};
  dl_iterate_phdr(
      [](struct dl_phdr_info *info, size_t, void *data) {
        auto &search = *static_cast<Search *>(data);
        if (info->dlpi_name == nullptr) return 0;
        const std::string name = info->dlpi_name;
        if (!search.wanted(BaseName(name))) return 0;
        search.found = name;
        return 1;
      },
      &search);
  return search.found;
}

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

// The file of the object that defines `address`, or "".
std::string ObjectFile(const void *address) {
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) return "";
  return info.dli_fname;
}

}  // namespace

const char *PathSeparators() { return "/"; }

std::string PathText(const fs::path &path) { return path.string(); }

LibraryHandle LoadLibraryByName(const std::string &name, std::string &reason) { return LoadLibraryFile(name, reason); }

LibraryHandle LoadLibraryFile(const std::string &file, std::string &reason) {
  void *handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char *error = dlerror();
    reason = error != nullptr ? error : "unknown reason";
  }
  return handle;
}

// Local: the spy's functions are found by the library that needs libhwlink32.so, and by no
// other object (the real transport's own calls stay its own).
LibraryHandle LoadSpyLibrary(const std::string &file, std::string &why) { return LoadLibraryFile(file, why); }

// The loader's own words name the object it could not open.
std::string LibraryLoadAdvice(const std::string &chosen, const std::string &reason) {
  if (chosen.empty()) return "reinstall klia with its library (lib/libmviahlp.so.1 beside bin/klia)";
  if (reason.rfind(chosen + ":", 0) == 0) return "check the path";
  if (reason.find("libhwlink32") != std::string::npos) {
    return "the library needs the board transport libhwlink32.so on its library path (LD_LIBRARY_PATH) or beside it";
  }
  return "install what the loader names, or put its folder on the library path (LD_LIBRARY_PATH)";
}

void *LibraryFunction(LibraryHandle library, const char *name) { return dlsym(library, name); }

void *InterfaceFunction(LibraryHandle library, int, const char *name) { return dlsym(library, name); }

std::string LoadedLibraryFile(LibraryHandle library, const char *function) {
  return ObjectFile(dlsym(library, function));
}

LibraryHandle LoadedTransport() { return dlopen(kTransportFileName, RTLD_NOW | RTLD_NOLOAD); }

std::string LoadedTransportFile() {
  return LoadedObject([](const std::string &file_name) { return file_name == kTransportFileName; });
}

void *LoadedTransportFunction(const char *name) {
  const std::string file = LoadedTransportFile();
  if (file.empty()) return nullptr;
  void *handle = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return nullptr;
  void *address = dlsym(handle, name);
  dlclose(handle);  // only the reference RTLD_NOLOAD took
  return address;
}

// A transport needed under another name is one the spy, loaded as libhwlink32.so, would not
// stand in for. The loader that cannot list the library leaves the outcome unknown: loading it
// then fails with the loader's own words.
TransportLookup LookUpTransportOf(const std::string &library, bool must_find) {
  std::string interpreter;
  dl_iterate_phdr(FindInterpreter, &interpreter);
  std::string output;
  if (interpreter.empty() || !ListDependencies(interpreter, library, output)) return {};
  std::string found;
  bool needed = false;
  for (size_t at = 0; at < output.size();) {
    const size_t end = std::min(output.find('\n', at), output.size());
    const std::string line = Trim(output.substr(at, end - at));
    at = end + 1;
    const size_t arrow = line.find(" => ");
    const std::string name = arrow == std::string::npos ? line.substr(0, line.find(" (")) : line.substr(0, arrow);
    if (BaseName(name).rfind("libhwlink32", 0) != 0) continue;
    if (name != kTransportFileName) return {TransportLookup::Outcome::kOtherName, name, ""};
    needed = true;
    std::string path = arrow == std::string::npos ? "" : line.substr(arrow + 4);
    path = path.substr(0, path.rfind(" (0x"));
    if (path == "not found" && must_find) {
      return {TransportLookup::Outcome::kNotFound, "",
              "the loader looked in its run path, LD_LIBRARY_PATH and the system's folders"};
    }
    found = path;
  }
  if (!needed) return {TransportLookup::Outcome::kNotNeeded, "", ""};
  return {TransportLookup::Outcome::kFound, found, ""};
}

TransportBinding BindingToTransport(LibraryHandle library, LibraryHandle spy) {
  for (const char *name : {"HwTransfer", "HwTransferEx"}) {
    const void *bound = dlsym(library, name);
    if (bound != nullptr && bound == dlsym(spy, name)) continue;
    const std::string other = ObjectFile(bound);
    if (other.empty()) return {TransportBinding::Outcome::kNoFunction, name};
    return {TransportBinding::Outcome::kOther, other};
  }
  return {};
}

// The library finds its transport by the library path.
fs::path PlaceBesideTransport(const fs::path &library, const fs::path &, const fs::path &, std::error_code &) {
  return library;
}

bool CanPreloadIntoChildren() { return true; }

bool PreloadIntoChildren(const fs::path &folder, const char *file) {
  const std::string library = (folder / file).string();
  if (library.find_first_of(" :") != std::string::npos) return false;
  const char *preload = std::getenv("LD_PRELOAD");
  // A sanitizer's runtime that klia itself was started with (an ASan build's libasan) must stay
  // first among the objects a process loads, so it goes before the library on the preload list.
  const std::string first =
      LoadedObject([](const std::string &file_name) { return file_name.compare(0, 7, "libasan") == 0; });
  SetEnvironment("LD_PRELOAD", (first.empty() ? "" : first + ":") + library +
                                   (preload != nullptr && *preload != '\0' ? ":" + std::string(preload) : ""));
  const char *old = std::getenv("LD_LIBRARY_PATH");
  SetEnvironment("LD_LIBRARY_PATH", folder.string() + (old != nullptr && *old != '\0' ? ":" + std::string(old) : ""));
  return true;
}

}  // namespace klia
