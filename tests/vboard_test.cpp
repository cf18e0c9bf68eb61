// The virtual board on its own, through the transport entry points: what each board command
// answers, the memory bounds, the control interface (faults, trace, patches) and the image
// file shared between processes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "board/hwlink.h"
#include "vboard.h"
#include "vboard_helpers.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace mviahlp::testing {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

using Bytes = std::vector<uint8_t>;

// Board statuses (vboard/README.md).
constexpr uint8_t kUnknownCommand = 0x01, kBadParamLength = 0x02, kOutOfRange = 0x03, kBadDataLength = 0x04,
                  kBadValue = 0x05, kMissingBuffer = 0x06, kLogNotInitialised = 0x21, kLogFull = 0x22,
                  kNotConnected = 0x30, kUnknownUser = 0x50, kWrongPassword = 0x60, kAlreadyLoggedOn = 0x61;

// One exchange's outcome. `in` holds in_length bytes plus 4 guard bytes (0xEE) that the
// board must never touch.
struct Answer {
  bool ok;
  uint8_t status;
  Bytes in;
  Bytes Data() const { return Bytes(in.begin(), in.end() - 4); }
  Bytes Guard() const { return Bytes(in.end() - 4, in.end()); }
};

Answer Send(uint8_t command, const Bytes &param, const Bytes &out = {}, uint16_t in_length = 0,
            bool extended = false) {
  Answer a{false, 0xEE, Bytes(in_length + 4u, 0xEE)};
  uint8_t aux = 0x77;
  const void *p = param.empty() ? nullptr : param.data();
  const void *o = out.empty() ? nullptr : out.data();
  void *i = in_length == 0 ? nullptr : a.in.data();
  const uint32_t result =
      extended ? HwTransferEx(command, uint8_t(param.size()), p, uint16_t(out.size()), o, in_length, i, &a.status, &aux)
               : HwTransfer(command, uint8_t(param.size()), p, uint8_t(out.size()), o, uint8_t(in_length), i,
                            &a.status, &aux);
  a.ok = (result & 0xFF) != 0;
  EXPECT_EQ(aux, 0x77) << "the board writes nothing through the aux byte";
  return a;
}

Answer ReadMemory(uint16_t page, uint16_t offset, uint16_t count) {
  return Send(21, MemoryAddress(page, offset, count), {}, count, true);
}
uint8_t WriteMemory(uint16_t page, uint16_t offset, const Bytes &data) {
  return Send(22, MemoryAddress(page, offset, uint16_t(data.size())), data, 0, true).status;
}
uint8_t Simple(uint8_t command) { return Send(command, {}).status; }
uint8_t AppendLog(const Bytes &record) {
  const uint16_t n = uint16_t(record.size());
  return Send(20, {uint8_t(n), uint8_t(n >> 8)}, record, 0, true).status;
}
uint8_t Login(const Bytes &key, const Bytes &password) {
  Bytes block = key;
  block.insert(block.end(), password.begin(), password.end());
  return Send(17, {}, block).status;
}
Bytes Info() {
  const Answer a = Send(16, {}, {}, 51);
  EXPECT_TRUE(a.ok);
  EXPECT_EQ(a.status, 0);
  return a.Data();
}
uint16_t Le16(const Bytes &b, size_t at) { return uint16_t(b[at] | (b[at + 1] << 8)); }

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 7);
  return b;
}

VBoardGeometry Standard(uint16_t users = 32, uint16_t data = 200, uint16_t log = 16, uint16_t page = 256) {
  VBoardGeometry g{};
  VBoardMakeGeometry(users, data, log, page, &g);
  return g;
}

class VBoardTest : public ::testing::Test {
 protected:
  void SetUp() override { NewBoard(Standard()); }
  void TearDown() override { VBoardClearFaults(); }
  void NewBoard(const VBoardGeometry &g) { ASSERT_TRUE(VBoardCreate(&g)); }

  // User n's record: key, password, flag byte 24 (0x00/0x01 in use, 0xFF erased).
  static void StoreUser(uint16_t n, const Bytes &key, const Bytes &password, uint8_t flags) {
    PokeBoard(n + 7u, 0, key);
    PokeBoard(n + 7u, 8, password);
    PokeBoard(n + 7u, 24, {flags});
  }
};

const Bytes kKey = {'K', 'E', 'Y', '-', '0', '0', '0', '3'};
const Bytes kPassword = {'s', 'e', 'c', 'r', 'e', 't', '!', '!'};
const Bytes kOther = {1, 2, 3, 4, 5, 6, 7, 8};

// ---------------------------------------------------------------------------------------------
// Memory

TEST_F(VBoardTest, FreshMemoryReadsErasedUpToTheLastPage) {
  for (uint16_t page : {0, 8, 255}) {
    const Answer a = ReadMemory(page, 0, 256);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.status, 0);
    EXPECT_THAT(a.Data(), Each(0xFF)) << "page " << page;
  }
}

TEST_F(VBoardTest, WrittenBytesReadBackAndStayInTheirPlace) {
  ASSERT_EQ(WriteMemory(12, 100, Pattern(50, 3)), 0);
  EXPECT_EQ(ReadMemory(12, 100, 50).Data(), Pattern(50, 3));
  EXPECT_EQ(PeekBoard(12, 99, 1), Bytes{0xFF});
  EXPECT_EQ(PeekBoard(12, 150, 1), Bytes{0xFF});
  const Answer piece = ReadMemory(12, 110, 5);
  const Bytes written = Pattern(50, 3);
  EXPECT_EQ(piece.Data(), Bytes(written.begin() + 10, written.begin() + 15));
  EXPECT_THAT(piece.Guard(), Each(0xEE));
}

