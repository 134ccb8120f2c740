// Row identity verification: the declaration checks of the manifest's row_identity block, the
// streaming validator of a JSON Lines row map (shared with manifest creation), and the file step
// that compares the file with the declaration.
#include "karnid/manifest/row_identity.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "db_id_set.hpp"
#include "karnid/manifest/row_map.hpp"
#include "karnid/manifest/text.hpp"
#include "row_fast_path.hpp"
#include "uuid_text.hpp"
#include "verify_steps.hpp"

namespace karnid::manifest {
namespace {

// ---- codes and messages ----

constexpr std::string_view kArtifactRowCountMismatch = "artifact_row_count_mismatch";
constexpr std::string_view kPathEmpty = "row_identity_path_empty";
constexpr std::string_view kSha256Invalid = "row_identity_sha256_invalid";
constexpr std::string_view kIdKindUnsupported = "row_identity_id_kind_unsupported";
constexpr std::string_view kDbUnsupported = "row_identity_db_unsupported";
constexpr std::string_view kRowCountLimitExceeded = kRowIdentityRowCountLimitCode;
constexpr std::string_view kReadFailed = "row_identity_read_failed";
constexpr std::string_view kRowCountMismatch = "row_identity_row_count_mismatch";
constexpr std::string_view kLineTooLarge = kRowIdentityLineTooLargeCode;
constexpr std::string_view kInvalidJson = "row_identity_jsonl_invalid_json";
constexpr std::string_view kRowIdMismatch = "row_identity_row_id_mismatch";
constexpr std::string_view kDuplicateDbId = "row_identity_duplicate_db_id";
constexpr std::string_view kTrackingLimitExceeded = kRowIdentityTrackingLimitCode;
constexpr std::string_view kSha256Mismatch = "row_identity_sha256_mismatch";

constexpr std::string_view kIssuePrefix = "row_identity";
constexpr std::string_view kKindJsonl = "jsonl";
constexpr std::string_view kKindRowIdIdentity = "row_id_identity";
constexpr std::string_view kSupportedIdKind = "uuid";

// The row map's limits as its messages cite them, named after the row identity file where the
// keywords and the C++ names say row map (docs/limits.md maps every limit's names).
constexpr std::string_view kRowMapRowsName = "max_row_identity_rows";
constexpr std::string_view kRowMapLineBytesName = "max_row_identity_jsonl_line_bytes";
constexpr std::string_view kRowMapTrackedIdBytesName = "max_row_identity_tracked_db_id_bytes";

std::string line_label(std::uint64_t index) {
  return "line " + decimal(index);
}

// "{name}={value}", a limit as a message cites it.
std::string limit_text(std::string_view name, std::uint64_t value) {
  return std::string(name) + "=" + decimal(value);
}

std::string field_code(std::string_view field, std::string_view condition) {
  std::string code(kIssuePrefix);
  code += '_';
  code += field;
  code += condition;
  return code;
}

// ---- the streaming validator ----

// The file is read in blocks of kRowMapReadBytes: large enough that the per-call cost of the
// kernel's read path hardly counts, small enough to stay in the second-level cache, where the
// hasher leaves each block for the line reader (bench/RESULTS.md has the profiles).
constexpr std::size_t kReadBufferBytes = kRowMapReadBytes;
// Lines read ahead of their checks, so that their set probes can be in flight together.
constexpr std::size_t kBatchLines = 32;
// The smallest line that parses as a row, [0,""], plus its line feed: no file holds more rows
// than its size divided by this.
constexpr std::uint64_t kMinRowLineBytes = 7;
// The seen set is sized up front for at most this many entries (a 32 MiB table) and grows beyond
// it: a manifest that declares millions of rows over a file of junk costs no more than that.
constexpr std::uint64_t kMaxPresizedEntries = std::uint64_t{1} << 21;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  const std::uint64_t sum = a + b;
  return sum < a ? std::numeric_limits<std::uint64_t>::max() : sum;
}

// A line of the current read buffer, read ahead of its checks.
struct ReadAheadLine {
  // Which reader was certain of the line: the common shape reader (`common` holds what it read),
  // the plain-row reader (`row`), or neither (the line is read again when it is checked).
  enum class Reader : std::uint8_t { CommonShape, PlainRow, None };

