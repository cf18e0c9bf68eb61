#include "support/day_numbers.h"

namespace mviahlp {

// Not built yet.
int32_t LocalDayNumber() { return -1; }

}  // namespace mviahlp
