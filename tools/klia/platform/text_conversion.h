// For the platform room's own files: text converted between the encodings klia meets, each
// system its own way (posix/text.cpp through iconv, windows/text.cpp through the Windows
// code-page functions). cp866.cpp builds the board text functions of platform.h on it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace klia {

enum class TextEncoding {
  kBoard,     // code page 866
  kTerminal,  // what InitTerminalEncoding settled
  kUtf8,      // JSON's
};

// `text` from one encoding to another; nothing when a character has no place in the other, or
// when the bytes are not text in the first.
std::optional<std::string> ConvertText(std::string_view text, TextEncoding from, TextEncoding to);

}  // namespace klia
