#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
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

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// SHA-256 of "abc" (FIPS 180-4 test vector), so that no expected digest comes from the library.
constexpr std::string_view kAbcDigest =
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

using test_support::TempDir;

std::string manifest_json(std::string_view encoder_distortion, std::string_view calibration) {
  std::string text = R"({
    "schema_version": "karnid.index_manifest.v1",
    "manifest_id": "m-1",
    "created_at": "2026-01-01T00:00:00Z",
    "artifact": {"path": "index.bin",
      "sha256": "0000000000000000000000000000000000000000000000000000000000000000",
      "kind": "bitmap", "format_version": 1, "dim": 8, "vector_count": 3,
      "bytes_per_vec": 1, "params": {"kind": "bitmap", "n_top": 4}, "file_size_bytes": 20},
    "embedding": {"model": "enc-small", "dim": 8},
    "row_identity": {"kind": "row_id_identity", "row_count": 3})";
  if (!encoder_distortion.empty()) {
    text += ",\n\"encoder_distortion\": ";
    text += encoder_distortion;
  }
  if (!calibration.empty()) {
    text += ",\n\"calibration\": ";
    text += calibration;
  }
  text += "}";
  return text;
}

// Clean apart from what a test changes: caller-asserted, so no profile is needed.
constexpr std::string_view kValidBlock = R"({
    "schema_version": "karnid.encoder_distortion.v1",
    "profile_id": "ed-1",
    "encoder": {"model": "enc-small", "dim": 8},
    "source_metric": {"name": "cosine"},
    "embedding_metric": {"name": "hamming"},
    "bounds": {"declared_lower_bound": 0.5, "declared_upper_bound": 2.0,
               "estimated_distortion": 4.0},
    "scope": {},
    "evidence": {"kind": "caller_asserted"}})";

constexpr std::string_view kCalibrationBlock = R"({
    "schema_version": "karnid.calibration.v1", "profile_id": "cal-1",
    "calibrated_for": {"model": "enc-small", "dim": 8},
    "ordinalization": {"kind": "top_k", "dim": 8, "k": 4},
    "null_model": {"kind": "uniform_hypergeometric"}})";

IndexManifest parse(std::string_view block, std::string_view calibration = "") {
  auto parsed = parse_manifest(manifest_json(block, calibration));
  if (!parsed) throw std::runtime_error("fixture manifest rejected: " + parsed.error().display());
  return *std::move(parsed);
}

// The block with a profile reference spliced in before the closing brace.
std::string with_profile(std::string_view path, std::string_view sha256, std::uint64_t size,
                         std::string_view evidence = "certified") {
  std::string block(kValidBlock);
  block.replace(block.find("caller_asserted"), 15, evidence);
  block.pop_back();
  block += R"(, "profile": {"path": ")" + std::string(path) + R"(", "sha256": ")" +
           std::string(sha256) + R"(", "file_size_bytes": )" + std::to_string(size) +
           R"(, "format": "json"}})";
  return block;
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

class EncoderDistortionTest : public ::testing::Test {
 protected:
  Outcome run(const IndexManifest& manifest, VerifyOptions options = {}) {
    const ManifestDocument document{manifest, dir.path(), dir.file("manifest.json")};
    Outcome out;
    VerifyContext ctx{document, options, out.report, out.capture};
    verify_encoder_distortion(ctx);
    return out;
  }

  TempDir dir;
};

TEST_F(EncoderDistortionTest, CleanBlockFillsTheSectionWithoutProfileFields) {
  const Outcome out = run(parse(kValidBlock));
  EXPECT_EQ(issues(out.report), std::vector<std::string>{});
  const EncoderDistortionReport& s = out.report.encoder_distortion;
  EXPECT_TRUE(s.present);
  EXPECT_EQ(s.schema_version, "karnid.encoder_distortion.v1");
  EXPECT_EQ(s.profile_id, "ed-1");
  EXPECT_EQ(s.evidence_kind, "caller_asserted");
  EXPECT_EQ(s.source_metric, "cosine");
  EXPECT_EQ(s.embedding_metric, "hamming");
  EXPECT_FALSE(s.profile_manifest_path || s.profile_canonical_path || s.profile_sha256 ||
               s.profile_size_bytes);
  EXPECT_FALSE(out.capture.encoder_distortion_profile_path);
}

