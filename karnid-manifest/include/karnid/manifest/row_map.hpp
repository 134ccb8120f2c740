// One line of a row map (a row identity file): the strict reader, which knows every error
// message, and the fast path, which reads the common well-formed line without allocating. Row map
// validation and its issues belong to verification (row_identity.hpp); this layer only reads.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace karnid::manifest {

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

}  // namespace karnid::manifest
