// Binding the OperationTable by name, and the rule every forwarding export follows before it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "board_fixture.h"
#include "driver/driver_table.h"
#include "interface/driver_state.h"
#include "interface/library_state.h"
#include "interface/operation_table.h"
#include "vboard_helpers.h"

namespace mviahlp::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::Each;

class Unbound : public BoardTest {
 protected:
  void SetUp() override { NewBoard(Geometry()); }
};

struct ForwardingCall {
  const char *name;
  std::function<uint32_t(uint8_t *buffer)> call;  // returns the export's result (0 for procedures)
};

// Every export that reaches a slot, called with a caller buffer it could write.
std::vector<ForwardingCall> ForwardingExports() {
  static uint16_t done;
  static uint16_t word;
  return {
      {"KLIAMakeUserXID", [](uint8_t *b) { return KLIAMakeUserXID(4, b, b + 8); }},
      {"KLIASetRTCDateTime", [](uint8_t *b) { return KLIASetRTCDateTime(b); }},
      {"KLIAGetRTCDateTime", [](uint8_t *b) { return KLIAGetRTCDateTime(b); }},
      {"KLIASetWDTimeout", [](uint8_t *) { return KLIASetWDTimeout(5); }},
      {"KLIAGetWDTimeout", [](uint8_t *b) { return KLIAGetWDTimeout(reinterpret_cast<uint16_t *>(b)); }},
      {"KLIAClearLog", [](uint8_t *) { return KLIAClearLog(); }},
      {"KLIASetIaResult", [](uint8_t *b) { return KLIASetIaResult(2, b); }},
      {"KLIAChangeUserPassword", [](uint8_t *b) { return KLIAChangeUserPassword(1, b); }},
      {"KLIAFormatDatabase", [](uint8_t *) { return KLIAFormatDatabase(0x1234, nullptr); }},
      {"KLIAFlush", [](uint8_t *) { KLIAFlush(); return uint32_t{0}; }},
      {"KLIAWriteDataEx", [](uint8_t *b) { return KLIAWriteDataEx(2, b, 0, 4, &done); }},
      {"KLIAWriteData", [](uint8_t *b) { return KLIAWriteData(2, b, 0, 4, &done); }},
      {"KLIAReadDataEx", [](uint8_t *b) { return KLIAReadDataEx(2, b, 0, 4, &done); }},
      {"KLIAReadData", [](uint8_t *b) { return KLIAReadData(2, b, 0, 4, &done); }},
      {"KLIAWriteUserData", [](uint8_t *b) { return KLIAWriteUserData(1, b); }},
      {"KLIAReadUserData", [](uint8_t *b) { return KLIAReadUserData(1, b); }},
      {"KLIALogout", [](uint8_t *) { KLIALogout(); return uint32_t{0}; }},
      {"KLIALogin", [](uint8_t *b) { return KLIALogin(b, b + 8, 0); }},
      {"KLIAGetCurrentUser", [](uint8_t *b) { return KLIAGetCurrentUser(&word, b); }},
      {"KLIAGetInfo", [](uint8_t *b) { return KLIAGetInfo(b); }},
  };
}

TEST_F(Unbound, EveryForwardingExportRefusesRecordsBindErrorAndLeavesBuffersAlone) {
  for (const ForwardingCall &forwarding : ForwardingExports()) {
    SCOPED_TRACE(forwarding.name);
    ResetLibraryState();
    uint8_t buffer[256];
    std::memset(buffer, 0xAB, sizeof buffer);
    EXPECT_EQ(forwarding.call(buffer), 0u);
    EXPECT_EQ(GetErrorState(), (ErrorState{KLIA_ERR_NOT_BOUND, 0, 0}));
    EXPECT_THAT(buffer, Each(0xAB));
  }
  EXPECT_EQ(VBoardTraceCount(), 0u) << "no board command before binding";
}

