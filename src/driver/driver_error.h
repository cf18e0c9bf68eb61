#pragma once

#include <cstdint>

namespace mviahlp {

// The driver's setter of LastError: a code of 0 also clears DeviceStatus; a nonzero code
// leaves DeviceStatus as it was.
void SetDriverError(uint16_t code);

}  // namespace mviahlp
