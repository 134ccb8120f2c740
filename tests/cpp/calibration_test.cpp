#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "karnid/manifest/io.hpp"
#include "karnid/manifest/schema.hpp"
#include "karnid/manifest/verify.hpp"
#include "test_support.hpp"
#include "verify_steps.hpp"

namespace karnid::manifest {
namespace {

namespace fs = std::filesystem;

using Ordinalization = CalibrationOrdinalization::Kind;
using NullModel = NullModelSpec::Kind;
using Parameterization = ProfileParameterization;

using test_support::TempDir;

using test_support::sha256_hex;

// A bucket table of 8 dimensions by 16 buckets as little-endian f32: 512 bytes.
std::string profile_bytes() {
  std::string bytes;
  for (int i = 0; i < 512; ++i) bytes += static_cast<char>(i * 31 + 7);
  return bytes;
}

std::string manifest_json(std::string_view calibration) {
  std::string text = R"({
    "schema_version": "karnid.index_manifest.v1",
    "manifest_id": "m-1",
    "created_at": "2026-01-01T00:00:00Z",
    "artifact": {"path": "index.bin",
      "sha256": "0000000000000000000000000000000000000000000000000000000000000000",
      "kind": "rank_quant", "format_version": 1, "dim": 8, "vector_count": 3,
      "bytes_per_vec": 4, "params": {"kind": "rank_quant", "bits": 4}, "file_size_bytes": 26},
    "embedding": {"model": "enc-small", "dim": 8},
    "row_identity": {"kind": "row_id_identity", "row_count": 3})";
  if (!calibration.empty()) {
    text += ",\n\"calibration\": ";
    text += calibration;
  }
  text += "}";
  return text;
}

// A clean bucket calibration of the rank_quant index, pinning profile.bin by digest.
std::string valid_block(std::string_view digest) {
  return R"({
    "schema_version": "karnid.calibration.v1", "profile_id": "cal-1",
    "created_at": "2026-01-01T00:00:00+02:00",
    "calibrated_for": {"model": "enc-small", "dim": 8},
    "ordinalization": {"kind": "bucket", "dim": 8, "bits": 4},
    "profile": {"path": "profile.bin", "sha256": ")" +
         std::string(digest) + R"(", "file_size_bytes": 512,
                "dim": 8, "sample_count": 100, "parameterization": "bucket_frequency",
                "format": "raw_f32_le", "shape": [8, 16]},
    "null_model": {"kind": "weighted_marginal_profile", "parameterization": "bucket_frequency"}})";
}

IndexManifest parse(std::string_view block) {
  auto parsed = parse_manifest(manifest_json(block));
  if (!parsed) throw std::runtime_error("fixture manifest rejected: " + parsed.error().display());
  return *std::move(parsed);
}

struct Outcome {
  VerificationReport report;
  VerificationPathCapture capture;
};

std::vector<std::string> issues(const VerificationReport& report) {
  std::vector<std::string> out;
  for (const auto& issue : report.errors) out.push_back(issue.code + ": " + issue.message);
  return out;
}

std::vector<std::string> codes(const VerificationReport& report) {
  std::vector<std::string> out;
  for (const auto& issue : report.errors) out.push_back(issue.code);
  return out;
}

std::size_t count_code(const VerificationReport& report, std::string_view code) {
  std::size_t n = 0;
  for (const auto& issue : report.errors) n += issue.code == code ? 1 : 0;
  return n;
}

class CalibrationTest : public ::testing::Test {
 protected:
  CalibrationTest() : digest(sha256_hex(profile_bytes())) {
    dir.write("profile.bin", profile_bytes());
  }

  IndexManifest valid() { return parse(valid_block(digest)); }

  Outcome run(const IndexManifest& manifest, VerifyOptions options = {}) {
    const ManifestDocument document{manifest, dir.path(), dir.file("manifest.json")};
    Outcome out;
    VerifyContext ctx{document, options, out.report, out.capture};
    verify_calibration(ctx);
    return out;
  }

  TempDir dir;
  std::string digest;
};

