// Whether the board transport the loaded interface library uses is the transport spy, for
// klia info: a spy left in front of a transport is said wherever klia runs through it.
//
// The transport is found among the process's loaded modules (HWLINK32.DLL; natively
// libhwlink32.so) and read from its file: the spy is told by what it announces when loaded.
// When klia put it there, klia's record klia-spy.json lies beside it and says since when and
// where the traces go.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace klia {

struct SpyInFront {
  std::string file;       // the spy's file
  std::string version;    // the spy's version, "" when it does not say
  // What the spy in this process applies, as it says itself: its read-only guard on or off
  // (nothing when the spy is too old to say).
  std::optional<bool> guard_on;
  std::string guard_reason;  // why, by the spy's own rules: its settings file and the environment
  bool by_klia = false;   // klia's record is beside it
  std::string since, trace, transport, guard;  // from klia's record
  std::string remove;     // the command that takes it out
};

// Call after the interface library is loaded. Nothing when the transport is not the spy (or
// none is loaded).
std::optional<SpyInFront> FindSpyInFront();

// How many calls the transport spy in this process has kept from the board with its read-only
// guard (0 when the transport is not the spy).
uint32_t CallsKeptByGuard();

std::string SpyInFrontText(const SpyInFront &spy);
nlohmann::json SpyInFrontJson(const SpyInFront &spy);

}  // namespace klia
