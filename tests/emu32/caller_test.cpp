// The emulated caller itself: it loads the 32-bit mviahlp.dll as Windows would, runs its code
// with the calling contract checked, reaches the transport by ordinal, and stops with the
// function named on each fault it exists to catch (the broken DLLs of broken/).
//
// The same session runs through the native library (linked here) and through the emulated DLL
// on one virtual board, so every result and every board command can be compared.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "emulated_dll.h"
#include "mviahlp.h"
#include "vboard.h"

namespace emu32 {
namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::HasSubstr;

const std::string kDll = MVIAHLP_EMU32_DLL_FILE;
std::string BrokenDll(const std::string &name) { return std::string(MVIAHLP_EMU32_BROKEN_DIR) + "/" + name; }

// The exports of the public header: ordinal, name, number of 32-bit argument slots.
struct ExportEntry {
  uint16_t ordinal;
  const char *name;
  unsigned arguments;
};
constexpr ExportEntry kExports[] = {
    {1, "Today", 0},
    {2, "KLIAMakeUserXID", 3},
    {3, "KLIASetRTCDateTime", 1},
    {4, "KLIAGetRTCDateTime", 1},
    {5, "KLIASetWDTimeout", 1},
    {6, "KLIAGetWDTimeout", 1},
    {7, "KLIAClearLog", 0},
    {8, "KLIAWriteConfigData", 1},
    {9, "KLIAReadConfigData", 1},
    {10, "KLIAReadHwStep", 1},
    {11, "KLIAWriteHwStep", 1},
    {12, "KLIASetIaResult", 2},
    {13, "KLIAChangeUserPassword", 2},
    {14, "KLIAFormatDatabase", 2},
    {15, "KLIAFlush", 0},
    {16, "KLIAWriteDataEx", 5},
    {17, "KLIAWriteData", 5},
    {18, "KLIAReadDataEx", 5},
    {19, "KLIAReadData", 5},
    {20, "KLIAWriteUserData", 2},
    {21, "KLIAReadUserData", 2},
    {22, "KLIALogout", 0},
    {23, "KLIALogin", 3},
    {24, "KLIAGetCurrentUser", 2},
    {25, "KLIAGetInfo", 1},
    {26, "KLIADriverPresent", 0},
    {27, "KLIAGetErrorState", 3},
};

// The board commands of the trace since the last clear, as comparable text.
std::vector<std::string> TraceText() {
  std::vector<std::string> lines;
  for (uint32_t i = 0; i < VBoardTraceCount(); ++i) {
    VBoardTraceEntry entry{};
    VBoardTraceGet(i, &entry);
    std::string line = "cmd " + std::to_string(entry.command) + (entry.extended ? " ex" : "") + " param";
    for (unsigned b = 0; b < entry.param_length && b < sizeof entry.param; ++b)
      line += " " + std::to_string(entry.param[b]);
    line += " out " + std::to_string(entry.out_length) + ":";
    for (unsigned b = 0; b < entry.out_length && entry.out != nullptr; ++b) line += " " + std::to_string(entry.out[b]);
    line += " in " + std::to_string(entry.in_length) + " status " + std::to_string(entry.status);
    lines.push_back(line);
  }
  return lines;
}

void FreshBoard() {
  VBoardGeometry geometry{};
  VBoardMakeGeometry(7, 20, 4, 256, &geometry);
  ASSERT_TRUE(VBoardCreate(&geometry));
}

class EmulatedCaller : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(kDll)) << kDll << " is missing: build it with the win32 preset "
                                               << "(cmake --build build/win32 --target mviahlp)";
    FreshBoard();
  }

  // A record of `size` bytes staged for one call, and read back after it.
  uint32_t Stage(EmulatedDll &dll, const Bytes &bytes) { return dll.Stage(bytes.data(), bytes.size()); }
  Bytes ReadBack(EmulatedDll &dll, uint32_t address, size_t size) {
    Bytes bytes(size);
    dll.Read(address, bytes.data(), size);
    return bytes;
  }
};

TEST_F(EmulatedCaller, ExportsEveryFunctionAtItsOrdinalUnderItsName) {
  EmulatedDll dll(kDll);
  for (const ExportEntry &entry : kExports) {
    SCOPED_TRACE(entry.name);
    const auto found = dll.Image().Exports().find(entry.ordinal);
    ASSERT_NE(found, dll.Image().Exports().end());
    EXPECT_EQ(found->second.name, entry.name);
  }
  EXPECT_EQ(dll.Image().Exports().size(), std::size(kExports));
}