TEST_F(EncoderDistortionTest, AbsentBlockLeavesTheSectionEmpty) {
  const Outcome out = run(parse(""));
  EXPECT_TRUE(out.report.errors.empty());
  EXPECT_FALSE(out.report.encoder_distortion.present);
  EXPECT_FALSE(out.report.encoder_distortion.schema_version);
}

// Every static check failing at once: the codes, messages and their order are the contract.
TEST_F(EncoderDistortionTest, EveryStaticFaultInCheckOrder) {
  const std::string upper(64, 'A');
  const std::string block = R"({
    "schema_version": "karnid.encoder_distortion.v2", "profile_id": " ",
    "created_at": "yesterday",
    "encoder": {"model": "", "dim": 0, "model_revision": " ", "normalization": ""},
    "tokenizer_revision": "", "pooling": "\t",
    "source_metric": {"name": "", "version": " ", "digest": "sha256:xyz"},
    "embedding_metric": {"name": " "},
    "bounds": {"declared_lower_bound": 3, "declared_upper_bound": 2, "estimated_distortion": 1,
               "violation_rate": 2, "max_observed_violation": -1,
               "quantile_observed_violation": -2},
    "scope": {"corpus_digest": "x", "query_set_digest": "sha256:)" +
                            upper + R"(",
              "pair_sample_digest": "sha256:abc", "estimator_version": "", "domain": " ",
              "sample_size": 0, "confidence": 1.5, "coverage": -0.5},
    "evidence": {"kind": "certified", "estimator_id": "", "estimator_hash": "abc"},
    "profile": {"path": " ", "sha256": "ABC", "file_size_bytes": 0, "format": " ",
                "source_digest": "sha256:"},
    "calibration_profile_id": " cal-1"})";
  const Outcome out = run(parse(block, kCalibrationBlock));
  const std::vector<std::string> expected = {
      "encoder_distortion_schema_version_unsupported: encoder_distortion.schema_version must be "
      "karnid.encoder_distortion.v1, got karnid.encoder_distortion.v2",
      "encoder_distortion_profile_id_empty: encoder_distortion.profile_id must be non-empty",
      "encoder_distortion_created_at_invalid: encoder_distortion.created_at must parse as "
      "RFC3339 when present",
      "encoder_distortion_encoder_model_empty: encoder_distortion.encoder.model must be non-empty",
      "encoder_distortion_encoder_dim_zero: encoder_distortion.encoder.dim must be greater than "
      "zero",
      "encoder_distortion_encoder_model_revision_empty: encoder_distortion.encoder.model_revision "
      "must be non-empty when present",
      "encoder_distortion_encoder_normalization_empty: encoder_distortion.encoder.normalization "
      "must be non-empty when present",
      "encoder_distortion_tokenizer_revision_empty: encoder_distortion.tokenizer_revision must be "
      "non-empty when present",
      "encoder_distortion_pooling_empty: encoder_distortion.pooling must be non-empty when present",
      "encoder_distortion_encoder_model_mismatch: encoder_distortion model  does not match "
      "embedding.model enc-small",
      "encoder_distortion_encoder_dim_mismatch: encoder_distortion dim 0 does not match "
      "embedding.dim 8",
      "encoder_distortion_encoder_model_revision_mismatch: encoder_distortion encoder "
      "model_revision does not match embedding.model_revision",
      "encoder_distortion_encoder_normalization_mismatch: encoder_distortion encoder "
      "normalization does not match embedding.normalization",
      "encoder_distortion_tokenizer_revision_mismatch: encoder_distortion tokenizer_revision does "
      "not match embedding.tokenizer_revision",
      "encoder_distortion_pooling_mismatch: encoder_distortion pooling does not match "
      "embedding.pooling",
      "encoder_distortion_source_metric_name_empty: encoder_distortion_source_metric.name must be "
      "non-empty",
      "encoder_distortion_source_metric_version_empty: encoder_distortion_source_metric.version "
      "must be non-empty when present",
      "encoder_distortion_source_metric_digest_invalid: encoder_distortion_source_metric.digest "
      "must be sha256:<lowercase-hex> when present",
      "encoder_distortion_embedding_metric_name_empty: encoder_distortion_embedding_metric.name "
      "must be non-empty",
      "encoder_distortion_violation_rate_invalid: encoder_distortion.bounds.violation_rate must "
      "be finite and within [0, 1]",
      "encoder_distortion_max_observed_violation_invalid: "
      "encoder_distortion.bounds.max_observed_violation must be finite and non-negative",
      "encoder_distortion_quantile_observed_violation_invalid: "
      "encoder_distortion.bounds.quantile_observed_violation must be finite and non-negative",
      "encoder_distortion_bounds_order_invalid: encoder_distortion.bounds.declared_lower_bound "
      "must be less than or equal to declared_upper_bound",
      "encoder_distortion_distortion_mismatch: encoder_distortion.bounds.estimated_distortion 1 "
      "does not match declared_upper_bound / declared_lower_bound 0.6666666666666666",
      "encoder_distortion_scope_corpus_digest_invalid: encoder_distortion.scope.corpus_digest "
      "must be sha256:<lowercase-hex> when present",
      "encoder_distortion_scope_query_set_digest_invalid: "
      "encoder_distortion.scope.query_set_digest must be sha256:<lowercase-hex> when present",
      "encoder_distortion_scope_pair_sample_digest_invalid: "
      "encoder_distortion.scope.pair_sample_digest must be sha256:<lowercase-hex> when present",
      "encoder_distortion_scope_estimator_version_empty: "
      "encoder_distortion.scope.estimator_version must be non-empty when present",
      "encoder_distortion_scope_domain_empty: encoder_distortion.scope.domain must be non-empty "
      "when present",
      "encoder_distortion_scope_sample_size_zero: encoder_distortion.scope.sample_size must be "
      "greater than zero when present",
      "encoder_distortion_scope_confidence_invalid: encoder_distortion.scope.confidence must be "
      "finite and within [0, 1]",
      "encoder_distortion_scope_coverage_invalid: encoder_distortion.scope.coverage must be "
      "finite and within [0, 1]",
      "encoder_distortion_evidence_estimator_id_empty: encoder_distortion.evidence.estimator_id "
      "must be non-empty when present",
      "encoder_distortion_evidence_estimator_hash_invalid: "
      "encoder_distortion.evidence.estimator_hash must be sha256:<lowercase-hex> when present",
      "encoder_distortion_profile_path_empty: encoder_distortion.profile.path must be non-empty",
      "encoder_distortion_profile_sha256_invalid: encoder_distortion.profile.sha256 must be a "
      "lowercase 64-character hex SHA-256 digest",
      "encoder_distortion_profile_file_size_zero: encoder_distortion.profile.file_size_bytes "
      "must be greater than zero",
      "encoder_distortion_profile_format_empty: encoder_distortion.profile.format must be "
      "non-empty",
      "encoder_distortion_profile_source_digest_invalid: encoder_distortion.profile.source_digest "
      "must be sha256:<lowercase-hex> when present",
      "encoder_distortion_calibration_profile_id_whitespace: "
      "encoder_distortion.calibration_profile_id must not contain leading or trailing whitespace",
  };
  EXPECT_EQ(issues(out.report), expected);
  // A blank path is recorded as written and never handed to the path policy.
  EXPECT_EQ(out.report.encoder_distortion.profile_manifest_path, " ");
  EXPECT_FALSE(out.report.encoder_distortion.profile_canonical_path);
}

