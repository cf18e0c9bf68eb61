// What the spy needs from the system: its own folder, the program's folder, loading the real
// transport, and saying something to the person.
#pragma once

#include <cstdint>
#include <string>

#include "board/hwlink.h"

namespace spy {

using TransferFunction = uint32_t(KLIA_CALL *)(uint8_t, uint8_t, const void *, uint8_t, const void *, uint8_t, void *,
                                               uint8_t *, uint8_t *);
using TransferExFunction = uint32_t(KLIA_CALL *)(uint8_t, uint8_t, const void *, uint16_t, const void *, uint16_t,
                                                 void *, uint8_t *, uint8_t *);

struct Target {
  TransferFunction transfer = nullptr;
  TransferExFunction transfer_ex = nullptr;
  std::string path;  // the file that was loaded
};

// The folder of the spy library itself ("" when it cannot be told).
std::string SpyFolder();

// Loads the real transport named by `target`: a full path as it is; a bare file name from
// the program's folder, then the system's library folders (never the current folder).
// Refuses a target that turns out to be this spy. On failure `error` says why.
bool LoadTarget(const std::string &target, Target &loaded, std::string &error);

// A line for the person: on stderr, and on Windows also to the debugger.
void Say(const std::string &line);

}  // namespace spy
