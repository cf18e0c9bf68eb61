// Users and logon: which board commands each operation sends, how it leaves LastError and
// DeviceStatus when the board refuses, and the whole story against the virtual board's logon
// model (write a user, log on, read the current user, change the password, log off).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "board_fixture.h"
#include "interface/driver_state.h"
#include "interface/library_state.h"
#include "mviahlp.h"
#include "vboard_helpers.h"

namespace mviahlp::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr uint16_t kUsers = 32;  // Geometry() default
constexpr uint16_t kLastUserPage = kUsers + 7;
constexpr uint8_t kBoardStatus = 0x07;  // some refusal the driver has no code for

using Block8 = std::array<uint8_t, 8>;
constexpr Block8 kKey = {'K', 'E', 'Y', '-', 'A', 'N', 'N', 'A'};
constexpr Block8 kPassword = {'p', 'a', 's', 's', 'w', 'o', 'r', 'd'};
constexpr Block8 kNewPassword = {'n', 'e', 'w', '-', 'p', 'a', 's', 's'};
constexpr Block8 kOtherKey = {'K', 'E', 'Y', '-', 'B', 'O', 'R', 'S'};

Bytes Concat(const Block8 &a, const Block8 &b) {
  Bytes bytes(a.begin(), a.end());
  bytes.insert(bytes.end(), b.begin(), b.end());
  return bytes;
}

// A caller's UserRecord. Its bytes 28-35 are stored at 0-7 (the key the board matches logon
// block 1 against) and 36-43 at 8-15 (the password of logon block 2); the flag at 26 is the
// stored flag bit 0 that the board reports with the logged-on user.
struct UserRecord {
  uint8_t bytes[KLIA_USER_RECORD_SIZE] = {};
};
UserRecord MakeUser(const Block8 &key, const Block8 &password, uint8_t flag26, const std::string &name) {
  UserRecord record;
  std::copy(key.begin(), key.end(), record.bytes + KLIA_USER_DATA28);
  std::copy(password.begin(), password.end(), record.bytes + KLIA_USER_DATA36);
  record.bytes[KLIA_USER_FLAG26] = flag26;
  record.bytes[KLIA_USER_NAME] = static_cast<uint8_t>(name.size());
  std::copy(name.begin(), name.end(), record.bytes + KLIA_USER_NAME + 1);
  for (int i = 0; i < 64; ++i) record.bytes[KLIA_USER_DATA44 + i] = static_cast<uint8_t>(i);
  return record;
}

bool Login(const Block8 &first, const Block8 &second, uint8_t extra = 0) {
  return (KLIALogin(first.data(), second.data(), extra) & 0xFF) != 0;
}

struct CurrentUser {
  bool ok;
  uint16_t user;
  uint8_t flag;
  bool operator==(const CurrentUser &) const = default;
};
void PrintTo(const CurrentUser &c, std::ostream *os) {
  *os << "{ok " << c.ok << ", user " << c.user << ", flag " << int(c.flag) << "}";
}
CurrentUser GetCurrentUser() {
  CurrentUser c{false, 0xAAAA, 0xAA};
  c.ok = (KLIAGetCurrentUser(&c.user, &c.flag) & 0xFF) != 0;
  return c;
}

// Puts a known, nonzero error state in place so that "unchanged" can be seen.
constexpr ErrorState kPrimed{0, 1234, 0x42};
void PrimeErrorState() {
  DriverState.LastError = kPrimed.last_error;
  DriverState.DeviceStatus = kPrimed.device_status;
}

ErrorState Errors(uint16_t last_error, uint16_t device_status) { return {0, last_error, device_status}; }

using UsersTest = BoardTest;

// --- Which commands are sent ------------------------------------------------------------

