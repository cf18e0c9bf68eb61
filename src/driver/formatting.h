// Database formatting: KLIAFormatDatabase (declared with the other operations in
// driver/operations.h) and the process-wide text of its page messages.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mviahlp {

// A short string of 255 characters' capacity: the length byte and the characters.
inline constexpr size_t kProgressTextSize = 256;

// The latest page message of the page test ("\r  Страница:p из N ", code page 866). Rewritten
// for every page tested, whether or not the caller gave a progress procedure; never cleared
// by formatting. All zero at load.
extern uint8_t ProgressText[kProgressTextSize];

// Size of the buffer each tested page is read into. A board page larger than this is read in
// pieces of kPageTestPiece bytes, so the buffer is never overrun.
inline constexpr size_t kPageTestBufferSize = 1025;
inline constexpr uint16_t kPageTestPiece = 1024;

}  // namespace mviahlp
