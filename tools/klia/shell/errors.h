// Failures that klia reports to the person at the terminal: bad arguments (found before any
// board traffic) and refused library operations (with the library's error state).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

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

// A read that worked but found nothing stored (no configuration record, no hardware step).
class NothingStored : public Failure {
 public:
  explicit NothingStored(const std::string &message) : Failure("nothing_stored", message) {}
};

// The library's error state, as KLIAGetErrorState hands it out. A library without that
// extension reports none: `reported` is false and the codes are 0.
struct ErrorState {
  uint16_t bind_error = 0;
  uint16_t last_error = 0;
  uint16_t device_status = 0;
  bool reported = true;
};
ErrorState ReadErrorState();

// A library operation that returned false (or a result that does not hold up).
class BoardFailure : public std::runtime_error {
 public:
  // `operation` is the export that failed, e.g. "KLIAReadUserData(5)". `note` adds what the
  // person can do about it, or why the error state does not describe this failure.
  BoardFailure(std::string operation, ErrorState state, std::string note = {});
  const std::string &operation() const { return operation_; }
  const ErrorState &state() const { return state_; }
  const std::string &note() const { return note_; }
  // How many calls the transport spy's read-only guard had kept from the board when this
  // failure was met: then the guard, not the board, is why a command that writes failed.
  uint32_t kept_by_guard() const { return kept_by_guard_; }

 private:
  std::string operation_;
  ErrorState state_;
  std::string note_;
  uint32_t kept_by_guard_ = 0;
};

// True when a KLIA_BOOL result means success (only its low byte counts).
inline bool Succeeded(uint32_t result) { return (result & 0xFF) != 0; }

// Throws BoardFailure with the current error state when `result` is false.
void Require(uint32_t result, const std::string &operation, const std::string &note = {});

// What a code means, in words.
std::string MeaningOfLastError(uint16_t code);
std::string MeaningOfDeviceStatus(uint16_t status);
std::string MeaningOfBindError(uint16_t code);

// The failure, in lines for a person (stderr) or as a JSON object for scripts.
std::string DescribeFailure(const BoardFailure &failure);
nlohmann::json FailureToJson(const BoardFailure &failure);

}  // namespace klia
