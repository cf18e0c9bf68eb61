// Several processes on one board image: the virtual board serves an image file to every
// process that opens it and serialises their commands with a file lock, as a shared board
// would. Two processes work at once (one logging a user on and off, one writing data areas
// and user records), and a process killed in the middle of its command stream leaves an
// image that opens and reads whole.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "board_fixture.h"
#include "interface/library_state.h"
#include "support/bytes.h"
#include "vboard.h"

namespace mviahlp::testing {
namespace {

constexpr uint16_t kPageSize = 256;
VBoardGeometry ImageGeometry() { return Geometry(4, 16, 4, kPageSize); }
constexpr uint16_t kDataFirstPage = 12;  // 4 users + 8
constexpr uint32_t kDataBytes = 16u * kPageSize;

// User 1 logs on with this key and password (stored record bytes 0-7 and 8-15, the user
// record's fields at 28-35 and 36-43).
const uint8_t kKey[8] = {'K', 'E', 'Y', '-', 'U', 'S', 'R', '1'};
const uint8_t kPassword[8] = {'P', 'A', 'S', 'S', 'W', 'O', 'R', 'D'};

uint32_t NextRandom(uint32_t &state) {
  state = state * 1103515245u + 12345u;
  return state >> 8;
}

// Child exit codes.
enum : int { kChildOk = 0, kChildNoBoard = 10, kChildNotBound = 11, kChildRefused = 12, kChildWrongUser = 13 };

class MultiProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = ::testing::TempDir() + "mviahlp-multi-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".img";
    std::remove(image_.c_str());
    ResetLibraryState();
    const VBoardGeometry geometry = ImageGeometry();
    ASSERT_TRUE(VBoardOpenImage(image_.c_str(), &geometry));
    // A ready database with user 1 able to log on.
    VBoardSetState(2);
    ASSERT_EQ(KLIADriverPresent() & 0xFF, 1u);
    Bytes record(KLIA_USER_RECORD_SIZE, 0);
    std::memcpy(&record[KLIA_USER_DATA28], kKey, 8);
    std::memcpy(&record[KLIA_USER_DATA36], kPassword, 8);
    ASSERT_EQ(KLIAWriteUserData(1, record.data()) & 0xFF, 1u);
    user1_page_ = ReadPage(8);
    // The parent lets go of the image; every process opens it for itself.
    ServeMemoryBoard();
  }

  void TearDown() override {
    ServeMemoryBoard();
    std::remove(image_.c_str());
  }

  static void ServeMemoryBoard() {
    const VBoardGeometry geometry = Geometry();
    VBoardCreate(&geometry);
    ResetLibraryState();
  }

  static Bytes ReadPage(uint32_t page) {
    Bytes bytes(kPageSize);
    EXPECT_TRUE(VBoardPeek(page, 0, kPageSize, bytes.data()));
    return bytes;
  }

  // In a child: serve the image and bind, or leave with a code.
  void ChildBind() const {
    ResetLibraryState();
    if (!VBoardOpenImage(image_.c_str(), nullptr)) _exit(kChildNoBoard);
    if ((KLIADriverPresent() & 0xFF) == 0) _exit(kChildNotBound);
  }

  // Logs user 1 on and off `rounds` times; every logon must succeed and name user 1.
  [[noreturn]] void LogonChild(int rounds) const {
    ChildBind();
    for (int i = 0; i < rounds; ++i) {
      if ((KLIALogin(kKey, kPassword, 0) & 0xFF) == 0) _exit(kChildRefused);
      uint16_t user = 0;
      uint8_t flag = 0;
      if ((KLIAGetCurrentUser(&user, &flag) & 0xFF) == 0 || user != 1) _exit(kChildWrongUser);
      KLIALogout();
    }
    _exit(kChildOk);
  }

  // Writes data area 2 and users 2-4 with a seeded sequence; every write must be acknowledged.
  // Leaves what it wrote (the data area, then the three user pages as the board holds them)
  // in `result_path`.
  [[noreturn]] void WriterChild(int rounds, uint32_t seed, const std::string &result_path) const {
    ChildBind();
    Bytes area(kDataBytes, 0);
    uint16_t done = 0;
    if ((KLIAReadDataEx(2, area.data(), 0, static_cast<uint16_t>(kDataBytes), &done) & 0xFF) == 0)
      _exit(kChildRefused);
    uint32_t state = seed;
    for (int i = 0; i < rounds; ++i) {
      const uint32_t length = 1 + NextRandom(state) % 700;
      const uint32_t offset = NextRandom(state) % (kDataBytes - length);
      Bytes data(length);
      for (auto &byte : data) byte = static_cast<uint8_t>(NextRandom(state));
      if ((KLIAWriteDataEx(2, data.data(), static_cast<int32_t>(offset), static_cast<uint16_t>(length), &done) &
           0xFF) == 0)
        _exit(kChildRefused);
      std::memcpy(&area[offset], data.data(), length);
      if (i % 10 == 9) {
        Bytes record(KLIA_USER_RECORD_SIZE);
        for (auto &byte : record) byte = static_cast<uint8_t>(NextRandom(state));
        if ((KLIAWriteUserData(static_cast<uint16_t>(2 + i % 3), record.data()) & 0xFF) == 0) _exit(kChildRefused);
      }
      if (i % 25 == 24 && (KLIAWriteDataEx(2, nullptr, 0, 0, &done) & 0xFF) == 0) _exit(kChildRefused);
    }
    if ((KLIAWriteDataEx(2, nullptr, 0, 0, &done) & 0xFF) == 0) _exit(kChildRefused);
    for (uint32_t page = 9; page <= 11; ++page) {
      const Bytes bytes = ReadPage(page);
      area.insert(area.end(), bytes.begin(), bytes.end());
    }
    FILE *file = std::fopen(result_path.c_str(), "wb");
    if (file == nullptr || std::fwrite(area.data(), 1, area.size(), file) != area.size()) _exit(kChildNoBoard);
    std::fclose(file);
    _exit(kChildOk);
  }

