#include "support/bcd.h"

namespace mviahlp {

uint8_t BcdPack(uint8_t tens, uint8_t units) { return static_cast<uint8_t>(((tens * 16) & 0xF0) | units); }

uint8_t BcdLowDigit(uint8_t packed) { return static_cast<uint8_t>(packed & 0x0F); }

uint8_t BcdHighDigit(uint8_t packed) { return static_cast<uint8_t>(packed >> 4); }

uint8_t BcdToNumber(uint8_t packed) {
  const uint8_t low = BcdLowDigit(packed);
  const uint8_t high = BcdHighDigit(packed);
  if (low > 9 || high > 9) return kBadBcd;
  return static_cast<uint8_t>(10 * high + low);
}

uint8_t NumberToBcd(uint8_t value) {
  if (value > 99) return kBadBcd;
  return BcdPack(static_cast<uint8_t>(value / 10), static_cast<uint8_t>(value % 10));
}

}  // namespace mviahlp
