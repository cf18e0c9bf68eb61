// KLIAFormatDatabase: the board commands of a run in order, the progress messages byte for
// byte, the error state of every way a run can fail, ProgressText, and what formatting does
// to the page cache and to boards with pages larger than its test buffer.
//
// Expected messages are written here as UTF-8 text and encoded to code page 866 by the
// platform's own converter (iconv, or the Windows code-page functions), so they never come
// from the library's own byte tables.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

#include "board_fixture.h"
#include "driver/formatting.h"
#include "driver/page_cache.h"
#include "interface/library_state.h"
#include "vboard_helpers.h"

namespace mviahlp::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Each;

// UTF-8 text in code page 866.
Bytes Cp866(const std::string &utf8) {
#ifdef _WIN32
  const int wide_length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring wide(size_t(wide_length), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()), wide.data(), wide_length);
  const int length = WideCharToMultiByte(866, 0, wide.data(), wide_length, nullptr, 0, nullptr, nullptr);
  std::string narrow(size_t(length), '\0');
  WideCharToMultiByte(866, 0, wide.data(), wide_length, narrow.data(), length, nullptr, nullptr);
  return Bytes(narrow.begin(), narrow.end());
#else
  // Called also while test cases are being listed, outside any test: a failed conversion
  // yields no bytes, which the encoder's own test and every message comparison then catch.
  iconv_t converter = iconv_open("CP866", "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) return {};
  std::string in = utf8;
  Bytes out(in.size() * 2 + 4);
  char *in_at = in.data();
  char *out_at = reinterpret_cast<char *>(out.data());
  size_t in_left = in.size();
  size_t out_left = out.size();
  const size_t converted = iconv(converter, &in_at, &in_left, &out_at, &out_left);
  iconv_close(converter);
  if (converted == size_t(-1)) return {};
  out.resize(out.size() - out_left);
  return out;
#endif
}

// A progress message as the procedure receives it: the length byte, then the text in CP866.
Bytes ShortMessage(const std::string &utf8) {
  Bytes text = Cp866(utf8);
  text.insert(text.begin(), uint8_t(text.size()));
  return text;
}

std::string N(unsigned value) { return std::to_string(value); }

Bytes M1() { return ShortMessage("\r\n Инициализация страниц памяти..."); }
Bytes M2(unsigned status) { return ShortMessage("Ошибка " + N(status) + "\r\n"); }
Bytes M3() { return ShortMessage("OK\r\n"); }
Bytes M4() { return ShortMessage("Ошибка \r\n"); }
Bytes M5() { return ShortMessage(" Тестирование страниц памяти...\r\n"); }
Bytes M6(unsigned page, unsigned pages) { return ShortMessage("\r  Страница:" + N(page) + " из " + N(pages) + " "); }
Bytes M7(unsigned status) { return ShortMessage(" Ошибка " + N(status) + "\r\n"); }
Bytes M8() { return ShortMessage(" Инициализация связи с БД..."); }
Bytes M9(unsigned page) { return ShortMessage("Ошибка в странице " + N(page) + "\r\n"); }
Bytes M10() { return ShortMessage(" Проверка состояния журнала..."); }
Bytes M11() { return ShortMessage("Ошибка\r\n"); }

// The encoder itself is checked against a few bytes of the code page, so that a converter
// that is missing or wrong cannot make the tests agree with a wrong library.
TEST(Cp866Encoder, EncodesCyrillicAsCodePage866) {
  EXPECT_THAT(Cp866("Ошибка"), ElementsAre(0x8E, 0xE8, 0xA8, 0xA1, 0xAA, 0xA0));
  EXPECT_THAT(Cp866("БД Ия"), ElementsAre(0x81, 0x84, 0x20, 0x88, 0xEF));
  EXPECT_THAT(M3(), ElementsAre(4, 'O', 'K', 0x0D, 0x0A));
}

// What the progress procedure received, and how many board commands had been sent when it did.
struct Report {
  Bytes message;
  uint32_t commands_before;
};
std::vector<Report> g_reports;

void KLIA_CALL RecordProgress(const uint8_t *message) {
  g_reports.push_back({Bytes(message, message + 1 + message[0]), VBoardTraceCount()});
}

std::vector<Bytes> Messages() {
  std::vector<Bytes> messages;
  for (const Report &report : g_reports) messages.push_back(report.message);
  return messages;
}

