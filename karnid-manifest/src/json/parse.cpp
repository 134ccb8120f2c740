// The strict reader: RFC 8259 text in, a generic value or an error with its position out.
#include "karnid/manifest/json.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>

#include "ascii_words.hpp"
#include "json_escapes.hpp"

namespace karnid::json {

namespace {

// Every parse error message lives here, beside its reason; typed readers above this layer have
// their own.
using Reason = manifest::ParseReason;
struct Syntax {
  const char* message = nullptr;
  Reason reason = Reason::None;
};

constexpr Syntax kEofValue{"EOF while parsing a value", Reason::EofValue};
constexpr Syntax kEofString{"EOF while parsing a string", Reason::EofString};
constexpr Syntax kEofList{"EOF while parsing a list", Reason::EofArray};
constexpr Syntax kEofObject{"EOF while parsing an object", Reason::EofObject};
constexpr Syntax kExpectedValue{"expected value", Reason::ExpectedValue};
constexpr Syntax kExpectedIdent{"expected ident", Reason::ExpectedIdent};
constexpr Syntax kTrailingCharacters{"trailing characters", Reason::TrailingCharacters};
constexpr Syntax kRecursionLimit{"recursion limit exceeded", Reason::DepthLimit};
constexpr Syntax kControlCharacter{
    "control character (\\u0000-\\u001F) found while parsing a string", Reason::ControlCharacter};
constexpr Syntax kInvalidEscape{"invalid escape", Reason::InvalidEscape};
constexpr Syntax kInvalidCodePoint{"invalid unicode code point", Reason::InvalidCodePoint};
constexpr Syntax kLoneSurrogate{"lone leading surrogate in hex escape", Reason::LoneSurrogate};
constexpr Syntax kEndOfHexEscape{"unexpected end of hex escape", Reason::EndOfHexEscape};
constexpr Syntax kNumberOutOfRange{"number out of range", Reason::NumberOutOfRange};
constexpr Syntax kInvalidNumber{"invalid number", Reason::InvalidNumber};
constexpr Syntax kExpectedListCommaOrEnd{"expected `,` or `]`", Reason::ExpectedCommaOrArrayEnd};
constexpr Syntax kExpectedObjectCommaOrEnd{"expected `,` or `}`", Reason::ExpectedCommaOrObjectEnd};
constexpr Syntax kExpectedColon{"expected `:`", Reason::ExpectedColon};
constexpr Syntax kKeyMustBeString{"key must be a string", Reason::KeyMustBeString};
constexpr Syntax kTrailingComma{"trailing comma", Reason::TrailingComma};

// Byte classes inside a string: most bytes are copied in bulk, the rest need a closer look.
enum ByteClass : std::uint8_t { kPlain, kQuote, kBackslash, kControl, kMultiByte };

constexpr std::array<std::uint8_t, 256> make_string_classes() {
  std::array<std::uint8_t, 256> classes{};
  for (std::size_t c = 0; c < 256; ++c) {
    if (c < 0x20) {
      classes[c] = kControl;
    } else if (c >= 0x80) {
      classes[c] = kMultiByte;
    } else {
      classes[c] = kPlain;
    }
  }
  classes['"'] = kQuote;
  classes['\\'] = kBackslash;
  return classes;
}
constexpr std::array<std::uint8_t, 256> kStringClasses = make_string_classes();

constexpr std::size_t kInitialMembers = 8;

// Strings are scanned eight bytes at a time while no byte needs a closer look.
using ascii::escape_bytes;
using ascii::is_digit;
using ascii::kHighBits;
using ascii::load8;

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The parser keeps an explicit stack of open containers instead of recursing, so the depth of
// the input never reaches the C++ stack. Values are built in place: only the innermost open
// container ever grows, so pointers to the open containers stay valid.
class Parser {
 public:
  Parser(std::string_view text, const ParseOptions& options)
      : p_(reinterpret_cast<const unsigned char*>(text.data())),
        n_(text.size()),
        text_(text),
        max_depth_(options.max_depth) {}

