#include "karnid/index_core/rank_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <string>

namespace karnid::index_core {
namespace {

// ---------------------------------------------------------------------------------------------
// Messages. Callers and users match on this wording, so each one is built here and nowhere else.

constexpr std::string_view kMagicLabel = "karnid index";
constexpr std::string_view kUnknownMagic = "unknown karnid index magic";

// Numbers in messages are plain decimal.
std::string decimal(std::uint64_t value) {
  return std::to_string(value);
}

// The parts one after another.
std::string concat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view part : parts) out += part;
  return out;
}

std::string msg_truncated(std::string_view label, std::string_view field) {
  return concat({label, " header truncated while reading ", field});
}
std::string msg_unsupported_version(std::string_view magic, std::uint8_t version) {
  return concat({"unsupported ", magic, " version: ", decimal(version)});
}
std::string msg_dim_out_of_range(std::uint64_t dim, std::uint64_t max) {
  return concat({"dim ", decimal(dim), " out of range [2, ", decimal(max), "]"});
}
std::string msg_unsupported_bits(std::string_view magic, std::uint8_t bits) {
  return concat({"unsupported ", magic, " bits: ", decimal(bits), " (expected 1, 2, or 4)"});
}
std::string msg_dim_not_multiple_of_levels(std::string_view magic, std::uint64_t dim,
                                           std::uint64_t levels) {
  return concat({magic, " dim ", decimal(dim), " is not a multiple of 2^bits = ", decimal(levels),
                 "; constant-composition invariant violated"});
}
std::string msg_dim_not_multiple_of_codes_per_byte(std::string_view magic, std::uint64_t dim,
                                                   std::uint64_t codes_per_byte) {
  return concat({magic, " dim ", decimal(dim),
                 " is not a multiple of codes_per_byte = ", decimal(codes_per_byte)});
}
std::string msg_dim_not_multiple_of_64(std::string_view magic, std::uint64_t dim) {
  return concat({magic, " dim ", decimal(dim), " is not a multiple of 64"});
}
std::string msg_n_top_out_of_range(std::string_view magic, std::uint64_t n_top, std::uint64_t dim) {
  return concat(
      {magic, " n_top ", decimal(n_top), " must satisfy 0 < n_top < dim (", decimal(dim), ")"});
}
std::string msg_sign_dim_out_of_range(std::string_view magic, std::uint64_t dim,
                                      std::uint64_t max) {
  return concat({magic, " dim ", decimal(dim), " out of range [64, ", decimal(max), "]"});
}
std::string msg_n_vectors_limit(std::uint64_t n) {
  return concat({"n_vectors ", decimal(n), " exceeds MAX_VECTORS=", decimal(MAX_VECTORS)});
}
std::string msg_bytes_per_vec_overflow(std::string_view magic) {
  return concat({magic, " bytes_per_vec overflows usize"});
}
std::string msg_payload_overflow(std::string_view magic) {
  return concat({magic, " payload size overflows usize"});
}
std::string msg_payload_limit(std::uint64_t bytes) {
  return concat({"payload ", decimal(bytes), " B exceeds MAX_PAYLOAD=", decimal(MAX_PAYLOAD)});
}
std::string msg_payload_truncated(std::string_view magic, std::uint64_t payload,
                                  std::uint64_t remaining) {
  return concat({magic, " payload truncated: header declares ", decimal(payload),
                 " B but file has ", decimal(remaining), " B remaining"});
}
std::string msg_payload_trailing(std::string_view magic, std::uint64_t payload,
                                 std::uint64_t remaining) {
  return concat({magic, " payload has trailing bytes: header declares ", decimal(payload),
                 " B but file has ", decimal(remaining), " B remaining"});
}

// ---------------------------------------------------------------------------------------------
// Header rules.

constexpr std::uint8_t kSupportedVersion = 1;
constexpr std::uint64_t kDimMin = 2;
constexpr std::uint64_t kDimMax = 65535;
constexpr std::uint64_t kSignDimMin = 64;
constexpr std::uint64_t kSignDimMax = 16777216;
constexpr std::uint64_t kBitsPerWord = 64;
constexpr std::uint64_t kBytesPerWord = 8;

// The rank payload cannot overflow once dim and n_vectors have passed their checks, so its
// overflow rule never fires in a probe; it is there for headers written with unchecked values.
static_assert(kDimMax * MAX_VECTORS <= UINT64_MAX / 2);

// Messages name the kind's current magic, whichever spelling the file carried.
std::string_view magic_of(IndexKind kind) noexcept {
  const PersistedFormat* entry = lookup_kind(kind);
  return entry != nullptr ? entry->magic : std::string_view("????");
}

