// Probes from outside: boards that report page sizes the cache cannot hold, offsets at the
// ends of the signed range, and a flush whose write-back fails twice before it succeeds.
// Nothing crashes, no acknowledged write is lost, and every refusal carries its code.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "board_fixture.h"
#include "driver/page_cache.h"
#include "interface/library_state.h"
#include "support/bytes.h"
#include "vboard_helpers.h"

namespace mviahlp::testing {
namespace {

using ::testing::IsEmpty;

Bytes Pattern(size_t length, uint8_t seed) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 5);
  return bytes;
}

// A board whose information block reports `page_size` bytes per page (version 0x123, so the
// cache length follows it), 4 users, 2 data pages, the log in pages 14-15, PageCount 15; its
// memory has 16 pages of `memory_page_size` bytes.
void ServeRawBoard(uint16_t page_size, uint16_t memory_page_size) {
  uint8_t info[51] = {};
  put_le16(info + 0, 0x123);
  put_le16(info + 16, 4);   // UserCount
  put_le16(info + 18, 15);  // PageCount
  info[25] = 2;             // State: database ready
  put_le16(info + 33, 14);  // LogPage
  put_le16(info + 35, 0);   // LogOffset
  put_le16(info + 37, 14);  // LogFirstPage
  put_le16(info + 39, 2);   // LogPageCount
  put_le16(info + 41, 2);   // DataPageCount
  put_le16(info + 49, page_size);
  ASSERT_TRUE(VBoardCreateRaw(info, 16, memory_page_size));
}

struct PageSizeProbe {
  const char *name;
  uint16_t page_size;         // reported
  uint16_t memory_page_size;  // what the board really holds per page
};

class PageSizeProbeTest : public BoardTest, public ::testing::WithParamInterface<PageSizeProbe> {
 protected:
  void SetUp() override {
    ResetLibraryState();
    ServeRawBoard(GetParam().page_size, GetParam().memory_page_size);
  }
};

