// Text conversion between the board's code page 866 and what this computer uses: the
// terminal's encoding for display and for typed arguments, UTF-8 for JSON.
// Natively through iconv; in klia.exe through the Windows code-page functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace klia {

// Settles the terminal's encoding. Natively it is the locale's; klia.exe writes UTF-8 and
// switches the console to it for as long as it runs. Call once at start-up.
void InitTerminalEncoding();

// The command line in the terminal's encoding. klia.exe takes it from the system in UTF-16,
// so that text outside the ANSI code page survives.
std::vector<std::string> CommandLineArguments(int argc, char **argv);

// Board text (code page 866) for display. Bytes that cannot be shown are written as \xNN.
std::string Cp866ToTerminal(std::string_view cp866);
// Board text as UTF-8 (for JSON).
std::string Cp866ToUtf8(std::string_view cp866);
// Typed text (terminal encoding) as code page 866; nothing when a character has no place in
// code page 866.
std::optional<std::string> TerminalToCp866(std::string_view text);

#ifdef _WIN32
// Text in klia's own encoding on Windows (UTF-8) as UTF-16, for the system's wide functions
// (file names, command lines).
std::wstring Utf8ToWide(const std::string &text);
// The system's UTF-16 (file names) as klia's UTF-8.
std::string WideToUtf8(const std::wstring &wide);
#endif

}  // namespace klia
