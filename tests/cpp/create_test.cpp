#include "karnid/manifest/create.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "creation_test_hooks.hpp"
#include "index_fixtures.hpp"
#include "karnid/manifest/io.hpp"
#include "karnid/manifest/sha256.hpp"
#include "karnid/manifest/timefmt.hpp"
#include "karnid/manifest/verify.hpp"
#include "test_support.hpp"

namespace karnid::manifest {
namespace {

namespace fs = std::filesystem;
using fixtures::IndexKind;
using fixtures::IndexSpec;

// A private directory, removed with everything in it. `root` is canonical so that expected
// canonical paths can be written as root + "/...".
class TempDir {
 public:
  [[nodiscard]] std::string path(const std::string& relative) const { return dir_.file(relative); }
  [[nodiscard]] const std::string& root() const { return dir_.path(); }

  void mkdirs(const std::string& relative) const { fs::create_directories(path(relative)); }
  std::string write(const std::string& relative, std::string_view bytes) const {
    const std::string full = path(relative);
    fs::create_directories(fs::path(full).parent_path());
    std::ofstream(full, std::ios::binary) << bytes;
    return full;
  }
  std::string write_index(const std::string& relative, const IndexSpec& spec) const {
    const auto bytes = fixtures::file_bytes(spec);
    return write(relative, std::string(bytes.begin(), bytes.end()));
  }

 private:
  test_support::TempDir dir_;
};

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

std::string uuid_for_row(std::uint64_t row) {
  char text[40];
  std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012llx",
                static_cast<unsigned long long>(row));
  return text;
}

std::string row_map_text(std::uint64_t rows) {
  std::string text;
  for (std::uint64_t i = 0; i < rows; ++i) {
    text += "{\"row_id\":" + std::to_string(i) + ",\"db_id\":\"" + uuid_for_row(i) + "\"}\n";
  }
  return text;
}

// Runs from another working directory for the lifetime of the object.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& dir) : saved_(fs::current_path()) {
    fs::current_path(dir);
  }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;
  ~WorkingDirectory() { fs::current_path(saved_); }

 private:
  fs::path saved_;
};

