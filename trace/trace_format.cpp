#include "trace_format.h"

#include <array>
#include <charconv>
#include <cstring>
#include <limits>

#include <nlohmann/json.hpp>

#include "trace_file.h"

namespace hwtrace {

Block Block::Bytes(const uint8_t *bytes, uint32_t length) {
  Block block;
  block.kind = Kind::kBytes;
  block.length = length;
  if (length != 0) block.data.assign(bytes, bytes + length);
  return block;
}

TraceError::TraceError(const std::string &what, uint32_t line)
    : std::runtime_error(line != 0 ? "line " + std::to_string(line) + ": " + what : what), line_(line) {}

// ---------------------------------------------------------------------------------------
// Writing. Lines are put together by hand: the spy writes one per transport call and must
// cost little beside it.

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// The two hex digits of every byte value, so that blocks are written two characters at a time.
constexpr std::array<char, 512> kHexPairs = [] {
  std::array<char, 512> pairs{};
  for (size_t byte = 0; byte < 256; ++byte) {
    pairs[2 * byte] = kHexDigits[byte >> 4];
    pairs[2 * byte + 1] = kHexDigits[byte & 15];
  }
  return pairs;
}();

// Writes 2 * length hex digits at `to`.
void PutHex(char *to, const uint8_t *bytes, size_t length) {
  for (size_t i = 0; i < length; ++i, to += 2) std::memcpy(to, &kHexPairs[2 * size_t{bytes[i]}], 2);
}

void AppendNumber(std::string &line, uint64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  line.append(digits, end);
}

void AppendField(std::string &line, const char *name, uint64_t value) {
  line += ",\"";
  line += name;
  line += "\":";
  AppendNumber(line, value);
}

// A JSON string. Bytes above 0x7F are written as \u00XX, so that any bytes (a path in some
// code page) give valid JSON.
void AppendString(std::string &line, std::string_view text) {
  line += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '"' || byte == '\\') {
      line += '\\';
      line += c;
    } else if (byte < 0x20 || byte >= 0x80) {
      line += "\\u00";
      line += kHexDigits[byte >> 4];
      line += kHexDigits[byte & 15];
    } else {
      line += c;
    }
  }
  line += '"';
}

void AppendBlock(std::string &line, const char *name, const BlockView &block) {
  line += ",\"";
  line += name;
  line += "\":";
  switch (block.kind) {
    case Block::Kind::kAbsent:
      line += "null";
      break;
    case Block::Kind::kRedacted:
      line += "{\"redacted\":";
      AppendNumber(line, block.length);
      line += '}';
      break;
    case Block::Kind::kBytes: {
      const size_t at = line.size();
      line.resize(at + 2 + 2 * static_cast<size_t>(block.length));
      char *p = line.data() + at;
      p[0] = '"';
      PutHex(p + 1, block.data, block.length);
      p[1 + 2 * static_cast<size_t>(block.length)] = '"';
      break;
    }
  }
}

void AppendOptional(std::string &line, const char *name, const std::optional<uint8_t> &value) {
  if (value) {
    AppendField(line, name, *value);
  } else {
    line += ",\"";
    line += name;
    line += "\":null";
  }
}

}  // namespace

std::string Hex(const uint8_t *bytes, size_t length) {
  std::string text(2 * length, '0');
  PutHex(text.data(), bytes, length);
  return text;
}

std::string EncodeHeader(const Header &header) {
  std::string line = "{\"type\":\"header\",\"format\":";
  AppendString(line, kFormatName);
  line += ",\"version\":";
  AppendString(line, std::to_string(header.major) + "." + std::to_string(header.minor));
  line += ",\"writer\":";
  AppendString(line, header.writer);
  line += ",\"source\":";
  AppendString(line, header.source);
  if (!header.guard.empty()) {
    line += ",\"guard\":";
    AppendString(line, header.guard);
  }
  AppendField(line, "pid", header.pid);
  AppendField(line, "start_us", header.start_us);
  line += "}\n";
  return line;
}

