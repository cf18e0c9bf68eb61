// Short strings: a length byte followed by that many 8-bit characters (code page 866), as the
// board's user records and the progress messages of formatting carry them. A short string of
// capacity N occupies N + 1 bytes; every routine here keeps the length within the capacity.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mviahlp {

// Decimal numbers fit in 12 characters: the longest, -2147483648, has 11.
inline constexpr size_t kNumberTextCapacity = 12;
using NumberText = uint8_t[kNumberTextCapacity + 1];

// Writes value in decimal: a leading minus sign for negative values, no leading zeros, spaces
// or digit grouping.
void NumberToShortString(int32_t value, NumberText &text);

// Appends the characters of the short string `source` to the short string `text` of the given
// capacity (at most 255), cutting what does not fit.
void AppendShortString(uint8_t *text, size_t capacity, const uint8_t *source);
// Same for a NUL-terminated text.
void AppendText(uint8_t *text, size_t capacity, const char *source);

}  // namespace mviahlp
