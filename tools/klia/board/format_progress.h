// Formatting the board's database with a progress display built from the library's own
// progress messages.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace klia {

// Check words that read back as something else: 0 is "no check word", 0xFFFF "unreadable".
inline constexpr uint16_t kCheckWordMin = 1;
inline constexpr uint16_t kCheckWordMax = 0xFFFE;

// Runs KLIAFormatDatabase, showing its progress on `stream` (code page 866 converted to the
// terminal's encoding; every line prefixed with `indent`):
//  - on a terminal, the library's stage messages as they come, and in place of its page
//    messages one live line: the page, percentage, pages per second and the time left;
//  - elsewhere (a file, a pipe), only whole lines ending in a plain newline: the stage
//    messages and, for the page test, its last page message.
// Ctrl-C during the format ends klia with exit code 130 and says that the board is not
// formatted. A null `stream` shows nothing. Throws BoardFailure.
void FormatBoard(uint16_t check_word, std::FILE *stream, const std::string &indent = "");

}  // namespace klia
