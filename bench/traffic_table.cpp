// traffic_table: runs every export in its typical cases against the virtual board, counts the
// board commands and link bytes each case sends (from the board's trace), and prints them as a
// Markdown table beside the least traffic the board protocol needs for the same work.
//
// The minimum of each row is computed here from the command set, not from what the library
// sent: every board command costs one exchange and carries its parameter block, its outgoing
// data and its incoming data over the link (status and aux bytes are not counted). For the
// cached data areas the unit of transfer is the cache's page: a page that is not held is
// loaded once (21, CacheLength bytes from offset 0) and a changed page is written back once
// (22, CacheLength bytes) when it is left or flushed; pieces of the log area go straight to
// the board with their own offset and length.
//
//   traffic_table                    prints the table
//   traffic_table --check            prints it, and exits 1 when any row differs from its
//                                    minimum or an export gave an unexpected result
//   traffic_table --update FILE      replaces the generated section of FILE (between the
//                                    traffic-table markers) with the table
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "interface/library_state.h"
#include "mviahlp.h"
#include "vboard.h"

namespace {

// ---- The protocol's cost of each board command ------------------------------------------

struct Traffic {
  uint32_t commands = 0;
  uint64_t bytes = 0;
  bool operator==(const Traffic &) const = default;
};

// A minimum: its traffic and how it is made up ("16 + 2 × 21(4)").
struct Need {
  Traffic traffic;
  std::string text;
};

Need operator+(const Need &a, const Need &b) {
  if (a.text.empty()) return b;
  if (b.text.empty()) return a;
  return {{a.traffic.commands + b.traffic.commands, a.traffic.bytes + b.traffic.bytes}, a.text + " + " + b.text};
}

Need Times(uint32_t k, const Need &n) {
  if (k == 0) return {};
  if (k == 1) return n;
  const bool sum = n.text.find(" + ") != std::string::npos;
  return {{k * n.traffic.commands, k * n.traffic.bytes},
          std::to_string(k) + " × " + (sum ? "(" + n.text + ")" : n.text)};
}

const Need kNothing{{0, 0}, ""};

// One exchange: code, parameter bytes, outgoing bytes, incoming bytes.
Need Command(int code, uint32_t param, uint32_t out, uint32_t in, const std::string &label = "") {
  return {{1, param + out + in}, label.empty() ? std::to_string(code) : label};
}

constexpr uint32_t kInfoBlock = 51;       // command 16 answers the 51-byte information block
constexpr uint32_t kAddressBlock = 6;     // page, offset, count of commands 21 and 22
constexpr uint32_t kCheckWordBytes = 4;   // value and complement, page 3
constexpr uint32_t kUserRecordBytes = 256;
constexpr uint32_t kCredentialBytes = 16;

Need ReadInfo() { return Command(16, 0, 0, kInfoBlock); }
Need ReadMemory(uint32_t n) { return Command(21, kAddressBlock, 0, n, "21(" + std::to_string(n) + ")"); }
Need WriteMemory(uint32_t n) { return Command(22, kAddressBlock, n, 0, "22(" + std::to_string(n) + ")"); }
Need AppendLog(uint32_t n) { return Command(20, 2, n, 0, "20(" + std::to_string(n) + ")"); }
Need Login() { return Command(17, 0, kCredentialBytes, 0); }
Need Logout() { return Command(18, 0, 0, 0); }
Need ChangePassword() { return Command(19, 0, kCredentialBytes, 0); }
Need InitPages() { return Command(23, 0, 0, 0); }
Need ClearLog() { return Command(24, 0, 0, 0); }
Need ConnectDatabase() { return Command(25, 0, 0, 0); }
Need MakeUserXid(uint32_t n) { return Command(27, 2, n, 4); }
Need SetClock() { return Command(28, 6, 0, 0, "28 set"); }
Need GetClock() { return Command(28, 0, 0, 6, "28 get"); }
Need SetWatchdog() { return Command(30, 2, 0, 0, "30 set"); }
Need GetWatchdog() { return Command(30, 0, 0, 2, "30 get"); }
Need SetIaResult(uint32_t n) { return Command(13, 2, n, 0, "13(" + std::to_string(n) + ")"); }

// The information operation's exchange: the block, and page 3's check word once for the
// record's CheckWord and once for its StateClass.
Need InformationExchange() { return ReadInfo() + Times(2, ReadMemory(kCheckWordBytes)); }

// Pages of size p that the bytes [offset, offset + length) touch.
uint32_t PagesTouched(uint32_t offset, uint32_t length, uint32_t p) {
  return length == 0 ? 0 : (offset + length - 1) / p - offset / p + 1;
}

// ---- The board and the library for each row --------------------------------------------

VBoardGeometry Geometry(uint16_t users, uint16_t data_pages, uint16_t log_pages, uint16_t page_size) {
  VBoardGeometry g{};
  VBoardMakeGeometry(users, data_pages, log_pages, page_size, &g);
  return g;
}

// The library in its load state, a fresh board of `g`, bound.
void Fresh(const VBoardGeometry &g) {
  mviahlp::ResetLibraryState();
  VBoardCreate(&g);
  KLIADriverPresent();
}

void Formatted(uint16_t check_word = 0x1234) {
  const uint16_t complement = static_cast<uint16_t>(check_word ^ 0xAA55);
  const uint8_t block[4] = {static_cast<uint8_t>(check_word), static_cast<uint8_t>(check_word >> 8),
                            static_cast<uint8_t>(complement), static_cast<uint8_t>(complement >> 8)};
  VBoardPoke(3, 0, 4, block);
  VBoardSetState(2);
  VBoardGeometry g{};
  VBoardGetGeometry(&g);
  VBoardSetLogPosition(g.log_first_page, 0);
}

// A user record in use for `user` with logon key 1..8 and password 0x51..0x58.
const uint8_t kKey[8] = {1, 2, 3, 4, 5, 6, 7, 8};
const uint8_t kPassword[8] = {0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58};
void StoreUser(uint16_t user) {
  uint8_t record[256];
  std::memset(record, 0xFF, sizeof record);
  std::memcpy(record, kKey, 8);
  std::memcpy(record + 8, kPassword, 8);
  record[24] = 0x00;
  VBoardPoke(user + 7u, 0, sizeof record, record);
}

uint8_t g_buffer[65536];
uint16_t g_done;

uint32_t Read(uint8_t area, int32_t offset, uint16_t length) {
  return KLIAReadDataEx(area, g_buffer, offset, length, &g_done) & 0xFF;
}
uint32_t Write(uint8_t area, int32_t offset, uint16_t length) {
  return KLIAWriteDataEx(area, g_buffer, offset, length, &g_done) & 0xFF;
}

struct Row {
  std::string exported;
  std::string situation;
  std::function<void()> setup;    // board and library state before the call; not counted
  std::function<uint32_t()> call; // the counted call(s); the result's low byte (1 for none)
  uint32_t expected;              // the result the row's situation must give
  Need minimum;
};

struct Measured {
  Traffic traffic;
  std::string sequence;  // the commands as sent, runs folded: "16, 2 × 21(4)"
  uint32_t result;
};

std::string Describe(const VBoardTraceEntry &e) {
  const uint32_t data = e.command == 21 ? e.in_length : e.out_length;
  switch (e.command) {
    case 13:
    case 20:
    case 21:
    case 22: return std::to_string(e.command) + "(" + std::to_string(data) + ")";
    case 28:
    case 30: return std::to_string(e.command) + (e.param_length != 0 ? " set" : " get");
    default: return std::to_string(e.command);
  }
}

Measured Run(const Row &row) {
  row.setup();
  VBoardTraceClear();
  VBoardTraceEnable(1);
  Measured m{};
  m.result = row.call();
  std::vector<std::string> sent;
  for (uint32_t i = 0; i < VBoardTraceCount(); ++i) {
    VBoardTraceEntry e{};
    VBoardTraceGet(i, &e);
    ++m.traffic.commands;
    m.traffic.bytes += static_cast<uint64_t>(e.param_length) + e.out_length + e.in_length;
    sent.push_back(Describe(e));
  }
  // Fold repeats of one command ("3 × 21(256)") or of a pair ("2 × (21(256), 22(256))").
  for (size_t i = 0; i < sent.size();) {
    size_t single = 1, pair = 0;
    while (i + single < sent.size() && sent[i + single] == sent[i]) ++single;
    if (single == 1) {
      while (i + 2 * pair + 1 < sent.size() && sent[i + 2 * pair] == sent[i] && sent[i + 2 * pair + 1] == sent[i + 1])
        ++pair;
    }
    if (!m.sequence.empty()) m.sequence += ", ";
    if (pair >= 2) {
      m.sequence += std::to_string(pair) + " × (" + sent[i] + ", " + sent[i + 1] + ")";
      i += 2 * pair;
    } else {
      m.sequence += single == 1 ? sent[i] : std::to_string(single) + " × " + sent[i];
      i += single;
    }
  }
  return m;
}

std::vector<Row> Rows() {
  std::vector<Row> rows;
  const VBoardGeometry board = Geometry(32, 200, 16, 256);  // area 2: pages 40-239; log 240-255
  const uint32_t P = 256, L = 256;                          // page size; CacheLength (version 0x123)
  const VBoardGeometry big_pages = Geometry(16, 100, 8, 1024);
  const uint32_t P2 = 1024;
  const VBoardGeometry small_board = Geometry(8, 16, 4, 256);  // pages 0-35
  const uint32_t small_pages = 35;
  const VBoardGeometry format_board = Geometry(32, 3000, 64, 256);  // pages 0-3103
  const uint32_t format_pages = 3103;

  auto fresh = [board] { Fresh(board); };
  auto formatted = [board] {
    Fresh(board);
    Formatted();
  };
  auto logged_on = [board] {
    Fresh(board);
    Formatted();
    StoreUser(5);
    VBoardSetLogon(5, 0);
  };
  auto add = [&rows](std::string e, std::string s, std::function<void()> setup, std::function<uint32_t()> call,
                     uint32_t expected, Need minimum) {
    rows.push_back({std::move(e), std::move(s), std::move(setup), std::move(call), expected, std::move(minimum)});
  };
  const auto flush_call = [] {
    KLIAFlush();
    return 1u;
  };

  // Binding and information.
  add("KLIADriverPresent", "bind and probe a fresh board",
      [board] {
        mviahlp::ResetLibraryState();
        VBoardCreate(&board);
      },
      [] { return KLIADriverPresent() & 0xFF; }, 1, InformationExchange());
  add("KLIADriverPresent", "bind again (cache holds a clean page)",
      [fresh] {
        fresh();
        Read(2, 0, 1);
      },
      [] { return KLIADriverPresent() & 0xFF; }, 1, InformationExchange());
  add("KLIAGetInfo", "formatted board", formatted,
      [] {
        uint8_t info[KLIA_INFO_RECORD_SIZE];
        return KLIAGetInfo(info) & 0xFF;
      },
      1, InformationExchange());
  add("KLIAGetErrorState", "any", fresh,
      [] {
        uint16_t a, b, c;
        KLIAGetErrorState(&a, &b, &c);
        return 1u;
      },
      1, kNothing);
  add("KLIAReadDataEx", "not bound",
      [board] {
        mviahlp::ResetLibraryState();
        VBoardCreate(&board);
      },
      [] { return Read(2, 0, 4); }, 0, kNothing);
  add("Today", "any", fresh, [] { return Today() > 0 ? 1u : 0u; }, 1, kNothing);

  // Users and logon.
  add("KLIAGetCurrentUser", "user 5 logged on", logged_on,
      [] {
        uint16_t user = 0;
        uint8_t flag = 0;
        return (KLIAGetCurrentUser(&user, &flag) & 0xFF) != 0 && user == 5 ? 1u : 0u;
      },
      1, ReadInfo());
  add("KLIALogin", "right key and password",
      [formatted] {
        formatted();
        StoreUser(5);
      },
      [] { return KLIALogin(kKey, kPassword, 0) & 0xFF; }, 1, Login());
  add("KLIALogout", "user 5 logged on", logged_on,
      [] {
        KLIALogout();
        return 1u;
      },
      1, Logout());
  add("KLIAReadUserData", "explicit user 5", logged_on, [] { return KLIAReadUserData(5, g_buffer) & 0xFF; }, 1,
      ReadMemory(kUserRecordBytes));
  add("KLIAReadUserData", "user 0 = logged-on user 5", logged_on, [] { return KLIAReadUserData(0, g_buffer) & 0xFF; },
      1, ReadInfo() + ReadMemory(kUserRecordBytes));
  add("KLIAReadUserData", "user 0, nobody logged on", formatted, [] { return KLIAReadUserData(0, g_buffer) & 0xFF; },
      0, ReadInfo());
  add("KLIAReadUserData", "user 33 of 32", formatted, [] { return KLIAReadUserData(33, g_buffer) & 0xFF; }, 0,
      kNothing);
  add("KLIAWriteUserData", "explicit user 5", logged_on,
      [] {
        std::memset(g_buffer, 0, 256);
        return KLIAWriteUserData(5, g_buffer) & 0xFF;
      },
      1, WriteMemory(kUserRecordBytes));
  add("KLIAWriteUserData", "user 0 = logged-on user 5", logged_on,
      [] {
        std::memset(g_buffer, 0, 256);
        return KLIAWriteUserData(0, g_buffer) & 0xFF;
      },
      1, ReadInfo() + WriteMemory(kUserRecordBytes));
  add("KLIAChangeUserPassword", "explicit user 5", logged_on,
      [] {
        uint8_t block[16];
        std::memcpy(block, kPassword, 8);
        std::memset(block + 8, 0x77, 8);
        return KLIAChangeUserPassword(5, block) & 0xFF;
      },
      1, ChangePassword());
  add("KLIAChangeUserPassword", "user 0 = logged-on user 5", logged_on,
      [] {
        uint8_t block[16];
        std::memcpy(block, kPassword, 8);
        std::memset(block + 8, 0x77, 8);
        return KLIAChangeUserPassword(0, block) & 0xFF;
      },
      1, ReadInfo() + ChangePassword());

  // Data area 2 through the cache. Area 2 begins at page 40.
  add("KLIAReadDataEx", "1 byte, cold cache", fresh, [] { return Read(2, 100, 1); }, 1, ReadMemory(L));
  for (uint16_t n : {1, 4, 16}) {
    add("KLIAReadDataEx", std::to_string(n) + (n == 1 ? " byte" : " bytes") + ", page cached",
        [fresh] {
          fresh();
          Read(2, 0, 1);
        },
        [n] { return Read(2, 100, n); }, 1, kNothing);
  }
  add("KLIAReadData", "16-bit offset, 4 bytes, page cached",
      [fresh] {
        fresh();
        Read(2, 0, 1);
      },
      [] { return KLIAReadData(2, g_buffer, 100, 4, &g_done) & 0xFF; }, 1, kNothing);
  add("KLIAReadDataEx", "4 bytes × 64 in one page, cold", fresh,
      [] {
        uint32_t ok = 1;
        for (int i = 0; i < 64; ++i) ok &= Read(2, 512 + (i * 4) % 256, 4);
        return ok;
      },
      1, ReadMemory(L));
  add("KLIAReadDataEx", "300 bytes at 1000, crossing pages, cold", fresh, [] { return Read(2, 1000, 300); }, 1,
      Times(PagesTouched(1000, 300, P), ReadMemory(L)));
  add("KLIAReadDataEx", "300 bytes at 1000, first page cached",
      [fresh] {
        fresh();
        Read(2, 1000, 1);
      },
      [] { return Read(2, 1000, 300); }, 1, Times(PagesTouched(1000, 300, P) - 1, ReadMemory(L)));
  add("KLIAReadDataEx", "4 bytes, another page modified",
      [fresh] {
        fresh();
        Write(2, 5000, 4);
      },
      [] { return Read(2, 100, 4); }, 1, WriteMemory(L) + ReadMemory(L));
  add("KLIAReadDataEx", "the whole area, 51200 bytes (stream)", fresh, [P] { return Read(2, 0, 200 * P); }, 1,
      Times(PagesTouched(0, 200 * P, P), ReadMemory(L)));
  add("KLIAReadDataEx", "past the end of the area", fresh, [P] { return Read(2, 200 * P - 2, 4); }, 0, kNothing);
  add("KLIAReadDataEx", "length 0", fresh, [] { return Read(2, 100, 0); }, 1, kNothing);
  add("KLIAWriteDataEx", "4 bytes, cold cache", fresh, [] { return Write(2, 100, 4); }, 1, ReadMemory(L));
  for (uint16_t n : {1, 4, 16}) {
    add("KLIAWriteDataEx", std::to_string(n) + (n == 1 ? " byte" : " bytes") + ", page cached",
        [fresh] {
          fresh();
          Read(2, 0, 1);
        },
        [n] { return Write(2, 100, n); }, 1, kNothing);
  }
  add("KLIAWriteData", "16-bit offset, 4 bytes, page cached",
      [fresh] {
        fresh();
        Read(2, 0, 1);
      },
      [] { return KLIAWriteData(2, g_buffer, 100, 4, &g_done) & 0xFF; }, 1, kNothing);
  add("KLIAWriteDataEx", "4 bytes × 64 in one page, then KLIAFlush", fresh,
      [] {
        uint32_t ok = 1;
        for (int i = 0; i < 64; ++i) ok &= Write(2, 512 + i * 4, 4);
        KLIAFlush();
        return ok;
      },
      1, ReadMemory(L) + WriteMemory(L));
  add("KLIAWriteDataEx", "4 bytes, another page modified",
      [fresh] {
        fresh();
        Write(2, 5000, 4);
      },
      [] { return Write(2, 100, 4); }, 1, WriteMemory(L) + ReadMemory(L));
  add("KLIAWriteDataEx", "300 bytes at 1000, crossing pages, then KLIAFlush", fresh,
      [] {
        const uint32_t ok = Write(2, 1000, 300);
        KLIAFlush();
        return ok;
      },
      1, Times(PagesTouched(1000, 300, P), ReadMemory(L) + WriteMemory(L)));
  add("KLIAWriteDataEx", "the whole area, 51200 bytes (stream), then KLIAFlush", fresh,
      [P] {
        const uint32_t ok = Write(2, 0, 200 * P);
        KLIAFlush();
        return ok;
      },
      1, Times(PagesTouched(0, 200 * P, P), ReadMemory(L) + WriteMemory(L)));
  add("KLIAReadDataEx", "1 KiB pages: 3000 bytes at 500, cold", [big_pages] { Fresh(big_pages); },
      [] { return Read(2, 500, 3000); }, 1, Times(PagesTouched(500, 3000, P2), ReadMemory(P2)));
  add("KLIAWriteDataEx", "1 KiB pages: 3000 bytes at 500, then KLIAFlush", [big_pages] { Fresh(big_pages); },
      [] {
        const uint32_t ok = Write(2, 500, 3000);
        KLIAFlush();
        return ok;
      },
      1, Times(PagesTouched(500, 3000, P2), ReadMemory(P2) + WriteMemory(P2)));

  // Flush.
  add("KLIAFlush", "page modified",
      [fresh] {
        fresh();
        Write(2, 100, 4);
      },
      flush_call, 1, WriteMemory(L));
  add("KLIAFlush", "page clean",
      [fresh] {
        fresh();
        Read(2, 100, 4);
      },
      flush_call, 1, kNothing);
  add("KLIAFlush", "twice after a write",
      [fresh] {
        fresh();
        Write(2, 100, 4);
      },
      [] {
        KLIAFlush();
        KLIAFlush();
        return 1u;
      },
      1, WriteMemory(L));
  add("KLIAWriteDataEx", "null data: flush, page modified",
      [fresh] {
        fresh();
        Write(2, 100, 4);
      },
      [] { return KLIAWriteDataEx(2, nullptr, 0, 0, &g_done) & 0xFF; }, 1, WriteMemory(L));

  // The log area: straight to the board, piece by piece.
  add("KLIAReadDataEx", "log area, 300 bytes at 100", formatted, [] { return Read(3, 100, 300); }, 1,
      ReadMemory(P - 100) + ReadMemory(300 - (P - 100)));
  add("KLIAWriteDataEx", "log area, 300 bytes at 100", formatted, [] { return Write(3, 100, 300); }, 1,
      WriteMemory(P - 100) + WriteMemory(300 - (P - 100)));
  add("KLIAReadDataEx", "log area, 600 bytes at 0 (whole pages)", formatted, [] { return Read(3, 0, 600); }, 1,
      Times(2, ReadMemory(P)) + ReadMemory(600 - 2 * P));
  add("KLIAReadDataEx", "log area, page cached elsewhere modified",
      [formatted] {
        formatted();
        Write(2, 100, 4);
      },
      [] { return Read(3, 10, 20); }, 1, ReadMemory(20));
  add("KLIAReadDataEx", "area 0x83 (log pages through the cache), cold", formatted,
      [] { return Read(0x83, 10, 20); }, 1, ReadMemory(L));
  add("KLIAWriteData", "append a 40-byte log record", formatted,
      [] { return KLIAWriteData(3, g_buffer, 0xFFFF, 40, &g_done) & 0xFF; }, 1, AppendLog(40));
  add("KLIAWriteData", "append, page modified in the cache",
      [formatted] {
        formatted();
        Write(2, 100, 4);
      },
      [] { return KLIAWriteData(3, g_buffer, 0xFFFF, 40, &g_done) & 0xFF; }, 1, AppendLog(40));
  add("KLIAClearLog", "formatted board", formatted, [] { return KLIAClearLog() & 0xFF; }, 1, ClearLog());

  // Configuration record and hardware step (areas 0 and 5, through the cache).
  const auto config_call = [] {
    uint8_t config[KLIA_CONFIG_RECORD_SIZE] = {1, 1, 2, 3, 4, 0, 1, 0, 1, 0x34, 0x12, 1, 7, 8};
    return KLIAWriteConfigData(config) & 0xFF;
  };
  add("KLIAWriteConfigData", "cold cache", fresh, config_call, 1, ReadMemory(L) + WriteMemory(L));
  add("KLIAWriteConfigData", "its page cached",
      [fresh] {
        fresh();
        Read(0, 0, 1);
      },
      config_call, 1, WriteMemory(L));
  add("KLIAWriteConfigData", "another page modified",
      [fresh] {
        fresh();
        Write(2, 100, 4);
      },
      config_call, 1, WriteMemory(L) + ReadMemory(L) + WriteMemory(L));
  add("KLIAReadConfigData", "cold cache",
      [fresh, config_call] {
        fresh();
        config_call();
        mviahlp::ResetLibraryState();
        KLIADriverPresent();
      },
      [] {
        uint8_t config[KLIA_CONFIG_RECORD_SIZE];
        return KLIAReadConfigData(config) & 0xFF;
      },
      1, ReadMemory(L));
  add("KLIAReadConfigData", "its page cached",
      [fresh, config_call] {
        fresh();
        config_call();
      },
      [] {
        uint8_t config[KLIA_CONFIG_RECORD_SIZE];
        return KLIAReadConfigData(config) & 0xFF;
      },
      1, kNothing);
  add("KLIAWriteHwStep", "cold cache", fresh, [] { return KLIAWriteHwStep(3) & 0xFF; }, 1,
      ReadMemory(L) + WriteMemory(L));
  add("KLIAReadHwStep", "cold cache",
      [fresh] {
        fresh();
        KLIAWriteHwStep(3);
        mviahlp::ResetLibraryState();
        KLIADriverPresent();
      },
      [] {
        uint8_t step = 0;
        return (KLIAReadHwStep(&step) & 0xFF) != 0 && step == 3 ? 1u : 0u;
      },
      1, ReadMemory(L));
  add("KLIAReadHwStep", "its page cached",
      [fresh] {
        fresh();
        KLIAWriteHwStep(3);
      },
      [] {
        uint8_t step = 0;
        return KLIAReadHwStep(&step) & 0xFF;
      },
      1, kNothing);

  // Formatting: 23, 25 and 16, every page 1..PageCount once, 25 and 16 again, the check word.
  const auto format_need = [](uint32_t pages, uint32_t page_size) {
    return InitPages() + ConnectDatabase() + ReadInfo() + Times(pages, ReadMemory(page_size)) + ConnectDatabase() +
           ReadInfo() + WriteMemory(kCheckWordBytes);
  };
  add("KLIAFormatDatabase", "36-page board", [small_board] { Fresh(small_board); },
      [] { return KLIAFormatDatabase(0x1234, nullptr) & 0xFF; }, 1, format_need(small_pages, 256));
  add("KLIAFormatDatabase", "36-page board, page modified in the cache",
      [small_board] {
        Fresh(small_board);
        Write(2, 100, 4);
      },
      [] { return KLIAFormatDatabase(0x1234, nullptr) & 0xFF; }, 1, WriteMemory(L) + format_need(small_pages, 256));
  add("KLIAFormatDatabase", "3104-page board", [format_board] { Fresh(format_board); },
      [] { return KLIAFormatDatabase(0x1234, nullptr) & 0xFF; }, 1, format_need(format_pages, 256));

  // Clock, watchdog, access-control commands.
  add("KLIASetRTCDateTime", "a 2024 date", fresh,
      [] {
        uint8_t record[8];
        const int32_t day = 155000, seconds = 3600;  // a day in 2024, 01:00:00
        std::memcpy(record, &day, 4);
        std::memcpy(record + 4, &seconds, 4);
        return KLIASetRTCDateTime(record) & 0xFF;
      },
      1, SetClock());
  add("KLIAGetRTCDateTime", "any", fresh,
      [] {
        uint8_t record[8];
        return KLIAGetRTCDateTime(record) & 0xFF;
      },
      1, GetClock());
  add("KLIASetWDTimeout", "any", fresh, [] { return KLIASetWDTimeout(100) & 0xFF; }, 1, SetWatchdog());
  add("KLIAGetWDTimeout", "any", fresh,
      [] {
        uint16_t timeout = 0;
        return KLIAGetWDTimeout(&timeout) & 0xFF;
      },
      1, GetWatchdog());
  add("KLIASetIaResult", "kind 2", fresh, [] { return KLIASetIaResult(2, g_buffer) & 0xFF; }, 1, SetIaResult(32));
  add("KLIASetIaResult", "kind 4", fresh, [] { return KLIASetIaResult(4, g_buffer) & 0xFF; }, 1, SetIaResult(13));
  add("KLIASetIaResult", "kind 255 (kept, not sent)", fresh, [] { return KLIASetIaResult(255, g_buffer) & 0xFF; }, 1,
      kNothing);
  add("KLIAMakeUserXID", "8 bytes", fresh,
      [] {
        uint8_t xid[4];
        return KLIAMakeUserXID(8, g_buffer, xid) & 0xFF;
      },
      1, MakeUserXid(8));
  return rows;
}

}  // namespace

