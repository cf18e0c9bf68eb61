// Clock, watchdog, log and access-control commands. Not built yet: every operation refuses
// and sends nothing.
#include "driver/operations.h"

namespace mviahlp::driver {

KLIA_BOOL KLIA_CALL KLIASetIaResult(uint8_t, const void *) { return 0; }
KLIA_BOOL KLIA_CALL KLIAClearLog() { return 0; }
uint32_t KLIA_CALL KLIASetupAccessToDevices() { return 0; }
KLIA_BOOL KLIA_CALL KLIAGetWDTimeout(uint16_t *) { return 0; }
KLIA_BOOL KLIA_CALL KLIASetWDTimeout(uint16_t) { return 0; }
KLIA_BOOL KLIA_CALL KLIAGetRTCDateTime(void *) { return 0; }
KLIA_BOOL KLIA_CALL KLIASetRTCDateTime(const void *) { return 0; }
KLIA_BOOL KLIA_CALL KLIAMakeUserXID(uint16_t, const void *, void *) { return 0; }

}  // namespace mviahlp::driver
