// The command routines: each one's code, transport entry, parameter block and data lengths,
// exactly as the board expects them, and the transport's failure turned into status 255.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "board/commands.h"
#include "board_fixture.h"
#include "vboard_helpers.h"

namespace mviahlp::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

struct CommandCase {
  const char *routine;
  std::function<CommandStatus()> call;
  uint8_t command;
  bool extended;
  Bytes param;
  Bytes out;
  uint16_t in_length;
};

uint8_t g_data[512];
uint8_t g_in[512];
uint8_t g_h, g_m, g_s, g_d, g_mo, g_y;

const Bytes kBlock16 = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

std::vector<CommandCase> Cases() {
  for (int i = 0; i < 512; ++i) g_data[i] = static_cast<uint8_t>(i * 7);
  const Bytes data8(g_data, g_data + 8);
  return {
      {"BoardSetDeviceAccess", [] { return BoardSetDeviceAccess(0xC2); }, 6, false, {0xC2}, {}, 0},
      {"BoardSetIaResult", [] { return BoardSetIaResult(2, 32, g_data); }, 13, false, {0x82, 0x20},
       Bytes(g_data, g_data + 32), 0},
      {"BoardSetIaResult kind 4", [] { return BoardSetIaResult(4, 13, g_data); }, 13, false, {0x84, 0x0D},
       Bytes(g_data, g_data + 13), 0},
      {"BoardReadInfo", [] { return BoardReadInfo(g_in); }, 16, false, {}, {}, 51},
      {"BoardLogin", [] { return BoardLogin(kBlock16.data()); }, 17, false, {}, kBlock16, 0},
      {"BoardLogout", [] { return BoardLogout(); }, 18, false, {}, {}, 0},
      {"BoardChangePassword", [] { return BoardChangePassword(kBlock16.data()); }, 19, false, {}, kBlock16, 0},
      {"BoardAppendLog", [] { return BoardAppendLog(0x0140, g_data); }, 20, true, {0x40, 0x01},
       Bytes(g_data, g_data + 320), 0},
      {"BoardReadMemory", [] { return BoardReadMemory(0x0108, 0, 256, g_in); }, 21, true,
       {0x08, 0x01, 0x00, 0x00, 0x00, 0x01}, {}, 256},
      {"BoardReadMemory with aux", [] { uint8_t aux = 0; return BoardReadMemory(9, 0x10, 4, g_in, &aux); }, 21, true,
       {0x09, 0x00, 0x10, 0x00, 0x04, 0x00}, {}, 4},
      {"BoardWriteMemory", [] { return BoardWriteMemory(3, 0, 4, g_data); }, 22, true,
       {0x03, 0x00, 0x00, 0x00, 0x04, 0x00}, Bytes(g_data, g_data + 4), 0},
      {"BoardInitPages", [] { return BoardInitPages(); }, 23, false, {}, {}, 0},
      {"BoardClearLog", [] { return BoardClearLog(); }, 24, false, {}, {}, 0},
      {"BoardConnectDatabase", [] { return BoardConnectDatabase(); }, 25, false, {}, {}, 0},
      {"BoardMakeUserXid", [] { return BoardMakeUserXid(8, g_data, g_in); }, 27, false, {0x08, 0x00}, data8, 4},
      {"BoardSetClock", [] { return BoardSetClock(0x13, 0x45, 0x07, 0x31, 0x12, 0x24); }, 28, false,
       {0x07, 0x45, 0x13, 0x31, 0x12, 0x24}, {}, 0},
      {"BoardGetClock", [] { return BoardGetClock(g_h, g_m, g_s, g_d, g_mo, g_y); }, 28, false, {}, {}, 6},
      {"BoardSetWatchdog", [] { return BoardSetWatchdog(0x1234); }, 30, false, {0x34, 0x12}, {}, 0},
      {"BoardGetWatchdog", [] { return BoardGetWatchdog(g_in); }, 30, false, {}, {}, 2},
  };
}

class CommandsTest : public BoardTest {};

TEST_F(CommandsTest, EachRoutineSendsItsBlocksThroughItsTransportEntry) {
  for (const CommandCase &c : Cases()) {
    SCOPED_TRACE(c.routine);
    VBoardTraceClear();
    c.call();
    const std::vector<TraceEntry> trace = BoardTrace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].command, c.command);
    EXPECT_EQ(trace[0].extended, c.extended);
    EXPECT_EQ(trace[0].param, c.param);
    EXPECT_EQ(trace[0].out, c.out);
    EXPECT_EQ(trace[0].in_length, c.in_length);
  }
}

TEST_F(CommandsTest, AFailedTransportCallIsStatus255ForEveryCommand) {
  for (const CommandCase &c : Cases()) {
    SCOPED_TRACE(c.routine);
    VBoardFault fault{};
    fault.nth = 1;
    fault.transport_fails = 1;
    fault.scribble = 1;
    VBoardAddFault(&fault);
    EXPECT_EQ(c.call(), TransportFailed);
    VBoardClearFaults();
  }
}

TEST_F(CommandsTest, TheBoardsOwnStatusIsReturnedUnchanged) {
  for (uint8_t status : {uint8_t{1}, uint8_t{0x50}, uint8_t{0xFE}}) {
    VBoardFault fault{};
    fault.nth = 1;
    fault.status = status;
    VBoardAddFault(&fault);
    EXPECT_EQ(BoardLogout(), status);
    VBoardClearFaults();
  }
}

TEST_F(CommandsTest, GetClockMapsTheBlockOnlyOnSuccess) {
  const uint8_t block[6] = {0x05, 0x30, 0x14, 0x31, 0x12, 0x24};
  VBoardFreezeClock(block);
  uint8_t h = 0xEE, m = 0xEE, s = 0xEE, d = 0xEE, mo = 0xEE, y = 0xEE;

  VBoardFault fault{};
  fault.nth = 1;
  fault.status = 3;
  fault.scribble = 1;
  VBoardAddFault(&fault);
  EXPECT_EQ(BoardGetClock(h, m, s, d, mo, y), 3);
  EXPECT_THAT((Bytes{h, m, s, d, mo, y}), ::testing::Each(0xEE));
  VBoardClearFaults();

  EXPECT_EQ(BoardGetClock(h, m, s, d, mo, y), 0);
  EXPECT_THAT((Bytes{s, m, h, d, mo, y}), ElementsAre(0x05, 0x30, 0x14, 0x31, 0x12, 0x24));
}

TEST_F(CommandsTest, GetWatchdogWritesTheTwoBytesLowFirst) {
  ASSERT_EQ(BoardSetWatchdog(0xBEEF), 0);
  uint8_t value[2] = {};
  ASSERT_EQ(BoardGetWatchdog(value), 0);
  EXPECT_THAT(value, ElementsAre(0xEF, 0xBE));
}

TEST_F(CommandsTest, ReadMemoryFillsTheBufferFromTheBoard) {
  const uint8_t stored[4] = {9, 8, 7, 6};
  ASSERT_TRUE(VBoardPoke(8, 100, 4, stored));
  uint8_t buffer[4] = {};
  ASSERT_EQ(BoardReadMemory(8, 100, 4, buffer), 0);
  EXPECT_THAT(buffer, ElementsAreArray(stored));
}

}  // namespace
}  // namespace mviahlp::testing
