// BoardInfo: the board's 51-byte information block (board command 16), kept by the driver as
// its picture of the board's geometry and state between calls.
#pragma once

#include <cstdint>

#include "board/commands.h"

namespace mviahlp {

// Field offsets in the 51-byte block. Bytes 2-15, 20-24, 30-31 and 43 are not used.
namespace board_info {
inline constexpr int kVersion = 0;            // u16
inline constexpr int kUserCount = 16;         // u16
inline constexpr int kPageCount = 18;         // u16
inline constexpr int kState = 25;             // u8
inline constexpr int kErrorPage = 26;         // u16
inline constexpr int kCurrentUser = 28;       // u16
inline constexpr int kCurrentUserFlags = 32;  // u8
inline constexpr int kLogPage = 33;           // u16
inline constexpr int kLogOffset = 35;         // u16
inline constexpr int kLogFirstPage = 37;      // u16
inline constexpr int kLogPageCount = 39;      // u16
inline constexpr int kDataPageCount = 41;     // u16
inline constexpr int kExtInfo = 44;           // u32
inline constexpr int kBoardDeviceCount = 48;  // u8
inline constexpr int kPageSize = 49;          // u16
static_assert(kPageSize + 2 == kBoardInfoSize);
}  // namespace board_info

// Board states the driver tests.
inline constexpr uint8_t kStateDatabaseReady = 2;
inline constexpr uint8_t kStateUserLoggedOn = 4;
// From this board version on the board reports its page length and device count.
inline constexpr uint16_t kVersionWithPageSize = 0x123;
// LogPage value meaning that the board reports no log position.
inline constexpr uint16_t kNoLogPage = 0xFFFF;

struct BoardInfoRecord {
  uint16_t Version;
  uint16_t UserCount;
  uint16_t PageCount;
  uint8_t State;
  uint16_t ErrorPage;
  uint16_t CurrentUser;
  uint8_t CurrentUserFlags;
  uint16_t LogPage;
  uint16_t LogOffset;
  uint16_t LogFirstPage;
  uint16_t LogPageCount;
  uint16_t DataPageCount;
  uint32_t ExtInfo;
  uint8_t BoardDeviceCount;
  uint16_t PageSize;
};

BoardInfoRecord DecodeBoardInfo(const uint8_t raw[kBoardInfoSize]);

// The driver's copy; all zero at load.
extern BoardInfoRecord BoardInfo;

// Number of devices of the device-access sequence; reported by KLIAGetInfo for boards older
// than version 0x123. 0 at load.
extern uint8_t DeviceCount;

// Issues board command 16 into a scratch block and keeps it in BoardInfo only when the board
// answered status 0, so that a failed read never leaves a half-written picture of the board:
// later operations go on with the last good one. Returns the status.
CommandStatus RefreshBoardInfo();

}  // namespace mviahlp
