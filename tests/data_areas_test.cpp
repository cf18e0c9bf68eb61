// Data areas and the page cache: the board commands a sequence of reads, writes and flushes
// sends, the requests refused before any command, what a failing board command leaves behind,
// and, with a fault at every command of a mixed sequence, that no acknowledged write is lost.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "board_fixture.h"
#include "driver/page_cache.h"
#include "interface/driver_state.h"
#include "interface/library_state.h"
#include "vboard_helpers.h"

namespace mviahlp::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

// Pages of the default board (32 users, 200 data pages, 16 log pages of 256 bytes).
constexpr uint16_t kPageSize = 256;
constexpr uint16_t kArea0Page = 1;   // pages 1-2
constexpr uint16_t kArea1Page = 4;   // pages 4-6
constexpr uint16_t kArea2Page = 40;  // 32 users + 8
constexpr uint16_t kArea5Page = 0;

uint16_t LogFirstPage() {
  VBoardGeometry geometry{};
  VBoardGetGeometry(&geometry);
  return geometry.log_first_page;
}

Bytes Pattern(size_t length, uint8_t seed) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 13);
  return bytes;
}

struct Result {
  bool ok;
  uint16_t done;
  Bytes data;  // what a read returned
};

Result Write(uint8_t area, int32_t offset, const Bytes &bytes, uint16_t done_before = 0xBEEF) {
  Bytes source = bytes;
  source.push_back(0);  // never empty, so data() is a real address: a null one would flush
  uint16_t done = done_before;
  const bool ok =
      (KLIAWriteDataEx(area, source.data(), offset, static_cast<uint16_t>(bytes.size()), &done) & 0xFF) != 0;
  return {ok, done, {}};
}

Result Read(uint8_t area, int32_t offset, uint16_t length, uint16_t done_before = 0xBEEF) {
  Bytes data(length + 1u, 0x5A);  // never empty, so data() is a real address
  uint16_t done = done_before;
  const bool ok = (KLIAReadDataEx(area, data.data(), offset, length, &done) & 0xFF) != 0;
  data.resize(length);
  return {ok, done, data};
}

ErrorState Errors(uint16_t last_error, uint16_t device_status) { return {0, last_error, device_status}; }

class DataAreasTest : public BoardTest {};

// ---------------------------------------------------------------------------------------------
// The cache on the wire

// A run of small writes inside one page costs one load; the flush writes the page once.
TEST_F(DataAreasTest, TwoWritesToOnePageCostOneLoadAndTheFlushOneWriteBack) {
  ASSERT_TRUE(Write(0, 10, {1, 2, 3, 4}).ok);
  ASSERT_TRUE(Write(0, 20, {5, 6, 7, 8}).ok);
  EXPECT_THAT(BoardTrace(), ElementsAre(IsReadMemory(kArea0Page, 0, kPageSize)));
  EXPECT_EQ(PeekBoard(kArea0Page, 10, 4), Bytes(4, 0xFF)) << "the change is still only in the cache";

  VBoardTraceClear();
  KLIAFlush();
  const std::vector<TraceEntry> trace = BoardTrace();
  ASSERT_THAT(trace, ElementsAre(IsWriteMemory(kArea0Page, 0, kPageSize)));
  Bytes expected(kPageSize, 0xFF);
  for (uint8_t i = 0; i < 4; ++i) {
    expected[10 + i] = static_cast<uint8_t>(1 + i);
    expected[20 + i] = static_cast<uint8_t>(5 + i);
  }
  EXPECT_EQ(trace[0].out, expected);
  EXPECT_EQ(PeekBoard(kArea0Page, 0, kPageSize), expected);

  VBoardTraceClear();
  KLIAFlush();
  EXPECT_THAT(BoardTrace(), IsEmpty()) << "a clean page is not written again";
  EXPECT_EQ(GetErrorState(), Errors(0, 0));
}

TEST_F(DataAreasTest, LeavingADirtyPageWritesItBackBeforeTheNextPageLoads) {
  ASSERT_TRUE(Write(0, 0, {0xAA}).ok);
  const Result read = Read(1, 0, 4);
  ASSERT_TRUE(read.ok);
  EXPECT_THAT(BoardTrace(), ElementsAre(IsReadMemory(kArea0Page, 0, kPageSize), IsWriteMemory(kArea0Page, 0, kPageSize),
                                        IsReadMemory(kArea1Page, 0, kPageSize)));
  EXPECT_EQ(PeekBoard(kArea0Page, 0, 1), Bytes{0xAA});
}

TEST_F(DataAreasTest, TheCachedPageIsServedWithoutACommandAndShowsItsChanges) {
  ASSERT_TRUE(Write(5, 8, {1, 2, 3}).ok);
  VBoardTraceClear();
  const Result read = Read(5, 7, 5);
  ASSERT_TRUE(read.ok);
  EXPECT_EQ(read.data, (Bytes{0xFF, 1, 2, 3, 0xFF}));
  EXPECT_EQ(read.done, 5);
  EXPECT_THAT(BoardTrace(), IsEmpty());
}

TEST_F(DataAreasTest, LogAreaPiecesGoStraightToTheBoardWithTheirOwnOffsets) {
  const uint16_t log = LogFirstPage();
  ASSERT_TRUE(Write(0, 0, {0x11}).ok);  // a dirty page in the cache, which the log must not disturb
  VBoardTraceClear();

  const Bytes data = Pattern(300, 1);
  const Result written = Write(3, 250, data);
  ASSERT_TRUE(written.ok);
  EXPECT_EQ(written.done, 300);
  const std::vector<TraceEntry> trace = BoardTrace();
  EXPECT_THAT(trace, ElementsAre(IsWriteMemory(log, 250, 6), IsWriteMemory(log + 1, 0, 256), IsWriteMemory(log + 2, 0, 38)));
  EXPECT_EQ(PeekBoard(log, 250, 6), Bytes(data.begin(), data.begin() + 6));
  EXPECT_EQ(PeekBoard(log + 1, 0, 256), Bytes(data.begin() + 6, data.begin() + 262));
  EXPECT_EQ(PeekBoard(log + 2, 0, 38), Bytes(data.begin() + 262, data.end()));

  VBoardTraceClear();
  const Result read = Read(3, 250, 300);
  ASSERT_TRUE(read.ok);
  EXPECT_EQ(read.data, data);
  EXPECT_THAT(BoardTrace(), ElementsAre(IsReadMemory(log, 250, 6), IsReadMemory(log + 1, 0, 256), IsReadMemory(log + 2, 0, 38)));

  EXPECT_EQ(PageCache.CachedPage, kArea0Page);
  EXPECT_EQ(PageCache.CacheDirty, 1);
  EXPECT_EQ(PeekBoard(kArea0Page, 0, 1), Bytes{0xFF});
}

