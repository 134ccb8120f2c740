// The driver: the manifest's own field checks with their exact codes and messages, and the order
// of the steps, which decides what the issue bound and a load refusal keep.
#include "karnid/manifest/verify.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "index_fixtures.hpp"
#include "karnid/manifest/plan.hpp"
#include "test_support.hpp"

namespace karnid::manifest {
namespace {

using Issues = std::vector<ReportIssue>;

std::vector<std::string> codes(const Issues& issues) {
  std::vector<std::string> out;
  for (const ReportIssue& issue : issues) out.push_back(issue.code);
  return out;
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

json::Value json_value(std::string_view text) {
  auto parsed = json::parse(text);
  if (!parsed) throw std::runtime_error("fixture JSON rejected");
  return *std::move(parsed);
}

// A rank index in a private directory and a manifest that describes it exactly, with every
// optional field of the checks below present and valid: a clean run has no issue, so each case
// sees only what it changed.
class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const fixtures::IndexSpec spec{.kind = index_core::IndexKind::Rank, .dim = 8, .n_vectors = 3};
    const auto bytes = fixtures::file_bytes(spec);
    const std::string content(bytes.begin(), bytes.end());
    dir_.write("index.bin", content);
    digest_ = test_support::sha256_hex(content);

    IndexManifest& m = valid_;
    m.schema_version = std::string(kSchemaVersion);
    m.manifest_id = "m-1";
    m.created_at = "2026-01-31T08:05:09+02:00";
    m.artifact = {.path = "index.bin",
                  .sha256 = digest_,
                  .kind = ManifestIndexKind::Rank,
                  .format_version = 1,
                  .dim = 8,
                  .vector_count = 3,
                  .bytes_per_vec = 16,
                  .params = {.kind = ManifestIndexKind::Rank},
                  .file_size_bytes = content.size()};
    m.embedding = {.model = "encoder",
                   .dim = 8,
                   .model_revision = "r1",
                   .tokenizer_revision = "t1",
                   .pooling = "mean",
                   .corpus_digest = digest_,
                   .embedding_matrix_digest = digest_,
                   .normalization = "l2"};
    m.row_identity.row_count = 3;
    m.build = BuildInfo{"inv", "builder", "repo", "commit", "ci", "run"};
    m.extensions.emplace("com.example.feature", json::Value{});
    m.attestations.push_back(json_value(R"({"predicateType": "p", "subject": [{"digest":
        {"sha256": ")" + digest_ + R"("}}]})"));
  }

  VerificationRun run(const IndexManifest& m, VerifyOptions options = {}) const {
    const ManifestDocument document{m, dir_.path(), dir_.file("manifest.json")};
    return verify_manifest_with_path_capture(document, std::move(options));
  }

  test_support::TempDir dir_;
  std::string digest_;
  IndexManifest valid_;
};

TEST_F(DriverTest, ValidManifestIsClean) {
  const VerificationRun out = run(valid_);
  EXPECT_EQ(out.report.errors, Issues{});
  EXPECT_TRUE(out.report.ok);
  EXPECT_EQ(out.report.skipped_checks, std::vector<std::string>{});
}