struct BoundsCase {
  const char* name;
  DistortionBounds bounds;
  std::vector<std::string> expected;  // "code: message"
};

std::string lower_invalid() {
  return "encoder_distortion_lower_bound_invalid: encoder_distortion.bounds.declared_lower_bound "
         "must be finite and greater than zero";
}
std::string upper_invalid() {
  return "encoder_distortion_upper_bound_invalid: encoder_distortion.bounds.declared_upper_bound "
         "must be finite and greater than zero";
}
std::string estimated_invalid() {
  return "encoder_distortion_estimated_distortion_invalid: "
         "encoder_distortion.bounds.estimated_distortion must be finite and greater than zero";
}
std::string rate_invalid() {
  return "encoder_distortion_violation_rate_invalid: encoder_distortion.bounds.violation_rate "
         "must be finite and within [0, 1]";
}
std::string max_invalid() {
  return "encoder_distortion_max_observed_violation_invalid: "
         "encoder_distortion.bounds.max_observed_violation must be finite and non-negative";
}
std::string quantile_invalid() {
  return "encoder_distortion_quantile_observed_violation_invalid: "
         "encoder_distortion.bounds.quantile_observed_violation must be finite and non-negative";
}
std::string order_invalid() {
  return "encoder_distortion_bounds_order_invalid: encoder_distortion.bounds.declared_lower_bound "
         "must be less than or equal to declared_upper_bound";
}
std::string ratio_not_finite() {
  return "encoder_distortion_distortion_mismatch: encoder_distortion.bounds.declared_upper_bound "
         "/ declared_lower_bound must be finite";
}
std::string ratio_mismatch(std::string_view estimated, std::string_view ratio) {
  return "encoder_distortion_distortion_mismatch: encoder_distortion.bounds.estimated_distortion " +
         std::string(estimated) + " does not match declared_upper_bound / declared_lower_bound " +
         std::string(ratio);
}

