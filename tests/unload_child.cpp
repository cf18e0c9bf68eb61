// A caller process for the unload tests: it serves the virtual board image given on its command
// line, writes a few bytes to data area 2 through the page cache without KLIAFlush, and ends.
// The library must get the cached page onto the board by itself when it is unloaded.
//
//   unload_child return IMAGE          linked to the library; returns from main
//   unload_child exit IMAGE            linked to the library; calls exit() from a nested call
//   unload_child_dl dlclose IMAGE LIB  loads LIB with dlopen, writes, dlclose's it, and checks
//                                      the board itself before returning
//   unload_child_dl unbound IMAGE LIB  loads LIB, never binds, dlclose's it, and checks that no
//                                      board command was sent
//
// Exit codes: 0 done; 2 usage; 3 the board could not be served; 4 binding or the write failed;
// 5 the bytes reached the board before the unload (nothing was cached); 6 the bytes are not on
// the board after dlclose; 7 an unbound unload sent a board command; 8 dlopen or dlsym failed.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "mviahlp.h"
#include "vboard.h"

#if defined(UNLOAD_CHILD_DL)
#include <dlfcn.h>
#endif

namespace {

// What the parent test expects on the board: 16 bytes at offset 100 of data area 2.
constexpr int32_t kOffset = 100;
constexpr uint16_t kCount = 16;

void Fill(uint8_t *data) {
  for (uint16_t i = 0; i < kCount; ++i) data[i] = static_cast<uint8_t>(0xD0 + i);
}

// True when the bytes are on the board at their page (area 2 starts at page users + 8).
bool OnBoard(const uint8_t *data) {
  VBoardGeometry geometry{};
  VBoardGetGeometry(&geometry);
  uint8_t on_board[kCount];
  if (VBoardPeek(geometry.user_count + 8u, kOffset, kCount, on_board) == 0) return false;
  return std::memcmp(on_board, data, kCount) == 0;
}

using DriverPresentFn = decltype(&KLIADriverPresent);
using WriteDataExFn = decltype(&KLIAWriteDataEx);

// Binds and writes through the cache; returns an exit code, 0 when the page is cached dirty.
int BindAndWrite(DriverPresentFn driver_present, WriteDataExFn write_data) {
  uint8_t data[kCount];
  Fill(data);
  if ((driver_present() & 0xFF) == 0) return 4;
  uint16_t done = 0;
  if ((write_data(KLIA_AREA_DATA, data, kOffset, kCount, &done) & 0xFF) == 0 || done != kCount) return 4;
  return OnBoard(data) ? 5 : 0;
}

#if !defined(UNLOAD_CHILD_DL)
[[noreturn]] void EndFromDeepInside(int code) { std::exit(code); }
#endif

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) return 2;
  const char *mode = argv[1];
  if (VBoardOpenImage(argv[2], nullptr) == 0) return 3;

#if defined(UNLOAD_CHILD_DL)
  if (argc < 4) return 2;
  void *library = dlopen(argv[3], RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return 8;
  if (std::strcmp(mode, "unbound") == 0) {
    VBoardTraceClear();
    dlclose(library);
    return VBoardTraceCount() == 0 ? 0 : 7;
  }
  if (std::strcmp(mode, "dlclose") != 0) return 2;
  auto driver_present = reinterpret_cast<DriverPresentFn>(dlsym(library, "KLIADriverPresent"));
  auto write_data = reinterpret_cast<WriteDataExFn>(dlsym(library, "KLIAWriteDataEx"));
  if (driver_present == nullptr || write_data == nullptr) return 8;
  if (const int code = BindAndWrite(driver_present, write_data); code != 0) return code;
  dlclose(library);
  uint8_t data[kCount];
  Fill(data);
  return OnBoard(data) ? 0 : 6;
#else
  if (const int code = BindAndWrite(&KLIADriverPresent, &KLIAWriteDataEx); code != 0) return code;
  if (std::strcmp(mode, "exit") == 0) EndFromDeepInside(0);
  if (std::strcmp(mode, "return") == 0) return 0;
  return 2;
#endif
}
