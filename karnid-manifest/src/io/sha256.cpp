#include "karnid/manifest/sha256.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <new>
#include <stdexcept>

#include "karnid/manifest/io.hpp"

namespace karnid::manifest {

void Sha256::ContextDeleter::operator()(void* ctx) const noexcept {
  EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx));
}

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (!ctx_) throw std::bad_alloc();
  if (EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx_.get()), EVP_sha256(), nullptr) != 1) {
    ERR_clear_error();
    throw std::runtime_error("SHA-256 initialisation failed");
  }
}

void Sha256::update(const void* data, std::size_t size) {
  if (size == 0) return;
  if (EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_.get()), data, size) != 1) {
    ERR_clear_error();
    throw std::runtime_error("SHA-256 update failed");
  }
}

std::string Sha256::finish_hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(ctx_.get()), digest, &length) != 1) {
    ERR_clear_error();
    throw std::runtime_error("SHA-256 finalisation failed");
  }
  return to_hex(digest, length);
}

std::string Sha256::hex_of(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    ERR_clear_error();
    throw std::runtime_error("SHA-256 digest failed");
  }
  return to_hex(digest, length);
}

}  // namespace karnid::manifest
