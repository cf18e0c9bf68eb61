// Text conversion between the board's code page 866 and what this computer uses: the
// terminal's encoding for display and for typed arguments, UTF-8 for JSON. The conversion
// itself is each system's (text_conversion.h); what cannot be shown is written as \xNN here.
#include <cstdio>

#include "platform/platform.h"
#include "platform/text_conversion.h"

namespace klia {
namespace {

std::string Escaped(std::string_view bytes) {
  std::string text;
  char piece[8];
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else {
      std::snprintf(piece, sizeof piece, "\\x%02X", c);
      text += piece;
    }
  }
  return text;
}

}  // namespace

std::string Cp866ToTerminal(std::string_view cp866) {
  auto text = ConvertText(cp866, TextEncoding::kBoard, TextEncoding::kTerminal);
  return text ? *text : Escaped(cp866);
}

std::string Cp866ToUtf8(std::string_view cp866) {
  auto text = ConvertText(cp866, TextEncoding::kBoard, TextEncoding::kUtf8);
  return text ? *text : Escaped(cp866);
}

std::optional<std::string> TerminalToCp866(std::string_view text) {
  return ConvertText(text, TextEncoding::kTerminal, TextEncoding::kBoard);
}

}  // namespace klia
