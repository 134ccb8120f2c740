// Index header probes: read the fixed header of an index file, check every field against the
// format's rules and the global limits, and check that the file holds exactly the declared payload,
// without reading the payload itself.
#ifndef KARNID_INDEX_CORE_RANK_IO_HPP_
#define KARNID_INDEX_CORE_RANK_IO_HPP_

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "karnid/index_core/format.hpp"

namespace karnid::index_core {

// Largest accepted vector count (inclusive).
inline constexpr std::uint64_t MAX_VECTORS = 67108864;  // 2^26
// Largest accepted payload in bytes (inclusive).
inline constexpr std::uint64_t MAX_PAYLOAD = 137438953472;  // 2^37

// Header facts returned by a successful probe.
struct IndexMetadata {
  IndexKind kind = IndexKind::Rank;
  IndexParams params;
  std::uint8_t version = 0;         // the header's version byte (1 for every accepted file)
  std::uint64_t dim = 0;            // header dimension
  std::uint64_t n_vectors = 0;      // header vector count
  std::uint64_t bytes_per_vec = 0;  // payload bytes per vector, per the kind's layout
  std::uint64_t file_len = 0;       // the file length the caller passed to the probe

  friend bool operator==(const IndexMetadata&, const IndexMetadata&) = default;
};

// Why a probe failed. `InvalidData`: the header breaks a rule, a limit, or the payload size does
// not match the file. `UnexpectedEof`: the file ended inside the header. `Os`: a system call
// failed; `os_errno` holds the error number and `message` is empty (callers render the number in
// their own way). For the other kinds `os_errno` is 0 and `message` is the complete text.
struct ProbeError {
  enum class Kind { InvalidData, UnexpectedEof, Os };
  Kind kind = Kind::InvalidData;
  int os_errno = 0;
  std::string message;

  [[nodiscard]] static ProbeError invalid_data(std::string text) {
    return {Kind::InvalidData, 0, std::move(text)};
  }
  [[nodiscard]] static ProbeError unexpected_eof(std::string text) {
    return {Kind::UnexpectedEof, 0, std::move(text)};
  }
  [[nodiscard]] static ProbeError os(int errnum) { return {Kind::Os, errnum, {}}; }

  friend bool operator==(const ProbeError&, const ProbeError&) = default;
};

// Buffered reading from a raw file descriptor that the caller owns and keeps open. The reader
// fills an 8192-byte buffer with read(2), retrying interrupted calls, and keeps track of how many
// fetched bytes it has not handed out yet, so the logical position can be recovered from the
// descriptor's offset.
class BufferedReader {
 public:
  static constexpr std::size_t kCapacity = 8192;

  explicit BufferedReader(int fd) noexcept : fd_(fd) {}
  BufferedReader(const BufferedReader&) = delete;
  BufferedReader& operator=(const BufferedReader&) = delete;

  // Copies bytes into `out` until it is full or the file ends; returns how many were copied
  // (fewer than out.size() only at end of file), or the error of a failing read(2).
  [[nodiscard]] std::expected<std::size_t, ProbeError> read_up_to(std::span<std::uint8_t> out);

  // Bytes fetched from the file but not yet handed out.
  [[nodiscard]] std::size_t buffered() const noexcept { return len_ - pos_; }

  // The offset of the next byte the reader will hand out: the descriptor's offset (lseek) minus
  // the buffered bytes. Fails with the error of lseek(2), e.g. ESPIPE on a pipe.
  [[nodiscard]] std::expected<std::uint64_t, ProbeError> logical_position() const;

  [[nodiscard]] int fd() const noexcept { return fd_; }