TEST_F(DriverTest, FieldChecksReportTheirCodeAndMessage) {
  using Mutation = std::function<void(IndexManifest&)>;
  const std::string hex(64, 'a');
  const std::string upper_digest = upper(digest_);
  const struct {
    const char* what;
    Mutation mutate;
    Issues expected;  // the first issues of the run; later steps may add their own
  } cases[] = {
      {"schema differs in its last character",
       [](IndexManifest& m) { m.schema_version = "karnid.index_manifest.v2"; },
       {{"schema_version_unsupported",
         "schema_version must be karnid.index_manifest.v1, got karnid.index_manifest.v2"}}},
      {"blank manifest_id",
       [](IndexManifest& m) { m.manifest_id = "   "; },
       {{"manifest_id_empty", "manifest_id must be non-empty"}}},
      {"created_at without offset",
       [](IndexManifest& m) { m.created_at = "2026-01-31T08:05:09"; },
       {{"created_at_invalid", "created_at must parse as RFC3339"}}},
      {"created_at is not trimmed",
       [](IndexManifest& m) { m.created_at = " 2026-01-31T08:05:09Z"; },
       {{"created_at_invalid", "created_at must parse as RFC3339"}}},
      {"model of Unicode white space",
       [](IndexManifest& m) { m.embedding.model = "\u3000\u00a0\t"; },
       {{"embedding_model_empty", "embedding.model must be non-empty"}}},
      {"embedding dim zero",
       [](IndexManifest& m) { m.embedding.dim = 0; },
       {{"embedding_dim_zero", "embedding.dim must be greater than zero"},
        {"artifact_embedding_dim_mismatch", "artifact.dim 8 does not match embedding.dim 0"}}},
      {"embedding dim differs",
       [](IndexManifest& m) { m.embedding.dim = 9; },
       {{"artifact_embedding_dim_mismatch", "artifact.dim 8 does not match embedding.dim 9"}}},
      {"blank artifact path",
       [](IndexManifest& m) { m.artifact.path = "\n"; },
       {{"artifact_path_empty", "artifact.path must be non-empty"}}},
      {"uppercase artifact digest",
       [&](IndexManifest& m) { m.artifact.sha256 = upper_digest; },
       {{"artifact_sha256_invalid",
         "artifact.sha256 must be a lowercase 64-character hex SHA-256 digest"}}},
      {"bytes_per_vec zero",
       [](IndexManifest& m) { m.artifact.bytes_per_vec = 0; },
       {{"artifact_bytes_per_vec_zero", "artifact.bytes_per_vec must be greater than zero"}}},
      {"params of another kind",
       [](IndexManifest& m) { m.artifact.params.kind = ManifestIndexKind::SignBitmap; },
       {{"artifact_params_kind_mismatch",
         "artifact.params discriminator does not match artifact.kind"}}},
      {"blank model_revision",
       [](IndexManifest& m) { m.embedding.model_revision = ""; },
       {{"embedding_model_revision_empty",
         "embedding.model_revision must be non-empty when present"}}},
      {"blank tokenizer_revision",
       [](IndexManifest& m) { m.embedding.tokenizer_revision = " "; },
       {{"embedding_tokenizer_revision_empty",
         "embedding.tokenizer_revision must be non-empty when present"}}},
      {"blank pooling",
       [](IndexManifest& m) { m.embedding.pooling = "\r\n"; },
       {{"embedding_pooling_empty", "embedding.pooling must be non-empty when present"}}},
      {"uppercase corpus digest",
       [&](IndexManifest& m) { m.embedding.corpus_digest = upper_digest; },
       {{"embedding_corpus_digest_invalid",
         "embedding.corpus_digest must be a lowercase 64-character hex SHA-256 digest"}}},
      {"prefixed matrix digest",
       [&](IndexManifest& m) { m.embedding.embedding_matrix_digest = "sha256:" + hex; },
       {{"embedding_matrix_digest_invalid",
         "embedding.embedding_matrix_digest must be a lowercase 64-character hex SHA-256 "
         "digest"}}},
      {"blank normalization",
       [](IndexManifest& m) { m.embedding.normalization = ""; },
       {{"embedding_normalization_empty",
         "embedding.normalization must be non-empty when present"}}},
      {"build with only a blank invocation_id",
       [](IndexManifest& m) { m.build.emplace().invocation_id = " "; },
       {{"build_invocation_id_empty", "build.invocation_id must be non-empty"}}},
      {"blank builder_id",
       [](IndexManifest& m) { m.build->builder_id = ""; },
       {{"build_builder_id_empty", "build.builder_id must be non-empty"}}},
      {"blank source_repo",
       [](IndexManifest& m) { m.build->source_repo = ""; },
       {{"build_source_repo_empty", "build.source_repo must be non-empty when present"}}},
      {"blank source_commit",
       [](IndexManifest& m) { m.build->source_commit = ""; },
       {{"build_source_commit_empty", "build.source_commit must be non-empty when present"}}},
      {"blank ci_provider",
       [](IndexManifest& m) { m.build->ci_provider = ""; },
       {{"build_ci_provider_empty", "build.ci_provider must be non-empty when present"}}},
      {"blank ci_run_id",
       [](IndexManifest& m) { m.build->ci_run_id = ""; },
       {{"build_ci_run_id_empty", "build.ci_run_id must be non-empty when present"}}},
      {"build absent", [](IndexManifest& m) { m.build.reset(); }, {}},
      {"extension keys in byte order, namespaced ones pass",
       [](IndexManifest& m) {
         for (const char* key : {"b", "a.b", "a", "urn:x", "scheme://x", "x-vendor.flag", "a_.b1"})
           m.extensions.emplace(key, json::Value{});
       },
       {{"extension_key_not_namespaced", "extension key \"a\" must be namespaced"},
        {"extension_key_not_namespaced", "extension key \"b\" must be namespaced"}}},
      {"malformed dotted names, key shown quoted",
       [](IndexManifest& m) {
         for (const char* key : {"a..b", ".a.b", "a.b.", "_.-", "a.b c", "a:b", "q\"\\\n"})
           m.extensions.emplace(key, json::Value{});
       },
       {{"extension_key_not_namespaced", "extension key \".a.b\" must be namespaced"},
        {"extension_key_not_namespaced", "extension key \"_.-\" must be namespaced"},
        {"extension_key_not_namespaced", "extension key \"a..b\" must be namespaced"},
        {"extension_key_not_namespaced", "extension key \"a.b c\" must be namespaced"},
        {"extension_key_not_namespaced", "extension key \"a.b.\" must be namespaced"},
        {"extension_key_not_namespaced", "extension key \"a:b\" must be namespaced"},
        {"extension_key_not_namespaced", "extension key \"q\\\"\\\\\\n\" must be namespaced"}}},
  };
  VerifyOptions options;
  // Locates the index without artifact.path, so that a blank path is only a field issue.
  options.index_override = "index.bin";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    IndexManifest m = valid_;
    c.mutate(m);
    const Issues errors = run(m, options).report.errors;
    ASSERT_GE(errors.size(), c.expected.size()) << testing::PrintToString(codes(errors));
    EXPECT_EQ(Issues(errors.begin(), errors.begin() + std::ssize(c.expected)), c.expected);
    if (c.expected.empty()) {
      EXPECT_EQ(errors, Issues{});
    }
  }
}

