#include "karnid/manifest/json.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace karnid::json {
namespace {

using Type = Value::Type;

Value parse_ok(std::string_view text) {
  auto parsed = parse(text);
  EXPECT_TRUE(parsed.has_value()) << "input: " << text.substr(0, 80)
                                  << "\nerror: " << (parsed ? "" : parsed.error().message);
  return parsed ? *std::move(parsed) : Value{};
}

// Joins pieces without operator+ on string literals, which trips a false -Wrestrict in GCC 12
// at -O3.
std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (const std::string_view part : parts) out += part;
  return out;
}

std::string compact(const Value& value) {
  std::string out;
  append_value(out, value);
  return out;
}

struct ErrorCase {
  std::string_view text;
  std::string_view message;
  std::uint64_t line;
  std::uint64_t column;
};

void expect_error(const ErrorCase& c, const ParseOptions& options = {}) {
  const std::string_view shown = c.text.substr(0, 80);  // some inputs are megabytes long
  auto parsed = parse(c.text, options);
  ASSERT_FALSE(parsed.has_value()) << "input: " << shown;
  EXPECT_EQ(parsed.error().message, c.message) << "input: " << shown;
  EXPECT_EQ(parsed.error().position.line, c.line) << "input: " << shown;
  EXPECT_EQ(parsed.error().position.column, c.column) << "input: " << shown;
}

