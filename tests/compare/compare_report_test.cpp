// klia compare's judgement of two sessions, on small traces made here: the libraries are
// judged by their requests, the board's answers are reported beside the verdict.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "proof/compare_report.h"
#include "trace_format.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// A read of memory (board command 21) of page `page`, answered with `answer`.
hwtrace::Exchange ReadPage(uint8_t page, uint8_t answer) {
  hwtrace::Exchange x;
  x.entry = hwtrace::kEntryTransferEx;
  x.command = 21;
  const uint8_t param[6] = {page, 0, 0, 0, 1, 0};
  x.param_length = 6;
  x.param = hwtrace::Block::Bytes(param, 6);
  x.in_length = 1;
  x.in = hwtrace::Block::Bytes(&answer, 1);
  x.status = 0;
  x.aux = 0;
  x.result = 1;
  return x;
}

// A read of the clock (board command 28 without parameters) answering `second`.
hwtrace::Exchange ReadClock(uint8_t second) {
  hwtrace::Exchange x;
  x.command = 28;
  const uint8_t block[6] = {second, 0x30, 0x14, 0x31, 0x12, 0x24};
  x.in_length = 6;
  x.in = hwtrace::Block::Bytes(block, 6);
  x.status = 0;
  x.aux = 0;
  x.result = 1;
  return x;
}

hwtrace::Trace Of(std::vector<hwtrace::Exchange> exchanges) {
  hwtrace::Trace t;
  t.exchanges = std::move(exchanges);
  return t;
}

struct Case {
  const char *name;
  hwtrace::Trace old_trace, new_trace;
  bool same;
  size_t at, answers_differ, clock_moved;
  const char *says;
};

class CompareJudgement : public ::testing::TestWithParam<Case> {};

TEST_P(CompareJudgement, JudgesTheRequestsAndReportsTheAnswers) {
  const Case &c = GetParam();
  const klia::Verdict v = klia::Judge(c.old_trace, c.new_trace);
  EXPECT_EQ(v.same, c.same);
  EXPECT_EQ(v.at, c.at);
  EXPECT_EQ(v.answers_differ, c.answers_differ);
  EXPECT_EQ(v.clock_moved, c.clock_moved);
  const std::string report =
      klia::CompareReport({"old.so", "old.jsonl", "new.so", "new.jsonl"}, c.old_trace, c.new_trace, v);
  EXPECT_THAT(report, HasSubstr(c.says));
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, CompareJudgement,
    ::testing::Values(
        Case{"Identical", Of({ReadPage(1, 7), ReadPage(2, 8)}), Of({ReadPage(1, 7), ReadPage(2, 8)}), true, 2, 0, 0,
             "the same: both libraries sent the same 2 requests and the board answered them alike"},
        Case{"OnlyTheClockMoved", Of({ReadClock(0x05), ReadPage(1, 7)}), Of({ReadClock(0x06), ReadPage(1, 7)}), true, 2,
             0, 1, "the board's clock moved on between the runs"},
        Case{"TheBoardChangedBetweenTheRuns", Of({ReadPage(1, 7), ReadPage(2, 8)}),
             Of({ReadPage(1, 9), ReadPage(2, 8)}), true, 2, 1, 0,
             "the board answered 1 of the same requests differently, first at exchange 1"},
        Case{"ARequestDiffers", Of({ReadPage(1, 7), ReadPage(3, 8), ReadPage(4, 8)}),
             Of({ReadPage(1, 7), ReadPage(2, 8), ReadPage(4, 8)}), false, 1, 0, 0, "they differ at exchange 2"},
        Case{"TheNewSessionIsShorter", Of({ReadPage(1, 7), ReadPage(2, 8)}), Of({ReadPage(1, 7)}), false, 1, 0, 0,
             "the new library's session ends there"},
        Case{"AnAnswerDifferedBeforeTheRequests", Of({ReadPage(1, 7), ReadPage(2, 8)}),
             Of({ReadPage(1, 9), ReadPage(3, 8)}), false, 1, 1, 0,
             "the difference may follow from the board's answer rather than the libraries"}),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

}  // namespace