  std::string_view text;  // without its line feed
  Reader reader = Reader::None;
  detail::CommonShapeRow common;
  JsonlRowView row;
  detail::DbIdSet::Key key;  // of the db_id, when the set needs it
};

// Splits the byte stream into lines and checks each one. A line that lies inside one read
// buffer is checked in place; only a line cut by a buffer boundary is copied, and never beyond
// the line limit. A line exists from its first byte on, so the row limits are checked as soon as
// it begins: whatever the rest of it holds, reading would stop at it.
//
// Complete lines are handled a batch at a time: first each is parsed and its set slot fetched
// (no effect on the outcome), then each is checked strictly in order, so issues and early stops
// are exactly those of a line-by-line pass.
class RowMapValidator {
 public:
  RowMapValidator(bool allow_duplicate_db_ids, const ResourceLimits& limits,
                  std::uint64_t declared_row_count, std::uint64_t expected_entries,
                  std::vector<ReportIssue>& errors, RowParsing parsing)
      : limits_(limits),
        line_limit_(limits.max_row_map_line_bytes == 0 ? 1 : limits.max_row_map_line_bytes),
        declared_(declared_row_count),
        row_cap_(std::min(limits.max_row_map_rows, declared_row_count)),
        errors_(errors),
        fast_(parsing == RowParsing::Fast) {
    if (!allow_duplicate_db_ids) seen_.emplace(expected_entries);
  }

  // Consumes a chunk of the file; false once reading must stop.
  bool feed(const char* data, std::size_t size) {
    const char* p = data;
    const char* const end = data + size;
    if (!pending_.empty()) {
      const char* lf = find_lf(p, end);
      const std::size_t taken = static_cast<std::size_t>((lf != nullptr ? lf : end) - p);
      if (pending_.size() + taken + (lf != nullptr ? 1 : 0) > line_limit_) return too_large();
      pending_.append(p, taken);
      if (lf == nullptr) return true;
      const bool go_on = check_line(pending_);
      pending_.clear();
      if (!go_on) return false;
      p = lf + 1;
    }
    while (p != end) {
      const std::size_t count = read_batch(p, end);
      for (std::size_t i = 0; i < count; ++i) {
        if (!begin_line()) return false;
        if (batch_[i].text.size() + 1 > line_limit_) return too_large();
        if (!check_read_ahead(batch_[i])) return false;
      }
      if (count < kBatchLines && p != end) {
        // The rest of the buffer starts a line that the next buffer continues.
        if (!begin_line()) return false;
        if (static_cast<std::uint64_t>(end - p) > line_limit_) return too_large();
        pending_.assign(p, static_cast<std::size_t>(end - p));
        return true;
      }
    }
    return true;
  }

  // End of file: a final line without a line feed is still a row.
  bool finish() {
    if (pending_.empty()) return true;
    const bool go_on = check_line(pending_);
    pending_.clear();
    return go_on;
  }

  [[nodiscard]] JsonlRowsSummary summary() const {
    return {std::nullopt, rows_read_, parsed_rows_, std::nullopt};
  }

 private:
  static const char* find_lf(const char* p, const char* end) noexcept {
    return static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
  }

  // One carriage return before the line feed (or at the very end of the file) is not content.
  static std::string_view without_cr(std::string_view line) noexcept {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
  }

  // `line` goes with the messages that name a line.
  void push(std::string_view code, std::string message,
            std::optional<std::uint64_t> line = std::nullopt) {
    push_report_issue_bounded(errors_, limits_.max_report_issues, code, std::move(message), line);
  }

