// Helpers shared by the C++ tests: a private temporary directory and an independent SHA-256.
#ifndef KARNID_TESTS_TEST_SUPPORT_HPP_
#define KARNID_TESTS_TEST_SUPPORT_HPP_

#include <openssl/evp.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace karnid::test_support {

// A fresh directory under the system temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    namespace fs = std::filesystem;
    std::string templ = (fs::temp_directory_path() / "karnid-test-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = fs::canonical(templ).string();
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] std::string file(std::string_view name) const {
    return path_ + "/" + std::string(name);
  }
  // Writes `content` to `name` inside the directory and returns the file's path.
  std::string write(std::string_view name, std::string_view content) const {
    std::ofstream(file(name), std::ios::binary) << content;
    return file(name);
  }

 private:
  std::string path_;
};

// Straight from OpenSSL rather than through the library's hasher, which is under test.
inline std::string sha256_hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("EVP_Digest failed");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 0x0F];
  }
  return out;
}

}  // namespace karnid::test_support

#endif  // KARNID_TESTS_TEST_SUPPORT_HPP_
