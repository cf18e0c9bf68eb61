// golden_board NAME IMAGE: makes the board image of one golden-trace geometry (tests/golden),
// through the virtual board's control interface. Used by scripts/regen-golden.
//
//   current          today's revision (0x123): 4 users, 6 data pages, 4 log pages of 256
//                    bytes, formatted, user 1 in use, a hardware step stored
//   old-short-pages  a board older than revision 0x123 with 128-byte pages
//   logged-on        as current, with user 1 logged on (its flag set)
//   log-nearly-full  as current, with the log's write position 10 bytes before its end
#include <cstdio>
#include <cstring>
#include <string>

#include "vboard.h"

namespace {

constexpr uint16_t kCheckWord = 0x1234;

// A formatted board: check word, database ready, log position at its start.
void Format(const VBoardGeometry &g) {
  const uint16_t complement = kCheckWord ^ 0xAA55;
  const uint8_t check[4] = {kCheckWord & 0xFF, kCheckWord >> 8, static_cast<uint8_t>(complement & 0xFF),
                            static_cast<uint8_t>(complement >> 8)};
  VBoardPoke(3, 0, sizeof check, check);
  VBoardSetState(2);
  VBoardSetLogPosition(g.log_first_page, 0);
}

// User 1 in use: key and password bytes, the flag byte with bits 3-7 clear, a name.
void AddUser(const VBoardGeometry &g) {
  uint8_t record[64];
  std::memset(record, 0xFF, sizeof record);
  for (uint8_t i = 0; i < 16; ++i) record[i] = static_cast<uint8_t>(0x10 + i);
  record[24] = 0x01;
  const char name[] = "golden";
  record[25] = sizeof name - 1;
  std::memcpy(record + 26, name, sizeof name - 1);
  VBoardPoke(8, 0, g.page_size < sizeof record ? g.page_size : sizeof record, record);
}

void HardwareStep() {
  const uint8_t step[3] = {0x57, 0x48, 0x03};
  VBoardPoke(0, 8, sizeof step, step);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: golden_board current|old-short-pages|logged-on|log-nearly-full IMAGE\n");
    return 2;
  }
  const std::string name = argv[1];
  VBoardGeometry g;
  VBoardMakeGeometry(4, 6, 4, 256, &g);
  if (name == "old-short-pages") {
    VBoardMakeGeometry(4, 6, 4, 128, &g);
    g.version = 0x122;
  } else if (name != "current" && name != "logged-on" && name != "log-nearly-full") {
    std::fprintf(stderr, "golden_board: no geometry named %s\n", name.c_str());
    return 2;
  }
  std::remove(argv[2]);
  if (VBoardOpenImage(argv[2], &g) == 0) {
    std::fprintf(stderr, "golden_board: cannot make the image %s\n", argv[2]);
    return 1;
  }
  Format(g);
  AddUser(g);
  HardwareStep();
  if (name == "logged-on") VBoardSetLogon(1, 1);
  if (name == "log-nearly-full") {
    VBoardSetLogPosition(static_cast<uint16_t>(g.log_first_page + g.log_page_count - 1),
                         static_cast<uint16_t>(g.page_size - 10));
  }
  return 0;
}
