// Database formatting: the board initialises its memory, every page is read once as a test,
// the board reconnects its database, the log position is checked, and the check word that
// marks the database as formatted is written last.
//
// Board commands of a run, in this order and no other:
//
//   (22 p)     only when the page cache holds a modified page p: it is written back first
//   23         the board initialises its memory pages and its log
//   25, 16     reconnect the database, read BoardInfo; State must now be 2
//   21 p       the page test: pages 1 to PageCount, one whole-page read each (in pieces of
//              1024 bytes when the board's pages are larger than the 1025-byte test buffer)
//   25, 16     again; State must be 2, and the log must have a position
//   22 3       the check word (WriteCheckWord), only when every stage before succeeded
//
// A refused 23 or page read stops the run at once. A State other than 2 after the first
// initialisation does not stop it: the page test and the second initialisation still run,
// but the log check and the check word are skipped. The statuses of 25 and 16 are not
// examined; a refused 16 leaves the previous BoardInfo in force (RefreshBoardInfo).
//
// Progress. When the caller gives a progress procedure, it is called synchronously between
// the commands above with the address of a short string in code page 866, laid out for a
// text console:
//
//   M1  before 23:               CR LF " Инициализация страниц памяти..."
//   M2  23 refused (status s):   "Ошибка " s CR LF
//   M3  a stage succeeded:       "OK" CR LF
//   M4  State not 2 (first):     "Ошибка " CR LF
//   M5  before the page test:    " Тестирование страниц памяти..." CR LF
//   M6  before reading page p:   CR "  Страница:" p " из " N " "      (N = PageCount)
//   M7  page read refused:       " Ошибка " s CR LF
//   M8  before the second 25:    " Инициализация связи с БД..."
//   M9  State not 2 (second):    "Ошибка в странице " ErrorPage CR LF
//   M10 before the log check:    " Проверка состояния журнала..."
//   M11 log not initialised:     "Ошибка" CR LF
//
// A successful run reports M1 M3 M5, M6 for every page, M3 M8 M3 M10 M3. Every M6 is also
// left in ProgressText, with or without a progress procedure.
//
// Error state: LastError 7508 (DeviceStatus = s) for a refused 23; 7507 (DeviceStatus = s)
// for a refused page read; 7508 (DeviceStatus 0) for State not 2, for a log without a
// position (LogPage 0xFFFF with LogOffset 0x00FF) and for a refused check word.
//
// The page cache. A modified cached page belongs to the database being replaced: written
// back after formatting, it would land over the fresh memory, and a clean one would serve
// bytes of the old database. So formatting first flushes the cache (FlushPageCache) and,
// whichever way it ends, leaves it empty; the one exception is a modified page the board
// refused to take when the board then also refuses 23: the old database is still there, and
// the page stays cached and modified for a later flush.
#include "driver/formatting.h"

#include <cstring>

#include "board/commands.h"
#include "driver/board_info.h"
#include "driver/driver_error.h"
#include "driver/info.h"
#include "driver/operations.h"
#include "driver/page_cache.h"
#include "interface/driver_state.h"
#include "support/bits.h"
#include "support/short_string.h"

