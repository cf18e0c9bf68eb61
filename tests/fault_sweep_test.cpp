// A failure at every board command of every operation that sends more than one.
//
// Each case runs its operation once cleanly, to count its board commands (and to learn what a
// clean run leaves), then once per command position k with command k failing: the board
// answering a status, and the transport call failing after scribbling over the incoming
// buffer. Each run checks the result, the error state, the done count or the caller's record (a
// failed read's bytes from the done count to the end of the failing page are undefined),
// the whole board memory right after the operation, and the whole board memory after a later
// flush with the board healthy again: what the steps before k completed is there, nothing
// else changed, and no change the library acknowledged is lost.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "board_fixture.h"
#include "driver/page_cache.h"
#include "interface/driver_state.h"
#include "vboard_helpers.h"

namespace mviahlp::testing {
namespace {

// A small standard board: pages 0-7, users 1-4 in pages 8-11, data area 2 in pages 12-19, the
// log in pages 20-23; PageCount 23.
constexpr uint16_t kPageSize = 256;
constexpr uint16_t kPages = 24;
constexpr uint16_t kArea0Page = 1;
constexpr uint16_t kArea2Page = 12;
constexpr uint16_t kLogPage = 20;
constexpr uint16_t kLoggedOnUser = 3;
constexpr uint16_t kLoggedOnUserPage = 10;

VBoardGeometry SweepGeometry() { return Geometry(4, 8, 4, kPageSize); }

// The whole board memory, page after page.
struct Image {
  Bytes bytes;
  static Image Read() {
    Image image;
    image.bytes.resize(size_t{kPages} * kPageSize);
    for (uint16_t page = 0; page < kPages; ++page) {
      EXPECT_TRUE(VBoardPeek(page, 0, kPageSize, &image.bytes[size_t{page} * kPageSize])) << "page " << page;
    }
    return image;
  }
  uint8_t *At(uint32_t page, uint32_t offset) { return &bytes[size_t{page} * kPageSize + offset]; }
  void Put(uint32_t page, uint32_t offset, const Bytes &data) {
    std::memcpy(At(page, offset), data.data(), data.size());
  }
  bool operator==(const Image &) const = default;
};

// The first differing page, for a readable failure message.
std::string FirstDifference(const Image &actual, const Image &expected) {
  for (uint32_t i = 0; i < actual.bytes.size(); ++i) {
    if (actual.bytes[i] != expected.bytes[i]) {
      return "page " + std::to_string(i / kPageSize) + " offset " + std::to_string(i % kPageSize) + ": board " +
             std::to_string(actual.bytes[i]) + ", expected " + std::to_string(expected.bytes[i]);
    }
  }
  return "none";
}

Bytes Pattern(size_t length, uint8_t seed) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return bytes;
}

// What one run of an operation gave its caller.
struct Outcome {
  bool ok = false;
  std::optional<uint16_t> done;  // the done count, for data-area transfers
  Bytes output;                  // the record or the bytes read, where the operation fills one
};

// What a run with command k failing (k = 0: no failure) must give.
struct Expected {
  bool ok = true;
  ErrorState errors{0, 0, 0};
  std::optional<uint16_t> done;
  std::optional<Bytes> output;
  uint16_t output_undefined = 0;     // bytes of `output` from `done` on that a failed read may
                                     // have filled (the piece that failed); not compared
  Image after;                       // board memory right after the operation
  std::optional<Image> after_flush;  // after a later flush with a healthy board; default `after`
};

// What the expectation may use: the failing position and status, the board before the
// operation, and what the clean run left.
struct Context {
  uint32_t k;
  uint8_t status;
  const Image &before;
  const Image &clean_after;
  const Outcome &clean;
};

struct SweepCase {
  const char *name;
  uint32_t commands;                  // board commands of a clean run
  std::function<void()> prepare_board;    // before binding
  std::function<void()> prepare_library;  // after binding, before the faults
  std::function<Outcome()> run;
  std::function<Expected(const Context &)> expect;
};

struct FaultKind {
  const char *name;
  bool transport_fails;
  uint8_t status;  // the status the library sees
};

const FaultKind kFaultKinds[] = {
    {"board status 0x31", false, 0x31},
    {"transport failure scribbling the incoming buffer", true, KLIA_STATUS_TRANSPORT_FAILED},
};

// ---------------------------------------------------------------------------------------------
// Piece bookkeeping for data-area transfers: piece j is done when its last command succeeded.

struct Piece {
  uint16_t length;
  uint32_t last_command;  // 1-based position of the command that completes the piece
};

// Bytes done when command k fails (k = 0: every piece).
uint16_t DoneBefore(const std::vector<Piece> &pieces, uint32_t k) {
  uint16_t done = 0;
  for (const Piece &piece : pieces) {
    if (k != 0 && piece.last_command >= k) break;
    done = static_cast<uint16_t>(done + piece.length);
  }
  return done;
}

// Length of the piece that command k fails (k = 0: none).
uint16_t FailingPiece(const std::vector<Piece> &pieces, uint32_t k) {
  if (k == 0) return 0;
  for (const Piece &piece : pieces) {
    if (piece.last_command >= k) return piece.length;
  }
  return 0;
}

// Places `data[0..length)` at `offset` of an area that starts at `first_page`.
void PutAreaBytes(Image &image, uint32_t first_page, uint32_t offset, const uint8_t *data, uint32_t length) {
  std::memcpy(image.At(first_page, 0) + offset, data, length);
}

Outcome ReadArea(uint8_t area, int32_t offset, uint16_t length) {
  Outcome outcome;
  outcome.output.assign(length, 0x5A);
  uint16_t done = 0xBEEF;
  outcome.ok = (KLIAReadDataEx(area, outcome.output.data(), offset, length, &done) & 0xFF) != 0;
  outcome.done = done;
  return outcome;
}

Outcome WriteArea(uint8_t area, int32_t offset, const Bytes &data) {
  Outcome outcome;
  uint16_t done = 0xBEEF;
  outcome.ok =
      (KLIAWriteDataEx(area, data.data(), offset, static_cast<uint16_t>(data.size()), &done) & 0xFF) != 0;
  outcome.done = done;
  return outcome;
}

Outcome WithErrorAsResult(bool ok) {
  Outcome outcome;
  outcome.ok = ok;
  return outcome;
}

ErrorState Failed(uint16_t code, uint16_t device_status) { return {0, code, device_status}; }

// ---------------------------------------------------------------------------------------------
// The operations

const Bytes kUserRecord = Pattern(KLIA_USER_RECORD_SIZE, 0x41);
const Bytes kCrossPageData = Pattern(600, 0x99);  // area offset 200: pieces 56, 256, 256, 32
const Bytes kDirtyData = Pattern(20, 0x17);       // area 2, offset 10: page 12 left dirty
const Bytes kConfig = {0x12, 0x01, 0x1E, 0xFF, 0x07, 0x01, 0x00, 0x01, 0x00, 0x34, 0x12, 0x01, 0x02, 0x99};
const Bytes kNewPassword = Pattern(8, 0xC3);
constexpr uint16_t kCheckValue = 0x4321;

const std::vector<Piece> kCrossPagePieces = {{56, 1}, {256, 2}, {256, 3}, {32, 4}};

// Area transfers through the cache: the write of piece j is written back by the load of piece
// j + 1, so a piece costs a write-back and a load.
const std::vector<Piece> kCachedWritePieces = {{56, 1}, {256, 3}, {256, 5}, {32, 7}};

Image Erased() { return Image{Bytes(size_t{kPages} * kPageSize, 0xFF)}; }

Image Formatted() {
  Image image = Erased();
  const uint16_t complement = kCheckValue ^ 0xAA55;
  image.Put(3, 0, {uint8_t(kCheckValue), uint8_t(kCheckValue >> 8), uint8_t(complement), uint8_t(complement >> 8)});
  return image;
}

const SweepCase kCases[] = {
    {"GetInfo", 3,
     [] {
       // No check word and State 3: a clean run reports CheckWord 0 and StateClass 1.
       PokeBoard(3, 0, {0, 0, 0, 0});
       VBoardSetState(3);
     },
     nullptr,
     [] {
       Outcome outcome;
       outcome.output.assign(KLIA_INFO_RECORD_SIZE, 0xEE);
       outcome.ok = (KLIAGetInfo(outcome.output.data()) & 0xFF) != 0;
       return outcome;
     },
     [](const Context &c) {
       Expected e;
       e.after = c.before;
       Bytes record = c.clean.output;
       switch (c.k) {
         case 1:  // command 16: the call fails and the caller sees the zeros the export wrote
           e.ok = false;
           e.errors = {0, c.status, c.status};
           record.assign(KLIA_INFO_RECORD_SIZE, 0);
           break;
         case 2:  // the check word's read: the word shows as unreadable, the call succeeds
           record[KLIA_INFO_CHECK_WORD] = 0xFF;
           record[KLIA_INFO_CHECK_WORD + 1] = 0xFF;
           break;
         case 3:  // the classification's read: an unreadable word lets the board's State decide
           record[KLIA_INFO_STATE_CLASS] = 3;
           break;
       }
       e.output = record;
       return e;
     }},

    {"ReadUserData of the logged-on user", 2, [] { VBoardSetLogon(kLoggedOnUser, 0); }, nullptr,
     [] {
       Outcome outcome;
       outcome.output.assign(KLIA_USER_RECORD_SIZE, 0x5A);
       outcome.ok = (KLIAReadUserData(0, outcome.output.data()) & 0xFF) != 0;
       return outcome;
     },
     [](const Context &c) {
       Expected e;
       e.after = c.before;
       e.output = c.clean.output;
       if (c.k != 0) {
         e.ok = false;
         e.output = Bytes(KLIA_USER_RECORD_SIZE, 0x5A);  // untouched
         // Without command 16 nobody is known to be logged on: user 0 names nobody.
         e.errors = c.k == 1 ? Failed(KLIA_ERR_OUT_OF_RANGE, c.status) : Failed(KLIA_ERR_PAGE_FAILED, c.status);
       }
       return e;
     }},

    {"WriteUserData of the logged-on user", 2, [] { VBoardSetLogon(kLoggedOnUser, 0); }, nullptr,
     [] { return WithErrorAsResult((KLIAWriteUserData(0, kUserRecord.data()) & 0xFF) != 0); },
     [](const Context &c) {
       Expected e;
       e.after = c.k == 0 ? c.clean_after : c.before;
       if (c.k != 0) {
         e.ok = false;
         e.errors = c.k == 1 ? Failed(KLIA_ERR_OUT_OF_RANGE, c.status) : Failed(KLIA_ERR_WRITE_FAILED, c.status);
       }
       return e;
     }},

    {"ChangeUserPassword of the logged-on user", 2, [] { VBoardSetLogon(kLoggedOnUser, 0); }, nullptr,
     [] {
       // The current password is bytes 8-15 of the user's stored record.
       Bytes block = PeekBoard(kLoggedOnUserPage, 8, 8);
       block.insert(block.end(), kNewPassword.begin(), kNewPassword.end());
       return WithErrorAsResult((KLIAChangeUserPassword(0, block.data()) & 0xFF) != 0);
     },
     [](const Context &c) {
       Expected e;
       e.after = c.before;
       if (c.k == 0) e.after.Put(kLoggedOnUserPage, 8, kNewPassword);
       if (c.k == 1) {
         e.ok = false;
         e.errors = Failed(KLIA_ERR_LOGON_UNKNOWN, c.status);
       } else if (c.k == 2) {
         // The board's status itself is the code; command 16 had cleared DeviceStatus.
         e.ok = false;
         e.errors = Failed(c.status, 0);
       }
       return e;
     }},

    {"ReadDataEx across four pages of area 2", 4, nullptr, nullptr, [] { return ReadArea(2, 200, 600); },
     [](const Context &c) {
       Expected e;
       e.after = c.before;
       const uint16_t done = DoneBefore(kCrossPagePieces, c.k);
       e.done = done;
       Bytes output(600, 0x5A);
       std::memcpy(output.data(), c.before.bytes.data() + size_t{kArea2Page} * kPageSize + 200, done);
       e.output = output;
       e.output_undefined = FailingPiece(kCrossPagePieces, c.k);
       if (c.k != 0) {
         e.ok = false;
         e.errors = Failed(KLIA_ERR_PAGE_FAILED, c.status);
       }
       return e;
     }},

    {"ReadDataEx across three pages with another page dirty", 4, nullptr,
     [] { ASSERT_TRUE(WriteArea(2, 10, kDirtyData).ok); },
     [] { return ReadArea(2, 300, 600); },  // pieces 212 (page 13), 256, 132
     [](const Context &c) {
       // Command 1 writes page 12 back; then pages 13, 14, 15 load. A failed write-back fails
       // the first piece and keeps page 12 dirty; the flush afterwards delivers it.
       const std::vector<Piece> pieces = {{212, 2}, {256, 3}, {132, 4}};
       Expected e;
       Image written = c.before;
       written.Put(kArea2Page, 10, kDirtyData);
       e.after = c.k == 1 ? c.before : written;
       e.after_flush = written;
       const uint16_t done = DoneBefore(pieces, c.k);
       e.done = done;
       Bytes output(600, 0x5A);
       std::memcpy(output.data(), written.At(kArea2Page, 300), done);
       e.output = output;
       e.output_undefined = FailingPiece(pieces, c.k);
       if (c.k != 0) {
         e.ok = false;
         e.errors = Failed(KLIA_ERR_PAGE_FAILED, c.status);
       }
       return e;
     }},

    {"WriteDataEx across four pages of area 2", 7, nullptr, nullptr,
     [] { return WriteArea(2, 200, kCrossPageData); },
     [](const Context &c) {
       Expected e;
       const uint16_t done = DoneBefore(kCachedWritePieces, c.k);
       e.done = done;
       // Right after the call the board has the pages written back before command k; the
       // flush delivers every piece counted as done, and nothing else.
       e.after = c.before;
       uint32_t offset = 200;
       for (size_t j = 0; j < kCachedWritePieces.size(); ++j) {
         const uint32_t write_back = 2 * static_cast<uint32_t>(j) + 2;  // the load of piece j+1 writes piece j
         const bool on_board = j + 1 < kCachedWritePieces.size() && (c.k == 0 || write_back < c.k);
         if (on_board) {
           PutAreaBytes(e.after, kArea2Page, offset, kCrossPageData.data() + (offset - 200),
                        kCachedWritePieces[j].length);
         }
         offset += kCachedWritePieces[j].length;
       }
       Image flushed = c.before;
       PutAreaBytes(flushed, kArea2Page, 200, kCrossPageData.data(), done);
       e.after_flush = flushed;
       if (c.k != 0) {
         e.ok = false;
         e.errors = Failed(KLIA_ERR_PAGE_FAILED, c.status);
       }
       return e;
     }},

    {"WriteDataEx across four pages of the log area", 4, nullptr, nullptr,
     [] { return WriteArea(3, 200, kCrossPageData); },
     [](const Context &c) {
       Expected e;
       const uint16_t done = DoneBefore(kCrossPagePieces, c.k);
       e.done = done;
       e.after = c.before;
       PutAreaBytes(e.after, kLogPage, 200, kCrossPageData.data(), done);
       if (c.k != 0) {
         e.ok = false;
         e.errors = Failed(KLIA_ERR_PAGE_FAILED, c.status);
       }
       return e;
     }},

    {"WriteConfigData", 2, nullptr, nullptr,
     [] { return WithErrorAsResult((KLIAWriteConfigData(kConfig.data()) & 0xFF) != 0); },
     [](const Context &c) {
       Expected e;
       e.after = c.k == 0 ? c.clean_after : c.before;
       // A failed load loses nothing (nothing was accepted); a failed flush keeps the record
       // in the cache and a later flush delivers it.
       e.after_flush = c.k == 1 ? c.before : c.clean_after;
       if (c.k != 0) {
         e.ok = false;
         e.errors = Failed(KLIA_ERR_PAGE_FAILED, c.status);
       }
       return e;
     }},

    {"WriteHwStep", 2, nullptr, nullptr, [] { return WithErrorAsResult((KLIAWriteHwStep(0x42) & 0xFF) != 0); },
     [](const Context &c) {
       Expected e;
       e.after = c.k == 0 ? c.clean_after : c.before;
       e.after_flush = c.k == 1 ? c.before : c.clean_after;
       if (c.k != 0) {
         e.ok = false;
         e.errors = Failed(KLIA_ERR_PAGE_FAILED, c.status);
       }
       return e;
     }},

    {"KLIAFlush of a page left dirty by a write", 1, nullptr,
     [] { ASSERT_TRUE(WriteArea(0, 250, kDirtyData).ok); },  // page 1 written back, page 2 dirty
     [] {
       KLIAFlush();
       return WithErrorAsResult(GetErrorState().last_error == 0);
     },
     [](const Context &c) {
       Expected e;
       Image written = c.before;
       PutAreaBytes(written, kArea0Page, 250, kDirtyData.data(), kDirtyData.size());
       e.after = c.k == 1 ? c.before : written;
       e.after_flush = written;  // the page stayed dirty and the next flush delivers it
       if (c.k == 1) {
         e.ok = false;
         e.errors = Failed(KLIA_ERR_PAGE_FAILED, c.status);
       }
       return e;
     }},

    {"WriteDataEx with a null address flushes a dirty page", 1, nullptr,
     [] { ASSERT_TRUE(WriteArea(0, 250, kDirtyData).ok); },
     [] {
       uint16_t done = 0xBEEF;
       Outcome outcome = WithErrorAsResult((KLIAWriteDataEx(0, nullptr, 0, 0, &done) & 0xFF) != 0);
       EXPECT_EQ(done, 0xBEEF) << "a flush writes no done count";
       return outcome;
     },
     [](const Context &c) {
       Expected e;
       Image written = c.before;
       PutAreaBytes(written, kArea0Page, 250, kDirtyData.data(), kDirtyData.size());
       e.after = c.k == 1 ? c.before : written;
       e.after_flush = written;
       if (c.k == 1) {
         e.ok = false;
         e.errors = Failed(KLIA_ERR_PAGE_FAILED, c.status);
       }
       return e;
     }},

    {"FormatDatabase", 3 + 23 + 3,
     [] {
       // Formatted before with another check word, database ready: the kept BoardInfo says
       // State 2 when an information read fails.
       PokeBoard(3, 0, {0x11, 0x11, 0x44, 0xBB});
       VBoardSetState(2);
     },
     nullptr, [] { return WithErrorAsResult((KLIAFormatDatabase(kCheckValue, nullptr) & 0xFF) != 0); },
     [](const Context &c) {
       // Commands: 1 = 23, 2 = 25, 3 = 16, 4..26 = 21 for pages 1..23, 27 = 25, 28 = 16, 29 = 22.
       Expected e;
       if (c.k == 0) {
         e.after = Formatted();
       } else if (c.k == 1) {  // the board initialises nothing and formatting stops
         e.ok = false;
         e.errors = Failed(KLIA_ERR_WRITE_FAILED, c.status);
         e.after = c.before;
       } else if (c.k == 2) {  // the database is not connected: State stays 1 and the run fails
         e.ok = false;
         e.errors = Failed(KLIA_ERR_WRITE_FAILED, 0);
         e.after = Erased();
       } else if (c.k == 3 || c.k == 27 || c.k == 28) {
         // The statuses of 25 and 16 are not examined: a failed 16 keeps the last good
         // BoardInfo (State 2), and a failed second 25 finds the database connected already.
         e.after = Formatted();
       } else if (c.k <= 26) {  // a page read: the test stops, no check word
         e.ok = false;
         e.errors = Failed(KLIA_ERR_PAGE_FAILED, c.status);
         e.after = Erased();
       } else {  // the check word is refused
         e.ok = false;
         e.errors = Failed(KLIA_ERR_WRITE_FAILED, 0);
         e.after = Erased();
       }
       return e;
     }},
};

class FaultSweep : public BoardTest, public ::testing::WithParamInterface<SweepCase> {
 protected:
  struct Run {
    Outcome outcome;
    Image before;
    Image after;
    Image after_flush;
    uint32_t commands = 0;
  };