// The day number the DLL computes from GetLocalTime is the native library's (around midnight
// the native value is taken before and after).
TEST_F(EmulatedCaller, TodayMatchesTheNativeLibrary) {
  EmulatedDll dll(kDll);
  const int32_t before = Today();
  const auto emulated = static_cast<int32_t>(dll.Call(1, "Today", {}));
  const int32_t after = Today();
  EXPECT_TRUE(emulated == before || emulated == after) << emulated << " vs " << before;
  EXPECT_GT(emulated, 153000);  // a day after 2018
}

// Every export, called unbound with null addresses, keeps the contract: the checks in Call
// would throw naming it otherwise. Unbound, each returns 0 and touches nothing.
TEST_F(EmulatedCaller, EveryExportKeepsTheCallingContract) {
  EmulatedDll dll(kDll);
  for (const ExportEntry &entry : kExports) {
    SCOPED_TRACE(entry.name);
    const std::vector<uint32_t> args(entry.arguments, 0);
    EXPECT_NO_THROW(dll.Call(entry.ordinal, entry.name, args));
  }
  dll.ResetStaging();
  const uint32_t state = Stage(dll, Bytes(6, 0xEE));
  dll.Call(27, "KLIAGetErrorState", {state, state + 2, state + 4});
  EXPECT_EQ(ReadBack(dll, state, 2), (Bytes{0x4C, 0x1D})) << "BindError KLIA_ERR_NOT_BOUND (7500)";
}

// The DLL at another base than its preferred one runs with its relocations applied.
TEST_F(EmulatedCaller, RunsRelocatedToAnotherBase) {
  EmulatedDll moved(kDll, LoadOptions{0x30000000});
  EXPECT_EQ(moved.Base(), 0x30000000u);
  EXPECT_NE(moved.Image().ImageBase(), 0x30000000u);
  EXPECT_EQ(moved.Call(26, "KLIADriverPresent", {}) & 0xFF, 1u);
  const uint32_t info = Stage(moved, Bytes(KLIA_INFO_RECORD_SIZE, 0));
  EXPECT_EQ(moved.Call(25, "KLIAGetInfo", {info}) & 0xFF, 1u);
  EXPECT_EQ(ReadBack(moved, info, 1), Bytes{0x0A}) << "the signature's first byte";
}