TEST_F(Unbound, ConfigurationExportsRefuseToo) {
  uint8_t record[KLIA_CONFIG_RECORD_SIZE] = {};
  EXPECT_EQ(KLIAReadConfigData(record), 0u);
  EXPECT_EQ(KLIAWriteConfigData(record), 0u);
  uint8_t step = 7;
  EXPECT_EQ(KLIAReadHwStep(&step), 0u);
  EXPECT_EQ(KLIAWriteHwStep(3), 0u);
  EXPECT_EQ(GetErrorState().bind_error, KLIA_ERR_NOT_BOUND);
  EXPECT_EQ(VBoardTraceCount(), 0u);
}

TEST_F(Unbound, BindingAgainstAFreshBoardProbesItOnce) {
  EXPECT_EQ(KLIADriverPresent(), 1u);
  EXPECT_EQ(DriverState.Present, 1u);
  EXPECT_THAT(BoardTrace(), ElementsAre(IsCommand(16, {}), IsCommand(21, {3, 0, 0, 0, 4, 0}),
                                        IsCommand(21, {3, 0, 0, 0, 4, 0})));
}

TEST_F(Unbound, EachBindingResolvesAndProbesAgain) {
  EXPECT_EQ(KLIADriverPresent(), 1u);
  EXPECT_EQ(KLIADriverPresent(), 1u);
  size_t probes = 0;
  for (const TraceEntry &entry : BoardTrace()) probes += entry.command == 16;
  EXPECT_EQ(probes, 2u);
}

// A resolver that records every name it is asked and knows all but one of them.
std::vector<std::string> g_asked;
std::string g_missing;

OperationAddress KLIA_CALL ResolverWithout(const char *name) {
  g_asked.emplace_back(name);
  return g_missing == name ? nullptr : ResolveOperation(name);
}

TEST_F(Unbound, AMissingNameLeavesTheTableUnboundAfterAskingEveryName) {
  for (const char *missing : {"KLIAGetInfo", "KLIAFlush", "KLIAMakeUserXID"}) {
    SCOPED_TRACE(missing);
    ResetLibraryState();
    g_asked.clear();
    g_missing = missing;
    EXPECT_EQ(BindDriver(&ResolverWithout), 0u);
    EXPECT_EQ(DriverState.Present, 0u);
    EXPECT_EQ(g_asked, std::vector<std::string>(kSlotNames, kSlotNames + kSlotCount));
    EXPECT_EQ(VBoardTraceCount(), 0u) << "no probe without a complete table";
    uint8_t info[KLIA_INFO_RECORD_SIZE];
    EXPECT_EQ(KLIAGetInfo(info), 0u);
    EXPECT_EQ(GetErrorState().bind_error, KLIA_ERR_NOT_BOUND);
  }
}

TEST_F(Unbound, TheBindingNeverAsksForTheAccessSequence) {
  g_asked.clear();
  g_missing.clear();
  BindDriver(&ResolverWithout);
  EXPECT_THAT(g_asked, ::testing::Not(::testing::Contains("KLIASetupAccessToDevices")));
}

TEST_F(Unbound, ABoardThatDoesNotAnswerFailsTheProbeButLeavesTheTableBound) {
  VBoardFault fault{};
  fault.command = 16;
  fault.transport_fails = 1;
  VBoardAddFault(&fault);
  EXPECT_EQ(KLIADriverPresent(), 0u);
  EXPECT_EQ(DriverState.Present, 1u);
  EXPECT_EQ(GetErrorState(), (ErrorState{0, 255, 255}));

  // Later calls are forwarded: the export clears the caller's record, the driver fails.
  uint8_t info[KLIA_INFO_RECORD_SIZE];
  std::memset(info, 0xAB, sizeof info);
  EXPECT_EQ(KLIAGetInfo(info), 0u);
  EXPECT_THAT(info, Each(0));
}

