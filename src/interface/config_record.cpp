// The configuration record and the hardware step, kept in data areas 0 and 5. Both are built
// on the exported data-area functions, so they follow the not-bound rule and go through the
// page cache like any caller: a write changes only its own bytes of the cached page and is
// flushed before the export returns.
#include "interface/config_record.h"

#include <cstring>

#include "driver/driver_error.h"
#include "interface/driver_state.h"
#include "mviahlp.h"
#include "support/bits.h"
#include "support/bytes.h"

namespace mviahlp {

uint8_t OneWireCrc8(const uint8_t *data, size_t count) {
  uint8_t crc = 0;
  for (size_t i = 0; i < count; ++i) {
    uint8_t byte = data[i];
    for (int bit = 0; bit < 8; ++bit) {
      const bool mix = ((crc ^ byte) & 0x01) != 0;
      crc = static_cast<uint8_t>(crc >> 1);
      if (mix) crc = static_cast<uint8_t>(crc ^ 0x8C);
      byte = static_cast<uint8_t>(byte >> 1);
    }
  }
  return crc;
}

bool AllBytesEqual(const uint8_t *data, size_t count, uint8_t value) {
  for (size_t i = 0; i < count; ++i) {
    if (data[i] != value) return false;
  }
  return true;
}

void PackConfigRecord(const uint8_t *config, uint8_t stored[device_config::kSize]) {
  using namespace device_config;
  stored[kInvertedByte0] = static_cast<uint8_t>(~config[KLIA_CONFIG_BYTE0]);

  stored[kFlagBits] = 0;
  if (config[KLIA_CONFIG_FLAG1] != 0) SetBits(stored[kFlagBits], kFlag1Bit);
  if (config[KLIA_CONFIG_FLAG11] != 0) SetBits(stored[kFlagBits], kFlag11Bit);

  // A 255 is stored as given; only reading turns it into 20.
  stored[kByte2] = config[KLIA_CONFIG_BYTE2];
  stored[kByte3] = config[KLIA_CONFIG_BYTE3];
  stored[kByte4] = config[KLIA_CONFIG_BYTE4];

  // Bits 4-7 keep the 0xFF the record was filled with.
  const auto put_flag = [&](int field, uint8_t bit) {
    if (config[field] != 0) {
      SetBits(stored[kFlagNibble], bit);
    } else {
      ClearBits(stored[kFlagNibble], bit);
    }
  };
  put_flag(KLIA_CONFIG_FLAG5, kFlag5Bit);
  put_flag(KLIA_CONFIG_FLAG6, kFlag6Bit);
  put_flag(KLIA_CONFIG_FLAG7, kFlag7Bit);
  put_flag(KLIA_CONFIG_FLAG8, kFlag8Bit);

  put_le16(stored + kWord9, get_le16(config + KLIA_CONFIG_WORD9));
  stored[kByte12] = config[KLIA_CONFIG_BYTE12];
  stored[kByte13] = config[KLIA_CONFIG_BYTE13];
}

void UnpackConfigRecord(const uint8_t stored[device_config::kSize], uint8_t *config) {
  using namespace device_config;
  // Erased bytes (255) read as 20.
  constexpr uint8_t kErased = 255;
  constexpr uint8_t kDefault = 20;
  config[KLIA_CONFIG_BYTE2] = stored[kByte2] == kErased ? kDefault : stored[kByte2];
  config[KLIA_CONFIG_BYTE3] = stored[kByte3] == kErased ? kDefault : stored[kByte3];

  config[KLIA_CONFIG_BYTE0] = static_cast<uint8_t>(~stored[kInvertedByte0]);
  config[KLIA_CONFIG_FLAG1] = TestBits(stored[kFlagBits], kFlag1Bit) ? 1 : 0;
  config[KLIA_CONFIG_BYTE4] = stored[kByte4];
  config[KLIA_CONFIG_FLAG5] = TestBits(stored[kFlagNibble], kFlag5Bit) ? 1 : 0;
  config[KLIA_CONFIG_FLAG6] = TestBits(stored[kFlagNibble], kFlag6Bit) ? 1 : 0;
  config[KLIA_CONFIG_FLAG7] = TestBits(stored[kFlagNibble], kFlag7Bit) ? 1 : 0;
  config[KLIA_CONFIG_FLAG8] = TestBits(stored[kFlagNibble], kFlag8Bit) ? 1 : 0;
  put_le16(config + KLIA_CONFIG_WORD9, get_le16(stored + kWord9));
  config[KLIA_CONFIG_FLAG11] = TestBits(stored[kFlagBits], kFlag11Bit) ? 1 : 0;
  config[KLIA_CONFIG_BYTE12] = stored[kByte12];
  DriverState.ConfigFlag = TestBits(stored[kByte12], kConfigFlagBit) ? 1 : 0;
  config[KLIA_CONFIG_BYTE13] = stored[kByte13];
}

namespace {

// A null record address is refused like the forwarding exports refuse one: BindError while
// unbound, else KLIA_ERR_OUT_OF_RANGE; nothing reaches the board.
bool RefuseNull(const void *address) {
  if (address != nullptr) return false;
  if (DriverState.Present == 0) {
    DriverState.BindError = kErrNotBound;
  } else {
    SetDriverError(kErrOutOfRange);
  }
  return true;
}

// Flushes through the export, whatever the write did, and tells whether the record is on the
// board: a successful write leaves LastError at 0 and only a failed write-back changes it.
// Unbound, the write has failed already and the flush only records BindError again.
KLIA_BOOL FlushAfterWrite(KLIA_BOOL write_result) {
  const bool written = (write_result & 0xFF) != 0;
  KLIAFlush();
  return written && DriverState.LastError == 0 ? 1 : 0;
}

}  // namespace
}  // namespace mviahlp