// One session, natively and emulated, on the same fresh board: the same results, the same
// records, the same board commands.
TEST_F(EmulatedCaller, SessionMatchesTheNativeLibraryCommandForCommand) {
  struct Step {
    const char *name;
    std::function<uint32_t(Bytes &)> native;
    std::function<uint32_t(EmulatedDll &, Bytes &)> emulated;
  };
  auto call_with = [this](EmulatedDll &dll, uint16_t ordinal, const char *name, Bytes &record,
                          std::function<std::vector<uint32_t>(uint32_t)> args) {
    dll.ResetStaging();
    const uint32_t address = Stage(dll, record);
    const uint32_t result = dll.Call(ordinal, name, args(address));
    dll.CheckStaging(name);
    record = ReadBack(dll, address, record.size());
    return result;
  };
  const Bytes user = [] {
    Bytes record(KLIA_USER_RECORD_SIZE, 0x11);
    record[0] = 5;
    std::memcpy(&record[1], "Ivan", 4);
    return record;
  }();
  const std::vector<Step> steps = {
      {"DriverPresent", [](Bytes &) { return KLIADriverPresent(); },
       [](EmulatedDll &dll, Bytes &) { return dll.Call(26, "KLIADriverPresent", {}); }},
      {"GetInfo",
       [](Bytes &r) {
         r.assign(58, 0xEE);
         return KLIAGetInfo(r.data());
       },
       [&](EmulatedDll &dll, Bytes &r) {
         r.assign(58, 0xEE);
         return call_with(dll, 25, "KLIAGetInfo", r, [](uint32_t a) { return std::vector<uint32_t>{a}; });
       }},
      {"FormatDatabase", [](Bytes &) { return KLIAFormatDatabase(0x1234, nullptr); },
       [](EmulatedDll &dll, Bytes &) {
         return dll.Call(14, "KLIAFormatDatabase", {0xA5A51234, 0});
       }},
      {"WriteUserData",
       [&](Bytes &r) {
         r = user;
         return KLIAWriteUserData(3, r.data());
       },
       [&](EmulatedDll &dll, Bytes &r) {
         r = user;
         return call_with(dll, 20, "KLIAWriteUserData", r, [](uint32_t a) {
           return std::vector<uint32_t>{0xA5A50003, a};
         });
       }},
      {"ReadUserData",
       [](Bytes &r) {
         r.assign(KLIA_USER_RECORD_SIZE, 0x77);
         return KLIAReadUserData(3, r.data());
       },
       [&](EmulatedDll &dll, Bytes &r) {
         r.assign(KLIA_USER_RECORD_SIZE, 0x77);
         return call_with(dll, 21, "KLIAReadUserData", r, [](uint32_t a) { return std::vector<uint32_t>{3, a}; });
       }},
      {"WriteDataAcrossPages",
       [](Bytes &r) {
         r.assign(600, 0);
         for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<uint8_t>(i * 7);
         uint16_t done = 0;
         return KLIAWriteDataEx(2, r.data(), 200, 600, &done);
       },
       [&](EmulatedDll &dll, Bytes &r) {
         r.assign(600, 0);
         for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<uint8_t>(i * 7);
         dll.ResetStaging();
         const uint32_t data = Stage(dll, r), done = Stage(dll, Bytes(2, 0));
         return dll.Call(16, "KLIAWriteDataEx", {0xA5A5A502, data, 200, 0xA5A50000 | 600, done});
       }},
      {"Flush",
       [](Bytes &) {
         KLIAFlush();
         return 0u;
       },
       [](EmulatedDll &dll, Bytes &) {
         dll.Call(15, "KLIAFlush", {});
         return 0u;
       }},
      {"ReadData",
       [](Bytes &r) {
         r.assign(700, 0x55);
         uint16_t done = 0;
         return KLIAReadData(2, r.data(), 100, 700, &done);
       },
       [&](EmulatedDll &dll, Bytes &r) {
         r.assign(700, 0x55);
         return call_with(dll, 19, "KLIAReadData", r, [&](uint32_t a) {
           const uint32_t done = Stage(dll, Bytes(2, 0));
           return std::vector<uint32_t>{2, a, 100, 700, done};
         });
       }},
      {"AppendLog",
       [](Bytes &r) {
         r = {'d', 'o', 'o', 'r'};
         return KLIAWriteData(3, r.data(), 0xFFFF, 4, nullptr);
       },
       [&](EmulatedDll &dll, Bytes &r) {
         r = {'d', 'o', 'o', 'r'};
         return call_with(dll, 17, "KLIAWriteData", r, [](uint32_t a) {
           return std::vector<uint32_t>{3, a, 0xFFFF, 4, 0};
         });
       }},
      {"Login refused",
       [](Bytes &r) {
         r.assign(8, 0x42);
         return KLIALogin(r.data(), r.data(), 0);
       },
       [&](EmulatedDll &dll, Bytes &r) {
         r.assign(8, 0x42);
         return call_with(dll, 23, "KLIALogin", r, [](uint32_t a) { return std::vector<uint32_t>{a, a, 0xA5A5A500}; });
       }},
      {"ErrorState",
       [](Bytes &r) {
         uint16_t state[3] = {0, 0, 0};
         KLIAGetErrorState(&state[0], &state[1], &state[2]);
         r.assign(6, 0);
         for (int i = 0; i < 3; ++i)
           r[2 * i] = static_cast<uint8_t>(state[i]), r[2 * i + 1] = static_cast<uint8_t>(state[i] >> 8);
         return 0u;
       },
       [&](EmulatedDll &dll, Bytes &r) {
         r.assign(6, 0);
         call_with(dll, 27, "KLIAGetErrorState", r, [](uint32_t a) { return std::vector<uint32_t>{a, a + 2, a + 4}; });
         return 0u;  // a function without a result
       }},
  };

  std::vector<std::vector<std::string>> native_traces;
  std::vector<std::pair<uint32_t, Bytes>> native_results;
  for (const Step &step : steps) {
    VBoardTraceClear();
    Bytes record;
    const uint32_t result = step.native(record);
    native_results.emplace_back(result & 0xFF, record);
    native_traces.push_back(TraceText());
  }
  KLIAFlush();

  FreshBoard();
  EmulatedDll dll(kDll);
  for (size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE(steps[i].name);
    VBoardTraceClear();
    Bytes record;
    const uint32_t result = steps[i].emulated(dll, record) & 0xFF;
    EXPECT_EQ(result, native_results[i].first);
    EXPECT_EQ(record, native_results[i].second);
    EXPECT_EQ(TraceText(), native_traces[i]);
  }
}

