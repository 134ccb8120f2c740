// Streaming SHA-256 (FIPS 180-4) over OpenSSL's EVP interface.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace karnid::manifest {

class Sha256 {
 public:
  // Throws std::bad_alloc when OpenSSL cannot allocate a context; a failed digest
  // initialisation is an invariant violation (std::runtime_error).
  Sha256();
  void update(const void* data, std::size_t size);
  void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
  // The digest as 64 lowercase hexadecimal characters. The hasher must not be used afterwards.
  [[nodiscard]] std::string finish_hex();

  // One-shot digest of a buffer.
  [[nodiscard]] static std::string hex_of(std::string_view bytes);

 private:
  struct ContextDeleter {
    void operator()(void* ctx) const noexcept;
  };
  std::unique_ptr<void, ContextDeleter> ctx_;
};

}  // namespace karnid::manifest
