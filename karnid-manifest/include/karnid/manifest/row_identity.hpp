// Row identity files: JSON Lines of {"row_id", "db_id", "parent_id"}, one line per index row.
#pragma once

#include <cstdint>
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

// Streams a row identity file once through an 8192-byte buffer and one running SHA-256,
// appending per-line issues to `errors` through the bounded push (max_report_issues). Uses
// max_row_map_line_bytes, max_row_map_rows, max_row_map_tracked_id_bytes and
// max_report_issues of `limits`. Returns an Io error only when the file cannot be opened or read.
[[nodiscard]] Result<JsonlRowsSummary> validate_jsonl_rows(
    const std::string& path, bool allow_duplicate_db_ids, const ResourceLimits& limits,
    std::uint64_t declared_row_count, std::vector<ReportIssue>& errors,
    FileKindPolicy policy = FileKindPolicy::RegularOnly);

// Checks one identifier field ("db_id" or "parent_id") of line `line_index`: empty, NUL byte,
// or not a UUID in one of the four accepted forms. Adds at most one issue.
void validate_row_id_string(std::string_view field, std::string_view value,
                            std::uint64_t line_index, std::uint64_t max_report_issues,
                            std::vector<ReportIssue>& errors);

// True for 32 hex digits, the 8-4-4-4-12 hyphenated form, that form in braces, or that form
// after "urn:uuid:". Hex digits may be either case; version and variant bits are not checked.
[[nodiscard]] bool is_uuid_text(std::string_view text) noexcept;

}  // namespace karnid::manifest
