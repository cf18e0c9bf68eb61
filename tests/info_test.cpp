// KLIAGetInfo: the board's information block turned into the caller's InfoRecord, field by
// field, the check word, the state class, the sizes, and what a failed read leaves behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "board_fixture.h"
#include "driver/board_info.h"
#include "driver/info.h"
#include "driver/operations.h"
#include "driver/page_cache.h"
#include "interface/driver_state.h"
#include "interface/library_state.h"
#include "vboard_helpers.h"

namespace mviahlp::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

uint16_t U16(const uint8_t *record, int offset) { return static_cast<uint16_t>(record[offset] | record[offset + 1] << 8); }
uint32_t U32(const uint8_t *record, int offset) {
  return U16(record, offset) | static_cast<uint32_t>(U16(record, offset + 2)) << 16;
}

// A board information block written out by hand, at the board's documented offsets.
struct RawInfo {
  uint8_t bytes[51] = {};
  RawInfo &Set16(int offset, uint16_t v) {
    bytes[offset] = static_cast<uint8_t>(v);
    bytes[offset + 1] = static_cast<uint8_t>(v >> 8);
    return *this;
  }
  RawInfo &Set8(int offset, uint8_t v) {
    bytes[offset] = v;
    return *this;
  }
  RawInfo &Set32(int offset, uint32_t v) {
    Set16(offset, static_cast<uint16_t>(v));
    return Set16(offset + 2, static_cast<uint16_t>(v >> 16));
  }
};

// version 0x123, 10 users, 256-byte pages, 100 data pages, log 8 pages from page 118.
RawInfo TypicalInfo() {
  RawInfo info;
  info.Set16(0, 0x123).Set16(16, 10).Set16(18, 125).Set8(25, 2).Set16(28, 0).Set16(33, 0xFFFF).Set16(35, 0x00FF);
  info.Set16(37, 118).Set16(39, 8).Set16(41, 100).Set32(44, 0x00005A3C).Set8(48, 3).Set16(49, 256);
  return info;
}

class InfoTest : public BoardTest {
 protected:
  void SetUp() override {}

  // Serves `info` from a raw board with `page3` in page 3, binds, and reads the record.
  void Read(const RawInfo &info, const Bytes &page3 = {0x34, 0x12, 0x61, 0xB8}) {
    ResetLibraryState();
    ASSERT_TRUE(VBoardCreateRaw(info.bytes, 256, 256));
    ASSERT_TRUE(VBoardPoke(3, 0, static_cast<uint32_t>(page3.size()), page3.data()));
    ASSERT_EQ(KLIADriverPresent(), 1u);
    VBoardTraceClear();
    std::memset(record, 0xAB, sizeof record);
    result = KLIAGetInfo(record);
  }

  uint8_t record[KLIA_INFO_RECORD_SIZE];
  uint32_t result = 0;
};

TEST_F(InfoTest, FillsEveryFieldOfTheRecord) {
  Read(TypicalInfo());
  ASSERT_EQ(result, 1u);
  EXPECT_THAT(Bytes(record, record + 11), ElementsAre(0x0A, 0x80, 0xAA, 0xAA, 0xAE, 0xE0, 0xA4, 0x2D, 0x41, 0x56, 0x52));
  EXPECT_EQ(U32(record, 0), 0xAAAA800Au);
  EXPECT_EQ(U32(record, 4), 0x2DA4E0AEu);
  EXPECT_EQ(U16(record, 8), 0x5641);
  EXPECT_THAT(Bytes(record + 11, record + 21), ::testing::Each(0)) << "not written, zeroed by the export";
  EXPECT_EQ(U16(record, KLIA_INFO_CHECK_WORD), 0x1234);
  EXPECT_EQ(record[KLIA_INFO_STATE_CLASS], 2);
  EXPECT_EQ(U16(record, KLIA_INFO_CURRENT_USER), 0);
  EXPECT_EQ(U16(record, KLIA_INFO_USER_COUNT), 10);
  EXPECT_EQ(U16(record, 28), 0);
  EXPECT_EQ(record[30], 0xFF);
  EXPECT_EQ(record[KLIA_INFO_DEVICES], 3);
  EXPECT_EQ(U16(record, KLIA_INFO_DATA_AREA_SIZE), 25600);
  EXPECT_EQ(U16(record, 34), 128);
  EXPECT_EQ(U16(record, KLIA_INFO_LOG_AREA_SIZE), 2048);
  EXPECT_EQ(U16(record, KLIA_INFO_LOG_USED), 2048) << "no log position: the log area's size";
  EXPECT_EQ(U16(record, KLIA_INFO_EXT_LOW), 0x3C);
  EXPECT_EQ(U16(record, KLIA_INFO_VERSION), 0x123);
  EXPECT_EQ(U32(record, KLIA_INFO_DATA_AREA_SIZE_EX), 0u);
  EXPECT_EQ(U32(record, KLIA_INFO_LOG_AREA_SIZE_EX), 0u);
  EXPECT_EQ(U32(record, KLIA_INFO_LOG_USED_EX), 0u);
  EXPECT_EQ(U16(record, KLIA_INFO_EXT_HIGH), 0x5A);
  EXPECT_EQ(PageCache.CacheLength, 256);
  EXPECT_EQ(GetErrorState(), (ErrorState{0, 0, 0}));
}

