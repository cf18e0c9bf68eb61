// What klia compare shares with klia probe.
#pragma once

#include <cstdint>
#include <string>

namespace klia {

// The pages read from the start of each data area, --pages: 1-65535, or "all" (0). Throws
// UsageError.
uint16_t ParseProbePages(const std::string &text);

}  // namespace klia