TEST_F(DataAreasTest, Area0x83ReachesTheLogPagesThroughTheCache) {
  const uint16_t log = LogFirstPage();
  ASSERT_TRUE(Write(0x83, 260, {7, 8}).ok);
  ASSERT_TRUE(Read(0x83, 261, 1).ok);
  EXPECT_THAT(BoardTrace(), ElementsAre(IsReadMemory(log + 1, 0, kPageSize)));
  EXPECT_EQ(PageCache.CachedPage, log + 1);
  KLIAFlush();
  EXPECT_EQ(PeekBoard(log + 1, 4, 2), (Bytes{7, 8}));
}

TEST_F(DataAreasTest, AppendOffsetInTheLogAreaAppendsOneRecord) {
  const uint16_t log = LogFirstPage();
  VBoardSetLogPosition(log, 0);
  const Bytes record = Pattern(40, 3);
  for (const bool plain_form : {true, false}) {
    SCOPED_TRACE(plain_form ? "KLIAWriteData" : "KLIAWriteDataEx");
    VBoardTraceClear();
    uint16_t done = 0xBEEF;
    const KLIA_BOOL ok = plain_form ? KLIAWriteData(3, record.data(), 0xFFFF, 40, &done)
                                    : KLIAWriteDataEx(3, record.data(), 0xFFFF, 40, &done);
    EXPECT_EQ(ok & 0xFF, 1u);
    EXPECT_EQ(done, 0xBEEF) << "an append does not count";
    const std::vector<TraceEntry> trace = BoardTrace();
    ASSERT_THAT(trace, ElementsAre(IsCommand(20, {40, 0})));
    EXPECT_EQ(trace[0].out, record);
  }
  EXPECT_EQ(PeekBoard(log, 0, 40), record);
  EXPECT_EQ(PeekBoard(log, 40, 40), record);
  EXPECT_EQ(PageCache.CachedPage, kNoCachedPage);
}

TEST_F(DataAreasTest, ARefusedAppendFailsAndLeavesTheErrorStateClear) {
  // A fresh board has no log position: it refuses the append with its own status.
  uint16_t done = 0;
  const Bytes record = Pattern(8, 1);
  EXPECT_EQ(KLIAWriteDataEx(3, record.data(), 0xFFFF, 8, &done) & 0xFF, 0u);
  EXPECT_THAT(BoardTrace(), ElementsAre(IsCommand(20, {8, 0})));
  EXPECT_NE(BoardTrace()[0].status, 0);
  EXPECT_EQ(GetErrorState(), Errors(0, 0));
}

TEST_F(DataAreasTest, OffsetMinusOneInTheLogAreaIsNoAppend) {
  const Result result = Write(3, -1, {1, 2});
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_OUT_OF_RANGE, 0));
  EXPECT_THAT(BoardTrace(), IsEmpty());
}

TEST_F(DataAreasTest, ANullDataAddressOnlyFlushes) {
  ASSERT_TRUE(Write(0, 3, {0x42}).ok);
  VBoardTraceClear();
  uint16_t done = 0xBEEF;
  // Even with area 3 at the append offset: the null address is tested first.
  EXPECT_EQ(KLIAWriteData(3, nullptr, 0xFFFF, 40, &done) & 0xFF, 1u);
  EXPECT_EQ(done, 0xBEEF);
  EXPECT_THAT(BoardTrace(), ElementsAre(IsWriteMemory(kArea0Page, 0, kPageSize)));
  EXPECT_EQ(PeekBoard(kArea0Page, 3, 1), Bytes{0x42});
  EXPECT_EQ(PageCache.CachedPage, kArea0Page) << "the page stays cached, clean";
  EXPECT_EQ(PageCache.CacheDirty, 0);
}

TEST_F(DataAreasTest, PlainFormsWidenTheOffsetWithZeros) {
  // Offset 0xFFFF of area 2 is inside its 51200 bytes only as 65535, never as -1.
  uint8_t byte = 0x77;
  uint16_t done = 0;
  ASSERT_EQ(KLIAWriteData(2, &byte, 0xFFFF, 1, &done) & 0xFF, 0u) << "65535 is past the end of area 2";
  EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_OUT_OF_RANGE, 0));
  ASSERT_EQ(KLIAWriteData(2, &byte, 0xC7FF, 1, &done) & 0xFF, 1u);  // its last byte
  KLIAFlush();
  EXPECT_EQ(PeekBoard(kArea2Page + 199, 255, 1), Bytes{0x77});
}

// ---------------------------------------------------------------------------------------------
// Requests refused before any board command, and the splitting into pieces

struct RangeCase {
  const char *name;
  uint8_t area;
  int32_t offset;
  uint16_t length;
  bool ok;
  uint16_t last_error;
  uint16_t done;  // 0xBEEF: not written
  std::vector<std::vector<uint8_t>> read_trace;   // memory address blocks of the commands 21
  std::vector<std::vector<uint8_t>> write_loads;  // of the commands 21 and 22 of a write, in order
};

std::vector<uint8_t> Block(uint16_t page, uint16_t offset, uint16_t count) { return MemoryAddress(page, offset, count); }

