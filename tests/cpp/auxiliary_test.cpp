#include "karnid/manifest/auxiliary.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "karnid/manifest/verify.hpp"
#include "test_support.hpp"
#include "verify_steps.hpp"

namespace karnid::manifest {
namespace {

namespace fs = std::filesystem;

using test_support::TempDir;

using test_support::sha256_hex;

const std::string kContent = "lookup table";

AuxiliaryArtifact entry(std::string name, std::string path, bool required = true) {
  return {std::move(name), std::move(path), sha256_hex(kContent), kContent.size(), required};
}

std::vector<std::string> codes(const std::vector<ReportIssue>& issues) {
  std::vector<std::string> out;
  for (const ReportIssue& issue : issues) out.push_back(issue.code);
  return out;
}

class AuxiliaryStep : public ::testing::Test {
 protected:
  AuxiliaryStep() {
    base_ = dir_.file("base");
    fs::create_directory(base_);
    dir_.write("base/table.bin", kContent);
    dir_.write("outside.bin", kContent);
    document_.base_dir = base_;
  }

  VerificationRun run(std::vector<AuxiliaryArtifact> artifacts) {
    document_.manifest.auxiliary_artifacts = std::move(artifacts);
    VerificationRun out;
    VerifyContext ctx{document_, options_, out.report, out.capture};
    check_auxiliary_declarations(ctx);
    verify_auxiliary_files(ctx);
    EXPECT_EQ(out.capture.auxiliary_artifact_paths.size(), out.report.auxiliary_artifacts.size());
    return out;
  }

  // One entry, checked on its own.
  VerificationRun run_one(AuxiliaryArtifact artifact) { return run({std::move(artifact)}); }

