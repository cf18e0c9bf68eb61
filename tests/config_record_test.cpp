// The configuration record and the hardware step: their stored bytes, their check bytes, what
// a read makes of stored bytes, and what a failing board or an unbound library gives.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "board_fixture.h"
#include "interface/config_record.h"
#include "interface/driver_state.h"
#include "interface/library_state.h"
#include "vboard_helpers.h"

namespace mviahlp::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr uint16_t kConfigPage = 1;  // data area 0
constexpr uint16_t kHwStepPage = 0;  // data area 5

// 1-Wire CRC-8 computed the other way round: each byte bit-reversed, shifted in most
// significant bit first through the unreflected polynomial 0x31, and the result reversed.
uint8_t Reverse(uint8_t v) {
  uint8_t r = 0;
  for (int i = 0; i < 8; ++i) r = static_cast<uint8_t>(r | (((v >> i) & 1) << (7 - i)));
  return r;
}
uint8_t ReferenceCrc8(const Bytes &data, size_t count) {
  uint8_t crc = 0;
  for (size_t i = 0; i < count; ++i) {
    crc = static_cast<uint8_t>(crc ^ Reverse(data[i]));
    for (int bit = 0; bit < 8; ++bit) crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x31 : crc << 1);
  }
  return Reverse(crc);
}

// A stored record with both check bytes made right by the reference CRC.
Bytes WithCheckBytes(Bytes stored) {
  stored[8] = ReferenceCrc8(stored, 8);
  stored[11] = ReferenceCrc8(stored, 11);
  return stored;
}

const Bytes kExampleRecord = {0x12, 0x01, 0x1E, 0xFF, 0x07, 0x01, 0x00, 0x01, 0x00, 0x34, 0x12, 0x01, 0x02, 0x99};
const Bytes kExampleStored = {0xED, 0x03, 0x1E, 0xFF, 0x07, 0xF5, 0x34, 0x12, 0xC0, 0x02, 0x99, 0x1C};
const Bytes kExampleReadBack = {0x12, 0x01, 0x1E, 0x14, 0x07, 0x01, 0x00, 0x01, 0x00, 0x34, 0x12, 0x01, 0x02, 0x99};

Bytes Filler(size_t length, uint8_t seed) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed ^ (i * 29));
  return bytes;
}

bool WriteConfig(const Bytes &record) { return (KLIAWriteConfigData(record.data()) & 0xFF) != 0; }

struct ReadOutcome {
  bool ok;
  Bytes record;
};
ReadOutcome ReadConfig() {
  Bytes record(KLIA_CONFIG_RECORD_SIZE, 0xAA);
  const bool ok = (KLIAReadConfigData(record.data()) & 0xFF) != 0;
  return {ok, record};
}

class ConfigRecordTest : public BoardTest {};

// ---------------------------------------------------------------------------------------------
// Check bytes

TEST(OneWireCrc8, MatchesTheCheckValueAndAReference) {
  const std::string digits = "123456789";
  EXPECT_EQ(OneWireCrc8(reinterpret_cast<const uint8_t *>(digits.data()), digits.size()), 0xA1);
  const Bytes erased(8, 0xFF);
  EXPECT_EQ(OneWireCrc8(erased.data(), erased.size()), 0xC9);
  for (uint8_t seed = 0; seed < 40; ++seed) {
    const Bytes data = Filler(1 + seed % 13, seed);
    EXPECT_EQ(OneWireCrc8(data.data(), data.size()), ReferenceCrc8(data, data.size())) << int(seed);
  }
}

TEST(AllBytesEqual, ComparesEveryByte) {
  const Bytes zeros(12, 0x00);
  Bytes last_differs(12, 0x00);
  last_differs[11] = 1;
  Bytes first_differs(12, 0x00);
  first_differs[0] = 1;
  EXPECT_TRUE(AllBytesEqual(zeros.data(), 12, 0x00));
  EXPECT_FALSE(AllBytesEqual(zeros.data(), 12, 0xFF));
  EXPECT_FALSE(AllBytesEqual(last_differs.data(), 12, 0x00));
  EXPECT_FALSE(AllBytesEqual(first_differs.data(), 12, 0x00));
  EXPECT_TRUE(AllBytesEqual(first_differs.data(), 1, 0x01));
  EXPECT_EQ(last_differs[11], 1) << "the buffer is not changed";
}