using namespace mviahlp;

extern "C" {

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAWriteConfigData(const void *config14) {
  if (RefuseNull(config14)) return 0;
  uint8_t stored[device_config::kSize];
  std::memset(stored, 0xFF, sizeof stored);
  PackConfigRecord(static_cast<const uint8_t *>(config14), stored);
  stored[device_config::kHeaderCrc] = OneWireCrc8(stored, device_config::kHeaderCrc);
  stored[device_config::kRecordCrc] = OneWireCrc8(stored, device_config::kRecordCrc);
  uint16_t done = 0;
  return FlushAfterWrite(
      KLIAWriteDataEx(KLIA_AREA_CONFIG, stored, device_config::kAreaOffset, sizeof stored, &done));
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAReadConfigData(void *config14) {
  if (RefuseNull(config14)) return 0;
  uint8_t stored[device_config::kSize];
  uint16_t done = 0;
  if ((KLIAReadDataEx(KLIA_AREA_CONFIG, stored, device_config::kAreaOffset, sizeof stored, &done) & 0xFF) == 0)
    return 0;
  // Zeroed memory would pass both checks (the CRC of zeros is 0), so it is refused first.
  if (AllBytesEqual(stored, sizeof stored, 0x00)) return 0;
  const bool header_ok = OneWireCrc8(stored, device_config::kHeaderCrc) == stored[device_config::kHeaderCrc];
  const bool record_ok = OneWireCrc8(stored, device_config::kRecordCrc) == stored[device_config::kRecordCrc];
  if (!header_ok || !record_ok) return 0;
  UnpackConfigRecord(stored, static_cast<uint8_t *>(config14));
  return 1;
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAReadHwStep(uint8_t *step) {
  if (RefuseNull(step)) return 0;
  *step = hw_step::kReadFailed;
  uint8_t stored[hw_step::kSize];
  uint16_t done = 0;
  if ((KLIAReadDataEx(KLIA_AREA_HWSTEP, stored, hw_step::kAreaOffset, sizeof stored, &done) & 0xFF) == 0) return 0;
  *step = hw_step::kNotStored;
  if (get_le16(stored + hw_step::kTag) != hw_step::kTagValue) return 0;
  *step = stored[hw_step::kStep];
  return 1;
}

KLIA_EXPORT KLIA_BOOL KLIA_CALL KLIAWriteHwStep(uint8_t step) {
  uint8_t stored[hw_step::kSize];
  put_le16(stored + hw_step::kTag, hw_step::kTagValue);
  stored[hw_step::kStep] = step;
  uint16_t done = 0;
  return FlushAfterWrite(KLIAWriteDataEx(KLIA_AREA_HWSTEP, stored, hw_step::kAreaOffset, sizeof stored, &done));
}

}  // extern "C"