// The DLL's entry point at detach flushes a modified cached page, as at FreeLibrary.
TEST_F(EmulatedCaller, DetachWritesTheCachedPageToTheBoard) {
  EmulatedDll dll(kDll);
  ASSERT_EQ(dll.Call(26, "KLIADriverPresent", {}) & 0xFF, 1u);
  const Bytes data = {1, 2, 3, 4};
  const uint32_t address = Stage(dll, data), done = Stage(dll, Bytes(2, 0));
  ASSERT_EQ(dll.Call(16, "KLIAWriteDataEx", {0, address, 40, 4, done}) & 0xFF, 1u);
  Bytes page(4);
  VBoardPeek(1, 40, 4, page.data());
  EXPECT_NE(page, data) << "cached only, not yet on the board";
  VBoardTraceClear();
  dll.Detach();
  VBoardPeek(1, 40, 4, page.data());
  EXPECT_EQ(page, data);
  EXPECT_EQ(VBoardTraceCount(), 1u) << "one page written back";
}

// A write past a record's end (the guard bytes around each staged buffer) names the function.
TEST_F(EmulatedCaller, AWritePastTheCallersBufferIsNamed) {
  EmulatedDll dll(kDll);
  dll.Call(26, "KLIADriverPresent", {});
  dll.ResetStaging();
  const uint32_t short_record = Stage(dll, Bytes(50, 0));  // 8 bytes short of the InfoRecord
  dll.Call(25, "KLIAGetInfo", {short_record});
  try {
    dll.CheckStaging("KLIAGetInfo (ordinal 25)");
    FAIL() << "not caught";
  } catch (const EmuError &error) {
    EXPECT_THAT(error.what(), HasSubstr("KLIAGetInfo (ordinal 25): wrote outside the 50-byte buffer"));
  }
}

// ---- the deliberately broken DLLs (broken/), each caught with the function named -------------

TEST_F(EmulatedCaller, AnExportCompiledCdeclIsNamedWithItsStackImbalance) {
  EmulatedDll dll(BrokenDll("mviahlp-broken-cdecl.dll"));
  const uint32_t info = Stage(dll, Bytes(KLIA_INFO_RECORD_SIZE, 0));
  try {
    dll.Call(25, "KLIAGetInfo", {info});
    FAIL() << "not caught";
  } catch (const EmuError &error) {
    EXPECT_THAT(error.what(), HasSubstr("KLIAGetInfo (ordinal 25): breaks the standard calling convention: the callee "
                                        "popped 0 bytes of arguments on return, 4 expected (compiled cdecl?)"));
  }
}

TEST_F(EmulatedCaller, TheTransportImportedByNameRefusesTheLoadNamingIt) {
  try {
    EmulatedDll dll(BrokenDll("mviahlp-broken-by-name.dll"));
    FAIL() << "loaded";
  } catch (const EmuError &error) {
    EXPECT_THAT(error.what(), HasSubstr("imports HWLINK32.DLL!HwTransfer by name"));
  }
}

// The record KLIAGetInfo writes with another packing differs from the native library's record
// of the same board from the check word on; the signature before it still matches.
TEST_F(EmulatedCaller, ARecordWrittenWithAnotherPackingDiffersFromTheNativeOne) {
  ASSERT_EQ(KLIADriverPresent() & 0xFF, 1u);
  Bytes native(KLIA_INFO_RECORD_SIZE, 0);
  ASSERT_EQ(KLIAGetInfo(native.data()) & 0xFF, 1u);
  EmulatedDll dll(BrokenDll("mviahlp-broken-packing.dll"));
  dll.Call(26, "KLIADriverPresent", {});
  const uint32_t info = Stage(dll, Bytes(KLIA_INFO_RECORD_SIZE, 0));
  ASSERT_EQ(dll.Call(25, "KLIAGetInfo", {info}) & 0xFF, 1u);
  const Bytes emulated = ReadBack(dll, info, KLIA_INFO_RECORD_SIZE);
  EXPECT_TRUE(std::equal(native.begin(), native.begin() + KLIA_INFO_CHECK_WORD, emulated.begin()));
  EXPECT_NE(emulated[KLIA_INFO_STATE_CLASS], native[KLIA_INFO_STATE_CLASS]) << "KLIAGetInfo's state class moved";
  EXPECT_NE(emulated, native);
}