TEST_F(UsersTest, NobodyLoggedOnIsUserZeroAndUserZeroCostsOneInfoReadAndNoPage) {
  EXPECT_EQ(GetCurrentUser(), (CurrentUser{true, 0, 0}));
  EXPECT_THAT(BoardTrace(), ElementsAre(IsCommand(16, {})));

  VBoardTraceClear();
  PrimeErrorState();
  UserRecord record;
  EXPECT_EQ(KLIAReadUserData(0, record.bytes), 0u);
  EXPECT_THAT(BoardTrace(), ElementsAre(IsCommand(16, {})));
  EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_OUT_OF_RANGE, 0)) << "DeviceStatus is command 16's";

  VBoardTraceClear();
  EXPECT_EQ(KLIAWriteUserData(0, record.bytes), 0u);
  EXPECT_THAT(BoardTrace(), ElementsAre(IsCommand(16, {})));
  EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_OUT_OF_RANGE, 0));

  VBoardTraceClear();
  const Bytes block(16, 0x33);
  EXPECT_EQ(KLIAChangeUserPassword(0, block.data()), 0u);
  EXPECT_THAT(BoardTrace(), ElementsAre(IsCommand(16, {})));
  EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_LOGON_UNKNOWN, 0));
}

TEST_F(UsersTest, LoggedOnUserIsReportedWithItsFlagAndUserZeroReadsItsPage) {
  VBoardSetLogon(3, 0x01);
  EXPECT_EQ(GetCurrentUser(), (CurrentUser{true, 3, 1}));

  VBoardTraceClear();
  UserRecord record;
  EXPECT_EQ(KLIAReadUserData(0, record.bytes), 1u);
  EXPECT_THAT(BoardTrace(), ElementsAre(IsCommand(16, {}), IsReadMemory(10, 0, 256)));

  VBoardSetLogon(7, 0x00);
  EXPECT_EQ(GetCurrentUser(), (CurrentUser{true, 7, 0}));
}

TEST_F(UsersTest, LastUserLivesInPageUserCountPlus7AndRecordsMoveWholeAndUncached) {
  const UserRecord record = MakeUser(kKey, kPassword, 1, "last");
  ASSERT_EQ(KLIAWriteUserData(kUsers, record.bytes), 1u);
  ASSERT_THAT(BoardTrace(), ElementsAre(IsWriteMemory(kLastUserPage, 0, 256)));
  // Straight to the board: the page holds the record now, no flush needed.
  EXPECT_EQ(PeekBoard(kLastUserPage, 0, 256), BoardTrace()[0].out);
  EXPECT_EQ(PeekBoard(kLastUserPage, 25, 5), (Bytes{4, 'l', 'a', 's', 't'}));

  VBoardTraceClear();
  UserRecord back;
  EXPECT_EQ(KLIAReadUserData(kUsers, back.bytes), 1u);
  EXPECT_THAT(BoardTrace(), ElementsAre(IsReadMemory(kLastUserPage, 0, 256)));
  EXPECT_TRUE(std::equal(back.bytes + KLIA_USER_DATA28, back.bytes + KLIA_USER_DATA44 + 64,
                         record.bytes + KLIA_USER_DATA28));

  // User 1 is in page 8.
  VBoardTraceClear();
  EXPECT_EQ(KLIAReadUserData(1, back.bytes), 1u);
  EXPECT_THAT(BoardTrace(), ElementsAre(IsReadMemory(8, 0, 256)));
}

TEST_F(UsersTest, NumbersPastUserCountSendNothing) {
  PrimeErrorState();
  UserRecord record;
  const Bytes block(16, 0x33);
  EXPECT_EQ(KLIAReadUserData(kUsers + 1, record.bytes), 0u);
  EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_OUT_OF_RANGE, kPrimed.device_status));
  EXPECT_EQ(KLIAWriteUserData(kUsers + 1, record.bytes), 0u);
  EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_OUT_OF_RANGE, kPrimed.device_status));
  EXPECT_EQ(KLIAChangeUserPassword(kUsers + 1, block.data()), 0u);
  EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_LOGON_UNKNOWN, kPrimed.device_status));
  EXPECT_EQ(KLIAWriteUserData(0xFFFF, record.bytes), 0u);
  EXPECT_THAT(BoardTrace(), IsEmpty());
}