  std::expected<Value, ParseError> run() {
    Value root;
    if (!parse_document(root)) {
      return std::unexpected(ParseError{error_.message, position_after(text_, error_offset_),
                                        error_.reason, error_offset_, open_path()});
    }
    return root;
  }

 private:
  // Where parsing stands after one step of the document loop.
  enum class Step : std::uint8_t {
    Failed,        // the error is recorded
    NextValue,     // a value is expected at pos_ and goes into the current slot
    ValueDone,     // the current value is complete
    DocumentDone,  // the root value is complete and only whitespace followed it
  };

  // The error concerns the byte at index i: the column then counts that byte.
  bool fail_at(const Syntax& error, std::size_t i) {
    error_ = error;
    error_offset_ = std::min(i + 1, n_);
    return false;
  }
  bool fail_eof(const Syntax& error) {
    error_ = error;
    error_offset_ = n_;
    return false;
  }

  // The same, for the steps of the document loop.
  Step failed_at(const Syntax& error, std::size_t i) {
    fail_at(error, i);
    return Step::Failed;
  }
  Step failed_eof(const Syntax& error) {
    fail_eof(error);
    return Step::Failed;
  }

  // Where a failed parse stood: in each container still open, the element or the member (once
  // its key was read) that was begun last.
  std::vector<manifest::JsonPathStep> open_path() const {
    std::vector<manifest::JsonPathStep> path;
    for (const Value* container : open_) {
      if (container->type == Value::Type::Array && !container->array.empty()) {
        path.emplace_back(static_cast<std::uint64_t>(container->array.size() - 1));
      } else if (container->type == Value::Type::Object && !container->object.empty() &&
                 container->object.back().key_end != 0) {
        path.emplace_back(container->object.back().key);
      }
    }
    return path;
  }

  void skip_space() {
    while (pos_ < n_ && ascii::is_json_space(p_[pos_])) ++pos_;
  }

  bool parse_document(Value& root) {
    std::vector<Value*>& open = open_;
    open.reserve(std::min<std::size_t>(max_depth_, 32));
    Value* slot = &root;
    for (;;) {
      skip_space();
      if (pos_ >= n_) return fail_eof(kEofValue);
      const unsigned char c = p_[pos_];
      Step step = Step::Failed;
      if (c == '[' || c == '{') {
        step = open_container(c == '[', open, slot);
      } else if (parse_scalar(*slot)) {
        step = Step::ValueDone;
      }
      if (step == Step::ValueDone) step = close_values(open, slot);
      if (step == Step::Failed) return false;
      if (step == Step::DocumentDone) return true;
    }
  }

  // pos_ is at the opening bracket. Either the container's first element (or member) is next,
  // with `slot` pointing at it, or the container was empty and is closed already.
  Step open_container(bool is_array, std::vector<Value*>& open, Value*& slot) {
    if (open.size() >= max_depth_) return failed_at(kRecursionLimit, pos_);
    ++pos_;
    open.push_back(slot);
    skip_space();
    if (is_array) {
      slot->type = Value::Type::Array;
      if (pos_ >= n_) return failed_eof(kEofList);
      if (p_[pos_] != ']') {
        slot = &slot->array.emplace_back();
        return Step::NextValue;
      }
    } else {
      slot->type = Value::Type::Object;
      if (pos_ >= n_) return failed_eof(kEofObject);
      if (p_[pos_] == '"') return parse_key(*slot, slot) ? Step::NextValue : Step::Failed;
      if (p_[pos_] != '}') return failed_at(kKeyMustBeString, pos_);
    }
    ++pos_;
    slot->end = pos_;
    open.pop_back();
    return Step::ValueDone;
  }

