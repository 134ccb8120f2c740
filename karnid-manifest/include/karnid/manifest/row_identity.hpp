// Row identity files: JSON Lines of {"row_id", "db_id", "parent_id"}, one line per index row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "karnid/manifest/error.hpp"
#include "karnid/manifest/io.hpp"
#include "karnid/manifest/limits.hpp"
#include "karnid/manifest/report.hpp"

namespace karnid::manifest {

struct JsonlRowsSummary {
  std::optional<std::string> sha256;  // present only when the file was read to its end
  std::uint64_t rows_read = 0;        // lines consumed, including the one reading stopped at
  std::uint64_t parsed_rows = 0;      // lines that parsed as a row, whatever later checks found
};

// The codes of the row identity file's three limits (creation refuses with them as they stand).
inline constexpr std::string_view kRowIdentityLineTooLargeCode = "row_identity_line_too_large";
inline constexpr std::string_view kRowIdentityRowCountLimitCode =
    "row_identity_row_count_limit_exceeded";
inline constexpr std::string_view kRowIdentityTrackingLimitCode =
    "row_identity_duplicate_tracking_limit_exceeded";

// The size of the blocks in which validate_jsonl_rows reads a row identity file. Results do not
// depend on it; tests use it to place lines across block boundaries.
inline constexpr std::size_t kRowMapReadBytes = 65536;

// Streams a row identity file once, block by block, through one running SHA-256,
// appending per-line issues to `errors` through the bounded push (max_report_issues). Uses
// max_row_map_line_bytes, max_row_map_rows, max_row_map_tracked_id_bytes and
// max_report_issues of `limits`. Returns an Io error only when the file cannot be opened or read,
// and ManifestError::cancelled() when `cancel` stops the stream.
[[nodiscard]] Result<JsonlRowsSummary> validate_jsonl_rows(
    const std::string& path, bool allow_duplicate_db_ids, const ResourceLimits& limits,
    std::uint64_t declared_row_count, std::vector<ReportIssue>& errors,
    FileKindPolicy policy = FileKindPolicy::RegularOnly, CancelCheck* cancel = nullptr);

// Which line reader validate_jsonl_rows_with uses. Both give the same results; StrictOnly skips
// the quick recogniser so that the two can be compared against each other.
enum class RowParsing : std::uint8_t { Fast, StrictOnly };

// validate_jsonl_rows with an explicit choice of line reader.
[[nodiscard]] Result<JsonlRowsSummary> validate_jsonl_rows_with(
    const std::string& path, bool allow_duplicate_db_ids, const ResourceLimits& limits,
    std::uint64_t declared_row_count, std::vector<ReportIssue>& errors, FileKindPolicy policy,
    RowParsing parsing, CancelCheck* cancel = nullptr);

// One row of a row identity file.
struct JsonlRow {
  std::uint64_t row_id = 0;
  std::string db_id;
  std::optional<std::string> parent_id;  // absent or null in the line
  friend bool operator==(const JsonlRow&, const JsonlRow&) = default;
};

// Strict reading of one line whose line ending was already removed: exactly one JSON value,
// either an object with the keys row_id, db_id and optionally parent_id, or the array
// [row_id, db_id] / [row_id, db_id, parent_id]. The error is the parser's message with its
// position, "{message} at line 1 column {column}".
[[nodiscard]] std::expected<JsonlRow, std::string> parse_jsonl_row(std::string_view line);

// A row whose strings point into the line it was read from.
struct JsonlRowView {
  std::uint64_t row_id = 0;
  std::string_view db_id;
  std::optional<std::string_view> parent_id;
};

// Recognises the common well-formed line (an object of plain ASCII strings without escapes, a
// decimal row_id and standard whitespace, keys in any order) without allocating. Returns nothing
// whenever it is not certain; parse_jsonl_row then decides. Whatever it returns, parse_jsonl_row
// returns the same row for the same line.
[[nodiscard]] std::optional<JsonlRowView> parse_jsonl_row_fast(std::string_view line) noexcept;

// Checks one identifier field ("db_id" or "parent_id") of line `line_index`: empty, NUL byte,
// or not a UUID in one of the four accepted forms. Adds at most one issue.
void validate_row_id_string(std::string_view field, std::string_view value,
                            std::uint64_t line_index, std::uint64_t max_report_issues,
                            std::vector<ReportIssue>& errors);

// True for 32 hex digits, the 8-4-4-4-12 hyphenated form, that form in braces, or that form
// after "urn:uuid:". Hex digits may be either case; version and variant bits are not checked.
[[nodiscard]] bool is_uuid_text(std::string_view text) noexcept;

}  // namespace karnid::manifest