// An explicit user number is checked against the user count as last read, without asking;
// only an operation that reads the board's information again sees a new count.
TEST_F(UsersTest, ExplicitNumbersUseTheUserCountAsLastRead) {
  VBoardPatchInfo(/*offset*/ 16, /*value*/ 40, /*first*/ 1, /*count*/ 0);  // the board now says 40 users
  UserRecord record;
  EXPECT_EQ(KLIAReadUserData(35, record.bytes), 0u);
  EXPECT_EQ(GetErrorState().last_error, KLIA_ERR_OUT_OF_RANGE);
  EXPECT_THAT(BoardTrace(), IsEmpty());

  GetCurrentUser();
  VBoardTraceClear();
  EXPECT_EQ(KLIAReadUserData(35, record.bytes), 1u);
  EXPECT_THAT(BoardTrace(), ElementsAre(IsReadMemory(42, 0, 256)));
}

// A board that claims more users than 16-bit page numbers reach: the surplus numbers name
// nobody, instead of a page counted round into the fixed pages at the start of memory.
TEST_F(UsersTest, UserNumbersWhosePageWouldPassFFFFNameNobody) {
  uint8_t info[51] = {};
  info[0] = 0x23, info[1] = 0x01;    // version 0x123
  info[16] = 0xFF, info[17] = 0xFF;  // 65535 users
  info[25] = 2;
  info[33] = 0xFF, info[34] = 0xFF;  // no log position
  info[49] = 0x00, info[50] = 0x01;  // 256-byte pages
  ResetLibraryState();
  ASSERT_TRUE(VBoardCreateRaw(info, 16, 256));
  ASSERT_TRUE(Bind());

  UserRecord record;
  EXPECT_EQ(KLIAWriteUserData(0xFFF9, record.bytes), 0u) << "page 0xFFF9 + 7 would be page 0";
  EXPECT_EQ(GetErrorState().last_error, KLIA_ERR_OUT_OF_RANGE);
  EXPECT_EQ(KLIAReadUserData(0xFFFF, record.bytes), 0u);
  EXPECT_EQ(GetErrorState().last_error, KLIA_ERR_OUT_OF_RANGE);
  const Bytes block(16, 0);
  EXPECT_EQ(KLIAChangeUserPassword(0xFFFA, block.data()), 0u);
  EXPECT_EQ(GetErrorState().last_error, KLIA_ERR_LOGON_UNKNOWN);
  EXPECT_THAT(BoardTrace(), IsEmpty());

  // The last number that still has a page is asked for.
  KLIAReadUserData(0xFFF8, record.bytes);
  EXPECT_THAT(BoardTrace(), ElementsAre(IsReadMemory(0xFFFF, 0, 256)));
}

TEST_F(UsersTest, LoginSendsBothBlocksUnchangedAndTheThirdArgumentHasNoEffect) {
  for (const uint8_t extra : {uint8_t{0}, uint8_t{1}, uint8_t{0xFF}}) {
    SCOPED_TRACE(::testing::Message() << "third argument " << int(extra));
    NewBoard(Geometry());
    ASSERT_TRUE(Bind());
    AddFault(FaultOn(17, 0x60));
    EXPECT_FALSE(Login(kKey, kPassword, extra));
    EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_LOGON_REFUSED, 0x60));
    const std::vector<TraceEntry> trace = BoardTrace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].command, 17);
    EXPECT_THAT(trace[0].param, IsEmpty());
    EXPECT_EQ(trace[0].out, Concat(kKey, kPassword));
    EXPECT_EQ(trace[0].in_length, 0);
  }
}

TEST_F(UsersTest, ChangePasswordSendsTheBlockAloneAndKeepsTheBoardsStatus) {
  Bytes block(16);
  for (int i = 0; i < 16; ++i) block[i] = static_cast<uint8_t>(0xF0 - i);
  AddFault(FaultOn(19, 0x50));
  PrimeErrorState();
  EXPECT_EQ(KLIAChangeUserPassword(5, block.data()), 0u);
  const std::vector<TraceEntry> trace = BoardTrace();
  ASSERT_EQ(trace.size(), 1u) << "user 5 is not sent and costs no information read";
  EXPECT_EQ(trace[0].command, 19);
  EXPECT_THAT(trace[0].param, IsEmpty());
  EXPECT_EQ(trace[0].out, block);
  EXPECT_EQ(GetErrorState(), Errors(0x50, kPrimed.device_status)) << "LastError 80, DeviceStatus unchanged";
}

