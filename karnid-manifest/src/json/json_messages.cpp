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

std::string missing_field(std::string_view key) {
  return "missing field `" + std::string(key) + "`";
}
std::string duplicate_field(std::string_view key) {
  return "duplicate field `" + std::string(key) + "`";
}
std::string unknown_field(std::string_view key, std::span<const std::string_view> expected) {
  if (expected.empty()) return "unknown field `" + std::string(key) + "`, there are no fields";
  return "unknown field `" + std::string(key) + "`, expected " + expected_list(expected);
}
std::string unknown_variant(std::string_view value, std::span<const std::string_view> names) {
  return "unknown variant `" + std::string(value) + "`, expected " + expected_list(names);
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

std::string invalid_type(const Value& v, std::string_view expected) {
  return "invalid type: " + describe(v) + ", expected " + std::string(expected);
}
std::string invalid_value(const Value& v, std::string_view expected) {
  return "invalid value: " + describe(v) + ", expected " + std::string(expected);
}

std::string invalid_length(std::size_t length, std::string_view expected) {
  return "invalid length " + std::to_string(length) + ", expected " + std::string(expected);
}

}  // namespace karnid::manifest::json_messages