TEST_F(VBoardTest, HwTransferCarriesShortReadsToo) {
  PokeBoard(3, 0, {0x34, 0x12, 0x61, 0xB8});
  const Answer a = Send(21, MemoryAddress(3, 0, 4), {}, 4, /*extended*/ false);
  EXPECT_EQ(a.status, 0);
  EXPECT_THAT(a.Data(), ElementsAre(0x34, 0x12, 0x61, 0xB8));
}

struct RangeCase {
  const char *name;
  Bytes param;      // the block as sent
  uint16_t length;  // in (21) or out (22) length
  uint8_t status;
};

class MemoryRange : public VBoardTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(MemoryRange, RefusedReadWritesNothingAndWriteChangesNothing) {
  const RangeCase &c = GetParam();
  const Answer read = Send(21, c.param, {}, c.length, true);
  ASSERT_TRUE(read.ok);
  EXPECT_EQ(read.status, c.status);
  EXPECT_THAT(read.in, Each(0xEE)) << "nothing written into the incoming buffer";

  const Answer write = Send(22, c.param, Bytes(c.length, 0x00), 0, true);
  ASSERT_TRUE(write.ok);
  EXPECT_EQ(write.status, c.status);
  for (uint32_t page : {0u, 1u, 254u, 255u}) EXPECT_THAT(PeekBoard(page, 0, 256), Each(0xFF)) << "page " << page;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MemoryRange,
    ::testing::Values(RangeCase{"PageAfterTheLast", MemoryAddress(256, 0, 4), 4, kOutOfRange},
                      RangeCase{"HighestPageNumber", MemoryAddress(0xFFFF, 0, 4), 4, kOutOfRange},
                      RangeCase{"RunsPastThePageEnd", MemoryAddress(255, 255, 2), 2, kOutOfRange},
                      RangeCase{"OffsetPastThePage", MemoryAddress(0, 256, 1), 1, kOutOfRange},
                      RangeCase{"EverythingAtMaximum", MemoryAddress(0xFFFF, 0xFFFF, 0xFFFF), 0xFFFF, kOutOfRange},
                      RangeCase{"CountDiffersFromDataLength", MemoryAddress(1, 0, 8), 4, kBadDataLength},
                      RangeCase{"ShortAddressBlock", {1, 0, 0, 0, 4}, 4, kBadParamLength},
                      RangeCase{"LongAddressBlock", {1, 0, 0, 0, 4, 0, 0}, 4, kBadParamLength}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(VBoardTest, LengthWithoutBufferIsRefusedNotFollowed) {
  uint8_t status = 0xEE;
  const Bytes param = MemoryAddress(1, 0, 16);
  EXPECT_TRUE(HwTransferEx(21, 6, param.data(), 0, nullptr, 16, nullptr, &status, nullptr));
  EXPECT_EQ(status, kMissingBuffer);
  EXPECT_TRUE(HwTransferEx(22, 6, param.data(), 16, nullptr, 0, nullptr, &status, nullptr));
  EXPECT_EQ(status, kMissingBuffer);
  EXPECT_TRUE(HwTransfer(21, 6, nullptr, 0, nullptr, 0, nullptr, &status, nullptr));
  EXPECT_EQ(status, kMissingBuffer);
  EXPECT_FALSE(HwTransfer(16, 0, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr)) << "no status byte";
}

TEST_F(VBoardTest, DirectAccessRefusesOutOfRange) {
  uint8_t byte = 0;
  EXPECT_FALSE(VBoardPeek(256, 0, 1, &byte));
  EXPECT_FALSE(VBoardPoke(0, 250, 7, &byte));
  EXPECT_TRUE(VBoardPoke(255, 255, 1, &byte));
}

// ---------------------------------------------------------------------------------------------
// Information (command 16)

struct InfoCase {
  VBoardGeometry geometry;
  std::vector<std::pair<int, Bytes>> expected;  // (offset, bytes) written out by hand
};

class InfoEncoding : public ::testing::TestWithParam<InfoCase> {};

TEST_P(InfoEncoding, FieldsSitAtTheirOffsets) {
  ASSERT_TRUE(VBoardCreate(&GetParam().geometry));
  const Bytes info = Info();
  Bytes expected(51, 0x00);
  for (const auto &[offset, bytes] : GetParam().expected) {
    std::copy(bytes.begin(), bytes.end(), expected.begin() + offset);
  }
  EXPECT_THAT(info, ElementsAreArray(expected));
  EXPECT_EQ(BoardInfoBlock(), info);
}

VBoardGeometry WithExt(VBoardGeometry g, uint32_t ext, uint8_t devices) {
  g.ext_info = ext;
  g.device_count = devices;
  return g;
}

INSTANTIATE_TEST_SUITE_P(
    Geometries, InfoEncoding,
    ::testing::Values(
        // 32 users, 200 data pages, 16 log pages of 256 bytes: log from page 240, last page 255.
        InfoCase{Standard(),
                 {{0, {0x23, 0x01}},
                  {16, {0x20, 0x00}},
                  {18, {0xFF, 0x00}},
                  {33, {0xFF, 0xFF, 0xFF, 0x00}},
                  {37, {0xF0, 0x00, 0x10, 0x00, 0xC8, 0x00}},
                  {48, {0x04, 0x00, 0x01}}}},
        // 100 users, 1000 data pages, 50 log pages of 512 bytes: log from page 1108 (0x454),
        // last page 1157 (0x485).
        InfoCase{WithExt(Standard(100, 1000, 50, 512), 0x00005A3C, 9),
                 {{0, {0x23, 0x01}},
                  {16, {0x64, 0x00}},
                  {18, {0x85, 0x04}},
                  {33, {0xFF, 0xFF, 0xFF, 0x00}},
                  {37, {0x54, 0x04, 0x32, 0x00, 0xE8, 0x03}},
                  {44, {0x3C, 0x5A, 0x00, 0x00, 0x09, 0x00, 0x02}}}}),
    [](const ::testing::TestParamInfo<InfoCase> &info) {
      const VBoardGeometry &g = info.param.geometry;
      return "Users" + std::to_string(g.user_count) + "_Data" + std::to_string(g.data_page_count) + "_Log" +
             std::to_string(g.log_page_count) + "_Page" + std::to_string(g.page_size);
    });

TEST_F(VBoardTest, InfoFollowsTheLiveState) {
  VBoardSetState(2);
  VBoardSetErrorPage(0x1234);
  VBoardSetLogon(7, 1);
  VBoardSetLogPosition(241, 0x20);
  const Bytes info = Info();
  EXPECT_EQ(info[25], 4);
  EXPECT_EQ(Le16(info, 26), 0x1234);
  EXPECT_EQ(Le16(info, 28), 7);
  EXPECT_EQ(info[32], 1);
  EXPECT_EQ(Le16(info, 33), 241);
  EXPECT_EQ(Le16(info, 35), 0x20);
  VBoardSetLogon(0, 0);
  EXPECT_EQ(Info()[25], 2) << "logging the user off leaves the database connected";
}

TEST_F(VBoardTest, InfoWithTheWrongLengthIsRefused) {
  const Answer a = Send(16, {}, {}, 50);
  EXPECT_EQ(a.status, kBadDataLength);
  EXPECT_THAT(a.in, Each(0xEE));
  EXPECT_EQ(Send(16, {0}, {}, 51).status, kBadParamLength);
}

TEST_F(VBoardTest, InfoPatchCoversTheAnswersItNames) {
  VBoardPatchInfo(25, 7, /*first*/ 2, /*count*/ 2);
  VBoardPatchInfo(50, 0x02, /*first*/ 1, /*count*/ 0);  // page size 0x0200
  EXPECT_EQ(BoardInfoBlock()[50], 0x02) << "shows what the next answer will be";
  std::vector<int> states, sizes;
  for (int i = 0; i < 4; ++i) {
    const Bytes info = Info();
    states.push_back(info[25]);
    sizes.push_back(info[50]);
  }
  EXPECT_THAT(states, ElementsAre(0, 7, 7, 0));
  EXPECT_THAT(sizes, ElementsAre(2, 2, 2, 2)) << "count 0: every answer from `first` on";
}

TEST_F(VBoardTest, RawBoardAnswersItsBlockVerbatim) {
  Bytes raw(51);
  for (int i = 0; i < 51; ++i) raw[i] = uint8_t(0xC0 + i);
  ASSERT_TRUE(VBoardCreateRaw(raw.data(), 4, 64));
  EXPECT_EQ(Info(), raw);
  EXPECT_EQ(ReadMemory(3, 0, 64).status, 0);
  EXPECT_EQ(ReadMemory(4, 0, 1).status, kOutOfRange);
  EXPECT_EQ(ReadMemory(0, 0, 65).status, kOutOfRange);
}

TEST_F(VBoardTest, UnusableGeometriesAreRefused) {
  VBoardGeometry zero_page = Standard(32, 200, 16, 0);
  EXPECT_FALSE(VBoardCreate(&zero_page));
  VBoardGeometry huge = Standard(1000, 60000, 4000, 4096);  // about 265 MiB
  EXPECT_FALSE(VBoardCreate(&huge));
  EXPECT_FALSE(VBoardCreate(nullptr));
}

// ---------------------------------------------------------------------------------------------
// Logon (17, 18, 19)

TEST_F(VBoardTest, LogonNeedsAConnectedDatabase) {
  StoreUser(3, kKey, kPassword, 0x00);
  EXPECT_EQ(Login(kKey, kPassword), kNotConnected) << "state 0";
  VBoardSetState(1);
  EXPECT_EQ(Login(kKey, kPassword), kNotConnected) << "state 1";
}

struct LogonCase {
  const char *name;
  Bytes key, password;
  uint8_t status;
};

class LogonAnswers : public VBoardTest, public ::testing::WithParamInterface<LogonCase> {};

TEST_P(LogonAnswers, ByKeyAndPassword) {
  StoreUser(3, kKey, kPassword, 0x00);
  StoreUser(5, kOther, kOther, 0x08);  // bit 3 set: not in use
  ASSERT_EQ(Simple(25), 0);
  EXPECT_EQ(Login(GetParam().key, GetParam().password), GetParam().status);
  EXPECT_EQ(Info()[25], GetParam().status == 0 ? 4 : 2);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogonAnswers,
    ::testing::Values(LogonCase{"Success", kKey, kPassword, 0},
                      LogonCase{"UnknownKey", kOther, kPassword, kUnknownUser},
                      LogonCase{"WrongPassword", kKey, kOther, kWrongPassword},
                      LogonCase{"RecordNotInUse", kOther, kOther, kUnknownUser},
                      LogonCase{"ErasedRecordsMatchNobody", Bytes(8, 0xFF), Bytes(8, 0xFF), kUnknownUser}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(VBoardTest, LogonSetsTheCurrentUserUntilLogout) {
  StoreUser(3, kKey, kPassword, 0x01);  // bit 0: the current-user flag
  ASSERT_EQ(Simple(25), 0);
  ASSERT_EQ(Login(kKey, kPassword), 0);
  Bytes info = Info();
  EXPECT_EQ(info[25], 4);
  EXPECT_EQ(Le16(info, 28), 3);
  EXPECT_EQ(info[32], 1);
  EXPECT_EQ(Login(kKey, kPassword), kAlreadyLoggedOn);

  EXPECT_EQ(Simple(18), 0);
  info = Info();
  EXPECT_EQ(info[25], 2);
  EXPECT_EQ(Le16(info, 28), 0);
  EXPECT_EQ(info[32], 0);
  EXPECT_EQ(Simple(18), 0) << "logout with nobody logged on";

  ASSERT_EQ(Login(kKey, kPassword), 0);
  ASSERT_EQ(Simple(25), 0);
  EXPECT_EQ(Le16(Info(), 28), 0) << "connecting the database ends a logon";
}

TEST_F(VBoardTest, PasswordChangeChecksTheCurrentPassword) {
  const Bytes fresh = {'n', 'e', 'w', 'p', 'a', 's', 's', '1'};
  auto change = [](const Bytes &current, const Bytes &next) {
    Bytes block = current;
    block.insert(block.end(), next.begin(), next.end());
    return Send(19, {}, block).status;
  };
  StoreUser(3, kKey, kPassword, 0x00);
  EXPECT_EQ(change(kPassword, fresh), kUnknownUser) << "nobody logged on";
  ASSERT_EQ(Simple(25), 0);
  ASSERT_EQ(Login(kKey, kPassword), 0);
  EXPECT_EQ(change(kOther, fresh), kWrongPassword);
  EXPECT_EQ(PeekBoard(10, 8, 8), kPassword);
  EXPECT_EQ(change(kPassword, fresh), 0);
  EXPECT_EQ(PeekBoard(10, 8, 8), fresh);
  EXPECT_EQ(PeekBoard(10, 0, 8), kKey) << "the key stays";

  ASSERT_EQ(Simple(18), 0);
  EXPECT_EQ(Login(kKey, kPassword), kWrongPassword);
  EXPECT_EQ(Login(kKey, fresh), 0);
}

// ---------------------------------------------------------------------------------------------
// Pages and log (20, 23, 24)

TEST_F(VBoardTest, InitPagesErasesEverythingAndStartsTheLog) {
  PokeBoard(0, 0, {1, 2, 3});
  PokeBoard(255, 253, {4, 5, 6});
  VBoardSetLogon(3, 1);
  ASSERT_EQ(Simple(23), 0);
  EXPECT_THAT(PeekBoard(0, 0, 3), Each(0xFF));
  EXPECT_THAT(PeekBoard(255, 253, 3), Each(0xFF));
  const Bytes info = Info();
  EXPECT_EQ(info[25], 1);
  EXPECT_EQ(Le16(info, 28), 0);
  EXPECT_EQ(Le16(info, 33), 240);
  EXPECT_EQ(Le16(info, 35), 0);
}

TEST_F(VBoardTest, LogNeedsAPosition) {
  EXPECT_EQ(AppendLog(Pattern(8, 1)), kLogNotInitialised);
  EXPECT_EQ(Simple(24), kLogNotInitialised);
  EXPECT_THAT(PeekBoard(240, 0, 8), Each(0xFF));
}

TEST_F(VBoardTest, AppendRunsAcrossPagesAndMovesThePosition) {
  ASSERT_EQ(Simple(23), 0);
  ASSERT_EQ(AppendLog(Pattern(300, 1)), 0);  // 0x012C bytes: page 240 whole, 44 bytes of 241
  ASSERT_EQ(AppendLog(Pattern(20, 9)), 0);
  Bytes info = Info();
  EXPECT_EQ(Le16(info, 33), 241);
  EXPECT_EQ(Le16(info, 35), 64);
  Bytes stored = PeekBoard(240, 0, 256);
  const Bytes second = PeekBoard(241, 0, 64);
  stored.insert(stored.end(), second.begin(), second.end());
  Bytes expected = Pattern(300, 1);
  const Bytes tail = Pattern(20, 9);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(stored, expected);

  ASSERT_EQ(Simple(24), 0);
  info = Info();
  EXPECT_EQ(Le16(info, 33), 240);
  EXPECT_EQ(Le16(info, 35), 0);
  EXPECT_THAT(PeekBoard(240, 0, 256), Each(0xFF));
  EXPECT_THAT(PeekBoard(241, 0, 64), Each(0xFF));
}

TEST_F(VBoardTest, FullLogRefusesTheWholeRecord) {
  NewBoard(Standard(4, 4, /*log*/ 2, 256));  // log: pages 16 and 17, 512 bytes
  ASSERT_EQ(Simple(23), 0);
  ASSERT_EQ(AppendLog(Pattern(500, 1)), 0);
  EXPECT_EQ(AppendLog(Pattern(13, 2)), kLogFull);
  EXPECT_EQ(Le16(Info(), 35), 500 - 256) << "the position did not move";
  EXPECT_THAT(PeekBoard(17, 244, 12), Each(0xFF)) << "nothing written";
  EXPECT_EQ(AppendLog(Pattern(12, 3)), 0) << "exactly fills the log";
  const Bytes info = Info();
  EXPECT_EQ(Le16(info, 33), 18);
  EXPECT_EQ(Le16(info, 35), 0);
  EXPECT_EQ(AppendLog(Pattern(1, 4)), kLogFull);
  EXPECT_EQ(AppendLog({}), 0) << "an empty record fits even a full log";
}

TEST_F(VBoardTest, AppendLengthMustMatchTheData) {
  ASSERT_EQ(Simple(23), 0);
  EXPECT_EQ(Send(20, {0x10, 0x00}, Pattern(15, 1), 0, true).status, kBadDataLength);
  EXPECT_EQ(Send(20, {0x10}, Pattern(16, 1), 0, true).status, kBadParamLength);
  EXPECT_EQ(Le16(Info(), 35), 0);
}

// ---------------------------------------------------------------------------------------------
// Clock (28), watchdog (30), user XID (27), access (6), IA result (13)

Bytes GetClock() {
  const Answer a = Send(28, {}, {}, 6);
  EXPECT_EQ(a.status, 0);
  return a.Data();
}

TEST_F(VBoardTest, ClockSetThenGetRoundTrips) {
  ASSERT_EQ(Send(28, {0x07, 0x45, 0x13, 0x31, 0x12, 0x24}).status, 0);
  const Bytes clock = GetClock();
  EXPECT_THAT(clock[0], ::testing::AnyOf(0x07, 0x08, 0x09));
  EXPECT_THAT(Bytes(clock.begin() + 1, clock.end()), ElementsAre(0x45, 0x13, 0x31, 0x12, 0x24));
}

TEST_F(VBoardTest, ClockRunsIntoTheNextYear) {
  ASSERT_EQ(Send(28, {0x59, 0x59, 0x23, 0x31, 0x12, 0x24}).status, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  const Bytes clock = GetClock();
  EXPECT_THAT(clock[0], ::testing::AnyOf(0x00, 0x01, 0x02));
  EXPECT_THAT(Bytes(clock.begin() + 1, clock.end()), ElementsAre(0x00, 0x00, 0x01, 0x01, 0x25));
}

TEST_F(VBoardTest, FrozenClockAnswersItsBlockUntilTheNextSet) {
  const Bytes odd = {0x05, 0x30, 0x14, 0x3A, 0x12, 0x24};  // day 0x3A: sent as is
  VBoardFreezeClock(odd.data());
  EXPECT_EQ(GetClock(), odd);
  EXPECT_EQ(GetClock(), odd);
  Bytes block(6);
  VBoardGetClock(block.data());
  EXPECT_EQ(block, odd);
  ASSERT_EQ(Send(28, {0x00, 0x00, 0x12, 0x29, 0x02, 0x24}).status, 0);  // 29 February 2024
  const Bytes running = GetClock();
  EXPECT_THAT(Bytes(running.begin() + 1, running.end()), ElementsAre(0x00, 0x12, 0x29, 0x02, 0x24));
}

class InvalidClock : public VBoardTest, public ::testing::WithParamInterface<Bytes> {};

TEST_P(InvalidClock, IsRefusedAndKeepsTheClock) {
  const Bytes frozen = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
  VBoardFreezeClock(frozen.data());
  EXPECT_EQ(Send(28, GetParam()).status, kBadValue);
  EXPECT_EQ(GetClock(), frozen);
}

INSTANTIATE_TEST_SUITE_P(Blocks, InvalidClock,
                         ::testing::Values(Bytes{0x00, 0x00, 0x00, 0x01, 0x01, 0xFF},   // year 0xFF
                                           Bytes{0x60, 0x00, 0x00, 0x01, 0x01, 0x24},   // second 60
                                           Bytes{0x00, 0x60, 0x00, 0x01, 0x01, 0x24},   // minute 60
                                           Bytes{0x00, 0x00, 0x24, 0x01, 0x01, 0x24},   // hour 24
                                           Bytes{0x00, 0x00, 0x00, 0x00, 0x01, 0x24},   // day 0
                                           Bytes{0x00, 0x00, 0x00, 0x31, 0x04, 0x24},   // 31 April
                                           Bytes{0x00, 0x00, 0x00, 0x29, 0x02, 0x23},   // 29 Feb 2023
                                           Bytes{0x00, 0x00, 0x00, 0x01, 0x13, 0x24},   // month 13
                                           Bytes{0x00, 0x00, 0x00, 0x1A, 0x01, 0x24}),  // not BCD
                         [](const ::testing::TestParamInfo<Bytes> &info) {  // the block in hex
                           std::string name = "Block";
                           char hex[4];
                           for (const uint8_t byte : info.param) {
                             std::snprintf(hex, sizeof hex, "_%02X", byte);
                             name += hex;
                           }
                           return name;
                         });

TEST_F(VBoardTest, ClockShapes) {
  EXPECT_EQ(Send(28, {0x00, 0x00, 0x00, 0x01, 0x01}).status, kBadParamLength);
  EXPECT_EQ(Send(28, {}, {}, 5).status, kBadDataLength);
}

TEST_F(VBoardTest, WatchdogSetAndGet) {
  EXPECT_EQ(VBoardGetWatchdog(), 0);
  ASSERT_EQ(Send(30, {0x34, 0x12}).status, 0);
  EXPECT_EQ(VBoardGetWatchdog(), 0x1234);
  const Answer a = Send(30, {}, {}, 2);
  EXPECT_EQ(a.status, 0);
  EXPECT_THAT(a.Data(), ElementsAre(0x34, 0x12));
  EXPECT_EQ(Send(30, {0x01}).status, kBadParamLength);
  EXPECT_EQ(Send(30, {}, {}, 4).status, kBadDataLength);
  EXPECT_EQ(VBoardGetWatchdog(), 0x1234);
}

// FNV-1a 32-bit reference values: "" 0x811C9DC5, "a" 0xE40C292C, "foobar" 0xBF9CF968.
TEST_F(VBoardTest, UserXidIsFnv1aOfTheData) {
  struct {
    std::string data;
    Bytes xid;
  } cases[] = {{"", {0xC5, 0x9D, 0x1C, 0x81}},
               {"a", {0x2C, 0x29, 0x0C, 0xE4}},
               {"foobar", {0x68, 0xF9, 0x9C, 0xBF}}};
  for (const auto &c : cases) {
    const Bytes data(c.data.begin(), c.data.end());
    const Answer a = Send(27, {uint8_t(data.size()), 0}, data, 4);
    EXPECT_EQ(a.status, 0) << c.data;
    EXPECT_EQ(a.Data(), c.xid) << c.data;
    EXPECT_THAT(a.Guard(), Each(0xEE));
  }
  EXPECT_EQ(Send(27, {6, 0}, Pattern(5, 0), 4).status, kBadDataLength) << "length disagrees with the data";
  EXPECT_EQ(Send(27, {6, 0}, Pattern(6, 0), 8).status, kBadDataLength) << "the answer is 4 bytes";
  EXPECT_EQ(Send(27, {6}, Pattern(6, 0), 4).status, kBadParamLength);
}

TEST_F(VBoardTest, AccessAndIaResultAreAccepted) {
  EXPECT_EQ(Send(6, {0xC2}).status, 0);
  EXPECT_EQ(Send(6, {}).status, kBadParamLength);
  EXPECT_EQ(Send(13, {0x82, 0x20}, Pattern(32, 0)).status, 0);
  EXPECT_EQ(Send(13, {0x84, 0x0D}, Pattern(12, 0)).status, kBadDataLength);
  EXPECT_EQ(Send(13, {0x84}, Pattern(13, 0)).status, kBadParamLength);
}

class UnknownCommands : public VBoardTest, public ::testing::WithParamInterface<int> {};

TEST_P(UnknownCommands, AnswerStatus1) {
  const Answer a = Send(uint8_t(GetParam()), {}, {}, 4);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(a.status, kUnknownCommand);
  EXPECT_THAT(a.in, Each(0xEE));
}

INSTANTIATE_TEST_SUITE_P(Codes, UnknownCommands, ::testing::Values(0, 1, 7, 14, 15, 26, 29, 31, 255),
                         [](const ::testing::TestParamInfo<int> &info) { return "Command" + std::to_string(info.param); });

// ---------------------------------------------------------------------------------------------
// Faults and trace

TEST_F(VBoardTest, NthFaultHitsOneCommandWhichHasNoEffect) {
  AddFault(FaultOn(/*any command*/ 0, /*status*/ 7, /*nth*/ 2));
  EXPECT_EQ(WriteMemory(9, 0, {1}), 0);
  EXPECT_EQ(WriteMemory(9, 1, {2}), 7);
  EXPECT_EQ(WriteMemory(9, 2, {3}), 0);
  EXPECT_THAT(PeekBoard(9, 0, 3), ElementsAre(1, 0xFF, 3));
}

TEST_F(VBoardTest, FaultByCodeCountsOnlyThatCodeAndStopsAfterTimes) {
  AddFault(FaultOn(21, 9, /*nth*/ 0, /*times*/ 2));
  std::vector<int> statuses;
  for (int i = 0; i < 3; ++i) {
    statuses.push_back(Send(16, {}, {}, 51).status);
    statuses.push_back(ReadMemory(0, 0, 1).status);
  }
  EXPECT_THAT(statuses, ElementsAre(0, 9, 0, 9, 0, 0));

  AddFault(FaultOn(22, 8, /*nth*/ 2));
  EXPECT_EQ(ReadMemory(0, 0, 1).status, 0);
  EXPECT_EQ(WriteMemory(0, 0, {1}), 0);
  EXPECT_EQ(ReadMemory(0, 0, 1).status, 0);
  EXPECT_EQ(WriteMemory(0, 0, {2}), 8) << "the second command 22";
  EXPECT_EQ(PeekBoard(0, 0, 1), Bytes{1});
}

TEST_F(VBoardTest, TransportFailureWithScribble) {
  AddFault(TransportFailureOn(21, /*scribble*/ true));
  const Answer a = ReadMemory(0, 0, 8);
  EXPECT_FALSE(a.ok);
  EXPECT_EQ(a.status, 0xA5);
  EXPECT_THAT(a.Data(), Each(0xA5));
  EXPECT_THAT(a.Guard(), Each(0xEE)) << "not past the incoming length";

  VBoardClearFaults();
  AddFault(TransportFailureOn(0, /*scribble*/ false, /*nth*/ 1));
  const Answer b = ReadMemory(0, 0, 8);
  EXPECT_FALSE(b.ok);
  EXPECT_EQ(b.status, 0xEE) << "no status without an exchange";
  EXPECT_THAT(b.in, Each(0xEE));
  EXPECT_TRUE(ReadMemory(0, 0, 8).ok);
}

TEST_F(VBoardTest, UnpluggedBoardAnswersNoExchangeUntilPluggedInAgain) {
  VBoardUnplugAfter(2);
  EXPECT_EQ(WriteMemory(9, 0, {1}), 0);
  EXPECT_EQ(WriteMemory(9, 1, {2}), 0);
  const Answer a = Send(22, MemoryAddress(9, 2, 1), {3}, 0, true);
  EXPECT_FALSE(a.ok);
  EXPECT_EQ(a.status, 0xEE) << "no status without an exchange";
  EXPECT_FALSE(ReadMemory(9, 0, 3).ok);
  EXPECT_THAT(PeekBoard(9, 0, 3), ElementsAre(1, 2, 0xFF)) << "the unplugged write changed nothing";
  EXPECT_EQ(VBoardTraceCount(), 4u) << "calls to an unplugged board are traced as failed";

  VBoardClearFaults();
  EXPECT_FALSE(ReadMemory(9, 0, 3).ok) << "clearing faults does not plug the board in";
  VBoardUnplugAfter(0);
  EXPECT_TRUE(ReadMemory(9, 0, 3).ok);
  VBoardUnplugAfter(1);
  NewBoard(Standard());
  EXPECT_TRUE(ReadMemory(9, 0, 3).ok);
  EXPECT_TRUE(ReadMemory(9, 0, 3).ok) << "a new board starts plugged in";
}

TEST_F(VBoardTest, TraceRecordsEveryCallWithItsData) {
  Bytes data = Pattern(6, 1);
  ASSERT_EQ(Info().size(), 51u);
  ASSERT_EQ(WriteMemory(9, 4, data), 0);
  AddFault(TransportFailureOn(21, true));
  ReadMemory(9, 4, 6);
  data.assign(6, 0);  // the trace keeps its own copy

  const std::vector<TraceEntry> trace = BoardTrace();
  ASSERT_EQ(trace.size(), 3u);
  TraceEntry info;
  info.command = 16;
  info.in_length = 51;
  EXPECT_EQ(trace[0], info);
  EXPECT_EQ(trace[1], WriteMemoryCmd(9, 4, Pattern(6, 1)));
  EXPECT_THAT(trace[2], IsReadMemory(9, 4, 6));
  EXPECT_FALSE(trace[2].transport_ok);
  EXPECT_EQ(trace[2].status, 0xA5);

  VBoardTraceEnable(0);
  Info();
  EXPECT_EQ(VBoardTraceCount(), 3u);
  VBoardTraceEnable(1);
  VBoardTraceClear();
  EXPECT_EQ(VBoardTraceCount(), 0u);
  Info();
  EXPECT_THAT(BoardTrace(), ElementsAre(IsCommand(16, {})));
}

TEST_F(VBoardTest, NewBoardForgetsTraceAndFaults) {
  AddFault(FaultOn(0, 7));
  EXPECT_EQ(Send(16, {}, {}, 51).status, 7);
  NewBoard(Standard());
  EXPECT_EQ(VBoardTraceCount(), 0u);
  EXPECT_EQ(Send(16, {}, {}, 51).status, 0);
  EXPECT_EQ(VBoardInCommand(), 0);
}

TEST_F(VBoardTest, ResetKeepsTheGeometryAndErasesTheRest) {
  NewBoard(Standard(4, 4, 2, 128));
  PokeBoard(5, 0, {1});
  VBoardSetState(2);
  VBoardReset();
  VBoardGeometry g{};
  VBoardGetGeometry(&g);
  EXPECT_EQ(g.page_size, 128);
  EXPECT_EQ(g.user_count, 4);
  EXPECT_EQ(PeekBoard(5, 0, 1), Bytes{0xFF});
  EXPECT_EQ(Info()[25], 0);
}

// ---------------------------------------------------------------------------------------------
// Image file

class VBoardImage : public VBoardTest {
 protected:
  void SetUp() override {
    VBoardTest::SetUp();
    path_ = ::testing::TempDir() + "vboard_image_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".img";
    std::remove(path_.c_str());
  }
  void TearDown() override {
    NewBoard(Standard());
    std::remove(path_.c_str());
    VBoardTest::TearDown();
  }
  std::string path_;
};

TEST_F(VBoardImage, KeepsMemoryAndStateAcrossReopen) {
  const VBoardGeometry small = Standard(4, 8, 4, 128);
  ASSERT_TRUE(VBoardOpenImage(path_.c_str(), &small));
  EXPECT_THAT(ReadMemory(0, 0, 128).Data(), Each(0xFF));
  ASSERT_EQ(Simple(23), 0);
  ASSERT_EQ(Simple(25), 0);
  ASSERT_EQ(WriteMemory(13, 5, Pattern(40, 2)), 0);
  ASSERT_EQ(AppendLog(Pattern(130, 3)), 0);
  ASSERT_EQ(Send(30, {0x22, 0x11}).status, 0);
  const Bytes before = Info();

  NewBoard(Standard());  // another board in between
  const VBoardGeometry other = Standard(1, 1, 1, 64);
  ASSERT_TRUE(VBoardOpenImage(path_.c_str(), &other)) << "an existing image keeps its geometry";
  EXPECT_EQ(Info(), before);
  EXPECT_EQ(ReadMemory(13, 5, 40).Data(), Pattern(40, 2));
  EXPECT_EQ(VBoardGetWatchdog(), 0x1122);
  EXPECT_EQ(Le16(before, 33), 21);  // log from page 20; 130 bytes into it
  EXPECT_EQ(Le16(before, 35), 2);
}

TEST_F(VBoardImage, RefusesAFileThatIsNotAnImage) {
  FILE *file = std::fopen(path_.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fputs("not a board image, just text", file);
  std::fclose(file);
  EXPECT_FALSE(VBoardOpenImage(path_.c_str(), nullptr));
  EXPECT_FALSE(VBoardOpenImage("", nullptr));
}

#if !defined(_WIN32)
// A process started with a standard stream closed must not get the image on that descriptor:
// its next line of output would be written into the board's memory. Each case runs in a child
// process with descriptor `closed` closed, opens (or creates) the image, then writes on the
// stream's number.
TEST_F(VBoardImage, NeverLandsOnAStandardStream) {
  for (const bool create : {true, false}) {
    for (int closed = 0; closed <= 2; ++closed) {
      SCOPED_TRACE("descriptor " + std::to_string(closed) + (create ? ", new image" : ", existing image"));
      if (create) std::remove(path_.c_str());
      const VBoardGeometry small = Standard(2, 2, 1, 128);
      if (!create) {
        ASSERT_TRUE(VBoardOpenImage(path_.c_str(), &small));
      }
      NewBoard(Standard());
      const pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        close(closed);
        if (!VBoardOpenImage(path_.c_str(), &small)) _exit(10);
        // The descriptor that holds the image is above 2 and close-on-exec.
        struct stat image {};
        if (stat(path_.c_str(), &image) != 0) _exit(11);
        int found = 0;
        for (int fd = 0; fd < 256; ++fd) {
          struct stat info {};
          if (fstat(fd, &info) != 0 || info.st_ino != image.st_ino || info.st_dev != image.st_dev) continue;
          if (fd <= 2 || (fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) _exit(12);
          ++found;
        }
        if (found == 0) _exit(13);
        const char text[] = "a stray line of output";
        const ssize_t ignored = write(closed, text, sizeof text - 1);
        (void)ignored;
        _exit(0);
      }
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFEXITED(status));
      ASSERT_EQ(WEXITSTATUS(status), 0);
      FILE *file = std::fopen(path_.c_str(), "rb");
      ASSERT_NE(file, nullptr);
      char magic[8] = {};
      ASSERT_EQ(std::fread(magic, 1, sizeof magic, file), sizeof magic);
      std::fclose(file);
      EXPECT_EQ(std::string(magic, sizeof magic), "VBOARD01");
      ASSERT_TRUE(VBoardOpenImage(path_.c_str(), nullptr));
      EXPECT_THAT(ReadMemory(0, 0, 128).Data(), Each(0xFF));
      NewBoard(Standard());
    }
  }
}

TEST_F(VBoardImage, NewImageWithoutGeometryTakesItFromTheEnvironment) {
  ASSERT_EQ(setenv("HWLINK_VBOARD_GEOMETRY", "users=4,data=8,log=2,page=128,devices=2,ext=0x0102", 1), 0);
  const bool opened = VBoardOpenImage(path_.c_str(), nullptr);
  unsetenv("HWLINK_VBOARD_GEOMETRY");
  ASSERT_TRUE(opened);
  const Bytes info = Info();
  EXPECT_EQ(Le16(info, 16), 4);
  EXPECT_EQ(Le16(info, 18), 21) << "last page: 8 + 4 + 8 + 2 - 1";
  EXPECT_EQ(Le16(info, 37), 20);
  EXPECT_EQ(info[44], 0x02);
  EXPECT_EQ(info[45], 0x01);
  EXPECT_EQ(info[48], 2);
  EXPECT_EQ(Le16(info, 49), 128);
}

// Two processes append to one image's log at once: no record is lost or torn, and the final
// position counts them all.
TEST_F(VBoardImage, TwoProcessesShareOneImage) {
  ASSERT_TRUE(VBoardOpenImage(path_.c_str(), nullptr));
  ASSERT_EQ(Simple(23), 0);
  constexpr int kRecords = 200;  // 2 x 200 x 4 bytes = 1600 of 4096 log bytes
  auto append_all = [](uint8_t tag) {
    for (int i = 0; i < kRecords; ++i) {
      if (AppendLog({tag, uint8_t(i), tag, uint8_t(i)}) != 0) return false;
    }
    return true;
  };
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    // The child serves the image through its own open file, as another program would.
    const bool ok = VBoardOpenImage(path_.c_str(), nullptr) && append_all(0xC1);
    _exit(ok ? 0 : 1);
  }
  const bool parent_ok = append_all(0xA1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(parent_ok);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  const Bytes info = Info();
  const uint32_t used = (Le16(info, 33) - 240u) * 256u + Le16(info, 35);
  EXPECT_EQ(used, 2u * kRecords * 4u);
  int next[2] = {0, 0};
  for (uint32_t at = 0; at < used; at += 4) {
    const Bytes record = PeekBoard(240 + at / 256, at % 256, 4);
    ASSERT_TRUE(record[0] == 0xA1 || record[0] == 0xC1) << "at " << at;
    const int who = record[0] == 0xC1;
    EXPECT_EQ(record, (Bytes{record[0], uint8_t(next[who]), record[0], uint8_t(next[who])})) << "at " << at;
    ++next[who];
  }
  EXPECT_EQ(next[0], kRecords);
  EXPECT_EQ(next[1], kRecords);
}
#endif

}  // namespace
}  // namespace mviahlp::testing