TEST_F(UsersTest, SuccessfulReadAndWriteClearAnEarlierError) {
  PrimeErrorState();
  UserRecord record = MakeUser(kKey, kPassword, 0, "x");
  EXPECT_EQ(KLIAWriteUserData(2, record.bytes), 1u);
  EXPECT_EQ(GetErrorState(), Errors(0, 0));
  PrimeErrorState();
  EXPECT_EQ(KLIAReadUserData(2, record.bytes), 1u);
  EXPECT_EQ(GetErrorState(), Errors(0, 0));
}

TEST_F(UsersTest, FailedReadLeavesTheCallersRecordUntouched) {
  AddFault(FaultOn(21, kBoardStatus));
  UserRecord record;
  std::fill(std::begin(record.bytes), std::end(record.bytes), 0x5C);
  EXPECT_EQ(KLIAReadUserData(1, record.bytes), 0u);
  EXPECT_TRUE(std::all_of(std::begin(record.bytes), std::end(record.bytes), [](uint8_t b) { return b == 0x5C; }));
}

// A fresh board's user pages are erased; reading one gives the documented erased record.
TEST_F(UsersTest, ErasedUserPageReadsWithTheInvertedItemsAtZero) {
  UserRecord record;
  std::fill(std::begin(record.bytes), std::end(record.bytes), 0x11);
  ASSERT_EQ(KLIAReadUserData(1, record.bytes), 1u);
  EXPECT_EQ(record.bytes[KLIA_USER_NAME], 12);
  EXPECT_EQ(record.bytes[KLIA_USER_FLAG26], 1);
  EXPECT_EQ(record.bytes[KLIA_USER_FLAG114], 0);
  EXPECT_EQ(record.bytes[KLIA_USER_NIBBLE115], 0);
  EXPECT_EQ(record.bytes[KLIA_USER_ACCESS_WORD], 0xFF);
  EXPECT_EQ(record.bytes[KLIA_USER_ACCESS_WORD + 1], 0x80);
  EXPECT_EQ(record.bytes[KLIA_USER_UNUSED176], 0x11);
}

// --- The failure table, driven by fault injection -----------------------------------------

struct FailureCase {
  const char *situation;
  std::function<void()> arrange;  // after binding: faults, logon state
  std::function<bool()> act;
  bool result;
  ErrorState errors;  // with the error state primed to kPrimed before act()
};

VBoardFault Failing(uint8_t command, uint8_t status) {
  return status == KLIA_STATUS_TRANSPORT_FAILED ? TransportFailureOn(command, /*scribble*/ true)
                                                : FaultOn(command, status);
}

