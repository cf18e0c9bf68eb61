// Numbers and hex bytes as a person types them, each refused with a message naming the argument.
#include "shell/text_input.h"

#include <array>
#include <cctype>
#include <cstdio>

#include "platform/platform.h"
#include "shell/errors.h"

namespace klia {

uint64_t ParseUnsigned(const std::string &text, uint64_t min, uint64_t max, const std::string &what) {
  const std::string range = std::to_string(min) + " to " + std::to_string(max);
  const auto fail = [&]() { return UsageError(what + ": \"" + text + "\" is not a number from " + range); };
  size_t i = 0;
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  if (i >= text.size()) throw fail();
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    unsigned digit;
    if (std::isdigit(c)) {
      digit = c - '0';
    } else if (base == 16 && std::isxdigit(c)) {
      digit = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
    } else {
      throw fail();
    }
    if (digit > max || value > (max - digit) / base) throw fail();
    value = value * base + digit;
  }
  if (value < min) throw fail();
  return value;
}

std::vector<uint8_t> ParseHex(const std::string &text, const std::string &what, bool secret) {
  const std::string shown = secret ? "the value" : "\"" + text + "\"";
  std::string digits;
  size_t i = 0;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) i = 2;
  for (; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (std::isxdigit(c)) {
      digits += static_cast<char>(c);
    } else if (c == ' ' || c == ':' || c == '-' || c == '\t') {
      if (digits.size() % 2 != 0) {
        throw UsageError(what + ": " + shown + " splits a byte; give two hex digits per byte");
      }
    } else {
      throw UsageError(what + ": " + shown + " is not hex (character '" + std::string(1, static_cast<char>(c)) +
                       "')");
    }
  }
  if (digits.size() % 2 != 0) throw UsageError(what + ": " + shown + " has an odd number of hex digits");
  std::vector<uint8_t> bytes;
  for (size_t k = 0; k < digits.size(); k += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(k, 2), nullptr, 16)));
  }
  return bytes;
}

std::vector<uint8_t> ParseHexExactly(const std::string &text, size_t size, const std::string &what, bool secret) {
  std::vector<uint8_t> bytes = ParseHex(text, what, secret);
  if (bytes.size() != size) {
    throw UsageError(what + ": needs exactly " + std::to_string(size) + " bytes (" + std::to_string(2 * size) +
                     " hex digits), got " + std::to_string(bytes.size()));
  }
  return bytes;
}

bool ParseFlag(const std::string &text, const std::string &what) {
  std::string t;
  for (char c : text) t += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (t == "1" || t == "yes" || t == "true" || t == "on") return true;
  if (t == "0" || t == "no" || t == "false" || t == "off") return false;
  throw UsageError(what + ": \"" + text + "\" is not a flag (1/0, yes/no, true/false, on/off)");
}

std::string ToHex(const uint8_t *data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 0x0F];
  }
  return text;
}

namespace {

// The text column's characters for bytes 0x80 to 0xFE in code page 866, in the terminal's
// encoding, converted once. A byte the terminal cannot show stays '.', as does 0xFF (a
// no-break space, and what erased memory reads as).
const std::array<std::string, 0x7F> &Cp866Column() {
  static const std::array<std::string, 0x7F> column = [] {
    std::array<std::string, 0x7F> characters;
    for (unsigned byte = 0x80; byte < 0xFF; ++byte) {
      const std::string text = Cp866ToTerminal(std::string(1, static_cast<char>(byte)));
      characters[byte - 0x80] = text.empty() || text[0] == '\\' ? "." : text;
    }
    return characters;
  }();
  return column;
}

}  // namespace

std::string Hexdump(const uint8_t *data, size_t size, uint64_t base, TextColumn column) {
  std::string text;
  char piece[16];
  for (size_t line = 0; line < size; line += 16) {
    std::snprintf(piece, sizeof piece, "%08llx ", static_cast<unsigned long long>(base + line));
    text += piece;
    for (size_t k = 0; k < 16; ++k) {
      if (k == 8) text += ' ';
      if (line + k < size) {
        std::snprintf(piece, sizeof piece, " %02x", data[line + k]);
        text += piece;
      } else {
        text += "   ";
      }
    }
    text += "  |";
    for (size_t k = 0; k < 16 && line + k < size; ++k) {
      const uint8_t c = data[line + k];
      if (c >= 0x20 && c < 0x7F) {
        text += static_cast<char>(c);
      } else if (column == TextColumn::kCp866 && c >= 0x80 && c < 0xFF) {
        text += Cp866Column()[c - 0x80];
      } else {
        text += '.';
      }
    }
    text += "|\n";
  }
  return text;
}

}  // namespace klia
