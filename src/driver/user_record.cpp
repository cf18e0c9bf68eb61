#include "driver/user_record.h"

#include "mviahlp.h"
#include "support/bits.h"
#include "support/bytes.h"

namespace mviahlp {

namespace {

using namespace device_user;

// A span of bytes at `offset`, `width` long.
struct Span {
  int offset;
  int width;
};

// The fields that hold the caller's bytes unchanged, in both directions.
struct CopiedField {
  int device;
  int record;
  int width;
};
constexpr CopiedField kCopiedFields[] = {
    {kCopied0, KLIA_USER_DATA28, 4},     {kCopied4, KLIA_USER_DATA32, 4},     {kCopied8, KLIA_USER_DATA36, 4},
    {kCopied12, KLIA_USER_DATA40, 4},    {kCopied16, KLIA_USER_DATA108, 4},   {kCopied20, KLIA_USER_DATA112, 1},
    {kCopied38, KLIA_USER_DATA44, 64},   {kCopied102, KLIA_USER_DATA116, 1},  {kCopied103, KLIA_USER_DATA117, 1},
    {kCopied104, KLIA_USER_DATA118, 1},  {kCopied105, KLIA_USER_DATA119, 42}, {kCopied147, KLIA_USER_DATA161, 4},
    {kCopied151, KLIA_USER_DATA165, 2},  {kCopied153, KLIA_USER_DATA167, 1},  {kCopied154, KLIA_USER_DATA168, 4},
    {kCopied160, KLIA_USER_DATA174, 1},  {kCopied161, KLIA_USER_DATA175, 1},  {kCopied178, KLIA_USER_DATA185, 4},
};

// The device bytes that are not copied fields.
constexpr Span kDeviceOtherFields[] = {
    {kUnused21, 3},  {kFlags24, 1},    {kName, kUserStringSize},   {kAccessLow, 1},  {kFlags159, 1},
    {kUnused162, 1}, {kAccessHigh, 1}, {kName2, kUserStringSize}, {kNibbleFlag, 1}, {kUnused182, kUnused182Size},
};

// The record bytes that are not copied fields.
constexpr Span kRecordOtherFields[] = {
    {KLIA_USER_NAME, kUserStringSize}, {KLIA_USER_NAME2, kUserStringSize}, {KLIA_USER_FLAG26, 1},
    {KLIA_USER_FLAG27, 1},             {KLIA_USER_FLAG113, 1},             {KLIA_USER_FLAG114, 1},
    {KLIA_USER_NIBBLE115, 1},          {KLIA_USER_ACCESS_WORD, 2},         {KLIA_USER_UNUSED176, 1},
    {KLIA_USER_FLAGS177, kUserFlagCount},
};

// True when the copied fields (on one side) and `others` cover bytes 0 to size - 1 exactly once.
template <size_t N>
consteval bool CoversExactly(const Span (&others)[N], bool device_side, int size) {
  int hits[kDeviceUserRecordSize] = {};
  const auto mark = [&](int offset, int width) {
    for (int i = offset; i < offset + width; ++i) {
      if (i < 0 || i >= size) return false;
      ++hits[i];
    }
    return true;
  };
  for (const CopiedField &field : kCopiedFields) {
    if (!mark(device_side ? field.device : field.record, field.width)) return false;
  }
  for (const Span &span : others) {
    if (!mark(span.offset, span.width)) return false;
  }
  for (int i = 0; i < size; ++i) {
    if (hits[i] != 1) return false;
  }
  return true;
}
static_assert(CoversExactly(kDeviceOtherFields, true, kDeviceUserRecordSize),
              "DeviceUserRecord fields must tile its 256 bytes");
static_assert(CoversExactly(kRecordOtherFields, false, KLIA_USER_RECORD_SIZE),
              "UserRecord fields must tile bytes 0-188");
static_assert(KLIA_USER_STRING_MAX == kUserStringMax);

// Copies a short string, keeping at most 12 characters: the length byte (cut to 12) and that
// many characters. Bytes of `to` past the copied characters are not touched.
void CopyUserString(const uint8_t *from, uint8_t *to) {
  const uint8_t length = from[0] <= kUserStringMax ? from[0] : kUserStringMax;
  to[0] = length;
  for (uint8_t i = 1; i <= length; ++i) to[i] = from[i];
}

uint8_t Flag(bool set) { return set ? 1 : 0; }

}  // namespace

void PackUserRecord(const uint8_t *record, uint8_t device[kDeviceUserRecordSize]) {
  for (size_t i = 0; i < kDeviceUserRecordSize; ++i) device[i] = 0xFF;
  for (const CopiedField &field : kCopiedFields) {
    for (int i = 0; i < field.width; ++i) device[field.device + i] = record[field.record + i];
  }

  uint8_t flags = 0;
  if (record[KLIA_USER_FLAG26] != 0) SetBits(flags, kFlag26Bit);
  if (record[KLIA_USER_FLAG113] != 0) SetBits(flags, kFlag113Bit);
  if (record[KLIA_USER_FLAG27] != 0) SetBits(flags, kFlag27Bit);
  device[kFlags24] = flags;

  CopyUserString(record + KLIA_USER_NAME, device + kName);
  CopyUserString(record + KLIA_USER_NAME2, device + kName2);

  // The nibble and flag are stored inverted so that an erased byte (0xFF) reads as 0 and 0.
  uint8_t nibble_flag = static_cast<uint8_t>(kNibbleFlagFill | (~record[KLIA_USER_NIBBLE115] & kNibbleMask));
  if (record[KLIA_USER_FLAG114] != 0) ClearBits(nibble_flag, kFlag114ClearBit);
  device[kNibbleFlag] = nibble_flag;

  const uint16_t access_word = get_le16(record + KLIA_USER_ACCESS_WORD);
  device[kAccessLow] = static_cast<uint8_t>(LowByteOf(access_word));
  device[kAccessHigh] = HighByteOf(access_word);

  uint8_t flags159 = 0;
  for (int k = 0; k < kUserFlagCount; ++k) {
    if (record[KLIA_USER_FLAGS177 + k] != 0) SetBits(flags159, static_cast<uint8_t>(1u << k));
  }
  device[kFlags159] = flags159;
}

void UnpackUserRecord(const uint8_t device[kDeviceUserRecordSize], uint8_t *record) {
  CopyUserString(device + kName, record + KLIA_USER_NAME);
  CopyUserString(device + kName2, record + KLIA_USER_NAME2);

  for (const CopiedField &field : kCopiedFields) {
    for (int i = 0; i < field.width; ++i) record[field.record + i] = device[field.device + i];
  }

  const uint8_t flags = device[kFlags24];
  record[KLIA_USER_FLAG26] = Flag(TestBits(flags, kFlag26Bit));
  record[KLIA_USER_FLAG27] = Flag(TestBits(flags, kFlag27Bit));
  record[KLIA_USER_FLAG113] = Flag(TestBits(flags, kFlag113Bit));

  const uint8_t nibble_flag = device[kNibbleFlag];
  record[KLIA_USER_NIBBLE115] = static_cast<uint8_t>(~nibble_flag & kNibbleMask);
  record[KLIA_USER_FLAG114] = Flag(!TestBits(nibble_flag, kFlag114ClearBit));

  // Only the device mask survives whole; the high byte comes back as the flag bit 15.
  uint16_t access_word = device[kAccessLow];
  if (device[kAccessHigh] != 0) SetWordBits(access_word, kAccessWordFlag);
  put_le16(record + KLIA_USER_ACCESS_WORD, access_word);

  for (int k = 0; k < kUserFlagCount; ++k) {
    record[KLIA_USER_FLAGS177 + k] = Flag(TestBits(device[kFlags159], static_cast<uint8_t>(1u << k)));
  }
}

}  // namespace mviahlp
