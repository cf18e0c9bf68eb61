// SHA-256 digests in words: the hex form klia records and compares, the same on every system.
#include "platform/platform.h"

namespace klia {

std::string Sha256Hex(const Sha256Digest &digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * digest.size());
  for (const uint8_t byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

std::string Sha256Hex(std::string_view bytes) {
  Sha256 hash;
  hash.Update(bytes.data(), bytes.size());
  return Sha256Hex(hash.Finish());
}

}  // namespace klia
