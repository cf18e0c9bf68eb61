#include "platform/sha256.h"

#include <stdexcept>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: bcrypt.h uses its types.
#include <bcrypt.h>
#else
#include <openssl/evp.h>
#endif

namespace klia {

#ifdef _WIN32

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

#else

struct Sha256::State {
  EVP_MD_CTX *context = nullptr;
  ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->context = EVP_MD_CTX_new();
  if (state_->context == nullptr || EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 (libcrypto) cannot be started");
  }
}

Sha256::~Sha256() = default;

void Sha256::Update(const void *bytes, size_t count) {
  if (EVP_DigestUpdate(state_->context, bytes, count) != 1) throw std::runtime_error("SHA-256 (libcrypto) failed");
}

Sha256Digest Sha256::Finish() {
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(state_->context, digest.data(), &length) != 1 || length != digest.size()) {
    throw std::runtime_error("SHA-256 (libcrypto) failed");
  }
  return digest;
}

#endif

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