  bool begin_line() {
    ++rows_read_;
    return rows_read_ <= row_cap_ || past_row_cap();
  }

  [[gnu::cold, gnu::noinline]] bool past_row_cap() {
    if (rows_read_ > limits_.max_row_map_rows) {
      push(kRowCountLimitExceeded, "row identity file has more than " +
                                       limit_text(kRowMapRowsName, limits_.max_row_map_rows) +
                                       " rows");
      return false;
    }
    if (rows_read_ > declared_) {
      push(kRowCountMismatch,
           "row identity file has more than declared row_count=" + decimal(declared_));
      return false;
    }
    return true;
  }

  [[gnu::cold, gnu::noinline]] bool too_large() {
    push(kLineTooLarge,
         line_label(rows_read_ - 1) + " exceeds " +
             limit_text(kRowMapLineBytesName, limits_.max_row_map_line_bytes),
         rows_read_ - 1);
    return false;
  }

  // Reads ahead up to a batch of complete lines from p on; p moves past them. A line in the
  // common shape is matched where it lies, which finds its end too; any other line is cut at its
  // line feed and given to the plain-row reader.
  std::size_t read_batch(const char*& p, const char* end) noexcept {
    std::size_t count = 0;
    while (count < kBatchLines) {
      ReadAheadLine& line = batch_[count];
      if (fast_ && static_cast<std::size_t>(end - p) >= detail::kCommonShapeWindow) {
        if (const std::size_t length = detail::read_common_shape_row(p, line.common); length != 0) {
          line.text = std::string_view(p, length - 1);
          line.reader = ReadAheadLine::Reader::CommonShape;
          if (seen_) {
            line.key = line.common.lowercase ? seen_->checked_lowercase_uuid_key(line.common.db_id)
                                             : seen_->key(common_db_id(line.common));
            seen_->prefetch(line.key);
          }
          p += length;
          ++count;
          continue;
        }
      }
      const char* lf = find_lf(p, end);
      if (lf == nullptr) break;
      read_ahead(line, std::string_view(p, static_cast<std::size_t>(lf - p)));
      p = lf + 1;
      ++count;
    }
    return count;
  }

  void read_ahead(ReadAheadLine& line, std::string_view text) const noexcept {
    line.text = text;
    line.reader = ReadAheadLine::Reader::None;
    if (!fast_ || !detail::PlainRowReader(without_cr(text)).read(line.row)) return;
    line.reader = ReadAheadLine::Reader::PlainRow;
    if (!seen_) return;
    line.key = seen_->key(line.row.db_id);
    seen_->prefetch(line.key);
  }

  static std::string_view common_db_id(const detail::CommonShapeRow& row) noexcept {
    return {row.db_id, uuid::kHyphenatedLength};
  }

  bool check_read_ahead(const ReadAheadLine& line) {
    switch (line.reader) {
      case ReadAheadLine::Reader::CommonShape: {
        // A hyphenated UUID and no parent_id: only the row_id and the set are left to check.
        const std::uint64_t index = rows_read_ - 1;
        if (line.common.row_id != index) push_row_id_mismatch(index, line.common.row_id);
        ++parsed_rows_;
        return !seen_ || track(index, common_db_id(line.common), line.key);
      }
      case ReadAheadLine::Reader::PlainRow:
        return check_row(rows_read_ - 1, line.row, line.key);
      case ReadAheadLine::Reader::None:
        break;
    }
    return check_line(line.text);
  }

