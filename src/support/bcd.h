// Packed BCD bytes, as the board's clock exchanges them: the tens digit in the high nibble,
// the units digit in the low nibble (59 is 0x59). 255 stands for a byte that is not BCD or a
// number that does not fit.
#pragma once

#include <cstdint>

namespace mviahlp {

inline constexpr uint8_t kBadBcd = 255;

// ((tens * 16) AND 0xF0) OR units; the units are not masked, so pass 0-9.
uint8_t BcdPack(uint8_t tens, uint8_t units);
uint8_t BcdLowDigit(uint8_t packed);
uint8_t BcdHighDigit(uint8_t packed);
// 0-99, or 255 when either nibble is above 9.
uint8_t BcdToNumber(uint8_t packed);
// The packed byte of 0-99, or 255 for a value above 99.
uint8_t NumberToBcd(uint8_t value);

}  // namespace mviahlp