DistortionBounds lue(std::optional<double> l, std::optional<double> u, std::optional<double> e) {
  DistortionBounds b;
  b.declared_lower_bound = l;
  b.declared_upper_bound = u;
  b.estimated_distortion = e;
  return b;
}

DistortionBounds observed(std::optional<double> rate, std::optional<double> max,
                          std::optional<double> quantile) {
  DistortionBounds b;
  b.violation_rate = rate;
  b.max_observed_violation = max;
  b.quantile_observed_violation = quantile;
  return b;
}

TEST_F(EncoderDistortionTest, BoundsArithmetic) {
  const BoundsCase cases[] = {
      {"nothing declared",
       {},
       {"encoder_distortion_bounds_empty: encoder_distortion.bounds must "
        "declare at least one bound or observed violation statistic"}},
      {"only violation_rate 0", observed(0.0, {}, {}), {}},
      {"violation_rate 1 and -0", observed(1.0, -0.0, -0.0), {}},
      {"violation_rate just above 1", observed(1.0000001, {}, {}), {rate_invalid()}},
      {"violation_rate -0 passes, tiny negative fails",
       observed(-0.0, -1e-300, 0.0),
       {max_invalid()}},
      {"NaN in every observed statistic",
       observed(kNaN, kNaN, kNaN),
       {rate_invalid(), max_invalid(), quantile_invalid()}},
      {"infinite observed statistics",
       observed(kInf, kInf, -kInf),
       {rate_invalid(), max_invalid(), quantile_invalid()}},
      {"exact ratio", lue(0.5, 2.0, 4.0), {}},
      {"estimate 1e-5 off", lue(0.5, 2.0, 4.00001), {ratio_mismatch("4.00001", "4")}},
      // R = 4 gives a tolerance of 4e-9.
      {"just inside the relative tolerance", lue(0.5, 2.0, 4.000000003), {}},
      {"just outside the relative tolerance",
       lue(0.5, 2.0, 4.000000005),
       {ratio_mismatch("4.000000005", "4")}},
      // R = 1 falls back to the absolute floor 1e-9.
      {"just inside the absolute floor", lue(1.0, 1.0, 1.0000000009), {}},
      {"just outside the absolute floor",
       lue(1.0, 1.0, 1.0000000011),
       {ratio_mismatch("1.0000000011", "1")}},
      {"small estimate without exponent", lue(1.0, 1.0, 1e-7), {ratio_mismatch("0.0000001", "1")}},
      {"large estimate without exponent",
       lue(1.0, 2.0, 2.5e20),
       {ratio_mismatch("250000000000000000000", "2")}},
      {"ratio overflows to infinity", lue(1e-300, 1e300, 1.0), {ratio_not_finite()}},
      {"ratio overflow needs an estimate", lue(1e-300, 1e300, {}), {}},
      {"reversed bounds still compare the ratio",
       lue(3.0, 2.0, 1.0),
       {order_invalid(), ratio_mismatch("1", "0.6666666666666666")}},
      {"reversed bounds with a matching estimate", lue(3.0, 2.0, 2.0 / 3.0), {order_invalid()}},
      {"zero and negative zero bounds",
       lue(0.0, -0.0, 0.0),
       {lower_invalid(), upper_invalid(), estimated_invalid()}},
      {"NaN lower bound skips order and ratio", lue(kNaN, 2.0, 4.0), {lower_invalid()}},
      {"NaN estimate fails alone", lue(0.5, 2.0, kNaN), {estimated_invalid()}},
      {"infinite upper bound skips order and ratio", lue(0.5, kInf, 4.0), {upper_invalid()}},
      {"infinite lower bound skips the order check", lue(kInf, 2.0, {}), {lower_invalid()}},
      {"infinite estimate is invalid but not compared", lue(0.5, 2.0, kInf), {estimated_invalid()}},
      {"negative lower bound is not ordered or compared", lue(-1.0, 2.0, 4.0), {lower_invalid()}},
      {"negative estimate is invalid and still compared",
       lue(0.5, 2.0, -4.0),
       {estimated_invalid(), ratio_mismatch("-4", "4")}},
      {"order without an estimate", lue(5.0, 1.0, {}), {order_invalid()}},
  };
  for (const BoundsCase& c : cases) {
    IndexManifest m = parse(kValidBlock);
    m.encoder_distortion->bounds = c.bounds;
    EXPECT_EQ(issues(run(m).report), c.expected) << c.name;
  }
}

