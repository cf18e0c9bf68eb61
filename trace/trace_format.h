// The board trace format: one JSON object per line (JSON Lines), UTF-8, written by the spy
// transport and by the virtual board, read by klia and by the spy's replay mode.
//
//   {"type":"header","format":"hwlink-trace","version":"1.1","writer":"hwlink-spy 1.0.0",
//    "source":"spy","pid":4711,"start_us":1765375200000000}
//   {"type":"exchange","seq":1,"pid":4711,"start_us":...,"duration_us":38,"entry":1000,
//    "command":16,"param_length":0,"param":"","out_length":0,"out":"","in_length":51,
//    "in":"2301...","status":0,"aux":0,"result":1}
//   {"type":"note","pid":4711,"start_us":...,"text":"..."}
//
// Every process that writes to a trace starts with its own header, so a file that several
// processes appended to holds several sessions. Byte blocks are lowercase hex strings; a
// block the writer withheld is {"redacted":N} (N its length); a block that was not there
// (a null address, or incoming bytes of a call that did not succeed) is null. A call that the
// spy's read-only guard kept from the board is an exchange marked "guarded":true (answered
// "no exchange"); a header says "guard":"read-only" when its writer guarded. See
// trace/README.md for the meaning of every field.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace hwtrace {

inline constexpr char kFormatName[] = "hwlink-trace";
inline constexpr int kFormatMajor = 1;
// 1.1 added the guard: "guard" in the header, "guarded" in an exchange. Readers of 1.0 skip
// both and read a guarded exchange as the "no exchange" that the caller saw.
inline constexpr int kFormatMinor = 1;
inline constexpr char kFormatVersion[] = "1.1";

// Ordinals of the two transport entry points.
inline constexpr uint16_t kEntryTransfer = 1000;
inline constexpr uint16_t kEntryTransferEx = 1002;

// A byte block of an exchange: its bytes, or only its length when they were withheld, or
// nothing at all.
struct Block {
  enum class Kind : uint8_t { kAbsent, kBytes, kRedacted };
  Kind kind = Kind::kAbsent;
  uint32_t length = 0;        // the block's length (for kRedacted and kBytes)
  std::vector<uint8_t> data;  // kBytes only

  static Block Absent() { return {}; }
  static Block Bytes(const uint8_t *bytes, uint32_t length);
  static Block Redacted(uint32_t length) { return {Kind::kRedacted, length, {}}; }
  bool present() const { return kind != Kind::kAbsent; }
  bool redacted() const { return kind == Kind::kRedacted; }
};

struct Header {
  int major = kFormatMajor;
  int minor = kFormatMinor;
  std::string writer;  // e.g. "hwlink-spy 1.0.0"
  std::string source;  // "spy", "vboard", "replay"
  std::string guard;   // "read-only" when the writer kept every other command from the board; "" none
  uint32_t pid = 0;
  uint64_t start_us = 0;
  uint32_t line = 0;  // line in the file (reader only)
};

// One transport call.
struct Exchange {
  uint64_t seq = 0;  // from 1 in each writing process
  uint32_t pid = 0;
  uint64_t start_us = 0;     // wall clock, microseconds since 1970-01-01 UTC
  uint64_t duration_us = 0;  // time spent in the transport
  uint16_t entry = kEntryTransfer;
  uint8_t command = 0;
  uint8_t param_length = 0;
  Block param;
  uint16_t out_length = 0;
  Block out;
  uint16_t in_length = 0;
  Block in;                     // what the transport wrote: present only when it answered status 0
  std::optional<uint8_t> status;  // written when the result is true
  std::optional<uint8_t> aux;     // the aux byte after the call (null address: none)
  uint32_t result = 0;            // the call's result as returned (true when its low byte is not 0)
  bool guarded = false;           // the spy's read-only guard kept the call from the board
  uint32_t line = 0;              // line in the file (reader only)

  bool succeeded() const { return (result & 0xFF) != 0; }
};

struct Note {
  uint32_t pid = 0;
  uint64_t start_us = 0;
  std::string text;
  uint32_t line = 0;
};

struct Trace {
  std::vector<Header> headers;  // one per writing session, in file order
  std::vector<Exchange> exchanges;
  std::vector<Note> notes;
  // Set when the last line ends without its newline and does not parse: a writer was cut
  // off in the middle of a record (a full disk). The records before it are whole.
  std::string warning;
};

// An unreadable trace: what is wrong and where.
class TraceError : public std::runtime_error {
 public:
  TraceError(const std::string &what, uint32_t line = 0);
  uint32_t line() const { return line_; }

 private:
  uint32_t line_;
};

// An exchange as a writer hands it over: the blocks are the caller's own bytes, not copies,
// so that recording a call costs one pass over its bytes.
struct BlockView {
  Block::Kind kind = Block::Kind::kAbsent;
  uint32_t length = 0;
  const uint8_t *data = nullptr;  // kBytes only

  static BlockView Of(const Block &block) { return {block.kind, block.length, block.data.data()}; }
};
struct ExchangeView {
  uint64_t seq = 0;
  uint32_t pid = 0;
  uint64_t start_us = 0;
  uint64_t duration_us = 0;
  uint16_t entry = kEntryTransfer;
  uint8_t command = 0;
  uint8_t param_length = 0;
  BlockView param;
  uint16_t out_length = 0;
  BlockView out;
  uint16_t in_length = 0;
  BlockView in;
  std::optional<uint8_t> status;
  std::optional<uint8_t> aux;
  uint32_t result = 0;
  bool guarded = false;
};

// A record of its own, with copies of the bytes.
Block ToBlock(const BlockView &view);
Exchange ToExchange(const ExchangeView &view);

// Writing: each function returns (or appends to `line`) one whole line, newline included.
std::string EncodeHeader(const Header &header);
std::string EncodeExchange(const Exchange &exchange);
void AppendExchange(std::string &line, const ExchangeView &exchange);
std::string EncodeNote(const Note &note);

// Reading. Throws TraceError on anything that is not a trace of a version this reader
// knows: the first record must be a header, every line one record of a known type with
// fields of the right types and ranges.
Trace ParseTrace(std::string_view text);
Trace ReadTraceFile(const std::string &path);  // also TraceError when the file cannot be read

// The hex text of bytes, lowercase.
std::string Hex(const uint8_t *bytes, size_t length);

}  // namespace hwtrace
