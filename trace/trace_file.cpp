#include "trace_file.h"

#include <cerrno>
#include <chrono>
#include <algorithm>
#include <cstdio>
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

namespace {

// How much of an existing file is looked at for its header line: far more than any header.
constexpr size_t kHeaderLookLength = 65536;

// Why the first bytes of an existing file are not those of a board trace ("" when they are):
// it must be empty or begin with a whole header line. Bytes without a newline yet pass when
// they are the start of a header as the writers put it: another process is appending its
// header at this moment.
std::string NotATrace(std::string_view start) {
  if (start.empty()) return "";
  const std::string header_start = std::string("{\"type\":\"header\",\"format\":\"") + kFormatName + "\"";
  const size_t newline = start.find('\n');
  if (newline == std::string_view::npos) {
    const std::string_view expected(header_start);
    const size_t n = std::min(start.size(), expected.size());
    if (start.size() < kHeaderLookLength && start.substr(0, n) == expected.substr(0, n)) return "";
  } else {
    try {
      if (!ParseTrace(start.substr(0, newline + 1)).headers.empty()) return "";
    } catch (const TraceError &) {
    }
  }
  return "is not a board trace (it does not begin with a trace header)";
}

}  // namespace

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

bool AppendFile::OpenTrace(const std::string &path, std::string &error, std::string &warning) {
  Close();
  warning.clear();
  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};  // not inherited
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every WriteFile goes to the end of the file,
  // whole. FILE_READ_DATA to look at its first line through this very handle. A reparse point
  // (a symbolic link, a junction) is opened as itself, not followed, and refused below.
  HANDLE handle = CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &security, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = "cannot open " + path + ": " + WindowsErrorText(GetLastError());
    return false;
  }
  auto refuse = [&](const std::string &why) {
    CloseHandle(handle);
    error = path + " " + why;
    return false;
  };
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info)) {
    return refuse("is not a regular file");
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    return refuse("is a symbolic link or another reparse point (a trace is never written through one)");
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return refuse("is a folder");
  std::string start(kHeaderLookLength, '\0');
  OVERLAPPED at{};  // from the start of the file
  DWORD got = 0;
  if (!ReadFile(handle, start.data(), static_cast<DWORD>(start.size()), &got, &at) &&
      GetLastError() != ERROR_HANDLE_EOF) {
    const DWORD code = GetLastError();
    CloseHandle(handle);
    error = "cannot read " + path + " to check that it is a trace: " + WindowsErrorText(code);
    return false;
  }
  start.resize(got);
  if (const std::string why = NotATrace(start); !why.empty()) return refuse(why);
  LARGE_INTEGER zero{};
  SetFilePointerEx(handle, zero, nullptr, FILE_END);
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

bool AppendFile::OpenTrace(const std::string &path, std::string &error, std::string &warning) {
  Close();
  warning.clear();
  // What is plainly not a file to append to is refused before it is opened (opening a device
  // may do something); the check that counts is the one on the descriptor below.
  struct stat seen {};
  if (lstat(path.c_str(), &seen) == 0 && !S_ISREG(seen.st_mode)) {
    error = path + (S_ISLNK(seen.st_mode)   ? " is a symbolic link (a trace is never written through one)"
                    : S_ISDIR(seen.st_mode) ? " is a folder"
                                            : " is not a regular file (a fifo, a device or a socket)");
    return false;
  }
  int fd;
  do {
    // O_RDWR to look at the first line through this descriptor; O_NOFOLLOW: a link put in the
    // trace's place since is not followed; O_NONBLOCK: a fifo put there does not hang us.
    fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
  } while (fd < 0 && errno == EINTR);
  fd = AboveStandardStreams(fd);
  if (fd < 0) {
    error = errno == ELOOP ? path + " is a symbolic link (a trace is never written through one)"
                           : "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  auto refuse = [&](const std::string &why) {
    close(fd);
    error = path + " " + why;
    return false;
  };
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return refuse("is not a regular file");
  std::string start(kHeaderLookLength, '\0');
  ssize_t got;
  do {
    got = pread(fd, start.data(), start.size(), 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return refuse(std::string("cannot be read to check that it is a trace: ") + std::strerror(errno));
  start.resize(static_cast<size_t>(got));
  if (const std::string why = NotATrace(start); !why.empty()) return refuse(why);
  fcntl(fd, F_SETFL, O_APPEND);  // blocking writes again
  if ((info.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    warning = path + " may be read by others than its owner (mode " + mode +
              "), and a trace is confidential site data: chmod 600 " + path;
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
