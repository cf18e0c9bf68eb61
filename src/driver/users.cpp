// Users and logon. Not built yet: every operation refuses and sends nothing.
#include "driver/operations.h"

namespace mviahlp::driver {

KLIA_BOOL KLIA_CALL KLIAGetCurrentUser(uint16_t *, uint8_t *) { return 0; }
KLIA_BOOL KLIA_CALL KLIALogin(const void *, const void *, uint8_t) { return 0; }
void KLIA_CALL KLIALogout() {}
KLIA_BOOL KLIA_CALL KLIAReadUserData(uint16_t, void *) { return 0; }
KLIA_BOOL KLIA_CALL KLIAWriteUserData(uint16_t, const void *) { return 0; }
KLIA_BOOL KLIA_CALL KLIAChangeUserPassword(uint16_t, const void *) { return 0; }

}  // namespace mviahlp::driver