TEST_F(EncoderDistortionTest, ScopeFractionsMustBeFiniteWithinTheUnitInterval) {
  const struct {
    double value;
    bool valid;
  } cases[] = {{0.0, true},        {-0.0, true},     {1.0, true},   {0.25, true},
               {1.0000001, false}, {-1e-300, false}, {kNaN, false}, {kInf, false}};
  for (const auto& c : cases) {
    IndexManifest m = parse(kValidBlock);
    m.encoder_distortion->scope.confidence = c.value;
    m.encoder_distortion->scope.coverage = c.value;
    const std::vector<std::string> expected =
        c.valid ? std::vector<std::string>{}
                : std::vector<std::string>{"encoder_distortion_scope_confidence_invalid",
                                           "encoder_distortion_scope_coverage_invalid"};
    EXPECT_EQ(codes(run(m).report), expected) << c.value;
  }
}

TEST_F(EncoderDistortionTest, ProfileIsRequiredUnlessEvidenceIsCallerAsserted) {
  const struct {
    const char* kind;
    bool required;
  } cases[] = {{"caller_asserted", false},
               {"certified", true},
               {"empirical_sample", true},
               {"benchmark_estimate", true},
               {"teacher_estimate", true}};
  for (const auto& c : cases) {
    std::string block(kValidBlock);
    block.replace(block.find("caller_asserted"), 15, c.kind);
    const Outcome out = run(parse(block));
    const std::vector<std::string> expected =
        c.required ? std::vector<std::string>{"encoder_distortion_profile_required: "
                                              "non-caller-asserted encoder distortion evidence "
                                              "requires a profile artifact"}
                   : std::vector<std::string>{};
    EXPECT_EQ(issues(out.report), expected) << c.kind;
    EXPECT_EQ(out.report.encoder_distortion.evidence_kind, c.kind);
  }
}

