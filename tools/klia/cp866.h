// Text conversion between the board's code page 866 and what this computer uses: the
// terminal's encoding for display and for typed arguments, UTF-8 for JSON.
// Natively through iconv; in klia.exe through the Windows code-page functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace klia {

// Reads the terminal's encoding from the environment (locale or console code page). Call
// once at start-up.
void InitTerminalEncoding();

// Board text (code page 866) for display. Bytes that cannot be shown are written as \xNN.
std::string Cp866ToTerminal(std::string_view cp866);
// Board text as UTF-8 (for JSON).
std::string Cp866ToUtf8(std::string_view cp866);
// Typed text (terminal encoding) as code page 866; nothing when a character has no place in
// code page 866.
std::optional<std::string> TerminalToCp866(std::string_view text);

}  // namespace klia