namespace mviahlp {

uint8_t ProgressText[kProgressTextSize] = {};

namespace {

// The messages and the parts they are built from: short strings in code page 866, the length
// byte first. CR is 0x0D, LF 0x0A.

// M1: CR, LF, " Инициализация страниц памяти..."
constexpr uint8_t kInitialisingPages[] = {
    34,   0x0D, 0x0A, 0x20, 0x88, 0xAD, 0xA8, 0xE6, 0xA8, 0xA0, 0xAB, 0xA8, 0xA7, 0xA0, 0xE6, 0xA8, 0xEF, 0x20,
    0xE1, 0xE2, 0xE0, 0xA0, 0xAD, 0xA8, 0xE6, 0x20, 0xAF, 0xA0, 0xAC, 0xEF, 0xE2, 0xA8, 0x2E, 0x2E, 0x2E};
// M3: "OK", CR, LF
constexpr uint8_t kOk[] = {4, 0x4F, 0x4B, 0x0D, 0x0A};
// M4: "Ошибка ", CR, LF
constexpr uint8_t kErrorLine[] = {9, 0x8E, 0xE8, 0xA8, 0xA1, 0xAA, 0xA0, 0x20, 0x0D, 0x0A};
// M5: " Тестирование страниц памяти...", CR, LF
constexpr uint8_t kTestingPages[] = {
    33,   0x20, 0x92, 0xA5, 0xE1, 0xE2, 0xA8, 0xE0, 0xAE, 0xA2, 0xA0, 0xAD, 0xA8, 0xA5, 0x20, 0xE1, 0xE2, 0xE0,
    0xA0, 0xAD, 0xA8, 0xE6, 0x20, 0xAF, 0xA0, 0xAC, 0xEF, 0xE2, 0xA8, 0x2E, 0x2E, 0x2E, 0x0D, 0x0A};
// M8: " Инициализация связи с БД..."
constexpr uint8_t kConnectingDatabase[] = {28,   0x20, 0x88, 0xAD, 0xA8, 0xE6, 0xA8, 0xA0, 0xAB, 0xA8,
                                           0xA7, 0xA0, 0xE6, 0xA8, 0xEF, 0x20, 0xE1, 0xA2, 0xEF, 0xA7,
                                           0xA8, 0x20, 0xE1, 0x20, 0x81, 0x84, 0x2E, 0x2E, 0x2E};
// M10: " Проверка состояния журнала..."
constexpr uint8_t kCheckingLog[] = {30,   0x20, 0x8F, 0xE0, 0xAE, 0xA2, 0xA5, 0xE0, 0xAA, 0xA0, 0x20,
                                    0xE1, 0xAE, 0xE1, 0xE2, 0xAE, 0xEF, 0xAD, 0xA8, 0xEF, 0x20,
                                    0xA6, 0xE3, 0xE0, 0xAD, 0xA0, 0xAB, 0xA0, 0x2E, 0x2E, 0x2E};
// M11: "Ошибка", CR, LF
constexpr uint8_t kLogError[] = {8, 0x8E, 0xE8, 0xA8, 0xA1, 0xAA, 0xA0, 0x0D, 0x0A};

// Parts of the messages that carry numbers.
// "Ошибка " (M2)
constexpr uint8_t kError[] = {7, 0x8E, 0xE8, 0xA8, 0xA1, 0xAA, 0xA0, 0x20};
// " Ошибка " (M7)
constexpr uint8_t kPageError[] = {8, 0x20, 0x8E, 0xE8, 0xA8, 0xA1, 0xAA, 0xA0, 0x20};
// "Ошибка в странице " (M9)
constexpr uint8_t kErrorInPage[] = {18,   0x8E, 0xE8, 0xA8, 0xA1, 0xAA, 0xA0, 0x20, 0xA2, 0x20,
                                    0xE1, 0xE2, 0xE0, 0xA0, 0xAD, 0xA8, 0xE6, 0xA5, 0x20};
// CR, "  Страница:" (M6)
constexpr uint8_t kPage[] = {12, 0x0D, 0x20, 0x20, 0x91, 0xE2, 0xE0, 0xA0, 0xAD, 0xA8, 0xE6, 0xA0, 0x3A};
// " из " (M6)
constexpr uint8_t kOf[] = {4, 0x20, 0xA8, 0xA7, 0x20};
// " " (end of M6)
constexpr uint8_t kSpace[] = {1, 0x20};
// CR, LF (end of M2, M7, M9)
constexpr uint8_t kLineEnd[] = {2, 0x0D, 0x0A};

template <size_t N>
constexpr bool IsShortString(const uint8_t (&text)[N]) {
  return N == static_cast<size_t>(text[0]) + 1;
}
static_assert(IsShortString(kInitialisingPages) && IsShortString(kOk) && IsShortString(kErrorLine) &&
              IsShortString(kTestingPages) && IsShortString(kConnectingDatabase) && IsShortString(kCheckingLog) &&
              IsShortString(kLogError) && IsShortString(kError) && IsShortString(kPageError) &&
              IsShortString(kErrorInPage) && IsShortString(kPage) && IsShortString(kOf) && IsShortString(kSpace) &&
              IsShortString(kLineEnd));

constexpr size_t kMessageCapacity = kProgressTextSize - 1;
static_assert(kMessageCapacity == 255);

// Builds a message from parts into a short string of 255 characters' capacity.
class MessageBuilder {
 public:
  explicit MessageBuilder(uint8_t *text) : text_(text) { text_[0] = 0; }
  MessageBuilder &Add(const uint8_t *part) {
    AppendShortString(text_, kMessageCapacity, part);
    return *this;
  }
  // Every number a message shows is an unsigned 16-bit value.
  MessageBuilder &Add(uint16_t number) {
    NumberText digits;
    NumberToShortString(number, digits);
    return Add(digits);
  }
  const uint8_t *Text() const { return text_; }

 private:
  uint8_t *text_;
};

// Reports a message: calls the caller's progress procedure, when there is one.
class Progress {
 public:
  explicit Progress(KLIA_PROGRESS_PROC procedure) : procedure_(procedure) {}
  void Report(const uint8_t *message) const {
    if (procedure_ != nullptr) procedure_(message);
  }
  void Report(const MessageBuilder &message) const { Report(message.Text()); }