  // A fresh board whose every page holds its own pattern, bound, prepared, then the operation
  // with `fault` (if any) on its command k.
  Run RunOnce(const FaultKind *kind, uint32_t k) {
    const SweepCase &c = GetParam();
    NewBoard(SweepGeometry());
    for (uint16_t page = 0; page < kPages; ++page) PokeBoard(page, 0, Pattern(kPageSize, uint8_t(page * 29 + 3)));
    if (c.prepare_board) c.prepare_board();
    EXPECT_TRUE(Bind());
    if (c.prepare_library) c.prepare_library();
    VBoardTraceClear();
    Run run;
    run.before = Image::Read();
    if (kind != nullptr) {
      AddFault(kind->transport_fails ? TransportFailureOn(0, /*scribble*/ true, k, 1)
                                     : FaultOn(0, kind->status, k, 1));
    }
    run.outcome = c.run();
    run.commands = VBoardTraceCount();
    VBoardClearFaults();
    run.after = Image::Read();
    KLIAFlush();
    EXPECT_EQ(PageCache.CacheDirty, 0) << "a flush with a healthy board leaves nothing dirty";
    run.after_flush = Image::Read();
    return run;
  }

  void Check(const Run &run, const Expected &expected, const ErrorState &errors) {
    EXPECT_EQ(run.outcome.ok, expected.ok);
    EXPECT_EQ(errors, expected.errors);
    if (expected.done) {
      EXPECT_EQ(run.outcome.done, expected.done);
    }
    if (expected.output) {
      Bytes output = run.outcome.output;
      const size_t from = expected.done.value_or(0);
      const size_t to = std::min(output.size(), from + expected.output_undefined);
      for (size_t i = from; i < to; ++i) output[i] = (*expected.output)[i];
      EXPECT_EQ(output, *expected.output);
    }
    EXPECT_TRUE(run.after == expected.after) << "after the operation, first difference: "
                                             << FirstDifference(run.after, expected.after);
    const Image &flushed = expected.after_flush ? *expected.after_flush : expected.after;
    EXPECT_TRUE(run.after_flush == flushed) << "after a later flush, first difference: "
                                            << FirstDifference(run.after_flush, flushed);
  }
};

TEST_P(FaultSweep, EveryCommandPositionFailsCleanly) {
  const SweepCase &c = GetParam();
  Run clean;
  ErrorState clean_errors{};
  {
    SCOPED_TRACE("clean run");
    clean = RunOnce(nullptr, 0);
    clean_errors = GetErrorState();  // read after the healthy flush, which leaves it alone
    ASSERT_EQ(clean.commands, c.commands) << "board commands of a clean run";
    const Context context{0, 0, clean.before, clean.after, clean.outcome};
    Check(clean, c.expect(context), clean_errors);
  }
  for (const FaultKind &kind : kFaultKinds) {
    for (uint32_t k = 1; k <= clean.commands; ++k) {
      SCOPED_TRACE(std::string(kind.name) + " at command " + std::to_string(k));
      const Run run = RunOnce(&kind, k);
      const ErrorState errors = GetErrorState();
      const Context context{k, kind.status, run.before, clean.after, clean.outcome};
      Check(run, c.expect(context), errors);
      if (HasFailure()) return;
    }
  }
  std::cout << "[ sweep    ] " << c.name << ": " << clean.commands << " commands, "
            << clean.commands * std::size(kFaultKinds) << " runs with one failing\n";
}

INSTANTIATE_TEST_SUITE_P(Operations, FaultSweep, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<SweepCase> &info) {
                           std::string name;
                           for (const char *p = info.param.name; *p != '\0'; ++p) {
                             if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
                           }
                           return name;
                         });