// ---------------------------------------------------------------------------------------------
// Writing

TEST_F(ConfigRecordTest, TheWorkedExampleIsStoredAsTwelveBytesAndReadsBack) {
  const Bytes before = Filler(512, 0x3C);
  PokeBoard(kConfigPage, 0, Bytes(before.begin(), before.begin() + 256));
  PokeBoard(kConfigPage + 1, 0, Bytes(before.begin() + 256, before.end()));

  EXPECT_TRUE(WriteConfig(kExampleRecord));
  EXPECT_THAT(BoardTrace(), ElementsAre(IsReadMemory(kConfigPage, 0, 256), IsWriteMemory(kConfigPage, 0, 256)));
  EXPECT_EQ(PeekBoard(kConfigPage, 0, 12), kExampleStored);
  EXPECT_EQ(PeekBoard(kConfigPage, 12, 244), Bytes(before.begin() + 12, before.begin() + 256));
  EXPECT_EQ(PeekBoard(kConfigPage + 1, 0, 256), Bytes(before.begin() + 256, before.end()));

  DriverState.ConfigFlag = 0;
  const ReadOutcome read = ReadConfig();
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.record, kExampleReadBack);
  EXPECT_EQ(DriverState.ConfigFlag, 1);
}

TEST_F(ConfigRecordTest, AnAllZeroRecordIsStoredNotAllZeroAndReadsBackAsZeros) {
  EXPECT_TRUE(WriteConfig(Bytes(KLIA_CONFIG_RECORD_SIZE, 0x00)));
  EXPECT_EQ(PeekBoard(kConfigPage, 0, 12), (Bytes{0xFF, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x00, 0x00, 0x50, 0x00, 0x00, 0x00}));
  const ReadOutcome read = ReadConfig();
  EXPECT_TRUE(read.ok);
  EXPECT_EQ(read.record, Bytes(KLIA_CONFIG_RECORD_SIZE, 0x00));
  EXPECT_EQ(DriverState.ConfigFlag, 0);
}

// Flags come back as 0 or 1, a Byte2 or Byte3 of 255 as 20; everything else unchanged.
TEST_F(ConfigRecordTest, RecordsReadBackAsWritten) {
  const struct {
    Bytes written;
    Bytes read_back;
  } cases[] = {
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
       {0xFF, 0x01, 0x14, 0x14, 0xFF, 0x01, 0x01, 0x01, 0x01, 0xFF, 0xFF, 0x01, 0xFF, 0xFF}},
      {{0x00, 0x02, 0xFE, 0x00, 0x80, 0x00, 0x40, 0x00, 0x07, 0xCD, 0xAB, 0x00, 0xFD, 0x01},
       {0x00, 0x01, 0xFE, 0x00, 0x80, 0x00, 0x01, 0x00, 0x01, 0xCD, 0xAB, 0x00, 0xFD, 0x01}},
      {{0x5A, 0x00, 0x13, 0x15, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00},
       {0x5A, 0x00, 0x13, 0x15, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.written));
    ASSERT_TRUE(WriteConfig(c.written));
    const Bytes stored = PeekBoard(kConfigPage, 0, 12);
    EXPECT_EQ(stored[5] & 0xF0, 0xF0) << "bits 4-7 of byte 5 are always set";
    EXPECT_EQ(stored[1] & 0xFC, 0x00) << "bits 2-7 of byte 1 are always clear";
    const ReadOutcome read = ReadConfig();
    EXPECT_TRUE(read.ok);
    EXPECT_EQ(read.record, c.read_back);
  }
}

// ---------------------------------------------------------------------------------------------
// Reading what the board holds