 private:
  KLIA_PROGRESS_PROC procedure_;
};

// Leaves the page cache empty whichever way formatting returns, unless told to keep it.
struct EmptyCacheOnReturn {
  EmptyCacheOnReturn() = default;
  EmptyCacheOnReturn(const EmptyCacheOnReturn &) = delete;
  EmptyCacheOnReturn &operator=(const EmptyCacheOnReturn &) = delete;
  ~EmptyCacheOnReturn() {
    if (!keep) EmptyPageCache();
  }
  bool keep = false;
};

// A stage failed on a board command: LastError `code`, DeviceStatus the command's status.
void FailWithStatus(uint16_t code, CommandStatus status) {
  SetDriverError(code);
  DriverState.DeviceStatus = status;
}

// Reconnects the board's database and re-reads BoardInfo. Neither status matters: a refused
// read keeps the last good BoardInfo, and State tells whether the database is ready.
void ConnectAndReadInfo() {
  BoardConnectDatabase();
  RefreshBoardInfo();
}

// Reads one page into the test buffer and returns the first nonzero status. A page that fits
// the buffer is read whole in one command. A larger page is read in pieces of kPageTestPiece
// bytes (a power of two, so the usual page sizes split evenly), each into the start of the
// buffer: every byte of the page is still read, and the buffer is never overrun.
CommandStatus ReadTestPage(uint16_t page, uint16_t page_size, uint8_t (&buffer)[kPageTestBufferSize]) {
  static_assert(kPageTestPiece <= kPageTestBufferSize);
  if (page_size <= kPageTestBufferSize) return BoardReadMemory(page, 0, page_size, buffer);
  for (uint32_t offset = 0; offset < page_size; offset += kPageTestPiece) {
    const uint16_t piece = MinWord(static_cast<uint16_t>(page_size - offset), kPageTestPiece);
    const CommandStatus status = BoardReadMemory(page, static_cast<uint16_t>(offset), piece, buffer);
    if (status != 0) return status;
  }
  return 0;
}

// The log position that a board without an initialised log reports.
constexpr uint16_t kUninitialisedLogPage = 0xFFFF;
constexpr uint16_t kUninitialisedLogOffset = 0x00FF;

}  // namespace

namespace driver {

KLIA_BOOL KLIA_CALL KLIAFormatDatabase(uint16_t check_word, KLIA_PROGRESS_PROC progress) {
  // A modified cached page goes to the board before the board is initialised, never after.
  // When the board refuses it, formatting goes on all the same: the page belongs to the
  // database that is being replaced, so its changes are lost either way, and refusing would
  // leave a board whose memory misbehaves (the usual reason to format it) impossible to
  // format. The refusal's error state is replaced by formatting's own, below.
  const bool flushed = FlushPageCache();
  EmptyCacheOnReturn empty_cache_on_return;

  const Progress report(progress);
  uint8_t message[kProgressTextSize];

  SetDriverError(0);
  uint8_t PageTestBuffer[kPageTestBufferSize];
  std::memset(PageTestBuffer, 0xFF, sizeof PageTestBuffer);

  // The board initialises its memory pages.
  report.Report(kInitialisingPages);
  const CommandStatus init_status = BoardInitPages();
  if (init_status != 0) {
    report.Report(MessageBuilder(message).Add(kError).Add(uint16_t{init_status}).Add(kLineEnd));
    FailWithStatus(kErrWriteFailed, init_status);
    // The board changed nothing, so the old database stays, and with it a modified page that
    // the board refused above: it stays cached and modified, and a later flush delivers it.
    if (!flushed) empty_cache_on_return.keep = true;
    return 0;
  }
  ConnectAndReadInfo();
  if (BoardInfo.State == kStateDatabaseReady) {
    report.Report(kOk);
  } else {
    // Not fatal: the page test and the second initialisation still run.
    report.Report(kErrorLine);
    SetDriverError(kErrWriteFailed);
  }

  // Every page is read once. The page's message goes out before the page is read.
  report.Report(kTestingPages);
  const uint16_t page_count = BoardInfo.PageCount;
  const uint16_t page_size = BoardInfo.PageSize;
  for (uint32_t page = 1; page <= page_count; ++page) {
    MessageBuilder(ProgressText).Add(kPage).Add(static_cast<uint16_t>(page)).Add(kOf).Add(page_count).Add(kSpace);
    report.Report(ProgressText);
    const CommandStatus read_status = ReadTestPage(static_cast<uint16_t>(page), page_size, PageTestBuffer);
    if (read_status != 0) {
      report.Report(MessageBuilder(message).Add(kPageError).Add(uint16_t{read_status}).Add(kLineEnd));
      FailWithStatus(kErrPageFailed, read_status);
      return 0;
    }
  }
  report.Report(kOk);

  // The board re-establishes its link with the database.
  report.Report(kConnectingDatabase);
  ConnectAndReadInfo();
  if (BoardInfo.State == kStateDatabaseReady) {
    report.Report(kOk);
  } else {
    report.Report(MessageBuilder(message).Add(kErrorInPage).Add(BoardInfo.ErrorPage).Add(kLineEnd));
    SetDriverError(kErrWriteFailed);
  }

  // The log must have a write position. 0xFFFF alone is not enough: both values must match.
  if (DriverState.LastError == 0) {
    report.Report(kCheckingLog);
    if (BoardInfo.LogPage == kUninitialisedLogPage && BoardInfo.LogOffset == kUninitialisedLogOffset) {
      report.Report(kLogError);
      SetDriverError(kErrWriteFailed);
    } else {
      report.Report(kOk);
    }
  }

  // The check word marks the database as formatted; it is written only after every stage
  // succeeded.
  if (DriverState.LastError == 0) SetDriverError(WriteCheckWord(check_word) ? 0 : kErrWriteFailed);

  return DriverState.LastError == 0 ? 1 : 0;
}

}  // namespace driver
}  // namespace mviahlp
