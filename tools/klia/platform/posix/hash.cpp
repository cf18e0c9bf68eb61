// SHA-256 on POSIX systems: through the system's libcrypto (OpenSSL).
#include <openssl/evp.h>

#include <stdexcept>

#include "platform/platform.h"

namespace klia {

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

}  // namespace klia