TEST_F(ConfigRecordTest, StoredBytesThatHoldNoValidRecordReadAsFalse) {
  Bytes record_crc_wrong = kExampleStored;
  record_crc_wrong[11] ^= 0x01;
  Bytes header_crc_wrong = kExampleStored;
  header_crc_wrong[8] ^= 0x01;
  header_crc_wrong[11] = ReferenceCrc8(header_crc_wrong, 11);  // the record check alone would pass
  const struct {
    const char *name;
    Bytes stored;
  } cases[] = {
      {"all zero, which passes both checks", Bytes(12, 0x00)},
      {"erased", Bytes(12, 0xFF)},
      {"header check right, record check wrong", record_crc_wrong},
      {"header check wrong", header_crc_wrong},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    PokeBoard(kConfigPage, 0, c.stored);
    KLIAFlush();
    ResetLibraryState();  // nothing cached
    ASSERT_TRUE(Bind());
    DriverState.ConfigFlag = 1;
    const ReadOutcome read = ReadConfig();
    EXPECT_FALSE(read.ok);
    EXPECT_EQ(read.record, Bytes(KLIA_CONFIG_RECORD_SIZE, 0xAA)) << "the caller's record is left as it was";
    EXPECT_EQ(DriverState.ConfigFlag, 1);
  }
}

TEST_F(ConfigRecordTest, ByteTwelveBitOneIsTheConfigFlag) {
  const std::pair<uint8_t, uint8_t> cases[] = {{0x02, 1}, {0xFD, 0}, {0x03, 1}, {0x00, 0}};
  for (const auto &[byte9, flag] : cases) {
    SCOPED_TRACE(int(byte9));
    Bytes stored = kExampleStored;
    stored[9] = byte9;
    PokeBoard(kConfigPage, 0, WithCheckBytes(stored));
    ResetLibraryState();
    ASSERT_TRUE(Bind());
    DriverState.ConfigFlag = static_cast<uint8_t>(1 - flag);
    const ReadOutcome read = ReadConfig();
    EXPECT_TRUE(read.ok);
    EXPECT_EQ(read.record[KLIA_CONFIG_BYTE12], byte9);
    EXPECT_EQ(DriverState.ConfigFlag, flag);
  }
}

// ---------------------------------------------------------------------------------------------
// Failures

TEST_F(ConfigRecordTest, UnboundEveryExportFailsWithBindErrorAndSendsNothing) {
  PokeBoard(kConfigPage, 0, kExampleStored);
  ResetLibraryState();
  VBoardTraceClear();

  Bytes record(KLIA_CONFIG_RECORD_SIZE, 0xAA);
  EXPECT_EQ(KLIAReadConfigData(record.data()) & 0xFF, 0u);
  EXPECT_EQ(record, Bytes(KLIA_CONFIG_RECORD_SIZE, 0xAA));
  EXPECT_EQ(KLIAWriteConfigData(kExampleRecord.data()) & 0xFF, 0u);
  uint8_t step = 0x11;
  EXPECT_EQ(KLIAReadHwStep(&step) & 0xFF, 0u);
  EXPECT_EQ(step, 255);
  EXPECT_EQ(KLIAWriteHwStep(3) & 0xFF, 0u);

  EXPECT_EQ(GetErrorState(), (ErrorState{KLIA_ERR_NOT_BOUND, 0, 0}));
  EXPECT_THAT(BoardTrace(), IsEmpty());
  EXPECT_EQ(DriverState.ConfigFlag, 0);
}

TEST_F(ConfigRecordTest, AFailedAreaReadFailsTheRead) {
  PokeBoard(kConfigPage, 0, kExampleStored);
  AddFault(FaultOn(21, 0x12, 1, 1));
  const ReadOutcome read = ReadConfig();
  EXPECT_FALSE(read.ok);
  EXPECT_EQ(read.record, Bytes(KLIA_CONFIG_RECORD_SIZE, 0xAA));
  EXPECT_EQ(GetErrorState(), (ErrorState{0, KLIA_ERR_PAGE_FAILED, 0x12}));
}

TEST_F(ConfigRecordTest, AFailedLoadFailsTheWriteAndTheFlushSendsNothing) {
  AddFault(FaultOn(21, 0x12, 1, 1));
  EXPECT_FALSE(WriteConfig(kExampleRecord));
  EXPECT_THAT(BoardTrace(), ElementsAre(IsReadMemory(kConfigPage, 0, 256)));
  EXPECT_EQ(GetErrorState(), (ErrorState{0, KLIA_ERR_PAGE_FAILED, 0x12}));
}