  // `line` is without its line feed.
  bool check_line(std::string_view line) {
    const std::uint64_t index = rows_read_ - 1;
    line = without_cr(line);
    if (JsonlRowView row; fast_ && detail::PlainRowReader(line).read(row)) {
      return check_row(index, row, seen_ ? seen_->key(row.db_id) : detail::DbIdSet::Key{});
    }
    auto parsed = parse_jsonl_row(line);
    if (!parsed) {
      push(kInvalidJson, line_label(index) + " is not a strict row object: " + parsed.error(),
           index);
      return true;
    }
    const JsonlRow& row = *parsed;
    JsonlRowView view{row.row_id, row.db_id, std::nullopt};
    if (row.parent_id) view.parent_id = *row.parent_id;
    return check_row(index, view, seen_ ? seen_->key(view.db_id) : detail::DbIdSet::Key{});
  }

  // The issue paths are kept out of line, so that the per-line checks around them stay small
  // enough to be inlined into the loop.
  [[gnu::cold, gnu::noinline]] void push_row_id_mismatch(std::uint64_t index,
                                                         std::uint64_t row_id) {
    push(kRowIdMismatch, line_label(index) + " has row_id " + decimal(row_id), index);
  }

  // `key` is the set's key of row.db_id (unused when duplicates are allowed).
  bool check_row(std::uint64_t index, const JsonlRowView& row, const detail::DbIdSet::Key& key) {
    if (row.row_id != index) push_row_id_mismatch(index, row.row_id);
    // The usual hyphenated UUID is settled here; everything else gets the full check.
    if (row.db_id.size() != uuid::kHyphenatedLength || !uuid::is_hyphenated(row.db_id.data())) {
      validate_row_id_string("db_id", row.db_id, index, limits_.max_report_issues, errors_);
    }
    if (row.parent_id) {
      validate_row_id_string("parent_id", *row.parent_id, index, limits_.max_report_issues,
                             errors_);
    }
    ++parsed_rows_;
    return !seen_ || track(index, row.db_id, key);
  }

  // Adds the db_id of line `index` to the seen set; `key` is its key. False once the tracked
  // bytes pass their limit.
  [[gnu::always_inline]] bool track(std::uint64_t index, std::string_view db_id,
                                    const detail::DbIdSet::Key& key) {
    const detail::DbIdSet::Probe probe = seen_->find(db_id, key);
    if (probe.found) [[unlikely]] {
      push_duplicate(index);
      return true;
    }
    tracked_bytes_ = saturating_add(tracked_bytes_, db_id.size());
    if (tracked_bytes_ > limits_.max_row_map_tracked_id_bytes) [[unlikely]] {
      return tracking_limit_exceeded();
    }
    seen_->insert(probe, db_id, key);
    return true;
  }

  [[gnu::cold, gnu::noinline]] void push_duplicate(std::uint64_t index) {
    push(kDuplicateDbId, line_label(index) + " repeats db_id", index);
  }

  [[gnu::cold, gnu::noinline]] bool tracking_limit_exceeded() {
    push(kTrackingLimitExceeded,
         "tracked db_id bytes exceed " +
             limit_text(kRowMapTrackedIdBytesName, limits_.max_row_map_tracked_id_bytes));
    return false;
  }

  const ResourceLimits& limits_;
  std::uint64_t line_limit_;
  std::uint64_t declared_;
  std::uint64_t row_cap_;  // lines up to this many pass both row limits
  std::vector<ReportIssue>& errors_;
  bool fast_;
  std::string pending_;  // the part of a line read so far when a buffer boundary cut it
  std::array<ReadAheadLine, kBatchLines> batch_{};
  std::uint64_t rows_read_ = 0;
  std::uint64_t parsed_rows_ = 0;
  std::uint64_t tracked_bytes_ = 0;
  std::optional<detail::DbIdSet> seen_;  // kept only while duplicates are refused
};

// How many identifiers the seen set should be ready for: no more than the rows that may be
// read, that the file can hold, or that the tracked bytes allow (each new identifier but an
// empty one adds at least a byte).
std::uint64_t expected_set_entries(int fd, const ResourceLimits& limits,
                                   std::uint64_t declared_row_count) {
  std::uint64_t entries =
      std::min({declared_row_count, limits.max_row_map_rows,
                saturating_add(limits.max_row_map_tracked_id_bytes, 1), kMaxPresizedEntries});
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_size >= 0) {
    entries = std::min(entries, static_cast<std::uint64_t>(st.st_size) / kMinRowLineBytes + 1);
  }
  return entries;
}

