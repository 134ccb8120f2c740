// The writers: strings, integers and shortest round-trip doubles, generic values, the structured
// writer in its compact and pretty layouts, and plain decimal text of a double.
#include <charconv>
#include <cmath>
#include <string>

#include "ascii_words.hpp"
#include "json_escapes.hpp"
#include "json_member_order.hpp"
#include "karnid/manifest/json.hpp"

namespace karnid::json {

namespace {

// Strings are scanned eight bytes at a time while no byte needs an escape.
using ascii::escape_bytes;
using ascii::load8;

}  // namespace

void append_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  out.reserve(out.size() + n + 2);
  out += '"';
  std::size_t run = 0;  // start of bytes not yet copied
  std::size_t i = 0;
  for (;;) {
    while (n - i >= 8 && escape_bytes(load8(p + i)) == 0) i += 8;
    while (i < n && p[i] >= 0x20 && p[i] != '"' && p[i] != '\\') ++i;
    if (i >= n) break;
    out.append(text.data() + run, i - run);
    out += '\\';
    const std::size_t which = kEscapedBytes.find(static_cast<char>(p[i]));
    if (which != std::string_view::npos) {
      out += kEscapeLetters[which];
    } else {
      out += "u00";
      out += kHex[p[i] >> 4];
      out += kHex[p[i] & 0xF];
    }
    run = ++i;
  }
  out.append(text.data() + run, n - run);
  out += '"';
}

void append_u64(std::string& out, std::uint64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void append_i64(std::string& out, std::int64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void append_f64(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  out += text;
  // "2" would read back as an integer.
  if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
}

void append_value(std::string& out, const Value& value) {
  Writer writer(out);
  writer.value(value);
}

void Writer::newline_indent() {
  out_ += '\n';
  out_.append(2 * stack_.size(), ' ');
}

void Writer::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (stack_.empty()) return;
  Frame& frame = stack_.back();
  if (!frame.empty) out_ += ',';
  frame.empty = false;
  if (style_ == Style::Pretty) newline_indent();
}

void Writer::begin_object() {
  before_value();
  out_ += '{';
  stack_.push_back(Frame{true, true});
}

void Writer::end_object() {
  const bool empty = stack_.empty() || stack_.back().empty;
  if (!stack_.empty()) stack_.pop_back();
  if (!empty && style_ == Style::Pretty) newline_indent();
  out_ += '}';
}

void Writer::begin_array() {
  before_value();
  out_ += '[';
  stack_.push_back(Frame{false, true});
}

void Writer::end_array() {
  const bool empty = stack_.empty() || stack_.back().empty;
  if (!stack_.empty()) stack_.pop_back();
  if (!empty && style_ == Style::Pretty) newline_indent();
  out_ += ']';
}

void Writer::key(std::string_view name) {
  after_key_ = false;
  before_value();
  append_string(out_, name);
  out_ += style_ == Style::Pretty ? ": " : ":";
  after_key_ = true;
}

void Writer::string(std::string_view text) {
  before_value();
  append_string(out_, text);
}

void Writer::u64(std::uint64_t value) {
  before_value();
  append_u64(out_, value);
}

void Writer::i64(std::int64_t value) {
  before_value();
  append_i64(out_, value);
}

void Writer::f64(double value) {
  before_value();
  append_f64(out_, value);
}

void Writer::boolean(bool value) {
  before_value();
  out_ += value ? "true" : "false";
}

void Writer::null() {
  before_value();
  out_ += "null";
}

void Writer::value(const Value& generic) {
  switch (generic.type) {
    case Value::Type::Null:
      null();
      break;
    case Value::Type::Bool:
      boolean(generic.boolean);
      break;
    case Value::Type::Unsigned:
      u64(generic.u64);
      break;
    case Value::Type::Signed:
      i64(generic.i64);
      break;
    case Value::Type::Double:
      f64(generic.f64);
      break;
    case Value::Type::String:
      string(generic.string);
      break;
    case Value::Type::Array:
      begin_array();
      for (const Value& element : generic.array) value(element);
      end_array();
      break;
    case Value::Type::Object:
      begin_object();
      for (const Member* member : sorted_members(generic.object)) {
        key(member->key);
        value(member->value);
      }
      end_object();
      break;
  }
}

std::string plain_decimal(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // Shortest scientific form, "-d.ddde-XX": its digits are exactly the digits we need, and the
  // exponent says where the decimal point goes.
  char buffer[40];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e = text.find('e');
  const bool negative = text.front() == '-';
  std::string digits;
  for (const char c : text.substr(negative ? 1 : 0, e - (negative ? 1 : 0))) {
    if (c != '.') digits += c;
  }
  // The exponent has a sign and two or three digits.
  int exponent = 0;
  for (const char c : text.substr(e + 2)) exponent = exponent * 10 + (c - '0');
  if (text[e + 1] == '-') exponent = -exponent;

  std::string out;
  if (negative) out += '-';
  const auto count = static_cast<int>(digits.size());
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  } else if (exponent >= count - 1) {
    out += digits;
    out.append(static_cast<std::size_t>(exponent - (count - 1)), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
    out += '.';
    out.append(digits, static_cast<std::size_t>(exponent + 1));
  }
  return out;
}

}  // namespace karnid::json