void AppendExchange(std::string &line, const ExchangeView &x) {
  line.reserve(line.size() + 400 + 2 * (static_cast<size_t>(x.param.length) + x.out.length + x.in.length));
  line += "{\"type\":\"exchange\"";
  AppendField(line, "seq", x.seq);
  AppendField(line, "pid", x.pid);
  AppendField(line, "start_us", x.start_us);
  AppendField(line, "duration_us", x.duration_us);
  AppendField(line, "entry", x.entry);
  AppendField(line, "command", x.command);
  AppendField(line, "param_length", x.param_length);
  AppendBlock(line, "param", x.param);
  AppendField(line, "out_length", x.out_length);
  AppendBlock(line, "out", x.out);
  AppendField(line, "in_length", x.in_length);
  AppendBlock(line, "in", x.in);
  AppendOptional(line, "status", x.status);
  AppendOptional(line, "aux", x.aux);
  AppendField(line, "result", x.result);
  if (x.guarded) line += ",\"guarded\":true";  // only when set: older readers skip it
  line += "}\n";
}

Block ToBlock(const BlockView &view) {
  switch (view.kind) {
    case Block::Kind::kAbsent: return Block::Absent();
    case Block::Kind::kRedacted: return Block::Redacted(view.length);
    case Block::Kind::kBytes: return Block::Bytes(view.data, view.length);
  }
  return Block::Absent();
}

namespace {

// The fields that an exchange and its view hold alike: everything but the three blocks.
template <class From, class To>
void CopyScalarFields(const From &from, To &to) {
  to.seq = from.seq;
  to.pid = from.pid;
  to.start_us = from.start_us;
  to.duration_us = from.duration_us;
  to.entry = from.entry;
  to.command = from.command;
  to.param_length = from.param_length;
  to.out_length = from.out_length;
  to.in_length = from.in_length;
  to.status = from.status;
  to.aux = from.aux;
  to.result = from.result;
  to.guarded = from.guarded;
}

}  // namespace

Exchange ToExchange(const ExchangeView &view) {
  Exchange x;
  CopyScalarFields(view, x);
  x.param = ToBlock(view.param);
  x.out = ToBlock(view.out);
  x.in = ToBlock(view.in);
  return x;
}

std::string EncodeExchange(const Exchange &x) {
  ExchangeView view;
  CopyScalarFields(x, view);
  view.param = BlockView::Of(x.param);
  view.out = BlockView::Of(x.out);
  view.in = BlockView::Of(x.in);
  std::string line;
  AppendExchange(line, view);
  return line;
}

std::string EncodeNote(const Note &note) {
  std::string line = "{\"type\":\"note\"";
  AppendField(line, "pid", note.pid);
  AppendField(line, "start_us", note.start_us);
  line += ",\"text\":";
  AppendString(line, note.text);
  line += "}\n";
  return line;
}

// ---------------------------------------------------------------------------------------
// Reading.

namespace {

using nlohmann::json;

// Longest line a writer produces: two 65535-byte blocks in hex and the rest.
constexpr size_t kMaxLineLength = 1 << 20;

class LineReader {
 public:
  LineReader(const json &object, uint32_t line) : object_(object), line_(line) {}

  const json &Field(const char *name) const {
    const auto it = object_.find(name);
    if (it == object_.end()) throw TraceError(std::string("the field \"") + name + "\" is missing", line_);
    return *it;
  }

  uint64_t Unsigned(const char *name, uint64_t max) const {
    const json &value = Field(name);
    if (!value.is_number_unsigned()) {
      throw TraceError(std::string("the field \"") + name + "\" is not a whole number of 0 or more", line_);
    }
    const uint64_t number = value.get<uint64_t>();
    if (number > max) {
      throw TraceError(std::string("the field \"") + name + "\" is " + std::to_string(number) + ", more than " +
                           std::to_string(max),
                       line_);
    }
    return number;
  }

