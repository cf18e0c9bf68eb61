// Files and clocks for trace writers and readers, the same on POSIX and Windows.
//
// Every file is opened close-on-exec (not inherited) and never on descriptors 0-2, so that a
// program started with closed standard streams cannot write its output into a trace.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace hwtrace {

// A trace file opened for appending, created readable and writable by its owner only (POSIX
// 0600; on Windows the folder's default for a new file). Every Append is one write at the
// end of the file, so records of several processes appending at once never interleave.
class AppendFile {
 public:
  AppendFile() = default;
  AppendFile(const AppendFile &) = delete;
  AppendFile &operator=(const AppendFile &) = delete;
  ~AppendFile() { Close(); }

  // On failure `error` says what happened, in words.
  bool Open(const std::string &path, std::string &error);
  // Opens a board trace to append to: a new file (made as Open makes it), an empty file, or
  // one that begins with a trace header line. Anything else is refused, naming the file and
  // why: a symbolic link at `path` (on Windows any reparse point), what is not a regular file
  // (a folder, a fifo, a device), a file that is not a board trace (a board image, a library,
  // a text). The content is checked through the file as opened, never by name before opening.
  // `warning` is set (POSIX) when an existing trace may be read by others than its owner.
  bool OpenTrace(const std::string &path, std::string &error, std::string &warning);
  bool Append(std::string_view bytes, std::string &error);
  void Close();
  bool is_open() const;

 private:
#ifdef _WIN32
  void *handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

#ifdef _WIN32
// A Windows error code in words.
std::string WindowsErrorText(unsigned long code);
#endif

// The whole file, or TraceError saying why it cannot be read.
std::string ReadWholeFile(const std::string &path);

// Wall-clock time in microseconds since 1970-01-01 UTC, a monotonic clock in microseconds,
// and this process's id.
uint64_t WallClockMicros();
uint64_t MonotonicMicros();
uint32_t ProcessId();

}  // namespace hwtrace
