#include "shell/process.h"

#include <csignal>
#include <cstring>
#include <iostream>

#include <nlohmann/json.hpp>

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "shell/errors.h"
#include "shell/output.h"

namespace klia {

void ReserveStandardStreams() {
#ifndef _WIN32
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is taken, which is `fd`: the ones below it are open by now.
    const int null = open("/dev/null", O_RDWR);
    if (null > 2) close(null);
  }
#endif
}

bool IsTerminal(std::FILE *stream) {
#ifdef _WIN32
  return _isatty(_fileno(stream)) != 0;
#else
  return isatty(fileno(stream)) != 0;
#endif
}

bool AskYesNo(const std::string &question) {
  std::fputs((question + " [y/N] ").c_str(), stderr);
  std::fflush(stderr);
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes";
}

void ConfirmDestruction(const std::string &what, bool yes, const std::string &question, const std::string &kept) {
  if (yes) return;
  if (!IsTerminal(stdin)) throw UsageError(what + "; add --yes to confirm (standard input is not a terminal)");
  if (!AskYesNo("klia: " + what + ". " + question)) throw Failure("declined", kept);
}

namespace {

// The signals that end klia with its work tidied up: Ctrl-C, a kill, a terminal that went away.
constexpr int kEndingSignals[] = {
    SIGINT, SIGTERM,
#ifdef SIGHUP
    SIGHUP,
#endif
};
constexpr size_t kEndingSignalCount = sizeof kEndingSignals / sizeof kEndingSignals[0];

// Prepared before the handler can run: a signal handler may only write and remove. One text
// for each of kEndingSignals.
std::string g_interrupt_text[kEndingSignalCount];
std::string g_remove_path;
volatile std::sig_atomic_t g_guarded = 0;
// What the signals did before the guard: restored after it (a klia started with Ctrl-C
// ignored keeps ignoring it).
void (*g_previous_handler[kEndingSignalCount])(int) = {};

extern "C" void OnInterrupt(int signal_number) {
  if (g_guarded == 0) _exit(ExitCodeForSignal(signal_number));
  if (!g_remove_path.empty()) {
#ifdef _WIN32
    _unlink(g_remove_path.c_str());
#else
    unlink(g_remove_path.c_str());
#endif
  }
  for (size_t i = 0; i < kEndingSignalCount; ++i) {
    if (kEndingSignals[i] != signal_number) continue;
    const std::string &text = g_interrupt_text[i];
    WriteFromSignalHandler(text.data(), text.size());
  }
  _exit(ExitCodeForSignal(signal_number));
}

volatile std::sig_atomic_t g_deferred_interrupt = 0;
void (*g_before_deferral[kEndingSignalCount])(int) = {};

extern "C" void NoteInterrupt(int signal_number) {
  if (g_deferred_interrupt == 0) g_deferred_interrupt = signal_number;
  // Some systems reset the handler when it runs.
  std::signal(signal_number, NoteInterrupt);
}

}  // namespace

std::string InterruptedWords(int signal) {
  if (signal == SIGINT || signal == 0) return "interrupted";
  if (signal == SIGTERM) return "interrupted by SIGTERM";
#ifdef SIGHUP
  if (signal == SIGHUP) return "interrupted by SIGHUP";
#endif
  return "interrupted by signal " + std::to_string(signal);
}

InterruptDeferral::InterruptDeferral() {
  g_deferred_interrupt = 0;
  for (size_t i = 0; i < kEndingSignalCount; ++i) {
    g_before_deferral[i] = std::signal(kEndingSignals[i], NoteInterrupt);
    // A klia started with a signal ignored (a background job, nohup) keeps ignoring it.
    if (g_before_deferral[i] == SIG_IGN) std::signal(kEndingSignals[i], SIG_IGN);
  }
}

InterruptDeferral::~InterruptDeferral() {
  for (size_t i = 0; i < kEndingSignalCount; ++i) {
    std::signal(kEndingSignals[i], g_before_deferral[i] == SIG_ERR ? SIG_DFL : g_before_deferral[i]);
  }
}

bool InterruptDeferral::Interrupted() { return g_deferred_interrupt != 0; }

int InterruptDeferral::Signal() { return g_deferred_interrupt; }

InterruptGuard::InterruptGuard(const std::string &message, const std::string &remove_path) {
  for (size_t i = 0; i < kEndingSignalCount; ++i) {
    // The message begins with "interrupted"; another signal than Ctrl-C is named after it.
    std::string words = message;
    if (words.rfind("interrupted", 0) == 0) words = InterruptedWords(kEndingSignals[i]) + words.substr(11);
    g_interrupt_text[i] = JsonOutput() ? nlohmann::json({{"error", {{"interrupted", words}}}}).dump() + "\n"
                                       : "\nklia: " + words + "\n";
  }
  g_remove_path = remove_path;
  g_guarded = 1;
  for (size_t i = 0; i < kEndingSignalCount; ++i) {
    g_previous_handler[i] = std::signal(kEndingSignals[i], OnInterrupt);
  }
}

InterruptGuard::~InterruptGuard() {
  for (size_t i = 0; i < kEndingSignalCount; ++i) {
    std::signal(kEndingSignals[i], g_previous_handler[i] == SIG_ERR ? SIG_DFL : g_previous_handler[i]);
  }
  g_guarded = 0;
}

}  // namespace klia
