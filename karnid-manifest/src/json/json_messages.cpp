#include "json_messages.hpp"

#include "karnid/manifest/text.hpp"

namespace karnid::manifest::json_messages {

using json::Value;

std::string expected_list(std::span<const std::string_view> names) {
  std::string out;
  if (names.size() >= 3) out += "one of ";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " or " : ", ";
    out += '`';
    out += names[i];
    out += '`';
  }
  return out;
}

namespace {

Complaint complaint(std::string message, ParseReason reason) {
  Complaint out{std::move(message), {}};
  out.facts.reason = reason;
  return out;
}

std::vector<std::string> names_of(std::span<const std::string_view> names) {
  return {names.begin(), names.end()};
}

// The JSON type of a value and, for a scalar other than null, the value itself.
void set_found(ParseFacts& facts, const Value& v) {
  switch (v.type) {
    case Value::Type::Null:
      facts.found = "null";
      break;
    case Value::Type::Bool:
      facts.found = "boolean";
      facts.value = v.boolean;
      break;
    case Value::Type::Unsigned:
      facts.found = "integer";
      facts.value = v.u64;
      break;
    case Value::Type::Signed:
      facts.found = "integer";
      facts.value = v.i64;
      break;
    case Value::Type::Double:
      facts.found = "float";
      facts.value = v.f64;
      break;
    case Value::Type::String:
      facts.found = "string";
      facts.value = v.string;
      break;
    case Value::Type::Array:
      facts.found = "array";
      break;
    case Value::Type::Object:
      facts.found = "object";
      break;
  }
}

// "invalid type: ..." and "invalid value: ...": the same pieces, another reason.
Complaint mismatch(std::string_view head, ParseReason reason, const Value& v,
                   std::string_view expected) {
  Complaint out =
      complaint(std::string(head) + describe(v) + ", expected " + std::string(expected), reason);
  set_found(out.facts, v);
  out.facts.expected = std::string(expected);
  return out;
}

}  // namespace

Complaint missing_field(std::string_view key) {
  Complaint out = complaint("missing field `" + std::string(key) + "`", ParseReason::MissingKey);
  out.facts.key = std::string(key);
  return out;
}
Complaint duplicate_field(std::string_view key) {
  Complaint out =
      complaint("duplicate field `" + std::string(key) + "`", ParseReason::DuplicateKey);
  out.facts.key = std::string(key);
  return out;
}
Complaint unknown_field(std::string_view key, std::span<const std::string_view> expected) {
  Complaint out = complaint(
      expected.empty()
          ? "unknown field `" + std::string(key) + "`, there are no fields"
          : "unknown field `" + std::string(key) + "`, expected " + expected_list(expected),
      ParseReason::UnknownKey);
  out.facts.key = std::string(key);
  out.facts.allowed = names_of(expected);
  return out;
}
Complaint unknown_variant(std::string_view value, std::span<const std::string_view> names) {
  Complaint out =
      complaint("unknown variant `" + std::string(value) + "`, expected " + expected_list(names),
                ParseReason::UnknownVariant);
  out.facts.value = std::string(value);
  out.facts.allowed = names_of(names);
  return out;
}

std::string describe(const Value& v) {
  switch (v.type) {
    case Value::Type::Null:
      return "null";
    case Value::Type::Bool:
      return v.boolean ? "boolean `true`" : "boolean `false`";
    case Value::Type::Unsigned:
      return "integer `" + std::to_string(v.u64) + "`";
    case Value::Type::Signed:
      return "integer `" + std::to_string(v.i64) + "`";
    case Value::Type::Double: {
      std::string text = json::plain_decimal(v.f64);
      if (text.find('.') == std::string::npos) text += ".0";
      return "floating point `" + text + "`";
    }
    case Value::Type::String:
      return "string " + quote_debug(v.string);
    case Value::Type::Array:
      return "sequence";
    case Value::Type::Object:
      return "map";
  }
  return "value";
}

Complaint invalid_type(const Value& v, std::string_view expected) {
  return mismatch("invalid type: ", ParseReason::InvalidType, v, expected);
}
Complaint invalid_value(const Value& v, std::string_view expected) {
  return mismatch("invalid value: ", ParseReason::InvalidValue, v, expected);
}

Complaint invalid_length(std::size_t length, std::string_view expected) {
  Complaint out =
      complaint("invalid length " + std::to_string(length) + ", expected " + std::string(expected),
                ParseReason::InvalidLength);
  out.facts.length = length;
  out.facts.expected = std::string(expected);
  return out;
}

}  // namespace karnid::manifest::json_messages
