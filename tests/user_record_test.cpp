// The stored user record: where each field of the caller's UserRecord lands in the 256-byte
// DeviceUserRecord, the packed items (flags, strings, the inverted nibble and flag, the split
// device-access word) and what a record looks like after a write and a read.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "driver/user_record.h"
#include "mviahlp.h"

namespace mviahlp::testing {
namespace {

using ::testing::Each;
using ::testing::ElementsAreArray;
using Bytes = std::vector<uint8_t>;

constexpr int kRecordSize = KLIA_USER_RECORD_SIZE;  // 189
constexpr int kDeviceSize = 256;

// A byte or word in a test name: upper-case hex digits.
std::string Hex(unsigned value, int digits = 2) {
  char text[9];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

struct UserRecordBuffer {
  uint8_t bytes[kRecordSize];
  explicit UserRecordBuffer(uint8_t fill = 0) { std::fill(bytes, bytes + kRecordSize, fill); }
  void SetString(int offset, const std::string &text) {
    bytes[offset] = static_cast<uint8_t>(text.size());
    for (size_t i = 0; i < text.size() && offset + 1 + i < size_t(kRecordSize); ++i) bytes[offset + 1 + i] = text[i];
  }
  void Set16(int offset, uint16_t v) {
    bytes[offset] = static_cast<uint8_t>(v);
    bytes[offset + 1] = static_cast<uint8_t>(v >> 8);
  }
  uint16_t Get16(int offset) const { return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8); }
};

Bytes Pack(const UserRecordBuffer &record) {
  Bytes device(kDeviceSize, 0x5A);
  PackUserRecord(record.bytes, device.data());
  return device;
}

Bytes Range(const Bytes &bytes, int from, int to_inclusive) {
  return Bytes(bytes.begin() + from, bytes.begin() + to_inclusive + 1);
}

// Copied fields as (stored offset, record offset, width), written out from the record
// layout: the caller's bytes must appear there unchanged.
struct Copied {
  int device;
  int record;
  int width;
};
constexpr Copied kCopied[] = {
    {0, 28, 4},    {4, 32, 4},    {8, 36, 4},    {12, 40, 4},    {16, 108, 4},   {20, 112, 1},
    {38, 44, 64},  {102, 116, 1}, {103, 117, 1}, {104, 118, 1},  {105, 119, 42}, {147, 161, 4},
    {151, 165, 2}, {153, 167, 1}, {154, 168, 4}, {160, 174, 1},  {161, 175, 1},  {178, 185, 4},
};

TEST(UserRecordLayout, CallerOffsetsInTheHeaderAreTheRecordLayout) {
  // Fields follow each other without gaps, 189 bytes in all.
  EXPECT_EQ(KLIA_USER_NAME, 0);
  EXPECT_EQ(KLIA_USER_NAME2, 13);
  EXPECT_EQ(KLIA_USER_FLAG26, 26);
  EXPECT_EQ(KLIA_USER_FLAG27, 27);
  EXPECT_EQ(KLIA_USER_DATA44, 44);
  EXPECT_EQ(KLIA_USER_DATA108, 108);
  EXPECT_EQ(KLIA_USER_FLAG113, 113);
  EXPECT_EQ(KLIA_USER_FLAG114, 114);
  EXPECT_EQ(KLIA_USER_NIBBLE115, 115);
  EXPECT_EQ(KLIA_USER_DATA119, 119);
  EXPECT_EQ(KLIA_USER_ACCESS_WORD, 172);
  EXPECT_EQ(KLIA_USER_UNUSED176, 176);
  EXPECT_EQ(KLIA_USER_FLAGS177, 177);
  EXPECT_EQ(KLIA_USER_DATA185, 185);
  EXPECT_EQ(KLIA_USER_RECORD_SIZE, 189);
  EXPECT_EQ(KLIA_USER_STRING_MAX, 12);
}

// Every copied field lands in its stored place, and comes back from it.
TEST(UserRecordLayout, CopiedFieldsLandAtTheirStoredOffsetsAndComeBack) {
  UserRecordBuffer record;
  for (int i = 0; i < kRecordSize; ++i) record.bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  const Bytes device = Pack(record);
  for (const Copied &field : kCopied) {
    for (int i = 0; i < field.width; ++i) {
      EXPECT_EQ(device[field.device + i], record.bytes[field.record + i])
          << "stored byte " << field.device + i << " from record byte " << field.record + i;
    }
  }

  Bytes stored(kDeviceSize);
  for (int i = 0; i < kDeviceSize; ++i) stored[i] = static_cast<uint8_t>(0x80 + i * 3);
  UserRecordBuffer back(0);
  UnpackUserRecord(stored.data(), back.bytes);
  for (const Copied &field : kCopied) {
    for (int i = 0; i < field.width; ++i) {
      EXPECT_EQ(back.bytes[field.record + i], stored[field.device + i])
          << "record byte " << field.record + i << " from stored byte " << field.device + i;
    }
  }
}

TEST(UserRecordPacking, BytesThatHoldNoFieldAreWrittenAs0xFF) {
  UserRecordBuffer record(0);  // all zero: nothing of its own is 0xFF
  record.SetString(KLIA_USER_NAME, "ABCDEFGHIJKLMNOPQRST");  // 20 characters
  record.SetString(KLIA_USER_NAME2, "short");
  record.bytes[KLIA_USER_FLAG26] = 0xFF;
  record.bytes[KLIA_USER_FLAG27] = 0xFF;
  record.bytes[KLIA_USER_FLAG113] = 0xFF;
  const Bytes device = Pack(record);

  EXPECT_THAT(Range(device, 21, 23), Each(0xFF));
  EXPECT_EQ(device[162], 0xFF);
  EXPECT_THAT(Range(device, 182, 255), Each(0xFF));
  EXPECT_EQ(device[24], 0x07) << "three flags set, bits 3-7 clear";
  // First string: length 12, its first 12 characters.
  EXPECT_EQ(device[25], 12);
  EXPECT_EQ(std::string(device.begin() + 26, device.begin() + 38), "ABCDEFGHIJKL");
  // Second string: 5 characters, then 0xFF to the end of its 13 bytes.
  EXPECT_EQ(device[164], 5);
  EXPECT_EQ(std::string(device.begin() + 165, device.begin() + 170), "short");
  EXPECT_THAT(Range(device, 170, 176), Each(0xFF));
}

TEST(UserRecordPacking, ByteOfTheRecordAt176IsNeverRead) {
  UserRecordBuffer a(0x11), b(0x11);
  b.bytes[KLIA_USER_UNUSED176] = 0xEE;
  EXPECT_EQ(Pack(a), Pack(b));
}

// The three flags of byte 24: any nonzero value sets the bit.
struct FlagByteCase {
  uint8_t flag26, flag113, flag27;
  uint8_t stored24;
};
class FlagByte24 : public ::testing::TestWithParam<FlagByteCase> {};
TEST_P(FlagByte24, PacksAndReadsBackAsOneOrZero) {
  const FlagByteCase c = GetParam();
  UserRecordBuffer record(0);
  record.bytes[26] = c.flag26;
  record.bytes[113] = c.flag113;
  record.bytes[27] = c.flag27;
  const Bytes device = Pack(record);
  EXPECT_EQ(device[24], c.stored24);
  UserRecordBuffer back(0x33);
  UnpackUserRecord(device.data(), back.bytes);
  EXPECT_EQ(back.bytes[26], c.flag26 != 0);
  EXPECT_EQ(back.bytes[113], c.flag113 != 0);
  EXPECT_EQ(back.bytes[27], c.flag27 != 0);
}
INSTANTIATE_TEST_SUITE_P(Cases, FlagByte24,
                         ::testing::Values(FlagByteCase{0, 0, 0, 0x00}, FlagByteCase{1, 0, 0, 0x01},
                                           FlagByteCase{0, 5, 0, 0x02}, FlagByteCase{0, 0, 0xFF, 0x04},
                                           FlagByteCase{0x80, 2, 1, 0x07}),
                         [](const ::testing::TestParamInfo<FlagByteCase> &info) {
                           return "Flag26_" + Hex(info.param.flag26) + "_Flag113_" + Hex(info.param.flag113) +
                                  "_Flag27_" + Hex(info.param.flag27);
                         });

// DeviceAccessWord: low byte at 158, high byte at 163; the high byte reads back only as bit 15.
struct AccessWordCase {
  uint16_t written;
  uint8_t stored158, stored163;
  uint16_t read_back;
};
class AccessWord : public ::testing::TestWithParam<AccessWordCase> {};
TEST_P(AccessWord, SplitsOnWritingAndFoldsTheHighByteIntoBit15OnReading) {
  const AccessWordCase c = GetParam();
  UserRecordBuffer record(0);
  record.Set16(KLIA_USER_ACCESS_WORD, c.written);
  const Bytes device = Pack(record);
  EXPECT_EQ(device[158], c.stored158);
  EXPECT_EQ(device[163], c.stored163);
  UserRecordBuffer back(0x33);
  UnpackUserRecord(device.data(), back.bytes);
  EXPECT_EQ(back.Get16(KLIA_USER_ACCESS_WORD), c.read_back);
}
INSTANTIATE_TEST_SUITE_P(Cases, AccessWord,
                         ::testing::Values(AccessWordCase{0x0305, 0x05, 0x03, 0x8005},
                                           AccessWordCase{0x00FF, 0xFF, 0x00, 0x00FF},
                                           AccessWordCase{0x8000, 0x00, 0x80, 0x8000},
                                           AccessWordCase{0x0000, 0x00, 0x00, 0x0000},
                                           AccessWordCase{0xFFFF, 0xFF, 0xFF, 0x80FF}),
                         [](const ::testing::TestParamInfo<AccessWordCase> &info) {
                           return "Word" + Hex(info.param.written, 4);
                         });

// Byte 177: the nibble's complement in bits 0-3, bits 4-6 set, bit 7 clear when flag 114 is set.
struct NibbleCase {
  uint8_t nibble115, flag114;
  uint8_t stored177;
  uint8_t nibble_back, flag_back;
};
class NibbleAndFlag : public ::testing::TestWithParam<NibbleCase> {};
TEST_P(NibbleAndFlag, AreStoredInvertedInByte177) {
  const NibbleCase c = GetParam();
  UserRecordBuffer record(0);
  record.bytes[115] = c.nibble115;
  record.bytes[114] = c.flag114;
  const Bytes device = Pack(record);
  EXPECT_EQ(device[177], c.stored177);
  UserRecordBuffer back(0x33);
  UnpackUserRecord(device.data(), back.bytes);
  EXPECT_EQ(back.bytes[115], c.nibble_back);
  EXPECT_EQ(back.bytes[114], c.flag_back);
}
INSTANTIATE_TEST_SUITE_P(Cases, NibbleAndFlag,
                         ::testing::Values(NibbleCase{0x0A, 0, 0xF5, 0x0A, 0},  // 0x5 in bits 0-3
                                           NibbleCase{0x1A, 0, 0xF5, 0x0A, 0},  // only bits 0-3 kept
                                           NibbleCase{0x00, 2, 0x7F, 0x00, 1},  // flag 2 clears bit 7
                                           NibbleCase{0x0F, 1, 0x70, 0x0F, 1},
                                           NibbleCase{0xF0, 0, 0xFF, 0x00, 0}),
                         [](const ::testing::TestParamInfo<NibbleCase> &info) {
                           return "Nibble" + Hex(info.param.nibble115) + "_Flag" + Hex(info.param.flag114);
                         });

// Byte 159: bit k for the flag at 177 + k.
struct FlagsCase {
  uint8_t flags[8];
  uint8_t stored159;
};
class EightFlags : public ::testing::TestWithParam<FlagsCase> {};
TEST_P(EightFlags, PackIntoByte159) {
  const FlagsCase c = GetParam();
  UserRecordBuffer record(0);
  std::copy(c.flags, c.flags + 8, record.bytes + 177);
  const Bytes device = Pack(record);
  EXPECT_EQ(device[159], c.stored159);
  UserRecordBuffer back(0x33);
  UnpackUserRecord(device.data(), back.bytes);
  for (int k = 0; k < 8; ++k) EXPECT_EQ(back.bytes[177 + k], c.flags[k] != 0) << "flag " << k;
}
INSTANTIATE_TEST_SUITE_P(Cases, EightFlags,
                         ::testing::Values(FlagsCase{{0, 0, 0, 0, 0, 0, 0, 0}, 0x00},
                                           FlagsCase{{1, 0, 0, 0, 0, 0, 0, 0}, 0x01},
                                           FlagsCase{{0, 0, 0, 0, 0, 0, 0, 0x40}, 0x80},
                                           FlagsCase{{0, 3, 0, 1, 0, 0, 0xFF, 0}, 0x4A},
                                           FlagsCase{{1, 1, 1, 1, 1, 1, 1, 1}, 0xFF}),
                         [](const ::testing::TestParamInfo<FlagsCase> &info) {
                           std::string name = "Flags";
                           for (const uint8_t flag : info.param.flags) name += "_" + Hex(flag);
                           return name;
                         });

// Erased memory: both strings 12 x 0xFF, flags 1, the inverted items 0, access word 0x80FF,
// copied fields all 0xFF; byte 176 untouched.
TEST(UserRecordUnpacking, ErasedPageReadsAsDocumented) {
  const Bytes erased(kDeviceSize, 0xFF);
  UserRecordBuffer record(0x11);
  UnpackUserRecord(erased.data(), record.bytes);

  for (int string : {KLIA_USER_NAME, KLIA_USER_NAME2}) {
    EXPECT_EQ(record.bytes[string], 12);
    EXPECT_THAT(Bytes(record.bytes + string + 1, record.bytes + string + 13), Each(0xFF));
  }
  for (int flag : {26, 27, 113, 177, 178, 179, 180, 181, 182, 183, 184}) EXPECT_EQ(record.bytes[flag], 1) << flag;
  EXPECT_EQ(record.bytes[114], 0);
  EXPECT_EQ(record.bytes[115], 0);
  EXPECT_EQ(record.Get16(172), 0x80FF);
  for (const Copied &field : kCopied) {
    EXPECT_THAT(Bytes(record.bytes + field.record, record.bytes + field.record + field.width), Each(0xFF))
        << "record offset " << field.record;
  }
  EXPECT_EQ(record.bytes[176], 0x11);
}

// A stored string whose length byte says more than 12 gives 12 characters; the record bytes
// past the copied characters keep what they held.
TEST(UserRecordUnpacking, StringsAreCutTo12AndLeaveTheRestOfTheFieldAlone) {
  Bytes device(kDeviceSize, 0xFF);
  device[25] = 40;
  for (int i = 0; i < 12; ++i) device[26 + i] = static_cast<uint8_t>('a' + i);
  device[164] = 3;
  device[165] = 'x';
  device[166] = 'y';
  device[167] = 'z';
  UserRecordBuffer record(0x11);
  UnpackUserRecord(device.data(), record.bytes);
  EXPECT_EQ(record.bytes[0], 12);
  EXPECT_EQ(std::string(record.bytes + 1, record.bytes + 13), "abcdefghijkl");
  EXPECT_EQ(record.bytes[13], 3);
  EXPECT_EQ(std::string(record.bytes + 14, record.bytes + 17), "xyz");
  EXPECT_THAT(Bytes(record.bytes + 17, record.bytes + 26), Each(0x11));
}

// Written and read back, a record is the original except for what the stored form cannot
// keep: flags become 0 or 1, the nibble keeps bits 0-3, the access word keeps bits 0-7 plus
// bit 15 for a nonzero high byte, strings are cut to 12; bytes past each string's length and
// byte 176 are the reader's own.
class RoundTrip : public ::testing::TestWithParam<unsigned> {};
TEST_P(RoundTrip, ChangesOnlyWhatTheStoredFormCannotKeep) {
  std::mt19937 random(GetParam());
  const auto byte = [&] { return static_cast<uint8_t>(random()); };
  UserRecordBuffer original;
  for (uint8_t &b : original.bytes) b = byte();
  // Lengths spread over 0..20 so that both short and over-long strings occur.
  original.bytes[0] = static_cast<uint8_t>(random() % 21);
  original.bytes[13] = static_cast<uint8_t>(random() % 21);

  Bytes device = Pack(original);
  constexpr uint8_t kReaderFill = 0xC3;
  UserRecordBuffer read(kReaderFill);
  UnpackUserRecord(device.data(), read.bytes);

  UserRecordBuffer expected = original;
  for (int string : {0, 13}) {
    const uint8_t length = std::min<uint8_t>(original.bytes[string], 12);
    expected.bytes[string] = length;
    for (int i = 1 + length; i < 13; ++i) expected.bytes[string + i] = kReaderFill;
  }
  for (int flag : {26, 27, 113, 114, 177, 178, 179, 180, 181, 182, 183, 184}) {
    expected.bytes[flag] = original.bytes[flag] != 0;
  }
  expected.bytes[115] = original.bytes[115] & 0x0F;
  const uint16_t access = original.Get16(172);
  expected.Set16(172, static_cast<uint16_t>((access & 0x00FF) | ((access & 0xFF00) != 0 ? 0x8000 : 0)));
  expected.bytes[176] = kReaderFill;

  EXPECT_THAT(Bytes(read.bytes, read.bytes + kRecordSize),
              ElementsAreArray(expected.bytes, kRecordSize));
}
INSTANTIATE_TEST_SUITE_P(Seeds, RoundTrip, ::testing::Range(1u, 17u),
                         [](const ::testing::TestParamInfo<unsigned> &info) { return "Seed" + std::to_string(info.param); });

}  // namespace
}  // namespace mviahlp::testing