const RangeCase kRangeCases[] = {
    {"length 0 at the start of area 0", 0, 0, 0, true, 0, 0, {}, {}},
    {"length 0 in area 4", 4, 0, 0, true, 0, 0, {}, {}},
    {"length 0 far past the end", 0, 1000000, 0, true, 0, 0, {}, {}},
    {"area 4 has no pages", 4, 0, 1, false, KLIA_ERR_OUT_OF_RANGE, 0xBEEF, {}, {}},
    {"area 0x84 is area 4", 0x84, 0, 1, false, KLIA_ERR_OUT_OF_RANGE, 0xBEEF, {}, {}},
    {"areas 6 to 127 have no pages", 6, 0, 1, false, KLIA_ERR_OUT_OF_RANGE, 0xBEEF, {}, {}},
    {"area 127", 127, 0, 1, false, KLIA_ERR_OUT_OF_RANGE, 0xBEEF, {}, {}},
    {"510/2 ends at the end of area 0", 0, 510, 2, true, 0, 2, {Block(2, 0, 256)}, {Block(2, 0, 256)}},
    {"510/3 runs one byte past it", 0, 510, 3, false, KLIA_ERR_OUT_OF_RANGE, 0xBEEF, {}, {}},
    {"254/260 runs past it", 0, 254, 260, false, KLIA_ERR_OUT_OF_RANGE, 0xBEEF, {}, {}},
    {"254/258 is two pieces", 0, 254, 258, true, 0, 258, {Block(1, 0, 256), Block(2, 0, 256)},
     {Block(1, 0, 256), Block(1, 0, 256), Block(2, 0, 256)}},
    {"area 0x80 is area 0", 0x80, 510, 2, true, 0, 2, {Block(2, 0, 256)}, {Block(2, 0, 256)}},
    {"area 5 is one page", 5, 255, 2, false, KLIA_ERR_OUT_OF_RANGE, 0xBEEF, {}, {}},
    {"three pages of area 1", 1, 0, 768, true, 0, 768, {Block(4, 0, 256), Block(5, 0, 256), Block(6, 0, 256)},
     {Block(4, 0, 256), Block(4, 0, 256), Block(5, 0, 256), Block(5, 0, 256), Block(6, 0, 256)}},
    {"last byte of area 2", 2, 51199, 1, true, 0, 1, {Block(239, 0, 256)}, {Block(239, 0, 256)}},
    {"first byte past area 2", 2, 51200, 1, false, KLIA_ERR_OUT_OF_RANGE, 0xBEEF, {}, {}},
    {"negative offset", 0, -1, 1, false, KLIA_ERR_OUT_OF_RANGE, 0xBEEF, {}, {}},
    {"negative offset that ends inside", 0, -10, 20, false, KLIA_ERR_OUT_OF_RANGE, 0xBEEF, {}, {}},
    {"most negative offset", 2, INT32_MIN, 0xFFFF, false, KLIA_ERR_OUT_OF_RANGE, 0xBEEF, {}, {}},
    {"offset + length past the signed range", 2, INT32_MAX, 2, false, KLIA_ERR_OUT_OF_RANGE, 0xBEEF, {}, {}},
    {"negative log offset", 3, -256, 10, false, KLIA_ERR_OUT_OF_RANGE, 0xBEEF, {}, {}},
};

class RangeTest : public BoardTest, public ::testing::WithParamInterface<RangeCase> {};

std::vector<std::vector<uint8_t>> Blocks(const std::vector<TraceEntry> &trace) {
  std::vector<std::vector<uint8_t>> blocks;
  for (const TraceEntry &entry : trace) blocks.push_back(entry.param);
  return blocks;
}

TEST_P(RangeTest, Read) {
  const RangeCase &c = GetParam();
  const Result result = Read(c.area, c.offset, c.length);
  EXPECT_EQ(result.ok, c.ok);
  EXPECT_EQ(result.done, c.done);
  EXPECT_EQ(GetErrorState(), Errors(c.last_error, 0));
  EXPECT_EQ(Blocks(BoardTrace()), c.read_trace);
  for (const TraceEntry &entry : BoardTrace()) EXPECT_EQ(entry.command, 21);
}

TEST_P(RangeTest, Write) {
  const RangeCase &c = GetParam();
  const Result result = Write(c.area, c.offset, Pattern(c.length, 9));
  EXPECT_EQ(result.ok, c.ok);
  EXPECT_EQ(result.done, c.done);
  EXPECT_EQ(GetErrorState(), Errors(c.last_error, 0));
  EXPECT_EQ(Blocks(BoardTrace()), c.write_loads);
  if (!c.ok) {
    EXPECT_EQ(PageCache.CachedPage, kNoCachedPage);
  }
}

INSTANTIATE_TEST_SUITE_P(Requests, RangeTest, ::testing::ValuesIn(kRangeCases),
                         [](const ::testing::TestParamInfo<RangeCase> &info) {
                           std::string name;
                           for (const char *p = info.param.name; *p != 0; ++p) {
                             name += (std::isalnum(static_cast<unsigned char>(*p)) != 0) ? *p : '_';
                           }
                           return name;
                         });

// A piece written into the cache lands at its place in the page; the pieces of a request split
// over pages carry the right bytes.
TEST_F(DataAreasTest, APieceSplitOverPagesLandsByteForByte) {
  const Bytes data = Pattern(258, 40);
  const Result written = Write(0, 254, data);
  ASSERT_TRUE(written.ok);
  KLIAFlush();
  EXPECT_EQ(PeekBoard(1, 254, 2), Bytes(data.begin(), data.begin() + 2));
  EXPECT_EQ(PeekBoard(2, 0, 256), Bytes(data.begin() + 2, data.end()));
  EXPECT_EQ(PeekBoard(1, 0, 254), Bytes(254, 0xFF));
  const Result read = Read(0, 254, 258);
  EXPECT_EQ(read.data, data);
}