TEST_F(CalibrationTest, CleanBlockFillsTheSectionAndCapturesTheProfile) {
  const Outcome out = run(valid());
  EXPECT_EQ(issues(out.report), std::vector<std::string>{});
  const CalibrationReport& s = out.report.calibration;
  EXPECT_TRUE(s.present);
  EXPECT_EQ(s.schema_version, "karnid.calibration.v1");
  EXPECT_EQ(s.profile_id, "cal-1");
  EXPECT_EQ(s.calibrated_for_model, "enc-small");
  EXPECT_EQ(s.ordinalization, "bucket");
  EXPECT_EQ(s.null_model, "weighted_marginal_profile");
  EXPECT_EQ(s.profile_manifest_path, "profile.bin");
  EXPECT_EQ(s.profile_canonical_path, dir.file("profile.bin"));
  EXPECT_EQ(s.profile_sha256, digest);
  EXPECT_EQ(s.profile_size_bytes, 512u);
  EXPECT_EQ(out.capture.calibration_profile_path, dir.file("profile.bin"));
}

TEST_F(CalibrationTest, AbsentBlockLeavesTheSectionEmpty) {
  const Outcome out = run(parse(""));
  EXPECT_TRUE(out.report.errors.empty());
  EXPECT_FALSE(out.report.calibration.present);
  EXPECT_FALSE(out.report.calibration.ordinalization);
}

// Every static check failing at once: the codes, messages and their order are the contract.
TEST_F(CalibrationTest, EveryStaticFaultInCheckOrder) {
  const std::string block = R"({
    "schema_version": "karnid.calibration.v2", "profile_id": "",
    "created_at": "2026-13-01T00:00:00Z",
    "calibrated_for": {"model": " ", "dim": 0, "model_revision": "", "normalization": " "},
    "ordinalization": {"kind": "top_k", "dim": 0, "k": 0},
    "profile": {"path": "", "sha256": ")" +
                            std::string(64, 'F') + R"(", "file_size_bytes": 0,
                "dim": 7, "sample_count": 0, "parameterization": "sign_frequency",
                "format": " ", "shape": [3], "source_digest": "sha256:)" +
                            std::string(64, 'A') + R"("},
    "null_model": {"kind": "caller_defined", "name": " ", "parameterization": ""}})";
  const Outcome out = run(parse(block));
  const std::vector<std::string> expected = {
      "calibration_schema_version_unsupported: calibration.schema_version must be "
      "karnid.calibration.v1, got karnid.calibration.v2",
      "calibration_profile_id_empty: calibration.profile_id must be non-empty",
      "calibration_created_at_invalid: calibration.created_at must parse as RFC3339 when present",
      "calibration_encoder_model_empty: calibration.calibrated_for.model must be non-empty",
      "calibration_encoder_dim_zero: calibration.calibrated_for.dim must be greater than zero",
      "calibration_encoder_model_revision_empty: calibration.calibrated_for.model_revision must "
      "be non-empty when present",
      "calibration_encoder_normalization_empty: calibration.calibrated_for.normalization must be "
      "non-empty when present",
      "calibration_ordinalization_dim_zero: calibration.ordinalization.dim must be greater than "
      "zero",
      "calibration_ordinalization_artifact_mismatch: calibration top_k.k must be greater than "
      "zero",
      "calibration_null_name_empty: calibration.null_model.name must be non-empty",
      "calibration_null_parameterization_empty: calibration.null_model.parameterization must be "
      "non-empty when present",
      "calibration_encoder_model_mismatch: calibration model   does not match embedding.model "
      "enc-small",
      "calibration_encoder_dim_mismatch: calibration dim 0 does not match embedding.dim 8",
      "calibration_encoder_model_revision_mismatch: calibration encoder model_revision does not "
      "match embedding.model_revision",
      "calibration_encoder_normalization_mismatch: calibration encoder normalization does not "
      "match embedding.normalization",
      "calibration_ordinalization_dim_mismatch: calibration ordinalization dim 0 does not match "
      "artifact.dim 8",
      "calibration_ordinalization_artifact_mismatch: calibration.ordinalization is incompatible "
      "with artifact.kind/artifact.params",
      "calibration_profile_path_empty: calibration.profile.path must be non-empty",
      "calibration_profile_sha256_invalid: calibration.profile.sha256 must be a lowercase "
      "64-character hex SHA-256 digest",
      "calibration_profile_file_size_zero: calibration.profile.file_size_bytes must be greater "
      "than zero",
      "calibration_profile_dim_mismatch: calibration profile dim 7 does not match artifact.dim 8",
      "calibration_profile_sample_count_zero: calibration.profile.sample_count must be greater "
      "than zero",
      "calibration_profile_source_digest_invalid: calibration.profile.source_digest must be "
      "sha256:<lowercase-hex>",
      "calibration_profile_parameterization_ordinalization_mismatch: calibration profile "
      "parameterization is incompatible with calibration ordinalization",
      "calibration_profile_format_empty: calibration.profile.format must be non-empty",
      "calibration_profile_shape_mismatch: calibration profile shape [3] does not match expected "
      "[0]",
  };
  EXPECT_EQ(issues(out.report), expected);
  // An empty path is recorded as written and never handed to the path policy.
  EXPECT_EQ(out.report.calibration.profile_manifest_path, "");
  EXPECT_FALSE(out.report.calibration.profile_canonical_path);
  EXPECT_FALSE(out.capture.calibration_profile_path);
}

