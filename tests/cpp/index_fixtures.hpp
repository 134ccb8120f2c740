// Builders for index files of every kind, valid or deliberately broken, and temporary files to
// hold them. Headers are written from index-core's own description of the layouts, except for the
// tests of the probes themselves: they read files from the independent writer below.
#ifndef KARNID_TESTS_INDEX_FIXTURES_HPP_
#define KARNID_TESTS_INDEX_FIXTURES_HPP_

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "karnid/index_core/format.hpp"
#include "karnid/index_core/rank_io.hpp"

namespace karnid::fixtures {

using index_core::IndexKind;

// Everything that goes into an index file. Fields a kind's header does not have are ignored.
// Defaults describe a small valid file of the chosen kind.
struct IndexSpec {
  IndexKind kind = IndexKind::Rank;
  // Empty for the kind's current magic; a legacy magic or junk overrides it.
  std::string magic{};
  std::uint8_t version = 1;
  std::uint8_t bits = 4;            // RankQuant
  std::uint32_t dim = 64;           // every kind
  std::uint32_t n_top = 8;          // Bitmap
  std::uint32_t n_vectors = 3;      // every kind
  std::int64_t payload_adjust = 0;  // bytes written beyond (or, negative, short of) the payload
};

// Header plus declared payload (adjusted by payload_adjust), filled with a repeating pattern.
inline std::vector<std::uint8_t> with_payload(std::vector<std::uint8_t> header,
                                              std::uint64_t declared, std::int64_t adjust) {
  const std::int64_t payload = static_cast<std::int64_t>(declared) + adjust;
  if (payload < 0) {
    throw std::invalid_argument("payload_adjust cuts into the header");
  }
  for (std::int64_t i = 0; i < payload; ++i) header.push_back(static_cast<std::uint8_t>(i * 7 + 1));
  return header;
}

inline index_core::HeaderValues header_values(const IndexSpec& spec) {
  return {spec.version, spec.bits, spec.dim, spec.n_top, spec.n_vectors};
}

// The header of `spec`, as index-core lays it out.
inline std::vector<std::uint8_t> header_bytes(const IndexSpec& spec) {
  const std::string magic =
      spec.magic.empty() ? std::string(index_core::lookup_kind(spec.kind)->magic) : spec.magic;
  return index_core::encode_index_header(magic, spec.kind, header_values(spec));
}

// The payload the header of `spec` declares, as index-core computes it.
inline std::uint64_t declared_payload(const IndexSpec& spec) {
  return index_core::declared_payload_bytes(spec.kind, header_values(spec)).value();
}

inline std::vector<std::uint8_t> file_bytes(const IndexSpec& spec) {
  return with_payload(header_bytes(spec), declared_payload(spec), spec.payload_adjust);
}

// ---- the independent writer ----

// The layouts written out by hand, apart from index-core, for the tests of the probes: a file
// built from index-core's own description would hide a mistake in that description behind the
// same mistake in the file. Nothing else uses them.
namespace independent {

// The magic each kind is written with today, and its older spelling ("" when there is none).
inline std::string current_magic(IndexKind kind) {
  switch (kind) {
    case IndexKind::Rank:
      return "KDR1";
    case IndexKind::RankQuant:
      return "KDRQ";
    case IndexKind::Bitmap:
      return "KDBM";
    case IndexKind::SignBitmap:
      return "KDSB";
    case IndexKind::RankQuantFastscan:
      return "KDFS";
  }
  return "????";
}

inline std::string legacy_magic(IndexKind kind) {
  std::string magic = current_magic(kind);
  if (kind == IndexKind::RankQuantFastscan) return "";
  magic[0] = 'Q';
  return magic;
}

// The payload the header of `spec` declares, from the kind's layout. Meant for the small and
// limit-sized values tests use; it does not guard against overflow.
inline std::uint64_t declared_payload(const IndexSpec& spec) {
  const std::uint64_t dim = spec.dim;
  const std::uint64_t n = spec.n_vectors;
  switch (spec.kind) {
    case IndexKind::Rank:
      return dim * n * 2;
    case IndexKind::RankQuant:
      return n * (dim * spec.bits / 8);
    case IndexKind::Bitmap:
    case IndexKind::SignBitmap:
      return (dim / 64) * n * 8;
    case IndexKind::RankQuantFastscan:
      return 0;
  }
  return 0;
}

inline void put_u32_le(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// The header of `spec`, in on-disk order. A "KDFS" spec yields the magic and the version only:
// nothing past the magic of that format is ever read.
inline std::vector<std::uint8_t> header_bytes(const IndexSpec& spec) {
  const std::string magic = spec.magic.empty() ? current_magic(spec.kind) : spec.magic;
  std::vector<std::uint8_t> out(magic.begin(), magic.end());
  out.push_back(spec.version);
  switch (spec.kind) {
    case IndexKind::Rank:
    case IndexKind::SignBitmap:
      put_u32_le(out, spec.dim);
      put_u32_le(out, spec.n_vectors);
      break;
    case IndexKind::RankQuant:
      out.push_back(spec.bits);
      put_u32_le(out, spec.dim);
      put_u32_le(out, spec.n_vectors);
      break;
    case IndexKind::Bitmap:
      put_u32_le(out, spec.dim);
      put_u32_le(out, spec.n_top);
      put_u32_le(out, spec.n_vectors);
      break;
    case IndexKind::RankQuantFastscan:
      break;
  }
  return out;
}

// Qualified: IndexSpec brings index-core's writers of the same names into the lookup.
inline std::vector<std::uint8_t> file_bytes(const IndexSpec& spec) {
  return with_payload(independent::header_bytes(spec), independent::declared_payload(spec),
                      spec.payload_adjust);
}

}  // namespace independent

// A file in the system's temporary directory holding the given bytes; removed on destruction.
class TempFile {
 public:
  explicit TempFile(std::span<const std::uint8_t> bytes) {
    std::string templ = (std::filesystem::temp_directory_path() / "karnid-index-XXXXXX").string();
    const int fd = ::mkstemp(templ.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    path_ = templ;
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) {
        ::close(fd);
        throw std::runtime_error("write to temporary file failed");
      }
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() { ::unlink(path_.c_str()); }

  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A read-only descriptor, closed on destruction.
class OpenFd {
 public:
  explicit OpenFd(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
  }
  explicit OpenFd(int adopted) : fd_(adopted) {}
  OpenFd(const OpenFd&) = delete;
  OpenFd& operator=(const OpenFd&) = delete;
  ~OpenFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  [[nodiscard]] int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace karnid::fixtures

#endif  // KARNID_TESTS_INDEX_FIXTURES_HPP_
