// A library operation the library refused, with the library's error state (KLIAGetErrorState)
// and what the codes mean in words, for a person (stderr) or as JSON. The state is read when
// the failure is met, together with how many calls the transport spy's read-only guard had kept
// from the board, so that a refusal the guard caused is told as such.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "shell/errors.h"

namespace klia {

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