TEST_F(DriverTest, ManifestIdIsReportedAsWritten) {
  IndexManifest m = valid_;
  m.manifest_id = " \t ";
  EXPECT_EQ(run(m).report.manifest_id, " \t ");
}

TEST_F(DriverTest, AttestationShapes) {
  const std::string subject = R"("subject": [{"digest": {"sha256": ")" + digest_ + R"("}}])";
  const Issues no_match = {{"attestation_subject_sha256_mismatch",
                            "no supplied attestation subject digest matches the artifact SHA-256"}};
  using Check = AttestationShapeCheck;
  const struct {
    const char* what;
    std::string attestations;  // a JSON array
    std::vector<Check> checks;
    Issues expected;
  } cases[] = {
      {"a plain string",
       R"(["x"])",
       {{}},
       {{"attestation_predicate_type_missing", "attestation 0 has no predicateType"}, no_match[0]}},
      {"camel case wins, even when it is not a string",
       R"([{"predicateType": 7, "predicate_type": "s", )" + subject + "}]",
       {{std::nullopt, std::nullopt, true}},
       {{"attestation_predicate_type_missing", "attestation 0 has no predicateType"}}},
      {"snake case when camel case is absent; second builder pointer",
       R"([{"predicate_type": "s", "predicate": {"runDetails": {"builder": {"id": "rd"}}}, )" +
           subject + "}]",
       {{"s", "rd", true}},
       {}},
      {"first builder pointer wins",
       R"([{"predicateType": "p", "predicate": {"builder": {"id": "b"},
            "runDetails": {"builder": {"id": "rd"}}}, )" +
           subject + "}]",
       {{"p", "b", true}},
       {}},
      {"a non-string first builder does not fall through",
       R"([{"predicateType": "p", "predicate": {"builder": {"id": 1},
            "runDetails": {"builder": {"id": "rd"}}}, )" +
           subject + "}]",
       {{"p", std::nullopt, true}},
       {}},
      {"uppercase subject digest; subject not an array",
       R"([{"predicateType": "p", "subject": [{"digest": {"sha256": ")" + upper(digest_) +
           R"("}}]}, {"predicateType": "p", "subject": {"digest": {"sha256": ")" + digest_ +
           R"("}}}])",
       {{"p", std::nullopt, false}, {"p", std::nullopt, false}},
       no_match},
      {"one match is enough; positions count from zero",
       R"([{"predicateType": "p"}, {)" + subject + "}]",
       {{"p", std::nullopt, false}, {std::nullopt, std::nullopt, true}},
       {{"attestation_predicate_type_missing", "attestation 1 has no predicateType"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    IndexManifest m = valid_;
    m.attestations = json_value(c.attestations).array;
    const VerificationReport report = run(m).report;
    EXPECT_EQ(report.errors, c.expected);
    ASSERT_EQ(report.attestation_shape_checks.size(), c.checks.size());
    for (std::size_t i = 0; i < c.checks.size(); ++i) {
      const Check& got = report.attestation_shape_checks[i];
      EXPECT_EQ(got.predicate_type, c.checks[i].predicate_type) << i;
      EXPECT_EQ(got.builder_id, c.checks[i].builder_id) << i;
      EXPECT_EQ(got.subject_sha256_matched, c.checks[i].subject_sha256_matched) << i;
    }
    EXPECT_EQ(report.skipped_checks, std::vector<std::string>{});
  }

  IndexManifest none = valid_;
  none.attestations.clear();
  const VerificationReport report = run(none).report;
  EXPECT_EQ(report.skipped_checks, std::vector<std::string>{"attestations_absent"});
  EXPECT_TRUE(report.ok);
}

TEST_F(DriverTest, AttestationsMatchTheObservedDigestElseTheDeclaredOne) {
  // The declared digest is wrong: the subject names the bytes actually on disk.
  IndexManifest m = valid_;
  m.artifact.sha256 = std::string(64, '0');
  EXPECT_EQ(codes(run(m).report.errors), std::vector<std::string>{"artifact_sha256_mismatch"});

  // Nothing was hashed: only the declared digest is left to match.
  m.attestations = json_value(R"([{"predicateType": "p", "subject": [{"digest": {"sha256": ")" +
                              m.artifact.sha256 + R"("}}]}])")
                       .array;
  VerifyOptions options;
  options.index_override = "absent.bin";
  const VerificationReport report = run(m, options).report;
  EXPECT_EQ(codes(report.errors), std::vector<std::string>{"artifact_path_unavailable"});
  EXPECT_TRUE(report.attestation_shape_checks.at(0).subject_sha256_matched);
}

