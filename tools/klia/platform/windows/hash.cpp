// SHA-256 on Windows: through the system's own cryptography API (CNG, bcrypt.dll).
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: bcrypt.h uses its types.
#include <bcrypt.h>

#include <stdexcept>

#include "platform/platform.h"

namespace klia {

struct Sha256::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~State() {
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};

namespace {
void Check(NTSTATUS status, const char *what) {
  if (status < 0) throw std::runtime_error(std::string("SHA-256 (Windows CNG) failed in ") + what);
}
}  // namespace

Sha256::Sha256() : state_(std::make_unique<State>()) {
  Check(BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0),
        "BCryptOpenAlgorithmProvider");
  Check(BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0), "BCryptCreateHash");
}

Sha256::~Sha256() = default;

void Sha256::Update(const void *bytes, size_t count) {
  const auto *at = static_cast<const unsigned char *>(bytes);
  while (count > 0) {
    const ULONG piece = count > 0x40000000u ? 0x40000000u : static_cast<ULONG>(count);
    Check(BCryptHashData(state_->hash, const_cast<PUCHAR>(at), piece, 0), "BCryptHashData");
    at += piece;
    count -= piece;
  }
}

Sha256Digest Sha256::Finish() {
  Sha256Digest digest{};
  Check(BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0), "BCryptFinishHash");
  return digest;
}

}  // namespace klia
