// Failures that klia reports to the person at the terminal: bad arguments (found before any
// board traffic) and failures of what klia itself does (an image it cannot use, nothing stored,
// an interruption), with klia's exit codes. A refused library operation, which comes with the
// library's error state, is a BoardFailure (library/board_failure.h).
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace klia {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitBoardFailure = 1;
inline constexpr int kExitUsage = 2;

// A bad argument. Thrown before anything is sent to the board.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A failure that the library's error state does not describe: the board image cannot be
// used, a read found nothing stored, the person interrupted. Exit code 1. `kind` is the
// key of the JSON error object ("image", "nothing_stored", ...); the message says what
// happened and what to do next.
class Failure : public std::runtime_error {
 public:
  Failure(std::string kind, const std::string &message) : std::runtime_error(message), kind_(std::move(kind)) {}
  const std::string &kind() const { return kind_; }

 private:
  std::string kind_;
};

// Something a command needs cannot be had: which library, transport or file, and why.
class CannotRun : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A read that worked but found nothing stored (no configuration record, no hardware step).
class NothingStored : public Failure {
 public:
  explicit NothingStored(const std::string &message) : Failure("nothing_stored", message) {}
};

}  // namespace klia
