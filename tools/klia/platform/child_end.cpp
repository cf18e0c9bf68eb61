// How a child process ended, in words and as JSON: the same on every system, from the fields
// that each system's RunChild fills in (platform/posix/process.cpp, platform/windows/process.cpp).
#include <csignal>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "platform/platform.h"

namespace klia {
namespace {

std::string Hex32(uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", code);
  return text;
}

}  // namespace

// On Windows no signal ends a child (`signal` stays 0): only its exit status says Ctrl-C.
bool ChildEnd::Interrupted() const {
  return (exited && status == kExitInterrupted) || (!exited && signal == SIGINT);
}

std::string ChildEnd::Words() const {
  if (!started) return "could not be started";
  if (exited) return "exited with status " + std::to_string(status);
  if (exception != 0) return "crashed (exception " + Hex32(exception) + ")";
  if (signal == SIGABRT) return "aborted (SIGABRT)";
  return (crashed ? "crashed (" : "was ended by ") + SignalName(signal) + (crashed ? ")" : "");
}

nlohmann::json ChildEnd::Json() const {
  if (!started) return {{"started", false}};
  if (exited) return {{"exit_status", status}};
  if (exception != 0) return {{"exception", Hex32(exception)}, {"crashed", true}};
  return {{"signal", SignalName(signal)}, {"crashed", crashed}};
}

}  // namespace klia
