// Formatting the board's database with a live progress display built from the library's
// own progress messages.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace klia {

// Check words that read back as something else: 0 is "no check word", 0xFFFF "unreadable".
inline constexpr uint16_t kCheckWordMin = 1;
inline constexpr uint16_t kCheckWordMax = 0xFFFE;

// Runs KLIAFormatDatabase, writing every progress message to `stream` as it comes (code page
// 866 converted to the terminal's encoding; the page messages start with a lone carriage
// return, so on a console each overwrites the one before). Each line written is prefixed
// with `indent`. With `only_last_page_off_console`, a stream that is not a console (a log
// file) gets only the last page message of the run. Throws BoardFailure.
void FormatBoard(uint16_t check_word, std::FILE *stream, const std::string &indent = "",
                 bool only_last_page_off_console = false);

}  // namespace klia
