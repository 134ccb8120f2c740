// Index header bytes. The probe either fails with a message or returns metadata that agrees with
// the file: the payload it implies fills the file exactly, the fields lie in their ranges, a
// legacy magic probes exactly like the current one, and the probed facts, written into an
// artifact block, compare cleanly against themselves.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "karnid/index_core/format.hpp"
#include "karnid/index_core/rank_io.hpp"
#include "karnid/manifest/artifact.hpp"
#include "karnid/manifest/report.hpp"

namespace {

namespace ic = karnid::index_core;
namespace km = karnid::manifest;

// An anonymous in-memory file holding exactly `bytes`, positioned at offset 0.
class MemoryFile {
 public:
  explicit MemoryFile(std::string_view bytes) : fd_(::memfd_create("karnid-index", MFD_CLOEXEC)) {
    FUZZ_CHECK(fd_ >= 0);
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      FUZZ_CHECK(n > 0);
      done += static_cast<std::size_t>(n);
    }
    FUZZ_CHECK(::lseek(fd_, 0, SEEK_SET) == 0);
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  ~MemoryFile() { ::close(fd_); }
  [[nodiscard]] int fd() const noexcept { return fd_; }

 private:
  int fd_;
};

std::expected<ic::IndexMetadata, ic::ProbeError> probe(std::string_view bytes) {
  MemoryFile file(bytes);
  return ic::probe_index_file(file.fd(), bytes.size());
}

std::uint64_t header_size(ic::IndexKind kind) {
  switch (kind) {
    case ic::IndexKind::RankQuant:
      return 14;
    case ic::IndexKind::Bitmap:
      return 17;
    default:
      return 13;
  }
}

void check_metadata(const ic::IndexMetadata& m, std::string_view bytes) {
  FUZZ_CHECK(bytes.size() >= 4);
  const ic::PersistedFormat* format =
      ic::lookup_magic(static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[0])) |
                       static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[1])) << 8 |
                       static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2])) << 16 |
                       static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[3])) << 24);
  FUZZ_CHECK(format != nullptr && format->kind == m.kind);
  FUZZ_CHECK(m.params.kind == m.kind);
  FUZZ_CHECK(m.version == 1);
  FUZZ_CHECK(m.file_len == bytes.size());
  FUZZ_CHECK(m.n_vectors <= ic::MAX_VECTORS);
  FUZZ_CHECK(m.dim >= 2);
  const std::uint64_t payload = m.file_len - header_size(m.kind);
  FUZZ_CHECK(payload <= ic::MAX_PAYLOAD);
  FUZZ_CHECK(payload == m.bytes_per_vec * m.n_vectors);
  switch (m.kind) {
    case ic::IndexKind::Rank:
      FUZZ_CHECK(m.bytes_per_vec == 2 * m.dim);
      break;
    case ic::IndexKind::RankQuant:
      FUZZ_CHECK(m.params.bits == 1 || m.params.bits == 2 || m.params.bits == 4);
      FUZZ_CHECK(m.dim % (std::uint64_t{1} << m.params.bits) == 0 &&
                 m.dim % (8 / m.params.bits) == 0);
      FUZZ_CHECK(m.bytes_per_vec == m.dim * m.params.bits / 8);
      break;
    case ic::IndexKind::Bitmap:
      FUZZ_CHECK(m.dim % 64 == 0 && m.params.n_top > 0 && m.params.n_top < m.dim);
      FUZZ_CHECK(m.bytes_per_vec == m.dim / 8);
      break;
    case ic::IndexKind::SignBitmap:
      FUZZ_CHECK(m.dim % 64 == 0 && m.dim <= 16777216);
      FUZZ_CHECK(m.bytes_per_vec == m.dim / 8);
      break;
    case ic::IndexKind::RankQuantFastscan:
      FUZZ_CHECK(false);  // never probed
      break;
  }

  const auto kind = km::manifest_kind_from_core(m.kind);
  const auto params = km::manifest_params_from_core(m.params);
  FUZZ_CHECK(kind.has_value() && params.has_value());
  km::Artifact declared;
  declared.kind = *kind;
  declared.params = *params;
  declared.format_version = m.version;
  declared.dim = m.dim;
  declared.vector_count = m.n_vectors;
  declared.bytes_per_vec = m.bytes_per_vec;
  declared.file_size_bytes = m.file_len;
  km::VerificationReport report;
  km::compare_probed_metadata(declared, m, report);
  FUZZ_CHECK(report.errors.empty());
  FUZZ_CHECK(report.artifact.metadata.has_value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto result = probe(bytes);
  if (result) {
    check_metadata(*result, bytes);
  } else {
    FUZZ_CHECK(result.error().kind == ic::ProbeError::Kind::Os || !result.error().message.empty());
    FUZZ_CHECK(result.error().kind != ic::ProbeError::Kind::Os);  // a memory file never fails
    if (size < 4) {
      FUZZ_CHECK(result.error().message == "karnid index header truncated while reading magic");
    }
  }

  // A legacy magic takes exactly the path of the current one.
  if (size >= 4 && bytes[0] == 'Q') {
    std::string current(bytes);
    current[0] = 'K';
    const ic::PersistedFormat* format = ic::lookup_magic(ic::magic_value(bytes.substr(0, 4)));
    if (format != nullptr && format->legacy_magic && *format->legacy_magic == bytes.substr(0, 4)) {
      const auto again = probe(current);
      FUZZ_CHECK(again.has_value() == result.has_value());
      if (result) {
        FUZZ_CHECK(*again == *result);
      } else {
        FUZZ_CHECK(again.error() == result.error());
      }
    }
  }
  return 0;
}
