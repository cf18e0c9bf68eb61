// Standard error on Windows while klia collects what the transport writes there (klia --json):
// a temporary file the system deletes when klia ends, descriptor 2 and the process's standard
// error handle moved onto it and back, the descriptor calls a signal handler may make, and the
// last words written before a signal ends klia.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <csignal>
#include <cstdio>

#include "platform/platform.h"

namespace klia {
namespace {

void (*g_last_words)() = nullptr;

extern "C" void OnEndingSignal(int number) {
  if (g_last_words != nullptr) g_last_words();
  std::signal(number, SIG_DFL);
  std::raise(number);
}

}  // namespace

void RunBeforeEndingSignals(void (*last_words)()) {
  g_last_words = last_words;
  for (int number : {SIGINT, SIGTERM, SIGSEGV, SIGABRT, SIGFPE, SIGILL}) {
    // A signal klia was started with ignored, or one it handles itself, is left as it is.
    void (*before)(int) = std::signal(number, OnEndingSignal);
    if (before != SIG_DFL && before != SIG_ERR) std::signal(number, before);
  }
}

int OpenUnnamedTemporaryFile() {
  wchar_t folder[MAX_PATH + 1] = {};
  wchar_t name[MAX_PATH + 1] = {};
  if (GetTempPathW(MAX_PATH + 1, folder) == 0 || GetTempFileNameW(folder, L"kli", 0, name) == 0) return -1;
  // Deleted by the system when its last handle closes, as klia ends.
  const int fd = _wopen(name, _O_RDWR | _O_BINARY | _O_TEMPORARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  if (fd < 0) DeleteFileW(name);
  return fd;
}

StandardErrorMoved MoveStandardErrorTo(int file) {
  const int own = _dup(2);
  const bool moved = _dup2(file, 2) == 0;
  if (!moved) {
    if (own >= 0) _close(own);
    _close(file);
    return {};
  }
  // A library whose C runtime starts after this takes the standard error handle the system
  // hands it: the private file too.
  SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(2)));
  return {true, own, own >= 0 ? _fdopen(own, "w") : nullptr};
}

void PutBackStandardError(int own) {
  _dup2(own, 2);
  SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(2)));
}

long long ReadDescriptorAt(int descriptor, long long offset, char *buffer, unsigned size) {
  if (_lseeki64(descriptor, offset, SEEK_SET) < 0) return -1;
  return _read(descriptor, buffer, size);
}

void WriteToDescriptor(int descriptor, const char *text, std::size_t size) {
  while (size > 0) {
    const int n = _write(descriptor, text, static_cast<unsigned>(size));
    if (n <= 0) return;
    text += n;
    size -= static_cast<size_t>(n);
  }
}

void RemoveFileFromSignalHandler(const char *path) { _unlink(path); }

}  // namespace klia
