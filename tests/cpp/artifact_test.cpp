#include "karnid/manifest/artifact.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "index_fixtures.hpp"
#include "karnid/manifest/sha256.hpp"
#include "karnid/manifest/verify.hpp"
#include "verify_steps.hpp"

namespace karnid::manifest {
namespace {

namespace fs = std::filesystem;
using fixtures::IndexSpec;
using index_core::IndexKind;
using index_core::IndexParams;
using Issues = std::vector<ReportIssue>;

constexpr std::string_view kFastscanProbeReason =
    "KDFS (RankQuantFastscan) metadata probing is not supported in this version; load the index "
    "with RankQuantFastscan::load (tracked in #232)";
constexpr std::string_view kFastscanSchemaReason =
    "RankQuantFastscan (.kdfs) is not covered by karnid-manifest v1 (tracked in #232)";

// The artifact block a builder would write for `spec`, worked out from the layouts rather than
// from a probe, with the digest of the bytes actually written.
Artifact declare(const IndexSpec& spec, const std::vector<std::uint8_t>& bytes) {
  Artifact a;
  a.path = "index.bin";
  a.sha256 = Sha256::hex_of({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
  a.format_version = 1;
  a.dim = spec.dim;
  a.vector_count = spec.n_vectors;
  a.file_size_bytes = bytes.size();
  switch (spec.kind) {
    case IndexKind::Rank:
      a.kind = ManifestIndexKind::Rank;
      a.bytes_per_vec = 2ULL * spec.dim;
      break;
    case IndexKind::RankQuant:
      a.kind = ManifestIndexKind::RankQuant;
      a.params.bits = spec.bits;
      a.bytes_per_vec = spec.dim * spec.bits / 8ULL;
      break;
    case IndexKind::Bitmap:
      a.kind = ManifestIndexKind::Bitmap;
      a.params.n_top = spec.n_top;
      a.bytes_per_vec = spec.dim / 8ULL;
      break;
    default:
      a.kind = ManifestIndexKind::SignBitmap;
      a.bytes_per_vec = spec.dim / 8ULL;
      break;
  }
  a.params.kind = a.kind;
  return a;
}

// A manifest whose own fields are all valid, so the artifact checks are the only source of issues.
IndexManifest manifest_for(const Artifact& artifact) {
  IndexManifest m;
  m.schema_version = std::string(kSchemaVersion);
  m.manifest_id = "m-1";
  m.created_at = "2026-01-31T08:05:09Z";
  m.embedding.model = "encoder";
  m.embedding.dim = artifact.dim;
  m.row_identity.row_count = artifact.vector_count;
  m.artifact = artifact;
  return m;
}

class ArtifactStepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "karnid-artifact-XXXXXX").string();
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir_ = fs::canonical(templ).string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::vector<std::uint8_t> write(const std::string& name, std::vector<std::uint8_t> bytes) {
    std::ofstream(dir_ + "/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    return bytes;
  }

  // Runs only the artifact step against a manifest in dir_ (or `base`).
  VerificationRun run_step(const IndexManifest& m, VerifyOptions options = {},
                           std::string base = {}) {
    if (base.empty()) base = dir_;
    const ManifestDocument doc{m, base, base + "/manifest.json"};
    VerificationRun run;
    VerifyContext ctx{doc, options, run.report, run.capture};
    verify_index_artifact(ctx);
    return run;
  }

  std::string dir_;
};

TEST_F(ArtifactStepTest, MatchingFilesOfEveryKindPassTheWholeDriver) {
  // The rank file spans several 64 KiB reads and ends mid-buffer.
  const IndexSpec specs[] = {
      {.kind = IndexKind::Rank, .dim = 96, .n_vectors = 1000},
      {.kind = IndexKind::RankQuant, .bits = 2, .dim = 64},
      {.kind = IndexKind::Bitmap, .dim = 128, .n_top = 8},
      {.kind = IndexKind::SignBitmap, .magic = "QDSB", .dim = 128},
  };
  for (const IndexSpec& spec : specs) {
    SCOPED_TRACE(index_core::debug_string(spec.kind));
    const auto bytes = write("index.bin", fixtures::file_bytes(spec));
    const Artifact a = declare(spec, bytes);
    const ManifestDocument doc{manifest_for(a), dir_, dir_ + "/manifest.json"};
    const VerificationRun run = verify_manifest_with_path_capture(doc, {});
    EXPECT_EQ(run.report.errors, Issues{});
    EXPECT_TRUE(run.report.ok);
    const ArtifactReport& r = run.report.artifact;
    EXPECT_EQ(r.manifest_path, "index.bin");
    EXPECT_EQ(r.observed_path, "index.bin");
    EXPECT_EQ(r.canonical_path, dir_ + "/index.bin");
    EXPECT_EQ(run.capture.artifact_path, dir_ + "/index.bin");
    EXPECT_EQ(r.sha256, a.sha256);
    EXPECT_EQ(r.size_bytes, bytes.size());
    ASSERT_TRUE(r.metadata.has_value());
    const MetadataReport& md = *r.metadata;
    EXPECT_EQ(md.kind, a.kind);
    EXPECT_EQ(md.params, a.params);
    EXPECT_EQ(
        std::tie(md.format_version, md.dim, md.vector_count, md.bytes_per_vec, md.file_size_bytes),
        std::tie(a.format_version, a.dim, a.vector_count, a.bytes_per_vec, a.file_size_bytes));
  }
}

TEST_F(ArtifactStepTest, DamagedFilesReportDigestSizeAndProbeFindings) {
  const IndexSpec spec{.kind = IndexKind::Rank, .dim = 64, .n_vectors = 3};
  const auto good = fixtures::file_bytes(spec);
  const Artifact declared = declare(spec, good);
  const std::string size = std::to_string(good.size());

  auto flipped = good;
  flipped[good.size() - 1] ^= 0x01;
  auto truncated = good;
  truncated.resize(good.size() - 1);
  auto unknown = good;
  unknown[0] = 'k';  // "kDR1": magics compare exactly

  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::function<Issues(const std::string& digest)> issues;
    bool has_metadata;
  };
  const auto sha = [&](const std::string& digest) {
    return ReportIssue{"artifact_sha256_mismatch",
                       "artifact SHA-256 was " + digest + ", manifest declares " + declared.sha256};
  };
  const Case cases[] = {
      {"flipped payload byte", flipped, [&](auto& d) { return Issues{sha(d)}; }, true},
      {"truncated by one byte", truncated,
       [&](auto& d) {
         return Issues{
             sha(d),
             {"artifact_file_size_mismatch", "artifact size was 396, manifest declares " + size},
             {"artifact_probe_failed",
              "failed to probe artifact metadata: KDR1 payload truncated: header "
              "declares 384 B but file has 383 B remaining"}};
       },
       false},
      {"unknown magic", unknown,
       [&](auto& d) {
         return Issues{sha(d),
                       {"artifact_probe_failed",
                        "failed to probe artifact metadata: unknown karnid index magic"}};
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write("index.bin", c.bytes);
    const VerificationRun run = run_step(manifest_for(declared));
    const std::string digest =
        Sha256::hex_of({reinterpret_cast<const char*>(c.bytes.data()), c.bytes.size()});
    EXPECT_EQ(run.report.errors, c.issues(digest));
    EXPECT_EQ(run.report.artifact.sha256, digest);
    EXPECT_EQ(run.report.artifact.size_bytes, c.bytes.size());
    EXPECT_EQ(run.report.artifact.metadata.has_value(), c.has_metadata);
  }
}

TEST_F(ArtifactStepTest, DeclarationDifferencesAreReportedInOrder) {
  struct Case {
    const char* name;
    IndexSpec spec;
    std::function<void(Artifact&)> change;
    Issues expected;
  };
  const IndexSpec rank{.kind = IndexKind::Rank, .dim = 64};
  const IndexSpec bitmap{.kind = IndexKind::Bitmap, .dim = 64, .n_top = 8};
  const IndexSpec quant{.kind = IndexKind::RankQuant, .bits = 4, .dim = 64};
  const Case cases[] = {
      {"rank file declared as bitmap",
       rank,
       [](Artifact& a) {
         a.kind = ManifestIndexKind::Bitmap;
         a.params = {.kind = ManifestIndexKind::Bitmap, .n_top = 8};
         a.bytes_per_vec = 8;
       },
       {{"artifact_kind_mismatch", "artifact kind was Rank, manifest declares Bitmap"},
        {"artifact_params_mismatch",
         "artifact params were Rank, manifest declares Bitmap { n_top: 8 }"},
        {"artifact_bytes_per_vec_mismatch",
         "artifact bytes_per_vec was 128, manifest declares 8"}}},
      {"bitmap n_top",
       bitmap,
       [](Artifact& a) { a.params.n_top = 9; },
       {{"artifact_params_mismatch",
         "artifact params were Bitmap { n_top: 8 }, manifest declares Bitmap { n_top: 9 }"}}},
      {"rank_quant bits",
       quant,
       [](Artifact& a) { a.params.bits = 2; },
       {{"artifact_params_mismatch",
         "artifact params were RankQuant { bits: 4 }, manifest declares RankQuant { bits: 2 }"}}},
      {"every header number",
       quant,
       [](Artifact& a) {
         a.format_version = 2;
         a.dim = 65;
         a.vector_count = 4;
         a.bytes_per_vec = 31;
       },
       {{"artifact_format_version_mismatch", "artifact format_version was 1, manifest declares 2"},
        {"artifact_dim_mismatch", "artifact dim was 64, manifest declares 65"},
        {"artifact_vector_count_mismatch", "artifact vector_count was 3, manifest declares 4"},
        {"artifact_bytes_per_vec_mismatch",
         "artifact bytes_per_vec was 32, manifest declares 31"}}},
      {"file size",
       rank,
       [](Artifact& a) { a.file_size_bytes = 1; },
       {{"artifact_file_size_mismatch", "artifact size was 397, manifest declares 1"},
        {"artifact_metadata_file_size_mismatch",
         "artifact metadata file_size_bytes was 397, manifest declares 1"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto bytes = write("index.bin", fixtures::file_bytes(c.spec));
    Artifact a = declare(c.spec, bytes);
    c.change(a);
    const VerificationRun run = run_step(manifest_for(a));
    EXPECT_EQ(run.report.errors, c.expected);
    // What the file says is recorded whatever the declaration claims.
    ASSERT_TRUE(run.report.artifact.metadata.has_value());
    EXPECT_EQ(run.report.artifact.metadata->dim, c.spec.dim);
  }
}

TEST_F(ArtifactStepTest, FastscanFileHashesButFailsTheProbeWithTheRegistryReason) {
  const IndexSpec spec{.kind = IndexKind::RankQuantFastscan};
  const auto bytes = write("index.bin", fixtures::file_bytes(spec));
  const VerificationRun run = run_step(manifest_for(declare(spec, bytes)));
  EXPECT_EQ(run.report.errors,
            (Issues{{"artifact_probe_failed",
                     "failed to probe artifact metadata: " + std::string(kFastscanProbeReason)}}));
  EXPECT_EQ(run.report.artifact.size_bytes, 5U);
  EXPECT_FALSE(run.report.artifact.metadata.has_value());
}

TEST_F(ArtifactStepTest, PathPolicyAndOverride) {
  const IndexSpec spec{.kind = IndexKind::SignBitmap, .dim = 64};
  const auto bytes = write("other.bin", fixtures::file_bytes(spec));
  const IndexManifest m = manifest_for(declare(spec, bytes));  // names index.bin, which is absent

  VerifyOptions relative;
  relative.index_override = "sub/../other.bin";
  fs::create_directory(dir_ + "/sub");
  VerificationRun run = run_step(m, relative);
  EXPECT_EQ(run.report.errors, Issues{});
  EXPECT_EQ(run.report.artifact.manifest_path, "index.bin");
  EXPECT_EQ(run.report.artifact.observed_path, "sub/../other.bin");
  EXPECT_EQ(run.report.artifact.canonical_path, dir_ + "/other.bin");
  EXPECT_TRUE(run.report.artifact.metadata.has_value());

  VerifyOptions absolute;
  absolute.index_override = dir_ + "/other.bin";
  run = run_step(m, absolute);
  EXPECT_EQ(run.report.errors,
            (Issues{{"artifact_absolute_path_rejected",
                     "absolute path " + dir_ + "/other.bin is rejected by default"}}));
  EXPECT_EQ(run.report.artifact.observed_path, dir_ + "/other.bin");
  EXPECT_FALSE(run.report.artifact.canonical_path || run.capture.artifact_path);

  run = run_step(m);  // the declared index.bin does not exist: nothing is hashed or probed
  EXPECT_EQ(run.report.errors,
            (Issues{{"artifact_path_unavailable", "failed to canonicalize " + dir_ +
                                                      "/index.bin: No such file or directory "
                                                      "(os error 2)"}}));
  EXPECT_FALSE(run.report.artifact.sha256 || run.report.artifact.size_bytes ||
               run.report.artifact.metadata || run.capture.artifact_path);

  // A link inside the base leading out of it: refused by default, followed when allowed.
  fs::create_directory(dir_ + "/base");
  fs::create_symlink(dir_ + "/other.bin", dir_ + "/base/index.bin");
  run = run_step(m, {}, dir_ + "/base");
  EXPECT_EQ(run.report.errors,
            (Issues{{"artifact_path_escape_rejected", "canonical path " + dir_ +
                                                          "/other.bin is outside manifest base " +
                                                          dir_ + "/base"}}));
  VerifyOptions escape;
  escape.allow_path_escape = true;
  run = run_step(m, escape, dir_ + "/base");
  EXPECT_EQ(run.report.errors, Issues{});
  EXPECT_EQ(run.capture.artifact_path, dir_ + "/other.bin");
}

TEST_F(ArtifactStepTest, NonUtf8NamesAreDisplayedLossilyButCapturedExactly) {
  const IndexSpec spec{.kind = IndexKind::Rank, .dim = 64};
  const auto bytes = write("idx\xff.bin", fixtures::file_bytes(spec));
  VerifyOptions options;
  options.index_override = "idx\xff.bin";
  const VerificationRun run = run_step(manifest_for(declare(spec, bytes)), options);
  EXPECT_EQ(run.report.errors, Issues{});
  EXPECT_EQ(run.report.artifact.observed_path, "idx\xEF\xBF\xBD.bin");
  EXPECT_EQ(run.report.artifact.canonical_path, dir_ + "/idx\xEF\xBF\xBD.bin");
  EXPECT_EQ(run.capture.artifact_path, dir_ + "/idx\xff.bin");
}

TEST_F(ArtifactStepTest, FifoOrDirectoryAsTheIndexFailsWithoutBlocking) {
  const IndexSpec spec{.kind = IndexKind::Rank, .dim = 64};
  const IndexManifest declared = manifest_for(declare(spec, fixtures::file_bytes(spec)));
  ASSERT_EQ(::mkfifo((dir_ + "/index.bin").c_str(), 0600), 0);
  fs::create_directory(dir_ + "/dir.bin");
  for (const std::string name : {"index.bin", "dir.bin"}) {
    SCOPED_TRACE(name);
    VerifyOptions options;
    options.index_override = name;
    const VerificationRun run = run_step(declared, options);
    const std::string why =
        name == "dir.bin" ? os_error_text(EISDIR) : dir_ + "/" + name + " is not a regular file";
    EXPECT_EQ(run.report.errors,
              (Issues{{"artifact_hash_failed", "failed to hash artifact: " + why},
                      {"artifact_probe_failed", "failed to probe artifact metadata: " + why}}));
    EXPECT_FALSE(run.report.artifact.sha256 || run.report.artifact.metadata);
    EXPECT_EQ(run.capture.artifact_path, dir_ + "/" + name);
  }
}

TEST(CoreMetadataConversion, KindsAndParamsMapOrExplainWhyNot) {
  const std::pair<IndexKind, ManifestIndexKind> kinds[] = {
      {IndexKind::Rank, ManifestIndexKind::Rank},
      {IndexKind::RankQuant, ManifestIndexKind::RankQuant},
      {IndexKind::Bitmap, ManifestIndexKind::Bitmap},
      {IndexKind::SignBitmap, ManifestIndexKind::SignBitmap},
  };
  for (const auto& [core, manifest] : kinds) EXPECT_EQ(manifest_kind_from_core(core), manifest);
  const auto fastscan = manifest_kind_from_core(IndexKind::RankQuantFastscan);
  ASSERT_FALSE(fastscan.has_value());
  EXPECT_EQ(fastscan.error().message(),
            "artifact metadata kind RankQuantFastscan is not covered by karnid-manifest v1: " +
                std::string(kFastscanSchemaReason));
  const auto stray = manifest_kind_from_core(static_cast<IndexKind>(9));
  ASSERT_FALSE(stray.has_value());
  EXPECT_EQ(stray.error().form, UnsupportedCoreMetadata::Form::NoRegistryEntry);

  EXPECT_EQ(manifest_params_from_core(IndexParams::rank_quant(4)),
            (ManifestIndexParams{.kind = ManifestIndexKind::RankQuant, .bits = 4}));
  EXPECT_EQ(manifest_params_from_core(IndexParams::bitmap(12)),
            (ManifestIndexParams{.kind = ManifestIndexKind::Bitmap, .n_top = 12}));
  EXPECT_EQ(manifest_params_from_core(IndexParams::sign_bitmap()),
            ManifestIndexParams{.kind = ManifestIndexKind::SignBitmap});
  const auto params = manifest_params_from_core(IndexParams::rank_quant_fastscan(4));
  ASSERT_FALSE(params.has_value());
  EXPECT_EQ(params.error().message(),
            "artifact metadata params RankQuantFastscan { bits: 4 } are "
            "not supported by karnid-manifest v1");

  EXPECT_EQ(UnsupportedCoreMetadata::kind_not_supported(IndexKind::Bitmap).message(),
            "artifact metadata kind Bitmap is not supported by karnid-manifest v1");
  EXPECT_EQ(UnsupportedCoreMetadata::no_registry_entry(IndexKind::Rank).message(),
            "artifact metadata kind Rank has no karnid persisted-format registry entry");
  EXPECT_EQ(probe_error_text(index_core::ProbeError::os(ENOENT)),
            "No such file or directory (os error 2)");
}

TEST(CoreMetadataConversion, UncoveredProbeStillComparesTheHeaderNumbers) {
  index_core::IndexMetadata observed{.kind = IndexKind::RankQuantFastscan,
                                     .params = IndexParams::rank_quant_fastscan(4),
                                     .version = 1,
                                     .dim = 64,
                                     .n_vectors = 3,
                                     .bytes_per_vec = 32,
                                     .file_len = 110};
  Artifact declared = declare({.kind = IndexKind::RankQuant, .bits = 4, .dim = 64}, {});
  declared.file_size_bytes = 110;
  declared.dim = 128;
  VerificationReport report;
  compare_probed_metadata(declared, observed, report);
  EXPECT_EQ(report.errors,
            (Issues{{"artifact_manifest_coverage_unsupported",
                     "artifact metadata kind RankQuantFastscan is not covered by karnid-manifest "
                     "v1: " +
                         std::string(kFastscanSchemaReason)},
                    {"artifact_params_unsupported",
                     "artifact metadata params RankQuantFastscan { bits: 4 } are not supported by "
                     "karnid-manifest v1"},
                    {"artifact_dim_mismatch", "artifact dim was 64, manifest declares 128"}}));
  EXPECT_FALSE(report.artifact.metadata.has_value());
}

}  // namespace
}  // namespace karnid::manifest
