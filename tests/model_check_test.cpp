// Model check of the data areas: a seeded random run of reads, writes, flushes, user writes,
// information reads and occasional formats, with random board faults, against a plain
// in-memory model of the board's memory.
//
// The model holds what a caller may rely on: every byte of an acknowledged write, and the
// bytes of a failed write that its done count reports (those pieces sit in the cache or on
// the board). After every operation the library's view of the board (board memory with a
// modified cached page laid over it) equals the model byte for byte; after every flush the
// library acknowledged, and at the end, the board memory itself equals it.
//
//   MVIAHLP_MODEL_OPS    operations per board geometry (default 20000)
//   MVIAHLP_MODEL_SEED   the seed (default 20261210); a failure names the seed and the step
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "board_fixture.h"
#include "driver/page_cache.h"
#include "vboard_helpers.h"

namespace mviahlp::testing {
namespace {

uint64_t EnvNumber(const char *name, uint64_t fallback) {
  const char *text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  return std::strtoull(text, nullptr, 0);
}

// About 0.6 s per geometry natively and 0.4 s under Wine.
constexpr uint64_t kDefaultOps = 20000;

// xorshift64*: the same sequence on every platform and standard library.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t Next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545F4914F6CDD1Dull;
  }
  uint32_t Below(uint32_t limit) { return limit == 0 ? 0 : static_cast<uint32_t>(Next() % limit); }
  bool Chance(uint32_t percent) { return Below(100) < percent; }

 private:
  uint64_t state_;
};

struct ModelGeometry {
  const char *name;
  uint16_t users, data_pages, log_pages, page_size;
};

class ModelCheck : public BoardTest, public ::testing::WithParamInterface<ModelGeometry> {
 protected:
  struct Area {
    uint8_t number;
    uint32_t first_page;
    uint32_t lowest_offset;  // the log is split: area 3 uses its first half, 0x83 the second
    uint32_t end_offset;
  };

  void SetUpBoard() {
    const ModelGeometry &g = GetParam();
    NewBoard(Geometry(g.users, g.data_pages, g.log_pages, g.page_size));
    VBoardGetGeometry(&geometry_);
    page_size_ = geometry_.page_size;
    pages_ = geometry_.page_count + 1u;
    // Every page starts with its own pattern, so that a byte in the wrong place shows.
    Bytes page(page_size_);
    for (uint32_t p = 0; p < pages_; ++p) {
      for (uint32_t i = 0; i < page_size_; ++i) page[i] = static_cast<uint8_t>(p * 37 + i * 11);
      PokeBoard(p, 0, page);
    }
    MarkFormatted(0x0101);
    VBoardSetLogon(2, 0);
    ASSERT_TRUE(Bind());
    model_ = BoardMemory();

    const uint32_t P = page_size_;
    const uint32_t half = geometry_.log_page_count / 2;
    areas_ = {
        {0, 1, 0, 2 * P},
        {1, 4, 0, 3 * P},
        {2, geometry_.user_count + 8u, 0, geometry_.data_page_count * P},
        {3, geometry_.log_first_page, 0, half * P},
        {0x83, geometry_.log_first_page, half * P, geometry_.log_page_count * P},
        {5, 0, 0, P},
    };
  }

  Bytes BoardMemory() const {
    Bytes memory(size_t{pages_} * page_size_);
    for (uint32_t p = 0; p < pages_; ++p) {
      EXPECT_TRUE(VBoardPeek(p, 0, page_size_, &memory[size_t{p} * page_size_]));
    }
    return memory;
  }

  // What a caller reads through the library: the board with a modified cached page over it.
  Bytes LibraryView() const {
    Bytes view = BoardMemory();
    if (PageCache.CacheDirty != 0 && PageCache.CachedPage < pages_) {
      std::memcpy(&view[size_t{PageCache.CachedPage} * page_size_], PageCache.CacheBuffer, PageCache.LoadedLength);
    }
    return view;
  }

