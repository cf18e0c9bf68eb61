// The exported functions that reach the board driver through the OperationTable, the
// binding export, and the error-state export.
//
// Every forwarding export follows one rule: while the table is not bound it records
// KLIA_ERR_NOT_BOUND in BindError and returns 0 (or nothing), touching no argument and
// sending nothing to the board; once bound it calls its slot with its arguments unchanged.
//
// A null address where the operation must read or write a record or a count is refused
// before the driver is reached: the result is 0, LastError is KLIA_ERR_OUT_OF_RANGE and no
// board command is sent. The null addresses that have a meaning keep it: a null data address
// of KLIAWriteData[Ex] flushes the cache, a null progress procedure means no progress.
#include <cstring>

#include "driver/driver_error.h"
#include "driver/driver_table.h"
#include "interface/driver_state.h"
#include "interface/operation_table.h"
#include "mviahlp.h"
#include "support/day_numbers.h"

using namespace mviahlp;

namespace {

// True, with BindError recorded, while the OperationTable is not bound.
bool Unbound() {
  if (DriverState.Present != 0) return false;
  DriverState.BindError = kErrNotBound;
  return true;
}

// True, with KLIA_ERR_OUT_OF_RANGE recorded, when any of the addresses is null.
template <typename... Addresses>
bool AnyNull(Addresses... addresses) {
  if (((addresses != nullptr) && ...)) return false;
  SetDriverError(kErrOutOfRange);
  return true;
}

// A write that appends a log record never writes the done count.
bool IsLogAppend(uint8_t area, int32_t offset) { return area == KLIA_AREA_LOG && offset == KLIA_APPEND_OFFSET; }

// Result kinds of KLIASetIaResult that read the caller's record.
bool IaResultReadsRecord(uint8_t kind) { return kind == 2 || kind == 4 || kind == 255; }

}  // namespace

extern "C" {

KLIA_EXPORT int32_t KLIA_CALL Today(void) { return LocalDayNumber(); }

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAMakeUserXID(uint16_t length, const void *data, void *xid4) {
  if (Unbound() || AnyNull(xid4) || (length != 0 && AnyNull(data))) return 0;
  return SlotOperation<MakeUserXIDOperation>(kSlotMakeUserXID)(length, data, xid4);
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIASetRTCDateTime(const void *date_time8) {
  if (Unbound() || AnyNull(date_time8)) return 0;
  return SlotOperation<SetRTCDateTimeOperation>(kSlotSetRTCDateTime)(date_time8);
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAGetRTCDateTime(void *date_time8) {
  if (Unbound() || AnyNull(date_time8)) return 0;
  return SlotOperation<GetRTCDateTimeOperation>(kSlotGetRTCDateTime)(date_time8);
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIASetWDTimeout(uint16_t timeout) {
  if (Unbound()) return 0;
  return SlotOperation<SetWDTimeoutOperation>(kSlotSetWDTimeout)(timeout);
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAGetWDTimeout(uint16_t *timeout) {
  if (Unbound() || AnyNull(timeout)) return 0;
  return SlotOperation<GetWDTimeoutOperation>(kSlotGetWDTimeout)(timeout);
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAClearLog(void) {
  if (Unbound()) return 0;
  return SlotOperation<ClearLogOperation>(kSlotClearLog)();
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIASetIaResult(uint8_t kind, const void *record) {
  if (Unbound() || (IaResultReadsRecord(kind) && AnyNull(record))) return 0;
  return SlotOperation<SetIaResultOperation>(kSlotSetIaResult)(kind, record);
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAChangeUserPassword(uint16_t user, const void *block16) {
  if (Unbound() || AnyNull(block16)) return 0;
  return SlotOperation<ChangeUserPasswordOperation>(kSlotChangeUserPassword)(user, block16);
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAFormatDatabase(uint16_t check_word, KLIA_PROGRESS_PROC progress) {
  if (Unbound()) return 0;
  return SlotOperation<FormatDatabaseOperation>(kSlotFormatDatabase)(check_word, progress);
}

KLIA_EXPORT void KLIA_CALL KLIAFlush(void) {
  if (Unbound()) return;
  SlotOperation<FlushOperation>(kSlotFlush)();
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAWriteDataEx(uint8_t area, const void *data, int32_t offset, uint16_t count,
                                                uint16_t *done) {
  if (Unbound() || (data != nullptr && !IsLogAppend(area, offset) && AnyNull(done))) return 0;
  return SlotOperation<WriteDataOperation>(kSlotWriteData)(area, data, offset, count, done);
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAWriteData(uint8_t area, const void *data, uint16_t offset, uint16_t count,
                                              uint16_t *done) {
  if (Unbound() || (data != nullptr && !IsLogAppend(area, offset) && AnyNull(done))) return 0;
  return SlotOperation<WriteDataOperation>(kSlotWriteData)(area, data, static_cast<int32_t>(offset), count, done);
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAReadDataEx(uint8_t area, void *data, int32_t offset, uint16_t count,
                                               uint16_t *done) {
  if (Unbound() || AnyNull(done) || (count != 0 && AnyNull(data))) return 0;
  return SlotOperation<ReadDataOperation>(kSlotReadData)(area, data, offset, count, done);
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAReadData(uint8_t area, void *data, uint16_t offset, uint16_t count,
                                             uint16_t *done) {
  if (Unbound() || AnyNull(done) || (count != 0 && AnyNull(data))) return 0;
  return SlotOperation<ReadDataOperation>(kSlotReadData)(area, data, static_cast<int32_t>(offset), count, done);
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAWriteUserData(uint16_t user, const void *record) {
  if (Unbound() || AnyNull(record)) return 0;
  return SlotOperation<WriteUserDataOperation>(kSlotWriteUserData)(user, record);
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAReadUserData(uint16_t user, void *record) {
  if (Unbound() || AnyNull(record)) return 0;
  return SlotOperation<ReadUserDataOperation>(kSlotReadUserData)(user, record);
}

KLIA_EXPORT void KLIA_CALL KLIALogout(void) {
  if (Unbound()) return;
  SlotOperation<LogoutOperation>(kSlotLogout)();
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIALogin(const void *first8, const void *second8, uint8_t unused) {
  if (Unbound() || AnyNull(first8, second8)) return 0;
  return SlotOperation<LoginOperation>(kSlotLogin)(first8, second8, unused);
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAGetCurrentUser(uint16_t *user, uint8_t *flag) {
  if (Unbound() || AnyNull(user, flag)) return 0;
  return SlotOperation<GetCurrentUserOperation>(kSlotGetCurrentUser)(user, flag);
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAGetInfo(void *info58) {
  if (Unbound() || AnyNull(info58)) return 0;
  // The driver leaves some bytes of the record unwritten; the caller sees zeros there.
  std::memset(info58, 0, KLIA_INFO_RECORD_SIZE);
  return SlotOperation<GetInfoOperation>(kSlotGetInfo)(info58);
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIADriverPresent(void) { return BindDriver(&ResolveOperation); }

KLIA_EXPORT void KLIA_CALL KLIAGetErrorState(uint16_t *bind_error, uint16_t *last_error, uint16_t *device_status) {
  if (bind_error != nullptr) *bind_error = DriverState.BindError;
  if (last_error != nullptr) *last_error = DriverState.LastError;
  if (device_status != nullptr) *device_status = DriverState.DeviceStatus;
}

}  // extern "C"