 private:
  int fd_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  std::array<std::uint8_t, kCapacity> buf_{};
};

// The end-of-file error "{label} header truncated while reading {field}".
[[nodiscard]] ProbeError truncated_field(std::string_view label, std::string_view field);

// Reads the version byte; returns it when it is 1, else fails with
// "unsupported {magic} version: {version}". Truncation names the field "version".
[[nodiscard]] std::expected<std::uint8_t, ProbeError> read_version(BufferedReader& reader,
                                                                   std::string_view magic);

// Reads one little-endian u32 header field. Truncation is reported as
// "{magic} header truncated while reading {field}".
[[nodiscard]] std::expected<std::uint32_t, ProbeError> read_u32_le(
    BufferedReader& reader, std::string_view magic, std::string_view field = "n_vectors");

// Fails with "n_vectors {n} exceeds MAX_VECTORS={max}" when n > MAX_VECTORS.
[[nodiscard]] std::expected<void, ProbeError> check_n_vectors(std::uint64_t n);

// Fails with "payload {bytes} B exceeds MAX_PAYLOAD={max}" when bytes > MAX_PAYLOAD.
[[nodiscard]] std::expected<void, ProbeError> check_payload_bytes(std::uint64_t bytes);

// Payload of a quantised rank index: n_vectors * (dim * bits / 8). Fails with
// "KDRQ bytes_per_vec overflows usize" or "KDRQ payload size overflows usize" when a product
// does not fit in 64 bits.
[[nodiscard]] std::expected<std::uint64_t, ProbeError> rankquant_payload_bytes(
    std::uint64_t dim, std::uint64_t n_vectors, std::uint8_t bits);

// Payload of a bitmap index, one 64-bit word per 64 dimensions: (dim / 64) * n_vectors * 8.
// Fails with "{magic} payload size overflows usize" when the product does not fit in 64 bits.
[[nodiscard]] std::expected<std::uint64_t, ProbeError> bitmap_payload_bytes(std::uint64_t dim,
                                                                            std::uint64_t n_vectors,
                                                                            std::string_view magic);

// Compares the declared payload with the bytes left in a file of `file_len` bytes after the
// reader's logical position. Fails with "{magic} payload truncated: ..." when fewer remain, with
// "{magic} payload has trailing bytes: ..." when more remain, or with the error of lseek(2).
[[nodiscard]] std::expected<void, ProbeError> check_payload_matches_file(BufferedReader& reader,
                                                                         std::string_view magic,
                                                                         std::uint64_t file_len,
                                                                         std::uint64_t payload);

// ---- header layouts ----

// The fields of an index header that follow its four-byte magic. Each is an unsigned
// little-endian integer.
enum class HeaderField : std::uint8_t { Version, Bits, Dim, NTop, NVectors };

struct HeaderFieldLayout {
  HeaderField field;
  std::string_view name;  // how messages name the field ("n_vectors")
  std::uint8_t width;     // bytes in the file: 1 or 4
};

// The fields of a kind's header in file order: the one description of the layouts, which the
// probes read by and encode_index_header writes by. For a kind without a probe, whose files are
// never read past the magic, only the version byte that every header starts with.
[[nodiscard]] std::span<const HeaderFieldLayout> header_layout(IndexKind kind) noexcept;

// The values of the header fields; each kind's header holds some of them.
struct HeaderValues {
  std::uint8_t version = 1;
  std::uint8_t bits = 0;
  std::uint32_t dim = 0;
  std::uint32_t n_top = 0;
  std::uint32_t n_vectors = 0;
};

// `magic` followed by the fields of `kind`'s header holding `values`: the bytes its probe reads.
// Both are written as given, unchecked, so that broken headers can be written as easily as valid
// ones (a legacy, unknown or short magic, a version or bits the probe refuses).
[[nodiscard]] std::vector<std::uint8_t> encode_index_header(std::string_view magic, IndexKind kind,
                                                            const HeaderValues& values);

// The payload that a header of `kind` holding `values` declares, computed as its probe computes
// it, overflow failures included; 0 for a kind without a probe.
[[nodiscard]] std::expected<std::uint64_t, ProbeError> declared_payload_bytes(
    IndexKind kind, const HeaderValues& values);

// The four header probes. Each takes the reader positioned just after the magic and the length
// of the file, reads its fields in header order, and fails on the first rule that does not hold.
// Messages name the kind's current magic, also for files that carry the legacy spelling.
[[nodiscard]] std::expected<IndexMetadata, ProbeError> probe_rank_metadata(BufferedReader& reader,
                                                                           std::uint64_t file_len);
[[nodiscard]] std::expected<IndexMetadata, ProbeError> probe_rankquant_metadata(
    BufferedReader& reader, std::uint64_t file_len);
[[nodiscard]] std::expected<IndexMetadata, ProbeError> probe_bitmap_metadata(
    BufferedReader& reader, std::uint64_t file_len);
[[nodiscard]] std::expected<IndexMetadata, ProbeError> probe_sign_bitmap_metadata(
    BufferedReader& reader, std::uint64_t file_len);

// Probes an index file open for reading at offset 0: reads the magic, looks it up in the
// registry and runs the matching header probe. `file_len` is the file's length taken from the
// open file before reading. Fewer than four bytes give "karnid index header truncated while
// reading magic"; an unregistered magic gives "unknown karnid index magic"; a registered format
// without a probe gives the registry's probe-support reason. The descriptor stays open and its
// offset is left after the bytes fetched.
[[nodiscard]] std::expected<IndexMetadata, ProbeError> probe_index_file(int fd,
                                                                        std::uint64_t file_len);

// Opens `path` (OS bytes) read-only, takes the length from the open file, probes it and closes
// it on every path. A path containing a NUL byte fails with Os/EINVAL; open and fstat failures
// are Os errors.
[[nodiscard]] std::expected<IndexMetadata, ProbeError> probe_index_path(const std::string& path);

}  // namespace karnid::index_core

#endif  // KARNID_INDEX_CORE_RANK_IO_HPP_
