// Signatures of the driver operations that the interface layer binds by name. The driver
// declares its operations with exactly these types (checked at compile time beside the
// DriverTable), so a slot can be called through its type without a mismatch.
#pragma once

#include <cstdint>

#include "mviahlp.h"

namespace mviahlp {

// What a slot holds: the address of an operation, of whichever signature.
using OperationAddress = void(KLIA_CALL *)();
// The name resolver handed to BindDriver.
using Resolver = OperationAddress(KLIA_CALL *)(const char *name);

using GetInfoOperation = KLIA_BOOL(KLIA_CALL *)(void *record);
using GetCurrentUserOperation = KLIA_BOOL(KLIA_CALL *)(uint16_t *user, uint8_t *flag);
using LoginOperation = KLIA_BOOL(KLIA_CALL *)(const void *first, const void *second, uint8_t unused);
using LogoutOperation = void(KLIA_CALL *)();
using ReadUserDataOperation = KLIA_BOOL(KLIA_CALL *)(uint16_t user, void *record);
using WriteUserDataOperation = KLIA_BOOL(KLIA_CALL *)(uint16_t user, const void *record);
using ChangeUserPasswordOperation = KLIA_BOOL(KLIA_CALL *)(uint16_t user, const void *block);
using ReadDataOperation = KLIA_BOOL(KLIA_CALL *)(uint8_t area, void *data, int32_t offset, uint16_t length,
                                                 uint16_t *done);
using WriteDataOperation = KLIA_BOOL(KLIA_CALL *)(uint8_t area, const void *data, int32_t offset, uint16_t length,
                                                  uint16_t *done);
using FlushOperation = void(KLIA_CALL *)();
using FormatDatabaseOperation = KLIA_BOOL(KLIA_CALL *)(uint16_t check_word, KLIA_PROGRESS_PROC progress);
using SetIaResultOperation = KLIA_BOOL(KLIA_CALL *)(uint8_t kind, const void *record);
using ClearLogOperation = KLIA_BOOL(KLIA_CALL *)();
using SetupAccessToDevicesOperation = uint32_t(KLIA_CALL *)();
using GetWDTimeoutOperation = KLIA_BOOL(KLIA_CALL *)(uint16_t *timeout);
using SetWDTimeoutOperation = KLIA_BOOL(KLIA_CALL *)(uint16_t timeout);
using GetRTCDateTimeOperation = KLIA_BOOL(KLIA_CALL *)(void *record);
using SetRTCDateTimeOperation = KLIA_BOOL(KLIA_CALL *)(const void *record);
using MakeUserXIDOperation = KLIA_BOOL(KLIA_CALL *)(uint16_t length, const void *data, void *xid);

}  // namespace mviahlp