std::unexpected<ProbeError> invalid(std::string text) {
  return std::unexpected(ProbeError::invalid_data(std::move(text)));
}

std::expected<void, ProbeError> read_field(BufferedReader& reader, std::span<std::uint8_t> out,
                                           std::string_view label, std::string_view field) {
  auto got = reader.read_up_to(out);
  if (!got) return std::unexpected(std::move(got.error()));
  if (*got != out.size()) return std::unexpected(truncated_field(label, field));
  return {};
}

std::expected<std::uint8_t, ProbeError> read_u8(BufferedReader& reader, std::string_view magic,
                                                std::string_view field) {
  std::uint8_t byte = 0;
  if (auto ok = read_field(reader, {&byte, 1}, magic, field); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  return byte;
}

std::expected<void, ProbeError> check_dim_range(std::uint64_t dim) {
  if (dim < kDimMin || dim > kDimMax) return invalid(msg_dim_out_of_range(dim, kDimMax));
  return {};
}

// Shared tail of every probe: limit on the payload, then the file-size comparison.
std::expected<void, ProbeError> check_payload(BufferedReader& reader, std::string_view magic,
                                              std::uint64_t file_len, std::uint64_t payload) {
  if (auto ok = check_payload_bytes(payload); !ok) return ok;
  return check_payload_matches_file(reader, magic, file_len, payload);
}

// ---------------------------------------------------------------------------------------------
// Header layouts: the fields after the magic, in file order.

constexpr HeaderFieldLayout kVersionField{HeaderField::Version, "version", 1};
constexpr HeaderFieldLayout kBitsField{HeaderField::Bits, "bits", 1};
constexpr HeaderFieldLayout kDimField{HeaderField::Dim, "dim", 4};
constexpr HeaderFieldLayout kNTopField{HeaderField::NTop, "n_top", 4};
constexpr HeaderFieldLayout kNVectorsField{HeaderField::NVectors, "n_vectors", 4};

constexpr std::array kRankLayout{kVersionField, kDimField, kNVectorsField};
constexpr std::array kRankQuantLayout{kVersionField, kBitsField, kDimField, kNVectorsField};
constexpr std::array kBitmapLayout{kVersionField, kDimField, kNTopField, kNVectorsField};
constexpr std::array kSignBitmapLayout{kVersionField, kDimField, kNVectorsField};
// Of a fastscan header only the version byte is described: no probe reads past its magic.
constexpr std::array kFastscanLayout{kVersionField};

std::uint32_t field_value(const HeaderValues& values, HeaderField field) noexcept {
  switch (field) {
    case HeaderField::Version:
      return values.version;
    case HeaderField::Bits:
      return values.bits;
    case HeaderField::Dim:
      return values.dim;
    case HeaderField::NTop:
      return values.n_top;
    case HeaderField::NVectors:
      return values.n_vectors;
  }
  return 0;
}

// `value` was read from a field of `field`'s width, so it fits the member.
void set_field_value(HeaderValues& values, HeaderField field, std::uint32_t value) noexcept {
  switch (field) {
    case HeaderField::Version:
      values.version = static_cast<std::uint8_t>(value);
      return;
    case HeaderField::Bits:
      values.bits = static_cast<std::uint8_t>(value);
      return;
    case HeaderField::Dim:
      values.dim = value;
      return;
    case HeaderField::NTop:
      values.n_top = value;
      return;
    case HeaderField::NVectors:
      values.n_vectors = value;
      return;
  }
}

std::expected<void, ProbeError> check_version(std::string_view magic, std::uint8_t version) {
  if (version != kSupportedVersion) return invalid(msg_unsupported_version(magic, version));
  return {};
}

// The dimension rules of a kind; a quantised rank header has its bits checked already.
std::expected<void, ProbeError> check_dim(IndexKind kind, const HeaderValues& values,
                                          std::string_view magic) {
  const std::uint64_t dim = values.dim;
  if (kind == IndexKind::SignBitmap) {
    if (dim < kSignDimMin || dim > kSignDimMax) {
      return invalid(msg_sign_dim_out_of_range(magic, dim, kSignDimMax));
    }
  } else if (auto ok = check_dim_range(dim); !ok) {
    return ok;
  }
  if (kind == IndexKind::RankQuant) {
    // Every one of the 2^bits code levels must occur equally often within a vector.
    const std::uint64_t levels = std::uint64_t{1} << values.bits;
    if (dim % levels != 0) return invalid(msg_dim_not_multiple_of_levels(magic, dim, levels));
    // Codes are packed whole into bytes, so a vector never shares a byte with the next one.
    const std::uint64_t codes_per_byte = 8 / values.bits;
    if (dim % codes_per_byte != 0) {
      return invalid(msg_dim_not_multiple_of_codes_per_byte(magic, dim, codes_per_byte));
    }
  }
  if ((kind == IndexKind::Bitmap || kind == IndexKind::SignBitmap) && dim % kBitsPerWord != 0) {
    return invalid(msg_dim_not_multiple_of_64(magic, dim));
  }
  return {};
}

// The rule of one field, checked as soon as the field is read: `values` holds it and every field
// before it, and none after it.
std::expected<void, ProbeError> check_field(IndexKind kind, HeaderField field,
                                            const HeaderValues& values, std::string_view magic) {
  switch (field) {
    case HeaderField::Version:
      return check_version(magic, values.version);
    case HeaderField::Bits:
      if (values.bits != 1 && values.bits != 2 && values.bits != 4) {
        return invalid(msg_unsupported_bits(magic, values.bits));
      }
      return {};
    case HeaderField::Dim:
      return check_dim(kind, values, magic);
    case HeaderField::NTop:
      if (values.n_top == 0 || values.n_top >= values.dim) {
        return invalid(msg_n_top_out_of_range(magic, values.n_top, values.dim));
      }
      return {};
    case HeaderField::NVectors:
      return check_n_vectors(values.n_vectors);
  }
  return {};
}

// Reads the header fields of a kind in file order and fails at the first rule that does not hold.
std::expected<HeaderValues, ProbeError> read_header_fields(BufferedReader& reader, IndexKind kind,
                                                           std::string_view magic) {
  HeaderValues values;
  for (const HeaderFieldLayout& layout : header_layout(kind)) {
    std::uint32_t value = 0;
    if (layout.width == 1) {
      auto byte = read_u8(reader, magic, layout.name);
      if (!byte) return std::unexpected(std::move(byte.error()));
      value = *byte;
    } else {
      auto word = read_u32_le(reader, magic, layout.name);
      if (!word) return std::unexpected(std::move(word.error()));
      value = *word;
    }
    set_field_value(values, layout.field, value);
    if (auto ok = check_field(kind, layout.field, values, magic); !ok) {
      return std::unexpected(std::move(ok.error()));
    }
  }
  return values;
}

std::uint64_t bytes_per_vector(IndexKind kind, const HeaderValues& values) noexcept {
  switch (kind) {
    case IndexKind::Rank:
      return std::uint64_t{2} * values.dim;
    case IndexKind::RankQuant:
      return std::uint64_t{values.dim} * values.bits / 8;
    case IndexKind::Bitmap:
    case IndexKind::SignBitmap:
      return values.dim / 8;
    case IndexKind::RankQuantFastscan:
      break;
  }
  return 0;
}

IndexParams params_of(IndexKind kind, const HeaderValues& values) noexcept {
  switch (kind) {
    case IndexKind::Rank:
      return IndexParams::rank();
    case IndexKind::RankQuant:
      return IndexParams::rank_quant(values.bits);
    case IndexKind::Bitmap:
      return IndexParams::bitmap(values.n_top);
    case IndexKind::SignBitmap:
      return IndexParams::sign_bitmap();
    case IndexKind::RankQuantFastscan:
      break;
  }
  return IndexParams::rank_quant_fastscan(values.bits);
}

// The probe of a kind that has a layout: its fields, then the payload they declare against the
// limit and against the file.
std::expected<IndexMetadata, ProbeError> probe_header(BufferedReader& reader, IndexKind kind,
                                                      std::uint64_t file_len) {
  const std::string_view magic = magic_of(kind);
  auto values = read_header_fields(reader, kind, magic);
  if (!values) return std::unexpected(std::move(values.error()));
  auto payload = declared_payload_bytes(kind, *values);
  if (!payload) return std::unexpected(std::move(payload.error()));
  if (auto ok = check_payload(reader, magic, file_len, *payload); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  return IndexMetadata{.kind = kind,
                       .params = params_of(kind, *values),
                       .version = values->version,
                       .dim = values->dim,
                       .n_vectors = values->n_vectors,
                       .bytes_per_vec = bytes_per_vector(kind, *values),
                       .file_len = file_len};
}

// Owns a descriptor opened by probe_index_path so every return path closes it.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() {
    // Not retried on EINTR: on Linux the descriptor is released even then.
    if (fd_ >= 0) ::close(fd_);
  }
  [[nodiscard]] int get() const noexcept { return fd_; }

 private:
  int fd_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// BufferedReader

std::expected<std::size_t, ProbeError> BufferedReader::read_up_to(std::span<std::uint8_t> out) {
  std::size_t copied = 0;
  while (copied < out.size()) {
    if (pos_ == len_) {
      ssize_t n;
      do {
        n = ::read(fd_, buf_.data(), buf_.size());
      } while (n < 0 && errno == EINTR);
      if (n < 0) return std::unexpected(ProbeError::os(errno));
      if (n == 0) break;
      pos_ = 0;
      len_ = static_cast<std::size_t>(n);
    }
    const std::size_t take = std::min(out.size() - copied, len_ - pos_);
    std::memcpy(out.data() + copied, buf_.data() + pos_, take);
    pos_ += take;
    copied += take;
  }
  return copied;
}

std::expected<std::uint64_t, ProbeError> BufferedReader::logical_position() const {
  const off_t offset = ::lseek(fd_, 0, SEEK_CUR);
  if (offset < 0) return std::unexpected(ProbeError::os(errno));
  const auto fetched_end = static_cast<std::uint64_t>(offset);
  // Someone else moving a shared descriptor's offset could make this negative; clamp rather than
  // wrap around.
  return fetched_end >= buffered() ? fetched_end - buffered() : 0;
}

// ---------------------------------------------------------------------------------------------
// Shared routines

ProbeError truncated_field(std::string_view label, std::string_view field) {
  return ProbeError::unexpected_eof(msg_truncated(label, field));
}

std::expected<std::uint8_t, ProbeError> read_version(BufferedReader& reader,
                                                     std::string_view magic) {
  auto version = read_u8(reader, magic, kVersionField.name);
  if (!version) return version;
  if (auto ok = check_version(magic, *version); !ok) return std::unexpected(std::move(ok.error()));
  return version;
}

std::expected<std::uint32_t, ProbeError> read_u32_le(BufferedReader& reader, std::string_view magic,
                                                     std::string_view field) {
  std::array<std::uint8_t, 4> bytes{};
  if (auto ok = read_field(reader, bytes, magic, field); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) |
         (static_cast<std::uint32_t>(bytes[3]) << 24);
}

std::expected<void, ProbeError> check_n_vectors(std::uint64_t n) {
  if (n > MAX_VECTORS) return invalid(msg_n_vectors_limit(n));
  return {};
}

std::expected<void, ProbeError> check_payload_bytes(std::uint64_t bytes) {
  if (bytes > MAX_PAYLOAD) return invalid(msg_payload_limit(bytes));
  return {};
}

std::expected<std::uint64_t, ProbeError> rankquant_payload_bytes(std::uint64_t dim,
                                                                 std::uint64_t n_vectors,
                                                                 std::uint8_t bits) {
  const std::string_view magic = magic_of(IndexKind::RankQuant);
  std::uint64_t dim_bits = 0;
  if (__builtin_mul_overflow(dim, static_cast<std::uint64_t>(bits), &dim_bits)) {
    return invalid(msg_bytes_per_vec_overflow(magic));
  }
  std::uint64_t payload = 0;
  if (__builtin_mul_overflow(n_vectors, dim_bits / 8, &payload)) {
    return invalid(msg_payload_overflow(magic));
  }
  return payload;
}

std::expected<std::uint64_t, ProbeError> bitmap_payload_bytes(std::uint64_t dim,
                                                              std::uint64_t n_vectors,
                                                              std::string_view magic) {
  std::uint64_t words = 0;
  std::uint64_t payload = 0;
  if (__builtin_mul_overflow(dim / kBitsPerWord, n_vectors, &words) ||
      __builtin_mul_overflow(words, kBytesPerWord, &payload)) {
    return invalid(msg_payload_overflow(magic));
  }
  return payload;
}

std::expected<void, ProbeError> check_payload_matches_file(BufferedReader& reader,
                                                           std::string_view magic,
                                                           std::uint64_t file_len,
                                                           std::uint64_t payload) {
  auto position = reader.logical_position();
  if (!position) return std::unexpected(std::move(position.error()));
  const std::uint64_t remaining = file_len > *position ? file_len - *position : 0;
  if (remaining < payload) return invalid(msg_payload_truncated(magic, payload, remaining));
  if (remaining > payload) return invalid(msg_payload_trailing(magic, payload, remaining));
  return {};
}

// ---------------------------------------------------------------------------------------------
// Header layouts and probes. Each probe reads its fields strictly in header order and checks a
// field as soon as it has it.

std::span<const HeaderFieldLayout> header_layout(IndexKind kind) noexcept {
  switch (kind) {
    case IndexKind::Rank:
      return kRankLayout;
    case IndexKind::RankQuant:
      return kRankQuantLayout;
    case IndexKind::Bitmap:
      return kBitmapLayout;
    case IndexKind::SignBitmap:
      return kSignBitmapLayout;
    case IndexKind::RankQuantFastscan:
      return kFastscanLayout;
  }
  return {};
}

std::vector<std::uint8_t> encode_index_header(std::string_view magic, IndexKind kind,
                                              const HeaderValues& values) {
  std::vector<std::uint8_t> out(magic.begin(), magic.end());
  for (const HeaderFieldLayout& layout : header_layout(kind)) {
    const std::uint32_t value = field_value(values, layout.field);
    for (unsigned byte = 0; byte < layout.width; ++byte) {
      out.push_back(static_cast<std::uint8_t>(value >> (8 * byte)));
    }
  }
  return out;
}

std::expected<std::uint64_t, ProbeError> declared_payload_bytes(IndexKind kind,
                                                                const HeaderValues& values) {
  switch (kind) {
    case IndexKind::Rank: {
      std::uint64_t payload = 0;
      if (__builtin_mul_overflow(bytes_per_vector(kind, values), std::uint64_t{values.n_vectors},
                                 &payload)) {
        return invalid(msg_payload_overflow(magic_of(kind)));
      }
      return payload;
    }
    case IndexKind::RankQuant:
      return rankquant_payload_bytes(values.dim, values.n_vectors, values.bits);
    case IndexKind::Bitmap:
    case IndexKind::SignBitmap:
      return bitmap_payload_bytes(values.dim, values.n_vectors, magic_of(kind));
    case IndexKind::RankQuantFastscan:
      break;
  }
  return 0;
}

std::expected<IndexMetadata, ProbeError> probe_rank_metadata(BufferedReader& reader,
                                                             std::uint64_t file_len) {
  return probe_header(reader, IndexKind::Rank, file_len);
}

std::expected<IndexMetadata, ProbeError> probe_rankquant_metadata(BufferedReader& reader,
                                                                  std::uint64_t file_len) {
  return probe_header(reader, IndexKind::RankQuant, file_len);
}

std::expected<IndexMetadata, ProbeError> probe_bitmap_metadata(BufferedReader& reader,
                                                               std::uint64_t file_len) {
  return probe_header(reader, IndexKind::Bitmap, file_len);
}

std::expected<IndexMetadata, ProbeError> probe_sign_bitmap_metadata(BufferedReader& reader,
                                                                    std::uint64_t file_len) {
  return probe_header(reader, IndexKind::SignBitmap, file_len);
}

// ---------------------------------------------------------------------------------------------
// Entry points

std::expected<IndexMetadata, ProbeError> probe_index_file(int fd, std::uint64_t file_len) {
  BufferedReader reader(fd);
  std::array<std::uint8_t, 4> magic{};
  if (auto ok = read_field(reader, magic, kMagicLabel, "magic"); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  const std::uint32_t value =
      static_cast<std::uint32_t>(magic[0]) | (static_cast<std::uint32_t>(magic[1]) << 8) |
      (static_cast<std::uint32_t>(magic[2]) << 16) | (static_cast<std::uint32_t>(magic[3]) << 24);
  const PersistedFormat* entry = lookup_magic(value);
  if (entry == nullptr) return invalid(std::string(kUnknownMagic));

  switch (entry->kind) {
    case IndexKind::Rank:
      return probe_rank_metadata(reader, file_len);
    case IndexKind::RankQuant:
      return probe_rankquant_metadata(reader, file_len);
    case IndexKind::Bitmap:
      return probe_bitmap_metadata(reader, file_len);
    case IndexKind::SignBitmap:
      return probe_sign_bitmap_metadata(reader, file_len);
    case IndexKind::RankQuantFastscan:
      break;
  }
  // A registered format whose header this version cannot read: its registry entry explains why.
  return invalid(std::string(entry->probe_support.reason));
}

std::expected<IndexMetadata, ProbeError> probe_index_path(const std::string& path) {
  // open(2) would silently stop at the NUL and probe a different file.
  if (path.find('\0') != std::string::npos) return std::unexpected(ProbeError::os(EINVAL));

  // O_NONBLOCK: opening a FIFO without a writer would otherwise block forever; for regular files
  // it has no effect.
  int raw;
  do {
    raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) return std::unexpected(ProbeError::os(errno));
  const UniqueFd fd(raw);

  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(ProbeError::os(errno));
  const std::uint64_t file_len = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  return probe_index_file(fd.get(), file_len);
}

}  // namespace karnid::index_core