TEST_F(InfoTest, OneCallIsCommand16ThenTwoReadsOfTheCheckWord) {
  Read(TypicalInfo());
  EXPECT_THAT(BoardTrace(), ElementsAre(IsCommand(16, {}), IsCommand(21, {3, 0, 0, 0, 4, 0}),
                                        IsCommand(21, {3, 0, 0, 0, 4, 0})));
}

struct CheckWordCase {
  const char *name;
  Bytes page3;
  uint16_t check_word;
};

TEST_F(InfoTest, CheckWordIsTheValueWhoseComplementMatches) {
  const CheckWordCase cases[] = {
      {"valid", {0x34, 0x12, 0x61, 0xB8}, 0x1234},
      {"erased", {0xFF, 0xFF, 0xFF, 0xFF}, 0},
      {"zeroed", {0x00, 0x00, 0x00, 0x00}, 0},
      {"value 0xFFFF", {0xFF, 0xFF, 0xAA, 0x55}, 0xFFFF},
      {"complement off by one bit", {0x34, 0x12, 0x61, 0xB9}, 0},
  };
  for (const CheckWordCase &c : cases) {
    SCOPED_TRACE(c.name);
    Read(TypicalInfo(), c.page3);
    ASSERT_EQ(result, 1u);
    EXPECT_EQ(U16(record, KLIA_INFO_CHECK_WORD), c.check_word);
  }
}

TEST_F(InfoTest, AnUnreadableCheckWordShowsAsFFFFAndTheCallStillSucceeds) {
  ResetLibraryState();
  ASSERT_TRUE(VBoardCreateRaw(TypicalInfo().bytes, 256, 256));
  ASSERT_EQ(KLIADriverPresent(), 1u);
  VBoardFault fault{};
  fault.command = 21;
  fault.status = 7;
  VBoardAddFault(&fault);
  EXPECT_EQ(KLIAGetInfo(record), 1u);
  EXPECT_EQ(U16(record, KLIA_INFO_CHECK_WORD), 0xFFFF);
  EXPECT_EQ(record[KLIA_INFO_STATE_CLASS], 2) << "an unreadable page is not 0: the class follows State";
  EXPECT_EQ(GetErrorState(), (ErrorState{0, 0, 0}));
}