Result<JsonlRowsSummary> stream_rows(const std::string& path, bool allow_duplicate_db_ids,
                                     const ResourceLimits& limits, std::uint64_t declared_row_count,
                                     std::vector<ReportIssue>& errors, FileKindPolicy policy,
                                     RowParsing parsing, CancelCheck* cancel) {
  auto fd = open_for_reading(path, policy);
  if (!fd) return std::unexpected(std::move(fd.error()));
  RowMapValidator validator(allow_duplicate_db_ids, limits, declared_row_count,
                            expected_set_entries(fd->get(), limits, declared_row_count), errors,
                            parsing);
  const ReadWatch watch(fd->get());
  const auto buffer = std::make_unique_for_overwrite<char[]>(kReadBufferBytes);
  auto digest = hash_stream(
      fd->get(), {buffer.get(), kReadBufferBytes}, InterruptedRead::Retry,
      [&validator](std::string_view chunk) { return validator.feed(chunk.data(), chunk.size()); },
      cancel);
  if (!digest) return std::unexpected(std::move(digest.error()).with_path(path));
  // Without a digest the validator stopped reading early.
  if (!*digest || !validator.finish()) return validator.summary();
  JsonlRowsSummary summary = validator.summary();
  summary.sha256 = (*digest)->sha256;
  summary.read = watch.finish(fd->get(), std::move(**digest));
  return summary;
}

}  // namespace

void validate_row_id_string(std::string_view field, std::string_view value,
                            std::uint64_t line_index, std::uint64_t max_report_issues,
                            std::vector<ReportIssue>& errors) {
  // A UUID is neither empty nor holds a NUL, so the common case needs one test.
  if (is_uuid_text(value)) return;
  if (value.empty()) {
    push_report_issue_bounded(errors, max_report_issues, field_code(field, "_empty"),
                              line_label(line_index) + " has empty " + std::string(field),
                              line_index);
  } else if (value.find('\0') != std::string_view::npos) {
    push_report_issue_bounded(errors, max_report_issues, field_code(field, "_contains_nul"),
                              line_label(line_index) + " " + std::string(field) + " contains NUL",
                              line_index);
  } else {
    push_report_issue_bounded(
        errors, max_report_issues, field_code(field, "_invalid_uuid"),
        line_label(line_index) + " " + std::string(field) + " must be a UUID in v1", line_index);
  }
}

Result<JsonlRowsSummary> validate_jsonl_rows_with(
    const std::string& path, bool allow_duplicate_db_ids, const ResourceLimits& limits,
    std::uint64_t declared_row_count, std::vector<ReportIssue>& errors, FileKindPolicy policy,
    RowParsing parsing, CancelCheck* cancel) {
  // The seen set and the line buffer are bounded by the limits, but those are the caller's to
  // choose; running out of memory is reported like a failed read, not thrown at the caller.
  try {
    return stream_rows(path, allow_duplicate_db_ids, limits, declared_row_count, errors, policy,
                       parsing, cancel);
  } catch (const std::bad_alloc&) {
    return std::unexpected(ManifestError::os(ENOMEM).with_path(path));
  } catch (const std::length_error&) {
    return std::unexpected(ManifestError::os(ENOMEM).with_path(path));
  }
}

Result<JsonlRowsSummary> validate_jsonl_rows(const std::string& path, bool allow_duplicate_db_ids,
                                             const ResourceLimits& limits,
                                             std::uint64_t declared_row_count,
                                             std::vector<ReportIssue>& errors,
                                             FileKindPolicy policy, CancelCheck* cancel) {
  return validate_jsonl_rows_with(path, allow_duplicate_db_ids, limits, declared_row_count, errors,
                                  policy, RowParsing::Fast, cancel);
}