  // A value is complete: closes containers until one wants another element (then `slot` points
  // at it) or the root is complete.
  Step close_values(std::vector<Value*>& open, Value*& slot) {
    for (;;) {
      if (open.empty()) {
        skip_space();
        if (pos_ < n_) return failed_at(kTrailingCharacters, pos_);
        return Step::DocumentDone;
      }
      Value& top = *open.back();
      const bool is_array = top.type == Value::Type::Array;
      skip_space();
      if (pos_ >= n_) return failed_eof(is_array ? kEofList : kEofObject);
      const unsigned char next = p_[pos_];
      if (next == (is_array ? ']' : '}')) {
        ++pos_;
        top.end = pos_;
        if (!is_array && top.object.size() * 2 < top.object.capacity()) {
          top.object.shrink_to_fit();
        }
        open.pop_back();
        continue;
      }
      if (next != ',') {
        return failed_at(is_array ? kExpectedListCommaOrEnd : kExpectedObjectCommaOrEnd, pos_);
      }
      ++pos_;
      skip_space();
      if (pos_ >= n_) return failed_eof(kEofValue);
      const unsigned char after = p_[pos_];
      if (is_array) {
        if (after == ']') return failed_at(kTrailingComma, pos_);
        slot = &top.array.emplace_back();
        return Step::NextValue;
      }
      if (after == '}') return failed_at(kTrailingComma, pos_);
      if (after != '"') return failed_at(kKeyMustBeString, pos_);
      return parse_key(top, slot) ? Step::NextValue : Step::Failed;
    }
  }

  // pos_ is at the key's opening quote; on success slot points at the new member's value and
  // pos_ is just past the colon.
  bool parse_key(Value& object, Value*& slot) {
    // Manifest records have a handful of members: start with room for them rather than
    // regrowing (and moving every member) at 1, 2 and 4. Sparse objects are trimmed at close.
    if (object.object.empty()) object.object.reserve(kInitialMembers);
    Member& member = object.object.emplace_back();
    if (!parse_string(member.key)) return false;
    member.key_end = pos_;
    skip_space();
    if (pos_ >= n_) return fail_eof(kEofObject);
    if (p_[pos_] != ':') return fail_at(kExpectedColon, pos_);
    ++pos_;
    slot = &member.value;
    return true;
  }

  bool parse_scalar(Value& value) {
    switch (p_[pos_]) {
      case '"':
        if (!parse_string(value.string)) return false;
        value.type = Value::Type::String;
        break;
      case 't':
        if (!parse_literal("true")) return false;
        value.type = Value::Type::Bool;
        value.boolean = true;
        break;
      case 'f':
        if (!parse_literal("false")) return false;
        value.type = Value::Type::Bool;
        value.boolean = false;
        break;
      case 'n':
        if (!parse_literal("null")) return false;
        value.type = Value::Type::Null;
        break;
      default:
        if (p_[pos_] != '-' && !is_digit(p_[pos_])) return fail_at(kExpectedValue, pos_);
        if (!parse_number(value)) return false;
        break;
    }
    value.end = pos_;
    return true;
  }

  bool parse_literal(std::string_view word) {
    for (const char expected : word) {
      if (pos_ >= n_) return fail_eof(kEofValue);
      if (p_[pos_] != static_cast<unsigned char>(expected)) return fail_at(kExpectedIdent, pos_);
      ++pos_;
    }
    return true;
  }

  bool consume_digits_after(std::size_t& i) {
    if (i >= n_) return fail_eof(kEofValue);
    if (!is_digit(p_[i])) return fail_at(kInvalidNumber, i);
    while (i < n_ && is_digit(p_[i])) ++i;
    return true;
  }

  // A number literal as the grammar found it.
  struct NumberLiteral {
    std::size_t start = 0;
    bool negative = false;
    bool integral = true;         // no fraction and no exponent
    bool overflow = false;        // the integer digits exceed 64 bits
    std::uint64_t magnitude = 0;  // the integer digits, when they fit
  };

  bool parse_number(Value& value) {
    NumberLiteral literal;
    return scan_number(literal) && number_value(literal, value);
  }

