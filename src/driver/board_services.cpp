// Clock, watchdog, log and access-control commands: driver operations that each wrap one
// board command (or, for the access sequence, one command per device).
//
// Error state. These operations do not all treat it alike, and callers rely on the
// differences:
//  - KLIAClearLog and KLIASetupAccessToDevices leave LastError and DeviceStatus untouched.
//  - The watchdog and user-XID operations clear the error state first and then store the
//    board's raw status (1-255) in LastError; DeviceStatus stays 0.
//  - KLIAGetRTCDateTime and KLIASetRTCDateTime do not clear it first; a refusal stores the
//    raw status through SetDriverError, so DeviceStatus keeps the previous operation's value.
//  - KLIASetIaResult clears it first; a refused board command 13 stores the raw status.
#include "driver/board_services.h"

#include "board/commands.h"
#include "driver/board_info.h"
#include "driver/driver_error.h"
#include "driver/operations.h"
#include "interface/driver_state.h"
#include "mviahlp.h"
#include "support/bcd.h"
#include "support/bytes.h"
#include "support/day_numbers.h"

namespace mviahlp {

uint8_t DeviceAccessMask = 0;
uint8_t DeviceAccessClosing = 0;

namespace {

static_assert(KLIA_DATETIME_DAY_NUMBER + 4 == KLIA_DATETIME_TIME_OF_DAY);
static_assert(KLIA_DATETIME_TIME_OF_DAY + 4 == KLIA_DATETIME_RECORD_SIZE);
static_assert(KLIA_USER_NAME + kIaResultNameLength == KLIA_USER_NAME2);
static_assert(kIaResultFullLength <= KLIA_USER_ACCESS_WORD);

// The board's clock counts years within the century from 2000.
constexpr int32_t kClockCentury = 2000;
constexpr uint16_t kUserXidDataMax = 255;

// DateTimeRecord: DayNumber then TimeOfDay, both signed 32-bit little-endian.
void PutDateTime(uint8_t *record, int32_t day_number, int32_t time_of_day) {
  put_le32(record + KLIA_DATETIME_DAY_NUMBER, static_cast<uint32_t>(day_number));
  put_le32(record + KLIA_DATETIME_TIME_OF_DAY, static_cast<uint32_t>(time_of_day));
}

void GetDateTime(const uint8_t *record, int32_t &day_number, int32_t &time_of_day) {
  day_number = static_cast<int32_t>(get_le32(record + KLIA_DATETIME_DAY_NUMBER));
  time_of_day = static_cast<int32_t>(get_le32(record + KLIA_DATETIME_TIME_OF_DAY));
}

// The clock's year byte: 0x00-0x99 for 2000-2099. Any other year is sent as 0xFF, which is
// no BCD number: taking the low 8 bits of year - 2000 would wrap years such as 1744 or 2256
// onto a valid year byte and set the board's clock to the wrong century without a sign.
uint8_t ClockYearByte(int32_t year) {
  const int32_t in_century = year - kClockCentury;
  if (in_century < 0 || in_century > 99) return kBadBcd;
  return NumberToBcd(static_cast<uint8_t>(in_century));
}

}  // namespace

namespace driver {

KLIA_BOOL KLIA_CALL KLIASetIaResult(uint8_t kind, const void *record) {
  SetDriverError(0);
  const auto *bytes = static_cast<const uint8_t *>(record);
  CommandStatus status = 0;
  switch (kind) {
    case kIaResultKindFull:
      status = BoardSetIaResult(kind, kIaResultFullLength, bytes);
      break;
    case kIaResultKindName:
      status = BoardSetIaResult(kind, kIaResultNameLength, bytes + KLIA_USER_NAME);
      break;
    case kIaResultKindAccess:
      // The user record's DeviceAccessWord: the device mask in its low byte, the closing flag
      // in its high byte. Nothing goes to the board until the access sequence is sent.
      DeviceAccessMask = bytes[KLIA_USER_ACCESS_WORD];
      DeviceAccessClosing = bytes[KLIA_USER_ACCESS_WORD + 1];
      SetDriverError(0);
      break;
    default:
      break;
  }
  // A refused result is reported with the board's own status, as the watchdog and user-XID
  // operations report theirs.
  if (status != 0) DriverState.LastError = status;
  return DriverState.LastError == 0 ? 1 : 0;
}

KLIA_BOOL KLIA_CALL KLIAClearLog() { return BoardClearLog() == 0 ? 1 : 0; }

uint32_t KLIA_CALL KLIASetupAccessToDevices() {
  // One board command 6 per device, in increasing order. A refusal does not stop the
  // sequence: every device gets its byte, and the result is the last device's status (0 when
  // there is no device, so nothing is sent).
  CommandStatus status = 0;
  for (uint32_t device = 0; device < DeviceCount; ++device) {
    uint8_t access = static_cast<uint8_t>(device);
    if (device < 8 && (DeviceAccessMask & (1u << device)) != 0) access |= kDeviceHasAccess;
    if (DeviceAccessClosing != 0 && device + 1 == DeviceCount) access |= kDeviceClosesSequence;
    status = BoardSetDeviceAccess(access);
  }
  return status;
}

KLIA_BOOL KLIA_CALL KLIAGetWDTimeout(uint16_t *timeout) {
  SetDriverError(0);
  DriverState.LastError = BoardGetWatchdog(timeout);
  return DriverState.LastError == 0 ? 1 : 0;
}

KLIA_BOOL KLIA_CALL KLIASetWDTimeout(uint16_t timeout) {
  SetDriverError(0);
  DriverState.LastError = BoardSetWatchdog(timeout);
  return DriverState.LastError == 0 ? 1 : 0;
}

KLIA_BOOL KLIA_CALL KLIAGetRTCDateTime(void *record) {
  auto *bytes = static_cast<uint8_t *>(record);
  uint8_t hour = 0, minute = 0, second = 0, day = 0, month = 0, year = 0;
  const CommandStatus status = BoardGetClock(hour, minute, second, day, month, year);
  if (status != 0) {
    PutDateTime(bytes, kNoDayNumber, kNoTimeOfDay);
    SetDriverError(status);
    return 0;
  }
  // A byte that is not BCD becomes 255: as a day or month it makes the date invalid (-1); as
  // a time field it is taken into the time of day as it stands. A year byte that is not BCD
  // (such as the 0xFF sent for a year outside 2000-2099) gives no date either: 2000 + 255
  // would be a valid year, and the caller would get a date the board never held.
  const uint8_t year_in_century = BcdToNumber(year);
  const int32_t day_number = year_in_century == kBadBcd
                                 ? kNoDayNumber
                                 : DayNumberOf(BcdToNumber(day), BcdToNumber(month), kClockCentury + year_in_century);
  const int32_t time_of_day = SecondsOfDay(BcdToNumber(hour), BcdToNumber(minute), BcdToNumber(second));
  PutDateTime(bytes, day_number, time_of_day);
  SetDriverError(0);
  return 1;
}

KLIA_BOOL KLIA_CALL KLIASetRTCDateTime(const void *record) {
  int32_t day_number = 0, time_of_day = 0;
  GetDateTime(static_cast<const uint8_t *>(record), day_number, time_of_day);
  int32_t day = 0, month = 0, year = 0;
  SplitDayNumber(day_number, day, month, year);
  uint8_t hour = 0, minute = 0, second = 0;
  SplitSeconds(time_of_day, hour, minute, second);
  const CommandStatus status =
      BoardSetClock(NumberToBcd(hour), NumberToBcd(minute), NumberToBcd(second), NumberToBcd(static_cast<uint8_t>(day)),
                    NumberToBcd(static_cast<uint8_t>(month)), ClockYearByte(year));
  SetDriverError(status);
  return status == 0 ? 1 : 0;
}

KLIA_BOOL KLIA_CALL KLIAMakeUserXID(uint16_t length, const void *data, void *xid) {
  SetDriverError(0);
  // The board takes the length as a 16-bit number but the data through an 8-bit length: a
  // longer request would send the board a length that does not match its data.
  if (length > kUserXidDataMax) {
    SetDriverError(kErrOutOfRange);
    return 0;
  }
  DriverState.LastError =
      BoardMakeUserXid(length, static_cast<const uint8_t *>(data), static_cast<uint8_t *>(xid));
  return DriverState.LastError == 0 ? 1 : 0;
}

}  // namespace driver
}  // namespace mviahlp