TEST_F(CalibrationTest, OrdinalizationMustFitTheIndex) {
  const ManifestIndexParams rank{ManifestIndexKind::Rank, 0, 0};
  const ManifestIndexParams quant4{ManifestIndexKind::RankQuant, 4, 0};
  const ManifestIndexParams bitmap8{ManifestIndexKind::Bitmap, 0, 8};
  const ManifestIndexParams sign{ManifestIndexKind::SignBitmap, 0, 0};
  const CalibrationOrdinalization top_k8{Ordinalization::TopK, 8, 8, 0, ""};
  const CalibrationOrdinalization top_k7{Ordinalization::TopK, 8, 7, 0, ""};
  const CalibrationOrdinalization bucket4{Ordinalization::Bucket, 8, 0, 4, ""};
  const CalibrationOrdinalization bucket2{Ordinalization::Bucket, 8, 0, 2, ""};
  const CalibrationOrdinalization sign_o{Ordinalization::Sign, 8, 0, 0, ""};
  const CalibrationOrdinalization rank_position{Ordinalization::RankPosition, 8, 0, 0, ""};
  const CalibrationOrdinalization caller{Ordinalization::CallerDefined, 8, 0, 0, "mine"};
  const struct {
    const char* name;
    ManifestIndexKind kind;
    ManifestIndexParams params;
    CalibrationOrdinalization ordinalization;
    bool compatible;
  } cases[] = {
      {"rank/rank_position", ManifestIndexKind::Rank, rank, rank_position, true},
      {"rank/caller_defined", ManifestIndexKind::Rank, rank, caller, true},
      {"rank/top_k", ManifestIndexKind::Rank, rank, top_k8, false},
      {"rank/bucket", ManifestIndexKind::Rank, rank, bucket4, false},
      {"rank_quant 4/bucket 4", ManifestIndexKind::RankQuant, quant4, bucket4, true},
      {"rank_quant 4/bucket 2", ManifestIndexKind::RankQuant, quant4, bucket2, false},
      {"rank_quant/caller_defined", ManifestIndexKind::RankQuant, quant4, caller, false},
      {"bitmap 8/top_k 8", ManifestIndexKind::Bitmap, bitmap8, top_k8, true},
      {"bitmap 8/top_k 7", ManifestIndexKind::Bitmap, bitmap8, top_k7, false},
      {"bitmap/sign", ManifestIndexKind::Bitmap, bitmap8, sign_o, false},
      {"sign_bitmap/sign", ManifestIndexKind::SignBitmap, sign, sign_o, true},
      {"sign_bitmap/rank_position", ManifestIndexKind::SignBitmap, sign, rank_position, false},
      // A kind that contradicts its parameters fits nothing, not even what the params would take.
      {"kind rank, params sign_bitmap / sign", ManifestIndexKind::Rank, sign, sign_o, false},
      {"kind rank, params sign_bitmap / rank_position", ManifestIndexKind::Rank, sign,
       rank_position, false},
  };
  for (const auto& c : cases) {
    IndexManifest m = valid();
    m.artifact.kind = c.kind;
    m.artifact.params = c.params;
    m.calibration->ordinalization = c.ordinalization;
    EXPECT_EQ(count_code(run(m).report, "calibration_ordinalization_artifact_mismatch"),
              c.compatible ? 0u : 1u)
        << c.name;
  }
}