// ---- the transport found at run time -------------------------------------------------------

// LoadLibraryA("HWLINK32.DLL") and GetProcAddress by ordinal 1000 reach the native transport,
// which answers the board's information block; by name, or by another ordinal, the call fails
// naming the request.
TEST_F(EmulatedCaller, GetProcAddressReachesTheTransportByItsOrdinalsOnly) {
  EmulatedDll probe(BrokenDll("emu32-transport-probe.dll"));
  const uint32_t info = Stage(probe, Bytes(51, 0)), status = Stage(probe, Bytes{0xEE});
  EXPECT_EQ(probe.Call(3, "ProbeTransfer", {info, status}) & 0xFF, 1u);
  EXPECT_EQ(ReadBack(probe, status, 1), Bytes{0});
  Bytes board(51);
  VBoardGetInfoBlock(board.data());
  EXPECT_EQ(ReadBack(probe, info, 51), board);
  EXPECT_EQ(probe.Call(1, "ProbeByOrdinal", {1002}), 1u);

  const struct {
    uint16_t ordinal;
    const char *name;
    std::vector<uint32_t> args;
    const char *named;
  } refused[] = {
      {1,
       "ProbeByOrdinal",
       {1001},
       "GetProcAddress(HWLINK32.DLL, ordinal 1001): the transport is reached by ordinal 1000 and 1002 only"},
      {2,
       "ProbeByName",
       {},
       "GetProcAddress(HWLINK32.DLL, \"HwTransfer\"): the transport is reached by ordinal, never by name"},
  };
  for (const auto &c : refused) {
    SCOPED_TRACE(c.named);
    EmulatedDll dll(BrokenDll("emu32-transport-probe.dll"));
    try {
      dll.Call(c.ordinal, c.name, c.args);
      ADD_FAILURE() << "not caught";
    } catch (const EmuError &error) {
      EXPECT_THAT(error.what(), HasSubstr(c.named));
    }
  }
}

// ---- files the caller refuses, each with a clear error --------------------------------------

std::string TemporaryCopy(const std::string &name, const std::function<void(std::vector<char> &)> &edit) {
  std::ifstream in(kDll, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  edit(bytes);
  const auto path = std::filesystem::temp_directory_path() / ("emu32-" + std::to_string(::getpid()) + "-" + name);
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path.string();
}

void ReplaceOnce(std::vector<char> &bytes, const std::string &from, const std::string &to) {
  const auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
  ASSERT_NE(at, bytes.end()) << from;
  std::copy(to.begin(), to.end(), at);
}

TEST_F(EmulatedCaller, AnImportItDoesNotProvideRefusesTheLoadByName) {
  const std::string path = TemporaryCopy("import.dll", [](std::vector<char> &bytes) {
    ReplaceOnce(bytes, std::string("Sleep\0", 6), std::string("Sleeq\0", 6));
  });
  try {
    EmulatedDll dll(path);
    FAIL() << "loaded";
  } catch (const EmuError &error) {
    EXPECT_THAT(error.what(), HasSubstr("imports KERNEL32.dll!Sleeq, which the emulated caller does not provide"));
  }
  std::filesystem::remove(path);
}

TEST_F(EmulatedCaller, FilesThatAreNoThirtyTwoBitDllAreRefusedWithTheCause) {
  const struct {
    const char *name;
    std::function<void(std::vector<char> &)> edit;
    const char *cause;
  } cases[] = {
      {"empty.dll", [](std::vector<char> &bytes) { bytes.clear(); }, "no MZ header"},
      {"truncated.dll", [](std::vector<char> &bytes) { bytes.resize(0x100); }, "truncated"},
      {"machine.dll",
       [](std::vector<char> &bytes) {
         const uint32_t pe = static_cast<uint8_t>(bytes[0x3C]) | static_cast<uint8_t>(bytes[0x3D]) << 8;
         bytes[pe + 4] = static_cast<char>(0x64), bytes[pe + 5] = static_cast<char>(0x86);
       },
       "not a 32-bit x86 file"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = TemporaryCopy(c.name, c.edit);
    try {
      EmulatedDll dll(path);
      ADD_FAILURE() << "loaded";
    } catch (const PeError &error) {
      EXPECT_THAT(error.what(), HasSubstr(c.cause));
    }
    std::filesystem::remove(path);
  }
  EXPECT_THROW(EmulatedDll("/nonexistent/mviahlp.dll"), PeError);
}

}  // namespace
}  // namespace emu32
