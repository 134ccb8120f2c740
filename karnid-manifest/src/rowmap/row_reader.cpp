// Reading one line of a row identity file.
//
// Two readers: the fast path for the shapes nearly every row map has (row_fast_path.hpp), which
// never allocates, and the strict reader on top of the JSON parser, which knows every error
// message. The fast path only ever answers for lines the strict reader would accept with the same
// values, so a row map gives the same issues whichever reader looked at a line.
#include <array>

#include "json_messages.hpp"
#include "karnid/manifest/error.hpp"
#include "karnid/manifest/json.hpp"
#include "karnid/manifest/row_map.hpp"
#include "karnid/manifest/text.hpp"
#include "row_fast_path.hpp"

namespace karnid::manifest {
namespace {

using json::Value;

// ---- strict reader ----

constexpr std::string_view kRecordExpectation = "struct JsonlRow";
constexpr std::string_view kLengthExpectation = "struct JsonlRow with 2 or 3 elements";
constexpr std::array<std::string_view, 3> kFields{"row_id", "db_id", "parent_id"};
constexpr std::size_t kRowId = 0;
constexpr std::size_t kDbId = 1;

struct FieldError {
  std::size_t offset;  // the error's position is just past this many bytes of the line
  json_messages::Complaint complaint;
};

std::optional<FieldError> read_field(std::size_t field, const Value& v, JsonlRow& row) {
  switch (field) {
    case kRowId:
      if (v.type == Value::Type::Unsigned) {
        row.row_id = v.u64;
        return std::nullopt;
      }
      if (v.type == Value::Type::Signed) {
        return FieldError{v.end, json_messages::invalid_value(v, "u64")};
      }
      return FieldError{v.end, json_messages::invalid_type(v, "u64")};
    case kDbId:
      if (!v.is_string()) return FieldError{v.end, json_messages::invalid_type(v, "a string")};
      row.db_id = v.string;
      return std::nullopt;
    default:
      if (v.is_null()) {
        row.parent_id.reset();
        return std::nullopt;
      }
      if (!v.is_string()) return FieldError{v.end, json_messages::invalid_type(v, "a string")};
      row.parent_id = v.string;
      return std::nullopt;
  }
}

// Members in document order: the first unknown, repeated or mistyped member decides; missing
// keys are reported after the whole object, in declaration order.
std::optional<FieldError> read_object(const Value& v, JsonlRow& row) {
  std::array<bool, 3> seen{};
  for (const json::Member& m : v.object) {
    std::size_t field = kFields.size();
    for (std::size_t i = 0; i < kFields.size(); ++i) {
      if (kFields[i] == m.key) field = i;
    }
    if (field == kFields.size()) {
      return FieldError{m.key_end, json_messages::unknown_field(m.key, kFields)};
    }
    if (seen[field]) return FieldError{m.key_end, json_messages::duplicate_field(m.key)};
    seen[field] = true;
    if (auto failure = read_field(field, m.value, row)) return failure;
  }
  for (const std::size_t required : {kRowId, kDbId}) {
    if (!seen[required]) {
      return FieldError{v.end, json_messages::missing_field(kFields[required])};
    }
  }
  return std::nullopt;
}

// Elements by position; they are read in order, so a mistyped first element is reported before
// a missing second one.
std::optional<FieldError> read_array(const Value& v, JsonlRow& row) {
  const std::size_t count = v.array.size();
  for (std::size_t i = 0; i < count && i < kFields.size(); ++i) {
    if (auto failure = read_field(i, v.array[i], row)) return failure;
  }
  if (count < 2 || count > kFields.size()) {
    return FieldError{v.end, json_messages::invalid_length(count, kLengthExpectation)};
  }
  return std::nullopt;
}

std::string positioned(std::string_view line, const FieldError& failure) {
  const json::Position pos = json::position_after(line, failure.offset);
  return ManifestError::json(failure.complaint.message, pos.line, pos.column).display();
}

}  // namespace

std::expected<JsonlRow, std::string> parse_jsonl_row(std::string_view line) {
  auto parsed = json::parse(line);
  if (!parsed) {
    const json::ParseError& e = parsed.error();
    return std::unexpected(
        ManifestError::json(e.message, e.position.line, e.position.column).display());
  }
  const Value& v = *parsed;
  JsonlRow row;
  std::optional<FieldError> failure;
  if (v.is_object()) {
    failure = read_object(v, row);
  } else if (v.is_array()) {
    failure = read_array(v, row);
  } else {
    failure = FieldError{v.end, json_messages::invalid_type(v, kRecordExpectation)};
  }
  if (failure) return std::unexpected(positioned(line, *failure));
  return row;
}

std::optional<JsonlRowView> parse_jsonl_row_fast(std::string_view line) noexcept {
  JsonlRowView row;
  if (!detail::PlainRowReader(line).read(row)) return std::nullopt;
  return row;
}

}  // namespace karnid::manifest