namespace {

std::string Escape(const std::string &s) {
  std::string out;
  for (char c : s) {
    if (c == '|') out += '\\';
    out += c;
  }
  return out;
}

// The table, and how many rows differ from their minimum or gave an unexpected result.
std::string Table(int &failures) {
  std::ostringstream out;
  out << "| Export | Case | Sent | Commands | Link bytes | Protocol minimum | Min. commands | Min. bytes | |\n"
      << "|---|---|---|--:|--:|---|--:|--:|---|\n";
  failures = 0;
  for (const Row &row : Rows()) {
    const Measured m = Run(row);
    std::string mark = "at minimum";
    if (m.result != row.expected) {
      mark = "**unexpected result " + std::to_string(m.result) + "**";
    } else if (m.traffic.commands > row.minimum.traffic.commands || m.traffic.bytes > row.minimum.traffic.bytes) {
      mark = "**ABOVE MINIMUM**";
    } else if (!(m.traffic == row.minimum.traffic)) {
      mark = "**below minimum**";
    }
    if (mark != "at minimum") ++failures;
    out << "| `" << row.exported << "` | " << Escape(row.situation) << " | "
        << (m.sequence.empty() ? "—" : m.sequence) << " | " << m.traffic.commands << " | " << m.traffic.bytes << " | "
        << (row.minimum.text.empty() ? "nothing" : row.minimum.text) << " | " << row.minimum.traffic.commands
        << " | " << row.minimum.traffic.bytes << " | " << mark << " |\n";
  }
  mviahlp::ResetLibraryState();
  return out.str();
}

constexpr const char *kBegin = "<!-- traffic-table:begin (generated by traffic_table --update; do not edit) -->";
constexpr const char *kEnd = "<!-- traffic-table:end -->";

bool Update(const std::string &path, const std::string &table) {
  std::ifstream in(path);
  if (!in) {
    std::cerr << "traffic_table: cannot read " << path << "\n";
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  const std::string s = text.str();
  const size_t begin = s.find(kBegin);
  const size_t end = s.find(kEnd);
  if (begin == std::string::npos || end == std::string::npos || end < begin) {
    std::cerr << "traffic_table: " << path << " has no traffic-table markers\n";
    return false;
  }
  const std::string updated = s.substr(0, begin) + kBegin + "\n" + table + "\n" + s.substr(end);
  std::ofstream out(path, std::ios::trunc);
  out << updated;
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char **argv) {
  bool check = false;
  const char *update = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--check") == 0) {
      check = true;
    } else if (std::strcmp(argv[i], "--update") == 0 && i + 1 < argc) {
      update = argv[++i];
    } else {
      std::cerr << "usage: traffic_table [--check] [--update FILE]\n";
      return 2;
    }
  }
  int failures = 0;
  const std::string table = Table(failures);
  std::cout << table;
  if (update != nullptr && !Update(update, table)) return 2;
  if (failures != 0) std::cerr << "traffic_table: " << failures << " row(s) not at their minimum\n";
  return check && failures != 0 ? 1 : 0;
}