// A read over several pages sends exactly what loading each page into the cache in turn
// sends, whatever page the cache held and whether a command fails, and ends holding the page
// of its last piece (whole pages it passes may go straight into the caller's buffer).
struct MultiPageCase {
  const char *name;
  int dirty;  // page of area 2 (0-2) changed in the cache before the read, or -1
  int32_t offset;
  uint16_t length;
  uint8_t failing_command;  // 0: none; else fails with status 0x33 at its `nth` use
  uint32_t nth;
  std::vector<std::pair<uint8_t, uint16_t>> trace;  // (command, page): 21 whole-page loads, 22 write-backs
  bool ok;
  uint16_t done;
  uint16_t cached;  // CachedPage afterwards
  uint8_t dirty_after;
};

class MultiPageReadTest : public BoardTest, public ::testing::WithParamInterface<MultiPageCase> {};

TEST_P(MultiPageReadTest, SendsWhatPageByPageLoadingSends) {
  const MultiPageCase &c = GetParam();
  Bytes area(3 * kPageSize);
  for (uint16_t p = 0; p < 3; ++p) {
    const Bytes page = Pattern(kPageSize, static_cast<uint8_t>(p * 50));
    PokeBoard(kArea2Page + p, 0, page);
    std::copy(page.begin(), page.end(), area.begin() + p * kPageSize);
  }
  if (c.dirty >= 0) {
    ASSERT_TRUE(Write(2, c.dirty * kPageSize + 5, {0xAB}).ok);
    area[c.dirty * kPageSize + 5] = 0xAB;
  }
  if (c.failing_command != 0) AddFault(FaultOn(c.failing_command, 0x33, c.nth, 1));
  VBoardTraceClear();

  const Result read = Read(2, c.offset, c.length);

  std::vector<::testing::Matcher<const TraceEntry &>> expected;
  for (const auto &[command, page] : c.trace)
    expected.push_back(command == 21 ? IsReadMemory(kArea2Page + page, 0, kPageSize)
                                     : IsWriteMemory(kArea2Page + page, 0, kPageSize));
  EXPECT_THAT(BoardTrace(), ::testing::ElementsAreArray(expected));
  EXPECT_EQ(read.ok, c.ok);
  EXPECT_EQ(read.done, c.done);
  EXPECT_EQ(Bytes(read.data.begin(), read.data.begin() + read.done),
            Bytes(area.begin() + c.offset, area.begin() + c.offset + read.done));
  EXPECT_EQ(GetErrorState(), c.ok ? Errors(0, 0) : Errors(KLIA_ERR_PAGE_FAILED, 0x33));
  EXPECT_EQ(PageCache.CachedPage, c.cached == kNoCachedPage ? kNoCachedPage : kArea2Page + c.cached);
  EXPECT_EQ(PageCache.CacheDirty, c.dirty_after);

  // What the cache holds now decides the next commands: the held page costs nothing.
  if (c.ok) {
    VBoardTraceClear();
    const Result again = Read(2, c.cached * kPageSize, kPageSize);
    EXPECT_EQ(again.data, Bytes(area.begin() + c.cached * kPageSize, area.begin() + (c.cached + 1) * kPageSize));
    EXPECT_THAT(BoardTrace(), IsEmpty());
  }
}

const MultiPageCase kMultiPageCases[] = {
    {"Cold", -1, 0, 768, 0, 0, {{21, 0}, {21, 1}, {21, 2}}, true, 768, 2, 0},
    {"LeadingPieceAndTail", -1, 100, 600, 0, 0, {{21, 0}, {21, 1}, {21, 2}}, true, 600, 2, 0},
    {"OneWholePage", -1, 256, 256, 0, 0, {{21, 1}}, true, 256, 1, 0},
    {"FirstPageHeldDirty", 0, 0, 768, 0, 0, {{22, 0}, {21, 1}, {21, 2}}, true, 768, 2, 0},
    {"MiddlePageHeldDirty", 1, 0, 768, 0, 0, {{22, 1}, {21, 0}, {21, 1}, {21, 2}}, true, 768, 2, 0},
    {"LastPageHeldDirty", 2, 0, 768, 0, 0, {{22, 2}, {21, 0}, {21, 1}, {21, 2}}, true, 768, 2, 0},
    {"LoadOfAPassedPageFails", -1, 0, 768, 21, 2, {{21, 0}, {21, 1}}, false, 256, kNoCachedPage, 0},
    {"LoadOfTheLastPageFails", -1, 0, 768, 21, 3, {{21, 0}, {21, 1}, {21, 2}}, false, 512, kNoCachedPage, 0},
    {"WriteBackFails", 1, 0, 768, 22, 1, {{22, 1}}, false, 0, 1, 1},
};

INSTANTIATE_TEST_SUITE_P(Reads, MultiPageReadTest, ::testing::ValuesIn(kMultiPageCases),
                         [](const ::testing::TestParamInfo<MultiPageCase> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Failing board commands

TEST_F(DataAreasTest, AFailedLoadStopsTheRequestAndCountsTheEarlierPieces) {
  AddFault(FaultOn(21, 0x33, /*nth*/ 2));
  const Result read = Read(0, 254, 258);
  EXPECT_FALSE(read.ok);
  EXPECT_EQ(read.done, 2);
  EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_PAGE_FAILED, 0x33));
  EXPECT_THAT(BoardTrace(), ElementsAre(IsReadMemory(1, 0, 256), IsReadMemory(2, 0, 256)));
}

TEST_F(DataAreasTest, ATransportFailureIsStatus255) {
  AddFault(TransportFailureOn(21));
  const Result read = Read(1, 0, 1);
  EXPECT_FALSE(read.ok);
  EXPECT_EQ(read.done, 0);
  EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_PAGE_FAILED, 255));
}

TEST_F(DataAreasTest, ALogPieceTheBoardRefusesFailsTheRequest) {
  const uint16_t log = LogFirstPage();
  AddFault(FaultOn(22, 0x44, /*nth*/ 2));
  const Result written = Write(3, 200, Pattern(100, 1));
  EXPECT_FALSE(written.ok);
  EXPECT_EQ(written.done, 56);
  EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_PAGE_FAILED, 0x44));
  EXPECT_THAT(BoardTrace(), ElementsAre(IsWriteMemory(log, 200, 56), IsWriteMemory(log + 1, 0, 44)));
}