TEST_F(CalibrationTest, BucketBitsOutsideOneTwoFourHaveNoExpectedShape) {
  for (const std::uint8_t bits : {0, 1, 2, 3, 4, 5, 8}) {
    IndexManifest m = valid();
    m.artifact.params.bits = bits;  // keep the index compatible so only the bits rule speaks
    m.calibration->ordinalization.bits = bits;
    m.calibration->profile->shape = {8, 8};
    m.calibration->profile->format = "opaque";
    const bool supported = bits == 1 || bits == 2 || bits == 4;
    // Unsupported widths fix no bucket count, so the [8, 8] shape goes unchallenged; supported
    // ones expect 2^bits buckets, never 8 here.
    const std::vector<std::string> expected{
        supported ? "calibration_profile_shape_mismatch: calibration profile shape [8, 8] does not "
                    "match expected [8, " +
                        std::to_string(1u << bits) + "]"
                  : "calibration_ordinalization_artifact_mismatch: calibration bucket.bits must "
                    "be 1, 2, or 4"};
    EXPECT_EQ(issues(run(m).report), expected) << int{bits};
  }
}

TEST_F(CalibrationTest, ProfileParameterizationMustFitTheOrdinalization) {
  const Ordinalization ordinalizations[] = {Ordinalization::TopK, Ordinalization::Bucket,
                                            Ordinalization::Sign, Ordinalization::RankPosition,
                                            Ordinalization::CallerDefined};
  const Parameterization parameterizations[] = {
      Parameterization::MarginalTopKFrequency, Parameterization::BucketFrequency,
      Parameterization::SignFrequency, Parameterization::RankPositionFrequency,
      Parameterization::EmpiricalTailTable};
  for (std::size_t oi = 0; oi < 5; ++oi) {
    for (std::size_t pi = 0; pi < 5; ++pi) {
      IndexManifest m = valid();
      m.calibration->null_model = NullModelSpec{NullModel::CallerDefined, {}, "", "mine", {}};
      m.calibration->ordinalization.kind = ordinalizations[oi];
      m.calibration->ordinalization.k = 8;
      m.calibration->ordinalization.name = "mine";
      m.calibration->profile->parameterization = parameterizations[pi];
      // The diagonal pairs, anything with the tail table, anything with a caller's scheme.
      const bool allowed = oi == pi || pi == 4 || oi == 4;
      EXPECT_EQ(
          count_code(run(m).report, "calibration_profile_parameterization_ordinalization_mismatch"),
          allowed ? 0u : 1u)
          << to_json_name(ordinalizations[oi]) << " with " << to_json_name(parameterizations[pi]);
    }
  }
}

