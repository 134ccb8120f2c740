// The report machinery (bounded issue lists, final bound, JSON form) and the path policy.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "karnid/manifest/paths.hpp"
#include "karnid/manifest/report.hpp"
#include "karnid/manifest/text.hpp"

namespace karnid::manifest {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> codes(const std::vector<ReportIssue>& issues) {
  std::vector<std::string> out;
  for (const auto& issue : issues) out.push_back(issue.code);
  return out;
}

TEST(BoundedPush, FullListEndsWithOneLimitIssue) {
  std::vector<ReportIssue> issues;
  for (int i = 0; i < 5; ++i) push_report_issue_bounded(issues, 3, "e" + std::to_string(i), "m");
  EXPECT_EQ(codes(issues), (std::vector<std::string>{"e0", "e1", std::string(kIssueLimitCode)}));
  EXPECT_EQ(issues.back().message, "verification report issue count exceeded max_report_issues=3");

  std::vector<ReportIssue> zero;
  push_report_issue_bounded(zero, 0, "e", "m");
  push_report_issue_bounded(zero, 0, "f", "m");
  EXPECT_EQ(codes(zero), (std::vector<std::string>{std::string(kIssueLimitCode)}));
}

TEST(FinalBound, CutsOnlyWhenOverTheLimit) {
  struct Case {
    std::size_t errors;
    std::uint64_t max;
    std::vector<std::string> expected;
    bool ok;
  };
  const std::string limit(kIssueLimitCode);
  const Case cases[] = {
      {5, 3, {"e0", "e1", limit}, false},
      {3, 3, {"e0", "e1", "e2"}, false},
      {1, 0, {limit}, false},
      {0, 0, {}, true},
      {0, 5, {}, true},
  };
  for (const Case& c : cases) {
    VerificationReport report;
    for (std::size_t i = 0; i < c.errors; ++i) report.error("e" + std::to_string(i), "m");
    finalize_report(report, c.max);
    EXPECT_EQ(codes(report.errors), c.expected) << c.errors << "/" << c.max;
    EXPECT_EQ(report.ok, c.ok);
  }
}

TEST(FinalBound, KeepsExactlyOneLimitIssueAfterBoundedPushes) {
  VerificationReport report;
  for (int i = 0; i < 4; ++i) push_report_issue_bounded(report.errors, 2, "row", "m");
  report.error("late", "m");
  report.error("later", "m");
  finalize_report(report, 2);
  EXPECT_EQ(codes(report.errors), (std::vector<std::string>{"row", std::string(kIssueLimitCode)}));
}

TEST(ReportJson, EveryKeyIsPresentWithNullForAbsentValues) {
  VerificationReport report;
  report.checked_at = "2026-01-31T08:05:09.004000000Z";
  report.skipped_checks.push_back("attestations_absent");
  finalize_report(report, 1024);
  EXPECT_EQ(
      to_compact_json(report),
      R"({"ok":true,"checked_at":"2026-01-31T08:05:09.004000000Z","manifest_id":null,)"
      R"("artifact":{"manifest_path":null,"observed_path":null,"canonical_path":null,)"
      R"("sha256":null,"size_bytes":null,"metadata":null},"auxiliary_artifacts":[],)"
      R"("row_identity":{"kind":null,"manifest_path":null,"canonical_path":null,"sha256":null,)"
      R"("row_count":null,"validated_rows":null},"encoder_distortion":{"present":false,)"
      R"("schema_version":null,"profile_id":null,"evidence_kind":null,"source_metric":null,)"
      R"("embedding_metric":null,"profile_manifest_path":null,"profile_canonical_path":null,)"
      R"("profile_sha256":null,"profile_size_bytes":null},"calibration":{"present":false,)"
      R"("schema_version":null,"profile_id":null,"calibrated_for_model":null,)"
      R"("ordinalization":null,"null_model":null,"profile_manifest_path":null,)"
      R"("profile_canonical_path":null,"profile_sha256":null,"profile_size_bytes":null},)"
      R"("attestation_shape_checks":[],"errors":[],"warnings":[],)"
      R"("skipped_checks":["attestations_absent"]})");
}

TEST(LexicalWalk, CountsDepthOverComponents) {
  const std::pair<const char*, bool> cases[] = {
      {"data.bin", false}, {"sub/../data.bin", false}, {"a/../../b", true},    {"../x", true},
      {"./../x", true},    {"a//b/./../c/", false},    {"a/b/../../..", true}, {"", false},
      {".", false},
  };
  for (const auto& [path, escapes] : cases)
    EXPECT_EQ(path_escapes_lexically(path), escapes) << path;
}

TEST(Containment, ComparesWholeComponents) {
  EXPECT_TRUE(path_is_within("/data/a", "/data/a"));
  EXPECT_TRUE(path_is_within("/data/a/x", "/data/a"));
  EXPECT_FALSE(path_is_within("/data/ab", "/data/a"));
  EXPECT_TRUE(path_is_within("/anything", "/"));
}

TEST(PathToString, KeepsPosixNamesThatLookPrefixedAndReplacesBadBytes) {
  // A relative POSIX name: stripping "\\?\" would name the sibling "m.json" instead.
  EXPECT_EQ(path_to_string("\\\\?\\m.json"), "\\\\?\\m.json");
  EXPECT_EQ(path_to_string("\\\\?\\UNC\\server\\share"), "\\\\?\\UNC\\server\\share");
  EXPECT_EQ(path_to_string("/a/\xFFz"), "/a/\xEF\xBF\xBDz");
  EXPECT_EQ(display_path("\xE2\x82"), "\xEF\xBF\xBD");  // one truncated sequence, one U+FFFD
}

TEST(QuoteDebug, EscapesQuotesBackslashesAndEveryControlCharacter) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"a\"b\\c", R"("a\"b\\c")"},
      {"\n\r\t", R"("\n\r\t")"},
      {std::string_view("\x00\x1F\x7F", 3), R"("\u{0}\u{1f}\u{7f}")"},
      // C1 controls, NEXT LINE among them; their neighbours U+00A0 and U+007E stay as they are.
      {"\xC2\x80x\xC2\x85\xC2\x9F", R"("\u{80}x\u{85}\u{9f}")"},
      {"~\xC2\xA0\xC3\xA9", "\"~\xC2\xA0\xC3\xA9\""},
      {"\xC2", "\"\xC2\""},  // a lone lead byte at the end is left alone
  };
  for (const auto& [text, quoted] : cases) EXPECT_EQ(quote_debug(text), quoted) << quoted;
}