TEST_F(InfoTest, StateClassFollowsTheBoardOnlyWithACheckWord) {
  struct Case {
    uint8_t state;
    Bytes page3;
    uint8_t state_class;
  } cases[] = {
      {0, {0x34, 0x12, 0x61, 0xB8}, 0}, {3, {0x34, 0x12, 0x61, 0xB8}, 3}, {4, {0x34, 0x12, 0x61, 0xB8}, 4},
      {5, {0x34, 0x12, 0x61, 0xB8}, 1}, {7, {0x34, 0x12, 0x61, 0xB8}, 1}, {4, {0xFF, 0xFF, 0xFF, 0xFF}, 1},
      {2, {0x00, 0x00, 0x00, 0x00}, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(::testing::Message() << "state " << int(c.state));
    Read(TypicalInfo().Set8(25, c.state), c.page3);
    EXPECT_EQ(record[KLIA_INFO_STATE_CLASS], c.state_class);
  }
}

TEST_F(InfoTest, CurrentUserCarriesTheFlagInBit15) {
  Read(TypicalInfo().Set16(28, 5).Set8(32, 0x01));
  EXPECT_EQ(U16(record, KLIA_INFO_CURRENT_USER), 0x8005);
  Read(TypicalInfo().Set16(28, 5).Set8(32, 0xFE));
  EXPECT_EQ(U16(record, KLIA_INFO_CURRENT_USER), 0x0005);
}

struct SizeCase {
  uint16_t pages;
  uint16_t page_size;
  uint16_t short_form;
  uint32_t long_form;
};

class SizePairTest : public InfoTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(SizePairTest, DataAndLogAreaSizesUseExactlyOneOfTheirTwoFields) {
  const SizeCase c = GetParam();
  Read(TypicalInfo().Set16(41, c.pages).Set16(39, c.pages).Set16(49, c.page_size));
  EXPECT_EQ(U16(record, KLIA_INFO_DATA_AREA_SIZE), c.short_form);
  EXPECT_EQ(U32(record, KLIA_INFO_DATA_AREA_SIZE_EX), c.long_form);
  EXPECT_EQ(U16(record, KLIA_INFO_LOG_AREA_SIZE), c.short_form);
  EXPECT_EQ(U32(record, KLIA_INFO_LOG_AREA_SIZE_EX), c.long_form);
  EXPECT_EQ(U16(record, KLIA_INFO_LOG_USED), c.short_form);
  EXPECT_EQ(U32(record, KLIA_INFO_LOG_USED_EX), c.long_form);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SizePairTest,
                         ::testing::Values(SizeCase{100, 256, 25600, 0}, SizeCase{300, 256, 0, 76800},
                                           SizeCase{65520, 1, 65520, 0}, SizeCase{65521, 1, 0, 65521},
                                           SizeCase{255, 257, 0, 65535},
                                           SizeCase{0, 256, 0, 0},
                                           // 65535 x 65535 leaves the signed range: a negative size, reported in 16 bits.
                                           SizeCase{65535, 65535, 1, 0}),
                         [](const ::testing::TestParamInfo<SizeCase> &info) {
                           return "Pages" + std::to_string(info.param.pages) + "Of" +
                                  std::to_string(info.param.page_size);
                         });

TEST_F(InfoTest, LogUsageComesFromTheLogPosition) {
  // Two pages and 10 bytes into the log.
  Read(TypicalInfo().Set16(33, 118 + 2).Set16(35, 10));
  EXPECT_EQ(U16(record, KLIA_INFO_LOG_USED), 522);
  EXPECT_EQ(U32(record, KLIA_INFO_LOG_USED_EX), 0u);
  // A position below the log's first page is a negative size, reported in the 16-bit field.
  Read(TypicalInfo().Set16(33, 117).Set16(35, 0));
  EXPECT_EQ(U16(record, KLIA_INFO_LOG_USED), static_cast<uint16_t>(-256));
  EXPECT_EQ(U32(record, KLIA_INFO_LOG_USED_EX), 0u);
  // LogPage 0xFFFF means no position whatever the offset.
  Read(TypicalInfo().Set16(33, 0xFFFF).Set16(35, 0));
  EXPECT_EQ(U16(record, KLIA_INFO_LOG_USED), 2048);
}

TEST_F(InfoTest, BoardsBeforeVersion123KeepTheDriversOwnDeviceCountAndA256ByteCache) {
  Read(TypicalInfo().Set16(0, 0x122).Set16(49, 512));
  EXPECT_EQ(result, 1u);
  EXPECT_EQ(record[KLIA_INFO_DEVICES], 0);
  EXPECT_EQ(U16(record, KLIA_INFO_EXT_HIGH), 0);
  EXPECT_EQ(U16(record, KLIA_INFO_VERSION), 0x122);
  EXPECT_EQ(PageCache.CacheLength, 256);

  // The driver operation itself leaves bytes 56-57 (and the other unwritten bytes) alone.
  std::memset(record, 0xAB, sizeof record);
  ASSERT_EQ(driver::KLIAGetInfo(record), 1u);
  EXPECT_EQ(record[56], 0xAB);
  EXPECT_EQ(record[57], 0xAB);
  EXPECT_EQ(record[11], 0xAB);
  EXPECT_EQ(record[28], 0xAB);

  Read(TypicalInfo().Set16(0, 0x123).Set16(49, 512));
  EXPECT_EQ(record[KLIA_INFO_DEVICES], 3);
  EXPECT_EQ(PageCache.CacheLength, 512);
}

// Both ways a command 16 fails may leave bytes in the incoming buffer: a failing transport
// call and a board answering a status. Neither reaches BoardInfo, CacheLength or the record.
TEST_F(InfoTest, AFailedInformationReadKeepsTheLastGoodPictureOfTheBoard) {
  Read(TypicalInfo());
  ASSERT_EQ(result, 1u);
  const BoardInfoRecord before = BoardInfo;
  const uint16_t cache_length = PageCache.CacheLength;

  const struct {
    const char *failure;
    bool transport_fails;
    uint8_t status;
  } kFailures[] = {{"transport failure scribbling the incoming bytes", true, KLIA_STATUS_TRANSPORT_FAILED},
                   {"board status 0x42 with scribbled incoming bytes", false, 0x42}};
  VBoardFault fault{};
  for (const auto &failure : kFailures) {
    SCOPED_TRACE(failure.failure);
    fault = {};
    fault.command = 16;
    fault.transport_fails = failure.transport_fails ? 1 : 0;
    fault.status = failure.transport_fails ? 0 : failure.status;
    fault.scribble = 1;
    VBoardAddFault(&fault);
    std::memset(record, 0xAB, sizeof record);
    EXPECT_EQ(driver::KLIAGetInfo(record), 0u);
    EXPECT_THAT(record, ::testing::Each(0xAB)) << "the record is untouched";
    EXPECT_EQ(GetErrorState(), (ErrorState{0, failure.status, failure.status}));
    EXPECT_EQ(std::memcmp(&BoardInfo, &before, sizeof before), 0) << "scribbled bytes never reach BoardInfo";
    EXPECT_EQ(PageCache.CacheLength, cache_length);
    VBoardClearFaults();
  }

  fault = {};
  fault.command = 16;
  fault.status = 0x42;
  VBoardAddFault(&fault);
  EXPECT_EQ(KLIAGetInfo(record), 0u);
  EXPECT_EQ(GetErrorState(), (ErrorState{0, 0x42, 0x42}));
}

TEST_F(InfoTest, ASuccessfulCallStoresStatusZeroWithoutClearingDeviceStatus) {
  Read(TypicalInfo());
  DriverState.DeviceStatus = 9;
  DriverState.LastError = 7507;
  EXPECT_EQ(KLIAGetInfo(record), 1u);
  EXPECT_EQ(GetErrorState(), (ErrorState{0, 0, 9}));
}

// Against the default virtual board, as a caller sees it.
TEST_F(BoardTest, AFreshBoardIsPresentAndReportsItsGeometry) {
  NewBoard(Geometry(32, 200, 16, 256));
  ASSERT_EQ(KLIADriverPresent(), 1u);
  uint8_t info[KLIA_INFO_RECORD_SIZE];
  ASSERT_EQ(KLIAGetInfo(info), 1u);
  EXPECT_THAT(Bytes(info, info + 11), ElementsAre(0x0A, 0x80, 0xAA, 0xAA, 0xAE, 0xE0, 0xA4, 0x2D, 0x41, 0x56, 0x52));
  EXPECT_EQ(U16(info, KLIA_INFO_USER_COUNT), 32);
  EXPECT_EQ(U16(info, KLIA_INFO_DATA_AREA_SIZE), 200 * 256);
  EXPECT_EQ(U32(info, KLIA_INFO_DATA_AREA_SIZE_EX), 0u);
  EXPECT_EQ(U16(info, KLIA_INFO_LOG_AREA_SIZE), 16 * 256);
  EXPECT_EQ(U16(info, KLIA_INFO_CHECK_WORD), 0) << "erased memory holds no check word";
  EXPECT_EQ(info[KLIA_INFO_STATE_CLASS], 1);
  EXPECT_EQ(U16(info, KLIA_INFO_VERSION), 0x123);
}

}  // namespace
}  // namespace mviahlp::testing
