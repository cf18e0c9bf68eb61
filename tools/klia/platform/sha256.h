// SHA-256, as klia records and checks the files it puts into a program's folder: natively
// through the system's libcrypto (OpenSSL), on Windows through the system's own
// cryptography API (CNG, bcrypt.dll).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace klia {

using Sha256Digest = std::array<uint8_t, 32>;

// A digest computed piece by piece. Throws std::runtime_error when the system's
// implementation cannot be had (it always can on a working system).
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256 &) = delete;
  Sha256 &operator=(const Sha256 &) = delete;

  void Update(const void *bytes, size_t count);
  // The digest of everything given; the object is spent.
  Sha256Digest Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The digest as 64 lowercase hex digits.
std::string Sha256Hex(const Sha256Digest &digest);
std::string Sha256Hex(std::string_view bytes);

}  // namespace klia
