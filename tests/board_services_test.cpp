// Clock, watchdog, log, IA result, access sequence and user XID: the blocks each operation
// puts on the wire, what it makes of the board's answer, and how it leaves the error state
// when the board refuses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "board_fixture.h"
#include "driver/board_info.h"
#include "driver/operations.h"
#include "interface/driver_state.h"
#include "mviahlp.h"

namespace mviahlp::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// One command as the virtual board saw it.
struct Sent {
  uint8_t command;
  Bytes param;
  Bytes out;
  uint16_t in_length;
  bool operator==(const Sent &) const = default;
};

void PrintTo(const Sent &sent, std::ostream *os) {
  *os << "command " << int{sent.command} << " param {";
  for (uint8_t b : sent.param) *os << " " << std::hex << int{b} << std::dec;
  *os << " } out " << sent.out.size() << " bytes, in " << sent.in_length;
}

std::vector<Sent> Trace() {
  std::vector<Sent> trace;
  for (uint32_t i = 0; i < VBoardTraceCount(); ++i) {
    VBoardTraceEntry entry{};
    VBoardTraceGet(i, &entry);
    Sent sent{entry.command, Bytes(entry.param, entry.param + std::min<size_t>(entry.param_length, 16)), {},
              entry.in_length};
    if (entry.out != nullptr) sent.out.assign(entry.out, entry.out + entry.out_length);
    trace.push_back(sent);
  }
  return trace;
}

// Commands without outgoing data.
Sent Command(uint8_t command, Bytes param, uint16_t in_length = 0) { return {command, std::move(param), {}, in_length}; }

// The next command with code `command` (0: any) fails once: with the board status `status`,
// or, for status 255, through a transport call that returns false.
void FailNext(uint8_t command, uint8_t status) {
  VBoardFault fault{};
  fault.nth = 1;
  fault.command = command;
  fault.status = status;
  fault.transport_fails = status == KLIA_STATUS_TRANSPORT_FAILED ? 1 : 0;
  fault.times = 1;
  VBoardAddFault(&fault);
}

// An error state that a previous operation left behind.
void LeaveErrorState(uint16_t last_error, uint16_t device_status) {
  DriverState.LastError = last_error;
  DriverState.DeviceStatus = device_status;
}

// Day numbers from the <chrono> civil calendar, independent of the library's own arithmetic.
int32_t DayOf(int year, unsigned month, unsigned day) {
  namespace chr = std::chrono;
  const chr::sys_days date{chr::year{year} / chr::month{month} / chr::day{day}};
  const chr::sys_days day_zero{chr::year{1600} / chr::January / 1};
  return static_cast<int32_t>((date - day_zero).count());
}

struct DateTime {
  int32_t day_number;
  int32_t time_of_day;
  bool operator==(const DateTime &) const = default;
};

void PrintTo(const DateTime &value, std::ostream *os) {
  *os << "{day " << value.day_number << ", time " << value.time_of_day << "}";
}

Bytes Encode(const DateTime &value) {
  Bytes record(KLIA_DATETIME_RECORD_SIZE);
  for (int i = 0; i < 4; ++i) {
    record[KLIA_DATETIME_DAY_NUMBER + i] = static_cast<uint8_t>(static_cast<uint32_t>(value.day_number) >> (8 * i));
    record[KLIA_DATETIME_TIME_OF_DAY + i] = static_cast<uint8_t>(static_cast<uint32_t>(value.time_of_day) >> (8 * i));
  }
  return record;
}

DateTime Decode(const Bytes &record) {
  uint32_t day = 0, time = 0;
  for (int i = 3; i >= 0; --i) {
    day = (day << 8) | record[KLIA_DATETIME_DAY_NUMBER + i];
    time = (time << 8) | record[KLIA_DATETIME_TIME_OF_DAY + i];
  }
  return {static_cast<int32_t>(day), static_cast<int32_t>(time)};
}