  // A true/false field that older writers leave out (then false).
  bool OptionalFlag(const char *name) const {
    const auto it = object_.find(name);
    if (it == object_.end()) return false;
    if (!it->is_boolean()) throw TraceError(std::string("the field \"") + name + "\" is not true or false", line_);
    return it->get<bool>();
  }

  std::optional<uint8_t> OptionalByte(const char *name) const {
    if (Field(name).is_null()) return std::nullopt;
    return static_cast<uint8_t>(Unsigned(name, 255));
  }

  // A text field that older writers leave out (then empty).
  std::string OptionalText(const char *name) const {
    return object_.find(name) == object_.end() ? std::string() : Text(name);
  }

  std::string Text(const char *name) const {
    const json &value = Field(name);
    if (!value.is_string()) throw TraceError(std::string("the field \"") + name + "\" is not a text", line_);
    return value.get<std::string>();
  }

  // A byte block whose length must be `length`.
  Block Bytes(const char *name, uint32_t length) const {
    const json &value = Field(name);
    if (value.is_null()) return Block::Absent();
    if (value.is_object()) {
      const auto it = value.find("redacted");
      if (it == value.end() || !it->is_number_unsigned() || it->get<uint64_t>() != length) {
        throw TraceError(std::string("the field \"") + name + "\" is not {\"redacted\":" + std::to_string(length) + "}",
                         line_);
      }
      return Block::Redacted(length);
    }
    if (!value.is_string()) {
      throw TraceError(std::string("the field \"") + name + "\" is neither hex bytes, {\"redacted\":N} nor null", line_);
    }
    const std::string &hex = value.get_ref<const std::string &>();
    if (hex.size() != 2ull * length) {
      throw TraceError(std::string("the field \"") + name + "\" holds " + std::to_string(hex.size() / 2) +
                           " bytes where its length says " + std::to_string(length),
                       line_);
    }
    Block block;
    block.kind = Block::Kind::kBytes;
    block.length = length;
    block.data.resize(length);
    for (uint32_t i = 0; i < length; ++i) {
      const int high = HexValue(hex[2 * i]);
      const int low = HexValue(hex[2 * i + 1]);
      if (high < 0 || low < 0) throw TraceError(std::string("the field \"") + name + "\" is not hex", line_);
      block.data[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return block;
  }

 private:
  static int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  const json &object_;
  uint32_t line_;
};

constexpr uint64_t kMax32 = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();

// "M.m" with one to four digits each.
bool ParseVersion(const std::string &text, int &major, int &minor) {
  const size_t dot = text.find('.');
  if (dot == std::string::npos || dot == 0 || dot > 4 || text.size() - dot - 1 == 0 || text.size() - dot - 1 > 4) {
    return false;
  }
  const auto major_end = std::from_chars(text.data(), text.data() + dot, major);
  const auto minor_end = std::from_chars(text.data() + dot + 1, text.data() + text.size(), minor);
  return major_end.ec == std::errc() && major_end.ptr == text.data() + dot && minor_end.ec == std::errc() &&
         minor_end.ptr == text.data() + text.size();
}

Header ReadHeader(const LineReader &r, uint32_t line) {
  Header header;
  header.line = line;
  if (r.Text("format") != kFormatName) throw TraceError("not a board trace: the header's format is not hwlink-trace", line);
  const std::string version = r.Text("version");
  if (!ParseVersion(version, header.major, header.minor)) {
    throw TraceError("the header's version \"" + version + "\" is not of the form MAJOR.MINOR", line);
  }
  if (header.major > kFormatMajor) {
    throw TraceError("this trace is in format version " + version + ", newer than this reader knows (" +
                         std::to_string(kFormatMajor) + ".x): read it with a newer klia",
                     line);
  }
  if (header.major < 1) throw TraceError("format version " + version + " is not a released trace format", line);
  header.writer = r.Text("writer");
  header.source = r.Text("source");
  header.guard = r.OptionalText("guard");
  header.pid = static_cast<uint32_t>(r.Unsigned("pid", kMax32));
  header.start_us = r.Unsigned("start_us", kMax64);
  return header;
}

Exchange ReadExchange(const LineReader &r, uint32_t line) {
  Exchange x;
  x.line = line;
  x.seq = r.Unsigned("seq", kMax64);
  x.pid = static_cast<uint32_t>(r.Unsigned("pid", kMax32));
  x.start_us = r.Unsigned("start_us", kMax64);
  x.duration_us = r.Unsigned("duration_us", kMax64);
  x.entry = static_cast<uint16_t>(r.Unsigned("entry", kEntryTransferEx));
  if (x.entry != kEntryTransfer && x.entry != kEntryTransferEx) {
    throw TraceError("the field \"entry\" is " + std::to_string(x.entry) + ", neither 1000 nor 1002", line);
  }
  const uint64_t max_length = x.entry == kEntryTransfer ? 0xFF : 0xFFFF;
  x.command = static_cast<uint8_t>(r.Unsigned("command", 0xFF));
  x.param_length = static_cast<uint8_t>(r.Unsigned("param_length", 0xFF));
  x.param = r.Bytes("param", x.param_length);
  x.out_length = static_cast<uint16_t>(r.Unsigned("out_length", max_length));
  x.out = r.Bytes("out", x.out_length);
  x.in_length = static_cast<uint16_t>(r.Unsigned("in_length", max_length));
  x.in = r.Bytes("in", x.in_length);
  x.status = r.OptionalByte("status");
  x.aux = r.OptionalByte("aux");
  x.result = static_cast<uint32_t>(r.Unsigned("result", kMax32));
  x.guarded = r.OptionalFlag("guarded");
  if (x.guarded && x.succeeded()) {
    throw TraceError("a guarded exchange never reached the board, but its result " + std::to_string(x.result) +
                         " says it did",
                     line);
  }
  return x;
}

Note ReadNote(const LineReader &r, uint32_t line) {
  Note note;
  note.line = line;
  note.pid = static_cast<uint32_t>(r.Unsigned("pid", kMax32));
  note.start_us = r.Unsigned("start_us", kMax64);
  note.text = r.Text("text");
  return note;
}

}  // namespace

Trace ParseTrace(std::string_view text) {
  Trace trace;
  uint32_t line = 0;
  size_t at = 0;
  while (at < text.size()) {
    ++line;
    const size_t end = text.find('\n', at);
    const bool terminated = end != std::string_view::npos;
    std::string_view body = text.substr(at, terminated ? end - at : std::string_view::npos);
    at = terminated ? end + 1 : text.size();
    if (!body.empty() && body.back() == '\r') body.remove_suffix(1);
    if (body.empty()) continue;
    if (body.size() > kMaxLineLength) throw TraceError("the line is longer than any record", line);

    json object = json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (object.is_discarded() || !object.is_object()) {
      if (!terminated && !trace.headers.empty()) {
        // The last line was cut off while it was written; everything before it is whole.
        trace.warning = "line " + std::to_string(line) +
                        " is an incomplete record (the writer was cut off, e.g. by a full disk); it is left out";
        break;
      }
      throw TraceError(trace.headers.empty() && line == 1 ? "not a board trace: the first line is not a JSON object"
                                                          : "not a JSON object",
                       line);
    }
    const LineReader reader(object, line);
    const std::string type = reader.Text("type");
    if (type == "header") {
      trace.headers.push_back(ReadHeader(reader, line));
    } else if (trace.headers.empty()) {
      throw TraceError("not a board trace: it does not begin with a header record", line);
    } else if (type == "exchange") {
      trace.exchanges.push_back(ReadExchange(reader, line));
    } else if (type == "note") {
      trace.notes.push_back(ReadNote(reader, line));
    }
    // Records of other types come from newer minor versions of the format and are skipped.
  }
  if (trace.headers.empty()) throw TraceError("not a board trace: it is empty");
  return trace;
}

Trace ReadTraceFile(const std::string &path) {
  const std::string text = ReadWholeFile(path);
  try {
    return ParseTrace(text);
  } catch (const TraceError &e) {
    throw TraceError(path + ": " + e.what());
  }
}

}  // namespace hwtrace
