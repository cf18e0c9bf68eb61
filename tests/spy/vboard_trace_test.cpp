// The virtual board's own board trace (VBoardTraceRecord): every transport call, faulted and
// failed ones included, in the format the spy writes, with nothing withheld.
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "board/hwlink.h"
#include "trace_format.h"
#include "vboard.h"

namespace {

namespace fs = std::filesystem;

class VBoardTrace : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    path_ = (fs::temp_directory_path() / ("vboard-trace-" + std::to_string(random()) + ".jsonl")).string();
    VBoardGeometry g{};
    VBoardDefaultGeometry(&g);
    ASSERT_NE(VBoardCreate(&g), 0);
  }
  void TearDown() override {
    VBoardTraceRecord(nullptr);
    std::error_code ignored;
    fs::remove(path_, ignored);
  }

  static uint32_t ReadPage(uint16_t page, uint8_t *buffer, uint8_t &status) {
    const uint8_t block[6] = {static_cast<uint8_t>(page), static_cast<uint8_t>(page >> 8), 0, 0, 0, 1};
    uint8_t aux = 0x11;
    return HwTransferEx(21, sizeof block, block, 0, nullptr, 256, buffer, &status, &aux);
  }

  std::string path_;
};

TEST_F(VBoardTrace, RecordsEveryCallWholeUntilStopped) {
  ASSERT_EQ(VBoardTraceRecord(path_.c_str()), 1);
  uint8_t page[256];
  uint8_t status = 0;
  const uint8_t secret[16] = {'s', 'e', 'c', 'r', 'e', 't'};
  uint8_t aux = 0;
  EXPECT_NE(ReadPage(8, page, status), 0u);                                    // a user page: kept
  HwTransfer(17, 0, nullptr, sizeof secret, secret, 0, nullptr, &status, &aux);  // a logon: kept
  VBoardFault fault{};
  fault.nth = 1;
  fault.command = 21;
  fault.transport_fails = 1;
  VBoardAddFault(&fault);
  EXPECT_EQ(ReadPage(9, page, status), 0u);  // no exchange
  VBoardGeometry g{};
  VBoardDefaultGeometry(&g);
  ASSERT_NE(VBoardCreate(&g), 0);  // recording goes on across boards
  EXPECT_NE(ReadPage(3, page, status), 0u);
  ASSERT_EQ(VBoardTraceRecord(nullptr), 1);
  EXPECT_NE(ReadPage(4, page, status), 0u);  // not recorded

  const hwtrace::Trace trace = hwtrace::ReadTraceFile(path_);
  ASSERT_EQ(trace.headers.size(), 1u);
  EXPECT_EQ(trace.headers[0].source, "vboard");
  ASSERT_EQ(trace.exchanges.size(), 4u);
  const hwtrace::Exchange &read = trace.exchanges[0];
  EXPECT_EQ(read.entry, hwtrace::kEntryTransferEx);
  EXPECT_EQ(read.param.data, (std::vector<uint8_t>{8, 0, 0, 0, 0, 1}));
  EXPECT_EQ(read.in.data, std::vector<uint8_t>(256, 0xFF));  // erased memory, not withheld
  EXPECT_EQ(read.status, 0);
  EXPECT_EQ(read.aux, 0x11);  // the aux byte as the caller left it: the board never writes it
  EXPECT_EQ(read.result, 1u);
  EXPECT_EQ(trace.exchanges[1].out.data, std::vector<uint8_t>(secret, secret + 16));
  EXPECT_EQ(trace.exchanges[1].status, 0x30);  // database not connected
  EXPECT_FALSE(trace.exchanges[1].in.redacted());
  const hwtrace::Exchange &failed = trace.exchanges[2];
  EXPECT_EQ(failed.result, 0u);
  EXPECT_FALSE(failed.status.has_value());
  EXPECT_FALSE(failed.in.present());
  EXPECT_EQ(trace.exchanges[3].seq, 4u);
}

TEST_F(VBoardTrace, AFileThatCannotBeOpenedIsRefused) {
  EXPECT_EQ(VBoardTraceRecord((fs::temp_directory_path() / "no-such-folder-for-traces" / "t.jsonl").string().c_str()),
            0);
  uint8_t page[256];
  uint8_t status = 0;
  EXPECT_NE(ReadPage(3, page, status), 0u);  // the board goes on
}

// A trace is written only into a trace: a file that is not one (a board image named by
// mistake, a text) and a symbolic link are refused and left as they were.
TEST_F(VBoardTrace, OnlyATraceIsWrittenTo) {
  const std::string not_a_trace = "VBIMG\x01 a board image, or any file that is not a trace\n";
  {
    std::FILE *file = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(not_a_trace.data(), 1, not_a_trace.size(), file);
    std::fclose(file);
  }
  EXPECT_EQ(VBoardTraceRecord(path_.c_str()), 0);
#ifndef _WIN32
  const std::string link = path_ + ".link";
  std::error_code error;
  fs::create_symlink(path_, link, error);
  ASSERT_FALSE(error) << error.message();
  EXPECT_EQ(VBoardTraceRecord(link.c_str()), 0);
  fs::remove(link, error);
#endif
  uint8_t page[256];
  uint8_t status = 0;
  EXPECT_NE(ReadPage(3, page, status), 0u);
  EXPECT_EQ(fs::file_size(path_), not_a_trace.size());
}

}  // namespace
