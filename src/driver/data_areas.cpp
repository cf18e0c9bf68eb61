// Data areas and the page cache. Not built yet: every operation refuses and sends nothing.
#include "driver/operations.h"

namespace mviahlp::driver {

KLIA_BOOL KLIA_CALL KLIAReadData(uint8_t, void *, int32_t, uint16_t, uint16_t *) { return 0; }
KLIA_BOOL KLIA_CALL KLIAWriteData(uint8_t, const void *, int32_t, uint16_t, uint16_t *) { return 0; }
void KLIA_CALL KLIAFlush() {}

}  // namespace mviahlp::driver