TEST(JsonParse, ErrorsCarryMessageAndPosition) {
  using namespace std::string_view_literals;
  const ErrorCase cases[] = {
      {"", "EOF while parsing a value", 1, 0},
      {"  \n  ", "EOF while parsing a value", 2, 2},
      {"x", "expected value", 1, 1},
      {".5", "expected value", 1, 1},
      {"+1", "expected value", 1, 1},
      {"NaN", "expected value", 1, 1},
      {"\xEF\xBB\xBF{}", "expected value", 1, 1},
      {"\xC3\xA9", "expected value", 1, 1},
      {"[1,]", "trailing comma", 1, 4},
      {"{\"a\":1,}", "trailing comma", 1, 8},
      {"[1 2]", "expected `,` or `]`", 1, 4},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}`", 1, 8},
      {"{\"a\" 1}", "expected `:`", 1, 6},
      {"{1:2}", "key must be a string", 1, 2},
      {"{\"a\":1,2}", "key must be a string", 1, 8},
      {"[", "EOF while parsing a list", 1, 1},
      {"[[]", "EOF while parsing a list", 1, 3},
      {"[1,", "EOF while parsing a value", 1, 3},
      {"{", "EOF while parsing an object", 1, 1},
      {"{\"a\"", "EOF while parsing an object", 1, 4},
      {"{\"a\":", "EOF while parsing a value", 1, 5},
      {"{\"a\":1", "EOF while parsing an object", 1, 6},
      {"\"abc", "EOF while parsing a string", 1, 4},
      {"tru", "EOF while parsing a value", 1, 3},
      {"trux", "expected ident", 1, 4},
      {"nul1", "expected ident", 1, 4},
      {"{\n  \"a\": tru,\n}", "expected ident", 2, 11},
      {"1 2", "trailing characters", 1, 3},
      {"{}\n}", "trailing characters", 2, 1},
      {"[1]\0"sv, "trailing characters", 1, 4},
      {"\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string", 1, 3},
      {"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string", 2, 0},
      {"\"\\x\"", "invalid escape", 1, 3},
      {"\"\\u12G4\"", "invalid escape", 1, 6},
      {"\"\\u12", "EOF while parsing a string", 1, 5},
      {"\"\\", "EOF while parsing a string", 1, 2},
      {"\"\\uDC00\"", "lone leading surrogate in hex escape", 1, 7},
      {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape", 1, 13},
      {"\"\\uD800\\uD800\"", "lone leading surrogate in hex escape", 1, 13},
      {"\"\\uD800\"", "unexpected end of hex escape", 1, 8},
      {"\"\\uD800x\"", "unexpected end of hex escape", 1, 8},
      {"\"\\uD800\\n\"", "unexpected end of hex escape", 1, 9},
      {"\"\\uD800", "EOF while parsing a string", 1, 7},
      {"-", "EOF while parsing a value", 1, 1},
      {"-a", "invalid number", 1, 2},
      {"-Infinity", "invalid number", 1, 2},
      {"01", "invalid number", 1, 2},
      {"-01", "invalid number", 1, 3},
      {"1.", "EOF while parsing a value", 1, 2},
      {"1.e5", "invalid number", 1, 3},
      {"1e", "EOF while parsing a value", 1, 2},
      {"1e+", "EOF while parsing a value", 1, 3},
      {"1e+x", "invalid number", 1, 4},
      {"1e400", "number out of range", 1, 5},
      {"[-1.5e999999999999999999999]", "number out of range", 1, 27},
  };
  for (const ErrorCase& c : cases) expect_error(c);
}

// Programs tell errors apart by reason, not by message: each message has its own, and the path
// names the member being read in every container still open.
TEST(JsonParse, ErrorsCarryTheirReasonAndWhereParsingStood) {
  using manifest::JsonPathStep;
  using manifest::ParseReason;
  using Path = std::vector<JsonPathStep>;
  const struct {
    std::string_view text;
    std::string_view message;
    ParseReason reason;
    Path path;
  } cases[] = {
      {"", "EOF while parsing a value", ParseReason::EofValue, {}},
      {"[\"a", "EOF while parsing a string", ParseReason::EofString, {0U}},
      {"{\"a\": [", "EOF while parsing a list", ParseReason::EofArray, {"a"}},
      {"{\"a\": {}, \"b\"", "EOF while parsing an object", ParseReason::EofObject, {"b"}},
      {"{\"a\": x}", "expected value", ParseReason::ExpectedValue, {"a"}},
      {"[1, trux]", "expected ident", ParseReason::ExpectedIdent, {1U}},
      {"{} x", "trailing characters", ParseReason::TrailingCharacters, {}},
      {"\"\x01\"",
       "control character (\\u0000-\\u001F) found while parsing a string",
       ParseReason::ControlCharacter,
       {}},
      {"\"\\x\"", "invalid escape", ParseReason::InvalidEscape, {}},
      {"\"\xFF\"", "invalid unicode code point", ParseReason::InvalidCodePoint, {}},
      {"\"\\uDC00\"", "lone leading surrogate in hex escape", ParseReason::LoneSurrogate, {}},
      {"\"\\uD800\"", "unexpected end of hex escape", ParseReason::EndOfHexEscape, {}},
      {"1e400", "number out of range", ParseReason::NumberOutOfRange, {}},
      {"01", "invalid number", ParseReason::InvalidNumber, {}},
      {"[[1 2]]", "expected `,` or `]`", ParseReason::ExpectedCommaOrArrayEnd, {0U, 0U}},
      {"{\"a\": 1 2}", "expected `,` or `}`", ParseReason::ExpectedCommaOrObjectEnd, {"a"}},
      {"{\"a\": 1, \"b\" 2}", "expected `:`", ParseReason::ExpectedColon, {"b"}},
      // A member joins the path once its key has been read whole.
      {"{\"a\": 1, \"b", "EOF while parsing a string", ParseReason::EofString, {}},
      {"{\"a\": {1: 2}}", "key must be a string", ParseReason::KeyMustBeString, {"a"}},
      {"{\"a\": [1,]}", "trailing comma", ParseReason::TrailingComma, {"a", 0U}},
  };
  for (const auto& c : cases) {
    auto parsed = parse(c.text);
    ASSERT_FALSE(parsed.has_value()) << c.text;
    const ParseError& e = parsed.error();
    EXPECT_EQ(e.message, c.message) << c.text;
    EXPECT_EQ(e.reason, c.reason) << c.text;
    EXPECT_EQ(e.path, c.path) << c.text;
    const Position at_offset = position_after(c.text, e.offset);
    EXPECT_EQ(at_offset.line, e.position.line) << c.text;
    EXPECT_EQ(at_offset.column, e.position.column) << c.text;
  }
  ParseOptions shallow;
  shallow.max_depth = 2;
  auto deep = parse("{\"a\": [[1]]}", shallow);
  ASSERT_FALSE(deep.has_value());
  EXPECT_EQ(deep.error().reason, manifest::ParseReason::DepthLimit);
  EXPECT_EQ(deep.error().path, (std::vector<manifest::JsonPathStep>{"a", 0U}));
}

TEST(JsonParse, StringsAcceptOnlyWellFormedUtf8) {
  // Boundaries of each sequence length, around the surrogate gap and at U+10FFFF.
  const std::string_view valid[] = {"\xC2\x80",         "\xDF\xBF",         "\xE0\xA0\x80",
                                    "\xED\x9F\xBF",     "\xEE\x80\x80",     "\xEF\xBF\xBF",
                                    "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "caf\xC3\xA9"};
  for (const std::string_view bytes : valid) {
    const Value v = parse_ok(cat({"\"", bytes, "\""}));
    EXPECT_EQ(v.string, bytes);
  }
  // Overlongs, encoded surrogates, beyond U+10FFFF, stray continuations, bad continuations.
  const std::string_view invalid[] = {"\xC0\x80",
                                      "\xC1\xBF",
                                      "\xE0\x80\x80",
                                      "\xE0\x9F\xBF",
                                      "\xED\xA0\x80",
                                      "\xED\xBF\xBF",
                                      "\xF0\x80\x80\x80",
                                      "\xF0\x8F\xBF\xBF",
                                      "\xF4\x90\x80\x80",
                                      "\xF5\x80\x80\x80",
                                      "\x80",
                                      "\xBF",
                                      "\xFF",
                                      "\xE2\x28\xA1",
                                      "\xC3\"",
                                      "\xF0\x9F\x98\""};
  for (const std::string_view bytes : invalid) {
    // The column points at the first byte of the ill-formed sequence.
    expect_error({cat({"\"x", bytes, "\""}), "invalid unicode code point", 1, 3});
  }
  expect_error({"\"\xE2\x82", "EOF while parsing a string", 1, 3});
}

TEST(JsonParse, EscapesDecodeToUtf8) {
  EXPECT_EQ(parse_ok(R"("\"\\\/\b\f\n\r\t")").string, "\"\\/\b\f\n\r\t");
  EXPECT_EQ(parse_ok(R"("\u0041\u00e9\u20AC")").string, "A\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(parse_ok(R"("\uD83D\uDE00")").string, "\xF0\x9F\x98\x80");
  EXPECT_EQ(parse_ok(R"("\uDBFF\uDFFF")").string, "\xF4\x8F\xBF\xBF");
  EXPECT_EQ(parse_ok(R"("a\u0000b")").string, std::string("a\0b", 3));
}

TEST(JsonParse, NumbersKeepTheirMostExactType) {
  constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
  constexpr std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();
  EXPECT_EQ(parse_ok("0").type, Type::Unsigned);
  EXPECT_EQ(parse_ok("18446744073709551615").u64, kU64Max);
  const Value u64_plus_one = parse_ok("18446744073709551616");
  EXPECT_EQ(u64_plus_one.type, Type::Double);
  EXPECT_EQ(u64_plus_one.f64, 18446744073709551616.0);
  const Value i64_min = parse_ok("-9223372036854775808");
  EXPECT_EQ(i64_min.type, Type::Signed);
  EXPECT_EQ(i64_min.i64, kI64Min);
  EXPECT_EQ(parse_ok("-9223372036854775809").type, Type::Double);
  EXPECT_EQ(parse_ok("-1").i64, -1);
  for (const char* text : {"-0", "-1e-400"}) {
    const Value v = parse_ok(text);
    EXPECT_EQ(v.type, Type::Double) << text;
    EXPECT_TRUE(v.f64 == 0.0 && std::signbit(v.f64)) << text;
  }
  const Value underflow = parse_ok("1e-400");
  EXPECT_TRUE(underflow.type == Type::Double && underflow.f64 == 0.0 &&
              !std::signbit(underflow.f64));
  EXPECT_EQ(parse_ok("1.0").type, Type::Double);
  EXPECT_EQ(parse_ok("1E2").f64, 100.0);
  EXPECT_EQ(parse_ok("2.5e-3").f64, 0.0025);
  EXPECT_EQ(parse_ok("1.7976931348623157e308").f64, std::numeric_limits<double>::max());
  expect_error({"1.7976931348623159e308", "number out of range", 1, 22});
}

TEST(JsonParse, HundredThousandDigitNumbers) {
  const std::string digits(100000, '7');
  const Value fraction = parse_ok(cat({"0.", digits}));
  EXPECT_NEAR(fraction.f64, 7.0 / 9.0, 1e-15);
  EXPECT_EQ(parse_ok(cat({"1e", std::string(100000, '0'), "1"})).f64, 10.0);
  EXPECT_EQ(parse_ok(cat({"0.", std::string(100000, '0'), "1"})).f64, 0.0);
  // Overflow and underflow are told apart by where the first significant digit lands.
  EXPECT_EQ(parse_ok(cat({"0.", std::string(1000, '0'), "1e500"})).f64, 0.0);
  expect_error({"0.0001e400", "number out of range", 1, 10});
  expect_error({digits, "number out of range", 1, 100000});
  expect_error({cat({"[0.", digits, "x]"}), "expected `,` or `]`", 1, 100004});
}

TEST(JsonParse, DepthLimit) {
  const auto nested = [](std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  const Value deepest = parse_ok(nested(128));
  EXPECT_EQ(deepest.end, 256u);
  expect_error({nested(129), "recursion limit exceeded", 1, 129});
  std::string objects;
  for (int i = 0; i < 129; ++i) objects += "{\"k\":";
  expect_error({cat({objects, "1"}), "recursion limit exceeded", 1, 4 * 128 + 129});
  // The parser must refuse at the limit without holding the rest of a long run.
  expect_error({std::string(32 << 20, '['), "recursion limit exceeded", 1, 129});
  expect_error({"[[1]]", "recursion limit exceeded", 1, 2}, ParseOptions{.max_depth = 1});
  EXPECT_TRUE(parse("7", ParseOptions{.max_depth = 0}).has_value());
}

TEST(JsonParse, SurroundingWhitespaceAndOffsets) {
  const std::string text = " \t\r\n{\"a\": [1, \"x\"], \"b\":true} \r\n\t";
  const Value v = parse_ok(text);
  EXPECT_EQ(v.end, text.find('}') + 1);
  ASSERT_EQ(v.object.size(), 2u);
  EXPECT_EQ(v.object[0].key_end, text.find("\"a\"") + 3);
  EXPECT_EQ(v.object[0].value.end, text.find(']') + 1);
  EXPECT_EQ(v.object[0].value.array[0].end, text.find('1') + 1);
  EXPECT_EQ(v.object[0].value.array[1].end, text.find("\"x\"") + 3);
  EXPECT_EQ(v.object[1].value.end, text.find("true") + 4);
  // Offsets turn into positions the same way errors do.
  const Position p = position_after("ab\ncd\n", 5);
  EXPECT_EQ(p.line, 2u);
  EXPECT_EQ(p.column, 2u);
  EXPECT_EQ(position_after("ab\n", 3).line, 2u);
  EXPECT_EQ(position_after("ab\n", 3).column, 0u);
  EXPECT_EQ(position_after("ab", 99).column, 2u);
}

TEST(JsonValue, FindPointerAndEquality) {
  const Value doc = parse_ok(R"({"a":[10,{"b~/c":1}],"":2,"m~n":3,"x/y":4,"01":5,"d":6,"d":7})");
  const struct {
    const char* pointer;
    const Value* expected;
  } cases[] = {
      {"", &doc},
      {"/a/0", &doc.object[0].value.array[0]},
      {"/a/1/b~0~1c", &doc.object[0].value.array[1].object[0].value},
      {"/", &doc.object[1].value},
      {"/m~0n", &doc.object[2].value},
      {"/x~1y", &doc.object[3].value},
      {"/01", &doc.object[4].value},
      {"/d", &doc.object[5].value},
      {"a", nullptr},
      {"/a/01", nullptr},
      {"/a/-", nullptr},
      {"/a/2", nullptr},
      {"/a/+1", nullptr},
      {"/a/18446744073709551616", nullptr},
      {"/a/0/x", nullptr},
      {"/m~2n", nullptr},
      {"/m~", nullptr},
      {"/missing", nullptr},
  };
  for (const auto& c : cases) EXPECT_EQ(doc.pointer(c.pointer), c.expected) << c.pointer;
  EXPECT_EQ(doc.find("d"), &doc.object[5].value);
  EXPECT_EQ(doc.find("zz"), nullptr);
  EXPECT_EQ(doc.object[0].value.find("a"), nullptr);

  EXPECT_EQ(parse_ok(R"({"a":1,"b":[2,{}]})"), parse_ok(R"({"b":[2,{}],"a":1})"));
  EXPECT_NE(parse_ok("[1,2]"), parse_ok("[2,1]"));
  EXPECT_NE(parse_ok("1"), parse_ok("1.0"));
  EXPECT_NE(parse_ok("-1"), parse_ok("-1.0"));
  EXPECT_NE(parse_ok(R"({"a":1,"a":2})"), parse_ok(R"({"a":2,"a":1})"));
  EXPECT_NE(parse_ok(R"({"a":1})"), parse_ok(R"({"a":1,"b":1})"));
  EXPECT_EQ(parse_ok("1e2").as_double(), 100.0);
  EXPECT_EQ(parse_ok("-3").as_double(), -3.0);
  EXPECT_EQ(parse_ok("\"3\"").as_double(), 0.0);
}

TEST(JsonWrite, StringsEscapeOnlyQuoteBackslashAndControls) {
  const struct {
    std::string_view in;
    std::string_view out;
  } cases[] = {
      {"a\"b\\c/d", R"("a\"b\\c/d")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {std::string_view("\x00\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\x7f\""},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xF0\x9F\x98\x80\""},
  };
  for (const auto& c : cases) {
    std::string out;
    append_string(out, c.in);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(parse_ok(out).string, c.in);
  }
}

TEST(JsonWrite, NumbersReadBackWithTheirType) {
  const struct {
    double in;
    std::string_view out;
  } doubles[] = {{2.0, "2.0"},
                 {0.1, "0.1"},
                 {-0.0, "-0.0"},
                 {1e21, "1e+21"},
                 {5e-324, "5e-324"},
                 {1.5, "1.5"},
                 {1e300, "1e+300"},
                 {std::nan(""), "null"},
                 {-std::numeric_limits<double>::infinity(), "null"}};
  for (const auto& c : doubles) {
    std::string out;
    append_f64(out, c.in);
    EXPECT_EQ(out, c.out);
    if (std::isfinite(c.in)) {
      const Value back = parse_ok(out);
      EXPECT_EQ(back.type, Type::Double) << out;
      EXPECT_EQ(std::signbit(back.f64), std::signbit(c.in)) << out;
      EXPECT_EQ(back.f64, c.in) << out;
    }
  }
  std::string out;
  append_u64(out, std::numeric_limits<std::uint64_t>::max());
  out += ' ';
  append_i64(out, std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(out, "18446744073709551615 -9223372036854775808");
}

void write_sample(Writer& w) {
  w.begin_object();
  w.key("name");
  w.string("x");
  w.key("list");
  w.begin_array();
  w.u64(1);
  w.i64(-2);
  w.f64(3.0);
  w.boolean(true);
  w.null();
  w.end_array();
  w.key("empty_object");
  w.begin_object();
  w.end_object();
  w.key("empty_array");
  w.begin_array();
  w.end_array();
  w.key("nested");
  w.begin_object();
  w.key("k");
  w.begin_array();
  w.begin_object();
  w.end_object();
  w.end_array();
  w.end_object();
  w.end_object();
}

TEST(JsonWrite, CompactAndPrettyLayouts) {
  std::string compact_out;
  Writer compact_writer(compact_out);
  write_sample(compact_writer);
  EXPECT_EQ(compact_out,
            R"({"name":"x","list":[1,-2,3.0,true,null],"empty_object":{},"empty_array":[],)"
            R"("nested":{"k":[{}]}})");

  std::string pretty_out;
  Writer pretty_writer(pretty_out, Writer::Style::Pretty);
  write_sample(pretty_writer);
  const std::string_view expected = R"({
  "name": "x",
  "list": [
    1,
    -2,
    3.0,
    true,
    null
  ],
  "empty_object": {},
  "empty_array": [],
  "nested": {
    "k": [
      {}
    ]
  }
})";
  EXPECT_EQ(pretty_out, expected);
  EXPECT_EQ(parse_ok(pretty_out), parse_ok(compact_out));
}

TEST(JsonWrite, GenericValuesSortKeysAndRoundTrip) {
  const Value doc = parse_ok(R"({"b":1,"a":{"d":[],"c":2.50},"a":0,"\u00e9":-0,"B":null})");
  EXPECT_EQ(compact(doc),
            "{\"B\":null,\"a\":{\"c\":2.5,\"d\":[]},\"a\":0,\"b\":1,\"\xC3\xA9\":-0.0}");

  // Enough members that an unstable sort would reorder the equal keys.
  std::string many = "{";
  std::string expected_a;
  std::string expected_b;
  for (int i = 0; i < 64; ++i) {
    const std::string member = cat({i % 2 ? "\"a\":" : "\"b\":", std::to_string(i)});
    many += cat({i ? "," : "", member});
    (i % 2 ? expected_a : expected_b) += cat({",", member});
  }
  EXPECT_EQ(compact(parse_ok(cat({many, "}"}))), cat({"{", expected_a.substr(1), expected_b, "}"}));

  std::string pretty;
  Writer pretty_writer(pretty, Writer::Style::Pretty);
  pretty_writer.value(parse_ok(R"({"z":[true],"y":{}})"));
  EXPECT_EQ(pretty, "{\n  \"y\": {},\n  \"z\": [\n    true\n  ]\n}");

  const std::string_view text =
      R"({"s":"line\nbreak \"q\" \u0001 \ud83d\ude00","n":[0,-1,18446744073709551615,)"
      R"(-9223372036854775808,1.0,1e-7,123456789.125,1e300,-0.0],"o":{"":{},"k":[[],{}]},)"
      R"("t":true,"f":false,"z":null})";
  const Value original = parse_ok(text);
  const Value again = parse_ok(compact(original));
  EXPECT_EQ(again, original);
  EXPECT_EQ(compact(again), compact(original));
  std::string pretty_again;
  Writer(pretty_again, Writer::Style::Pretty).value(original);
  EXPECT_EQ(parse_ok(pretty_again), original);
}

TEST(JsonWrite, PlainDecimal) {
  const struct {
    double in;
    std::string out;
  } cases[] = {
      {2.0, "2"},
      {0.5, "0.5"},
      {-0.0, "-0"},
      {0.0, "0"},
      {1e-7, "0.0000001"},
      {123.456, "123.456"},
      {-1.25, "-1.25"},
      {1.2345678901234568e20, "123456789012345680000"},
      {1e300, cat({"1", std::string(300, '0')})},
      {1.5e-300, cat({"0.", std::string(299, '0'), "15"})},
      {0.1 + 0.2, "0.30000000000000004"},
      {std::nan(""), "NaN"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(plain_decimal(c.in), c.out);
  for (const double v : {5e-324, 1.7976931348623157e308, 2.2250738585072014e-308, 1e22}) {
    const std::string text = plain_decimal(v);
    EXPECT_EQ(text.find('e'), std::string::npos) << text;
    EXPECT_EQ(parse_ok(text).as_double(), v) << text;
  }
}

}  // namespace
}  // namespace karnid::json
