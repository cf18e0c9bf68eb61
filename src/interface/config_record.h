// The configuration record and the hardware step: two small records kept in data areas 0
// and 5, reached through the exported data-area functions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mviahlp.h"

namespace mviahlp {

// DeviceConfigRecord: the board's 12-byte form of the caller's ConfigRecord, at offset 0 of
// data area 0. Bytes that hold no field are written as 0xFF (the high nibble of byte 5).
namespace device_config {
inline constexpr size_t kSize = 12;
inline constexpr int kInvertedByte0 = 0;  // complement of Byte0
inline constexpr int kFlagBits = 1;       // bit 0 Flag1, bit 1 Flag11, bits 2-7 0
inline constexpr int kByte2 = 2;
inline constexpr int kByte3 = 3;
inline constexpr int kByte4 = 4;
inline constexpr int kFlagNibble = 5;  // bits 0-3 Flag5..Flag8, bits 4-7 1
inline constexpr int kWord9 = 6;       // 16-bit LE
inline constexpr int kHeaderCrc = 8;   // OneWireCrc8 over bytes 0-7
inline constexpr int kByte12 = 9;
inline constexpr int kByte13 = 10;
inline constexpr int kRecordCrc = 11;  // OneWireCrc8 over bytes 0-10
static_assert(kRecordCrc + 1 == kSize);
static_assert(kHeaderCrc == kWord9 + 2);
inline constexpr uint8_t kFlag1Bit = 0x01;
inline constexpr uint8_t kFlag11Bit = 0x02;
inline constexpr uint8_t kFlag5Bit = 0x01;
inline constexpr uint8_t kFlag6Bit = 0x02;
inline constexpr uint8_t kFlag7Bit = 0x04;
inline constexpr uint8_t kFlag8Bit = 0x08;
inline constexpr uint8_t kConfigFlagBit = 0x02;  // of Byte12, copied into ConfigFlag by a read
inline constexpr uint32_t kAreaOffset = 0;
}  // namespace device_config
static_assert(KLIA_CONFIG_BYTE13 + 1 == KLIA_CONFIG_RECORD_SIZE);
static_assert(KLIA_CONFIG_WORD9 + 2 == KLIA_CONFIG_FLAG11);

// HwStepRecord: tag "WH" (0x4857 LE) and the step, at offset 8 of data area 5.
namespace hw_step {
inline constexpr size_t kSize = 3;
inline constexpr int kTag = 0;  // 16-bit LE
inline constexpr int kStep = 2;
static_assert(kStep + 1 == kSize);
inline constexpr uint16_t kTagValue = 0x4857;
inline constexpr uint32_t kAreaOffset = 8;
inline constexpr uint8_t kReadFailed = 255;  // the step a failed area read leaves
inline constexpr uint8_t kNotStored = 254;   // the step when no tagged record is stored
}  // namespace hw_step

// Dallas/Maxim 1-Wire CRC-8 (reflected polynomial 0x8C, initial 0, no final inversion) over
// `count` bytes.
uint8_t OneWireCrc8(const uint8_t *data, size_t count);

// True when all `count` bytes equal `value`.
bool AllBytesEqual(const uint8_t *data, size_t count, uint8_t value);

// Encodes the caller's 14-byte ConfigRecord into `stored`, whose 12 bytes the caller has set
// to 0xFF; the two CRC bytes are left as they were.
void PackConfigRecord(const uint8_t *config, uint8_t stored[device_config::kSize]);

// Decodes a verified DeviceConfigRecord into the caller's 14-byte ConfigRecord and sets
// ConfigFlag from Byte12.
void UnpackConfigRecord(const uint8_t stored[device_config::kSize], uint8_t *config);

}  // namespace mviahlp