  Bytes Erased() const { return Bytes(size_t{pages_} * page_size_, 0xFF); }

  uint8_t *ModelAt(const Area &area, uint32_t offset) {
    return &model_[size_t{area.first_page} * page_size_ + offset];
  }

  // An offset and length in or around the area's own range: near its ends, across page
  // boundaries, odd sizes, sometimes past the end.
  void PickRequest(Random &random, const Area &area, int32_t &offset, uint16_t &length) {
    const uint32_t P = page_size_;
    const uint32_t span = area.end_offset - area.lowest_offset;
    int64_t at = 0;
    switch (random.Below(5)) {
      case 0: at = area.lowest_offset + int64_t{random.Below(8)}; break;
      case 1: at = int64_t{area.end_offset} - 1 - random.Below(std::min<uint32_t>(span, 3 * P)); break;
      case 2: at = area.lowest_offset + int64_t{random.Below(span / P + 1)} * P - random.Below(5); break;
      default: at = area.lowest_offset + int64_t{random.Below(span)}; break;
    }
    at = std::clamp<int64_t>(at, area.lowest_offset, area.end_offset - 1);
    uint32_t n = 0;
    switch (random.Below(6)) {
      case 0: n = 1 + random.Below(4); break;
      case 1: n = 0; break;
      case 2: n = P - 1 + random.Below(3); break;
      case 3: n = 1 + random.Below(3 * P); break;
      default: n = 1 + random.Below(2 * P); break;
    }
    // Stay inside the area unless the request is meant to overrun it; area 3 always stays in
    // its share of the log, whose end is not the end of the area.
    if (at + n > area.end_offset && (area.number == 3 || !random.Chance(20))) {
      n = static_cast<uint32_t>(area.end_offset - at);
    }
    offset = static_cast<int32_t>(at);
    length = static_cast<uint16_t>(std::min<uint32_t>(n, 0xFFFF));
  }

  void MaybeAddFault(Random &random, uint32_t percent) {
    if (!random.Chance(percent)) return;
    VBoardFault fault{};
    fault.nth = 1 + random.Below(4);
    fault.times = 1;
    if (random.Chance(20)) {  // a run of failing commands from the first on
      fault.nth = 0;
      fault.times = 2 + random.Below(2);
    }
    switch (random.Below(3)) {
      case 0: fault.status = static_cast<uint8_t>(1 + random.Below(254)); break;
      case 1:
        fault.status = static_cast<uint8_t>(1 + random.Below(254));
        fault.scribble = 1;
        break;
      default:
        fault.transport_fails = 1;
        fault.scribble = static_cast<uint8_t>(random.Below(2));
        break;
    }
    VBoardAddFault(&fault);
  }

  std::string Where(uint64_t seed, uint64_t step, const std::string &op) const {
    std::ostringstream text;
    text << "seed " << seed << ", step " << step << ": " << op;
    return text.str();
  }

  VBoardGeometry geometry_{};
  uint32_t page_size_ = 0;
  uint32_t pages_ = 0;
  std::vector<Area> areas_;
  Bytes model_;
};