TEST_F(EncoderDistortionTest, MatchingProfileIsRecordedAndCaptured) {
  dir.write("profile.json", "abc");
  const Outcome out = run(parse(with_profile("profile.json", kAbcDigest, 3)));
  EXPECT_EQ(issues(out.report), std::vector<std::string>{});
  const EncoderDistortionReport& s = out.report.encoder_distortion;
  EXPECT_EQ(s.profile_manifest_path, "profile.json");
  EXPECT_EQ(s.profile_canonical_path, dir.file("profile.json"));
  EXPECT_EQ(s.profile_sha256, kAbcDigest);
  EXPECT_EQ(s.profile_size_bytes, 3u);
  EXPECT_EQ(out.capture.encoder_distortion_profile_path, dir.file("profile.json"));
}

TEST_F(EncoderDistortionTest, DigestAndSizeAreComparedIndependently) {
  dir.write("profile.json", "abcd");
  const Outcome out = run(parse(with_profile("profile.json", kAbcDigest, 3)));
  EXPECT_EQ(issues(out.report),
            (std::vector<std::string>{
                "encoder_distortion_profile_sha256_mismatch: encoder distortion profile SHA-256 "
                "was 88d4266fd4e6338d13b845fcf289579d209c897823b9217da3e161936f031589, manifest "
                "declares " +
                    std::string(kAbcDigest),
                "encoder_distortion_profile_file_size_mismatch: encoder distortion profile size "
                "was 4, manifest declares 3",
            }));
  EXPECT_EQ(out.report.encoder_distortion.profile_size_bytes, 4u);
}

TEST_F(EncoderDistortionTest, ProfileOverTheByteLimitGivesTheCodedIssue) {
  dir.write("profile.json", "abcde");
  VerifyOptions options;
  options.limits.max_encoder_distortion_profile_bytes = 4;
  const Outcome out = run(parse(with_profile("profile.json", kAbcDigest, 5)), options);
  EXPECT_EQ(issues(out.report),
            std::vector<std::string>{
                "encoder_distortion_profile_too_large: encoder_distortion_profile_too_large: "
                "encoder distortion profile exceeds 4 bytes while reading " +
                dir.file("profile.json")});
  // Resolution succeeded, hashing did not.
  EXPECT_EQ(out.report.encoder_distortion.profile_canonical_path, dir.file("profile.json"));
  EXPECT_FALSE(out.report.encoder_distortion.profile_sha256);
  EXPECT_FALSE(out.report.encoder_distortion.profile_size_bytes);
}

TEST_F(EncoderDistortionTest, ProfileThatIsNotARegularFileFailsToHash) {
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  fs::create_directory(dir.file("subdir"));
  for (const char* name : {"fifo", "subdir"}) {
    const Outcome out = run(parse(with_profile(name, kAbcDigest, 3)));
    EXPECT_EQ(issues(out.report),
              std::vector<std::string>{
                  "encoder_distortion_profile_hash_failed: failed to hash encoder distortion "
                  "profile: " +
                  (name == std::string("subdir") ? os_error_text(EISDIR)
                                                 : dir.file(name) + " is not a regular file")})
        << name;
    EXPECT_FALSE(out.report.encoder_distortion.profile_sha256) << name;
  }
}

TEST_F(EncoderDistortionTest, UnresolvableProfileKeepsStaticChecksAndSkipsHashing) {
  const Outcome out = run(parse(with_profile("missing.json", "ABC", 0)));
  ASSERT_EQ(codes(out.report),
            (std::vector<std::string>{"encoder_distortion_profile_sha256_invalid",
                                      "encoder_distortion_profile_file_size_zero",
                                      "encoder_distortion_profile_path_unavailable"}));
  EXPECT_EQ(out.report.errors[2].message,
            "failed to canonicalize " + dir.file("missing.json") + ": " + os_error_text(2));
  EXPECT_EQ(out.report.encoder_distortion.profile_manifest_path, "missing.json");
  EXPECT_FALSE(out.report.encoder_distortion.profile_canonical_path);
  EXPECT_FALSE(out.capture.encoder_distortion_profile_path);
}

