// Database formatting. Not built yet: refuses and sends nothing.
#include "driver/operations.h"

namespace mviahlp::driver {

KLIA_BOOL KLIA_CALL KLIAFormatDatabase(uint16_t, KLIA_PROGRESS_PROC) { return 0; }

}  // namespace mviahlp::driver