  // Checks the grammar from pos_ on and moves pos_ past the literal, adding up the integer
  // digits on the way.
  bool scan_number(NumberLiteral& literal) {
    literal.start = pos_;
    std::size_t i = pos_;
    literal.negative = p_[i] == '-';
    if (literal.negative) ++i;
    if (i >= n_) return fail_eof(kEofValue);

    if (p_[i] == '0') {
      ++i;
      if (i < n_ && is_digit(p_[i])) return fail_at(kInvalidNumber, i);
    } else if (is_digit(p_[i])) {
      constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
      for (; i < n_ && is_digit(p_[i]); ++i) {
        const unsigned digit = p_[i] - '0';
        if (literal.overflow || literal.magnitude > (kMax - digit) / 10) {
          literal.overflow = true;
        } else {
          literal.magnitude = literal.magnitude * 10 + digit;
        }
      }
    } else {
      return fail_at(kInvalidNumber, i);
    }
    if (i < n_ && p_[i] == '.') {
      literal.integral = false;
      ++i;
      if (!consume_digits_after(i)) return false;
    }
    if (i < n_ && (p_[i] == 'e' || p_[i] == 'E')) {
      literal.integral = false;
      ++i;
      if (i < n_ && (p_[i] == '+' || p_[i] == '-')) ++i;
      if (!consume_digits_after(i)) return false;
    }
    pos_ = i;
    return true;
  }

  // The most exact form of a scanned literal (pos_ is just past it): an integer that fits as an
  // integer, anything else as a double.
  bool number_value(const NumberLiteral& literal, Value& value) {
    if (literal.integral && !literal.overflow) {
      constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
      if (!literal.negative) {
        value.type = Value::Type::Unsigned;
        value.u64 = literal.magnitude;
        return true;
      }
      if (literal.magnitude != 0 && literal.magnitude <= kMinMagnitude) {
        value.type = Value::Type::Signed;
        // Negate in unsigned arithmetic: -2^63 has no positive int64 counterpart.
        value.i64 = static_cast<std::int64_t>(~literal.magnitude + 1);
        return true;
      }
    }

    const std::string_view text = text_.substr(literal.start, pos_ - literal.start);
    double result = 0.0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), result);
    if (ec == std::errc::result_out_of_range) {
      // The conversion reports underflow and overflow alike; only overflow is an error.
      if (at_least_one(text)) return fail_at(kNumberOutOfRange, pos_ - 1);
      result = literal.negative ? -0.0 : 0.0;
    } else if (ec != std::errc{} || ptr != text.data() + text.size()) {
      return fail_at(kInvalidNumber, literal.start);
    }
    value.type = Value::Type::Double;
    value.f64 = result;
    return true;
  }

  // Whether a grammatically valid, nonzero number literal has magnitude >= 1, decided from its
  // decimal exponent alone (the literal may have any number of digits).
  static bool at_least_one(std::string_view literal) {
    std::size_t i = literal.front() == '-' ? 1 : 0;
    std::int64_t exponent10 = 0;  // the value is 0.d1d2... * 10^exponent10
    if (literal[i] != '0') {
      const std::size_t digits_start = i;
      while (i < literal.size() && is_digit(literal[i])) ++i;
      exponent10 = static_cast<std::int64_t>(i - digits_start);
    } else {
      ++i;
      if (i < literal.size() && literal[i] == '.') {
        ++i;
        std::int64_t zeros = 0;
        while (i < literal.size() && literal[i] == '0') {
          ++i;
          ++zeros;
        }
        exponent10 = -zeros;
      }
    }
    while (i < literal.size() && literal[i] != 'e' && literal[i] != 'E') ++i;
    if (i < literal.size()) {
      ++i;
      bool negative_exponent = false;
      if (literal[i] == '+' || literal[i] == '-') negative_exponent = literal[i++] == '-';
      // Saturate: any exponent beyond this dwarfs the digit count of a text held in memory.
      constexpr std::int64_t kCap = std::int64_t{1} << 58;
      std::int64_t e = 0;
      for (; i < literal.size(); ++i) e = std::min(kCap, e * 10 + (literal[i] - '0'));
      exponent10 += negative_exponent ? -e : e;
    }
    return exponent10 > 0;
  }

  // Skips the bytes a string copies verbatim: printable ASCII but the quote and the backslash.
  std::size_t skip_plain(std::size_t i) const {
    while (n_ - i >= 8 && (escape_bytes(load8(p_ + i)) | (load8(p_ + i) & kHighBits)) == 0) {
      i += 8;
    }
    while (i < n_ && kStringClasses[p_[i]] == kPlain) ++i;
    return i;
  }