// A failed load leaves the cache empty: bytes a failing transport scribbled into the buffer
// are never served as the previously cached page, nor written back.
TEST_F(DataAreasTest, AFailedLoadEmptiesTheCache) {
  PokeBoard(kArea0Page, 0, Pattern(256, 1));
  ASSERT_TRUE(Read(0, 0, 4).ok);  // page 1 cached, clean
  AddFault(TransportFailureOn(21, /*scribble*/ true, /*nth*/ 1, /*times*/ 1));
  EXPECT_FALSE(Read(1, 0, 4).ok);
  EXPECT_EQ(PageCache.CachedPage, kNoCachedPage);
  EXPECT_EQ(PageCache.CacheDirty, 0);

  VBoardTraceClear();
  const Result again = Read(0, 0, 256);
  ASSERT_TRUE(again.ok);
  EXPECT_EQ(again.data, Pattern(256, 1));
  EXPECT_THAT(BoardTrace(), ElementsAre(IsReadMemory(kArea0Page, 0, kPageSize)));
  KLIAFlush();
  EXPECT_EQ(PeekBoard(kArea0Page, 0, 256), Pattern(256, 1));
}

TEST_F(DataAreasTest, AFailedLoadByAStatusWithScribbleAlsoEmptiesTheCache) {
  ASSERT_TRUE(Write(0, 0, {1}).ok);
  KLIAFlush();  // page 1 cached, clean
  VBoardFault fault = FaultOn(21, 0x21, 1, 1);
  fault.scribble = 1;
  AddFault(fault);
  EXPECT_FALSE(Write(1, 0, {2}).ok);
  EXPECT_EQ(PageCache.CachedPage, kNoCachedPage);
  KLIAFlush();
  EXPECT_EQ(PeekBoard(kArea0Page, 0, 4), (Bytes{1, 0xFF, 0xFF, 0xFF}));
}

// The write-back of a dirty page that fails inside a read, a write or a flush keeps the page
// dirty with its changes; the failure is reported; a later write-back delivers the changes.
struct WriteBackCase {
  const char *name;
  bool transport_fails;
  int next;  // 0: read another page, 1: write another page, 2: KLIAFlush, 3: KLIAWriteData(null)
};

class WriteBackFailureTest : public BoardTest, public ::testing::WithParamInterface<WriteBackCase> {};

TEST_P(WriteBackFailureTest, KeepsTheChangesAndReportsTheFailure) {
  const WriteBackCase &c = GetParam();
  ASSERT_TRUE(Write(0, 100, {0xC1, 0xC2}).ok);
  AddFault(c.transport_fails ? TransportFailureOn(22, true, 1, 1) : FaultOn(22, 0x07, 1, 1));
  const uint8_t status = c.transport_fails ? 255 : 0x07;
  VBoardTraceClear();
  switch (c.next) {
    case 0: {
      const Result read = Read(1, 0, 4);
      EXPECT_FALSE(read.ok);
      EXPECT_EQ(read.done, 0);
      break;
    }
    case 1: {
      const Result written = Write(1, 0, {9});
      EXPECT_FALSE(written.ok);
      EXPECT_EQ(written.done, 0);
      break;
    }
    case 2: KLIAFlush(); break;
    case 3: {
      uint16_t done = 0;
      EXPECT_EQ(KLIAWriteData(0, nullptr, 0, 0, &done) & 0xFF, 0u) << "the page did not reach the board";
      break;
    }
  }
  EXPECT_THAT(BoardTrace(), ElementsAre(IsWriteMemory(kArea0Page, 0, kPageSize)));
  EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_PAGE_FAILED, status));
  EXPECT_EQ(PageCache.CachedPage, kArea0Page);
  EXPECT_EQ(PageCache.CacheDirty, 1);
  EXPECT_EQ(PeekBoard(kArea0Page, 100, 2), Bytes(2, 0xFF));

  VBoardTraceClear();
  KLIAFlush();
  EXPECT_THAT(BoardTrace(), ElementsAre(IsWriteMemory(kArea0Page, 0, kPageSize)));
  EXPECT_EQ(PeekBoard(kArea0Page, 100, 2), (Bytes{0xC1, 0xC2}));
  EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_PAGE_FAILED, status)) << "a successful flush leaves the error state alone";
  EXPECT_EQ(PageCache.CacheDirty, 0);
}

INSTANTIATE_TEST_SUITE_P(
    WriteBacks, WriteBackFailureTest,
    ::testing::Values(WriteBackCase{"ReadOfAnotherPage", false, 0}, WriteBackCase{"WriteOfAnotherPage", false, 1},
                      WriteBackCase{"Flush", false, 2}, WriteBackCase{"NullDataAddress", false, 3},
                      WriteBackCase{"ReadOfAnotherPageTransport", true, 0},
                      WriteBackCase{"FlushTransport", true, 2}),
    [](const ::testing::TestParamInfo<WriteBackCase> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Boards whose geometry the cache cannot hold

class GeometryTest : public BoardTest {
 protected:
  void SetUp() override {}
  void Serve(VBoardGeometry geometry) {
    NewBoard(geometry);
    ASSERT_TRUE(Bind());
  }
};

TEST_F(GeometryTest, PagesLargerThanTheCacheBufferAreOnlyReachableThroughTheLogArea) {
  Serve(Geometry(4, 4, 4, 2048));
  for (const uint8_t area : {0, 1, 2, 5, 0x83}) {
    SCOPED_TRACE(int(area));
    EXPECT_FALSE(Read(area, 0, 1).ok);
    EXPECT_FALSE(Write(area, 0, {1}).ok);
    EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_OUT_OF_RANGE, 0));
  }
  EXPECT_THAT(BoardTrace(), IsEmpty());

  VBoardGeometry geometry{};
  VBoardGetGeometry(&geometry);
  const Bytes data = Pattern(2100, 5);
  const Result written = Write(3, 2000, data);
  ASSERT_TRUE(written.ok);
  EXPECT_EQ(written.done, 2100);
  EXPECT_THAT(BoardTrace(), ElementsAre(IsWriteMemory(geometry.log_first_page, 2000, 48),
                                        IsWriteMemory(geometry.log_first_page + 1, 0, 2048),
                                        IsWriteMemory(geometry.log_first_page + 2, 0, 4)));
  EXPECT_EQ(Read(3, 2000, 2100).data, data);
}