// The trace in short: the command code, ":page" for memory reads and writes, "!s" when the
// board answered status s, "!T" when the transport call failed.
std::string TraceSummary() {
  std::string summary;
  for (const TraceEntry &entry : BoardTrace()) {
    if (!summary.empty()) summary += ' ';
    summary += N(entry.command);
    if ((entry.command == 21 || entry.command == 22) && entry.param.size() >= 2) {
      summary += ':' + N(entry.param[0] | entry.param[1] << 8);
    }
    if (!entry.transport_ok) {
      summary += "!T";
    } else if (entry.status != 0) {
      summary += '!' + N(entry.status);
    }
  }
  return summary;
}

Bytes ProgressTextNow() { return Bytes(ProgressText, ProgressText + 1 + ProgressText[0]); }

constexpr uint16_t kCheckValue = 0x1234;
// The check word of kCheckValue as page 3 holds it: the value, then value XOR 0xAA55.
const Bytes kStoredCheckWord = {0x34, 0x12, 0x61, 0xB8};

// Overrides a 16-bit field of BoardInfo in answer `answer` to board command 16 (0: every
// answer), counted from now.
void PatchInfo16(uint8_t offset, uint16_t value, uint32_t answer = 0) {
  VBoardPatchInfo(offset, uint8_t(value), answer == 0 ? 1 : answer, answer == 0 ? 0 : 1);
  VBoardPatchInfo(uint8_t(offset + 1), uint8_t(value >> 8), answer == 0 ? 1 : answer, answer == 0 ? 0 : 1);
}

// BoardInfo offsets the board is patched at.
constexpr uint8_t kInfoPageCount = 18;
constexpr uint8_t kInfoState = 25;
constexpr uint8_t kInfoErrorPage = 26;
constexpr uint8_t kInfoLogPage = 33;
constexpr uint8_t kInfoLogOffset = 35;

class FormattingTest : public BoardTest {
 protected:
  void SetUp() override { UsePageCount(3); }
  void TearDown() override {
    g_reports.clear();
    BoardTest::TearDown();
  }

  // A fresh standard board whose information block reports `pages` pages to test, bound.
  void UsePageCount(uint16_t pages, uint16_t page_size = 256) {
    NewBoard(Geometry(32, 200, 16, page_size));
    PatchInfo16(kInfoPageCount, pages);
    ASSERT_TRUE(Bind());
    g_reports.clear();
  }

  uint32_t Format(bool with_progress = true) {
    return KLIAFormatDatabase(kCheckValue, with_progress ? &RecordProgress : nullptr) & 0xFF;
  }
};

TEST_F(FormattingTest, SuccessfulRunReportsEveryStageInOrder) {
  EXPECT_EQ(Format(), 1u);
  EXPECT_THAT(Messages(), ElementsAre(M1(), M3(), M5(), M6(1, 3), M6(2, 3), M6(3, 3), M3(), M8(), M3(), M10(), M3()));
  EXPECT_EQ(TraceSummary(), "23 25 16 21:1 21:2 21:3 25 16 22:3");
  EXPECT_EQ(GetErrorState(), (ErrorState{0, 0, 0}));
}

// Each message goes out between the board commands it belongs to; a page's message before the
// page is read.
TEST_F(FormattingTest, MessagesGoOutBetweenTheirCommands) {
  ASSERT_EQ(Format(), 1u);
  std::vector<uint32_t> commands_before;
  for (const Report &report : g_reports) commands_before.push_back(report.commands_before);
  //                                   M1 M3 M5 M6 M6 M6 M3 M8 M3 M10 M3
  EXPECT_THAT(commands_before, ElementsAre(0, 3, 3, 3, 4, 5, 6, 6, 8, 8, 8));
}

TEST_F(FormattingTest, ReadsEveryPageWholeAndWritesTheCheckWord) {
  ASSERT_EQ(Format(), 1u);
  const std::vector<TraceEntry> trace = BoardTrace();
  ASSERT_EQ(trace.size(), 9u);
  EXPECT_EQ(trace[0], (TraceEntry{23, false, {}, {}, 0, 0, true}));
  EXPECT_EQ(trace[1], (TraceEntry{25, false, {}, {}, 0, 0, true}));
  EXPECT_THAT(trace[2], IsCommand(16, {}));
  EXPECT_EQ(trace[3], ReadMemoryCmd(1, 0, 256));
  EXPECT_EQ(trace[4], ReadMemoryCmd(2, 0, 256));
  EXPECT_EQ(trace[5], ReadMemoryCmd(3, 0, 256));
  EXPECT_EQ(trace[6], (TraceEntry{25, false, {}, {}, 0, 0, true}));
  EXPECT_THAT(trace[7], IsCommand(16, {}));
  EXPECT_EQ(trace[8], WriteMemoryCmd(3, 0, kStoredCheckWord));
  EXPECT_EQ(PeekBoard(3, 0, 4), kStoredCheckWord);
}