// Fake data operations that record the offset they were handed.
int32_t g_offset;
KLIA_BOOL KLIA_CALL RecordingRead(uint8_t, void *, int32_t offset, uint16_t, uint16_t *) {
  g_offset = offset;
  return 1;
}
KLIA_BOOL KLIA_CALL RecordingWrite(uint8_t, const void *, int32_t offset, uint16_t, uint16_t *) {
  g_offset = offset;
  return 1;
}
OperationAddress KLIA_CALL ResolverWithRecordingDataOperations(const char *name) {
  if (std::string(name) == "KLIAReadData") return reinterpret_cast<OperationAddress>(&RecordingRead);
  if (std::string(name) == "KLIAWriteData") return reinterpret_cast<OperationAddress>(&RecordingWrite);
  return ResolveOperation(name);
}

TEST_F(Unbound, PlainDataExportsWidenTheOffsetWithZerosAndExFormsPassItUnchanged) {
  ASSERT_EQ(BindDriver(&ResolverWithRecordingDataOperations), 1u);
  uint8_t data[4] = {};
  uint16_t done = 0;
  struct Case {
    const char *name;
    std::function<void()> call;
    int32_t expected;
  } cases[] = {
      {"ReadData 65535", [&] { KLIAReadData(2, data, 65535, 4, &done); }, 65535},
      {"WriteData 65535", [&] { KLIAWriteData(2, data, 65535, 4, &done); }, 65535},
      {"ReadData 0x8000", [&] { KLIAReadData(2, data, 0x8000, 4, &done); }, 0x8000},
      {"ReadDataEx -1", [&] { KLIAReadDataEx(2, data, -1, 4, &done); }, -1},
      {"WriteDataEx -1", [&] { KLIAWriteDataEx(2, data, -1, 4, &done); }, -1},
      {"ReadDataEx 0x12345678", [&] { KLIAReadDataEx(2, data, 0x12345678, 4, &done); }, 0x12345678},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    g_offset = 0;
    c.call();
    EXPECT_EQ(g_offset, c.expected);
  }
}

TEST(ErrorStateExport, SkipsNullAddressesAndChangesNothing) {
  ResetLibraryState();
  DriverState.BindError = 7500;
  DriverState.LastError = 7507;
  DriverState.DeviceStatus = 9;
  uint16_t last = 0;
  KLIAGetErrorState(nullptr, &last, nullptr);
  EXPECT_EQ(last, 7507);
  EXPECT_EQ(GetErrorState(), (ErrorState{7500, 7507, 9}));
  ResetLibraryState();
}

// The resolver: names compared up to ASCII letter case, whole names only.
TEST(ResolveOperationTest, FindsEveryTableNameInAnyLetterCase) {
  for (const DriverTableEntry &entry : DriverTable) {
    std::string lower(entry.name), upper(entry.name);
    for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(ResolveOperation(entry.name), entry.operation) << entry.name;
    EXPECT_EQ(ResolveOperation(lower.c_str()), entry.operation) << lower;
    EXPECT_EQ(ResolveOperation(upper.c_str()), entry.operation) << upper;
  }
  EXPECT_EQ(ResolveOperation("kliaGETinfo"), DriverTable[0].operation);
  EXPECT_NE(ResolveOperation("KLIASetupAccessToDevices"), nullptr);
}

TEST(ResolveOperationTest, RefusesNamesThatAreNotWholeTableNames) {
  for (const char *name : {"KLIAGetInfo ", "", "KLIAGet", "KLIAGetInfoX", "KLIA_GetInfo", "Today",
                           "KLIAGetErrorState"}) {
    EXPECT_EQ(ResolveOperation(name), nullptr) << '"' << name << '"';
  }
  EXPECT_EQ(ResolveOperation(nullptr), nullptr);
}

TEST(DriverTableTest, HoldsNineteenDistinctOperations) {
  for (size_t i = 0; i < kDriverTableSize; ++i)
    for (size_t j = i + 1; j < kDriverTableSize; ++j) EXPECT_NE(DriverTable[i].operation, DriverTable[j].operation);
}

}  // namespace
}  // namespace mviahlp::testing
