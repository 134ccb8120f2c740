// Helpers shared by the fuzz targets: a check that aborts (so libFuzzer keeps the input and the
// replay test fails), and scratch files for the units that read from the file system.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "karnid/manifest/json.hpp"

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

namespace karnid::fuzz {

// A private directory under the system's temporary directory, removed with everything in it
// when the process exits normally.
class ScratchDir {
 public:
  ScratchDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "karnid-fuzz-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    path_ = templ;
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  [[nodiscard]] const std::string& path() const noexcept { return path_; }

 private:
  std::string path_;
};

// A file whose whole content is replaced by every write(); lives for the process, so a run of
// millions of inputs does not create millions of files.
class ScratchFile {
 public:
  ScratchFile(const std::string& directory, std::string_view name)
      : path_(directory + "/" + std::string(name)) {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      std::perror("open scratch file");
      std::abort();
    }
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  ~ScratchFile() { ::close(fd_); }

  void write(std::string_view bytes) {
    FUZZ_CHECK(::ftruncate(fd_, 0) == 0);
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n =
          ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      FUZZ_CHECK(n > 0);
      done += static_cast<std::size_t>(n);
    }
  }
  [[nodiscard]] const std::string& path() const noexcept { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
};

// Whether `text` is well-formed UTF-8, decided by the JSON reader rather than by the text helpers
// under test: a string literal holding the bytes parses exactly when they are UTF-8.
[[nodiscard]] inline bool is_utf8(std::string_view text) {
  std::string literal;
  json::append_string(literal, text);
  const auto parsed = json::parse(literal);
  return parsed.has_value() && parsed->is_string() && parsed->string == text;
}

}  // namespace karnid::fuzz