TEST_F(GeometryTest, PagesOf1024BytesFitTheCache) {
  Serve(Geometry(4, 4, 4, 1024));
  const Bytes data = Pattern(8, 1);
  ASSERT_TRUE(Write(0, 1020, data).ok);
  EXPECT_THAT(BoardTrace(), ElementsAre(IsReadMemory(1, 0, 1024), IsWriteMemory(1, 0, 1024), IsReadMemory(2, 0, 1024)));
  KLIAFlush();
  EXPECT_EQ(PeekBoard(1, 1020, 4), Bytes(data.begin(), data.begin() + 4));
  EXPECT_EQ(PeekBoard(2, 0, 4), Bytes(data.begin() + 4, data.end()));
}

// A board older than version 0x123 has CacheLength 256 whatever its page size. The cache
// moves only those bytes, so pieces beyond them are refused instead of being lost.
TEST_F(GeometryTest, AnOldBoardWithLargerPagesKeepsPiecesWithinCacheLength) {
  VBoardGeometry geometry = Geometry(4, 4, 4, 512);
  geometry.version = 0x122;
  Serve(geometry);
  ASSERT_EQ(PageCache.CacheLength, 256);

  EXPECT_TRUE(Write(0, 0, Pattern(256, 1)).ok);
  EXPECT_THAT(BoardTrace(), ElementsAre(IsReadMemory(1, 0, 256)));
  VBoardTraceClear();
  const std::pair<int32_t, uint16_t> beyond[] = {{250, 10}, {256, 1}, {0, 300}, {500, 100}};
  for (const auto &[offset, length] : beyond) {
    SCOPED_TRACE(offset);
    EXPECT_FALSE(Write(0, offset, Pattern(length, 2)).ok);
    EXPECT_FALSE(Read(0, offset, static_cast<uint16_t>(length)).ok);
    EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_OUT_OF_RANGE, 0));
  }
  EXPECT_THAT(BoardTrace(), IsEmpty());
  // The log area moves its pieces straight and is not limited.
  EXPECT_TRUE(Write(3, 300, Pattern(600, 3)).ok);
}

// The same old board with pages smaller than 256 bytes: a load or write-back of CacheLength
// bytes would run into the next page (and a write-back would overwrite it with the bytes it
// held at load), so the cache moves one page, no more.
TEST_F(GeometryTest, AnOldBoardWithSmallerPagesMovesOnePagePerLoadAndWriteBack) {
  for (const uint16_t page_size : {97, 128, 255}) {
    SCOPED_TRACE(page_size);
    VBoardGeometry geometry = Geometry(4, 4, 4, page_size);
    geometry.version = 0x122;
    Serve(geometry);
    ASSERT_EQ(PageCache.CacheLength, 256);
    const Bytes page2 = Pattern(page_size, 7);
    PokeBoard(2, 0, page2);
    PokeBoard(3, 0, Pattern(page_size, 9));

    // Pieces in pages 1 and 2 of area 0: each load and write-back is one page long.
    const Bytes data = Pattern(20, 1);
    const auto offset = static_cast<int32_t>(page_size - 10);
    ASSERT_TRUE(Write(0, offset, data).ok);
    KLIAFlush();
    EXPECT_THAT(BoardTrace(), ElementsAre(IsReadMemory(1, 0, page_size), IsWriteMemory(1, 0, page_size),
                                          IsReadMemory(2, 0, page_size), IsWriteMemory(2, 0, page_size)));
    Bytes expected_page2 = page2;
    std::copy(data.begin() + 10, data.end(), expected_page2.begin());
    EXPECT_EQ(PeekBoard(1, offset, 10), Bytes(data.begin(), data.begin() + 10));
    EXPECT_EQ(PeekBoard(2, 0, page_size), expected_page2);
    EXPECT_EQ(PeekBoard(3, 0, page_size), Pattern(page_size, 9)) << "the page after area 0 is untouched";

    // A read of the whole area, the first page passing straight into the caller's buffer.
    VBoardTraceClear();
    const Result read = Read(0, 0, static_cast<uint16_t>(2 * page_size));
    ASSERT_TRUE(read.ok);
    EXPECT_EQ(read.done, 2 * page_size);
    EXPECT_EQ(Bytes(read.data.begin() + offset, read.data.begin() + offset + 20), data);
    EXPECT_THAT(BoardTrace(), ElementsAre(IsReadMemory(1, 0, page_size), IsReadMemory(2, 0, page_size)));

    // The records kept in areas 0 and 5 work on such a board.
    ASSERT_EQ(KLIAWriteHwStep(42) & 0xFF, 1u);
    uint8_t step = 0;
    ASSERT_EQ(KLIAReadHwStep(&step) & 0xFF, 1u);
    EXPECT_EQ(step, 42);
  }
}

// A held page counts as not cached once KLIAGetInfo changed CacheLength: it is written back
// with the bytes it was loaded with and loaded again, so no change is lost and no byte that
// was never loaded is written.
TEST_F(GeometryTest, AChangedCacheLengthReloadsTheHeldPage) {
  VBoardGeometry geometry = Geometry(4, 4, 4, 512);
  geometry.version = 0x122;
  Serve(geometry);
  PokeBoard(1, 0, Pattern(512, 1));
  ASSERT_TRUE(Write(0, 10, {0xE1}).ok);  // loaded with 256 bytes

  VBoardPatchInfo(0, 0x23, 1, 0);  // the board now reports version 0x123: CacheLength 512
  uint8_t info[KLIA_INFO_RECORD_SIZE];
  ASSERT_EQ(KLIAGetInfo(info) & 0xFF, 1u);
  ASSERT_EQ(PageCache.CacheLength, 512);
  VBoardTraceClear();

  ASSERT_TRUE(Write(0, 300, {0xE2}).ok);
  EXPECT_THAT(BoardTrace(), ElementsAre(IsWriteMemory(1, 0, 256), IsReadMemory(1, 0, 512)));
  KLIAFlush();
  Bytes expected = Pattern(512, 1);
  expected[10] = 0xE1;
  expected[300] = 0xE2;
  EXPECT_EQ(PeekBoard(1, 0, 512), expected);

  // And back: a page loaded with 512 bytes is written back with 512.
  ASSERT_TRUE(Write(0, 400, {0xE3}).ok);
  VBoardPatchInfo(0, 0x22, 1, 0);
  ASSERT_EQ(KLIAGetInfo(info) & 0xFF, 1u);
  ASSERT_EQ(PageCache.CacheLength, 256);
  VBoardTraceClear();
  KLIAFlush();
  EXPECT_THAT(BoardTrace(), ElementsAre(IsWriteMemory(1, 0, 512)));
  EXPECT_EQ(PeekBoard(1, 400, 1), Bytes{0xE3});
}