// One issue (or two) from every step, in a manifest on disk.
constexpr std::string_view kEveryStepFails = R"({
  "schema_version": "karnid.index_manifest.v1",
  "manifest_id": "",
  "created_at": "2026-01-31T08:05:09Z",
  "artifact": {"path": "index.bin",
    "sha256": "0000000000000000000000000000000000000000000000000000000000000000",
    "kind": "rank", "format_version": 1, "dim": 8, "vector_count": 3, "bytes_per_vec": 16,
    "params": {"kind": "rank"}, "file_size_bytes": 61},
  "auxiliary_artifacts": [{"name": "vocab", "path": "vocab.bin", "sha256": "X",
    "file_size_bytes": 1, "required": true}],
  "embedding": {"model": "enc", "dim": 8, "corpus_digest": "X"},
  "row_identity": {"kind": "jsonl", "path": "rows.jsonl",
    "sha256": "0000000000000000000000000000000000000000000000000000000000000000",
    "row_count": 3, "id_kind": "int"},
  "build": {"invocation_id": ""},
  "extensions": {"plain": 1},
  "encoder_distortion": {"schema_version": "karnid.encoder_distortion.v1", "profile_id": "ed",
    "encoder": {"model": "enc", "dim": 8}, "source_metric": {"name": "cosine"},
    "embedding_metric": {"name": "hamming"}, "bounds": {"estimated_distortion": 1.0}, "scope": {},
    "evidence": {"kind": "caller_asserted"}, "calibration_profile_id": "other"},
  "calibration": {"schema_version": "karnid.calibration.v1", "profile_id": "cal",
    "calibrated_for": {"model": "enc", "dim": 8},
    "ordinalization": {"kind": "caller_defined", "dim": 8, "name": "o"},
    "null_model": {"kind": "caller_defined", "name": "n"}},
  "attestations": ["x"]
})";

