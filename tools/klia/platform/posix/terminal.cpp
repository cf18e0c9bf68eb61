// The terminal and the standard streams on POSIX systems: descriptors 0-2 kept from files klia
// opens, whether a stream is a terminal, files opened close-on-exec, a key file's mode, the
// prompt without echo (termios), and the signals that end klia with its work tidied up.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iterator>

#include "platform/platform.h"

namespace klia {

void ReserveStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is taken, which is `fd`: the ones below it are open by now.
    const int null = open("/dev/null", O_RDWR);
    if (null > 2) close(null);
  }
}

bool IsTerminal(std::FILE *stream) { return isatty(fileno(stream)) != 0; }

void UseBinaryMode(std::FILE *) {}

// "e": close-on-exec.
std::FILE *OpenNotInherited(const std::string &path, const char *mode) {
  const std::string not_inherited = std::string(mode) + "e";
  return std::fopen(path.c_str(), not_inherited.c_str());
}

std::optional<unsigned> ModeOthersMayRead(std::FILE *file) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode) || (info.st_mode & (S_IRGRP | S_IROTH)) == 0) {
    return std::nullopt;
  }
  return static_cast<unsigned>(info.st_mode & 0777);
}

namespace {

constexpr int kTidyEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};
static_assert(std::size(kTidyEndingSignals) <= kMaxTidyEndingSignals);

// While a prompt waits with the echo off: the terminal, its settings before, where the prompt
// went, and what the signals that end klia did before. A signal handler may only use these.
constexpr int kPromptEndingSignals[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};
int g_terminal = -1;
struct termios g_saved_settings;
int g_prompt_output = 2;
struct sigaction g_previous[std::size(kPromptEndingSignals)];

// The echo back on, the line the person was typing ended, then the signal does what it did
// before the prompt (by default, end klia): raised again here, it comes once this returns.
extern "C" void RestoreEchoAndEnd(int signal_number) {
  tcsetattr(g_terminal, TCSANOW, &g_saved_settings);
  WriteToDescriptor(g_prompt_output, "\n", 1);
  for (size_t i = 0; i < std::size(kPromptEndingSignals); ++i) {
    if (kPromptEndingSignals[i] == signal_number) sigaction(signal_number, &g_previous[i], nullptr);
  }
  raise(signal_number);
}

}  // namespace

std::span<const int> TidyEndingSignals() { return kTidyEndingSignals; }

bool IsHangUpSignal(int signal) { return signal == SIGHUP; }

bool ReadWithoutEcho(const std::string &prompt, std::string &line, std::size_t longest) {
  constexpr int input = 0;
  // The prompt goes to the terminal itself, even when standard error is sent elsewhere.
  int output = open("/dev/tty", O_WRONLY | O_CLOEXEC | O_NOCTTY);
  const bool own_output = output >= 0;
  if (!own_output) output = 2;
  struct termios settings;
  const bool terminal = tcgetattr(input, &settings) == 0;
  if (terminal) {
    g_terminal = input;
    g_saved_settings = settings;
    g_prompt_output = output;
    // The handlers first: from the moment the echo is off, a signal puts it back.
    for (size_t i = 0; i < std::size(kPromptEndingSignals); ++i) {
      struct sigaction restore = {};
      restore.sa_handler = RestoreEchoAndEnd;
      sigemptyset(&restore.sa_mask);
      for (int other : kPromptEndingSignals) sigaddset(&restore.sa_mask, other);
      sigaction(kPromptEndingSignals[i], nullptr, &g_previous[i]);
      // A klia started with a signal ignored (a background job) keeps ignoring it.
      if (g_previous[i].sa_handler != SIG_IGN) sigaction(kPromptEndingSignals[i], &restore, nullptr);
    }
    struct termios quiet = settings;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ICANON;
    // What was typed before the prompt (and echoed) is dropped.
    tcsetattr(input, TCSAFLUSH, &quiet);
  }
  WriteToDescriptor(output, prompt.data(), prompt.size());
  line.clear();
  bool ended = false;
  for (;;) {
    char c = 0;
    const ssize_t got = read(input, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ended = true;
      break;
    }
    if (c == '\n') break;
    if (line.size() < longest) line += c;
    c = 0;
  }
  if (terminal) {
    tcsetattr(input, TCSANOW, &settings);
    for (size_t i = 0; i < std::size(kPromptEndingSignals); ++i) {
      sigaction(kPromptEndingSignals[i], &g_previous[i], nullptr);
    }
    g_terminal = -1;
  }
  // The Enter the person typed was not echoed.
  WriteToDescriptor(output, "\n", 1);
  if (own_output) close(output);
  return !ended || !line.empty();
}

}  // namespace klia