// Reads the clock through the export; the record starts out filled with 0xEE bytes.
DateTime ReadClock(uint32_t *result = nullptr) {
  Bytes record(KLIA_DATETIME_RECORD_SIZE, 0xEE);
  const uint32_t r = KLIAGetRTCDateTime(record.data()) & 0xFF;
  if (result != nullptr) *result = r;
  return Decode(record);
}

uint32_t SetClock(const DateTime &value) {
  const Bytes record = Encode(value);
  return KLIASetRTCDateTime(record.data()) & 0xFF;
}

// The clock block of the worked example: 14:30:05 on 31 December 2024.
const Bytes kWorkedClock = {0x05, 0x30, 0x14, 0x31, 0x12, 0x24};
constexpr DateTime kWorkedDateTime{155228, 52205};

using BoardServices = BoardTest;

// ---- Clock -------------------------------------------------------------------------------

TEST_F(BoardServices, ReadingTheClockConvertsTheBoardsBlock) {
  VBoardFreezeClock(kWorkedClock.data());
  LeaveErrorState(7507, 9);
  uint32_t result = 0;
  EXPECT_EQ(ReadClock(&result), kWorkedDateTime);
  EXPECT_EQ(result, 1u);
  EXPECT_THAT(Trace(), ElementsAre(Command(28, {}, 6)));
  EXPECT_EQ(GetErrorState(), (ErrorState{0, 0, 0}));
}

TEST_F(BoardServices, SettingTheClockSendsTheBoardsBlock) {
  LeaveErrorState(7507, 9);
  EXPECT_EQ(SetClock(kWorkedDateTime), 1u);
  EXPECT_THAT(Trace(), ElementsAre(Command(28, kWorkedClock)));
  EXPECT_EQ(GetErrorState(), (ErrorState{0, 0, 0}));
}

struct ClockReadCase {
  const char *name;
  Bytes block;  // second, minute, hour, day, month, year
  DateTime expected;
};

class ClockReads : public BoardServices, public ::testing::WithParamInterface<ClockReadCase> {};

