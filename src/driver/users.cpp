// Users and logon.
//
// The board keeps the logon state itself; the library holds none. Logging on and off are board
// commands 17 and 18, and the current user is learnt by reading BoardInfo again (command 16),
// so every operation given user number 0 costs one command 16. An explicit user number is
// checked against BoardInfo.UserCount as last read.
//
// User records move whole, 256 bytes at offset 0 of page UserPage(n), with board commands 21
// and 22 straight to the board: the data-area page cache never holds a user page.
#include "board/commands.h"
#include "driver/board_info.h"
#include "driver/driver_error.h"
#include "driver/operations.h"
#include "driver/user_record.h"
#include "interface/driver_state.h"
#include "support/bits.h"

namespace mviahlp {

namespace {

// Logon statuses of board command 17.
constexpr CommandStatus kLogonUnknownStatus = 0x50;
constexpr CommandStatus kLogonRefusedStatus = 0x60;
constexpr CommandStatus kLogonBlockedStatus = 0x61;

constexpr uint8_t kCurrentUserFlagBit = 0x01;
constexpr size_t kLogonBlockSize = 8;
static_assert(2 * kLogonBlockSize == kCredentialBlockSize);

// CredentialBlock: the 16 bytes of board command 17, the first logon block then the second,
// both unchanged.
void BuildCredentialBlock(const void *first, const void *second, uint8_t block[kCredentialBlockSize]) {
  const auto *first_bytes = static_cast<const uint8_t *>(first);
  const auto *second_bytes = static_cast<const uint8_t *>(second);
  for (size_t i = 0; i < kLogonBlockSize; ++i) {
    block[i] = first_bytes[i];
    block[kLogonBlockSize + i] = second_bytes[i];
  }
}

// The logged-on user's number, 0 when nobody is logged on or command 16 failed. Sets LastError
// and DeviceStatus as KLIAGetCurrentUser does.
uint16_t CurrentUserNumber() {
  uint16_t user = 0;
  uint8_t flag = 0;
  return (driver::KLIAGetCurrentUser(&user, &flag) & 0xFF) != 0 ? user : 0;
}

// User number 0 stands for the logged-on user.
uint16_t ResolveUserNumber(uint16_t user) { return user != 0 ? user : CurrentUserNumber(); }

// 1 to UserCount, as BoardInfo last said. A board that claims more users than 16-bit page
// numbers can reach has no page for the surplus: those numbers name nobody, rather than a
// page counted round past 0xFFFF into the fixed pages at the start of memory.
bool IsUserNumber(uint16_t user) {
  return user != 0 && user <= BoardInfo.UserCount && user <= kLastAddressableUser;
}

}  // namespace

namespace driver {

KLIA_BOOL KLIA_CALL KLIAGetCurrentUser(uint16_t *user, uint8_t *flag) {
  *user = 0;
  *flag = 0;
  const CommandStatus status = RefreshBoardInfo();
  DriverState.LastError = status;
  DriverState.DeviceStatus = status;
  // A failed read keeps the last good BoardInfo, and that picture is still reported.
  if (BoardInfo.State == kStateUserLoggedOn) {
    *user = BoardInfo.CurrentUser;
    *flag = TestBits(BoardInfo.CurrentUserFlags, kCurrentUserFlagBit) ? 1 : 0;
  }
  return DriverState.LastError == 0 ? 1 : 0;
}

KLIA_BOOL KLIA_CALL KLIALogin(const void *first, const void *second, uint8_t /*unused*/) {
  uint8_t block[kCredentialBlockSize];
  BuildCredentialBlock(first, second, block);
  const CommandStatus status = BoardLogin(block);
  switch (status) {
    case 0: SetDriverError(0); break;
    case kLogonUnknownStatus: SetDriverError(kErrLogonUnknown); break;
    case kLogonRefusedStatus: SetDriverError(kErrLogonRefused); break;
    case kLogonBlockedStatus: SetDriverError(kErrLogonBlocked); break;
    // Any other refusal, a failed transport (255) included, is recorded as the board's raw
    // status, so that a failed logon never leaves LastError at 0 or at an older code.
    default: SetDriverError(status); break;
  }
  DriverState.DeviceStatus = status;
  return status == 0 ? 1 : 0;
}

void KLIA_CALL KLIALogout() {
  SetDriverError(0);
  // The board ends the logon, or there was none; its answer changes nothing for the caller.
  (void)BoardLogout();
}

KLIA_BOOL KLIA_CALL KLIAReadUserData(uint16_t user, void *record) {
  user = ResolveUserNumber(user);
  if (!IsUserNumber(user)) {
    SetDriverError(kErrOutOfRange);
    return 0;
  }
  uint8_t device[kDeviceUserRecordSize];
  const CommandStatus status = BoardReadMemory(UserPage(user), 0, kDeviceUserRecordSize, device);
  DriverState.DeviceStatus = status;
  if (status != 0) {
    SetDriverError(kErrPageFailed);
    return 0;
  }
  UnpackUserRecord(device, static_cast<uint8_t *>(record));
  SetDriverError(0);
  return 1;
}

KLIA_BOOL KLIA_CALL KLIAWriteUserData(uint16_t user, const void *record) {
  user = ResolveUserNumber(user);
  if (!IsUserNumber(user)) {
    SetDriverError(kErrOutOfRange);
    return 0;
  }
  uint8_t device[kDeviceUserRecordSize];
  PackUserRecord(static_cast<const uint8_t *>(record), device);
  const CommandStatus status = BoardWriteMemory(UserPage(user), 0, kDeviceUserRecordSize, device);
  DriverState.DeviceStatus = status;
  if (status != 0) {
    SetDriverError(kErrWriteFailed);
    return 0;
  }
  SetDriverError(0);
  return 1;
}

KLIA_BOOL KLIA_CALL KLIAChangeUserPassword(uint16_t user, const void *block) {
  // The user number is not sent: it only decides whether the board is asked at all.
  user = ResolveUserNumber(user);
  if (!IsUserNumber(user)) {
    SetDriverError(kErrLogonUnknown);
    return 0;
  }
  SetDriverError(BoardChangePassword(static_cast<const uint8_t *>(block)));
  return DriverState.LastError == 0 ? 1 : 0;
}

}  // namespace driver
}  // namespace mviahlp
