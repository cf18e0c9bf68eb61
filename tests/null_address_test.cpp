// Callers that pass a null address where a record or a count must be read or written get a
// refusal, not a crash: result 0, LastError KLIA_ERR_OUT_OF_RANGE, no board command.
#include <gtest/gtest.h>

#include <functional>

#include "board_fixture.h"

namespace mviahlp::testing {
namespace {

struct NullCase {
  const char *name;
  std::function<uint32_t()> call;
};

uint8_t g_buffer[256];
uint16_t g_word;
uint8_t g_byte;

class NullAddressTest : public BoardTest, public ::testing::WithParamInterface<NullCase> {};

TEST_P(NullAddressTest, IsRefusedWithoutBoardTraffic) {
  EXPECT_EQ(GetParam().call() & 0xFF, 0u);
  EXPECT_EQ(GetErrorState().last_error, KLIA_ERR_OUT_OF_RANGE);
  EXPECT_EQ(VBoardTraceCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Exports, NullAddressTest,
    ::testing::Values(
        NullCase{"MakeUserXIDResult", [] { return KLIAMakeUserXID(4, g_buffer, nullptr); }},
        NullCase{"MakeUserXIDData", [] { return KLIAMakeUserXID(4, nullptr, g_buffer); }},
        NullCase{"SetRTCDateTime", [] { return KLIASetRTCDateTime(nullptr); }},
        NullCase{"GetRTCDateTime", [] { return KLIAGetRTCDateTime(nullptr); }},
        NullCase{"GetWDTimeout", [] { return KLIAGetWDTimeout(nullptr); }},
        NullCase{"SetIaResultKind2", [] { return KLIASetIaResult(2, nullptr); }},
        NullCase{"SetIaResultKind4", [] { return KLIASetIaResult(4, nullptr); }},
        NullCase{"SetIaResultKind255", [] { return KLIASetIaResult(255, nullptr); }},
        NullCase{"ChangeUserPassword", [] { return KLIAChangeUserPassword(1, nullptr); }},
        NullCase{"WriteDataExDone", [] { return KLIAWriteDataEx(2, g_buffer, 0, 4, nullptr); }},
        NullCase{"WriteDataDone", [] { return KLIAWriteData(2, g_buffer, 0, 4, nullptr); }},
        NullCase{"ReadDataExData", [] { return KLIAReadDataEx(2, nullptr, 0, 4, &g_word); }},
        NullCase{"ReadDataExDone", [] { return KLIAReadDataEx(2, g_buffer, 0, 4, nullptr); }},
        NullCase{"ReadDataData", [] { return KLIAReadData(2, nullptr, 0, 4, &g_word); }},
        NullCase{"ReadDataDone", [] { return KLIAReadData(2, g_buffer, 0, 4, nullptr); }},
        NullCase{"WriteUserData", [] { return KLIAWriteUserData(1, nullptr); }},
        NullCase{"ReadUserData", [] { return KLIAReadUserData(1, nullptr); }},
        NullCase{"LoginFirst", [] { return KLIALogin(nullptr, g_buffer, 0); }},
        NullCase{"LoginSecond", [] { return KLIALogin(g_buffer, nullptr, 0); }},
        NullCase{"GetCurrentUserNumber", [] { return KLIAGetCurrentUser(nullptr, &g_byte); }},
        NullCase{"GetCurrentUserFlag", [] { return KLIAGetCurrentUser(&g_word, nullptr); }},
        NullCase{"GetInfo", [] { return KLIAGetInfo(nullptr); }}),
    [](const ::testing::TestParamInfo<NullCase> &info) { return std::string(info.param.name); });

// The null addresses that mean something keep their meaning.
TEST_F(BoardTest, NullAddressesWithAMeaningAreNotRefused) {
  EXPECT_EQ(KLIASetIaResult(7, nullptr), 1u) << "kind 7 reads no record";
  EXPECT_EQ(KLIAReadDataEx(2, nullptr, 0, 0, &g_word), 1u) << "an empty read touches no data";
  EXPECT_EQ(GetErrorState().last_error, 0);
}

}  // namespace
}  // namespace mviahlp::testing