// Bytes that are not BCD are no failure: the result is 1, and the value they feed becomes
// what the calendar makes of 255.
TEST_P(ClockReads, GiveTheDayNumberAndTimeOfDay) {
  VBoardFreezeClock(GetParam().block.data());
  uint32_t result = 0;
  EXPECT_EQ(ReadClock(&result), GetParam().expected);
  EXPECT_EQ(result, 1u);
  EXPECT_EQ(GetErrorState().last_error, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, ClockReads,
    ::testing::Values(
        ClockReadCase{"WorkedExample", kWorkedClock, kWorkedDateTime},
        ClockReadCase{"FirstDayOfTheCentury", {0x00, 0x00, 0x00, 0x01, 0x01, 0x00}, {DayOf(2000, 1, 1), 0}},
        ClockReadCase{"LastSecondOfTheCentury", {0x59, 0x59, 0x23, 0x31, 0x12, 0x99}, {DayOf(2099, 12, 31), 86399}},
        ClockReadCase{"LeapDay", {0x00, 0x00, 0x12, 0x29, 0x02, 0x24}, {DayOf(2024, 2, 29), 43200}},
        ClockReadCase{"NoLeapDayIn2001", {0x00, 0x00, 0x12, 0x29, 0x02, 0x01}, {-1, 43200}},
        ClockReadCase{"DayByteNotBcd", {0x05, 0x30, 0x14, 0x3A, 0x12, 0x24}, {-1, 52205}},
        ClockReadCase{"MonthByteNotBcd", {0x05, 0x30, 0x14, 0x31, 0x1F, 0x24}, {-1, 52205}},
        ClockReadCase{"MonthThirteen", {0x05, 0x30, 0x14, 0x01, 0x13, 0x24}, {-1, 52205}},
        ClockReadCase{"DayZero", {0x05, 0x30, 0x14, 0x00, 0x12, 0x24}, {-1, 52205}},
        // A year byte that is not BCD gives no date rather than a day of the year 2255.
        ClockReadCase{"YearByteNotBcd", {0x05, 0x30, 0x14, 0x31, 0x12, 0xFF}, {-1, 52205}},
        ClockReadCase{"YearByteA0", {0x00, 0x00, 0x00, 0x01, 0x01, 0xA0}, {-1, 0}},
        // Time bytes of 255: the hour is reduced modulo 24, the sum modulo a day.
        ClockReadCase{"SecondByteNotBcd", {0x5A, 0x30, 0x14, 0x31, 0x12, 0x24}, {155228, 14 * 3600 + 30 * 60 + 255}},
        ClockReadCase{"AllTimeBytesNotBcd",
                      {0xFF, 0xFF, 0xFF, 0x31, 0x12, 0x24},
                      {155228, (15 * 3600 + 255 * 60 + 255) % 86400}},
        ClockReadCase{"HourTwentyFive", {0x00, 0x00, 0x25, 0x31, 0x12, 0x24}, {155228, 3600}}),
    [](const ::testing::TestParamInfo<ClockReadCase> &info) { return std::string(info.param.name); });

struct ClockSetCase {
  const char *name;
  DateTime value;
  Bytes block;  // second, minute, hour, day, month, year
};

class ClockSets : public BoardServices, public ::testing::WithParamInterface<ClockSetCase> {};

TEST_P(ClockSets, SendTheClockBlock) {
  SetClock(GetParam().value);
  EXPECT_THAT(Trace(), ElementsAre(Command(28, GetParam().block)));
}

INSTANTIATE_TEST_SUITE_P(
    Values, ClockSets,
    ::testing::Values(
        ClockSetCase{"WorkedExample", kWorkedDateTime, kWorkedClock},
        ClockSetCase{"FirstDayOfTheCentury", {DayOf(2000, 1, 1), 0}, {0x00, 0x00, 0x00, 0x01, 0x01, 0x00}},
        ClockSetCase{"LastSecondOfTheCentury", {DayOf(2099, 12, 31), 86399}, {0x59, 0x59, 0x23, 0x31, 0x12, 0x99}},
        // Years outside 2000-2099 have no year byte: 0xFF, never a year of another century.
        ClockSetCase{"Year2100", {182622, 0}, {0x00, 0x00, 0x00, 0x01, 0x01, 0xFF}},
        ClockSetCase{"Year2256", {DayOf(2256, 1, 1), 0}, {0x00, 0x00, 0x00, 0x01, 0x01, 0xFF}},
        ClockSetCase{"Year1744", {DayOf(1744, 1, 1), 0}, {0x00, 0x00, 0x00, 0x01, 0x01, 0xFF}},
        ClockSetCase{"Year1999", {DayOf(1999, 12, 31), 0}, {0x00, 0x00, 0x00, 0x31, 0x12, 0xFF}},
        // No date and no time split into zero fields.
        ClockSetCase{"NoDateNoTime", {-1, -1}, {0x00, 0x00, 0x00, 0x00, 0x00, 0xFF}},
        // The time is not reduced modulo a day: 86400 is hour 24; 100 hours has no BCD byte.
        ClockSetCase{"Midnight24", {155228, 86400}, {0x00, 0x00, 0x24, 0x31, 0x12, 0x24}},
        ClockSetCase{"HundredHours", {155228, 360000}, {0x00, 0x00, 0xFF, 0x31, 0x12, 0x24}}),
    [](const ::testing::TestParamInfo<ClockSetCase> &info) { return std::string(info.param.name); });

// Through the virtual board: what is set is what a read gives back (give or take the seconds
// the clock runs in between).
TEST_F(BoardServices, ClockSetThenReadGivesTheSameMoment) {
  ASSERT_EQ(SetClock(kWorkedDateTime), 1u);
  uint8_t block[6];
  VBoardGetClock(block);
  EXPECT_THAT(Bytes(block + 3, block + 6), ElementsAre(0x31, 0x12, 0x24));
  uint32_t result = 0;
  const DateTime read = ReadClock(&result);
  EXPECT_EQ(result, 1u);
  EXPECT_EQ(read.day_number, kWorkedDateTime.day_number);
  EXPECT_GE(read.time_of_day, kWorkedDateTime.time_of_day);
  EXPECT_LE(read.time_of_day, kWorkedDateTime.time_of_day + 3);
}

// ---- Watchdog ----------------------------------------------------------------------------

TEST_F(BoardServices, WatchdogTimeoutSetThenRead) {
  LeaveErrorState(7507, 9);
  EXPECT_EQ(KLIASetWDTimeout(0x1234) & 0xFF, 1u);
  EXPECT_EQ(GetErrorState(), (ErrorState{0, 0, 0}));
  EXPECT_EQ(VBoardGetWatchdog(), 0x1234);
  uint16_t timeout = 0;
  LeaveErrorState(7507, 9);
  EXPECT_EQ(KLIAGetWDTimeout(&timeout) & 0xFF, 1u);
  EXPECT_EQ(timeout, 0x1234);
  EXPECT_EQ(GetErrorState(), (ErrorState{0, 0, 0}));
  EXPECT_THAT(Trace(), ElementsAre(Command(30, {0x34, 0x12}), Command(30, {}, 2)));
}

// ---- Log ---------------------------------------------------------------------------------

// A fresh virtual board has no log position; the board refuses to clear a log it has not set up.
void InitialiseLog() {
  VBoardGeometry geometry{};
  VBoardGetGeometry(&geometry);
  VBoardSetLogPosition(geometry.log_first_page, 0);
}

TEST_F(BoardServices, ClearingTheLogLeavesTheErrorStateAlone) {
  InitialiseLog();
  LeaveErrorState(7507, 9);
  EXPECT_EQ(KLIAClearLog() & 0xFF, 1u);
  EXPECT_THAT(Trace(), ElementsAre(Command(24, {})));
  EXPECT_EQ(GetErrorState(), (ErrorState{0, 7507, 9}));
}

// ---- IA result and access sequence -------------------------------------------------------

Bytes IaRecord() {
  Bytes record(KLIA_USER_RECORD_SIZE);
  for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<uint8_t>(0x10 + i);
  return record;
}

TEST_F(BoardServices, IaResultKind2SendsTheFirst32Bytes) {
  const Bytes record = IaRecord();
  LeaveErrorState(7507, 9);
  EXPECT_EQ(KLIASetIaResult(2, record.data()) & 0xFF, 1u);
  EXPECT_THAT(Trace(), ElementsAre(Sent{13, {0x82, 0x20}, Bytes(record.begin(), record.begin() + 32), 0}));
  EXPECT_EQ(GetErrorState(), (ErrorState{0, 0, 0}));
}

TEST_F(BoardServices, IaResultKind4SendsTheFirstShortString) {
  const Bytes record = IaRecord();
  EXPECT_EQ(KLIASetIaResult(4, record.data()) & 0xFF, 1u);
  EXPECT_THAT(Trace(), ElementsAre(Sent{13, {0x84, 0x0D}, Bytes(record.begin(), record.begin() + 13), 0}));
}

TEST_F(BoardServices, IaResultOfAnotherKindDoesNothing) {
  const Bytes record = IaRecord();
  for (uint8_t kind : {0, 1, 3, 7, 254}) {
    LeaveErrorState(7507, 9);
    EXPECT_EQ(KLIASetIaResult(kind, record.data()) & 0xFF, 1u) << int{kind};
    EXPECT_EQ(GetErrorState(), (ErrorState{0, 0, 0})) << int{kind};
  }
  EXPECT_THAT(Trace(), IsEmpty());
}

Bytes AccessSequence() {
  std::vector<uint8_t> bytes;
  for (const Sent &sent : Trace()) {
    EXPECT_EQ(sent.command, 6);
    EXPECT_EQ(sent.param.size(), 1u);
    if (sent.param.size() == 1) bytes.push_back(sent.param[0]);
  }
  return bytes;
}

// Kind 255 hands the record's access word to the driver without a command; the access
// sequence then sends one byte per device.
TEST_F(BoardServices, IaResultKind255SetsTheAccessSequence) {
  Bytes record = IaRecord();
  record[KLIA_USER_ACCESS_WORD] = 0x05;
  record[KLIA_USER_ACCESS_WORD + 1] = 1;
  LeaveErrorState(7507, 9);
  EXPECT_EQ(KLIASetIaResult(255, record.data()) & 0xFF, 1u);
  EXPECT_THAT(Trace(), IsEmpty());
  EXPECT_EQ(GetErrorState(), (ErrorState{0, 0, 0}));

  DeviceCount = 3;
  LeaveErrorState(7507, 9);
  EXPECT_EQ(driver::KLIASetupAccessToDevices(), 0u);
  EXPECT_THAT(AccessSequence(), ElementsAre(0x40, 0x01, 0xC2));
  EXPECT_EQ(GetErrorState(), (ErrorState{0, 7507, 9}));

  // The settings last: a second run sends the same bytes.
  VBoardTraceClear();
  driver::KLIASetupAccessToDevices();
  EXPECT_THAT(AccessSequence(), ElementsAre(0x40, 0x01, 0xC2));
}

TEST_F(BoardServices, AccessSequenceWithoutClosingAndBeyondEightDevices) {
  Bytes record = IaRecord();
  record[KLIA_USER_ACCESS_WORD] = 0x81;
  record[KLIA_USER_ACCESS_WORD + 1] = 0;
  ASSERT_EQ(KLIASetIaResult(255, record.data()) & 0xFF, 1u);
  DeviceCount = 10;
  driver::KLIASetupAccessToDevices();
  // Only devices 0-7 have a bit in the mask; no closing bit on the last byte.
  EXPECT_THAT(AccessSequence(), ElementsAre(0x40, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x47, 0x08, 0x09));
}

TEST_F(BoardServices, AccessSequenceWithoutDevicesSendsNothing) {
  Bytes record = IaRecord();
  record[KLIA_USER_ACCESS_WORD] = 0xFF;
  record[KLIA_USER_ACCESS_WORD + 1] = 1;
  ASSERT_EQ(KLIASetIaResult(255, record.data()) & 0xFF, 1u);
  ASSERT_EQ(DeviceCount, 0);
  EXPECT_EQ(driver::KLIASetupAccessToDevices(), 0u);
  EXPECT_THAT(Trace(), IsEmpty());
}

TEST_F(BoardServices, AccessSettingsStartEmptyAfterALibraryReset) {
  Bytes record = IaRecord();
  record[KLIA_USER_ACCESS_WORD] = 0xFF;
  record[KLIA_USER_ACCESS_WORD + 1] = 1;
  ASSERT_EQ(KLIASetIaResult(255, record.data()) & 0xFF, 1u);
  NewBoard(Geometry());
  ASSERT_TRUE(Bind());
  DeviceCount = 3;
  driver::KLIASetupAccessToDevices();
  EXPECT_THAT(AccessSequence(), ElementsAre(0x00, 0x01, 0x02));
}

// A refusal does not stop the sequence; the result is the status of the last device's byte.
TEST_F(BoardServices, AccessSequenceGoesOnAfterARefusal) {
  DeviceCount = 3;
  VBoardFault fault{};
  fault.nth = 2;
  fault.command = 6;
  fault.status = 0x21;
  fault.times = 1;
  VBoardAddFault(&fault);
  EXPECT_EQ(driver::KLIASetupAccessToDevices(), 0u);
  EXPECT_EQ(AccessSequence().size(), 3u);

  VBoardTraceClear();
  fault.nth = 3;
  VBoardAddFault(&fault);
  EXPECT_EQ(driver::KLIASetupAccessToDevices(), 0x21u);
  EXPECT_EQ(AccessSequence().size(), 3u);
  EXPECT_EQ(GetErrorState(), (ErrorState{0, 0, 0}));
}

// ---- User XID ----------------------------------------------------------------------------

// The virtual board derives the XID as the 32-bit FNV-1a hash of the bytes sent, little-endian.
Bytes Fnv1a(const Bytes &data) {
  uint32_t hash = 2166136261u;
  for (uint8_t byte : data) hash = (hash ^ byte) * 16777619u;
  return {static_cast<uint8_t>(hash), static_cast<uint8_t>(hash >> 8), static_cast<uint8_t>(hash >> 16),
          static_cast<uint8_t>(hash >> 24)};
}

TEST_F(BoardServices, UserXidSendsTheDataAndPassesTheBoardsBytesOn) {
  const Bytes data = {'C', 'a', 'r', 'd', 0x00, 0x01, 0xFE, 0xFF};
  Bytes xid(4, 0xEE);
  LeaveErrorState(7507, 9);
  EXPECT_EQ(KLIAMakeUserXID(8, data.data(), xid.data()) & 0xFF, 1u);
  EXPECT_THAT(Trace(), ElementsAre(Sent{27, {0x08, 0x00}, data, 4}));
  EXPECT_EQ(xid, Fnv1a(data));
  EXPECT_EQ(GetErrorState(), (ErrorState{0, 0, 0}));
}

TEST_F(BoardServices, UserXidLengthsAtTheLimits) {
  const Bytes data(255, 0x5C);
  Bytes xid(4);
  EXPECT_EQ(KLIAMakeUserXID(255, data.data(), xid.data()) & 0xFF, 1u);
  EXPECT_EQ(KLIAMakeUserXID(0, data.data(), xid.data()) & 0xFF, 1u);
  EXPECT_THAT(Trace(), ElementsAre(Sent{27, {0xFF, 0x00}, data, 4}, Sent{27, {0x00, 0x00}, {}, 4}));
}

// A length above 255 cannot travel with its data (the data length is 8 bits): refused as out
// of range before any command, the XID untouched.
TEST_F(BoardServices, UserXidLongerThan255IsRefused) {
  const Bytes data(300, 0x5C);
  for (uint16_t length : {256, 300, 0xFFFF}) {
    Bytes xid(4, 0xEE);
    LeaveErrorState(7507, 9);
    EXPECT_EQ(KLIAMakeUserXID(length, data.data(), xid.data()) & 0xFF, 0u) << length;
    EXPECT_EQ(GetErrorState(), (ErrorState{0, KLIA_ERR_OUT_OF_RANGE, 0})) << length;
    EXPECT_EQ(xid, Bytes(4, 0xEE));
  }
  EXPECT_THAT(Trace(), IsEmpty());
}

// ---- Refusals ----------------------------------------------------------------------------

uint8_t g_record[KLIA_USER_RECORD_SIZE];
uint8_t g_date_time[KLIA_DATETIME_RECORD_SIZE];
uint16_t g_timeout;

struct RefusalCase {
  const char *name;
  uint8_t command;
  std::function<uint32_t()> call;
  bool stores_status;      // LastError := the status
  bool clears_first;       // DeviceStatus is 0 afterwards (the error state was cleared first)
};

struct RefusalParam {
  RefusalCase operation;
  uint8_t status;
};

class Refusals : public BoardServices, public ::testing::WithParamInterface<RefusalParam> {};

// With a previous operation's error state of 7507 / 9 in place, the board refuses the
// operation's command with `status`.
TEST_P(Refusals, LeaveTheErrorStateAsEachOperationDefines) {
  const RefusalCase &op = GetParam().operation;
  const uint8_t status = GetParam().status;
  std::fill(std::begin(g_date_time), std::end(g_date_time), 0xEE);
  LeaveErrorState(7507, 9);
  FailNext(op.command, status);
  EXPECT_EQ(op.call() & 0xFF, 0u);
  const uint16_t last_error = op.stores_status ? status : 7507;
  const uint16_t device_status = op.clears_first ? 0 : 9;
  EXPECT_EQ(GetErrorState(), (ErrorState{0, last_error, device_status}));
  ASSERT_EQ(VBoardTraceCount(), 1u);
}

const RefusalCase kRefusalCases[] = {
    {"ClearLog", 24, [] { return KLIAClearLog(); }, false, false},
    {"GetWDTimeout", 30, [] { return KLIAGetWDTimeout(&g_timeout); }, true, true},
    {"SetWDTimeout", 30, [] { return KLIASetWDTimeout(0x1234); }, true, true},
    {"MakeUserXID", 27, [] { return KLIAMakeUserXID(8, g_record, g_record + 100); }, true, true},
    {"GetRTCDateTime", 28, [] { return KLIAGetRTCDateTime(g_date_time); }, true, false},
    {"SetRTCDateTime",
     28,
     [] {
       const Bytes record = Encode(kWorkedDateTime);
       return KLIASetRTCDateTime(record.data());
     },
     true, false},
    {"SetIaResultKind2", 13, [] { return KLIASetIaResult(2, g_record); }, true, true},
    {"SetIaResultKind4", 13, [] { return KLIASetIaResult(4, g_record); }, true, true},
};

std::vector<RefusalParam> RefusalParams() {
  std::vector<RefusalParam> params;
  for (const RefusalCase &operation : kRefusalCases) {
    params.push_back({operation, 0x21});
    params.push_back({operation, KLIA_STATUS_TRANSPORT_FAILED});
  }
  return params;
}

INSTANTIATE_TEST_SUITE_P(Operations, Refusals, ::testing::ValuesIn(RefusalParams()),
                         [](const ::testing::TestParamInfo<RefusalParam> &info) {
                           return std::string(info.param.operation.name) +
                                  (info.param.status == KLIA_STATUS_TRANSPORT_FAILED ? "_TransportFails"
                                                                                     : "_BoardRefuses");
                         });

TEST_F(BoardServices, RefusedClockReadGivesNoDateAndNoTime) {
  for (uint8_t status : {uint8_t{0x21}, uint8_t{KLIA_STATUS_TRANSPORT_FAILED}}) {
    VBoardFreezeClock(kWorkedClock.data());
    LeaveErrorState(7507, 9);
    FailNext(28, status);
    uint32_t result = 1;
    EXPECT_EQ(ReadClock(&result), (DateTime{-1, -1})) << int{status};
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(GetErrorState(), (ErrorState{0, status, 9}));
  }
}

TEST_F(BoardServices, ClearingTheLogAfterAFailureKeepsTheFailure) {
  InitialiseLog();
  LeaveErrorState(7507, 9);
  FailNext(24, 0x21);
  EXPECT_EQ(KLIAClearLog() & 0xFF, 0u);
  EXPECT_EQ(KLIAClearLog() & 0xFF, 1u);
  EXPECT_EQ(GetErrorState(), (ErrorState{0, 7507, 9}));
}

// The watchdog refusal of the worked example: status 5 stays in LastError, DeviceStatus 0.
TEST_F(BoardServices, RefusedWatchdogTimeout) {
  LeaveErrorState(7507, 9);
  FailNext(30, 5);
  EXPECT_EQ(KLIASetWDTimeout(0x1234) & 0xFF, 0u);
  EXPECT_THAT(Trace(), ElementsAre(Command(30, {0x34, 0x12})));
  EXPECT_EQ(GetErrorState(), (ErrorState{0, 5, 0}));
  EXPECT_EQ(VBoardGetWatchdog(), 0);
}

}  // namespace
}  // namespace mviahlp::testing
