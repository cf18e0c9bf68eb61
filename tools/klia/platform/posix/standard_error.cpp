// Standard error on POSIX systems while klia collects what the transport writes there (klia
// --json): an unnamed temporary file, descriptor 2 moved onto it and back, the descriptor calls
// a signal handler may make, and the last words written before a signal ends klia.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <system_error>

#include "platform/platform.h"

namespace klia {
namespace {

void (*g_last_words)() = nullptr;

extern "C" void OnEndingSignal(int number) {
  if (g_last_words != nullptr) g_last_words();
  std::raise(number);
}

}  // namespace

void RunBeforeEndingSignals(void (*last_words)()) {
  g_last_words = last_words;
  for (int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL}) {
    // A signal klia was started with ignored, or one it handles itself, is left as it is.
    struct sigaction before {};
    if (sigaction(number, nullptr, &before) != 0 || before.sa_handler != SIG_DFL) continue;
    struct sigaction ending {};
    ending.sa_handler = OnEndingSignal;
    // Once the last words are written, the signal's own action ends klia.
    ending.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigemptyset(&ending.sa_mask);
    sigaction(number, &ending, nullptr);
  }
}

int OpenUnnamedTemporaryFile() {
  std::error_code error;
  const std::string folder = std::filesystem::temp_directory_path(error).string();
  if (error) return -1;
#ifdef O_TMPFILE
  const int unnamed = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (unnamed >= 0) return unnamed;
#endif
  std::string name = folder + "/klia-messages-XXXXXX";
  const int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) unlink(name.c_str());
  return fd;
}

StandardErrorMoved MoveStandardErrorTo(int file) {
  const int own = fcntl(2, F_DUPFD_CLOEXEC, 3);
  const bool moved = own >= 0 && dup2(file, 2) == 2;
  if (!moved) {
    if (own >= 0) close(own);
    close(file);
    return {};
  }
  return {true, own, fdopen(own, "w")};
}

void PutBackStandardError(int own) { dup2(own, 2); }

long long ReadDescriptorAt(int descriptor, long long offset, char *buffer, unsigned size) {
  ssize_t n;
  while ((n = pread(descriptor, buffer, size, static_cast<off_t>(offset))) < 0 && errno == EINTR) {
  }
  return n;
}

void WriteToDescriptor(int descriptor, const char *text, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(descriptor, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    size -= static_cast<size_t>(n);
  }
}

void RemoveFileFromSignalHandler(const char *path) { unlink(path); }

}  // namespace klia