// ---- the driver's steps ----

void check_row_identity_declaration(VerifyContext& ctx) {
  const IndexManifest& m = ctx.manifest();
  const RowIdentity& declared = m.row_identity;
  if (m.artifact.vector_count != declared.row_count) {
    ctx.report.error(kArtifactRowCountMismatch,
                     "artifact.vector_count " + decimal(m.artifact.vector_count) +
                         " does not match row_identity.row_count " + decimal(declared.row_count));
  }
  if (declared.kind != RowIdentity::Kind::Jsonl) return;
  if (is_blank(declared.path)) ctx.report.error(kPathEmpty, "row_identity.path must be non-empty");
  if (!is_hex_digest(declared.sha256)) {
    ctx.report.error(kSha256Invalid,
                     "row_identity.sha256 must be a lowercase 64-character hex SHA-256 digest");
  }
  if (declared.id_kind != kSupportedIdKind) {
    ctx.report.error(kIdKindUnsupported, "row_identity.id_kind must be uuid in v1");
  }
  if (declared.db) {
    ctx.report.error(kDbUnsupported,
                     "row_identity.db is reserved for a future schema and is not verified in v1");
  }
}

void verify_row_identity_file(VerifyContext& ctx) {
  const RowIdentity& declared = ctx.manifest().row_identity;
  RowIdentityReport& section = ctx.report.row_identity;
  const ResourceLimits& limits = ctx.limits();
  section.row_count = declared.row_count;
  if (declared.kind == RowIdentity::Kind::RowIdIdentity) {
    section.kind = std::string(kKindRowIdIdentity);
    return;
  }
  section.kind = std::string(kKindJsonl);
  section.manifest_path = declared.path;
  if (declared.row_count > limits.max_row_map_rows) {
    ctx.report.error(kRowCountLimitExceeded,
                     "row_identity.row_count " + decimal(declared.row_count) + " exceeds " +
                         limit_text(kRowMapRowsName, limits.max_row_map_rows));
    return;
  }
  auto canonical =
      resolve_existing_path(declared.path, ctx.base_dir(), ctx.options.allow_absolute_paths,
                            ctx.options.allow_path_escape, kIssuePrefix, ctx.report.errors);
  if (!canonical) return;
  section.canonical_path = display_path(*canonical);
  ctx.capture.row_identity_path = *canonical;

  auto summary = validate_jsonl_rows(*canonical, ctx.options.allow_duplicate_db_ids, limits,
                                     declared.row_count, ctx.report.errors,
                                     FileKindPolicy::RegularOnly, ctx.cancel);
  if (!summary) {
    ctx.report.error(kReadFailed, "failed to read row identity file: " + summary.error().display());
    return;
  }
  section.validated_rows = summary->parsed_rows;
  if (summary->read) {
    ctx.capture.reads.push_back({ReadRole::RowIdentity, std::nullopt, *canonical, *summary->read});
  }
  if (summary->sha256) {
    section.sha256 = *summary->sha256;
    if (*summary->sha256 != declared.sha256) {
      ctx.report.error(kSha256Mismatch, "row_identity SHA-256 was " + *summary->sha256 +
                                            ", manifest declares " + declared.sha256);
    }
  }
  if (summary->rows_read != declared.row_count &&
      !has_issue_code(ctx.report.errors, kRowCountMismatch)) {
    // Without a digest the file was not read to its end: more rows may follow.
    const std::string rows =
        summary->sha256 ? decimal(summary->rows_read) : "at least " + decimal(summary->rows_read);
    ctx.report.error(kRowCountMismatch, "row identity file has " + rows +
                                            " rows, manifest declares " +
                                            decimal(declared.row_count));
  }
}

}  // namespace karnid::manifest