  // pos_ is at the opening quote; on success pos_ is just past the closing quote.
  bool parse_string(std::string& out) {
    std::size_t i = pos_ + 1;
    std::size_t run = i;  // start of bytes not yet copied to out
    for (;;) {
      i = skip_plain(i);
      if (i >= n_) return fail_eof(kEofString);
      switch (kStringClasses[p_[i]]) {
        case kQuote:
          out.append(text_.data() + run, i - run);
          pos_ = i + 1;
          return true;
        case kControl:
          return fail_at(kControlCharacter, i);
        case kMultiByte: {
          const std::size_t length = utf8_sequence_length(i);
          if (length == 0) return false;
          i += length;
          break;
        }
        default:  // backslash
          out.append(text_.data() + run, i - run);
          if (!parse_escape(i, out)) return false;
          run = i;
          break;
      }
    }
  }

  // Length of the well-formed UTF-8 sequence that starts at i, or 0 after recording the error.
  // Overlong forms, UTF-16 surrogates and values above U+10FFFF are not well-formed.
  std::size_t utf8_sequence_length(std::size_t i) {
    const unsigned char lead = p_[i];
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      fail_at(kInvalidCodePoint, i);
      return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
      if (i + k >= n_) {
        fail_eof(kEofString);
        return 0;
      }
      const unsigned char c = p_[i + k];
      if (c < low || c > high) {
        fail_at(kInvalidCodePoint, i);
        return 0;
      }
      low = 0x80;
      high = 0xBF;
    }
    return length;
  }

  // Four hex digits at i.
  bool parse_hex4(std::size_t i, std::uint32_t& unit) {
    unit = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      if (i + k >= n_) return fail_eof(kEofString);
      const int digit = hex_value(p_[i + k]);
      if (digit < 0) return fail_at(kInvalidEscape, i + k);
      unit = unit * 16 + static_cast<std::uint32_t>(digit);
    }
    return true;
  }

  // i is at the backslash; on success i is just past the escape.
  bool parse_escape(std::size_t& i, std::string& out) {
    if (i + 1 >= n_) return fail_eof(kEofString);
    const char letter = static_cast<char>(p_[i + 1]);
    if (letter == 'u') return parse_unicode_escape(i, out);
    const std::size_t which = kEscapeLetters.find(letter);
    if (which == std::string_view::npos) return fail_at(kInvalidEscape, i + 1);
    out += kEscapedBytes[which];
    i += 2;
    return true;
  }

  bool parse_unicode_escape(std::size_t& i, std::string& out) {
    std::uint32_t unit = 0;
    if (!parse_hex4(i + 2, unit)) return false;
    i += 6;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return fail_at(kLoneSurrogate, i - 1);
    if (unit < 0xD800 || unit > 0xDBFF) {
      append_utf8(out, unit);
      return true;
    }
    // A leading surrogate must be followed at once by the escape of a trailing one.
    if (i >= n_) return fail_eof(kEofString);
    if (p_[i] != '\\') return fail_at(kEndOfHexEscape, i);
    if (i + 1 >= n_) return fail_eof(kEofString);
    if (p_[i + 1] != 'u') return fail_at(kEndOfHexEscape, i + 1);
    std::uint32_t trailing = 0;
    if (!parse_hex4(i + 2, trailing)) return false;
    i += 6;
    if (trailing < 0xDC00 || trailing > 0xDFFF) return fail_at(kLoneSurrogate, i - 1);
    append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (trailing - 0xDC00));
    return true;
  }

  const unsigned char* p_;
  std::size_t n_;
  std::string_view text_;
  std::size_t max_depth_;
  std::size_t pos_ = 0;
  std::vector<Value*> open_;  // the containers not yet closed, innermost last
  Syntax error_;
  std::size_t error_offset_ = 0;
};

}  // namespace

Position position_after(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  const std::string_view before = text.substr(0, offset);
  Position position;
  position.line = 1 + static_cast<std::uint64_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t last_newline = before.rfind('\n');
  position.column = last_newline == std::string_view::npos ? offset : offset - last_newline - 1;
  return position;
}

std::expected<Value, ParseError> parse(std::string_view text, const ParseOptions& options) {
  return Parser(text, options).run();
}

}  // namespace karnid::json