TEST_F(CalibrationTest, NullModelAgainstProfileParameterization) {
  const std::string weighted_mismatch =
      "calibration_null_parameterization_mismatch: null_model parameterization SignFrequency "
      "does not match profile parameterization BucketFrequency";
  const std::string tail_required =
      "calibration_null_parameterization_mismatch: empirical_tail_table null_model requires "
      "empirical_tail_table profile parameterization";
  const struct {
    const char* name;
    NullModelSpec null_model;
    Parameterization profile;
    std::vector<std::string> expected;
  } cases[] = {
      {"weighted, equal",
       {NullModel::WeightedMarginalProfile, Parameterization::BucketFrequency, "", "", {}},
       Parameterization::BucketFrequency,
       {}},
      {"weighted, different",
       {NullModel::WeightedMarginalProfile, Parameterization::SignFrequency, "", "", {}},
       Parameterization::BucketFrequency,
       {weighted_mismatch}},
      {"tail table with a bucket profile",
       {NullModel::EmpiricalTailTable, {}, "max_overlap", "", {}},
       Parameterization::BucketFrequency,
       {tail_required}},
      {"tail table with a tail table profile",
       {NullModel::EmpiricalTailTable, {}, "max_overlap", "", {}},
       Parameterization::EmpiricalTailTable,
       {}},
      {"tail table with a blank statistic",
       {NullModel::EmpiricalTailTable, {}, "\n", "", {}},
       Parameterization::EmpiricalTailTable,
       {"calibration_null_statistic_empty: calibration.null_model.statistic must be non-empty"}},
      {"caller defined takes any profile",
       {NullModel::CallerDefined, {}, "", "mine", "x"},
       Parameterization::BucketFrequency,
       {}},
  };
  for (const auto& c : cases) {
    IndexManifest m = valid();
    m.calibration->null_model = c.null_model;
    m.calibration->profile->parameterization = c.profile;
    EXPECT_EQ(issues(run(m).report), c.expected) << c.name;
  }
}

TEST_F(CalibrationTest, UniformNullModelNeverExaminesAProfile) {
  // A FIFO would give a hashing issue if the unexpected profile were opened.
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  IndexManifest m = valid();
  m.artifact.kind = ManifestIndexKind::Bitmap;
  m.artifact.params = ManifestIndexParams{ManifestIndexKind::Bitmap, 0, 8};
  m.calibration->ordinalization = CalibrationOrdinalization{Ordinalization::TopK, 8, 8, 0, ""};
  m.calibration->null_model = NullModelSpec{};
  ASSERT_EQ(m.calibration->null_model.kind, NullModel::UniformHypergeometric);
  m.calibration->profile->path = "fifo";
  m.calibration->profile->sha256 = "not a digest";  // static checks are skipped too

  const Outcome with_profile = run(m);
  EXPECT_EQ(issues(with_profile.report),
            std::vector<std::string>{"calibration_profile_unexpected: uniform_hypergeometric "
                                     "calibration must not include a profile artifact"});
  EXPECT_FALSE(with_profile.report.calibration.profile_manifest_path);
  EXPECT_FALSE(with_profile.capture.calibration_profile_path);

  m.calibration->profile.reset();
  EXPECT_EQ(issues(run(m).report), std::vector<std::string>{});

  m.calibration->ordinalization = CalibrationOrdinalization{Ordinalization::Sign, 8, 0, 0, ""};
  EXPECT_EQ(codes(run(m).report),
            (std::vector<std::string>{"calibration_ordinalization_artifact_mismatch",
                                      "calibration_null_model_ordinalization_mismatch"}));
}

TEST_F(CalibrationTest, NonUniformNullModelRequiresAProfile) {
  IndexManifest m = valid();
  m.calibration->profile.reset();
  const Outcome out = run(m);
  EXPECT_EQ(issues(out.report),
            std::vector<std::string>{"calibration_profile_required: non-uniform calibration "
                                     "requires a profile artifact"});
  EXPECT_FALSE(out.report.calibration.profile_manifest_path);
}

struct ShapeCase {
  const char* name;
  Parameterization parameterization;
  std::uint64_t dim;
  std::vector<std::uint64_t> shape;
  std::string format;
  std::uint64_t file_size;
  std::vector<std::string> expected;
};

