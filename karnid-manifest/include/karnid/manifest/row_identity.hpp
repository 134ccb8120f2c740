// Row identity files (row maps), JSON Lines of {"row_id", "db_id", "parent_id"} with one line per
// index row, as verification and creation check them: the streaming validator and its per-line
// issues. Reading a single line is row_map.hpp's.
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
  std::optional<FileRead> read;       // the record of the read, when it reached the end
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
// the fast path so that the two can be compared against each other.
enum class RowParsing : std::uint8_t { Fast, StrictOnly };

// validate_jsonl_rows with an explicit choice of line reader.
[[nodiscard]] Result<JsonlRowsSummary> validate_jsonl_rows_with(
    const std::string& path, bool allow_duplicate_db_ids, const ResourceLimits& limits,
    std::uint64_t declared_row_count, std::vector<ReportIssue>& errors, FileKindPolicy policy,
    RowParsing parsing, CancelCheck* cancel = nullptr);

// Checks one identifier field ("db_id" or "parent_id") of line `line_index`: empty, NUL byte,
// or not a UUID in one of the four accepted forms. Adds at most one issue.
void validate_row_id_string(std::string_view field, std::string_view value,
                            std::uint64_t line_index, std::uint64_t max_report_issues,
                            std::vector<ReportIssue>& errors);

}  // namespace karnid::manifest