// On a board older than 0x123 with pages shorter than CacheLength the transfer length is the
// page size. When the board reports a smaller page size between a page's load and its
// write-back (here through KLIAGetCurrentUser, which refreshes the board's information
// without KLIAGetInfo), the write-back still sends the length the page was loaded with (the
// bytes the cache holds, no byte it never loaded) and the next load the new length.
TEST_F(GeometryTest, AShrunkPageSizeWritesBackTheLoadedLengthAndLoadsTheNewOne) {
  VBoardGeometry geometry = Geometry(4, 4, 4, 200);
  geometry.version = 0x122;
  Serve(geometry);
  PokeBoard(1, 0, Pattern(200, 1));
  ASSERT_TRUE(Write(0, 150, {0xE1}).ok);  // page 1 loaded with 200 bytes
  ASSERT_EQ(PageCache.LoadedLength, 200);

  VBoardPatchInfo(49, 128, 1, 0);  // from the next answer on, the board reports 128-byte pages
  uint16_t user = 0;
  uint8_t flag = 0;
  KLIAGetCurrentUser(&user, &flag);
  ASSERT_EQ(BoardInfo.PageSize, 128);
  VBoardTraceClear();

  ASSERT_TRUE(Write(0, 10, {0xE2}).ok);
  EXPECT_THAT(BoardTrace(), ElementsAre(IsWriteMemory(1, 0, 200), IsReadMemory(1, 0, 128)));
  Bytes expected = Pattern(200, 1);
  expected[150] = 0xE1;
  EXPECT_EQ(PeekBoard(1, 0, 200), expected);
  VBoardTraceClear();
  KLIAFlush();
  EXPECT_THAT(BoardTrace(), ElementsAre(IsWriteMemory(1, 0, 128)));
  EXPECT_EQ(PeekBoard(1, 10, 1), Bytes{0xE2});
}

// While BoardInfo holds its load-time zeros the page size is 0: nothing is in range, and
// nothing divides by it.
TEST_F(GeometryTest, PageSizeZeroRefusesEveryNonEmptyRequest) {
  NewBoard(Geometry());
  AddFault(FaultOn(16, 0x09, 1, 1));  // the probe fails: BoardInfo stays all zero
  EXPECT_FALSE(Bind());
  ASSERT_EQ(DriverState.Present, 1u);
  for (const uint8_t area : {0, 1, 2, 3, 4, 5, 0x83}) {
    SCOPED_TRACE(int(area));
    EXPECT_FALSE(Read(area, 0, 1).ok);
    EXPECT_FALSE(Write(area, 0, {1}).ok);
    EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_OUT_OF_RANGE, 0));
    EXPECT_TRUE(Read(area, 0, 0).ok);
  }
  EXPECT_THAT(BoardTrace(), IsEmpty());
}

TEST_F(GeometryTest, ABoardReportingPageSizeZeroIsRefusedToo) {
  uint8_t info[51] = {};
  info[0] = 0x23, info[1] = 0x01;       // version 0x123: CacheLength := page size = 0
  info[16] = 4;                         // users
  info[41] = 10;                        // data pages
  info[37] = 20, info[39] = 4;          // log pages 20-23
  ResetLibraryState();
  ASSERT_TRUE(VBoardCreateRaw(info, 32, 256));
  ASSERT_TRUE(Bind());
  for (const uint8_t area : {0, 2, 3, 5}) {
    EXPECT_FALSE(Read(area, 0, 1).ok);
    EXPECT_FALSE(Write(area, 0, {1}).ok);
  }
  EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_OUT_OF_RANGE, 0));
  EXPECT_THAT(BoardTrace(), IsEmpty());
}

// Page numbers are 16-bit: a request is refused rather than wrap around to page 0, and the
// cache never holds page 0xFFFF, its own "no page" mark.
TEST_F(GeometryTest, PagesPastTheSixteenBitRangeAreRefused) {
  uint8_t info[51] = {};
  info[0] = 0x23, info[1] = 0x01;
  info[16] = 0xF0, info[17] = 0xFF;  // 0xFFF0 users: area 2 starts at page 0xFFF8
  info[41] = 16;                     // 16 data pages: 0xFFF8-0x10007
  info[37] = 0xFF, info[38] = 0xFF;  // log at page 0xFFFF, 2 pages
  info[39] = 2;
  info[49] = 0x00, info[50] = 0x01;  // 256-byte pages
  ResetLibraryState();
  ASSERT_TRUE(VBoardCreateRaw(info, 16, 256));
  ASSERT_TRUE(Bind());
  EXPECT_FALSE(Read(2, 7 * 256, 1).ok);    // page 0xFFFF
  EXPECT_FALSE(Read(2, 8 * 256, 1).ok);    // page 0x10000
  EXPECT_FALSE(Write(2, 6 * 256, Pattern(300, 1)).ok);
  EXPECT_FALSE(Read(3, 256, 1).ok);        // log page 0x10000
  EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_OUT_OF_RANGE, 0));
  EXPECT_THAT(BoardTrace(), IsEmpty());
  Read(3, 0, 1);                           // log page 0xFFFF is a page like any other
  EXPECT_THAT(BoardTrace(), ElementsAre(IsReadMemory(0xFFFF, 0, 1)));
}