TEST_F(FormattingTest, InformationAfterwardsShowsTheNewCheckWordAndAReadyDatabase) {
  uint8_t record[KLIA_INFO_RECORD_SIZE] = {};
  ASSERT_EQ(KLIAGetInfo(record) & 0xFF, 1u);
  EXPECT_NE(record[KLIA_INFO_STATE_CLASS], 2) << "a fresh board is not formatted";
  ASSERT_EQ(Format(), 1u);
  ASSERT_EQ(KLIAGetInfo(record) & 0xFF, 1u);
  EXPECT_EQ(record[KLIA_INFO_CHECK_WORD] | record[KLIA_INFO_CHECK_WORD + 1] << 8, kCheckValue);
  EXPECT_EQ(record[KLIA_INFO_STATE_CLASS], 2);
  EXPECT_EQ(record[KLIA_INFO_LOG_USED] | record[KLIA_INFO_LOG_USED + 1] << 8, 0) << "the log starts empty";
}

TEST_F(FormattingTest, ProgressTextHoldsTheLastPageMessage) {
  ASSERT_EQ(Format(), 1u);
  EXPECT_EQ(ProgressTextNow(), M6(3, 3));
}

TEST_F(FormattingTest, PageCountZeroReadsNoPage) {
  UsePageCount(0);
  EXPECT_EQ(Format(), 1u);
  EXPECT_THAT(Messages(), ElementsAre(M1(), M3(), M5(), M3(), M8(), M3(), M10(), M3()));
  EXPECT_EQ(TraceSummary(), "23 25 16 25 16 22:3");
  EXPECT_THAT(ProgressText, Each(0)) << "no page message was ever made";
}

// Numbers are plain unsigned decimal, up to the largest 16-bit page count.
TEST_F(FormattingTest, PageMessagesShowUnsignedNumbers) {
  UsePageCount(40000);
  AddFault(FaultOn(21, 3, /*nth*/ 2));
  EXPECT_EQ(Format(), 0u);
  EXPECT_THAT(Messages(), ElementsAre(M1(), M3(), M5(), M6(1, 40000), M6(2, 40000), M7(3)));
}

// ---- Failures: one row per way a run ends, each run with and without a progress procedure.

struct FailureCase {
  const char *name;
  std::function<void()> arrange;  // faults and patches, counted from the start of the run
  uint16_t pages;
  std::vector<Bytes> messages;
  std::string trace;
  uint32_t result;
  ErrorState error;
};

// The messages of pages 1 to `last` of a test of `pages` pages.
std::vector<Bytes> PageMessages(unsigned pages, unsigned last) {
  std::vector<Bytes> messages;
  for (unsigned page = 1; page <= last; ++page) messages.push_back(M6(page, pages));
  return messages;
}

