// Strict JSON: a reader that keeps byte offsets for error positions, a generic value, and the
// compact and pretty writers.
//
// The reader accepts exactly RFC 8259 JSON text in UTF-8: no comments, no trailing commas, no
// NaN/Infinity, no invalid UTF-8 and no lone surrogate escapes. Object members are kept in
// document order, duplicates included; typed readers above this layer decide what a duplicate
// means. Errors carry a 1-based line and a column that counts the bytes consumed on that line
// (0 at the start of a line), so an empty document fails at line 1 column 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "karnid/manifest/error.hpp"

namespace karnid::json {

// Arrays and objects may nest this deep; one more level fails with "recursion limit exceeded".
// The depth also bounds the recursion of destroying, writing and comparing a parsed value, so a
// caller that raises it should stay within a few thousand.
inline constexpr std::size_t kDefaultMaxDepth = 128;

struct Position {
  std::uint64_t line = 1;
  std::uint64_t column = 0;
};

// Position after consuming text[0, offset): line is 1 + the number of line feeds before offset,
// column is the number of bytes between the last line feed and offset.
[[nodiscard]] Position position_after(std::string_view text, std::size_t offset);

struct ParseError {
  std::string message;
  Position position;
  manifest::ParseReason reason = manifest::ParseReason::None;
  std::uint64_t offset = 0;  // the bytes before `position`
  // In each container still open at the error, the element or member begun last.
  std::vector<manifest::JsonPathStep> path;
};

struct Member;

// A parsed JSON value. Numbers keep the most exact form available: an integer literal that fits
// an unsigned 64-bit integer is Unsigned, a negative one that fits a signed 64-bit integer is
// Signed, anything else is Double. "-0" is the Double -0.0 so that its sign survives a rewrite.
// `end` is the byte offset just past the value's last byte in the parsed text (for error
// positions); it is 0 in values built by hand.
struct Value {
  enum class Type : std::uint8_t { Null, Bool, Unsigned, Signed, Double, String, Array, Object };

  Type type = Type::Null;
  bool boolean = false;
  std::uint64_t u64 = 0;
  std::int64_t i64 = 0;
  double f64 = 0.0;
  std::string string;
  std::vector<Value> array;
  std::vector<Member> object;
  std::size_t end = 0;

  [[nodiscard]] bool is_null() const noexcept { return type == Type::Null; }
  [[nodiscard]] bool is_string() const noexcept { return type == Type::String; }
  [[nodiscard]] bool is_object() const noexcept { return type == Type::Object; }
  [[nodiscard]] bool is_array() const noexcept { return type == Type::Array; }
  [[nodiscard]] bool is_number() const noexcept {
    return type == Type::Unsigned || type == Type::Signed || type == Type::Double;
  }
  // The first member with this key, or nullptr. Only meaningful on objects.
  [[nodiscard]] const Value* find(std::string_view key) const noexcept;
  // RFC 6901 JSON pointer lookup ("" is the value itself; "~0" and "~1" stand for "~" and "/";
  // array indices are decimal without leading zeros); nullptr when nothing is found, when a
  // "~" escape is malformed and for the past-the-end index "-".
  [[nodiscard]] const Value* pointer(std::string_view json_pointer) const noexcept;
  // Number as a double (for Unsigned/Signed/Double); 0 otherwise.
  [[nodiscard]] double as_double() const noexcept;

  // Deep equality, ignoring offsets. Numbers are equal when they have the same type and value
  // (so 1 and 1.0 differ). Objects are equal when their members, ordered by key bytes with equal
  // keys kept in document order, are equal: the order in which append_value writes them.
  friend bool operator==(const Value& a, const Value& b) noexcept;
};

struct Member {
  std::string key;
  std::size_t key_end = 0;  // offset just past the key's closing quote
  Value value;
};

struct ParseOptions {
  std::size_t max_depth = kDefaultMaxDepth;  // nesting deeper than this fails
};

// Parses exactly one JSON value; only space, tab, line feed and carriage return may surround it.
// Error positions point at the offending byte (its column counts it), or at the end of the
// text when the text ends early.
// Messages: "EOF while parsing a value", "expected value", "trailing characters",
// "recursion limit exceeded", "control character (\\u0000-\\u001F) found while parsing a string",
// "invalid escape", "invalid unicode code point", "lone leading surrogate in hex escape",
// "number out of range", "expected `,` or `]`", "expected `,` or `}`", "expected `:`",
// "key must be a string", "EOF while parsing a string", "EOF while parsing a list",
// "EOF while parsing an object", "invalid number", "expected ident", "trailing comma",
// "unexpected end of hex escape".
[[nodiscard]] std::expected<Value, ParseError> parse(std::string_view text,
                                                     const ParseOptions& options = {});

// Writers append to a string. Strings escape only the quotation mark, the backslash and control
// characters (\b \f \n \r \t, other controls as \u00XX); all other characters are written as
// UTF-8. Doubles use the shortest form that reads back to the same value and always carry a "."
// or an exponent so that they read back as floating point; non-finite doubles are written as
// null. Strings must already be UTF-8; their bytes are copied as they are.
void append_string(std::string& out, std::string_view text);
void append_u64(std::string& out, std::uint64_t value);
void append_i64(std::string& out, std::int64_t value);
void append_f64(std::string& out, double value);

// Generic values: object members in ascending byte order of their keys.
void append_value(std::string& out, const Value& value);

// Structured writer with the two layouts: compact (no whitespace at all) and pretty (two-space
// indent, "key": value, each member and element on its own line, closing brackets on their own
// line at the parent's indent, empty containers as {} / [], no final newline). Calls must form
// one well-nested value; inside an object every value is preceded by key().
class Writer {
 public:
  enum class Style : std::uint8_t { Compact, Pretty };
  explicit Writer(std::string& out, Style style = Style::Compact) : out_(out), style_(style) {}

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  // Writes the key of the next member of the current object.
  void key(std::string_view name);
  void string(std::string_view text);
  void u64(std::uint64_t value);
  void i64(std::int64_t value);
  void f64(double value);
  void boolean(bool value);
  void null();
  // A generic value (objects sorted by key), honouring the style.
  void value(const Value& generic);

 private:
  void before_value();
  void newline_indent();

  struct Frame {
    bool is_object;
    bool empty;
  };
  std::string& out_;
  Style style_;
  std::vector<Frame> stack_;
  bool after_key_ = false;
};

// Plain decimal text of a double with the fewest significant digits that read back to the same
// value and never an exponent: 2.0 -> "2", 1e-7 -> "0.0000001", 1e300 -> "1" and 300 zeros,
// -0.0 -> "-0". NaN and infinities are written "NaN", "inf" and "-inf".
[[nodiscard]] std::string plain_decimal(double value);

}  // namespace karnid::json