TEST_F(EncoderDistortionTest, SymlinkOutOfTheBaseIsRefusedUnlessEscapesAreAllowed) {
  TempDir outside;
  outside.write("profile.json", "abc");
  ASSERT_EQ(::symlink(outside.file("profile.json").c_str(), dir.file("link.json").c_str()), 0);
  const IndexManifest m = parse(with_profile("link.json", kAbcDigest, 3));
  const Outcome refused = run(m);
  EXPECT_EQ(issues(refused.report),
            std::vector<std::string>{"encoder_distortion_profile_path_escape_rejected: canonical "
                                     "path " +
                                     outside.file("profile.json") + " is outside manifest base " +
                                     dir.path()});
  EXPECT_FALSE(refused.capture.encoder_distortion_profile_path);

  VerifyOptions options;
  options.allow_path_escape = true;
  const Outcome allowed = run(m, options);
  EXPECT_EQ(issues(allowed.report), std::vector<std::string>{});
  EXPECT_EQ(allowed.capture.encoder_distortion_profile_path, outside.file("profile.json"));
  EXPECT_EQ(allowed.report.encoder_distortion.profile_sha256, kAbcDigest);
}

TEST_F(EncoderDistortionTest, CalibrationProfileIdLink) {
  const struct {
    const char* id;
    bool with_calibration;
    std::vector<std::string> expected;
  } cases[] = {
      {"cal-1", true, {}},
      {"",
       true,
       {"encoder_distortion_calibration_profile_id_empty: "
        "encoder_distortion.calibration_profile_id must be non-empty when present"}},
      {" \t",
       true,
       {"encoder_distortion_calibration_profile_id_empty: "
        "encoder_distortion.calibration_profile_id must be non-empty when present"}},
      // Never compared once the whitespace is found, even though the calibration id differs.
      {" cal-2",
       true,
       {"encoder_distortion_calibration_profile_id_whitespace: "
        "encoder_distortion.calibration_profile_id must not contain leading or trailing "
        "whitespace"}},
      {"cal-1\xC2\xA0",
       true,  // U+00A0 is Unicode white space
       {"encoder_distortion_calibration_profile_id_whitespace: "
        "encoder_distortion.calibration_profile_id must not contain leading or trailing "
        "whitespace"}},
      {"cal-1",
       false,
       {"encoder_distortion_calibration_missing: encoder_distortion.calibration_profile_id "
        "requires a calibration block"}},
      {"cal-2",
       true,
       {"encoder_distortion_calibration_profile_mismatch: encoder_distortion.calibration_profile_id"
        " cal-2 does not match calibration.profile_id cal-1"}},
  };
  for (const auto& c : cases) {
    IndexManifest m = parse(kValidBlock, c.with_calibration ? kCalibrationBlock : "");
    m.encoder_distortion->calibration_profile_id = c.id;
    EXPECT_EQ(issues(run(m).report), c.expected) << '"' << c.id << '"';
  }
}

// Through the driver: the distortion step runs before the calibration step, and the profile
// path reaches the capture that load planning uses.
TEST_F(EncoderDistortionTest, DriverRunsDistortionBeforeCalibration) {
  dir.write("profile.json", "abc");
  std::string calibration(kCalibrationBlock);
  calibration.replace(calibration.find("karnid.calibration.v1"), 21, "karnid.calibration.v0");
  IndexManifest m = parse(with_profile("profile.json", kAbcDigest, 3), calibration);
  m.encoder_distortion->calibration_profile_id = "cal-2";
  const ManifestDocument document{m, dir.path(), dir.file("manifest.json")};
  const VerificationRun run = verify_manifest_with_path_capture(document, VerifyOptions{});
  std::vector<std::string> ours;
  for (const auto& issue : run.report.errors) {
    if (issue.code.starts_with("encoder_distortion_") || issue.code.starts_with("calibration_")) {
      ours.push_back(issue.code);
    }
  }
  EXPECT_EQ(ours, (std::vector<std::string>{"encoder_distortion_calibration_profile_mismatch",
                                            "calibration_schema_version_unsupported"}));
  EXPECT_EQ(run.capture.encoder_distortion_profile_path, dir.file("profile.json"));
  EXPECT_EQ(run.report.encoder_distortion.profile_sha256, kAbcDigest);
}

}  // namespace
}  // namespace karnid::manifest