TEST_F(DriverTest, StepsRunInTheirFixedOrder) {
  const std::string path = dir_.write("manifest.json", kEveryStepFails);
  auto document = load_manifest_file_with_options(path, 1 << 20);
  ASSERT_TRUE(document.has_value()) << document.error().display();
  const std::vector<std::string> all = {
      "manifest_id_empty",                                // own fields
      "row_identity_id_kind_unsupported",                 // row identity declaration
      "auxiliary_artifact_sha256_invalid",                // auxiliary declarations
      "embedding_corpus_digest_invalid",                  // optional embedding fields
      "build_invocation_id_empty",                        // build
      "extension_key_not_namespaced",                     // extensions
      "artifact_sha256_mismatch",                         // index file
      "auxiliary_artifact_missing_required",              // auxiliary files
      "row_identity_path_unavailable",                    // row identity file
      "encoder_distortion_calibration_profile_mismatch",  // encoder distortion block
      "calibration_profile_required",                     // calibration block
      "attestation_predicate_type_missing",               // attestations
      "attestation_subject_sha256_mismatch",
  };
  EXPECT_EQ(codes(verify_manifest_with_path_capture(*document, {}).report.errors), all);

  // The bound keeps the earliest issues, so the order decides which survive.
  VerifyOptions bounded;
  bounded.limits.max_report_issues = 4;
  const VerificationReport report = verify_manifest_with_path_capture(*document, bounded).report;
  EXPECT_EQ(codes(report.errors),
            (std::vector<std::string>{all[0], all[1], all[2], std::string(kIssueLimitCode)}));
  EXPECT_FALSE(report.ok);

  // A load refusal names the first three.
  auto plan = verify_for_load(path, {});
  ASSERT_FALSE(plan.has_value());
  EXPECT_EQ(plan.error().kind, VerifiedLoadPlanError::Kind::VerificationFailed);
  EXPECT_EQ(plan.error().error.display(),
            "manifest verification failed: manifest_id_empty, row_identity_id_kind_unsupported, "
            "auxiliary_artifact_sha256_invalid, ...");
}

TEST(VerificationFailedMessage, ListsAtMostThreeCodes) {
  const struct {
    std::size_t errors;
    const char* expected;
  } cases[] = {
      {0, "manifest verification failed"},
      {1, "manifest verification failed: c0"},
      {3, "manifest verification failed: c0, c1, c2"},
      {4, "manifest verification failed: c0, c1, c2, ..."},
  };
  for (const auto& c : cases) {
    VerificationReport report;
    for (std::size_t i = 0; i < c.errors; ++i) report.error("c" + std::to_string(i), "m");
    EXPECT_EQ(verification_failed_message(report), c.expected);
  }
}

}  // namespace
}  // namespace karnid::manifest