// The record is not on the board when the flush after the write fails, so the write fails;
// the cache keeps it and a later flush delivers it.
TEST_F(ConfigRecordTest, AFailedFlushFailsTheWrite) {
  AddFault(FaultOn(22, 0x13, 1, 1));
  EXPECT_FALSE(WriteConfig(kExampleRecord));
  EXPECT_EQ(GetErrorState(), (ErrorState{0, KLIA_ERR_PAGE_FAILED, 0x13}));
  EXPECT_EQ(PeekBoard(kConfigPage, 0, 12), Bytes(12, 0xFF));
  KLIAFlush();
  EXPECT_EQ(PeekBoard(kConfigPage, 0, 12), kExampleStored);
}

// ---------------------------------------------------------------------------------------------
// Hardware step

TEST_F(ConfigRecordTest, HardwareStepWriteChangesExactlyOffsetsEightToTen) {
  const Bytes before = Filler(256, 0x77);
  PokeBoard(kHwStepPage, 0, before);
  EXPECT_EQ(KLIAWriteHwStep(0x42) & 0xFF, 1u);
  EXPECT_THAT(BoardTrace(), ElementsAre(IsReadMemory(kHwStepPage, 0, 256), IsWriteMemory(kHwStepPage, 0, 256)));
  Bytes expected = before;
  expected[8] = 0x57;
  expected[9] = 0x48;
  expected[10] = 0x42;
  EXPECT_EQ(PeekBoard(kHwStepPage, 0, 256), expected);
}

TEST_F(ConfigRecordTest, HardwareStepReadsAnyTaggedValue) {
  for (const uint8_t value : {0x00, 0x01, 0x42, 0xFE, 0xFF}) {
    SCOPED_TRACE(int(value));
    PokeBoard(kHwStepPage, 8, {0x57, 0x48, value});
    ResetLibraryState();
    ASSERT_TRUE(Bind());
    uint8_t step = 0x11;
    EXPECT_EQ(KLIAReadHwStep(&step) & 0xFF, 1u);
    EXPECT_EQ(step, value);
  }
}

TEST_F(ConfigRecordTest, HardwareStepFailuresLeave255Or254) {
  uint8_t step = 0x11;
  EXPECT_EQ(KLIAReadHwStep(&step) & 0xFF, 0u) << "an erased board holds no tag";
  EXPECT_EQ(step, 254);

  PokeBoard(kHwStepPage, 8, {0x48, 0x57, 0x05});  // the tag's bytes the wrong way round
  ResetLibraryState();
  ASSERT_TRUE(Bind());
  EXPECT_EQ(KLIAReadHwStep(&step) & 0xFF, 0u);
  EXPECT_EQ(step, 254);

  ResetLibraryState();
  ASSERT_TRUE(Bind());
  AddFault(FaultOn(21, 0x12, 1, 1));
  step = 0x11;
  EXPECT_EQ(KLIAReadHwStep(&step) & 0xFF, 0u);
  EXPECT_EQ(step, 255);
}

TEST_F(ConfigRecordTest, HardwareStepWriteFailsWhenItsFlushFails) {
  AddFault(FaultOn(22, 0x14, 1, 1));
  EXPECT_EQ(KLIAWriteHwStep(9) & 0xFF, 0u);
  EXPECT_EQ(GetErrorState(), (ErrorState{0, KLIA_ERR_PAGE_FAILED, 0x14}));
  KLIAFlush();
  EXPECT_EQ(PeekBoard(kHwStepPage, 8, 3), (Bytes{0x57, 0x48, 9}));
}

TEST_F(ConfigRecordTest, NullRecordAddressesAreRefusedWithoutACommand) {
  EXPECT_EQ(KLIAReadConfigData(nullptr) & 0xFF, 0u);
  EXPECT_EQ(KLIAWriteConfigData(nullptr) & 0xFF, 0u);
  EXPECT_EQ(KLIAReadHwStep(nullptr) & 0xFF, 0u);
  EXPECT_EQ(GetErrorState(), (ErrorState{0, KLIA_ERR_OUT_OF_RANGE, 0}));
  EXPECT_THAT(BoardTrace(), IsEmpty());
}

}  // namespace
}  // namespace mviahlp::testing