  static int Wait(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string image_;
  Bytes user1_page_;
};

TEST_F(MultiProcess, ALogonLoopAndAWriterLeaveEveryAcknowledgedWriteAndASaneState) {
  const std::string result_path = image_ + ".writer";
  std::fflush(nullptr);
  const pid_t logon = fork();
  ASSERT_GE(logon, 0);
  if (logon == 0) LogonChild(300);
  const pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) WriterChild(300, 77, result_path);
  EXPECT_EQ(Wait(logon), kChildOk) << "logon process";
  EXPECT_EQ(Wait(writer), kChildOk) << "writer process";

  Bytes expected(kDataBytes + 3u * kPageSize);
  FILE *file = std::fopen(result_path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(std::fread(expected.data(), 1, expected.size(), file), expected.size());
  std::fclose(file);
  std::remove(result_path.c_str());

  // The image as a new process would find it.
  ResetLibraryState();
  ASSERT_TRUE(VBoardOpenImage(image_.c_str(), nullptr));
  Bytes board(kDataBytes);
  ASSERT_TRUE(VBoardPeek(kDataFirstPage, 0, kPageSize, board.data()));
  for (uint32_t page = 0; page < 16; ++page) {
    ASSERT_TRUE(VBoardPeek(kDataFirstPage + page, 0, kPageSize, &board[page * kPageSize]));
  }
  EXPECT_EQ(board, Bytes(expected.begin(), expected.begin() + kDataBytes)) << "data area 2";
  for (uint32_t page = 9; page <= 11; ++page) {
    const size_t at = kDataBytes + (page - 9) * size_t{kPageSize};
    EXPECT_EQ(ReadPage(page), Bytes(expected.begin() + at, expected.begin() + at + kPageSize)) << "page " << page;
  }
  EXPECT_EQ(ReadPage(8), user1_page_) << "user 1, whom the writer never touched";
  uint8_t info[51];
  VBoardGetInfoBlock(info);
  EXPECT_EQ(info[25], 2) << "State: the database is ready and nobody is logged on";
  EXPECT_EQ(get_le16(info + 28), 0) << "CurrentUser";
  EXPECT_EQ(get_le16(info + 49), kPageSize);
  EXPECT_EQ(get_le16(info + 16), 4);
}

// Killed at some point of a stream of reads, writes and logons, a process leaves an image that
// opens with its geometry and reads whole through the library.
TEST_F(MultiProcess, AProcessKilledInTheMiddleLeavesAReadableImage) {
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ChildBind();
      uint32_t state = 1234u + static_cast<uint32_t>(round);
      Bytes data(700);
      uint16_t done = 0;
      for (;;) {
        for (auto &byte : data) byte = static_cast<uint8_t>(NextRandom(state));
        const uint32_t offset = NextRandom(state) % (kDataBytes - 700);
        KLIAWriteDataEx(2, data.data(), static_cast<int32_t>(offset), 700, &done);
        KLIAReadDataEx(3, data.data(), 0, 512, &done);
        KLIALogin(kKey, kPassword, 0);
        KLIALogout();
      }
    }
    const timespec pause{0, (15 + 10 * round) * 1000000L};
    nanosleep(&pause, nullptr);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status));

    ResetLibraryState();
    ASSERT_TRUE(VBoardOpenImage(image_.c_str(), nullptr)) << "the image still opens";
    VBoardGeometry geometry{};
    VBoardGetGeometry(&geometry);
    EXPECT_EQ(geometry.page_size, kPageSize);
    EXPECT_EQ(geometry.user_count, 4);
    ASSERT_EQ(KLIADriverPresent() & 0xFF, 1u);
    // Every area, whole, and every user.
    const struct {
      uint8_t area;
      uint32_t bytes;
    } areas[] = {{0, 2 * kPageSize}, {1, 3 * kPageSize}, {2, kDataBytes}, {3, 4 * kPageSize}, {5, kPageSize}};
    for (const auto &a : areas) {
      Bytes bytes(a.bytes);
      uint16_t done = 0;
      EXPECT_EQ(KLIAReadDataEx(a.area, bytes.data(), 0, static_cast<uint16_t>(a.bytes), &done) & 0xFF, 1u)
          << "area " << int(a.area);
      EXPECT_EQ(done, a.bytes);
    }
    for (uint16_t user = 1; user <= 4; ++user) {
      Bytes record(KLIA_USER_RECORD_SIZE);
      EXPECT_EQ(KLIAReadUserData(user, record.data()) & 0xFF, 1u) << "user " << user;
    }
    EXPECT_EQ(ReadPage(8), user1_page_) << "user 1's record";
    uint8_t info[51];
    VBoardGetInfoBlock(info);
    EXPECT_TRUE(info[25] == 2 || info[25] == 4) << "State " << int(info[25]);
    // The next round's child opens the image itself.
    ServeMemoryBoard();
  }
}

}  // namespace
}  // namespace mviahlp::testing

#endif  // _WIN32