std::vector<Bytes> Concat(std::initializer_list<std::vector<Bytes>> parts) {
  std::vector<Bytes> all;
  for (const std::vector<Bytes> &part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const std::vector<FailureCase> &FailureCases() {
  static const std::vector<FailureCase> cases = {
      {"InitPagesRefused",
       [] { AddFault(FaultOn(23, 7)); },
       3,
       {M1(), M2(7)},
       "23!7",
       0,
       {0, 7508, 7}},
      {"InitPagesTransportFailed",
       [] { AddFault(TransportFailureOn(23)); },
       3,
       {M1(), M2(255)},
       "23!T",
       0,
       {0, 7508, 255}},
      {"StateNotReadyAfterFirstInitialisation",
       [] { VBoardPatchInfo(kInfoState, 0, 1, 1); },
       3,
       Concat({{M1(), M4(), M5()}, PageMessages(3, 3), {M3(), M8(), M3()}}),
       "23 25 16 21:1 21:2 21:3 25 16",
       0,
       {0, 7508, 0}},
      // The status of 25 is not examined; the board's State tells that the database is not ready.
      {"ConnectRefusedFirstTime",
       [] { AddFault(FaultOn(25, 0x30, 1)); },
       3,
       Concat({{M1(), M4(), M5()}, PageMessages(3, 3), {M3(), M8(), M3()}}),
       "23 25!48 16 21:1 21:2 21:3 25 16",
       0,
       {0, 7508, 0}},
      // A refused information read keeps the BoardInfo of the binding (State 0, not ready).
      {"InformationReadRefusedFirstTime",
       [] { AddFault(FaultOn(16, 9, 1)); },
       3,
       Concat({{M1(), M4(), M5()}, PageMessages(3, 3), {M3(), M8(), M3()}}),
       "23 25 16!9 21:1 21:2 21:3 25 16",
       0,
       {0, 7508, 0}},
      {"PageReadRefused",
       [] { AddFault(TransportFailureOn(21, false, 2)); },
       5,
       Concat({{M1(), M3(), M5()}, PageMessages(5, 2), {M7(255)}}),
       "23 25 16 21:1 21:2!T",
       0,
       {0, 7507, 255}},
      {"FirstPageReadRefusedByTheBoard",
       [] { AddFault(FaultOn(21, 4, 1)); },
       3,
       {M1(), M3(), M5(), M6(1, 3), M7(4)},
       "23 25 16 21:1!4",
       0,
       {0, 7507, 4}},
      {"StateNotReadyAfterSecondInitialisation",
       [] {
         VBoardPatchInfo(kInfoState, 1, 2, 1);
         PatchInfo16(kInfoErrorPage, 40000, 2);
       },
       3,
       Concat({{M1(), M3(), M5()}, PageMessages(3, 3), {M3(), M8(), M9(40000)}}),
       "23 25 16 21:1 21:2 21:3 25 16",
       0,
       {0, 7508, 0}},
      {"StateNotReadyAfterEitherInitialisation",
       [] {
         VBoardPatchInfo(kInfoState, 0, 1, 0);
         PatchInfo16(kInfoErrorPage, 0, 0);
       },
       3,
       Concat({{M1(), M4(), M5()}, PageMessages(3, 3), {M3(), M8(), M9(0)}}),
       "23 25 16 21:1 21:2 21:3 25 16",
       0,
       {0, 7508, 0}},
      {"LogNotInitialised",
       [] {
         PatchInfo16(kInfoLogPage, 0xFFFF, 2);
         PatchInfo16(kInfoLogOffset, 0x00FF, 2);
       },
       3,
       Concat({{M1(), M3(), M5()}, PageMessages(3, 3), {M3(), M8(), M3(), M10(), M11()}}),
       "23 25 16 21:1 21:2 21:3 25 16",
       0,
       {0, 7508, 0}},
      {"CheckWordRefused",
       [] { AddFault(FaultOn(22, 9)); },
       3,
       Concat({{M1(), M3(), M5()}, PageMessages(3, 3), {M3(), M8(), M3(), M10(), M3()}}),
       "23 25 16 21:1 21:2 21:3 25 16 22:3!9",
       0,
       {0, 7508, 0}},
      // Both log values must match: a page of 0xFFFF with offset 0 is a position.
      {"LogPageFFFFWithOffsetZeroIsNoError",
       [] {
         PatchInfo16(kInfoLogPage, 0xFFFF, 2);
         PatchInfo16(kInfoLogOffset, 0x0000, 2);
       },
       3,
       Concat({{M1(), M3(), M5()}, PageMessages(3, 3), {M3(), M8(), M3(), M10(), M3()}}),
       "23 25 16 21:1 21:2 21:3 25 16 22:3",
       1,
       {0, 0, 0}},
      // Only the first value of the pair: still a position.
      {"LogOffsetFFWithARealPageIsNoError",
       [] { PatchInfo16(kInfoLogOffset, 0x00FF, 2); },
       3,
       Concat({{M1(), M3(), M5()}, PageMessages(3, 3), {M3(), M8(), M3(), M10(), M3()}}),
       "23 25 16 21:1 21:2 21:3 25 16 22:3",
       1,
       {0, 0, 0}},
  };
  return cases;
}

class FormattingFailure : public FormattingTest,
                          public ::testing::WithParamInterface<std::tuple<size_t, bool>> {
 protected:
  const FailureCase &Case() const { return FailureCases()[std::get<0>(GetParam())]; }
  bool WithProgress() const { return std::get<1>(GetParam()); }
};

TEST_P(FormattingFailure, ReportsCodesAndCommands) {
  const FailureCase &c = Case();
  UsePageCount(c.pages);
  // A stale error state from an earlier operation must not survive into the run.
  AddFault(FaultOn(16, 0x42, 1, 1));
  uint8_t record[KLIA_INFO_RECORD_SIZE];
  ASSERT_EQ(KLIAGetInfo(record) & 0xFF, 0u);
  ASSERT_EQ(GetErrorState(), (ErrorState{0, 0x42, 0x42}));
  VBoardTraceClear();

  c.arrange();
  EXPECT_EQ(Format(WithProgress()), c.result);
  EXPECT_EQ(TraceSummary(), c.trace);
  EXPECT_EQ(GetErrorState(), c.error);
  if (WithProgress()) {
    EXPECT_THAT(Messages(), ElementsAreArray(c.messages));
  } else {
    EXPECT_THAT(Messages(), ::testing::IsEmpty());
  }
  // ProgressText holds the last page message, whoever was listening.
  Bytes last_page_message(1, 0);
  for (const Bytes &message : c.messages) {
    if (message.size() > 1 && message[1] == 0x0D && message.size() > 2 && message[2] == ' ') last_page_message = message;
  }
  EXPECT_EQ(ProgressTextNow(), last_page_message);
  // The check word is on the board exactly when the run succeeded.
  const Bytes stored = PeekBoard(3, 0, 4);
  if (c.result == 1) {
    EXPECT_EQ(stored, kStoredCheckWord);
  } else {
    EXPECT_NE(stored, kStoredCheckWord);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryEnding, FormattingFailure,
                         ::testing::Combine(::testing::Range<size_t>(0, FailureCases().size()), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<size_t, bool>> &info) {
                           return std::string(FailureCases()[std::get<0>(info.param)].name) +
                                  (std::get<1>(info.param) ? "_WithProgress" : "_Silent");
                         });

// ---- The page cache around formatting.

constexpr uint8_t kArea0 = 0;  // pages 1-2

TEST_F(FormattingTest, ModifiedCachedPageIsWrittenBackBeforeTheBoardIsInitialised) {
  const Bytes data = {1, 2, 3, 4};
  uint16_t done = 0;
  ASSERT_EQ(KLIAWriteData(kArea0, data.data(), 10, 4, &done) & 0xFF, 1u);
  ASSERT_EQ(PageCache.CacheDirty, 1);
  VBoardTraceClear();

  EXPECT_EQ(Format(), 1u);
  const std::vector<TraceEntry> trace = BoardTrace();
  ASSERT_GE(trace.size(), 2u);
  EXPECT_THAT(trace[0], IsWriteMemory(1, 0, 256));
  EXPECT_THAT(Bytes(trace[0].out.begin() + 10, trace[0].out.begin() + 14), ElementsAreArray(data));
  EXPECT_EQ(TraceSummary(), "22:1 23 25 16 21:1 21:2 21:3 25 16 22:3");
  EXPECT_EQ(g_reports.front().commands_before, 1u) << "the write-back precedes the first message's command";

  // The cache is empty: nothing is written over the new database, and a read loads the page
  // afresh from the board, which the initialisation erased.
  EXPECT_EQ(PageCache.CachedPage, kNoCachedPage);
  EXPECT_EQ(PageCache.CacheDirty, 0);
  VBoardTraceClear();
  KLIAFlush();
  EXPECT_EQ(TraceSummary(), "");
  Bytes read(4);
  ASSERT_EQ(KLIAReadData(kArea0, read.data(), 10, 4, &done) & 0xFF, 1u);
  EXPECT_EQ(TraceSummary(), "21:1");
  EXPECT_THAT(read, Each(0xFF));
}

// A refused write-back does not stop formatting: the page belonged to the database being
// replaced. Its failure does not show in the run's error state, and the page is dropped.
TEST_F(FormattingTest, RefusedWriteBackDoesNotStopFormatting) {
  const Bytes data = {1, 2, 3, 4};
  uint16_t done = 0;
  ASSERT_EQ(KLIAWriteData(kArea0, data.data(), 10, 4, &done) & 0xFF, 1u);
  VBoardTraceClear();
  AddFault(FaultOn(22, 7, 1, 1));

  EXPECT_EQ(Format(), 1u);
  EXPECT_EQ(TraceSummary(), "22:1!7 23 25 16 21:1 21:2 21:3 25 16 22:3");
  EXPECT_EQ(GetErrorState(), (ErrorState{0, 0, 0}));
  EXPECT_THAT(Messages(), ElementsAre(M1(), M3(), M5(), M6(1, 3), M6(2, 3), M6(3, 3), M3(), M8(), M3(), M10(), M3()));
  EXPECT_EQ(PageCache.CachedPage, kNoCachedPage);
  EXPECT_EQ(PageCache.CacheDirty, 0);
  VBoardTraceClear();
  KLIAFlush();
  EXPECT_EQ(TraceSummary(), "") << "the old page is never written over the new database";
}

TEST_F(FormattingTest, CleanCachedPageIsDroppedWithoutACommand) {
  Bytes read(4);
  uint16_t done = 0;
  ASSERT_EQ(KLIAReadData(kArea0, read.data(), 0, 4, &done) & 0xFF, 1u);
  ASSERT_NE(PageCache.CachedPage, kNoCachedPage);
  VBoardTraceClear();
  EXPECT_EQ(Format(), 1u);
  EXPECT_EQ(TraceSummary(), "23 25 16 21:1 21:2 21:3 25 16 22:3");
  EXPECT_EQ(PageCache.CachedPage, kNoCachedPage);
}

TEST_F(FormattingTest, CacheIsEmptyAfterAFailedRun) {
  Bytes read(4);
  uint16_t done = 0;
  ASSERT_EQ(KLIAReadData(kArea0, read.data(), 0, 4, &done) & 0xFF, 1u);
  AddFault(FaultOn(23, 7));
  EXPECT_EQ(Format(), 0u);
  EXPECT_EQ(PageCache.CachedPage, kNoCachedPage);
  EXPECT_EQ(PageCache.CacheDirty, 0);
}

// ---- Pages larger than the 1025-byte test buffer are read in pieces of 1024 bytes.

struct PageSizeCase {
  uint16_t page_size;
  std::vector<std::vector<uint16_t>> reads_of_page_1;  // (offset, count) of each read
};

class FormattingPageSize : public FormattingTest, public ::testing::WithParamInterface<PageSizeCase> {};

TEST_P(FormattingPageSize, ReadsEachPageWithinTheTestBuffer) {
  UsePageCount(2, GetParam().page_size);
  EXPECT_EQ(Format(), 1u);
  EXPECT_EQ(GetErrorState(), (ErrorState{0, 0, 0}));
  std::vector<TraceEntry> expected;
  for (uint16_t page = 1; page <= 2; ++page) {
    for (const std::vector<uint16_t> &read : GetParam().reads_of_page_1) {
      expected.push_back(ReadMemoryCmd(page, read[0], read[1]));
    }
  }
  std::vector<TraceEntry> reads;
  for (const TraceEntry &entry : BoardTrace()) {
    if (entry.command == 21) reads.push_back(entry);
  }
  EXPECT_EQ(reads, expected);
  // One message per page, however many reads the page takes.
  EXPECT_THAT(Messages(), ElementsAre(M1(), M3(), M5(), M6(1, 2), M6(2, 2), M3(), M8(), M3(), M10(), M3()));
}

INSTANTIATE_TEST_SUITE_P(Sizes, FormattingPageSize,
                         ::testing::Values(PageSizeCase{1024, {{0, 1024}}},         //
                                           PageSizeCase{1025, {{0, 1025}}},         // fills the buffer exactly
                                           PageSizeCase{1026, {{0, 1024}, {1024, 2}}},  //
                                           PageSizeCase{4096, {{0, 1024}, {1024, 1024}, {2048, 1024}, {3072, 1024}}}),
                         [](const ::testing::TestParamInfo<PageSizeCase> &info) {
                           return "PageSize" + std::to_string(info.param.page_size);
                         });

TEST_F(FormattingTest, RefusedPieceOfALargePageStopsTheTest) {
  UsePageCount(2, 2048);
  AddFault(FaultOn(21, 6, 2));
  EXPECT_EQ(Format(), 0u);
  EXPECT_EQ(TraceSummary(), "23 25 16 21:1 21:1!6");
  EXPECT_EQ(GetErrorState(), (ErrorState{0, 7507, 6}));
  EXPECT_THAT(Messages(), ElementsAre(M1(), M3(), M5(), M6(1, 2), M7(6)));
}

// ---- Through the export, unbound.

TEST(FormattingUnbound, RefusesWithoutBoardCommand) {
  ResetLibraryState();
  VBoardTraceClear();
  g_reports.clear();
  EXPECT_EQ(KLIAFormatDatabase(kCheckValue, &RecordProgress) & 0xFF, 0u);
  EXPECT_EQ(VBoardTraceCount(), 0u);
  EXPECT_TRUE(g_reports.empty());
  EXPECT_EQ(GetErrorState().bind_error, 7500);
}

}  // namespace
}  // namespace mviahlp::testing
