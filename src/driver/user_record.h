// DeviceUserRecord: a user as the board stores it, 256 bytes at offset 0 of page UserPage(n),
// and its conversion to and from the caller's UserRecord (offsets KLIA_USER_* in mviahlp.h).
//
// Most fields are the caller's bytes moved to another place. The rest is packed so that
// erased memory (all 0xFF) reads back with the inverted items at 0: the three flags of byte 24,
// the two short strings cut to 12 characters, the nibble and flag of byte 177 (stored
// inverted), the split DeviceAccessWord (bytes 158 and 163) and the eight flags of byte 159.
// Every byte that holds no field is written as 0xFF.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mviahlp {

inline constexpr size_t kDeviceUserRecordSize = 256;

// Field offsets in the DeviceUserRecord, in order; each field ends where the next begins.
namespace device_user {
inline constexpr int kCopied0 = 0;         // u32, copied from UserRecord 28
inline constexpr int kCopied4 = 4;         // u32, from 32
inline constexpr int kCopied8 = 8;         // u32, from 36
inline constexpr int kCopied12 = 12;       // u32, from 40
inline constexpr int kCopied16 = 16;       // u32, from 108
inline constexpr int kCopied20 = 20;       // u8, from 112
inline constexpr int kUnused21 = 21;       // 3 bytes of 0xFF
inline constexpr int kFlags24 = 24;        // bit 0: flag 26, bit 1: flag 113, bit 2: flag 27; bits 3-7 = 0
inline constexpr int kName = 25;           // 13 bytes: short string of UserRecord 0
inline constexpr int kCopied38 = 38;       // 64 bytes, from 44
inline constexpr int kCopied102 = 102;     // u8, from 116
inline constexpr int kCopied103 = 103;     // u8, from 117
inline constexpr int kCopied104 = 104;     // u8, from 118
inline constexpr int kCopied105 = 105;     // 42 bytes, from 119
inline constexpr int kCopied147 = 147;     // u32, from 161
inline constexpr int kCopied151 = 151;     // u16, from 165
inline constexpr int kCopied153 = 153;     // u8, from 167
inline constexpr int kCopied154 = 154;     // u32, from 168
inline constexpr int kAccessLow = 158;     // bits 0-7 of the DeviceAccessWord
inline constexpr int kFlags159 = 159;      // bit k: flag at UserRecord 177 + k
inline constexpr int kCopied160 = 160;     // u8, from 174
inline constexpr int kCopied161 = 161;     // u8, from 175
inline constexpr int kUnused162 = 162;     // 1 byte of 0xFF
inline constexpr int kAccessHigh = 163;    // bits 8-15 of the DeviceAccessWord; read back as zero/nonzero
inline constexpr int kName2 = 164;         // 13 bytes: short string of UserRecord 13
inline constexpr int kNibbleFlag = 177;    // bits 0-3: ~nibble 115; bits 4-6: 1; bit 7: 1 when flag 114 is 0
inline constexpr int kCopied178 = 178;     // u32, from 185
inline constexpr int kUnused182 = 182;     // 74 bytes of 0xFF, to the end of the record
inline constexpr int kUnused182Size = 74;
static_assert(kUnused182 + kUnused182Size == kDeviceUserRecordSize);

// Bits of byte 24.
inline constexpr uint8_t kFlag26Bit = 0x01;
inline constexpr uint8_t kFlag113Bit = 0x02;
inline constexpr uint8_t kFlag27Bit = 0x04;
// Bits of byte 177.
inline constexpr uint8_t kNibbleMask = 0x0F;
inline constexpr uint8_t kNibbleFlagFill = 0xF0;  // bits 4-6 always set; bit 7 set while flag 114 is 0
inline constexpr uint8_t kFlag114ClearBit = 0x80;
}  // namespace device_user

// User strings hold at most this many characters; a longer one is cut.
inline constexpr uint8_t kUserStringMax = 12;
inline constexpr int kUserStringSize = 1 + kUserStringMax;
// Bit 15 of the DeviceAccessWord: set on reading when bits 8-15 were stored nonzero.
inline constexpr uint16_t kAccessWordFlag = 0x8000;
// Number of one-byte flags at UserRecord 177, kept as the bits of device byte 159.
inline constexpr int kUserFlagCount = 8;

// User n lives at offset 0 of page n + 7: user 1 in page 8, the last user in UserCount + 7.
inline constexpr uint16_t kFirstUserPage = 8;
constexpr uint16_t UserPage(uint16_t user) { return static_cast<uint16_t>(user + kFirstUserPage - 1); }
// The highest user number whose page number still fits in 16 bits.
inline constexpr uint16_t kLastAddressableUser = 0xFFFF - (kFirstUserPage - 1);

// record: the caller's UserRecord (bytes 0-188 are read, 176 is not). Fills all 256 bytes
// of `device`.
void PackUserRecord(const uint8_t *record, uint8_t device[kDeviceUserRecordSize]);
// Fills the caller's UserRecord from `device`. Byte 176 and the record bytes past each
// string's copied characters keep what they held.
void UnpackUserRecord(const uint8_t device[kDeviceUserRecordSize], uint8_t *record);

}  // namespace mviahlp
