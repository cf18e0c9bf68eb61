#include "shell/process.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <span>

#include <nlohmann/json.hpp>

#include "platform/platform.h"
#include "shell/errors.h"
#include "shell/output.h"

namespace klia {

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

// Prepared before the handler can run: a signal handler may only write and remove. One text
// for each of TidyEndingSignals(): Ctrl-C, a kill, a terminal that went away.
std::string g_interrupt_text[kMaxTidyEndingSignals];
std::string g_remove_path;
volatile std::sig_atomic_t g_guarded = 0;
// What the signals did before the guard: restored after it (a klia started with Ctrl-C
// ignored keeps ignoring it).
void (*g_previous_handler[kMaxTidyEndingSignals])(int) = {};

extern "C" void OnInterrupt(int signal_number) {
  if (g_guarded == 0) std::_Exit(ExitCodeForSignal(signal_number));
  if (!g_remove_path.empty()) RemoveFileFromSignalHandler(g_remove_path.c_str());
  const std::span<const int> signals = TidyEndingSignals();
  for (size_t i = 0; i < signals.size(); ++i) {
    if (signals[i] != signal_number) continue;
    const std::string &text = g_interrupt_text[i];
    WriteFromSignalHandler(text.data(), text.size());
  }
  std::_Exit(ExitCodeForSignal(signal_number));
}

volatile std::sig_atomic_t g_deferred_interrupt = 0;
void (*g_before_deferral[kMaxTidyEndingSignals])(int) = {};

extern "C" void NoteInterrupt(int signal_number) {
  if (g_deferred_interrupt == 0) g_deferred_interrupt = signal_number;
  // Some systems reset the handler when it runs.
  std::signal(signal_number, NoteInterrupt);
}

}  // namespace

std::string InterruptedWords(int signal) {
  if (signal == SIGINT || signal == 0) return "interrupted";
  if (signal == SIGTERM) return "interrupted by SIGTERM";
  if (IsHangUpSignal(signal)) return "interrupted by SIGHUP";
  return "interrupted by signal " + std::to_string(signal);
}

InterruptDeferral::InterruptDeferral() {
  g_deferred_interrupt = 0;
  const std::span<const int> signals = TidyEndingSignals();
  for (size_t i = 0; i < signals.size(); ++i) {
    g_before_deferral[i] = std::signal(signals[i], NoteInterrupt);
    // A klia started with a signal ignored (a background job, nohup) keeps ignoring it.
    if (g_before_deferral[i] == SIG_IGN) std::signal(signals[i], SIG_IGN);
  }
}

InterruptDeferral::~InterruptDeferral() {
  const std::span<const int> signals = TidyEndingSignals();
  for (size_t i = 0; i < signals.size(); ++i) {
    std::signal(signals[i], g_before_deferral[i] == SIG_ERR ? SIG_DFL : g_before_deferral[i]);
  }
}

bool InterruptDeferral::Interrupted() { return g_deferred_interrupt != 0; }

int InterruptDeferral::Signal() { return g_deferred_interrupt; }

InterruptGuard::InterruptGuard(const std::string &message, const std::string &remove_path) {
  const std::span<const int> signals = TidyEndingSignals();
  for (size_t i = 0; i < signals.size(); ++i) {
    // The message begins with "interrupted"; another signal than Ctrl-C is named after it.
    std::string words = message;
    if (words.rfind("interrupted", 0) == 0) words = InterruptedWords(signals[i]) + words.substr(11);
    g_interrupt_text[i] = JsonOutput() ? nlohmann::json({{"error", {{"interrupted", words}}}}).dump() + "\n"
                                       : "\nklia: " + words + "\n";
  }
  g_remove_path = remove_path;
  g_guarded = 1;
  for (size_t i = 0; i < signals.size(); ++i) g_previous_handler[i] = std::signal(signals[i], OnInterrupt);
}

InterruptGuard::~InterruptGuard() {
  const std::span<const int> signals = TidyEndingSignals();
  for (size_t i = 0; i < signals.size(); ++i) {
    std::signal(signals[i], g_previous_handler[i] == SIG_ERR ? SIG_DFL : g_previous_handler[i]);
  }
  g_guarded = 0;
}

}  // namespace klia
