#include "interface/operation_table.h"

#include "interface/driver_state.h"

namespace mviahlp {

const char *const kSlotNames[kSlotCount] = {
    "KLIAGetInfo",        "KLIAGetCurrentUser", "KLIALogin",          "KLIALogout",
    "KLIAReadUserData",   "KLIAWriteUserData",  "KLIAChangeUserPassword", "KLIAReadData",
    "KLIAWriteData",      "KLIAFlush",          "KLIAFormatDatabase", "KLIASetIaResult",
    "KLIAClearLog",       "KLIAGetWDTimeout",   "KLIASetWDTimeout",   "KLIAGetRTCDateTime",
    "KLIASetRTCDateTime", "KLIAMakeUserXID",
};

OperationAddress OperationTable[kSlotCount] = {};

KLIA_BOOL KLIA_CALL BindDriver(Resolver resolve) {
  DriverState.Present = 1;
  // Every name is asked, even after a null answer.
  for (size_t slot = 0; slot < kSlotCount; ++slot) OperationTable[slot] = resolve(kSlotNames[slot]);
  for (size_t slot = 0; slot < kSlotCount; ++slot) {
    if (OperationTable[slot] == nullptr) {
      DriverState.Present = 0;
      return 0;
    }
  }
  // The probe: a complete information request on a scratch record that nobody reads. It
  // loads the driver's BoardInfo and the cache's transfer length.
  uint8_t scratch[KLIA_INFO_RECORD_SIZE];
  return SlotOperation<GetInfoOperation>(kSlotGetInfo)(scratch);
}

}  // namespace mviahlp