  TempDir dir_;
  std::string base_;
  ManifestDocument document_;
  VerifyOptions options_;
};

TEST(AuxiliaryEntry, StartsFailedWithTheManifestValuesAndAResolvedPath) {
  const AuxiliaryArtifact artifact{"n", "sub/t\xff.bin", "abc", 7, false};
  const AuxiliaryArtifactReport e = auxiliary_artifact_report_entry(artifact, "/data/idx");
  EXPECT_EQ(e.name, "n");
  EXPECT_EQ(e.manifest_path, "sub/t\xff.bin");
  EXPECT_EQ(e.resolved_path, "/data/idx/sub/t\xEF\xBF\xBD.bin");
  EXPECT_EQ(e.expected_sha256, "abc");
  EXPECT_EQ(e.expected_size_bytes, 7U);
  EXPECT_FALSE(e.required);
  EXPECT_EQ(e.state, AuxiliaryArtifactState::Failed);
  EXPECT_FALSE(e.canonical_path || e.reason_code || e.sha256 || e.size_bytes);

  EXPECT_EQ(auxiliary_artifact_report_entry({"n", "/abs/t", "", 0, true}, ".").resolved_path,
            "/abs/t");
  EXPECT_FALSE(auxiliary_artifact_report_entry({"n", " \t", "", 0, true}, ".").resolved_path);
}

TEST_F(AuxiliaryStep, CountLimitGivesOneIssueAndAnEmptySection) {
  options_.limits.max_auxiliary_artifacts = 2;
  EXPECT_EQ(
      run({entry("a", "table.bin"), entry("b", "table.bin")}).report.auxiliary_artifacts.size(),
      2U);
  const VerificationRun over =
      run({entry("a", "table.bin"), entry("b", "table.bin"), entry("", "")});
  EXPECT_EQ(over.report.errors,
            (std::vector<ReportIssue>{{"auxiliary_artifact_count_limit_exceeded",
                                       "auxiliary_artifacts has 3 entries, exceeding "
                                       "max_auxiliary_artifacts=2"}}));
  EXPECT_TRUE(over.report.auxiliary_artifacts.empty());
  EXPECT_TRUE(over.capture.auxiliary_artifact_paths.empty());
}

TEST_F(AuxiliaryStep, NamesPathsAndDigestsAreCheckedInManifestOrder) {
  AuxiliaryArtifact bad = entry(" c\n", " ");
  bad.sha256 = std::string(64, 'A');
  const VerificationRun out =
      run({entry(" a", "table.bin"), entry("a ", "table.bin"), entry("a", "table.bin"),
           entry("a", "table.bin"), entry("a", "table.bin"), entry("\u3000", "table.bin"), bad});
  ASSERT_GE(out.report.errors.size(), 8U);
  const std::vector<ReportIssue> shape(out.report.errors.begin(), out.report.errors.begin() + 8);
  EXPECT_EQ(
      shape,
      (std::vector<ReportIssue>{
          {"auxiliary_artifact_name_not_trimmed",
           "auxiliary artifact name \"a\" must not have leading or trailing whitespace"},
          {"auxiliary_artifact_name_not_trimmed",
           "auxiliary artifact name \"a\" must not have leading or trailing whitespace"},
          {"auxiliary_artifact_name_duplicate", "auxiliary artifact name \"a\" is duplicated"},
          {"auxiliary_artifact_name_duplicate", "auxiliary artifact name \"a\" is duplicated"},
          {"auxiliary_artifact_name_empty", "auxiliary artifact name must be non-empty"},
          {"auxiliary_artifact_name_not_trimmed",
           "auxiliary artifact name \"c\" must not have leading or trailing whitespace"},
          {"auxiliary_artifact_path_empty", "auxiliary artifact \"c\" path must be non-empty"},
          {"auxiliary_artifact_sha256_invalid",
           "auxiliary artifact \"c\" sha256 must be a lowercase 64-character hex SHA-256 "
           "digest"}}));
}

TEST_F(AuxiliaryStep, EntriesComeOutSortedByNameThenPathThenRequired) {
  AuxiliaryArtifact first_twin = entry("b", "table.bin");
  AuxiliaryArtifact second_twin = entry("b", "table.bin");
  second_twin.file_size_bytes = 99;  // tells the twins apart
  const VerificationRun out =
      run({entry("c", "table.bin"), first_twin, entry("a", "z.bin", false),
           entry("b", "table.bin", false), second_twin, entry("a", "table.bin")});
  std::vector<std::string> order;
  for (const AuxiliaryArtifactReport& e : out.report.auxiliary_artifacts) {
    order.push_back(e.name + ":" + e.manifest_path + ":" + (e.required ? "req" : "opt") + ":" +
                    std::to_string(*e.expected_size_bytes));
  }
  const std::string n = std::to_string(kContent.size());
  EXPECT_EQ(order, (std::vector<std::string>{"a:table.bin:req:" + n, "a:z.bin:opt:" + n,
                                             "b:table.bin:opt:" + n, "b:table.bin:req:" + n,
                                             "b:table.bin:req:99", "c:table.bin:req:" + n}));

  // Enough equal keys that an unstable sort would show: manifest order survives among them.
  std::vector<AuxiliaryArtifact> many;
  for (std::uint64_t i = 0; i < 60; ++i) {
    many.push_back(entry(i % 3 == 0 ? "y" : "x", "table.bin"));
    many.back().file_size_bytes = i;
  }
  std::vector<std::uint64_t> sizes;
  for (const auto& e : run(many).report.auxiliary_artifacts)
    sizes.push_back(*e.expected_size_bytes);
  std::vector<std::uint64_t> expected;
  for (std::uint64_t i = 0; i < 60; ++i) {
    if (i % 3 != 0) expected.push_back(i);
  }
  for (std::uint64_t i = 0; i < 60; i += 3) expected.push_back(i);
  EXPECT_EQ(sizes, expected);
}

TEST_F(AuxiliaryStep, FoundAbsentAndMissingFiles) {
  const VerificationRun out =
      run({entry("a", "table.bin"), entry("b", "gone.bin", false), entry("c", "gone.bin")});
  const auto& entries = out.report.auxiliary_artifacts;
  ASSERT_EQ(entries.size(), 3U);

  EXPECT_EQ(entries[0].state, AuxiliaryArtifactState::Verified);
  EXPECT_FALSE(entries[0].reason_code);
  EXPECT_EQ(entries[0].canonical_path, base_ + "/table.bin");
  EXPECT_EQ(entries[0].sha256, sha256_hex(kContent));
  EXPECT_EQ(entries[0].size_bytes, kContent.size());
  EXPECT_EQ(out.capture.auxiliary_artifact_paths[0], base_ + "/table.bin");

  EXPECT_EQ(entries[1].state, AuxiliaryArtifactState::OptionalAbsent);
  EXPECT_EQ(entries[1].reason_code, "auxiliary_artifact_optional_absent");
  EXPECT_FALSE(entries[1].canonical_path);
  EXPECT_FALSE(out.capture.auxiliary_artifact_paths[1]);

  EXPECT_EQ(entries[2].state, AuxiliaryArtifactState::MissingRequired);
  EXPECT_EQ(entries[2].reason_code, "auxiliary_artifact_missing_required");
  EXPECT_EQ(out.report.errors,
            (std::vector<ReportIssue>{
                {"auxiliary_artifact_missing_required",
                 "required auxiliary artifact \"c\" is missing at " + base_ + "/gone.bin"}}));
}

TEST_F(AuxiliaryStep, WrongDigestAndSizeGiveTwoIssuesAndTheFirstReason) {
  AuxiliaryArtifact wrong = entry("t", "table.bin");
  wrong.sha256 = std::string(64, '0');
  wrong.file_size_bytes = 3;
  const VerificationRun out = run_one(wrong);
  EXPECT_EQ(out.report.errors, (std::vector<ReportIssue>{
                                   {"auxiliary_artifact_sha256_mismatch",
                                    "auxiliary artifact \"t\" SHA-256 was " + sha256_hex(kContent) +
                                        ", manifest declares " + std::string(64, '0')},
                                   {"auxiliary_artifact_file_size_mismatch",
                                    "auxiliary artifact \"t\" size was 12, manifest declares 3"}}));
  const AuxiliaryArtifactReport& e = out.report.auxiliary_artifacts[0];
  EXPECT_EQ(e.state, AuxiliaryArtifactState::Failed);
  EXPECT_EQ(e.reason_code, "auxiliary_artifact_sha256_mismatch");
  EXPECT_EQ(e.sha256, sha256_hex(kContent));
  EXPECT_EQ(e.size_bytes, 12U);
}

TEST_F(AuxiliaryStep, EscapesAreRefusedUnlessAllowed) {
  fs::create_directory(base_ + "/sub");
  fs::create_symlink(dir_.file("outside.bin"), base_ + "/link.bin");
  const VerificationRun out = run({entry("a", "../outside.bin"), entry("b", "sub/../table.bin"),
                                   entry("c", "link.bin"), entry("d", "sub/../../outside.bin")});
  const auto& entries = out.report.auxiliary_artifacts;
  EXPECT_EQ(out.report.errors,
            (std::vector<ReportIssue>{
                {"auxiliary_artifact_path_escape_rejected",
                 "relative auxiliary artifact path ../outside.bin for \"a\" escapes the manifest "
                 "base"},
                {"auxiliary_artifact_path_escape_rejected",
                 "canonical auxiliary artifact path " + dir_.file("outside.bin") +
                     " for \"c\" is outside manifest base " + base_},
                {"auxiliary_artifact_path_escape_rejected",
                 "relative auxiliary artifact path sub/../../outside.bin for \"d\" escapes the "
                 "manifest base"}}));
  EXPECT_EQ(entries[1].state, AuxiliaryArtifactState::Verified);
  EXPECT_EQ(entries[2].reason_code, "auxiliary_artifact_path_escape_rejected");
  EXPECT_FALSE(out.capture.auxiliary_artifact_paths[2]);

  options_.allow_path_escape = true;
  const VerificationRun allowed = run({entry("a", "../outside.bin"), entry("c", "link.bin")});
  EXPECT_TRUE(allowed.report.errors.empty());
  EXPECT_EQ(allowed.report.auxiliary_artifacts[1].canonical_path, dir_.file("outside.bin"));

  // With escapes allowed, the base directory is not even canonicalised.
  options_.allow_absolute_paths = true;
  document_.base_dir = base_ + "/missing";
  const VerificationRun baseless = run_one(entry("a", dir_.file("outside.bin")));
  EXPECT_TRUE(baseless.report.errors.empty());
  EXPECT_EQ(baseless.report.auxiliary_artifacts[0].state, AuxiliaryArtifactState::Verified);
}

TEST_F(AuxiliaryStep, AbsolutePathsNeedPermissionAndStillStayInside) {
  const std::string inside = base_ + "/table.bin";
  const std::string outside = dir_.file("outside.bin");
  const VerificationRun refused = run_one(entry("a", inside));
  EXPECT_EQ(refused.report.errors,
            (std::vector<ReportIssue>{{"auxiliary_artifact_absolute_path_rejected",
                                       "absolute auxiliary artifact path " + inside +
                                           " for \"a\" is rejected by default"}}));

  options_.allow_absolute_paths = true;
  const VerificationRun allowed = run({entry("a", inside), entry("b", outside)});
  EXPECT_EQ(allowed.report.auxiliary_artifacts[0].state, AuxiliaryArtifactState::Verified);
  EXPECT_EQ(codes(allowed.report.errors),
            std::vector<std::string>{"auxiliary_artifact_path_escape_rejected"});

  options_.allow_path_escape = true;
  EXPECT_TRUE(run_one(entry("b", outside)).report.errors.empty());
}

TEST_F(AuxiliaryStep, UnreadableAndOversizedFiles) {
  ASSERT_EQ(::mkfifo((base_ + "/fifo").c_str(), 0600), 0);
  fs::create_directory(base_ + "/dir");
  options_.limits.max_auxiliary_artifact_bytes = 11;
  const VerificationRun out = run(
      {entry("a", "fifo"), entry("b", "table.bin/x"), entry("c", "table.bin"), entry("d", "dir")});
  const auto& entries = out.report.auxiliary_artifacts;
  EXPECT_EQ(out.report.errors,
            (std::vector<ReportIssue>{
                {"auxiliary_artifact_hash_failed", "failed to hash auxiliary artifact \"a\": " +
                                                       base_ + "/fifo is not a regular file"},
                {"auxiliary_artifact_path_unavailable",
                 "failed to canonicalize auxiliary artifact \"b\" at " + base_ +
                     "/table.bin/x: " + os_error_text(ENOTDIR)},
                {"auxiliary_artifact_file_too_large",
                 "auxiliary_artifact_file_too_large: auxiliary artifact exceeds 11 bytes while "
                 "reading " +
                     base_ + "/table.bin"},
                {"auxiliary_artifact_hash_failed",
                 "failed to hash auxiliary artifact \"d\": " + os_error_text(EISDIR)}}));
  EXPECT_EQ(entries[0].reason_code, "auxiliary_artifact_hash_failed");
  EXPECT_EQ(entries[0].canonical_path, base_ + "/fifo");  // resolved, then unreadable
  EXPECT_EQ(out.capture.auxiliary_artifact_paths[0], base_ + "/fifo");
  EXPECT_EQ(entries[1].reason_code, "auxiliary_artifact_path_unavailable");
  EXPECT_EQ(entries[2].reason_code, "auxiliary_artifact_file_too_large");
  EXPECT_FALSE(entries[2].sha256);
}

TEST_F(AuxiliaryStep, AMissingBaseDirectoryFailsEveryEntry) {
  document_.base_dir = base_ + "/removed";
  const VerificationRun out = run({entry("b", "table.bin"), entry("a", " ")});
  const std::string reason = "failed to canonicalize base_dir " + base_ + "/removed";
  ASSERT_EQ(out.report.auxiliary_artifacts.size(), 2U);
  EXPECT_EQ(out.report.auxiliary_artifacts[0].reason_code, "auxiliary_artifact_path_empty");
  EXPECT_EQ(out.report.auxiliary_artifacts[1].reason_code,
            "auxiliary_artifact_base_dir_unavailable");
  EXPECT_EQ(out.report.errors.back(),
            (ReportIssue{"auxiliary_artifact_base_dir_unavailable",
                         reason + " for auxiliary artifact \"b\": " + os_error_text(ENOENT)}));
  EXPECT_EQ(out.capture.auxiliary_artifact_paths,
            (std::vector<std::optional<std::string>>{std::nullopt, std::nullopt}));
}

}  // namespace
}  // namespace karnid::manifest