std::vector<FailureCase> FailureCases(uint8_t status) {
  static const Bytes block(16, 0x44);
  const auto read = [](uint16_t n) {
    return [n] {
      UserRecord r;
      return KLIAReadUserData(n, r.bytes) != 0;
    };
  };
  const auto write = [](uint16_t n) {
    return [n] {
      UserRecord r;
      return KLIAWriteUserData(n, r.bytes) != 0;
    };
  };
  const auto change = [](uint16_t n) { return [n] { return KLIAChangeUserPassword(n, block.data()) != 0; }; };
  const auto current_is = [](CurrentUser expected) {
    return [expected] {
      const CurrentUser c = GetCurrentUser();
      EXPECT_EQ(c.user, expected.user);
      EXPECT_EQ(c.flag, expected.flag);
      return c.ok;
    };
  };
  const auto fail = [status](uint8_t command) { return [status, command] { AddFault(Failing(command, status)); }; };
  const auto logged_on_then_fail = [status](uint8_t command) {
    return [status, command] {
      VBoardSetLogon(3, 0x01);
      GetCurrentUser();  // the library's picture now shows user 3 logged on
      AddFault(Failing(command, status));
    };
  };
  const auto nothing = [] {};
  const auto logout = [] {
    KLIALogout();
    return true;
  };

  return {
      {"current user: command 16 fails", fail(16), current_is({false, 0, 0}), false, Errors(status, status)},
      {"current user: command 16 fails, last picture shows a logon", logged_on_then_fail(16),
       current_is({false, 3, 1}), false, Errors(status, status)},
      {"logout: command 18 fails", fail(18), logout, true, Errors(0, 0)},
      {"read user 0: command 16 fails", fail(16), read(0), false, Errors(KLIA_ERR_OUT_OF_RANGE, status)},
      {"read user 0: command 16 fails after a logon", logged_on_then_fail(16), read(0), false,
       Errors(KLIA_ERR_OUT_OF_RANGE, status)},
      {"write user 0: command 16 fails", fail(16), write(0), false, Errors(KLIA_ERR_OUT_OF_RANGE, status)},
      {"read user: command 21 fails", fail(21), read(1), false, Errors(KLIA_ERR_PAGE_FAILED, status)},
      {"read user 0: command 21 fails", logged_on_then_fail(21), read(0), false, Errors(KLIA_ERR_PAGE_FAILED, status)},
      {"write user: command 22 fails", fail(22), write(kUsers), false, Errors(KLIA_ERR_WRITE_FAILED, status)},
      {"change password user 0: command 16 fails", fail(16), change(0), false,
       Errors(KLIA_ERR_LOGON_UNKNOWN, status)},
      {"change password: command 19 fails", fail(19), change(1), false, Errors(status, kPrimed.device_status)},
      {"change password user 0: command 19 fails", logged_on_then_fail(19), change(0), false,
       Errors(status, 0)},  // DeviceStatus is the good command 16's
      {"read user 0 with nobody logged on", nothing, read(0), false, Errors(KLIA_ERR_OUT_OF_RANGE, 0)},
  };
}

class UserFailures : public BoardTest, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(UserFailures, LeaveTheErrorStateAsDocumented) {
  const uint8_t status = GetParam();
  for (const FailureCase &c : FailureCases(status)) {
    SCOPED_TRACE(c.situation);
    NewBoard(Geometry());
    ASSERT_TRUE(Bind());
    c.arrange();
    PrimeErrorState();
    EXPECT_EQ(c.act(), c.result);
    EXPECT_EQ(GetErrorState(), c.errors);
    VBoardClearFaults();
  }
}
INSTANTIATE_TEST_SUITE_P(Statuses, UserFailures, ::testing::Values(kBoardStatus, KLIA_STATUS_TRANSPORT_FAILED),
                         [](const auto &info) { return info.param == 255 ? "TransportFails" : "BoardRefuses"; });

// Logon answers: the three known refusals have codes; any other status is kept raw, so a
// failed logon never leaves LastError at 0 or at an older code.
struct LoginCase {
  uint8_t status;
  uint16_t last_error;
};
class LoginAnswers : public BoardTest, public ::testing::WithParamInterface<LoginCase> {};
TEST_P(LoginAnswers, SetLastErrorAndDeviceStatus) {
  const LoginCase c = GetParam();
  AddFault(Failing(17, c.status));
  PrimeErrorState();
  EXPECT_EQ(Login(kKey, kPassword), c.status == 0);
  EXPECT_EQ(GetErrorState(), Errors(c.last_error, c.status));
}
INSTANTIATE_TEST_SUITE_P(Statuses, LoginAnswers,
                         ::testing::Values(LoginCase{0x50, KLIA_ERR_LOGON_UNKNOWN},
                                           LoginCase{0x60, KLIA_ERR_LOGON_REFUSED},
                                           LoginCase{0x61, KLIA_ERR_LOGON_BLOCKED}, LoginCase{0x30, 0x30},
                                           LoginCase{kBoardStatus, kBoardStatus},
                                           LoginCase{KLIA_STATUS_TRANSPORT_FAILED, 255}),
                         [](const ::testing::TestParamInfo<LoginCase> &info) {
                           return "Status" + std::to_string(info.param.status);
                         });

// --- The whole story on the virtual board ---------------------------------------------------

