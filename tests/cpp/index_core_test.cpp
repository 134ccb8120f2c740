#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "index_fixtures.hpp"
#include "karnid/index_core/format.hpp"
#include "karnid/index_core/rank_io.hpp"

namespace karnid::index_core {
namespace {

using fixtures::IndexSpec;
using fixtures::OpenFd;
using fixtures::TempFile;
using fixtures::independent::current_magic;
using fixtures::independent::legacy_magic;

// The probes are checked against files from the independent writer, not from index-core's own
// layouts, which the probes read by; the last test holds the two writers together. Constants
// rather than using-declarations: for a function name, argument-dependent lookup would add
// index-core's writers of the same names from the fixtures.
constexpr auto* header_bytes = &fixtures::independent::header_bytes;
constexpr auto* file_bytes = &fixtures::independent::file_bytes;
constexpr auto* declared_payload = &fixtures::independent::declared_payload;
using Kind = ProbeError::Kind;
using ProbeResult = std::expected<IndexMetadata, ProbeError>;

constexpr IndexKind kReadableKinds[] = {IndexKind::Rank, IndexKind::RankQuant, IndexKind::Bitmap,
                                        IndexKind::SignBitmap};

std::string describe(const ProbeError& e) {
  const char* kind = e.kind == Kind::InvalidData     ? "InvalidData"
                     : e.kind == Kind::UnexpectedEof ? "UnexpectedEof"
                                                     : "Os";
  return std::string(kind) + " errno=" + std::to_string(e.os_errno) + " \"" + e.message + "\"";
}

template <typename T>
::testing::AssertionResult FailsWith(const std::expected<T, ProbeError>& result, Kind kind,
                                     const std::string& message) {
  if (result) return ::testing::AssertionFailure() << "succeeded, expected \"" << message << "\"";
  if (result.error() != ProbeError{kind, 0, message}) {
    return ::testing::AssertionFailure() << "got " << describe(result.error());
  }
  return ::testing::AssertionSuccess();
}

template <typename T>
::testing::AssertionResult FailsWithErrno(const std::expected<T, ProbeError>& result, int errnum) {
  if (result) return ::testing::AssertionFailure() << "succeeded, expected errno " << errnum;
  if (result.error().kind != Kind::Os || result.error().os_errno != errnum) {
    return ::testing::AssertionFailure() << "got " << describe(result.error());
  }
  return ::testing::AssertionSuccess();
}

// Writes the whole file (header and payload) and probes it by path.
ProbeResult probe_file(const IndexSpec& spec) {
  TempFile file(file_bytes(spec));
  return probe_index_path(file.path());
}

ProbeResult probe_bytes(const std::vector<std::uint8_t>& bytes) {
  TempFile file(bytes);
  return probe_index_path(file.path());
}

// Writes only the header and claims the length the full file would have. The probe checks the
// payload arithmetically, so this reaches limit-sized payloads without writing them.
ProbeResult probe_header_claiming_payload(const IndexSpec& spec) {
  const std::vector<std::uint8_t> header = header_bytes(spec);
  TempFile file(header);
  OpenFd fd(file.path());
  const std::uint64_t claimed = header.size() + declared_payload(spec) + spec.payload_adjust;
  return probe_index_file(fd.get(), claimed);
}

// ---------------------------------------------------------------------------------------------
// Registry

TEST(FormatRegistry, HoldsTheFiveFormatsInOrder) {
  struct Row {
    const char* magic;
    const char* legacy;
    const char* extension;
    IndexKind kind;
  };
  const Row rows[] = {{"KDR1", "QDR1", "kdr", IndexKind::Rank},
                      {"KDRQ", "QDRQ", "kdrq", IndexKind::RankQuant},
                      {"KDBM", "QDBM", "kdbm", IndexKind::Bitmap},
                      {"KDSB", "QDSB", "kdsb", IndexKind::SignBitmap},
                      {"KDFS", nullptr, "kdfs", IndexKind::RankQuantFastscan}};
  const auto formats = persisted_formats();
  ASSERT_EQ(formats.size(), std::size(rows));
  for (std::size_t i = 0; i < formats.size(); ++i) {
    SCOPED_TRACE(rows[i].magic);
    EXPECT_EQ(formats[i].magic, rows[i].magic);
    EXPECT_EQ(formats[i].legacy_magic.has_value(), rows[i].legacy != nullptr);
    if (rows[i].legacy != nullptr) {
      EXPECT_EQ(*formats[i].legacy_magic, rows[i].legacy);
    }
    EXPECT_EQ(formats[i].extension, rows[i].extension);
    EXPECT_EQ(formats[i].kind, rows[i].kind);
    const bool readable = rows[i].kind != IndexKind::RankQuantFastscan;
    EXPECT_EQ(formats[i].probe_support.supported, readable);
    EXPECT_EQ(formats[i].schema_support.supported, readable);
    EXPECT_EQ(lookup_kind(rows[i].kind), &formats[i]);
  }
}

TEST(FormatRegistry, FastscanIsRecognisedButNeitherProbedNorInSchema) {
  const PersistedFormat* kdfs = lookup_kind(IndexKind::RankQuantFastscan);
  ASSERT_NE(kdfs, nullptr);
  EXPECT_EQ(kdfs->probe_support.tracking_number, 232u);
  EXPECT_EQ(kdfs->probe_support.reason,
            "KDFS (RankQuantFastscan) metadata probing is not supported in this version; load the "
            "index with RankQuantFastscan::load (tracked in #232)");
  EXPECT_EQ(kdfs->schema_support.tracking_number, 232u);
  EXPECT_EQ(kdfs->schema_support.reason,
            "RankQuantFastscan (.kdfs) is not covered by karnid-manifest v1 (tracked in #232)");
}

TEST(FormatRegistry, MagicValueIsLittleEndianFileOrder) {
  EXPECT_EQ(magic_value("KDR1"), 0x3152444Bu);  // bytes K D R 1 as they stand in the file
  static_assert(magic_value("KDRQ") == ('K' | 'D' << 8 | 'R' << 16 | 'Q' << 24));
  EXPECT_EQ(magic_value("KDR"), 0u);
  EXPECT_EQ(magic_value("KDR1x"), 0u);
}

TEST(FormatRegistry, LookupMagicMatchesBothSpellingsExactly) {
  for (const PersistedFormat& entry : persisted_formats()) {
    SCOPED_TRACE(std::string(entry.magic));
    EXPECT_EQ(lookup_magic(magic_value(entry.magic)), &entry);
    if (entry.legacy_magic) {
      EXPECT_EQ(lookup_magic(magic_value(*entry.legacy_magic)), &entry);
    }
  }
  for (const char* unknown : {"kdrq", "KDR2", "QDFS", "1RDK", "\0\0\0\0"}) {
    SCOPED_TRACE(unknown);
    EXPECT_EQ(lookup_magic(magic_value(std::string_view(unknown, 4))), nullptr);
  }
  EXPECT_EQ(lookup_kind(static_cast<IndexKind>(5)), nullptr);
}

TEST(IndexParams, DebugStrings) {
  EXPECT_EQ(debug_string(IndexKind::RankQuantFastscan), "RankQuantFastscan");
  EXPECT_EQ(debug_string(IndexKind::SignBitmap), "SignBitmap");
  EXPECT_EQ(debug_string(IndexParams::rank()), "Rank");
  EXPECT_EQ(debug_string(IndexParams::rank_quant(4)), "RankQuant { bits: 4 }");
  EXPECT_EQ(debug_string(IndexParams::bitmap(16)), "Bitmap { n_top: 16 }");
  EXPECT_EQ(debug_string(IndexParams::bitmap(18446744073709551615u)),
            "Bitmap { n_top: 18446744073709551615 }");
  EXPECT_EQ(debug_string(IndexParams::sign_bitmap()), "SignBitmap");
  EXPECT_EQ(debug_string(IndexParams::rank_quant_fastscan(255)), "RankQuantFastscan { bits: 255 }");
}

TEST(IndexParams, EqualityComparesOnlyTheKindsOwnFields) {
  EXPECT_EQ(IndexParams::rank_quant(2), IndexParams::rank_quant(2));
  EXPECT_NE(IndexParams::rank_quant(2), IndexParams::rank_quant(4));
  EXPECT_NE(IndexParams::rank_quant(4), IndexParams::rank_quant_fastscan(4));
  EXPECT_NE(IndexParams::bitmap(8), IndexParams::bitmap(9));
  EXPECT_NE(IndexParams::rank(), IndexParams::sign_bitmap());
  // A stray field the kind does not carry does not make two values different.
  EXPECT_EQ((IndexParams{IndexKind::Rank, 4, 7}), IndexParams::rank());
  EXPECT_EQ((IndexParams{IndexKind::Bitmap, 3, 8}), IndexParams::bitmap(8));
}

// ---------------------------------------------------------------------------------------------
// Magic dispatch

TEST(ProbeIndexFile, TooShortForAMagic) {
  for (std::size_t len : {0u, 1u, 3u}) {
    SCOPED_TRACE(len);
    std::vector<std::uint8_t> bytes{'K', 'D', 'R'};
    bytes.resize(len);
    EXPECT_TRUE(FailsWith(probe_bytes(bytes), Kind::UnexpectedEof,
                          "karnid index header truncated while reading magic"));
  }
}

TEST(ProbeIndexFile, UnknownMagic) {
  for (const char* magic : {"kdrq", "KDR2", "QDFS", "PK\x03\x04"}) {
    SCOPED_TRACE(magic);
    // A well-formed rank header behind it must not matter.
    EXPECT_TRUE(FailsWith(probe_file({.kind = IndexKind::Rank, .magic = magic}), Kind::InvalidData,
                          "unknown karnid index magic"));
  }
}

TEST(ProbeIndexFile, FastscanFailsWithTheRegistryReason) {
  const std::string reason(lookup_kind(IndexKind::RankQuantFastscan)->probe_support.reason);
  for (std::size_t extra : {0u, 1u, 64u}) {
    std::vector<std::uint8_t> bytes{'K', 'D', 'F', 'S'};
    bytes.resize(4 + extra, 1);
    EXPECT_TRUE(FailsWith(probe_bytes(bytes), Kind::InvalidData, reason));
  }
}

TEST(ProbeIndexFile, LegacyMagicProbesLikeTheCurrentOneAndReportsTheCurrentMagic) {
  for (IndexKind kind : kReadableKinds) {
    const std::string magic = current_magic(kind);
    SCOPED_TRACE(magic);
    const ProbeResult current = probe_file({.kind = kind});
    const ProbeResult legacy = probe_file({.kind = kind, .magic = legacy_magic(kind)});
    ASSERT_TRUE(current.has_value()) << describe(current.error());
    ASSERT_TRUE(legacy.has_value()) << describe(legacy.error());
    EXPECT_EQ(*legacy, *current);

    EXPECT_TRUE(FailsWith(probe_file({.kind = kind, .magic = legacy_magic(kind), .version = 2}),
                          Kind::InvalidData, "unsupported " + magic + " version: 2"));
    EXPECT_TRUE(
        FailsWith(probe_file({.kind = kind, .magic = legacy_magic(kind), .payload_adjust = 1}),
                  Kind::InvalidData,
                  magic + " payload has trailing bytes: header declares " +
                      std::to_string(declared_payload({.kind = kind})) + " B but file has " +
                      std::to_string(declared_payload({.kind = kind}) + 1) + " B remaining"));
  }
}

// ---------------------------------------------------------------------------------------------
// Accepted headers

TEST(ProbeIndexFile, ReportsHeaderFactsOfValidFiles) {
  struct Case {
    IndexSpec spec;
    IndexParams params;
    std::uint64_t bytes_per_vec;
  };
  const Case cases[] = {
      {{.kind = IndexKind::Rank, .dim = 2, .n_vectors = 3}, IndexParams::rank(), 4},
      {{.kind = IndexKind::Rank, .dim = 65535, .n_vectors = 1}, IndexParams::rank(), 131070},
      {{.kind = IndexKind::Rank, .dim = 8, .n_vectors = 0}, IndexParams::rank(), 16},
      {{.kind = IndexKind::RankQuant, .bits = 1, .dim = 8, .n_vectors = 5},
       IndexParams::rank_quant(1),
       1},
      {{.kind = IndexKind::RankQuant, .bits = 2, .dim = 4, .n_vectors = 5},
       IndexParams::rank_quant(2),
       1},
      {{.kind = IndexKind::RankQuant, .bits = 2, .dim = 12, .n_vectors = 2},
       IndexParams::rank_quant(2),
       3},
      {{.kind = IndexKind::RankQuant, .bits = 4, .dim = 16, .n_vectors = 7},
       IndexParams::rank_quant(4),
       8},
      {{.kind = IndexKind::RankQuant, .bits = 4, .dim = 65520, .n_vectors = 1},
       IndexParams::rank_quant(4),
       32760},
      {{.kind = IndexKind::Bitmap, .dim = 64, .n_top = 1, .n_vectors = 2},
       IndexParams::bitmap(1),
       8},
      {{.kind = IndexKind::Bitmap, .dim = 64, .n_top = 63, .n_vectors = 2},
       IndexParams::bitmap(63),
       8},
      {{.kind = IndexKind::Bitmap, .dim = 65472, .n_top = 65471, .n_vectors = 1},
       IndexParams::bitmap(65471),
       8184},
      {{.kind = IndexKind::SignBitmap, .dim = 64, .n_vectors = 3}, IndexParams::sign_bitmap(), 8},
      {{.kind = IndexKind::SignBitmap, .dim = 16777216, .n_vectors = 1},
       IndexParams::sign_bitmap(),
       2097152},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(debug_string(c.params) + " dim " + std::to_string(c.spec.dim));
    const std::vector<std::uint8_t> bytes = file_bytes(c.spec);
    const ProbeResult result = probe_bytes(bytes);
    ASSERT_TRUE(result.has_value()) << describe(result.error());
    EXPECT_EQ(*result, (IndexMetadata{c.spec.kind, c.params, 1, c.spec.dim, c.spec.n_vectors,
                                      c.bytes_per_vec, bytes.size()}));
  }
}

TEST(ProbeIndexFile, LimitsAreInclusive) {
  // dim 1024 * MAX_VECTORS * 2 is exactly MAX_PAYLOAD.
  const IndexSpec at_both_limits{.kind = IndexKind::Rank, .dim = 1024, .n_vectors = 67108864};
  ASSERT_EQ(declared_payload(at_both_limits), MAX_PAYLOAD);
  const ProbeResult result = probe_header_claiming_payload(at_both_limits);
  ASSERT_TRUE(result.has_value()) << describe(result.error());
  EXPECT_EQ(result->n_vectors, MAX_VECTORS);
  EXPECT_EQ(result->file_len, 13 + MAX_PAYLOAD);
}

// ---------------------------------------------------------------------------------------------
// Rejected headers: the first failing rule decides.

struct RuleCase {
  const char* name;
  IndexSpec spec;
  const char* message;
};

class ProbeRule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(ProbeRule, FailsWithExactMessage) {
  EXPECT_TRUE(FailsWith(probe_header_claiming_payload(GetParam().spec), Kind::InvalidData,
                        GetParam().message));
}

constexpr std::uint32_t kTooMany = 67108865;

const RuleCase kRuleCases[] = {
    // version, every kind
    {"rank_version0", {.kind = IndexKind::Rank, .version = 0}, "unsupported KDR1 version: 0"},
    {"bm_version255", {.kind = IndexKind::Bitmap, .version = 255}, "unsupported KDBM version: 255"},
    // version is checked before anything else
    {"version_before_dim",
     {.kind = IndexKind::Rank, .version = 2, .dim = 0},
     "unsupported KDR1 version: 2"},
    // dim ranges
    {"rank_dim1", {.kind = IndexKind::Rank, .dim = 1}, "dim 1 out of range [2, 65535]"},
    {"rank_dim65536", {.kind = IndexKind::Rank, .dim = 65536}, "dim 65536 out of range [2, 65535]"},
    {"rq_dim65536_range_first",
     {.kind = IndexKind::RankQuant, .bits = 4, .dim = 65536},
     "dim 65536 out of range [2, 65535]"},
    {"bm_dim65536", {.kind = IndexKind::Bitmap, .dim = 65536}, "dim 65536 out of range [2, 65535]"},
    {"sb_dim63",
     {.kind = IndexKind::SignBitmap, .dim = 63},
     "KDSB dim 63 out of range [64, 16777216]"},
    {"sb_dim_past_max",
     {.kind = IndexKind::SignBitmap, .dim = 16777280},
     "KDSB dim 16777280 out of range [64, 16777216]"},
    // bits, before dim
    {"rq_bits3",
     {.kind = IndexKind::RankQuant, .bits = 3},
     "unsupported KDRQ bits: 3 (expected 1, 2, or 4)"},
    {"rq_bits8_bad_dim",
     {.kind = IndexKind::RankQuant, .bits = 8, .dim = 0},
     "unsupported KDRQ bits: 8 (expected 1, 2, or 4)"},
    // dim multiples
    {"rq_bits4_dim8",
     {.kind = IndexKind::RankQuant, .bits = 4, .dim = 8},
     "KDRQ dim 8 is not a multiple of 2^bits = 16; constant-composition invariant violated"},
    {"rq_bits2_dim6",
     {.kind = IndexKind::RankQuant, .bits = 2, .dim = 6},
     "KDRQ dim 6 is not a multiple of 2^bits = 4; constant-composition invariant violated"},
    {"rq_bits1_dim3",
     {.kind = IndexKind::RankQuant, .bits = 1, .dim = 3},
     "KDRQ dim 3 is not a multiple of 2^bits = 2; constant-composition invariant violated"},
    {"rq_bits1_dim6",
     {.kind = IndexKind::RankQuant, .bits = 1, .dim = 6},
     "KDRQ dim 6 is not a multiple of codes_per_byte = 8"},
    {"bm_dim96", {.kind = IndexKind::Bitmap, .dim = 96}, "KDBM dim 96 is not a multiple of 64"},
    {"bm_dim_before_n_top",
     {.kind = IndexKind::Bitmap, .dim = 100, .n_top = 0},
     "KDBM dim 100 is not a multiple of 64"},
    {"sb_dim100",
     {.kind = IndexKind::SignBitmap, .dim = 100},
     "KDSB dim 100 is not a multiple of 64"},
    // n_top
    {"bm_n_top0",
     {.kind = IndexKind::Bitmap, .dim = 64, .n_top = 0},
     "KDBM n_top 0 must satisfy 0 < n_top < dim (64)"},
    {"bm_n_top_eq_dim",
     {.kind = IndexKind::Bitmap, .dim = 64, .n_top = 64},
     "KDBM n_top 64 must satisfy 0 < n_top < dim (64)"},
    // n_vectors, every kind
    {"rank_n",
     {.kind = IndexKind::Rank, .dim = 2, .n_vectors = kTooMany},
     "n_vectors 67108865 exceeds MAX_VECTORS=67108864"},
    {"rq_n",
     {.kind = IndexKind::RankQuant, .n_vectors = 4294967295u},
     "n_vectors 4294967295 exceeds MAX_VECTORS=67108864"},
    {"bm_n",
     {.kind = IndexKind::Bitmap, .n_vectors = kTooMany},
     "n_vectors 67108865 exceeds MAX_VECTORS=67108864"},
    {"sb_n",
     {.kind = IndexKind::SignBitmap, .n_vectors = kTooMany},
     "n_vectors 67108865 exceeds MAX_VECTORS=67108864"},
    // payload limit, every kind
    {"rank_payload",
     {.kind = IndexKind::Rank, .dim = 1026, .n_vectors = 67108864},
     "payload 137707388928 B exceeds MAX_PAYLOAD=137438953472"},
    {"rq_payload",
     {.kind = IndexKind::RankQuant, .bits = 4, .dim = 65520, .n_vectors = 67108864},
     "payload 2198486384640 B exceeds MAX_PAYLOAD=137438953472"},
    {"bm_payload",
     {.kind = IndexKind::Bitmap, .dim = 16448, .n_top = 1, .n_vectors = 67108864},
     "payload 137975824384 B exceeds MAX_PAYLOAD=137438953472"},
    {"sb_payload",
     {.kind = IndexKind::SignBitmap, .dim = 16777216, .n_vectors = 65537},
     "payload 137441050624 B exceeds MAX_PAYLOAD=137438953472"},
    // payload against the file, every kind
    {"rank_short",
     {.kind = IndexKind::Rank, .dim = 2, .n_vectors = 3, .payload_adjust = -1},
     "KDR1 payload truncated: header declares 12 B but file has 11 B remaining"},
    {"rank_long",
     {.kind = IndexKind::Rank, .dim = 2, .n_vectors = 3, .payload_adjust = 1},
     "KDR1 payload has trailing bytes: header declares 12 B but file has 13 B remaining"},
    {"rq_short",
     {.kind = IndexKind::RankQuant, .bits = 2, .dim = 12, .n_vectors = 2, .payload_adjust = -6},
     "KDRQ payload truncated: header declares 6 B but file has 0 B remaining"},
    {"bm_long",
     {.kind = IndexKind::Bitmap, .dim = 128, .n_top = 5, .n_vectors = 1, .payload_adjust = 1},
     "KDBM payload has trailing bytes: header declares 16 B but file has 17 B remaining"},
    {"sb_empty_with_byte",
     {.kind = IndexKind::SignBitmap, .dim = 64, .n_vectors = 0, .payload_adjust = 1},
     "KDSB payload has trailing bytes: header declares 0 B but file has 1 B remaining"},
};

INSTANTIATE_TEST_SUITE_P(AllKinds, ProbeRule, ::testing::ValuesIn(kRuleCases),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(ProbeIndexFile, FileEndingInsideEachFieldNamesThatField) {
  struct Layout {
    IndexKind kind;
    std::vector<const char*> fields;  // one entry per header byte after the magic
  };
  const Layout layouts[] = {
      {IndexKind::Rank,
       {"version", "dim", "dim", "dim", "dim", "n_vectors", "n_vectors", "n_vectors", "n_vectors"}},
      {IndexKind::RankQuant,
       {"version", "bits", "dim", "dim", "dim", "dim", "n_vectors", "n_vectors", "n_vectors",
        "n_vectors"}},
      {IndexKind::Bitmap,
       {"version", "dim", "dim", "dim", "dim", "n_top", "n_top", "n_top", "n_top", "n_vectors",
        "n_vectors", "n_vectors", "n_vectors"}},
      {IndexKind::SignBitmap,
       {"version", "dim", "dim", "dim", "dim", "n_vectors", "n_vectors", "n_vectors", "n_vectors"}},
  };
  for (const Layout& layout : layouts) {
    const std::vector<std::uint8_t> full = header_bytes({.kind = layout.kind});
    ASSERT_EQ(full.size(), 4 + layout.fields.size());
    for (std::size_t cut = 4; cut < full.size(); ++cut) {
      SCOPED_TRACE(current_magic(layout.kind) + " cut at " + std::to_string(cut));
      // Legacy files are cut too: the label is still the current magic.
      for (const std::string& magic : {current_magic(layout.kind), legacy_magic(layout.kind)}) {
        std::vector<std::uint8_t> bytes = header_bytes({.kind = layout.kind, .magic = magic});
        bytes.resize(cut);
        EXPECT_TRUE(FailsWith(probe_bytes(bytes), Kind::UnexpectedEof,
                              current_magic(layout.kind) + " header truncated while reading " +
                                  layout.fields[cut - 4]));
      }
    }
  }
}

TEST(ProbeIndexFile, RuleViolationWinsOverALaterTruncation) {
  struct Case {
    IndexSpec spec;
    std::size_t keep;  // header bytes kept
    const char* message;
  };
  const Case cases[] = {
      {{.kind = IndexKind::Rank, .version = 2}, 5, "unsupported KDR1 version: 2"},
      {{.kind = IndexKind::RankQuant, .bits = 3},
       6,
       "unsupported KDRQ bits: 3 (expected 1, 2, or 4)"},
      {{.kind = IndexKind::RankQuant, .bits = 4, .dim = 8},
       10,
       "KDRQ dim 8 is not a multiple of 2^bits = 16; constant-composition invariant violated"},
      {{.kind = IndexKind::Bitmap, .dim = 64, .n_top = 64},
       13,
       "KDBM n_top 64 must satisfy 0 < n_top < dim (64)"},
      {{.kind = IndexKind::SignBitmap, .dim = 32}, 9, "KDSB dim 32 out of range [64, 16777216]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    std::vector<std::uint8_t> bytes = header_bytes(c.spec);
    bytes.resize(c.keep);
    EXPECT_TRUE(FailsWith(probe_bytes(bytes), Kind::InvalidData, c.message));
  }
}

// ---------------------------------------------------------------------------------------------
// Shared routines used directly

TEST(ProbeHelpers, GlobalLimitsAreInclusive) {
  EXPECT_TRUE(check_n_vectors(MAX_VECTORS).has_value());
  EXPECT_TRUE(FailsWith(check_n_vectors(MAX_VECTORS + 1), Kind::InvalidData,
                        "n_vectors 67108865 exceeds MAX_VECTORS=67108864"));
  EXPECT_TRUE(check_payload_bytes(MAX_PAYLOAD).has_value());
  EXPECT_TRUE(FailsWith(check_payload_bytes(UINT64_MAX), Kind::InvalidData,
                        "payload 18446744073709551615 B exceeds MAX_PAYLOAD=137438953472"));
}

TEST(ProbeHelpers, PayloadSizesDetectOverflow) {
  EXPECT_EQ(rankquant_payload_bytes(16, 3, 4), 24u);
  EXPECT_EQ(rankquant_payload_bytes(std::uint64_t{1} << 61, 1, 4), std::uint64_t{1} << 60);
  EXPECT_TRUE(FailsWith(rankquant_payload_bytes(std::uint64_t{1} << 62, 1, 4), Kind::InvalidData,
                        "KDRQ bytes_per_vec overflows usize"));
  EXPECT_TRUE(FailsWith(rankquant_payload_bytes(std::uint64_t{1} << 61, 16, 4), Kind::InvalidData,
                        "KDRQ payload size overflows usize"));

  EXPECT_EQ(bitmap_payload_bytes(128, 3, "KDBM"), 48u);
  EXPECT_EQ(bitmap_payload_bytes(std::uint64_t{1} << 62, 1, "KDBM"), std::uint64_t{1} << 59);
  // (dim / 64) * n fits, the final * 8 does not.
  EXPECT_TRUE(FailsWith(bitmap_payload_bytes(std::uint64_t{1} << 63, 16, "KDBM"), Kind::InvalidData,
                        "KDBM payload size overflows usize"));
  // (dim / 64) * n itself overflows.
  EXPECT_TRUE(FailsWith(bitmap_payload_bytes(UINT64_MAX, UINT64_MAX, "KDSB"), Kind::InvalidData,
                        "KDSB payload size overflows usize"));
}

TEST(ProbeHelpers, PayloadIsMeasuredFromTheLogicalPositionNotTheFileOffset) {
  std::vector<std::uint8_t> bytes(100, 0);
  TempFile file(bytes);
  OpenFd fd(file.path());
  BufferedReader reader(fd.get());
  std::uint8_t head[10];
  ASSERT_EQ(reader.read_up_to(head), 10u);
  // The reader has fetched all 100 bytes; 90 of them are still unconsumed.
  ASSERT_EQ(reader.buffered(), 90u);
  EXPECT_TRUE(check_payload_matches_file(reader, "KDR1", 100, 90).has_value());
  EXPECT_TRUE(
      FailsWith(check_payload_matches_file(reader, "KDR1", 100, 91), Kind::InvalidData,
                "KDR1 payload truncated: header declares 91 B but file has 90 B remaining"));
  // A file_len smaller than the position leaves nothing rather than wrapping around.
  EXPECT_TRUE(FailsWith(check_payload_matches_file(reader, "KDSB", 4, 1), Kind::InvalidData,
                        "KDSB payload truncated: header declares 1 B but file has 0 B remaining"));
  EXPECT_TRUE(check_payload_matches_file(reader, "KDSB", 4, 0).has_value());
}

TEST(BufferedReader, ReadsAcrossBufferRefillsInOrder) {
  std::vector<std::uint8_t> bytes(3 * BufferedReader::kCapacity + 123);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i % 251);
  TempFile file(bytes);
  OpenFd fd(file.path());
  BufferedReader reader(fd.get());

  std::vector<std::uint8_t> seen;
  std::vector<std::uint8_t> chunk(5000);
  for (;;) {
    auto got = reader.read_up_to(chunk);
    ASSERT_TRUE(got.has_value());
    seen.insert(seen.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(*got));
    EXPECT_EQ(reader.logical_position(), seen.size());
    if (*got < chunk.size()) break;
  }
  EXPECT_EQ(seen, bytes);
  EXPECT_EQ(reader.read_up_to(chunk), 0u);
}

// ---------------------------------------------------------------------------------------------
// Operating-system failures and the path entry point

TEST(ProbeIndexFile, ReadsOneBufferAtMostWhateverTheFileSize) {
  const IndexSpec spec{.kind = IndexKind::RankQuant, .bits = 1, .dim = 8, .n_vectors = 100000};
  TempFile file(file_bytes(spec));
  OpenFd fd(file.path());
  const ProbeResult result = probe_index_file(fd.get(), 14 + 100000);
  ASSERT_TRUE(result.has_value()) << describe(result.error());
  EXPECT_EQ(::lseek(fd.get(), 0, SEEK_CUR), static_cast<off_t>(BufferedReader::kCapacity));
}

TEST(ProbeIndexFile, PassesOsErrorsThrough) {
  // A pipe can be read but has no offset, so the payload comparison fails with ESPIPE.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  OpenFd read_end(fds[0]);
  {
    OpenFd write_end(fds[1]);
    const std::vector<std::uint8_t> bytes = file_bytes({.kind = IndexKind::SignBitmap});
    ASSERT_EQ(::write(write_end.get(), bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
  }
  EXPECT_TRUE(FailsWithErrno(probe_index_file(read_end.get(), 1000), ESPIPE));

  OpenFd dir(std::filesystem::temp_directory_path().string());
  EXPECT_TRUE(FailsWithErrno(probe_index_file(dir.get(), 0), EISDIR));
  EXPECT_TRUE(FailsWithErrno(probe_index_file(-1, 0), EBADF));
}

TEST(ProbeIndexPath, OpenFailuresAndBadPaths) {
  EXPECT_TRUE(FailsWithErrno(probe_index_path(std::string("idx\0.kdr", 8)), EINVAL));
  EXPECT_TRUE(FailsWithErrno(probe_index_path("/nonexistent-karnid-dir/index.kdr"), ENOENT));
  EXPECT_TRUE(FailsWithErrno(probe_index_path(""), ENOENT));
  EXPECT_TRUE(
      FailsWithErrno(probe_index_path(std::filesystem::temp_directory_path().string()), EISDIR));
}

TEST(ProbeIndexPath, FifoWithoutWriterIsAnEmptyFileNotAHang) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("karnid-fifo-" + std::to_string(::getpid())))
          .string();
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  const ProbeResult result = probe_index_path(path);
  ::unlink(path.c_str());
  EXPECT_TRUE(
      FailsWith(result, Kind::UnexpectedEof, "karnid index header truncated while reading magic"));
}

// ---------------------------------------------------------------------------------------------
// Index-core's layouts, from which every other test's index files are written

TEST(HeaderLayout, EncodesWhatTheIndependentWriterWrites) {
  // Distinct bytes in every field, and values no probe accepts: the writer writes, it does not
  // check.
  const IndexSpec specs[] = {
      {.kind = IndexKind::Rank, .dim = 0x01020304, .n_vectors = 0x0A0B0C0D},
      {.kind = IndexKind::RankQuant, .magic = "QDRQ", .version = 7, .bits = 3, .dim = 65520},
      {.kind = IndexKind::Bitmap, .dim = 128, .n_top = 0xFFFFFFFF, .n_vectors = 2},
      {.kind = IndexKind::SignBitmap, .magic = "xy", .dim = 16777216, .n_vectors = 65537},
      {.kind = IndexKind::RankQuantFastscan, .version = 3},
  };
  for (const IndexSpec& spec : specs) {
    SCOPED_TRACE(debug_string(spec.kind));
    EXPECT_EQ(fixtures::header_bytes(spec), header_bytes(spec));
    EXPECT_EQ(fixtures::declared_payload(spec), declared_payload(spec));
  }
}

}  // namespace
}  // namespace karnid::index_core