// ---------------------------------------------------------------------------------------------
// No acknowledged write is lost, whatever command fails

// Plain model of board memory: the areas as the caller addresses them.
class MemoryModel {
 public:
  explicit MemoryModel(uint32_t pages) : bytes_(static_cast<size_t>(pages) * kPageSize) {}
  static uint32_t FirstPage(uint8_t area, uint16_t log_first) {
    switch (area & 0x7F) {
      case 0: return kArea0Page;
      case 1: return kArea1Page;
      case 2: return kArea2Page;
      case 3: return log_first;
      default: return kArea5Page;
    }
  }
  uint8_t *At(uint32_t page, uint32_t offset) { return &bytes_[page * kPageSize + offset]; }
  std::vector<uint8_t> bytes_;
};

enum class Op { kWrite, kRead, kFlush, kNullFlush };
struct Step {
  Op op;
  uint8_t area;
  int32_t offset;
  uint16_t length;
};

// Writes, reads and flushes over every cached area, the log area and 0x83 (kept on log pages
// the direct log pieces do not touch).
const Step kSequence[] = {
    {Op::kWrite, 0, 10, 20},     {Op::kWrite, 0, 250, 20},   {Op::kRead, 1, 5, 10},      {Op::kRead, 0, 256, 20},
    {Op::kWrite, 5, 8, 3},       {Op::kWrite, 0, 260, 2},
    {Op::kRead, 0, 0, 40},       {Op::kFlush, 0, 0, 0},      {Op::kWrite, 2, 1000, 600}, {Op::kWrite, 3, 100, 300},
    {Op::kRead, 3, 0, 512},      {Op::kWrite, 0x83, 2565, 10}, {Op::kRead, 2, 900, 300},  {Op::kNullFlush, 0, 0, 0},
    {Op::kWrite, 1, 700, 68},    {Op::kWrite, 1, 690, 4},    {Op::kRead, 5, 0, 256},     {Op::kWrite, 2, 1020, 8},
    {Op::kFlush, 0, 0, 0},       {Op::kWrite, 0x83, 2570, 2}, {Op::kRead, 0x83, 2560, 20}, {Op::kWrite, 0, 500, 12},
};

// `count` failing commands in a row from command k on.
struct FaultKind {
  const char *name;
  uint8_t status;
  bool transport_fails;
  bool scribble;
  uint32_t count;
};

const FaultKind kFaultKinds[] = {
    {"status", 0x07, false, false, 1},
    {"status with scribble", 0x31, false, true, 1},
    {"transport failure with scribble", 0, true, true, 1},
    {"three failures in a row", 0x08, false, false, 3},
};

class FaultSweepTest : public BoardTest {
 protected:
  // Runs the sequence on a fresh board with `fault` added after binding, checking each
  // acknowledged read against the model; returns the number of board commands sent.
  uint32_t Run(const FaultKind *kind = nullptr, uint32_t k = 0) {
    NewBoard(Geometry());
    VBoardGeometry geometry{};
    VBoardGetGeometry(&geometry);
    const uint16_t log = geometry.log_first_page;
    MemoryModel model(geometry.page_count + 1u);
    for (uint32_t page = 0; page <= geometry.page_count; ++page) {
      const Bytes pattern = Pattern(kPageSize, static_cast<uint8_t>(page * 31));
      PokeBoard(page, 0, pattern);
      std::memcpy(model.At(page, 0), pattern.data(), kPageSize);
    }
    EXPECT_TRUE(Bind());
    for (uint32_t i = 0; kind != nullptr && i < kind->count; ++i) {
      VBoardFault fault = FaultOn(0, kind->status, k + i, 1);
      fault.transport_fails = kind->transport_fails ? 1 : 0;
      fault.scribble = kind->scribble ? 1 : 0;
      AddFault(fault);
    }

    uint8_t seed = 1;
    for (const Step &step : kSequence) {
      const uint32_t first = MemoryModel::FirstPage(step.area, log);
      uint8_t *place = model.At(first, 0) + step.offset;
      switch (step.op) {
        case Op::kWrite: {
          const Bytes data = Pattern(step.length, seed += 17);
          const Result result = Write(step.area, step.offset, data);
          // The pieces counted as done are in the cache or on the board; the rest is not.
          const uint16_t done = result.ok ? step.length : result.done;
          EXPECT_LE(done, step.length);
          std::memcpy(place, data.data(), done);
          break;
        }
        case Op::kRead: {
          const Result result = Read(step.area, step.offset, step.length);
          const uint16_t done = result.ok ? step.length : result.done;
          EXPECT_EQ(Bytes(result.data.begin(), result.data.begin() + done), Bytes(place, place + done))
              << "read of area " << int(step.area) << " at " << step.offset;
          break;
        }
        case Op::kFlush: KLIAFlush(); break;
        case Op::kNullFlush: {
          uint16_t done = 0;
          KLIAWriteDataEx(0, nullptr, 0, 0, &done);
          break;
        }
      }
    }
    const uint32_t commands = VBoardTraceCount();

    VBoardClearFaults();
    KLIAFlush();
    EXPECT_EQ(PageCache.CacheDirty, 0);
    for (uint32_t page = 0; page <= geometry.page_count; ++page) {
      EXPECT_EQ(PeekBoard(page, 0, kPageSize), Bytes(model.At(page, 0), model.At(page, 0) + kPageSize))
          << "page " << page;
    }
    return commands;
  }
};

TEST_F(FaultSweepTest, EveryAcknowledgedWriteReachesTheBoard) {
  const uint32_t commands = Run();
  ASSERT_GT(commands, 20u);
  for (const FaultKind &kind : kFaultKinds) {
    for (uint32_t k = 1; k <= commands; ++k) {
      SCOPED_TRACE(std::string(kind.name) + " at command " + std::to_string(k));
      Run(&kind, k);
      if (HasFailure()) return;
    }
  }
}

}  // namespace
}  // namespace mviahlp::testing