const std::regex kUuidUrn(
    "urn:uuid:[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
const std::regex kCreatedAt("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z");

// ---- path computation ----

TEST(PathToManifestString, RendersComponentsWithSlashes) {
  const struct {
    std::string_view path;
    std::string_view text;
  } cases[] = {
      // clang-format off
      {"", "."}, {".", "."}, {"index.kdr", "index.kdr"}, {"a//b/./c/", "a/b/c"}, {"./a/.", "./a"},
      {"../x/../y", "../x/../y"},
      {"a\\b", "a\\b"},  // a backslash is part of a POSIX name
      {"/abs//x\\y", "/abs//x/y"}, {"d/\xFF.kdr", "d/\xEF\xBF\xBD.kdr"},
      // clang-format on
  };
  for (const auto& c : cases) EXPECT_EQ(path_to_manifest_string(c.path), c.text) << c.path;
}

// d/{index.kdr, sub/rows.jsonl, x/index.kdr, dir2/f, m/n/, m/link.kdr -> x/index.kdr, dir/}, a/b/c/
class ManifestPathForCreate : public ::testing::Test {
 protected:
  void SetUp() override {
    t_.write("d/index.kdr", "i");
    t_.write("d/sub/rows.jsonl", "r");
    t_.write("d/x/index.kdr", "x");
    t_.write("d/dir2/f", "f");
    t_.mkdirs("d/m/n");
    t_.mkdirs("d/dir");
    t_.mkdirs("a/b/c");
    fs::create_symlink(t_.path("d/x/index.kdr"), t_.path("d/m/link.kdr"));
  }
  TempDir t_;
};

TEST_F(ManifestPathForCreate, RelativeTextsAndEscapes) {
  const TempDir& t = t_;
  const struct {
    std::string file;
    std::string dir;
    bool escape;
    std::string text;
  } cases[] = {
      {"d/index.kdr", "d", false, "index.kdr"},
      {"d/sub/rows.jsonl", "d", false, "sub/rows.jsonl"},
      {"d/./sub/../index.kdr", "d/sub/..", false, "index.kdr"},
      {"d", "d", false, "."},
      {"d/x/index.kdr", "d/m", true, "../x/index.kdr"},
      {"d/x/index.kdr", "d/m/n", true, "../../x/index.kdr"},
      {"d/dir2/f", "d/dir", true, "../dir2/f"},
      {"d/m/link.kdr", "d/m", true, "../x/index.kdr"},
      {"a", "a/b/c", true, "../.."},
  };
  for (const auto& c : cases) {
    for (const bool absolute : {false, true}) {
      auto text =
          manifest_path_for_create(t.path(c.file), t.path(c.dir), absolute, c.escape, "artifact");
      ASSERT_TRUE(text.has_value()) << c.file << " in " << c.dir << ": " << text.error().display();
      EXPECT_EQ(*text, c.text) << c.file << " in " << c.dir;
    }
  }
}

TEST_F(ManifestPathForCreate, RefusalsNameLabelAndCanonicalPaths) {
  const TempDir& t = t_;
  const std::string tail =
      "; use --allow-path-escape to create a manifest that requires non-default verification "
      "policy";

  const struct {
    std::string file;
    std::string dir;
    std::string canonical_file;
  } outside[] = {
      {"d/x/index.kdr", "d/m", "d/x/index.kdr"},
      {"d/m/link.kdr", "d/m", "d/x/index.kdr"},  // the link's target decides
      {"d/dir2/f", "d/dir", "d/dir2/f"},         // whole components, not a text prefix
  };
  for (const std::string_view label : {"artifact", "row identity", "auxiliary artifact"}) {
    for (const auto& c : outside) {
      for (const bool absolute : {false, true}) {
        auto text = manifest_path_for_create(t.path(c.file), t.path(c.dir), absolute, false, label);
        ASSERT_FALSE(text.has_value()) << c.file;
        EXPECT_EQ(text.error().kind(), ManifestError::Kind::Invalid);
        EXPECT_EQ(text.error().display(), std::string(label) + " path " + t.path(c.canonical_file) +
                                              " is outside manifest directory " + t.path(c.dir) +
                                              tail);
      }
    }
    // Paths without a common root have no relative form; canonical POSIX paths always share "/".
    auto none = manifest_path_from_canonical("/d/f", "rel/dir", false, true, label);
    ASSERT_FALSE(none.has_value());
    EXPECT_EQ(none.error().kind(), ManifestError::Kind::Invalid);
    EXPECT_EQ(none.error().display(),
              std::string(label) +
                  " path /d/f cannot be expressed relative to manifest directory rel/dir; use "
                  "--allow-absolute-paths with --allow-path-escape");
    auto absolute = manifest_path_from_canonical("/d/f", "rel/dir", true, true, label);
    ASSERT_TRUE(absolute.has_value());
    EXPECT_EQ(*absolute, "/d/f");
  }
}

TEST_F(ManifestPathForCreate, UnresolvablePathsAreIoErrorsBeforePolicy) {
  const TempDir& t = t_;
  const struct {
    std::string file;
    std::string dir;
    int error;
  } cases[] = {
      {t.path("d/x/missing.kdr"), t.path("d/m"), ENOENT},
      {t.path("d/x/index.kdr"), t.path("d/missing"), ENOENT},
      {t.path("d/x/index.kdr/"), t.path("d/m"), ENOTDIR},
      {t.path("d/x/index.kdr") + std::string(1, '\0') + "x", t.path("d/m"), EINVAL},
  };
  for (const auto& c : cases) {
    auto text = manifest_path_for_create(c.file, c.dir, false, false, "artifact");
    ASSERT_FALSE(text.has_value()) << c.file;
    EXPECT_EQ(text.error().kind(), ManifestError::Kind::Io);
    EXPECT_EQ(text.error().os_errno(), c.error) << c.file;
  }
}

// ---- auxiliary artifacts ----

CreateManifestOptions aux_options(std::vector<CreateAuxiliaryArtifact> items) {
  CreateManifestOptions options;
  options.auxiliary_artifacts = std::move(items);
  return options;
}

TEST(CreateAuxiliaryArtifacts, BuildsTrimmedHashedEntries) {
  TempDir t;
  const std::string abc = t.write("m/data/abc.bin", "abc");
  const std::string empty = t.write("m/empty.bin", "");
  const CreateManifestOptions options =
      aux_options({{" \u3000vocab\t", abc, true}, {"empty", empty, false}});
  auto entries = create_auxiliary_artifacts(options.auxiliary_artifacts, t.path("m"), options);
  ASSERT_TRUE(entries.has_value()) << entries.error().display();
  ASSERT_EQ(entries->size(), 2u);
  EXPECT_EQ((*entries)[0].name, "vocab");
  EXPECT_EQ((*entries)[0].path, "data/abc.bin");
  EXPECT_EQ((*entries)[0].sha256,
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ((*entries)[0].file_size_bytes, 3u);
  EXPECT_TRUE((*entries)[0].required);
  EXPECT_EQ((*entries)[1].sha256,
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ((*entries)[1].file_size_bytes, 0u);
  EXPECT_FALSE((*entries)[1].required);
}

TEST(CreateAuxiliaryArtifacts, FirstProblemEndsTheCall) {
  TempDir t;
  const std::string four = t.write("m/four.bin", "1234");
  const std::string five = t.write("m/five.bin", "12345");
  const std::string outside = t.write("elsewhere/o.bin", "1234");
  const std::string missing = t.path("m/missing.bin");

  const std::string big = t.write("elsewhere/big.bin", "123456");
  const std::string policy_tail =
      "; use --allow-path-escape to create a manifest that requires non-default verification "
      "policy";
  using K = ManifestError::Kind;
  const struct {
    std::vector<CreateAuxiliaryArtifact> items;
    std::uint64_t max_count;
    K kind;
    std::string display;
  } cases[] = {
      // clang-format off
      // The count is checked before any file is touched.
      {{{"a", missing}, {"b", missing}}, 1, K::Coded,
       "auxiliary_artifact_count_limit_exceeded: auxiliary_artifacts has 2 entries, exceeding "
       "max_auxiliary_artifacts=1"},
      {{{"a", four}}, 0, K::Coded,
       "auxiliary_artifact_count_limit_exceeded: auxiliary_artifacts has 1 entries, exceeding "
       "max_auxiliary_artifacts=0"},
      {{{" \t\n", four}}, 8, K::Invalid, "auxiliary artifact name must be non-empty"},
      // Names compare after trimming, before the second file is looked at.
      {{{" a", four}, {"a", missing}}, 8, K::Invalid, "auxiliary artifact name \"a\" is duplicated"},
      {{{"x\"y", four}, {"x\"y ", four}}, 8, K::Invalid,
       "auxiliary artifact name \"x\\\"y\" is duplicated"},
      {{{"four", four}, {"five", five}}, 8, K::Coded,
       "auxiliary_artifact_file_too_large: auxiliary artifact exceeds 4 bytes while reading " + five},
      // Hashing comes first: an oversized file outside the directory fails on its size.
      {{{"big", big}}, 8, K::Coded,
       "auxiliary_artifact_file_too_large: auxiliary artifact exceeds 4 bytes while reading " + big},
      {{{"o", outside}}, 8, K::Invalid,
       "auxiliary artifact path " + outside + " is outside manifest directory " + t.path("m") +
       policy_tail},
      {{{"gone", missing}}, 8, K::Io, os_error_text(ENOENT)},
      // clang-format on
  };
  for (const auto& c : cases) {
    CreateManifestOptions options = aux_options(c.items);
    options.limits.max_auxiliary_artifacts = c.max_count;
    options.limits.max_auxiliary_artifact_bytes = 4;
    auto entries = create_auxiliary_artifacts(options.auxiliary_artifacts, t.path("m"), options);
    ASSERT_FALSE(entries.has_value()) << c.display;
    EXPECT_EQ(entries.error().kind(), c.kind) << c.display;
    EXPECT_EQ(entries.error().display(), c.display);
  }

  CreateManifestOptions exact = aux_options({{"a", four}, {"b", four}});
  exact.limits.max_auxiliary_artifacts = 2;
  exact.limits.max_auxiliary_artifact_bytes = 4;
  auto accepted = create_auxiliary_artifacts(exact.auxiliary_artifacts, t.path("m"), exact);
  ASSERT_TRUE(accepted.has_value()) << accepted.error().display();
  EXPECT_EQ(accepted->size(), 2u);
}

// ---- creation ----

struct KindCase {
  IndexKind kind;
  std::string_view json_kind;
};

void PrintTo(const KindCase& c, std::ostream* os) {
  *os << c.json_kind;
}

class CreateRoundTrip : public ::testing::TestWithParam<KindCase> {};

TEST_P(CreateRoundTrip, WritesAManifestThatVerifies) {
  const KindCase& param = GetParam();
  for (const bool with_row_map : {true, false}) {
    TempDir t;
    IndexSpec spec;
    spec.kind = param.kind;
    const std::string index = t.write_index("idx/index.kdr", spec);
    const std::string rows = t.write("idx/maps/rows.jsonl", row_map_text(spec.n_vectors));
    // A longer file already at `out` must be replaced, not overwritten in part.
    const std::string out = t.write("idx/manifest.json", std::string(8192, 'x'));
    const RowIdentityChoice choice =
        with_row_map ? RowIdentityChoice{RowMapFile{rows}} : RowIdentityChoice{RowIdIdentity{}};

    auto created = create_manifest_for_index_with_options(index, out, "enc-\xC3\xA9/1", choice, {});
    ASSERT_TRUE(created.has_value()) << created.error().display();
    const IndexManifest& m = *created;
    const std::uint64_t size = fixtures::file_bytes(spec).size();

    EXPECT_EQ(m.schema_version, "karnid.index_manifest.v1");
    EXPECT_TRUE(std::regex_match(m.manifest_id, kUuidUrn)) << m.manifest_id;
    ASSERT_TRUE(m.build.has_value());
    EXPECT_TRUE(std::regex_match(m.build->invocation_id, kUuidUrn)) << m.build->invocation_id;
    EXPECT_NE(m.manifest_id, m.build->invocation_id);
    EXPECT_EQ(m.build->builder_id, "karnid-manifest");
    EXPECT_TRUE(std::regex_match(m.created_at, kCreatedAt)) << m.created_at;
    EXPECT_EQ(m.artifact.path, "index.kdr");
    EXPECT_EQ(m.artifact.sha256, Sha256::hex_of(read_all(index)));
    EXPECT_EQ(to_json_name(m.artifact.kind), param.json_kind);
    EXPECT_EQ(m.artifact.format_version, 1);
    EXPECT_EQ(m.artifact.dim, spec.dim);
    EXPECT_EQ(m.artifact.vector_count, spec.n_vectors);
    EXPECT_EQ(m.artifact.bytes_per_vec, fixtures::declared_payload(spec) / spec.n_vectors);
    EXPECT_EQ(m.artifact.params.kind, m.artifact.kind);
    EXPECT_EQ(m.artifact.params.bits, param.kind == IndexKind::RankQuant ? spec.bits : 0);
    EXPECT_EQ(m.artifact.params.n_top, param.kind == IndexKind::Bitmap ? spec.n_top : 0u);
    EXPECT_EQ(m.artifact.file_size_bytes, size);
    EXPECT_TRUE(m.auxiliary_artifacts.empty());
    EXPECT_EQ(m.embedding.model, "enc-\xC3\xA9/1");
    EXPECT_EQ(m.embedding.dim, spec.dim);
    EXPECT_EQ(m.row_identity.row_count, spec.n_vectors);
    if (with_row_map) {
      EXPECT_EQ(m.row_identity.kind, RowIdentity::Kind::Jsonl);
      EXPECT_EQ(m.row_identity.path, "maps/rows.jsonl");
      EXPECT_EQ(m.row_identity.sha256, Sha256::hex_of(read_all(rows)));
      EXPECT_EQ(m.row_identity.id_kind, "uuid");
      EXPECT_FALSE(m.row_identity.db.has_value());
    } else {
      EXPECT_EQ(m.row_identity.kind, RowIdentity::Kind::RowIdIdentity);
    }

    // The file holds exactly the pretty form of the returned manifest, with no final newline.
    const std::string text = read_all(out);
    EXPECT_EQ(text, serialize_manifest(m, json::Writer::Style::Pretty));
    EXPECT_TRUE(text.starts_with("{\n  \"schema_version\": ")) << text.substr(0, 40);
    EXPECT_TRUE(text.ends_with("\n}")) << text.substr(text.size() - 10);
    EXPECT_EQ(text.find("auxiliary_artifacts"), std::string::npos);
    auto parsed = parse_manifest(text);
    ASSERT_TRUE(parsed.has_value()) << parsed.error().display();
    EXPECT_EQ(serialize_manifest(*parsed, json::Writer::Style::Compact),
              serialize_manifest(m, json::Writer::Style::Compact));

    auto document = load_manifest_file_with_options(out, kDefaultMaxManifestBytes);
    ASSERT_TRUE(document.has_value()) << document.error().display();
    const VerificationRun run = verify_manifest_with_path_capture(*document, VerifyOptions{});
    EXPECT_EQ(run.capture.artifact_path, index);
    EXPECT_EQ(run.report.artifact.sha256, m.artifact.sha256);
    EXPECT_TRUE(run.report.artifact.metadata.has_value());
    if (with_row_map) {
      EXPECT_EQ(run.capture.row_identity_path, rows);
      EXPECT_EQ(run.report.row_identity.sha256, m.row_identity.sha256);
      EXPECT_EQ(run.report.row_identity.validated_rows, spec.n_vectors);
    }
    for (const ReportIssue& issue : run.report.errors) {
      EXPECT_FALSE(issue.code.starts_with("artifact_") || issue.code.starts_with("row_identity_"))
          << issue.code << ": " << issue.message;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, CreateRoundTrip,
                         ::testing::Values(KindCase{IndexKind::Rank, "rank"},
                                           KindCase{IndexKind::RankQuant, "rank_quant"},
                                           KindCase{IndexKind::Bitmap, "bitmap"},
                                           KindCase{IndexKind::SignBitmap, "sign_bitmap"}),
                         [](const ::testing::TestParamInfo<KindCase>& kind_info) {
                           return std::string(kind_info.param.json_kind);
                         });

// Creation failures: nothing reaches `out`, whose earlier content survives.
class CreateFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    index_ = t_.write_index("idx/index.kdr", spec_);
    out_ = t_.write("idx/manifest.json", "previous content");
  }

  Result<IndexManifest> create(const RowIdentityChoice& choice,
                               const CreateManifestOptions& options = {}) {
    return create_manifest_for_index_with_options(index_, out_, "model", choice, options);
  }
  void expect_untouched() { EXPECT_EQ(read_all(out_), "previous content"); }

  TempDir t_;
  IndexSpec spec_;
  std::string index_;
  std::string out_;
};

TEST_F(CreateFailure, RowMapProblemsAreRefusedWithTheirMessages) {
  const std::string good = row_map_text(spec_.n_vectors);
  const std::string bad_row_id = "{\"row_id\":1,\"db_id\":\"" + uuid_for_row(0) + "\"}\n";
  const std::string rest = good.substr(good.find('\n') + 1);
  using K = ManifestError::Kind;
  const struct {
    std::string rows;
    std::uint64_t max_line_bytes;
    std::uint64_t max_report_issues;
    K kind;
    std::string display;
  } cases[] = {
      // clang-format off
      {row_map_text(2), 65536, 1024, K::Invalid, "row map has 2 rows but index has 3 vectors"},
      {row_map_text(4), 65536, 1024, K::Invalid,
       "row map is invalid: row_identity_row_count_mismatch"},
      {bad_row_id + rest, 65536, 1024, K::Invalid,
       "row map is invalid: row_identity_row_id_mismatch"},
      {"{\"row_id\":7,\"db_id\":\"nope\"}\n" + rest, 65536, 1024, K::Invalid,
       "row map is invalid: row_identity_row_id_mismatch, row_identity_db_id_invalid_uuid"},
      {good, 20, 1024, K::Coded,
       "row_identity_line_too_large: line 0 exceeds max_row_identity_jsonl_line_bytes=20"},
      // A resource-limit issue wins over the issues found before it.
      {bad_row_id + std::string(100, ' ') + "\n", 80, 1024, K::Coded,
       "row_identity_line_too_large: line 1 exceeds max_row_identity_jsonl_line_bytes=80"},
      // A bound of zero keeps only the limit issue; the row map must still be refused.
      {bad_row_id, 65536, 0, K::Coded,
       "verification_report_issue_limit_exceeded: verification report issue count exceeded "
       "max_report_issues=0"},
      // clang-format on
  };
  for (const auto& c : cases) {
    const std::string rows = t_.write("idx/rows.jsonl", c.rows);
    CreateManifestOptions options;
    options.limits.max_row_map_line_bytes = c.max_line_bytes;
    options.limits.max_report_issues = c.max_report_issues;
    auto created = create(RowMapFile{rows}, options);
    ASSERT_FALSE(created.has_value()) << c.display;
    EXPECT_EQ(created.error().kind(), c.kind) << c.display;
    EXPECT_EQ(created.error().display(), c.display);
    expect_untouched();
  }

  auto missing = create(RowMapFile{t_.path("idx/none.jsonl")});
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().os_errno(), ENOENT);
  expect_untouched();

  const std::string outside = t_.write("other/rows.jsonl", good);
  auto refused = create(RowMapFile{outside});
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().display(),
            "row identity path " + outside + " is outside manifest directory " + t_.path("idx") +
                "; use --allow-path-escape to create a manifest that requires non-default "
                "verification policy");
  expect_untouched();
}

TEST_F(CreateFailure, UnusableIndexFilesAreIoErrors) {
  IndexSpec unknown = spec_;
  unknown.magic = "XXXX";
  const std::string fifo = t_.path("idx/fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  const struct {
    std::string what;
    std::string index;
    std::string display;
  } cases[] = {
      {"unknown magic", t_.write_index("idx/unknown.kdr", unknown), "unknown karnid index magic"},
      {"shorter than the magic", t_.write("idx/short.kdr", "KD"),
       "karnid index header truncated while reading magic"},
      {"directory", t_.path("idx"), os_error_text(EISDIR)},
      {"fifo", fifo, fifo + " is not a regular file"},
      {"missing", t_.path("idx/missing.kdr"), os_error_text(ENOENT)},
  };
  for (const auto& c : cases) {
    auto created =
        create_manifest_for_index_with_options(c.index, out_, "model", RowIdIdentity{}, {});
    ASSERT_FALSE(created.has_value()) << c.what;
    EXPECT_EQ(created.error().kind(), ManifestError::Kind::Io) << c.what;
    EXPECT_EQ(created.error().display(), c.display) << c.what;
    expect_untouched();
  }
}

TEST_F(CreateFailure, OutputThatCannotBeOpened) {
  t_.mkdirs("idx/taken");
  auto into_dir = create_manifest_for_index_with_options(index_, t_.path("idx/taken"), "model",
                                                         RowIdIdentity{}, {});
  ASSERT_FALSE(into_dir.has_value());
  EXPECT_EQ(into_dir.error().kind(), ManifestError::Kind::Io);
  EXPECT_EQ(into_dir.error().os_errno(), EISDIR);

  // A FIFO without a reader fails at once instead of waiting for one.
  const std::string fifo = t_.path("idx/out.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto into_fifo =
      create_manifest_for_index_with_options(index_, fifo, "model", RowIdIdentity{}, {});
  ASSERT_FALSE(into_fifo.has_value());
  EXPECT_EQ(into_fifo.error().os_errno(), ENXIO);

  // The directory part holds a NUL: nothing is created at all.
  const std::string bad = t_.path("new") + std::string(1, '\0') + "dir/manifest.json";
  auto nul = create_manifest_for_index_with_options(index_, bad, "model", RowIdIdentity{}, {});
  ASSERT_FALSE(nul.has_value());
  EXPECT_EQ(nul.error().os_errno(), EINVAL);
  EXPECT_FALSE(fs::exists(t_.path("new")));
}

TEST_F(CreateFailure, PathPolicyAndAuxiliaryErrorsLeaveOutputAlone) {
  const std::string elsewhere = t_.write_index("other/index.kdr", spec_);
  auto escaped =
      create_manifest_for_index_with_options(elsewhere, out_, "model", RowIdIdentity{}, {});
  ASSERT_FALSE(escaped.has_value());
  EXPECT_TRUE(escaped.error().display().starts_with("artifact path " + elsewhere +
                                                    " is outside manifest directory "))
      << escaped.error().display();
  expect_untouched();

  CreateManifestOptions options;
  options.auxiliary_artifacts = {{"a", t_.write("idx/a.bin", "a")}, {" a ", t_.path("idx/x")}};
  auto duplicate = create(RowIdIdentity{}, options);
  ASSERT_FALSE(duplicate.has_value());
  EXPECT_EQ(duplicate.error().display(), "auxiliary artifact name \"a\" is duplicated");
  expect_untouched();
}

// Every regular file below `root` with its bytes (links are not followed).
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file() && !entry.is_symlink())
      files[entry.path()] = read_all(entry.path());
  }
  return files;
}

