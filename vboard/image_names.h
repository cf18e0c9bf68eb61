// What a board image begins with, and the names of board images under construction. The
// magic lets klia tell an image from another file before the board opens it. A new image is
// filled under "<image>.new.<process>.<n>" where the file system cannot hold an unnamed file,
// and klia builds a replacement image under "<image>.new.<process>.0". A process killed
// meanwhile leaves that file behind; the next creation of the image removes it. Shared by the
// virtual board and klia, so that each removes what the other left.
#pragma once

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

namespace vboard {

// The first 8 bytes of every board image.
inline constexpr char kImageMagic[8] = {'V', 'B', 'O', 'A', 'R', 'D', '0', '1'};

inline constexpr const char *kTemporaryInfix = ".new.";

inline unsigned long ThisProcess() {
#if defined(_WIN32)
  return GetCurrentProcessId();
#else
  return static_cast<unsigned long>(::getpid());
#endif
}

inline bool ProcessAlive(unsigned long process) {
#if defined(_WIN32)
  HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(process));
  if (handle == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  const bool running = WaitForSingleObject(handle, 0) == WAIT_TIMEOUT;
  CloseHandle(handle);
  return running;
#else
  return ::kill(static_cast<pid_t>(process), 0) == 0 || errno == EPERM;
#endif
}

inline std::string TemporaryImageName(const std::string &image, unsigned long process, unsigned n) {
  return image + kTemporaryInfix + std::to_string(process) + "." + std::to_string(n);
}

// Removes the images under construction for `image` whose process is gone. Those of a live
// process (a creation under way) stay.
inline void RemoveAbandonedTemporaries(const std::string &image) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path path(image);
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  const std::string prefix = path.filename().string() + kTemporaryInfix;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string rest = name.substr(prefix.size());  // "<process>.<n>"
    const size_t dot = rest.find('.');
    if (dot == 0 || dot == std::string::npos || dot > 10 || rest.find_first_not_of("0123456789.") != std::string::npos) {
      continue;
    }
    const unsigned long process = std::stoul(rest.substr(0, dot));
    std::error_code ignored;
    if (process != ThisProcess() && !ProcessAlive(process)) fs::remove(it->path(), ignored);
  }
}

}  // namespace vboard