// Cached areas refuse what the cache cannot hold, before any board command; the log area moves
// its pieces straight between board and caller, so a large page still serves it.
TEST_P(PageSizeProbeTest, EveryRequestIsServedWithinBoundsOrRefused) {
  const uint16_t P = GetParam().page_size;
  EXPECT_EQ(KLIADriverPresent() & 0xFF, 1u);
  uint8_t record[KLIA_INFO_RECORD_SIZE] = {};
  EXPECT_EQ(KLIAGetInfo(record) & 0xFF, 1u);
  EXPECT_EQ(get_le32(record + KLIA_INFO_DATA_AREA_SIZE_EX) + get_le16(record + KLIA_INFO_DATA_AREA_SIZE),
            2u * P);
  VBoardTraceClear();

  Bytes buffer(64, 0x5A);
  uint16_t done = 0xBEEF;
  for (const uint8_t area : {0, 1, 2, 5, 0x83}) {
    SCOPED_TRACE("area " + std::to_string(area));
    EXPECT_EQ(KLIAReadDataEx(area, buffer.data(), 0, 16, &done) & 0xFF, 0u);
    EXPECT_EQ(KLIAWriteDataEx(area, buffer.data(), 0, 16, &done) & 0xFF, 0u);
    EXPECT_EQ(GetErrorState().last_error, KLIA_ERR_OUT_OF_RANGE);
    EXPECT_EQ(done, 0xBEEF);
  }
  EXPECT_THAT(BoardTrace(), IsEmpty());
  EXPECT_EQ(PageCache.CachedPage, kNoCachedPage);

  if (P == 0) {
    EXPECT_EQ(KLIAReadDataEx(3, buffer.data(), 0, 16, &done) & 0xFF, 0u);
    EXPECT_EQ(GetErrorState().last_error, KLIA_ERR_OUT_OF_RANGE);
    EXPECT_THAT(BoardTrace(), IsEmpty());
  } else {
    // Across the boundary of the two log pages, and read back.
    const Bytes data = Pattern(40, 0x31);
    const int32_t offset = P - 20;
    ASSERT_EQ(KLIAWriteDataEx(3, data.data(), offset, 40, &done) & 0xFF, 1u);
    EXPECT_EQ(done, 40);
    EXPECT_EQ(PeekBoard(14, P - 20, 20), Bytes(data.begin(), data.begin() + 20));
    EXPECT_EQ(PeekBoard(15, 0, 20), Bytes(data.begin() + 20, data.end()));
    Bytes back(40, 0);
    ASSERT_EQ(KLIAReadDataEx(3, back.data(), offset, 40, &done) & 0xFF, 1u);
    EXPECT_EQ(back, data);
    // Past the end of the log area: refused.
    EXPECT_EQ(KLIAReadDataEx(3, buffer.data(), 2 * P - 1, 2, &done) & 0xFF, 0u);
    EXPECT_EQ(GetErrorState().last_error, KLIA_ERR_OUT_OF_RANGE);
  }

  // User records live at offset 0 of their pages whatever the page size; a board whose pages
  // cannot hold one refuses the command, and the library reports it.
  Bytes user(KLIA_USER_RECORD_SIZE, 0);
  const bool user_ok = (KLIAReadUserData(1, user.data()) & 0xFF) != 0;
  EXPECT_EQ(user_ok, GetParam().memory_page_size >= 256);
  if (!user_ok) {
    EXPECT_EQ(GetErrorState().last_error, KLIA_ERR_PAGE_FAILED);
  }

  // Formatting reads every page within its test buffer, in pieces when pages are large.
  const bool formatted = (KLIAFormatDatabase(0x1234, nullptr) & 0xFF) != 0;
  const ErrorState after_format = GetErrorState();
  if (formatted) {
    EXPECT_EQ(after_format, (ErrorState{0, 0, 0}));
  } else {
    EXPECT_THAT(after_format.last_error, ::testing::AnyOf(KLIA_ERR_PAGE_FAILED, KLIA_ERR_WRITE_FAILED));
  }
  for (const TraceEntry &entry : BoardTrace()) {
    if (entry.command == 21) {
      EXPECT_LE(entry.in_length, 1025u) << "no read larger than the library's buffers";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Boards, PageSizeProbeTest,
    ::testing::Values(PageSizeProbe{"PageSize0", 0, 256}, PageSizeProbe{"PageSize2048", 2048, 2048},
                      PageSizeProbe{"PageSize65535", 65535, 65535}),
    [](const ::testing::TestParamInfo<PageSizeProbe> &info) { return std::string(info.param.name); });

// Offsets at the ends of the signed range never reach the board.
struct OffsetProbe {
  const char *name;
  uint8_t area;
  int32_t offset;
  uint16_t length;
  bool ok;
};

class OffsetProbeTest : public BoardTest, public ::testing::WithParamInterface<OffsetProbe> {};

TEST_P(OffsetProbeTest, ReadAndWriteAreRefusedBeforeAnyCommand) {
  const OffsetProbe &p = GetParam();
  Bytes buffer(p.length + 1u, 0x5A);
  uint16_t done = 0xBEEF;
  EXPECT_EQ(KLIAReadDataEx(p.area, buffer.data(), p.offset, p.length, &done) & 0xFF, p.ok ? 1u : 0u);
  EXPECT_EQ(GetErrorState(), (ErrorState{0, static_cast<uint16_t>(p.ok ? 0 : KLIA_ERR_OUT_OF_RANGE), 0}));
  EXPECT_EQ(done, p.ok ? 0 : 0xBEEF);
  EXPECT_EQ(buffer, Bytes(p.length + 1u, 0x5A));
  done = 0xBEEF;
  EXPECT_EQ(KLIAWriteDataEx(p.area, buffer.data(), p.offset, p.length, &done) & 0xFF, p.ok ? 1u : 0u);
  EXPECT_EQ(GetErrorState(), (ErrorState{0, static_cast<uint16_t>(p.ok ? 0 : KLIA_ERR_OUT_OF_RANGE), 0}));
  EXPECT_THAT(BoardTrace(), IsEmpty());
  EXPECT_EQ(PageCache.CachedPage, kNoCachedPage);
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, OffsetProbeTest,
    ::testing::Values(OffsetProbe{"MinusOne", 2, -1, 1, false}, OffsetProbe{"MinusOneLog", 3, -1, 1, false},
                      OffsetProbe{"MinusOneLong", 2, -1, 0xFFFF, false},
                      OffsetProbe{"Max", 2, 0x7FFFFFFF, 1, false}, OffsetProbe{"MaxLog", 3, 0x7FFFFFFF, 1, false},
                      OffsetProbe{"MaxLong", 0, 0x7FFFFFFF, 0xFFFF, false},
                      OffsetProbe{"MinusOneEmpty", 2, -1, 0, true}, OffsetProbe{"MaxEmpty", 2, 0x7FFFFFFF, 0, true}),
    [](const ::testing::TestParamInfo<OffsetProbe> &info) { return std::string(info.param.name); });

// A write-back that fails twice keeps the page dirty; the third flush delivers it. Both ways
// of flushing are probed: the export, which reports in the error state, and a write with a
// null address, which also reports in its result.
class FlushProbeTest : public BoardTest, public ::testing::WithParamInterface<bool> {};

TEST_P(FlushProbeTest, AWriteBackThatFailsTwiceThenSucceedsLosesNothing) {
  const bool through_null_write = GetParam();
  const Bytes data = Pattern(30, 0x77);
  const Bytes before = PeekBoard(1, 0, 256);
  uint16_t done = 0;
  ASSERT_EQ(KLIAWriteDataEx(0, data.data(), 100, 30, &done) & 0xFF, 1u);
  AddFault(FaultOn(22, 0x07, 0, 2));
  // The export reports a failure in the error state only (a success leaves it alone); the
  // null write reports in its result too.
  const auto flush = [&] {
    if (!through_null_write) {
      KLIAFlush();
      return PageCache.CacheDirty == 0;
    }
    return (KLIAWriteDataEx(0, nullptr, 0, 0, &done) & 0xFF) != 0;
  };
  for (int attempt = 1; attempt <= 2; ++attempt) {
    SCOPED_TRACE("attempt " + std::to_string(attempt));
    EXPECT_FALSE(flush());
    EXPECT_EQ(GetErrorState(), (ErrorState{0, KLIA_ERR_PAGE_FAILED, 0x07}));
    EXPECT_EQ(PageCache.CacheDirty, 1);
    EXPECT_EQ(PeekBoard(1, 0, 256), before);
  }
  // A read of the same page still sees the change while it waits.
  Bytes back(30, 0);
  ASSERT_EQ(KLIAReadDataEx(0, back.data(), 100, 30, &done) & 0xFF, 1u);
  EXPECT_EQ(back, data);

  EXPECT_TRUE(flush());
  EXPECT_EQ(PageCache.CacheDirty, 0);
  Bytes expected = before;
  std::copy(data.begin(), data.end(), expected.begin() + 100);
  EXPECT_EQ(PeekBoard(1, 0, 256), expected);
  EXPECT_EQ(BoardTrace().size(), 4u) << "load, two refused write-backs, one accepted";
}

INSTANTIATE_TEST_SUITE_P(Flushes, FlushProbeTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                           return std::string(info.param ? "NullWrite" : "KLIAFlush");
                         });

}  // namespace
}  // namespace mviahlp::testing