class ResolvePath : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/karnid-paths-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = fs::canonical(tmpl);
    base_ = root_ / "base";
    fs::create_directories(base_ / "sub");
    fs::create_directories(root_ / "outside");
    std::ofstream(base_ / "data.bin") << "x";
    std::ofstream(root_ / "outside" / "data.bin") << "y";
    fs::create_symlink(root_ / "outside" / "data.bin", base_ / "link.bin");
  }
  void TearDown() override { fs::remove_all(root_); }

  std::optional<std::string> resolve(const std::string& path, bool allow_abs = false,
                                     bool allow_escape = false) {
    return resolve_existing_path(path, base_.string(), allow_abs, allow_escape, "artifact",
                                 errors_);
  }

  fs::path root_;
  fs::path base_;
  std::vector<ReportIssue> errors_;
};

TEST_F(ResolvePath, InsideTheBaseResolvesToTheCanonicalPath) {
  EXPECT_EQ(resolve("data.bin"), (base_ / "data.bin").string());
  EXPECT_EQ(resolve("sub/../data.bin"), (base_ / "data.bin").string());
  EXPECT_EQ(resolve(""), base_.string());
  EXPECT_TRUE(errors_.empty());
}

TEST_F(ResolvePath, RefusalsCarryTheirCodeAndMessage) {
  EXPECT_FALSE(resolve("../outside/data.bin"));
  EXPECT_FALSE(resolve("link.bin"));
  EXPECT_FALSE(resolve((root_ / "outside/data.bin").string()));
  EXPECT_FALSE(resolve((root_ / "outside/data.bin").string(), /*allow_abs=*/true));
  EXPECT_FALSE(resolve("missing.bin"));
  ASSERT_EQ(errors_.size(), 5u);
  EXPECT_EQ(errors_[0].code, "artifact_path_escape_rejected");
  EXPECT_EQ(errors_[0].message, "relative path ../outside/data.bin escapes the manifest base");
  EXPECT_EQ(errors_[1].code, "artifact_path_escape_rejected");
  EXPECT_EQ(errors_[1].message, "canonical path " + (root_ / "outside/data.bin").string() +
                                    " is outside manifest base " + base_.string());
  EXPECT_EQ(errors_[2].code, "artifact_absolute_path_rejected");
  EXPECT_EQ(errors_[2].message,
            "absolute path " + (root_ / "outside/data.bin").string() + " is rejected by default");
  EXPECT_EQ(errors_[3].code, "artifact_path_escape_rejected");
  EXPECT_EQ(errors_[4].code, "artifact_path_unavailable");
  EXPECT_EQ(errors_[4].message, "failed to canonicalize " + (base_ / "missing.bin").string() +
                                    ": " + os_error_text(ENOENT));
}

TEST_F(ResolvePath, SwitchesOpenTheWayOut) {
  EXPECT_EQ(resolve("link.bin", false, true), (root_ / "outside/data.bin").string());
  EXPECT_EQ(resolve("../outside/data.bin", false, true), (root_ / "outside/data.bin").string());
  EXPECT_EQ(resolve((base_ / "data.bin").string(), true), (base_ / "data.bin").string());
  EXPECT_EQ(resolve((root_ / "outside/data.bin").string(), true, true),
            (root_ / "outside/data.bin").string());
  EXPECT_TRUE(errors_.empty());
}

TEST_F(ResolvePath, VanishedBaseAndNulBytesAreIssuesNotCrashes) {
  EXPECT_FALSE(resolve(std::string("data.bin\0../../etc/passwd", 24)));
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0].code, "artifact_path_unavailable");
  fs::remove_all(base_);
  EXPECT_FALSE(resolve("data.bin"));
  ASSERT_EQ(errors_.size(), 2u);
  EXPECT_EQ(errors_[1].code, "artifact_base_dir_unavailable");
  EXPECT_EQ(errors_[1].message,
            "failed to canonicalize base_dir " + base_.string() + ": " + os_error_text(ENOENT));
}

}  // namespace
}  // namespace karnid::manifest
