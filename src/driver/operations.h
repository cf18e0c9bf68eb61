// The nineteen driver operations, reached by the interface layer through the DriverTable.
// Each has exactly the signature of its slot type (interface/operation_types.h).
#pragma once

#include <cstdint>

#include "mviahlp.h"

namespace mviahlp::driver {

// Information (driver/info.cpp)
KLIA_BOOL KLIA_CALL KLIAGetInfo(void *record);
// Users and logon (driver/users.cpp)
KLIA_BOOL KLIA_CALL KLIAGetCurrentUser(uint16_t *user, uint8_t *flag);
KLIA_BOOL KLIA_CALL KLIALogin(const void *first, const void *second, uint8_t unused);
void KLIA_CALL KLIALogout();
KLIA_BOOL KLIA_CALL KLIAReadUserData(uint16_t user, void *record);
KLIA_BOOL KLIA_CALL KLIAWriteUserData(uint16_t user, const void *record);
KLIA_BOOL KLIA_CALL KLIAChangeUserPassword(uint16_t user, const void *block);
// Data areas and page cache (driver/data_areas.cpp)
KLIA_BOOL KLIA_CALL KLIAReadData(uint8_t area, void *data, int32_t offset, uint16_t length, uint16_t *done);
KLIA_BOOL KLIA_CALL KLIAWriteData(uint8_t area, const void *data, int32_t offset, uint16_t length, uint16_t *done);
void KLIA_CALL KLIAFlush();
// Formatting (driver/formatting.cpp)
KLIA_BOOL KLIA_CALL KLIAFormatDatabase(uint16_t check_word, KLIA_PROGRESS_PROC progress);
// Clock, watchdog, log and access control (driver/board_services.cpp)
KLIA_BOOL KLIA_CALL KLIASetIaResult(uint8_t kind, const void *record);
KLIA_BOOL KLIA_CALL KLIAClearLog();
uint32_t KLIA_CALL KLIASetupAccessToDevices();
KLIA_BOOL KLIA_CALL KLIAGetWDTimeout(uint16_t *timeout);
KLIA_BOOL KLIA_CALL KLIASetWDTimeout(uint16_t timeout);
KLIA_BOOL KLIA_CALL KLIAGetRTCDateTime(void *record);
KLIA_BOOL KLIA_CALL KLIASetRTCDateTime(const void *record);
KLIA_BOOL KLIA_CALL KLIAMakeUserXID(uint16_t length, const void *data, void *xid);

}  // namespace mviahlp::driver