// Two failures in a row: formatting cannot write back a modified page, then the board refuses
// to initialise its memory. The old database stays, and the page's changes with it.
TEST_F(BoardTest, AFormatRefusedAfterARefusedWriteBackKeepsTheModifiedPage) {
  const Bytes data = Pattern(12, 0x61);
  uint16_t done = 0;
  ASSERT_EQ(KLIAWriteDataEx(0, data.data(), 40, 12, &done) & 0xFF, 1u);
  AddFault(FaultOn(22, 0x07, 1, 1));
  AddFault(FaultOn(23, 0x09, 1, 1));
  EXPECT_EQ(KLIAFormatDatabase(0x1234, nullptr) & 0xFF, 0u);
  EXPECT_EQ(GetErrorState(), Failed(KLIA_ERR_WRITE_FAILED, 0x09));
  VBoardClearFaults();
  uint16_t read_done = 0;
  Bytes back(12, 0);
  ASSERT_EQ(KLIAReadDataEx(0, back.data(), 40, 12, &read_done) & 0xFF, 1u);
  EXPECT_EQ(back, data) << "the caller still reads what it wrote";
  KLIAFlush();
  EXPECT_EQ(PeekBoard(1, 40, 12), data) << "and the next flush delivers it";
}

}  // namespace
}  // namespace mviahlp::testing
