// Parsing of what a person types: numbers (decimal or 0x hex) and hex byte strings. Every
// parser throws UsageError with a message that names the argument.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace klia {

// Decimal, or hexadecimal with a 0x prefix; from `min` to `max`.
uint64_t ParseUnsigned(const std::string &text, uint64_t min, uint64_t max, const std::string &what);

// Hex digits in pairs; spaces, ':' and '-' between bytes are allowed, as is a 0x prefix. The
// messages quote the text, unless it is `secret` (a key or a password read from a file or a
// prompt): then they speak of "the value".
std::vector<uint8_t> ParseHex(const std::string &text, const std::string &what, bool secret = false);
// As ParseHex, and exactly `size` bytes.
std::vector<uint8_t> ParseHexExactly(const std::string &text, size_t size, const std::string &what,
                                     bool secret = false);

// A flag: 1/0, yes/no, true/false, on/off.
bool ParseFlag(const std::string &text, const std::string &what);

// Bytes as lowercase hex digits without separators ("0a80aa").
std::string ToHex(const uint8_t *data, size_t size);
inline std::string ToHex(const std::vector<uint8_t> &data) { return ToHex(data.data(), data.size()); }

// What the text column of a hexdump shows for bytes 0x80 to 0xFE: nothing ('.'), or the
// character code page 866 gives them (board text, such as log records typed with --text).
enum class TextColumn { kAscii, kCp866 };

// A classic hexdump: offset, 16 bytes in hex, then the printable ones as text ('.' for the
// others). `base` is the offset of the first byte.
std::string Hexdump(const uint8_t *data, size_t size, uint64_t base, TextColumn column = TextColumn::kAscii);

}  // namespace klia
