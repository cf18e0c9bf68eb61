// The library allocates nothing: every export, called against the virtual board, performs no
// heap allocation of its own (the board's allocations are not the library's and are skipped).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "board_fixture.h"

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};

void *CountedAllocation(std::size_t size) {
  if (g_counting.load() && !VBoardInCommand()) g_allocations.fetch_add(1);
  if (void *p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

void *operator new(std::size_t size) { return CountedAllocation(size); }
void *operator new[](std::size_t size) { return CountedAllocation(size); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }

namespace mviahlp::testing {
namespace {

void KLIA_CALL IgnoreProgress(const uint8_t *) {}

// Every export once, in an order that makes each do real work on the board.
void CallEveryExport() {
  uint8_t info[KLIA_INFO_RECORD_SIZE];
  uint8_t user[256] = {};
  uint8_t data[600] = {};
  uint8_t block[16] = {};
  uint8_t config[KLIA_CONFIG_RECORD_SIZE] = {};
  uint8_t clock[KLIA_DATETIME_RECORD_SIZE] = {};
  uint8_t xid[4];
  uint16_t done = 0, user_number = 0, timeout = 0;
  uint8_t flag = 0, step = 0;

  KLIADriverPresent();
  KLIAGetInfo(info);
  KLIAFormatDatabase(0x1234, &IgnoreProgress);
  KLIAWriteUserData(1, user);
  KLIAReadUserData(1, user);
  KLIALogin(block, block + 8, 0);
  KLIAGetCurrentUser(&user_number, &flag);
  KLIAChangeUserPassword(0, block);
  KLIALogout();
  KLIAWriteDataEx(2, data, 250, 600, &done);
  KLIAReadDataEx(2, data, 10, 600, &done);
  KLIAWriteData(3, data, 0xFFFF, 40, &done);
  KLIAReadData(3, data, 0, 300, &done);
  KLIAFlush();
  KLIAWriteConfigData(config);
  KLIAReadConfigData(config);
  KLIAWriteHwStep(5);
  KLIAReadHwStep(&step);
  KLIASetRTCDateTime(clock);
  KLIAGetRTCDateTime(clock);
  KLIASetWDTimeout(100);
  KLIAGetWDTimeout(&timeout);
  KLIAClearLog();
  KLIASetIaResult(2, user);
  KLIAMakeUserXID(8, data, xid);
  Today();
  uint16_t a, b, c;
  KLIAGetErrorState(&a, &b, &c);
}

TEST_F(BoardTest, NoExportAllocatesOnTheHeap) {
  VBoardTraceEnable(0);
  g_allocations = 0;
  g_counting = true;
  for (int round = 0; round < 3; ++round) CallEveryExport();
  g_counting = false;
  VBoardTraceEnable(1);
  EXPECT_EQ(g_allocations.load(), 0);
}

TEST(AllocationCounter, CountsAllocationsOutsideTheBoard) {
  g_allocations = 0;
  g_counting = true;
  void *p = ::operator new(16);  // a direct call: never elided like a new-expression may be
  g_counting = false;
  ::operator delete(p);
  EXPECT_EQ(g_allocations.load(), 1) << "the counter itself must work for the other test to mean anything";
}

}  // namespace
}  // namespace mviahlp::testing