TEST_F(CalibrationTest, ShapeAndSizeArithmetic) {
  constexpr std::uint64_t k2to32 = std::uint64_t{1} << 32;
  const std::string product_overflow =
      "calibration_profile_shape_mismatch: calibration.profile.shape product overflows u64";
  const std::string byte_overflow =
      "calibration_profile_shape_mismatch: calibration.profile.shape byte size overflows u64";
  auto size_mismatch = [](std::string_view declared, std::string_view computed) {
    return "calibration_profile_file_size_mismatch: calibration profile size " +
           std::string(declared) + " does not match shape/format size " + std::string(computed);
  };
  auto shape_mismatch = [](std::string_view shape, std::string_view expected) {
    return "calibration_profile_shape_mismatch: calibration profile shape " + std::string(shape) +
           " does not match expected " + std::string(expected);
  };
  const auto bucket = Parameterization::BucketFrequency;
  const auto tail = Parameterization::EmpiricalTailTable;
  const ShapeCase cases[] = {
      {"bucket table, f32", bucket, 768, {768, 16}, "raw_f32_le", 49152, {}},
      {"bucket table, size one off",
       bucket,
       768,
       {768, 16},
       "raw_f32_le",
       49153,
       {size_mismatch("49153", "49152")}},
      {"bucket table, f64",
       bucket,
       768,
       {768, 16},
       "raw_f64_le",
       49152,
       {size_mismatch("49152", "98304")}},
      {"wrong bucket count",
       bucket,
       768,
       {768, 8},
       "raw_f32_le",
       49152,
       {shape_mismatch("[768, 8]", "[768, 16]"), size_mismatch("49152", "24576")}},
      {"extra axis",
       bucket,
       768,
       {768, 16, 1},
       "raw_f32_le",
       49152,
       {shape_mismatch("[768, 16, 1]", "[768, 16]")}},
      {"format without a known element size", bucket, 768, {768, 16}, "npy", 1, {}},
      {"raw spelling is exact", bucket, 768, {768, 16}, "RAW_F32_LE", 1, {}},
      {"empty shape checks nothing", bucket, 768, {}, "raw_f32_le", 1, {}},
      {"product overflow, no size comparison",
       tail,
       8,
       {k2to32, k2to32},
       "raw_f32_le",
       1,
       {product_overflow}},
      {"overflow before a zero extent still counts",
       tail,
       8,
       {k2to32, k2to32, 0},
       "raw_f64_le",
       1,
       {product_overflow}},
      {"zero extent first keeps the product at zero",
       tail,
       8,
       {0, k2to32, k2to32},
       "raw_f64_le",
       1,
       {size_mismatch("1", "0")}},
      {"byte size overflow", tail, 8, {std::uint64_t{1} << 62}, "raw_f32_le", 1, {byte_overflow}},
      {"largest f64 table that fits",
       tail,
       8,
       {(std::uint64_t{1} << 61) - 1},
       "raw_f64_le",
       1,
       {size_mismatch("1", "18446744073709551608")}},
      {"rank position table is square",
       Parameterization::RankPositionFrequency,
       8,
       {8, 4},
       "opaque",
       1,
       {shape_mismatch("[8, 4]", "[8, 8]")}},
      {"marginal table is one axis",
       Parameterization::MarginalTopKFrequency,
       8,
       {8},
       "opaque",
       1,
       {}},
      {"sign table is one axis",
       Parameterization::SignFrequency,
       8,
       {8, 1},
       "opaque",
       1,
       {shape_mismatch("[8, 1]", "[8]")}},
  };
  const std::vector<std::string> watched = {"calibration_profile_shape_mismatch",
                                            "calibration_profile_file_size_mismatch"};
  for (const ShapeCase& c : cases) {
    IndexManifest m = valid();
    m.calibration->ordinalization.dim = c.dim;
    auto& profile = *m.calibration->profile;
    profile.parameterization = c.parameterization;
    profile.shape = c.shape;
    profile.format = c.format;
    profile.file_size_bytes = c.file_size;
    profile.path = " ";  // keeps the file check out of the way
    std::vector<std::string> found;
    for (const auto& issue : run(m).report.errors) {
      if (issue.code == watched[0] || issue.code == watched[1]) {
        found.push_back(issue.code + ": " + issue.message);
      }
    }
    EXPECT_EQ(found, c.expected) << c.name;
  }
}

