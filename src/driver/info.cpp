#include "driver/info.h"

#include "board/commands.h"
#include "driver/board_info.h"
#include "driver/operations.h"
#include "driver/page_cache.h"
#include "interface/driver_state.h"
#include "mviahlp.h"
#include "support/bits.h"
#include "support/bytes.h"

namespace mviahlp {

namespace {

// "AVR" at the end; read as LE numbers 0xAAAA800A, 0x2DA4E0AE, 0x5641, 0x52.
constexpr uint8_t kSignature[KLIA_INFO_SIGNATURE_SIZE] = {0x0A, 0x80, 0xAA, 0xAA, 0xAE, 0xE0,
                                                          0xA4, 0x2D, 0x41, 0x56, 0x52};
constexpr uint8_t kInfoByte30 = 0xFF;
constexpr uint16_t kInfoWord34 = 128;
constexpr uint16_t kOldBoardCacheLength = 256;

}  // namespace

uint16_t ReadCheckWord() {
  uint8_t block[kCheckWordSize];
  if (BoardReadMemory(kCheckWordPage, 0, kCheckWordSize, block) != 0) return kCheckWordUnreadable;
  const uint16_t value = get_le16(block);
  const uint16_t complement = get_le16(block + 2);
  return (value ^ complement) == kCheckWordComplement ? value : 0;
}

bool WriteCheckWord(uint16_t value) {
  uint8_t block[kCheckWordSize];
  put_le16(block, value);
  put_le16(block + 2, static_cast<uint16_t>(value ^ kCheckWordComplement));
  return BoardWriteMemory(kCheckWordPage, 0, kCheckWordSize, block) == 0;
}

uint8_t ClassifyState() {
  if (ReadCheckWord() == 0) return 1;
  return BoardInfo.State <= 4 ? BoardInfo.State : 1;
}

LogUsage LogUsedSize() {
  if (BoardInfo.LogPage == kNoLogPage) return {false, 0};
  const int32_t pages = static_cast<int32_t>(BoardInfo.LogPage) - static_cast<int32_t>(BoardInfo.LogFirstPage);
  // (LogPage - LogFirstPage) * PageSize + LogOffset in signed 32 bits; the product can leave
  // the signed range only for a board reporting nonsense, where it wraps as the board's own
  // arithmetic would.
  const uint32_t size = static_cast<uint32_t>(pages) * BoardInfo.PageSize + BoardInfo.LogOffset;
  return {true, static_cast<int32_t>(size)};
}

void PutSizePair(uint8_t *record, int offset16, int offset32, int32_t size) {
  if (size <= KLIA_SIZE_PAIR_LIMIT) {
    put_le16(record + offset16, static_cast<uint16_t>(size));
    put_le32(record + offset32, 0);
  } else {
    put_le16(record + offset16, 0);
    put_le32(record + offset32, static_cast<uint32_t>(size));
  }
}

namespace driver {

KLIA_BOOL KLIA_CALL KLIAGetInfo(void *record_address) {
  auto *record = static_cast<uint8_t *>(record_address);
  const CommandStatus status = RefreshBoardInfo();
  DriverState.LastError = status;
  if (status != 0) {
    DriverState.DeviceStatus = status;
    return 0;
  }

  for (int i = 0; i < KLIA_INFO_SIGNATURE_SIZE; ++i) record[KLIA_INFO_SIGNATURE + i] = kSignature[i];
  put_le16(record + KLIA_INFO_CHECK_WORD, ReadCheckWord());
  record[KLIA_INFO_STATE_CLASS] = ClassifyState();

  uint16_t current_user = BoardInfo.CurrentUser;
  if (TestBits(BoardInfo.CurrentUserFlags, 0x01)) SetWordBits(current_user, 0x8000);
  put_le16(record + KLIA_INFO_CURRENT_USER, current_user);
  put_le16(record + KLIA_INFO_USER_COUNT, BoardInfo.UserCount);

  record[KLIA_INFO_BYTE30] = kInfoByte30;
  record[KLIA_INFO_DEVICES] = DeviceCount;
  put_le16(record + KLIA_INFO_WORD34, kInfoWord34);

  // Products of two unsigned 16-bit numbers, at most 0xFFFE0001: taken as signed 32 bits.
  const auto area_size = [](uint16_t pages) {
    return static_cast<int32_t>(static_cast<uint32_t>(pages) * BoardInfo.PageSize);
  };
  PutSizePair(record, KLIA_INFO_DATA_AREA_SIZE, KLIA_INFO_DATA_AREA_SIZE_EX, area_size(BoardInfo.DataPageCount));
  PutSizePair(record, KLIA_INFO_LOG_AREA_SIZE, KLIA_INFO_LOG_AREA_SIZE_EX, area_size(BoardInfo.LogPageCount));

  const LogUsage used = LogUsedSize();
  if (used.known) {
    PutSizePair(record, KLIA_INFO_LOG_USED, KLIA_INFO_LOG_USED_EX, used.size);
  } else {
    put_le16(record + KLIA_INFO_LOG_USED, get_le16(record + KLIA_INFO_LOG_AREA_SIZE));
    put_le32(record + KLIA_INFO_LOG_USED_EX, get_le32(record + KLIA_INFO_LOG_AREA_SIZE_EX));
  }

  put_le16(record + KLIA_INFO_EXT_LOW, LowByteOf(BoardInfo.ExtInfo));
  PageCache.CacheLength = kOldBoardCacheLength;
  if (BoardInfo.Version >= kVersionWithPageSize) {
    record[KLIA_INFO_DEVICES] = BoardInfo.BoardDeviceCount;
    put_le16(record + KLIA_INFO_EXT_HIGH, HighByteOf(static_cast<uint16_t>(BoardInfo.ExtInfo)));
    PageCache.CacheLength = BoardInfo.PageSize;
  }
  put_le16(record + KLIA_INFO_VERSION, BoardInfo.Version);
  return 1;
}

}  // namespace driver
}  // namespace mviahlp
