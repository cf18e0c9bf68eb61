// A refused library operation: the error state read when it is met, and its codes in words.
#include "library/board_failure.h"

#include <cstdio>
#include <span>
#include <string_view>
#include <utility>

#include "error_meanings.h"
#include "library/library_loader.h"
#include "mviahlp.h"
#include "library/spy_in_front.h"

namespace klia {

ErrorState ReadErrorState() {
  ErrorState state;
  state.reported = LibraryReportsErrorState();
  KLIAGetErrorState(&state.bind_error, &state.last_error, &state.device_status);
  return state;
}

BoardFailure::BoardFailure(std::string operation, ErrorState state, std::string note)
    : std::runtime_error(operation + " failed"),
      operation_(std::move(operation)),
      state_(state),
      note_(std::move(note)),
      kept_by_guard_(CallsKeptByGuard()) {}

void Require(uint32_t result, const std::string &operation, const std::string &note) {
  if (!Succeeded(result)) throw BoardFailure(operation, ReadErrorState(), note);
}

namespace {

// The words come from the table shared with the bindings (share/error-meanings.json), which
// also states how they combine.
const char *WordsFor(std::span<const meanings::CodeWords> table, uint16_t code) {
  for (const meanings::CodeWords &entry : table) {
    if (entry.code == code) return entry.words;
  }
  return nullptr;
}

void ReplaceAll(std::string &text, std::string_view placeholder, const std::string &value) {
  for (size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + value.size())) {
    text.replace(at, placeholder.size(), value);
  }
}

std::string BoardStatusWords(uint16_t status) {
  if (const char *words = WordsFor(meanings::kBoardStatusWords, status)) return words;
  char decimal[8];
  char hex[8];
  std::snprintf(decimal, sizeof decimal, "%u", status);
  std::snprintf(hex, sizeof hex, "%02X", status);
  std::string text = meanings::kBoardStatusOther;
  ReplaceAll(text, "{decimal}", decimal);
  ReplaceAll(text, "{hex}", hex);
  return text;
}

}  // namespace

std::string MeaningOfLastError(uint16_t code) {
  if (const char *words = WordsFor(meanings::kLastErrorWords, code)) return words;
  if (code <= 255) return BoardStatusWords(code);
  return meanings::kUnknownCode;
}

std::string MeaningOfDeviceStatus(uint16_t status) {
  if (const char *words = WordsFor(meanings::kDeviceStatusWords, status)) return words;
  return BoardStatusWords(status);
}

std::string MeaningOfBindError(uint16_t code) {
  if (const char *words = WordsFor(meanings::kBindErrorWords, code)) return words;
  return meanings::kUnknownCode;
}

namespace {

std::string GuardWords(const BoardFailure &failure) {
  return "the transport spy's read-only guard kept " + std::to_string(failure.kept_by_guard()) +
         " board command(s) that do not only read from the board: nothing of them was written. To change the "
         "board, take the guard off where it was asked for ('klia info' names the spy; 'klia spy status FOLDER')";
}

}  // namespace

std::string DescribeFailure(const BoardFailure &failure) {
  const ErrorState &s = failure.state();
  char line[256];
  std::string text = "klia: " + failure.operation() + " failed\n";
  if (failure.kept_by_guard() != 0) {
    // The board never saw the command: what the library reports follows from the "no exchange"
    // the guard answered, so it is shown below as the library's, not as the board's word.
    text = "klia: " + failure.operation() + " was stopped by the transport spy's read-only guard\n  " +
           GuardWords(failure) + "\n  (the library reports it as:)\n";
  }
  if (!s.reported) {
    text += "  (the library does not report its error state)\n";
    if (!failure.note().empty()) text += "  " + failure.note() + "\n";
    return text;
  }
  std::snprintf(line, sizeof line, "  LastError     %5u  %s\n", s.last_error, MeaningOfLastError(s.last_error).c_str());
  text += line;
  std::snprintf(line, sizeof line, "  DeviceStatus  %5u  %s\n", s.device_status,
                MeaningOfDeviceStatus(s.device_status).c_str());
  text += line;
  std::snprintf(line, sizeof line, "  BindError     %5u  %s\n", s.bind_error, MeaningOfBindError(s.bind_error).c_str());
  text += line;
  if (!failure.note().empty()) text += "  " + failure.note() + "\n";
  return text;
}

nlohmann::json FailureToJson(const BoardFailure &failure) {
  const ErrorState &s = failure.state();
  const auto guarded = [&failure](nlohmann::json &error) {
    if (failure.kept_by_guard() == 0) return;
    error["stopped_by_guard"] = true;
    error["guard"] = GuardWords(failure);
  };
  if (!s.reported) {
    nlohmann::json error = {{"operation", failure.operation()}, {"error_state_reported", false}};
    if (!failure.note().empty()) error["note"] = failure.note();
    guarded(error);
    return {{"error", error}};
  }
  nlohmann::json error = {
      {"operation", failure.operation()},
      {"last_error", {{"code", s.last_error}, {"meaning", MeaningOfLastError(s.last_error)}}},
      {"device_status", {{"code", s.device_status}, {"meaning", MeaningOfDeviceStatus(s.device_status)}}},
      {"bind_error", {{"code", s.bind_error}, {"meaning", MeaningOfBindError(s.bind_error)}}},
  };
  if (!failure.note().empty()) error["note"] = failure.note();
  guarded(error);
  return {{"error", error}};
}

}  // namespace klia
