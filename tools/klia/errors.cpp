#include "errors.h"

#include <cstdio>
#include <utility>

#include "mviahlp.h"

namespace klia {

ErrorState ReadErrorState() {
  ErrorState state;
  KLIAGetErrorState(&state.bind_error, &state.last_error, &state.device_status);
  return state;
}

BoardFailure::BoardFailure(std::string operation, ErrorState state, std::string note)
    : std::runtime_error(operation + " failed"),
      operation_(std::move(operation)),
      state_(state),
      note_(std::move(note)) {}

void Require(uint32_t result, const std::string &operation, const std::string &note) {
  if (!Succeeded(result)) throw BoardFailure(operation, ReadErrorState(), note);
}

namespace {

std::string BoardStatusWords(uint16_t status) {
  char text[96];
  if (status == KLIA_STATUS_TRANSPORT_FAILED) {
    return "the transport call failed: no exchange with the board took place";
  }
  switch (status) {
    case 0x50: return "board status 0x50: the board knows no such user";
    case 0x60: return "board status 0x60: the board refused the logon or password block";
    case 0x61: return "board status 0x61: the board blocks the logon (a user is already logged on)";
    default: break;
  }
  std::snprintf(text, sizeof text, "board status %u (0x%02X), the board's own code", status, status);
  return text;
}

}  // namespace

std::string MeaningOfLastError(uint16_t code) {
  switch (code) {
    case 0: return "no error";
    case KLIA_ERR_LOGON_UNKNOWN: return "logon unknown: the board knows no such user, or no such user number";
    case KLIA_ERR_LOGON_REFUSED: return "logon refused by the board";
    case KLIA_ERR_OUT_OF_RANGE: return "out of range: no such user number, or the request lies outside its area";
    case KLIA_ERR_PAGE_FAILED: return "the board refused a page read or write";
    case KLIA_ERR_WRITE_FAILED: return "a user write or a formatting step failed";
    case KLIA_ERR_LOGON_BLOCKED: return "logon blocked by the board";
    default: break;
  }
  if (code <= 255) return BoardStatusWords(code);
  return "unknown code";
}

std::string MeaningOfDeviceStatus(uint16_t status) {
  if (status == 0) return "no board status recorded";
  return BoardStatusWords(status);
}

std::string MeaningOfBindError(uint16_t code) {
  if (code == 0) return "bound";
  if (code == KLIA_ERR_NOT_BOUND) return "not bound: a function was called before the library was bound";
  return "unknown code";
}

std::string DescribeFailure(const BoardFailure &failure) {
  const ErrorState &s = failure.state();
  char line[256];
  std::string text = "klia: " + failure.operation() + " failed\n";
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
  nlohmann::json error = {
      {"operation", failure.operation()},
      {"last_error", {{"code", s.last_error}, {"meaning", MeaningOfLastError(s.last_error)}}},
      {"device_status", {{"code", s.device_status}, {"meaning", MeaningOfDeviceStatus(s.device_status)}}},
      {"bind_error", {{"code", s.bind_error}, {"meaning", MeaningOfBindError(s.bind_error)}}},
  };
  if (!failure.note().empty()) error["note"] = failure.note();
  return {{"error", error}};
}

}  // namespace klia