uint8_t BoardState() { return BoardInfoBlock()[25]; }
uint16_t BoardCurrentUser() {
  const Bytes info = BoardInfoBlock();
  return static_cast<uint16_t>(info[28] | info[29] << 8);
}

TEST_F(UsersTest, WriteLogOnReadChangePasswordAndLogOff) {
  MarkFormatted();
  const UserRecord anna = MakeUser(kKey, kPassword, /*flag26*/ 1, "Anna");
  const UserRecord bors = MakeUser(kOtherKey, kPassword, /*flag26*/ 0, "Bors");
  ASSERT_EQ(KLIAWriteUserData(5, anna.bytes), 1u);
  ASSERT_EQ(KLIAWriteUserData(6, bors.bytes), 1u);

  // Nobody's key; a known key with the wrong password.
  EXPECT_FALSE(Login({'n', 'o', 'b', 'o', 'd', 'y', 0, 0}, kPassword));
  EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_LOGON_UNKNOWN, 0x50));
  EXPECT_FALSE(Login(kKey, kNewPassword));
  EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_LOGON_REFUSED, 0x60));
  EXPECT_EQ(BoardState(), 2);

  // The right blocks log Anna on: the board reports State 4 and user 5 with her flag.
  ASSERT_TRUE(Login(kKey, kPassword));
  EXPECT_EQ(GetErrorState(), Errors(0, 0));
  EXPECT_EQ(BoardState(), 4);
  EXPECT_EQ(BoardCurrentUser(), 5);
  EXPECT_EQ(GetCurrentUser(), (CurrentUser{true, 5, 1}));

  // Someone is logged on already.
  EXPECT_FALSE(Login(kOtherKey, kPassword));
  EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_LOGON_BLOCKED, 0x61));

  // User 0 is Anna now.
  UserRecord back;
  ASSERT_EQ(KLIAReadUserData(0, back.bytes), 1u);
  EXPECT_EQ(std::string(back.bytes + 1, back.bytes + 1 + back.bytes[0]), "Anna");

  // A wrong current password is the board's refusal, kept raw.
  EXPECT_EQ(KLIAChangeUserPassword(0, Concat(kNewPassword, kNewPassword).data()), 0u);
  EXPECT_EQ(GetErrorState().last_error, 0x60);
  // The change applies to the logged-on user.
  ASSERT_EQ(KLIAChangeUserPassword(0, Concat(kPassword, kNewPassword).data()), 1u);
  EXPECT_EQ(PeekBoard(5 + 7, 8, 8), Bytes(kNewPassword.begin(), kNewPassword.end()));
  EXPECT_EQ(PeekBoard(6 + 7, 8, 8), Bytes(kPassword.begin(), kPassword.end())) << "Bors keeps his";

  KLIALogout();
  EXPECT_EQ(GetErrorState(), Errors(0, 0));
  EXPECT_EQ(BoardState(), 2);
  EXPECT_EQ(GetCurrentUser(), (CurrentUser{true, 0, 0}));

  EXPECT_FALSE(Login(kKey, kPassword)) << "the old password no longer works";
  EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_LOGON_REFUSED, 0x60));
  ASSERT_TRUE(Login(kKey, kNewPassword));
  EXPECT_EQ(GetCurrentUser(), (CurrentUser{true, 5, 1}));
  KLIALogout();

  // Bors, whose flag is clear.
  ASSERT_TRUE(Login(kOtherKey, kPassword));
  EXPECT_EQ(GetCurrentUser(), (CurrentUser{true, 6, 0}));
}

TEST_F(UsersTest, ErasedRecordsAreNotUsersAndAnUnreadyBoardRefusesLogons) {
  const Block8 erased = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  // State 0: the board's database is not connected; the status is kept raw.
  EXPECT_FALSE(Login(erased, erased));
  EXPECT_EQ(GetErrorState(), Errors(0x30, 0x30));

  MarkFormatted();
  EXPECT_FALSE(Login(erased, erased));
  EXPECT_EQ(GetErrorState(), Errors(KLIA_ERR_LOGON_UNKNOWN, 0x50));
}

}  // namespace
}  // namespace mviahlp::testing
