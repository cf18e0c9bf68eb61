// What klia needs from the process it runs in: its standard streams, whether a person is at
// the terminal, and what Ctrl-C does.
#pragma once

#include <csignal>
#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace klia {

// Descriptors 0-2 kept from klia's files (ReserveStandardStreams) and whether a stream is a
// terminal (IsTerminal) come with platform/platform.h.

// Asks `question` on the terminal and reads the answer from standard input; true only for
// "y" or "yes".
bool AskYesNo(const std::string &question);

// Before a step that destroys what a person may want to keep: `what` says what it destroys.
// Nothing happens with `yes`; off a terminal it is refused (a UsageError: add --yes); on a
// terminal the person is asked `question`, and a "no" ends klia with "declined" and `kept`.
void ConfirmDestruction(const std::string &what, bool yes, const std::string &question, const std::string &kept);

// From now until the guard ends, SIGINT, SIGTERM and SIGHUP remove `remove_path` (when not
// empty), write `message` on standard error as a line (or as a JSON error object with --json),
// naming the signal unless it was Ctrl-C, and end klia with ExitCodeForSignal. For steps that
// must not be half done silently: formatting, creating an image.
class InterruptGuard {
 public:
  InterruptGuard(const std::string &message, const std::string &remove_path = "");
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard &) = delete;
  InterruptGuard &operator=(const InterruptGuard &) = delete;
};

// From now until it ends, Ctrl-C, SIGTERM and SIGHUP do not end klia: they are noted, and the
// work in progress asks Interrupted() between its steps and undoes what it did (a change of
// files in a program's folder, which must happen whole or not at all).
class InterruptDeferral {
 public:
  InterruptDeferral();
  ~InterruptDeferral();
  InterruptDeferral(const InterruptDeferral &) = delete;
  InterruptDeferral &operator=(const InterruptDeferral &) = delete;
  static bool Interrupted();
  // The signal that came first, or 0.
  static int Signal();
};

// "interrupted" for Ctrl-C, else "interrupted by SIGTERM" and the like.
std::string InterruptedWords(int signal);

}  // namespace klia
