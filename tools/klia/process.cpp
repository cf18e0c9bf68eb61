#include "process.h"

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

#include "errors.h"
#include "output.h"

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

// Prepared before the handler can run: a signal handler may only write and remove.
std::string g_interrupt_text;
std::string g_remove_path;
volatile std::sig_atomic_t g_guarded = 0;
// What SIGINT and SIGTERM did before the guard: restored after it (a klia started with
// Ctrl-C ignored keeps ignoring it).
void (*g_previous_interrupt)(int) = SIG_DFL;
void (*g_previous_terminate)(int) = SIG_DFL;

extern "C" void OnInterrupt(int) {
  if (g_guarded == 0) _exit(kExitInterrupted);
  if (!g_remove_path.empty()) {
#ifdef _WIN32
    _unlink(g_remove_path.c_str());
#else
    unlink(g_remove_path.c_str());
#endif
  }
  WriteFromSignalHandler(g_interrupt_text.data(), g_interrupt_text.size());
  _exit(kExitInterrupted);
}

volatile std::sig_atomic_t g_deferred_interrupt = 0;
void (*g_before_deferral_interrupt)(int) = SIG_DFL;
void (*g_before_deferral_terminate)(int) = SIG_DFL;

extern "C" void NoteInterrupt(int signal_number) {
  g_deferred_interrupt = 1;
  // Some systems reset the handler when it runs.
  std::signal(signal_number, NoteInterrupt);
}

}  // namespace

InterruptDeferral::InterruptDeferral() {
  g_deferred_interrupt = 0;
  g_before_deferral_interrupt = std::signal(SIGINT, NoteInterrupt);
  g_before_deferral_terminate = std::signal(SIGTERM, NoteInterrupt);
  // A klia started with a signal ignored (a background job) keeps ignoring it.
  if (g_before_deferral_interrupt == SIG_IGN) std::signal(SIGINT, SIG_IGN);
  if (g_before_deferral_terminate == SIG_IGN) std::signal(SIGTERM, SIG_IGN);
}

InterruptDeferral::~InterruptDeferral() {
  std::signal(SIGINT, g_before_deferral_interrupt == SIG_ERR ? SIG_DFL : g_before_deferral_interrupt);
  std::signal(SIGTERM, g_before_deferral_terminate == SIG_ERR ? SIG_DFL : g_before_deferral_terminate);
}

bool InterruptDeferral::Interrupted() { return g_deferred_interrupt != 0; }

InterruptGuard::InterruptGuard(const std::string &message, const std::string &remove_path) {
  g_interrupt_text = JsonOutput() ? nlohmann::json({{"error", {{"interrupted", message}}}}).dump() + "\n"
                                  : "\nklia: " + message + "\n";
  g_remove_path = remove_path;
  g_guarded = 1;
  g_previous_interrupt = std::signal(SIGINT, OnInterrupt);
  g_previous_terminate = std::signal(SIGTERM, OnInterrupt);
}

InterruptGuard::~InterruptGuard() {
  std::signal(SIGINT, g_previous_interrupt == SIG_ERR ? SIG_DFL : g_previous_interrupt);
  std::signal(SIGTERM, g_previous_terminate == SIG_ERR ? SIG_DFL : g_previous_terminate);
  g_guarded = 0;
}

}  // namespace klia