TEST_F(CreateFailure, RefusalsBeforeWritingChangeNoFile) {
  const std::string rows = t_.write("idx/rows.jsonl", row_map_text(spec_.n_vectors));
  const std::string aux = t_.write("idx/aux.bin", "aux");
  const std::string hard = t_.path("idx/hard.kdr");
  ASSERT_EQ(::link(index_.c_str(), hard.c_str()), 0);
  fs::create_directory_symlink(t_.path("idx"), t_.path("via"));
  const std::string odd_index = t_.write_index("idx/\xFF.kdr", spec_);
  const std::string odd_rows = t_.write("idx/r\xFF.jsonl", row_map_text(spec_.n_vectors));
  const std::string via = t_.path("via/index.kdr");
  const std::string fffd = "\xEF\xBF\xBD";
  const auto over = [](const std::string& out, std::string_view label, const std::string& in) {
    return "output path " + out + " is the same file as the " + std::string(label) + " " + in +
           "; writing the manifest there would destroy it";
  };
  const auto unspellable = [&](std::string_view label, const std::string& name) {
    return std::string(label) + " path " + t_.path("idx/") + name +
           " is not valid UTF-8 and cannot be written into a manifest";
  };
  const std::vector<CreateAuxiliaryArtifact> named = {{"vo\ncab", aux}};
  const std::vector<CreateAuxiliaryArtifact> odd = {{"a", t_.write("idx/a\xFF", "aux")}};
  const RowIdentityChoice ids = RowIdIdentity{};
  const RowIdentityChoice odd_map = RowMapFile{odd_rows};
  const std::string blank = "embedding.model must be non-empty";
  struct Case {
    std::string index, out, model;
    RowIdentityChoice choice;
    std::vector<CreateAuxiliaryArtifact> auxiliary;
    std::string message;
  };
  const std::vector<Case> cases = {
      {index_, index_, "m", ids, {}, over(index_, "index file", index_)},
      {index_, hard, "m", ids, {}, over(hard, "index file", index_)},
      {index_, via, "m", ids, {}, over(via, "index file", index_)},
      {index_, rows, "m", RowMapFile{rows}, {}, over(rows, "row map", rows)},
      {index_, aux, "m", ids, named, over(aux, "auxiliary artifact \"vo\\ncab\"", aux)},
      {index_, out_, "", ids, {}, blank},
      {index_, out_, " \t\xE3\x80\x80\xC2\x85\xC2\xA0", ids, {}, blank},
      {odd_index, out_, "m", ids, {}, unspellable("artifact", fffd + ".kdr")},
      {index_, out_, "m", odd_map, {}, unspellable("row identity", "r" + fffd + ".jsonl")},
      {index_, out_, "m", ids, odd, unspellable("auxiliary artifact", "a" + fffd)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const auto before = snapshot(t_.root());
    CreateManifestOptions options;
    options.auxiliary_artifacts = c.auxiliary;
    auto created =
        create_manifest_for_index_with_options(c.index, c.out, c.model, c.choice, options);
    ASSERT_FALSE(created.has_value());
    EXPECT_EQ(created.error().kind(), ManifestError::Kind::Invalid);
    EXPECT_EQ(created.error().display(), c.message);
    EXPECT_EQ(snapshot(t_.root()), before);
  }

  // An earlier manifest is no input: it is replaced as before. So is a model with inner blanks,
  // and a manifest directory whose own name is not UTF-8 never reaches the text.
  ASSERT_TRUE(create(RowIdIdentity{}).has_value());
  EXPECT_TRUE(read_all(out_).starts_with("{\n"));
  const std::string odd_dir_index = t_.write_index("d\xFF/index.kdr", spec_);
  auto inside = create_manifest_for_index_with_options(
      odd_dir_index, t_.path("d\xFF/manifest.json"), "a b", RowIdIdentity{}, {});
  ASSERT_TRUE(inside.has_value()) << inside.error().display();
  EXPECT_EQ(inside->artifact.path, "index.kdr");
}

TEST(CreateManifest, CreatesMissingDirectoriesAndEscapesWhenAllowed) {
  TempDir t;
  const std::string index = t.write_index("idx/index.kdr", IndexSpec{});
  const std::string out = t.path("idx/new/a/manifest.json");
  CreateManifestOptions options;
  options.allow_path_escape = true;
  options.auxiliary_artifacts = {{"vocab", t.write("idx/vocab.txt", "abc"), false}};
  auto created =
      create_manifest_for_index_with_options(index, out, "model", RowIdIdentity{}, options);
  ASSERT_TRUE(created.has_value()) << created.error().display();
  EXPECT_EQ(created->artifact.path, "../../index.kdr");
  ASSERT_EQ(created->auxiliary_artifacts.size(), 1u);
  EXPECT_EQ(created->auxiliary_artifacts[0].path, "../../vocab.txt");
  const std::string text = read_all(out);
  EXPECT_NE(text.find("\"auxiliary_artifacts\": [\n"), std::string::npos);
  EXPECT_NE(text.find("\"required\": false"), std::string::npos);

  const mode_t mask = ::umask(0);
  ::umask(mask);
  struct stat st {};
  ASSERT_EQ(::stat(t.path("idx/new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0777 & ~mask);
  ASSERT_EQ(::stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST(CreateManifest, DirectoriesMadeBeforeAFailureStay) {
  TempDir t;
  const std::string index = t.write_index("idx/index.kdr", IndexSpec{});
  auto created = create_manifest_for_index_with_options(index, t.path("deep/er/manifest.json"),
                                                        "model", RowIdIdentity{}, {});
  ASSERT_FALSE(created.has_value());
  EXPECT_EQ(created.error().kind(), ManifestError::Kind::Invalid);
  EXPECT_TRUE(fs::is_directory(t.path("deep/er")));
  EXPECT_FALSE(fs::exists(t.path("deep/er/manifest.json")));
}

TEST(CreateManifest, BareOutputNameUsesTheWorkingDirectory) {
  TempDir t;
  t.write_index("index.kdr", IndexSpec{});
  const WorkingDirectory cwd(t.root());
  auto created = create_manifest_for_index_with_options("index.kdr", "manifest.json", "m",
                                                        RowIdIdentity{}, {});
  ASSERT_TRUE(created.has_value()) << created.error().display();
  EXPECT_EQ(created->artifact.path, "index.kdr");
  EXPECT_TRUE(fs::exists(t.path("manifest.json")));
}

TEST(CreateManifest, RepeatedCreationsDifferOnlyInIdsAndTime) {
  TempDir t;
  const std::string index = t.write_index("idx/index.kdr", IndexSpec{});
  const std::string rows = t.write("idx/rows.jsonl", row_map_text(3));
  auto first = create_manifest_for_index_with_options(index, t.path("idx/one.json"), "m",
                                                      RowMapFile{rows}, {});
  auto second = create_manifest_for_index_with_options(index, t.path("idx/two.json"), "m",
                                                       RowMapFile{rows}, {});
  ASSERT_TRUE(first.has_value() && second.has_value());
  EXPECT_NE(first->manifest_id, second->manifest_id);
  EXPECT_NE(first->build->invocation_id, second->build->invocation_id);
  IndexManifest normalized = *second;
  normalized.manifest_id = first->manifest_id;
  normalized.build->invocation_id = first->build->invocation_id;
  normalized.created_at = first->created_at;
  EXPECT_EQ(serialize_manifest(normalized, json::Writer::Style::Compact),
            serialize_manifest(*first, json::Writer::Style::Compact));
}

// ---- the index changing between probe and hash ----

// Installs a hook for the window between probing and hashing the index, for its lifetime.
class ScopedIndexProbedHook {
 public:
  explicit ScopedIndexProbedHook(detail::IndexProbedHook hook)
      : previous_(detail::set_index_probed_hook(hook)) {}
  ScopedIndexProbedHook(const ScopedIndexProbedHook&) = delete;
  ScopedIndexProbedHook& operator=(const ScopedIndexProbedHook&) = delete;
  ~ScopedIndexProbedHook() { detail::set_index_probed_hook(previous_); }

 private:
  detail::IndexProbedHook previous_;
};

TEST(CreateManifest, IndexChangedBetweenProbeAndHashIsRefused) {
  const struct {
    const char* what;
    detail::IndexProbedHook change;
  } cases[] = {
      {"grown",
       [](const std::string& path) {
         std::ofstream(path, std::ios::binary | std::ios::app) << 'x';
       }},
      {"replaced by different bytes of the same size",
       [](const std::string& path) {
         std::string bytes = read_all(path);
         bytes.back() = static_cast<char>(bytes.back() ^ 1);
         std::ofstream(path + ".new", std::ios::binary) << bytes;
         fs::rename(path + ".new", path);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir t;
    const std::string index = t.write_index("idx/index.kdr", IndexSpec{});
    const std::string out = t.path("idx/manifest.json");
    const ScopedIndexProbedHook hook(c.change);
    auto created = create_manifest_for_index_with_options(index, out, "m", RowIdIdentity{}, {});
    ASSERT_FALSE(created.has_value());
    EXPECT_EQ(created.error().kind(), ManifestError::Kind::Io);
    EXPECT_EQ(created.error().display(),
              "index file " + index + " changed while it was being read");
    EXPECT_FALSE(fs::exists(out));
  }
}

}  // namespace
}  // namespace karnid::manifest