TEST_P(ModelCheck, TheBoardHoldsEveryAcknowledgedWrite) {
  const uint64_t seed = EnvNumber("MVIAHLP_MODEL_SEED", 20261210) + GetParam().page_size;
  const uint64_t operations = EnvNumber("MVIAHLP_MODEL_OPS", kDefaultOps);
  SetUpBoard();
  if (HasFatalFailure()) return;
  Random random(seed);
  uint64_t acknowledged_writes = 0, failed_operations = 0, formats = 0, flushes_checked = 0;

  for (uint64_t step = 0; step < operations; ++step) {
    VBoardTraceClear();
    const uint32_t roll = random.Below(1000);
    std::string op;
    if (roll < 400) {  // write
      const Area &area = areas_[random.Below(static_cast<uint32_t>(areas_.size()))];
      int32_t offset = 0;
      uint16_t length = 0;
      PickRequest(random, area, offset, length);
      Bytes data(length + 1u);
      for (auto &byte : data) byte = static_cast<uint8_t>(random.Next());
      op = "write area " + std::to_string(area.number) + " offset " + std::to_string(offset) + " length " +
           std::to_string(length);
      const bool in_range = static_cast<uint32_t>(offset) + length <= area.end_offset;
      MaybeAddFault(random, 15);
      uint16_t done = 0xBEEF;
      const bool ok = (KLIAWriteDataEx(area.number, data.data(), offset, length, &done) & 0xFF) != 0;
      VBoardClearFaults();
      if (!in_range && length != 0) {
        ASSERT_FALSE(ok) << Where(seed, step, op);
        ASSERT_EQ(GetErrorState().last_error, KLIA_ERR_OUT_OF_RANGE) << Where(seed, step, op);
        ASSERT_EQ(VBoardTraceCount(), 0u) << Where(seed, step, op);
        ASSERT_EQ(done, 0xBEEF) << Where(seed, step, op);
      } else {
        const uint16_t kept = ok ? length : done;
        ASSERT_LE(kept, length) << Where(seed, step, op);
        if (!ok) {
          ASSERT_EQ(GetErrorState().last_error, KLIA_ERR_PAGE_FAILED) << Where(seed, step, op);
          ++failed_operations;
        } else {
          ASSERT_EQ(done, length) << Where(seed, step, op);
          ++acknowledged_writes;
        }
        std::memcpy(ModelAt(area, static_cast<uint32_t>(offset)), data.data(), kept);
      }
    } else if (roll < 780) {  // read
      const Area &area = areas_[random.Below(static_cast<uint32_t>(areas_.size()))];
      int32_t offset = 0;
      uint16_t length = 0;
      PickRequest(random, area, offset, length);
      op = "read area " + std::to_string(area.number) + " offset " + std::to_string(offset) + " length " +
           std::to_string(length);
      const bool in_range = static_cast<uint32_t>(offset) + length <= area.end_offset;
      MaybeAddFault(random, 15);
      Bytes data(length + 1u, 0x5A);
      uint16_t done = 0xBEEF;
      const bool ok = (KLIAReadDataEx(area.number, data.data(), offset, length, &done) & 0xFF) != 0;
      VBoardClearFaults();
      if (!in_range && length != 0) {
        ASSERT_FALSE(ok) << Where(seed, step, op);
        ASSERT_EQ(VBoardTraceCount(), 0u) << Where(seed, step, op);
      } else {
        const uint16_t got = ok ? length : done;
        ASSERT_LE(got, length) << Where(seed, step, op);
        if (!ok) ++failed_operations;
        const uint8_t *expected = ModelAt(area, static_cast<uint32_t>(offset));
        ASSERT_EQ(Bytes(data.begin(), data.begin() + got), Bytes(expected, expected + got)) << Where(seed, step, op);
      }
    } else if (roll < 880) {  // flush: the export, or a write with a null address, which reports it
      MaybeAddFault(random, 25);
      if (random.Chance(50)) {
        op = "KLIAFlush";
        KLIAFlush();
      } else {
        op = "flush by a null write";
        uint16_t done = 0;
        const bool ok = (KLIAWriteDataEx(2, nullptr, 0, 0, &done) & 0xFF) != 0;
        VBoardClearFaults();
        if (ok) {
          ASSERT_EQ(PageCache.CacheDirty, 0) << Where(seed, step, op);
          ASSERT_EQ(BoardMemory(), model_) << Where(seed, step, op);
          ++flushes_checked;
        } else {
          ASSERT_EQ(PageCache.CacheDirty, 1) << Where(seed, step, op);
          ++failed_operations;
        }
      }
      VBoardClearFaults();
    } else if (roll < 960) {  // user write (user pages lie outside every area)
      const uint16_t user = static_cast<uint16_t>(random.Below(geometry_.user_count + 2u));
      op = "user write " + std::to_string(user);
      Bytes record(KLIA_USER_RECORD_SIZE);
      for (auto &byte : record) byte = static_cast<uint8_t>(random.Next());
      uint8_t info[51];
      VBoardGetInfoBlock(info);
      const uint16_t current = info[25] == 4 ? static_cast<uint16_t>(info[28] | info[29] << 8) : 0;
      MaybeAddFault(random, 15);
      const bool ok = (KLIAWriteUserData(user, record.data()) & 0xFF) != 0;
      VBoardClearFaults();
      if (ok) {
        const uint32_t page = (user != 0 ? user : current) + 7u;
        ASSERT_GE(page, 8u) << Where(seed, step, op);
        const Bytes board = BoardMemory();
        std::memcpy(&model_[size_t{page} * page_size_], &board[size_t{page} * page_size_], page_size_);
      } else {
        ++failed_operations;
      }
    } else if (roll < 995) {  // information read (refreshes BoardInfo and CacheLength)
      op = "information";
      MaybeAddFault(random, 20);
      uint8_t record[KLIA_INFO_RECORD_SIZE];
      if ((KLIAGetInfo(record) & 0xFF) == 0) ++failed_operations;
      VBoardClearFaults();
    } else {  // format
      op = "format";
      ++formats;
      MaybeAddFault(random, 30);
      const Bytes view_before = LibraryView();
      const bool ok = (KLIAFormatDatabase(0x2222, nullptr) & 0xFF) != 0;
      VBoardClearFaults();
      const Bytes board = BoardMemory();
      Bytes erased = Erased();
      if (ok) {
        const uint8_t check[4] = {0x22, 0x22, 0x77, 0x88};  // 0x2222 and 0x2222 ^ 0xAA55
        std::memcpy(&erased[3 * size_t{page_size_}], check, 4);
        ASSERT_EQ(board, erased) << Where(seed, step, op);
      } else {
        // Either the board kept its old contents, every acknowledged write with them, or it
        // initialised its memory (and the check word may be missing).
        Bytes erased_with_check = erased;
        std::memcpy(&erased_with_check[3 * size_t{page_size_}], &board[3 * size_t{page_size_}], 4);
        ASSERT_TRUE(LibraryView() == view_before || board == erased || board == erased_with_check)
            << Where(seed, step, op);
        ++failed_operations;
      }
      model_ = LibraryView();
      // Formatting ends a logon; put one back now and then so that user 0 has a page again.
      if (random.Chance(50)) VBoardSetLogon(static_cast<uint16_t>(1 + random.Below(geometry_.user_count)), 0);
    }
    ASSERT_EQ(LibraryView(), model_) << Where(seed, step, op + " (library view against the model)");
  }

  VBoardClearFaults();
  uint16_t done = 0;
  ASSERT_EQ(KLIAWriteDataEx(2, nullptr, 0, 0, &done) & 0xFF, 1u) << "the final flush";
  EXPECT_EQ(BoardMemory(), model_) << "seed " << seed << ": board memory after the final flush";
  RecordProperty("operations", std::to_string(operations));
  std::cout << "[ model    ] " << GetParam().name << ": " << operations << " operations, seed " << seed << ", "
            << acknowledged_writes << " acknowledged writes, " << failed_operations << " failed operations, "
            << formats << " formats, " << flushes_checked << " flushes checked against the board\n";
}

INSTANTIATE_TEST_SUITE_P(Geometries, ModelCheck,
                         ::testing::Values(ModelGeometry{"Pages256", 4, 8, 6, 256},
                                           ModelGeometry{"Pages97", 4, 10, 6, 97},
                                           ModelGeometry{"Pages1024", 2, 4, 4, 1024}),
                         [](const ::testing::TestParamInfo<ModelGeometry> &info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace mviahlp::testing
