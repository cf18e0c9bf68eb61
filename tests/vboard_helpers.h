// C++ conveniences over the virtual board's control interface (vboard.h) for tests: the trace
// as values, gmock matchers for board commands, direct memory access and fault makers.
//
//   EXPECT_THAT(BoardTrace(), ElementsAre(IsCommand(16, {}), IsReadMemory(3, 0, 4)));
//   EXPECT_EQ(BoardTrace().back(), ReadMemoryCmd(8, 0, 256));
//   AddFault(FaultOn(/*command*/ 21, /*status*/ 7, /*nth*/ 2));
//
// The matchers check the command and its parameter block (and lengths), never the data sent:
// check data explicitly through TraceEntry::out where a test is about it.
#pragma once

#include <gmock/gmock.h>

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <vector>

#include "vboard.h"

namespace mviahlp::testing {

// One transport call as the board saw it.
struct TraceEntry {
  uint8_t command = 0;
  bool extended = false;           // HwTransferEx
  std::vector<uint8_t> param;      // the parameter block (its first 16 bytes)
  std::vector<uint8_t> out;        // the outgoing data
  uint16_t in_length = 0;
  uint8_t status = 0;              // the status answered (meaningless when !transport_ok)
  bool transport_ok = true;
  bool operator==(const TraceEntry &) const = default;
};

inline void PrintTo(const TraceEntry &e, std::ostream *os) {
  auto hex = [os](const std::vector<uint8_t> &bytes, size_t limit) {
    char text[4];
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
      std::snprintf(text, sizeof text, i == 0 ? "%02X" : " %02X", bytes[i]);
      *os << text;
    }
    if (bytes.size() > limit) *os << " ...";
  };
  *os << "{command " << int(e.command) << (e.extended ? " (Ex)" : "") << ", param [";
  hex(e.param, 16);
  *os << "], out " << e.out.size() << " [";
  hex(e.out, 8);
  *os << "], in " << e.in_length;
  if (e.transport_ok) {
    *os << " -> status " << int(e.status) << "}";
  } else {
    *os << " -> transport failed}";
  }
}

inline std::vector<TraceEntry> BoardTrace() {
  std::vector<TraceEntry> trace;
  const uint32_t count = VBoardTraceCount();
  for (uint32_t i = 0; i < count; ++i) {
    VBoardTraceEntry raw{};
    if (!VBoardTraceGet(i, &raw)) break;
    TraceEntry entry;
    entry.command = raw.command;
    entry.extended = raw.extended != 0;
    entry.param.assign(raw.param, raw.param + (raw.param_length < 16 ? raw.param_length : 16));
    if (raw.out != nullptr) entry.out.assign(raw.out, raw.out + raw.out_length);
    entry.in_length = raw.in_length;
    entry.status = raw.status;
    entry.transport_ok = raw.transport_ok != 0;
    trace.push_back(std::move(entry));
  }
  return trace;
}

// Board memory, bypassing trace and faults. A failed peek or poke fails the test.
inline std::vector<uint8_t> PeekBoard(uint32_t page, uint32_t offset, uint32_t length) {
  std::vector<uint8_t> bytes(length);
  EXPECT_TRUE(VBoardPeek(page, offset, length, bytes.data())) << "peek page " << page << " offset " << offset;
  return bytes;
}

inline void PokeBoard(uint32_t page, uint32_t offset, const std::vector<uint8_t> &bytes) {
  EXPECT_TRUE(VBoardPoke(page, offset, static_cast<uint32_t>(bytes.size()), bytes.data()))
      << "poke page " << page << " offset " << offset;
}

// The 51 bytes board command 16 would answer now.
inline std::vector<uint8_t> BoardInfoBlock() {
  std::vector<uint8_t> info(51);
  VBoardGetInfoBlock(info.data());
  return info;
}

// The memory address block of board commands 21 and 22.
inline std::vector<uint8_t> MemoryAddress(uint16_t page, uint16_t offset, uint16_t count) {
  return {uint8_t(page), uint8_t(page >> 8), uint8_t(offset), uint8_t(offset >> 8), uint8_t(count),
          uint8_t(count >> 8)};
}

// Board command `command` with exactly this parameter block.
inline ::testing::Matcher<const TraceEntry &> IsCommand(uint8_t command, std::vector<uint8_t> param) {
  using ::testing::Field;
  return ::testing::AllOf(Field("command", &TraceEntry::command, command),
                          Field("param", &TraceEntry::param, std::move(param)));
}

// Board command 21 through HwTransferEx expecting `count` bytes.
inline ::testing::Matcher<const TraceEntry &> IsReadMemory(uint16_t page, uint16_t offset, uint16_t count) {
  using ::testing::Field;
  return ::testing::AllOf(IsCommand(21, MemoryAddress(page, offset, count)),
                          Field("extended", &TraceEntry::extended, true),
                          Field("out", &TraceEntry::out, ::testing::IsEmpty()),
                          Field("in_length", &TraceEntry::in_length, count));
}

// Board command 22 through HwTransferEx sending `count` bytes (whatever they are).
inline ::testing::Matcher<const TraceEntry &> IsWriteMemory(uint16_t page, uint16_t offset, uint16_t count) {
  using ::testing::Field;
  return ::testing::AllOf(IsCommand(22, MemoryAddress(page, offset, count)),
                          Field("extended", &TraceEntry::extended, true),
                          Field("out", &TraceEntry::out, ::testing::SizeIs(count)),
                          Field("in_length", &TraceEntry::in_length, 0));
}

// The whole entry of a successful board command 21, for EXPECT_EQ.
inline TraceEntry ReadMemoryCmd(uint16_t page, uint16_t offset, uint16_t count) {
  TraceEntry entry;
  entry.command = 21;
  entry.extended = true;
  entry.param = MemoryAddress(page, offset, count);
  entry.in_length = count;
  return entry;
}

// The whole entry of a successful board command 22 sending `data`, for EXPECT_EQ.
inline TraceEntry WriteMemoryCmd(uint16_t page, uint16_t offset, std::vector<uint8_t> data) {
  TraceEntry entry;
  entry.command = 22;
  entry.extended = true;
  entry.param = MemoryAddress(page, offset, static_cast<uint16_t>(data.size()));
  entry.out = std::move(data);
  return entry;
}

// The board answers `status` to command `command` (0: any): the nth such command from now,
// or with nth 0 every one (at most `times` times, 0: no limit).
inline VBoardFault FaultOn(uint8_t command, uint8_t status, uint32_t nth = 0, uint32_t times = 0) {
  VBoardFault fault{};
  fault.nth = nth;
  fault.command = command;
  fault.status = status;
  fault.times = times;
  return fault;
}

// The transport call fails (returns false), optionally scribbling 0xA5 over the incoming
// buffer and the status byte.
inline VBoardFault TransportFailureOn(uint8_t command, bool scribble = false, uint32_t nth = 0,
                                      uint32_t times = 0) {
  VBoardFault fault = FaultOn(command, 0, nth, times);
  fault.transport_fails = 1;
  fault.scribble = scribble ? 1 : 0;
  return fault;
}

inline void AddFault(const VBoardFault &fault) { VBoardAddFault(&fault); }

}  // namespace mviahlp::testing