TEST_F(CalibrationTest, DigestAndSizeAreComparedIndependently) {
  dir.write("profile.bin", profile_bytes() + "x");
  const Outcome out = run(valid());
  EXPECT_EQ(issues(out.report),
            (std::vector<std::string>{
                "calibration_profile_sha256_mismatch: calibration profile SHA-256 was " +
                    sha256_hex(profile_bytes() + "x") + ", manifest declares " + digest,
                "calibration_profile_file_size_mismatch: calibration profile size was 513, "
                "manifest declares 512",
            }));
  EXPECT_EQ(out.report.calibration.profile_sha256, sha256_hex(profile_bytes() + "x"));
  EXPECT_EQ(out.report.calibration.profile_size_bytes, 513u);
}

TEST_F(CalibrationTest, ProfileOverTheByteLimitGivesTheCodedIssue) {
  VerifyOptions options;
  options.limits.max_calibration_profile_bytes = 511;
  const Outcome at_limit_minus_one = run(valid(), options);
  EXPECT_EQ(
      issues(at_limit_minus_one.report),
      std::vector<std::string>{"calibration_profile_too_large: calibration_profile_too_large: "
                               "calibration profile exceeds 511 bytes while reading " +
                               dir.file("profile.bin")});
  EXPECT_EQ(at_limit_minus_one.report.calibration.profile_canonical_path, dir.file("profile.bin"));
  EXPECT_FALSE(at_limit_minus_one.report.calibration.profile_sha256);
  EXPECT_FALSE(at_limit_minus_one.report.calibration.profile_size_bytes);

  options.limits.max_calibration_profile_bytes = 512;
  EXPECT_EQ(issues(run(valid(), options).report), std::vector<std::string>{});
}

TEST_F(CalibrationTest, ProfileThatIsNotARegularFileFailsToHash) {
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  fs::create_directory(dir.file("subdir"));
  for (const char* name : {"fifo", "subdir"}) {
    IndexManifest m = valid();
    m.calibration->profile->path = name;
    const Outcome out = run(m);
    EXPECT_EQ(issues(out.report),
              std::vector<std::string>{"calibration_profile_hash_failed: failed to hash "
                                       "calibration profile: " +
                                       (name == std::string("subdir")
                                            ? os_error_text(EISDIR)
                                            : dir.file(name) + " is not a regular file")})
        << name;
    EXPECT_EQ(out.capture.calibration_profile_path, dir.file(name)) << name;
  }
}

TEST_F(CalibrationTest, UnresolvableProfileKeepsStaticChecks) {
  TempDir outside;
  outside.write("profile.bin", profile_bytes());
  ASSERT_EQ(::symlink(outside.file("profile.bin").c_str(), dir.file("link.bin").c_str()), 0);
  const struct {
    std::string path;
    std::string code;
  } cases[] = {
      {"missing.bin", "calibration_profile_path_unavailable"},
      {"link.bin", "calibration_profile_path_escape_rejected"},
  };
  for (const auto& c : cases) {
    IndexManifest m = valid();
    m.calibration->profile->path = c.path;
    m.calibration->profile->sample_count = 0;  // static checks still run
    const Outcome out = run(m);
    EXPECT_EQ(codes(out.report),
              (std::vector<std::string>{"calibration_profile_sample_count_zero", c.code}))
        << c.path;
    EXPECT_EQ(out.report.calibration.profile_manifest_path, c.path);
    EXPECT_FALSE(out.report.calibration.profile_canonical_path) << c.path;
    EXPECT_FALSE(out.capture.calibration_profile_path) << c.path;
  }
  IndexManifest m = valid();
  m.calibration->profile->path = "missing.bin";
  const Outcome out = run(m);
  ASSERT_EQ(out.report.errors.size(), 1u);
  EXPECT_EQ(out.report.errors[0].message,
            "failed to canonicalize " + dir.file("missing.bin") + ": " + os_error_text(2));
}

}  // namespace
}  // namespace karnid::manifest
