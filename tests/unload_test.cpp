// A caller process that writes through the page cache and ends without KLIAFlush still gets
// its page onto the board: the library flushes when it is unloaded, at process exit or at
// dlclose. The caller runs as a child process on a board image file, which this test opens
// afterwards to look at the board the child left.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "board_fixture.h"
#include "interface/library_state.h"
#include "vboard.h"

namespace mviahlp::testing {
namespace {

// What the child writes: 16 bytes 0xD0.. at offset 100 of data area 2.
constexpr uint32_t kOffset = 100;
constexpr uint32_t kCount = 16;

struct ChildCase {
  const char *name;
  const char *program;
  const char *mode;
  bool writes;  // the child bound and wrote
};

class UnloadTest : public ::testing::TestWithParam<ChildCase> {
 protected:
  void SetUp() override {
    image_ = ::testing::TempDir() + "mviahlp-unload-" + std::to_string(getpid()) + "-" + GetParam().name + ".img";
    std::remove(image_.c_str());
  }
  void TearDown() override {
    // Later tests get a fresh in-memory board; the image goes.
    const VBoardGeometry geometry = Geometry();
    VBoardCreate(&geometry);
    ResetLibraryState();
    std::remove(image_.c_str());
  }

  // Runs the child and returns its exit code (-1 when it did not exit normally).
  int RunChild() {
    const ChildCase &c = GetParam();
    const std::string command = std::string("'") + c.program + "' " + c.mode + " '" + image_ + "' '" +
                                MVIAHLP_LIBRARY_PATH + "'";
    const int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }

  std::string image_;
};

TEST_P(UnloadTest, TheCachedPageIsOnTheBoardAfterTheChildEnds) {
  ASSERT_EQ(RunChild(), 0) << "see the exit codes in unload_child.cpp";
  ASSERT_TRUE(VBoardOpenImage(image_.c_str(), nullptr));
  VBoardGeometry geometry{};
  VBoardGetGeometry(&geometry);
  std::vector<uint8_t> on_board(kCount);
  ASSERT_TRUE(VBoardPeek(geometry.user_count + 8u, kOffset, kCount, on_board.data()));
  std::vector<uint8_t> expected(kCount, 0xFF);  // an image starts erased
  if (GetParam().writes) {
    for (uint32_t i = 0; i < kCount; ++i) expected[i] = static_cast<uint8_t>(0xD0 + i);
  }
  EXPECT_EQ(on_board, expected);
}

INSTANTIATE_TEST_SUITE_P(Children, UnloadTest,
                         ::testing::Values(ChildCase{"ReturnFromMain", UNLOAD_CHILD_PATH, "return", true},
                                           ChildCase{"ExitCall", UNLOAD_CHILD_PATH, "exit", true},
                                           ChildCase{"Dlclose", UNLOAD_CHILD_DL_PATH, "dlclose", true},
                                           // The child itself checks that no command was sent.
                                           ChildCase{"UnboundDlclose", UNLOAD_CHILD_DL_PATH, "unbound", false}),
                         [](const ::testing::TestParamInfo<ChildCase> &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace mviahlp::testing

#endif  // _WIN32
