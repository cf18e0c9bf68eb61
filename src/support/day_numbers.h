// Day numbers (days since 1 January 1600) and times of day (seconds since midnight).
#pragma once

#include <cstdint>

namespace mviahlp {

// The day number of the current local date; what the export Today returns.
int32_t LocalDayNumber();

}  // namespace mviahlp
