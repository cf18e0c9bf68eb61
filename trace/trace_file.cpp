#include "trace_file.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "trace_format.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace hwtrace {

#ifdef _WIN32

std::string WindowsErrorText(unsigned long code) {
  char buffer[256] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                           sizeof buffer, nullptr);
  while (n > 0 && (buffer[n - 1] == '\n' || buffer[n - 1] == '\r' || buffer[n - 1] == '.')) buffer[--n] = '\0';
  return n > 0 ? std::string(buffer) : "Windows error " + std::to_string(code);
}

bool AppendFile::Open(const std::string &path, std::string &error) {
  Close();
  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};  // not inherited
  // FILE_APPEND_DATA alone: every WriteFile goes to the end of the file, whole.
  HANDLE handle = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              &security, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = "cannot open " + path + ": " + WindowsErrorText(GetLastError());
    return false;
  }
  handle_ = handle;
  return true;
}

bool AppendFile::Append(std::string_view bytes, std::string &error) {
  if (handle_ == nullptr) {
    error = "the trace file is not open";
    return false;
  }
  DWORD written = 0;
  if (!WriteFile(static_cast<HANDLE>(handle_), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
    error = WindowsErrorText(GetLastError());
    return false;
  }
  if (written != bytes.size()) {
    error = "only part of a record could be written (the disk is full?)";
    return false;
  }
  return true;
}

void AppendFile::Close() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

bool AppendFile::is_open() const { return handle_ != nullptr; }

std::string ReadWholeFile(const std::string &path) {
  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              &security, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) throw TraceError("cannot open " + path + ": " + WindowsErrorText(GetLastError()));
  std::string text;
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(handle, buffer, sizeof buffer, &got, nullptr)) {
      const DWORD code = GetLastError();
      CloseHandle(handle);
      throw TraceError("cannot read " + path + ": " + WindowsErrorText(code));
    }
    if (got == 0) break;
    text.append(buffer, got);
  }
  CloseHandle(handle);
  return text;
}

uint32_t ProcessId() { return static_cast<uint32_t>(GetCurrentProcessId()); }

#else

namespace {

// Moves a descriptor that landed on 0-2 (a standard stream was closed) to 3 or above,
// close-on-exec.
int AboveStandardStreams(int fd) {
  if (fd < 0 || fd > 2) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  const int saved = errno;
  close(fd);
  errno = saved;
  return moved;
}

}  // namespace

bool AppendFile::Open(const std::string &path, std::string &error) {
  Close();
  int fd;
  do {
    fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
  } while (fd < 0 && errno == EINTR);
  fd = AboveStandardStreams(fd);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    error = "cannot write a trace to " + path + ": not a regular file";
    return false;
  }
  fd_ = fd;
  return true;
}

bool AppendFile::Append(std::string_view bytes, std::string &error) {
  if (fd_ < 0) {
    error = "the trace file is not open";
    return false;
  }
  ssize_t written;
  do {
    written = write(fd_, bytes.data(), bytes.size());
  } while (written < 0 && errno == EINTR);
  if (written < 0) {
    error = std::strerror(errno);
    return false;
  }
  if (static_cast<size_t>(written) != bytes.size()) {
    error = "only part of a record could be written (the disk is full?)";
    return false;
  }
  return true;
}

void AppendFile::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool AppendFile::is_open() const { return fd_ >= 0; }

std::string ReadWholeFile(const std::string &path) {
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  fd = AboveStandardStreams(fd);
  if (fd < 0) throw TraceError("cannot open " + path + ": " + std::strerror(errno));
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    close(fd);
    throw TraceError("cannot read " + path + ": it is a folder");
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int code = errno;
      close(fd);
      throw TraceError("cannot read " + path + ": " + std::strerror(code));
    }
    if (got == 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return text;
}

uint32_t ProcessId() { return static_cast<uint32_t>(getpid()); }

#endif

uint64_t WallClockMicros() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

uint64_t MonotonicMicros() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace hwtrace
