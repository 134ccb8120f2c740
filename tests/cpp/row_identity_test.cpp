#include "karnid/manifest/row_identity.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "karnid/manifest/row_map.hpp"
#include "karnid/manifest/verify.hpp"
#include "test_support.hpp"
#include "uuid_text.hpp"
#include "verify_steps.hpp"

namespace karnid::manifest {
namespace {

namespace fs = std::filesystem;

using test_support::TempDir;

using test_support::sha256_hex;

// A distinct hyphenated lowercase UUID per number.
std::string uuid(std::uint64_t n) {
  char text[37];
  std::snprintf(text, sizeof text, "%08llx-0000-4000-8000-%012llx",
                static_cast<unsigned long long>(n * 2654435761U % 0xFFFFFFFFU),
                static_cast<unsigned long long>(n));
  return text;
}

std::string row(std::uint64_t index, std::string_view db_id) {
  return R"({"row_id": )" + std::to_string(index) + R"(, "db_id": ")" + std::string(db_id) + "\"}";
}

std::string rows(std::uint64_t count) {
  std::string out;
  for (std::uint64_t i = 0; i < count; ++i) out += row(i, uuid(i)) + "\n";
  return out;
}

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// An issue about one line, "line {index} {rest}", which names that line.
ReportIssue line_issue(std::string code, std::uint64_t index, std::string_view rest) {
  return {std::move(code), "line " + std::to_string(index) + " " + std::string(rest), index};
}

struct Outcome {
  Result<JsonlRowsSummary> summary;
  std::vector<ReportIssue> issues;

  [[nodiscard]] std::vector<std::string> codes() const {
    std::vector<std::string> out;
    for (const ReportIssue& issue : issues) out.push_back(issue.code);
    return out;
  }
};

Outcome validate(const std::string& path, std::uint64_t declared, ResourceLimits limits = {},
                 bool allow_duplicates = false, RowParsing parsing = RowParsing::Fast) {
  Outcome out{std::unexpected(ManifestError::invalid("not run")), {}};
  out.summary = validate_jsonl_rows_with(path, allow_duplicates, limits, declared, out.issues,
                                         FileKindPolicy::RegularOnly, parsing);
  return out;
}

Outcome validate_text(std::string_view content, std::uint64_t declared, ResourceLimits limits = {},
                      bool allow_duplicates = false) {
  TempDir dir;
  return validate(dir.write("rows.jsonl", content), declared, limits, allow_duplicates);
}

const std::string kUuid = "0f8fad5b-d9cb-469f-a165-70867728950e";

// ---- UUID forms and identifier fields ----

TEST(RowIdentityUuid, AcceptsTheFourFormsInEitherCase) {
  const std::string simple = "0f8fad5bd9cb469fa16570867728950e";
  for (const std::string& text : {simple, kUuid, "{" + kUuid + "}", "urn:uuid:" + kUuid,
                                  std::string("0F8FAD5B-D9CB-469F-A165-70867728950E"),
                                  std::string("0F8fad5bD9cb469fA16570867728950E")}) {
    EXPECT_TRUE(is_uuid_text(text)) << text;
  }
  for (const std::string& text : std::vector<std::string>{
           "", simple.substr(1), simple + "0", "0f8fad5b-d9cb-469f-a165-70867728950",
           "0f8fad5bd-9cb-469f-a165-70867728950e", "0f8fad5b-d9cb-469f-a165-70867728950g",
           "0f8fad5b_d9cb_469f_a165_70867728950e", "{" + simple + "}", "{" + kUuid + "]",
           "URN:UUID:" + kUuid, "urn:uuid:" + simple, kUuid + " ",
           std::string("0f8fad5b-d9cb-469f-a165-7086772895\0e", 36)}) {
    EXPECT_FALSE(is_uuid_text(text)) << text;
  }
}

TEST(RowIdentityUuid, FieldCheckReportsTheFirstProblemOnly) {
  const struct {
    std::string_view field;
    std::string value;
    std::vector<ReportIssue> expected;
  } cases[] = {
      {"db_id", kUuid, {}},
      {"db_id", "", {{"row_identity_db_id_empty", "line 7 has empty db_id", 7}}},
      {"db_id",
       std::string("ab\0cd", 5),
       {{"row_identity_db_id_contains_nul", "line 7 db_id contains NUL", 7}}},
      {"db_id",
       "row-7",
       {{"row_identity_db_id_invalid_uuid", "line 7 db_id must be a UUID in v1", 7}}},
      {"parent_id", "", {{"row_identity_parent_id_empty", "line 7 has empty parent_id", 7}}},
      {"parent_id",
       "x",
       {{"row_identity_parent_id_invalid_uuid", "line 7 parent_id must be a UUID in v1", 7}}},
  };
  for (const auto& c : cases) {
    std::vector<ReportIssue> issues;
    validate_row_id_string(c.field, c.value, 7, 1024, issues);
    EXPECT_EQ(issues, c.expected) << c.field << " " << c.value;
  }
}

// ---- one line, strictly ----

TEST(RowIdentityLine, StrictReaderNamesTheProblemAndItsColumn) {
  const struct {
    std::string_view line;
    std::string_view message;
  } cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {R"({"row_id": 0})", "missing field `db_id` at line 1 column 13"},
      {R"({"db_id": "a"})", "missing field `row_id` at line 1 column 14"},
      {R"({"row_id": 0, "row_id": 1, "db_id": "a"})",
       "duplicate field `row_id` at line 1 column 22"},
      {R"({"row_id": 0, "x": 1})",
       "unknown field `x`, expected one of `row_id`, `db_id`, `parent_id` at line 1 column 17"},
      {R"({"row_id": -1, "db_id": "a"})",
       "invalid value: integer `-1`, expected u64 at line 1 column 13"},
      {R"({"row_id": 1.5, "db_id": "a"})",
       "invalid type: floating point `1.5`, expected u64 at line 1 column 14"},
      {R"({"row_id": "0", "db_id": "a"})",
       R"(invalid type: string "0", expected u64 at line 1 column 14)"},
      {R"({"row_id": 0, "db_id": 5})",
       "invalid type: integer `5`, expected a string at line 1 column 24"},
      {R"({"row_id": 0, "db_id": "a", "parent_id": true})",
       "invalid type: boolean `true`, expected a string at line 1 column 45"},
      {R"([0])",
       "invalid length 1, expected struct JsonlRow with 2 or 3 elements at line 1 column 3"},
      {R"([0, "a", "b", "c"])",
       "invalid length 4, expected struct JsonlRow with 2 or 3 elements at line 1 column 18"},
      {R"("0")", R"(invalid type: string "0", expected struct JsonlRow at line 1 column 3)"},
      {R"({"row_id": 0, "db_id": "a"} x)", "trailing characters at line 1 column 29"},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_jsonl_row(c.line);
    ASSERT_FALSE(parsed.has_value()) << c.line;
    EXPECT_EQ(parsed.error(), c.message) << c.line;
    EXPECT_FALSE(parse_jsonl_row_fast(c.line).has_value()) << c.line;
  }
}

TEST(RowIdentityLine, ObjectsInAnyKeyOrderAndArraysGiveTheSameRow) {
  const JsonlRow with_parent{4, kUuid, "p"};
  const JsonlRow without_parent{4, kUuid, std::nullopt};
  const struct {
    std::string line;
    const JsonlRow& expected;
  } cases[] = {
      {R"({"row_id": 4, "db_id": ")" + kUuid + R"("})", without_parent},
      {R"( { "db_id" : ")" + kUuid + R"(" ,"row_id":4,"parent_id":null }	)", without_parent},
      {R"({"parent_id": "p", "row_id": 4, "db_id": ")" + kUuid + R"("})", with_parent},
      {R"([4, ")" + kUuid + R"("])", without_parent},
      {R"([4, ")" + kUuid + R"(", "p"])", with_parent},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_jsonl_row(c.line);
    ASSERT_TRUE(parsed.has_value()) << c.line << ": " << parsed.error();
    EXPECT_EQ(*parsed, c.expected) << c.line;
  }
}

// The quick reader may decline any line, but whatever it reads must be exactly what the strict
// reader reads; and it must not decline the ordinary shapes, or it would be no use.
TEST(RowIdentityLine, QuickAndStrictReadersAgreeOnValidAndSubtlyBrokenLines) {
  std::mt19937_64 random(20240611);
  const std::vector<std::string> templates = {
      R"({"row_id": N, "db_id": "U"})",
      R"({"row_id":N,"db_id":"U"})",
      R"({"db_id": "U", "row_id": N})",
      R"({"row_id": N, "db_id": "U", "parent_id": "U"})",
      R"({"row_id": N, "parent_id": null, "db_id": "U"})",
      "\t{ \"row_id\" :N ,\r\"db_id\":\"U\" } ",
      R"([N, "U"])",
  };
  const std::vector<std::string> numbers = {"0",
                                            "7",
                                            "12345678",
                                            "1234567890123456789",
                                            "18446744073709551615",
                                            "18446744073709551616",
                                            "01",
                                            "-0",
                                            "1.0",
                                            "1e3",
                                            "99999999999999999999"};
  const std::string_view tricky =
      "\"\\{}[],: \t\r\x01\x7f\xc3\xa9"
      "0aZ-e.";
  std::size_t quick_reads = 0;
  std::string file;
  for (int i = 0; i < 4000; ++i) {
    std::string line = templates[random() % templates.size()];
    const std::string number = numbers[random() % numbers.size()];
    for (std::size_t at; (at = line.find('N')) != std::string::npos;) line.replace(at, 1, number);
    for (std::size_t at; (at = line.find('U')) != std::string::npos;) {
      line.replace(at, 1, random() % 4 == 0 ? uuid(random() % 50) : kUuid);
    }
    switch (random() % 4) {
      case 0:
        break;  // untouched
      case 1:
        line.erase(random() % line.size(), 1);
        break;
      case 2:
        line.insert(random() % (line.size() + 1), 1, tricky[random() % tricky.size()]);
        break;
      default:
        line[random() % line.size()] = tricky[random() % tricky.size()];
        break;
    }
    const auto quick = parse_jsonl_row_fast(line);
    const auto strict = parse_jsonl_row(line);
    if (quick) {
      ++quick_reads;
      ASSERT_TRUE(strict.has_value()) << line << ": " << strict.error();
      EXPECT_EQ(quick->row_id, strict->row_id) << line;
      EXPECT_EQ(quick->db_id, strict->db_id) << line;
      EXPECT_EQ(quick->parent_id.has_value(), strict->parent_id.has_value()) << line;
      if (quick->parent_id && strict->parent_id) {
        EXPECT_EQ(*quick->parent_id, *strict->parent_id) << line;
      }
    }
    if (line.find('\n') == std::string::npos) file += line + "\n";
  }
  EXPECT_GT(quick_reads, 500U);
  for (const std::string& common : {row(3, kUuid), R"({"row_id":3,"db_id":")" + kUuid + "\"}"}) {
    EXPECT_TRUE(parse_jsonl_row_fast(common).has_value()) << common;
  }

  // Over a whole file, with duplicates and row numbers out of step, both readers give the same
  // issues in the same order.
  TempDir dir;
  const std::string path = dir.write("mixed.jsonl", file);
  ResourceLimits limits;
  limits.max_report_issues = 1000000;
  const Outcome fast = validate(path, 100000, limits, false, RowParsing::Fast);
  const Outcome strict = validate(path, 100000, limits, false, RowParsing::StrictOnly);
  ASSERT_TRUE(fast.summary.has_value());
  ASSERT_TRUE(strict.summary.has_value());
  EXPECT_EQ(fast.issues, strict.issues);
  EXPECT_EQ(fast.summary->parsed_rows, strict.summary->parsed_rows);
  EXPECT_EQ(fast.summary->sha256, strict.summary->sha256);
  EXPECT_TRUE(has_issue_code(fast.issues, "row_identity_duplicate_db_id"));
  EXPECT_TRUE(has_issue_code(fast.issues, "row_identity_jsonl_invalid_json"));
}

// The validator reads lines of the usual layout in place, finding their end by matching them.
// Every single-byte change of such lines (a byte dropped, replaced or added, at every position)
// must leave the outcome exactly as the strict reader alone finds it: the same issues, with the
// same row numbers in them, and the same counts and digest.
TEST(RowIdentityLine, UsualLinesReadInPlaceAgreeWithTheStrictReader) {
  const std::string_view replacements =
      "\"\\{}[],: \t\r\n\x01\x7f\xc3"
      "0159aAfFgG-e.";
  const std::vector<std::string> templates = {
      R"({"row_id": N, "db_id": "U"})", R"({"row_id":N,"db_id":"U"})",
      R"({"row_id": N,"db_id":"U"})", R"({"row_id":N, "db_id": "U"})"};
  std::string file;
  std::uint64_t index = 0;
  const auto add = [&](const std::string& line) {
    file += line;
    file += '\n';
    index += 1 + static_cast<std::uint64_t>(std::count(line.begin(), line.end(), '\n'));
  };
  const auto fill = [](std::string line, std::string_view number, std::string_view id) {
    line.replace(line.find('N'), 1, number);
    line.replace(line.find('U'), 1, id);
    return line;
  };
  for (const std::string& layout : templates) {
    for (const std::string_view ending : {"", "\r"}) {
      // Numbers of every length around the word boundaries and the 64-bit limit, and a leading
      // zero; all but the matching one give a row_id issue that names the value read.
      for (const std::string& number :
           {std::string("0"), std::string("00"), std::string("01"), std::string("12345678"),
            std::string("123456789"), std::string("1234567890123456"),
            std::string("9999999999999999999"), std::string("18446744073709551615"),
            std::string("18446744073709551616")}) {
        add(fill(layout, number, uuid(index)) + std::string(ending));
        add(fill(layout, std::to_string(index), upper(uuid(index))) + std::string(ending));
      }
      const std::string base =
          fill(layout, std::to_string(index), uuid(index)) + std::string(ending);
      for (std::size_t at = 0; at <= base.size(); ++at) {
        if (at < base.size()) {
          std::string dropped = base;
          dropped.erase(at, 1);
          add(dropped);
        }
        for (const char c : replacements) {
          if (at < base.size()) {
            std::string changed = base;
            changed[at] = c;
            add(changed);
          }
          std::string inserted = base;
          inserted.insert(at, 1, c);
          add(inserted);
        }
        add(fill(layout, std::to_string(index), uuid(index)));  // a clean line in between
      }
      add(base);  // the same db_id again: a repetition
    }
  }

  TempDir dir;
  const std::string path = dir.write("mutations.jsonl", file);
  ResourceLimits limits;
  limits.max_report_issues = 10000000;
  const Outcome fast = validate(path, 10000000, limits, false, RowParsing::Fast);
  const Outcome strict = validate(path, 10000000, limits, false, RowParsing::StrictOnly);
  ASSERT_TRUE(fast.summary.has_value());
  ASSERT_TRUE(strict.summary.has_value());
  EXPECT_EQ(fast.issues.size(), strict.issues.size());
  for (std::size_t i = 0; i < std::min(fast.issues.size(), strict.issues.size()); ++i) {
    ASSERT_EQ(fast.issues[i], strict.issues[i]) << "issue " << i;
  }
  EXPECT_EQ(fast.summary->rows_read, strict.summary->rows_read);
  EXPECT_EQ(fast.summary->parsed_rows, strict.summary->parsed_rows);
  EXPECT_EQ(fast.summary->sha256, sha256_hex(file));
  EXPECT_EQ(strict.summary->sha256, sha256_hex(file));
  // The mutations reach every kind of outcome.
  for (const std::string_view code :
       {"row_identity_jsonl_invalid_json", "row_identity_row_id_mismatch",
        "row_identity_db_id_invalid_uuid", "row_identity_duplicate_db_id"}) {
    EXPECT_TRUE(has_issue_code(fast.issues, code)) << code;
  }
}

// ---- streaming a file ----

TEST(RowIdentityStream, EmptyFileAndCleanFileVerify) {
  const Outcome empty = validate_text("", 0);
  ASSERT_TRUE(empty.summary.has_value());
  EXPECT_EQ(empty.summary->sha256, sha256_hex(""));
  EXPECT_EQ(empty.summary->rows_read, 0U);
  EXPECT_TRUE(empty.issues.empty());

  const std::string content = rows(500);
  const Outcome clean = validate_text(content, 500);
  ASSERT_TRUE(clean.summary.has_value());
  EXPECT_EQ(clean.summary->sha256, sha256_hex(content));
  EXPECT_EQ(clean.summary->rows_read, 500U);
  EXPECT_EQ(clean.summary->parsed_rows, 500U);
  EXPECT_TRUE(clean.issues.empty());
}

TEST(RowIdentityStream, TrailingLineFeedIsAnExtraRowButAnInnerEmptyLineIsBadJson) {
  const Outcome extra = validate_text(rows(4) + "\n", 4);
  ASSERT_TRUE(extra.summary.has_value());
  EXPECT_FALSE(extra.summary->sha256.has_value());
  EXPECT_EQ(extra.summary->rows_read, 5U);
  EXPECT_EQ(extra.issues, (std::vector<ReportIssue>{{"row_identity_row_count_mismatch",
                                                     "row identity file has more than declared "
                                                     "row_count=4"}}));

  const std::string content = row(0, uuid(0)) + "\n" + row(1, uuid(1)) + "\n\n" + row(3, uuid(3));
  const Outcome inner = validate_text(content, 4);
  ASSERT_TRUE(inner.summary.has_value());
  EXPECT_EQ(inner.summary->sha256, sha256_hex(content));
  EXPECT_EQ(inner.summary->rows_read, 4U);
  EXPECT_EQ(inner.summary->parsed_rows, 3U);
  EXPECT_EQ(
      inner.issues,
      (std::vector<ReportIssue>{{"row_identity_jsonl_invalid_json",
                                 "line 2 is not a strict row object: EOF while parsing a value at "
                                 "line 1 column 0",
                                 2}}));
}

TEST(RowIdentityStream, LineLimitCountsTheLineFeedAndTheCarriageReturn) {
  ResourceLimits ten;
  ten.max_row_map_line_bytes = 10;
  const std::string line = R"([0,"abcd"])";  // ten bytes
  ASSERT_EQ(line.size(), 10U);
  const std::vector<std::string> invalid_uuid = {"row_identity_db_id_invalid_uuid"};

  const Outcome final_line = validate_text(line, 1, ten);
  ASSERT_TRUE(final_line.summary.has_value());
  EXPECT_TRUE(final_line.summary->sha256.has_value());
  EXPECT_EQ(final_line.codes(), invalid_uuid);

  const std::vector<ReportIssue> too_large = {
      {"row_identity_line_too_large", "line 0 exceeds max_row_identity_jsonl_line_bytes=10", 0}};
  const Outcome with_lf = validate_text(line + "\n", 1, ten);
  ASSERT_TRUE(with_lf.summary.has_value());
  EXPECT_FALSE(with_lf.summary->sha256.has_value());
  EXPECT_EQ(with_lf.issues, too_large);

  const std::string nine = R"([0,"abc"])";
  EXPECT_EQ(validate_text(nine + "\n", 1, ten).codes(), invalid_uuid);
  EXPECT_EQ(validate_text(nine + "\r\n", 1, ten).issues, too_large);
  EXPECT_EQ(validate_text(line + "\r", 1, ten).issues, too_large);  // a final CR still counts

  // CRLF lines read like LF lines otherwise: an empty one is empty, not a lone CR.
  std::string crlf;
  for (int i = 0; i < 3; ++i) crlf += row(i, uuid(i)) + "\r\n";
  crlf += "\r\n" + row(4, uuid(4));
  const Outcome windows = validate_text(crlf, 5);
  EXPECT_EQ(
      windows.issues,
      (std::vector<ReportIssue>{{"row_identity_jsonl_invalid_json",
                                 "line 3 is not a strict row object: EOF while parsing a value at "
                                 "line 1 column 0",
                                 3}}));
  EXPECT_EQ(windows.summary->sha256, sha256_hex(crlf));

  ResourceLimits zero;
  zero.max_row_map_line_bytes = 0;  // means one byte: nothing but a lone line feed fits
  EXPECT_EQ(validate_text("[", 1, zero).codes(),
            std::vector<std::string>{"row_identity_jsonl_invalid_json"});
  EXPECT_EQ(validate_text("[0,\"a\"]", 1, zero).issues,
            (std::vector<ReportIssue>{{"row_identity_line_too_large",
                                       "line 0 exceeds max_row_identity_jsonl_line_bytes=0", 0}}));
}

TEST(RowIdentityStream, LinesCutByReadBuffersAreReadWhole) {
  // Padding moves the line boundaries across every offset of the read blocks (the file spans
  // several of them), and one line is longer than a block.
  const std::size_t block = kRowMapReadBytes;
  std::string content;
  int lines = 0;
  for (; content.size() < 3 * block; ++lines) {
    content += R"({"row_id": )" + std::to_string(lines) + std::string(lines % 37, ' ') +
               R"(, "db_id": ")" + uuid(lines) + "\"}" +
               std::string(lines == 200 ? block + 3000 : 0, ' ') + "\n";
  }
  const auto count = static_cast<std::uint64_t>(lines);
  ResourceLimits wide;
  wide.max_row_map_line_bytes = 4 * block;
  const Outcome outcome = validate_text(content, count, wide);
  ASSERT_TRUE(outcome.summary.has_value());
  EXPECT_TRUE(outcome.issues.empty()) << outcome.issues.front().message;
  EXPECT_EQ(outcome.summary->parsed_rows, count);
  EXPECT_EQ(outcome.summary->sha256, sha256_hex(content));

  ResourceLimits limits;
  limits.max_row_map_line_bytes = block + 1000;
  const Outcome stopped = validate_text(content, count, limits);
  EXPECT_EQ(stopped.issues,
            (std::vector<ReportIssue>{{"row_identity_line_too_large",
                                       "line 200 exceeds max_row_identity_jsonl_line_bytes=" +
                                           std::to_string(block + 1000),
                                       200}}));
  EXPECT_EQ(stopped.summary->rows_read, 201U);

  // A line that straddles the first block boundary, exactly at the limit and one byte over.
  const std::string first = row(0, uuid(0)) + "\n";
  std::string second = row(1, uuid(1));
  second += std::string(block + 808 - second.size(), ' ');
  limits.max_row_map_line_bytes = block + 809;
  EXPECT_TRUE(validate_text(first + second + "\n", 2, limits).issues.empty());
  limits.max_row_map_line_bytes = block + 808;
  EXPECT_TRUE(validate_text(first + second, 2, limits).issues.empty());
  EXPECT_EQ(
      validate_text(first + second + "\n", 2, limits).issues,
      (std::vector<ReportIssue>{
          {"row_identity_line_too_large",
           "line 1 exceeds max_row_identity_jsonl_line_bytes=" + std::to_string(block + 808), 1}}));
}

TEST(RowIdentityStream, RowLimitsStopBeforeTheLineIsLookedAt) {
  ResourceLimits three;
  three.max_row_map_rows = 3;
  const Outcome exact = validate_text(rows(3), 3, three);
  EXPECT_TRUE(exact.issues.empty());
  EXPECT_TRUE(exact.summary->sha256.has_value());

  const Outcome over = validate_text(rows(3) + "garbage", 9, three);
  EXPECT_EQ(over.issues, (std::vector<ReportIssue>{{"row_identity_row_count_limit_exceeded",
                                                    "row identity file has more than "
                                                    "max_row_identity_rows=3 rows"}}));
  EXPECT_EQ(over.summary->rows_read, 4U);
  EXPECT_FALSE(over.summary->sha256.has_value());

  // The declared count is checked before the line's size and before parsing.
  ResourceLimits narrow;
  narrow.max_row_map_line_bytes = 5;
  const Outcome declared = validate_text("[0]\nnot json at all\n", 1, narrow);
  EXPECT_EQ(declared.codes(), (std::vector<std::string>{"row_identity_jsonl_invalid_json",
                                                        "row_identity_row_count_mismatch"}));
  EXPECT_EQ(declared.summary->rows_read, 2U);
}

TEST(RowIdentityStream, PerLineChecksContinueThroughTheLine) {
  const std::string content = row(1, "") + "\n" +
                              R"({"row_id": 1, "db_id": "a\u0000b", "parent_id": "p"})" + "\n" +
                              R"([2, ")" + kUuid + R"(", "{)" + kUuid + R"(}"])" + "\n";
  const Outcome outcome = validate_text(content, 3);
  EXPECT_EQ(
      outcome.issues,
      (std::vector<ReportIssue>{
          {"row_identity_row_id_mismatch", "line 0 has row_id 1", 0},
          {"row_identity_db_id_empty", "line 0 has empty db_id", 0},
          {"row_identity_db_id_contains_nul", "line 1 db_id contains NUL", 1},
          {"row_identity_parent_id_invalid_uuid", "line 1 parent_id must be a UUID in v1", 1}}));
  EXPECT_EQ(outcome.summary->parsed_rows, 3U);
  EXPECT_TRUE(outcome.summary->sha256.has_value());
}

TEST(RowIdentityStream, DuplicatesAreReportedAtEveryRepetitionUnlessAllowed) {
  std::string content;
  for (int i = 0; i < 8; ++i) content += row(i, uuid(i == 5 || i == 7 ? 2 : i)) + "\n";
  const Outcome refused = validate_text(content, 8);
  EXPECT_EQ(refused.issues, (std::vector<ReportIssue>{
                                {"row_identity_duplicate_db_id", "line 5 repeats db_id", 5},
                                {"row_identity_duplicate_db_id", "line 7 repeats db_id", 7}}));
  EXPECT_TRUE(refused.summary->sha256.has_value());

  ResourceLimits no_tracking;
  no_tracking.max_row_map_tracked_id_bytes = 0;
  const Outcome allowed = validate_text(content, 8, no_tracking, /*allow_duplicates=*/true);
  EXPECT_TRUE(allowed.issues.empty());
  EXPECT_EQ(allowed.summary->sha256, sha256_hex(content));
}

TEST(RowIdentityStream, TrackedBytesMayReachTheLimitButNotPassIt) {
  // Three distinct 36-byte identifiers and a repeat, which adds nothing.
  const std::string content =
      row(0, uuid(0)) + "\n" + row(1, uuid(1)) + "\n" + row(2, uuid(0)) + "\n" + row(3, uuid(2));
  ResourceLimits exact;
  exact.max_row_map_tracked_id_bytes = 108;
  EXPECT_EQ(validate_text(content, 4, exact).codes(),
            std::vector<std::string>{"row_identity_duplicate_db_id"});

  ResourceLimits short_by_one;
  short_by_one.max_row_map_tracked_id_bytes = 107;
  const Outcome stopped = validate_text(content, 4, short_by_one);
  EXPECT_EQ(stopped.issues.back(),
            (ReportIssue{"row_identity_duplicate_tracking_limit_exceeded",
                         "tracked db_id bytes exceed max_row_identity_tracked_db_id_bytes=107"}));
  EXPECT_EQ(stopped.summary->rows_read, 4U);
  EXPECT_EQ(stopped.summary->parsed_rows, 4U);
  EXPECT_FALSE(stopped.summary->sha256.has_value());
}

TEST(RowIdentityStream, PerLineIssuesStayWithinTheBound) {
  std::string content;
  for (int i = 0; i < 50; ++i) content += "not json\n";
  ResourceLimits limits;
  limits.max_report_issues = 5;
  const Outcome outcome = validate_text(content, 50, limits);
  ASSERT_EQ(outcome.issues.size(), 5U);
  EXPECT_EQ(outcome.issues[3].message,
            "line 3 is not a strict row object: expected ident at line 1 column 2");
  EXPECT_EQ(outcome.issues[4], (ReportIssue{"verification_report_issue_limit_exceeded",
                                            "verification report issue count exceeded "
                                            "max_report_issues=5"}));
  EXPECT_EQ(outcome.summary->rows_read, 50U);
}

TEST(RowIdentityStream, TheSeenSetKeepsEveryIdentifierAsItGrows) {
  // A pipe has no size to plan for, so the set starts small and is rebuilt many times.
  std::string content = rows(1500);
  std::vector<ReportIssue> expected;
  for (int i = 0; i < 100; ++i) {
    content += row(1500 + i, uuid(i * 15)) + "\n";
    expected.push_back(line_issue("row_identity_duplicate_db_id", 1500 + i, "repeats db_id"));
  }
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_GE(::fcntl(fds[1], F_SETPIPE_SZ, 1 << 20), static_cast<int>(content.size()));
  ASSERT_EQ(::write(fds[1], content.data(), content.size()), static_cast<ssize_t>(content.size()));
  ::close(fds[1]);
  std::vector<ReportIssue> issues;
  struct stat st {};
  ASSERT_EQ(::fstat(fds[0], &st), 0);
  ASSERT_EQ(st.st_size, 0);
  const auto summary =
      validate_jsonl_rows("/dev/fd/" + std::to_string(fds[0]), false, ResourceLimits{}, 1600,
                          issues, FileKindPolicy::AnyReadable);
  ::close(fds[0]);
  ASSERT_TRUE(summary.has_value());
  EXPECT_EQ(issues, expected);
  EXPECT_EQ(summary->sha256, sha256_hex(content));
}

// Reads `content` through a pipe: a pipe has no size to plan for, so the seen set starts small
// and is rebuilt many times as it fills.
Outcome validate_through_pipe(const std::string& content, std::uint64_t declared) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
  if (::fcntl(fds[1], F_SETPIPE_SZ, 1 << 20) < static_cast<int>(content.size()) ||
      ::write(fds[1], content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
    throw std::runtime_error("pipe too small");
  }
  ::close(fds[1]);
  Outcome out{std::unexpected(ManifestError::invalid("not run")), {}};
  out.summary = validate_jsonl_rows("/dev/fd/" + std::to_string(fds[0]), false, ResourceLimits{},
                                    declared, out.issues, FileKindPolicy::AnyReadable);
  ::close(fds[0]);
  return out;
}

// The set keeps the usual lowercase UUID form in a compact form of its own and every other
// identifier as text: two identifiers must still be the same exactly when their texts are.
TEST(RowIdentityStream, IdentifiersRepeatOnlyWhenTheirTextsAreEqual) {
  const std::string a = "0f8fad5b-d9cb-469f-a165-70867728950e";
  const std::string nil = "00000000-0000-0000-0000-000000000000";
  std::string simple = a;
  std::erase(simple, '-');
  // 255 bytes: a length that no single lead byte can carry next to the set's own markers.
  const std::string long_text(255, 'x');
  std::string no_hyphen = a;
  no_hyphen[8] = '0';
  const std::vector<std::string> ids = {
      a,                                       // 0
      upper(a),                                // 1: same UUID, other text
      "{" + a + "}",                           // 2
      "urn:uuid:" + a,                         // 3
      simple,                                  // 4
      nil,                                     // 5
      "0f8fad5b-d9cb-469f-a165-70867728950f",  // 6: one digit apart
      "1f8fad5b-d9cb-469f-a165-70867728950e",  // 7
      "0f8fad5b-d9cb-469f-a165-7086772895e0",  // 8: two digits swapped
      long_text,                               // 9
      nil,                                     // 10: repeats
      a,                                       // 11
      upper(a),                                // 12
      "urn:uuid:" + a,                         // 13
      long_text,                               // 14
      "0f8fad5b-d9cb-469f-a165-70867728950f",  // 15
      no_hyphen,                               // 16: the digits of 0, no UUID
  };
  std::string content;
  for (std::size_t i = 0; i < ids.size(); ++i) content += row(i, ids[i]) + "\n";
  constexpr std::string_view kNoUuid = "db_id must be a UUID in v1";
  std::vector<ReportIssue> expected = {line_issue("row_identity_db_id_invalid_uuid", 9, kNoUuid)};
  for (const int line : {10, 11, 12, 13}) {
    expected.push_back(line_issue("row_identity_duplicate_db_id", line, "repeats db_id"));
  }
  expected.push_back(line_issue("row_identity_db_id_invalid_uuid", 14, kNoUuid));
  expected.push_back(line_issue("row_identity_duplicate_db_id", 14, "repeats db_id"));
  expected.push_back(line_issue("row_identity_duplicate_db_id", 15, "repeats db_id"));
  expected.push_back(line_issue("row_identity_db_id_invalid_uuid", 16, kNoUuid));
  EXPECT_EQ(validate_text(content, ids.size()).issues, expected);
  EXPECT_EQ(validate_through_pipe(content, ids.size()).issues, expected);
}

TEST(RowIdentityStream, EveryFormOfIdentifierSurvivesTheSetGrowing) {
  const auto form = [](int i) {
    const std::string id = uuid(static_cast<std::uint64_t>(i));
    switch (i % 4) {
      case 0:
        return id;
      case 1:
        return upper(id);
      case 2:
        return "{" + id + "}";
      default:
        return std::string(130 + i % 7, 'a') + std::to_string(i);  // no UUID at all
    }
  };
  std::string content;
  std::vector<ReportIssue> expected;
  int line = 0;
  for (; line < 3000; ++line) {
    content += row(line, form(line)) + "\n";
    if (line % 4 == 3) {
      expected.push_back(
          line_issue("row_identity_db_id_invalid_uuid", line, "db_id must be a UUID in v1"));
    }
  }
  for (int i = 0; i < 3000; i += 97, ++line) {
    content += row(line, form(i)) + "\n";
    if (i % 4 == 3) {
      expected.push_back(
          line_issue("row_identity_db_id_invalid_uuid", line, "db_id must be a UUID in v1"));
    }
    expected.push_back(line_issue("row_identity_duplicate_db_id", line, "repeats db_id"));
  }
  const Outcome piped = validate_through_pipe(content, static_cast<std::uint64_t>(line));
  ASSERT_TRUE(piped.summary.has_value());
  EXPECT_EQ(piped.issues, expected);
  EXPECT_EQ(piped.summary->sha256, sha256_hex(content));
}

TEST(RowIdentityStream, UnreadableFilesAreErrorsAndNeverBlock) {
  TempDir dir;
  const Outcome missing = validate(dir.file("absent.jsonl"), 1);
  ASSERT_FALSE(missing.summary.has_value());
  EXPECT_EQ(missing.summary.error().os_errno(), ENOENT);

  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  const Outcome fifo = validate(dir.file("fifo"), 1);
  ASSERT_FALSE(fifo.summary.has_value());
  EXPECT_EQ(fifo.summary.error().display(), dir.file("fifo") + " is not a regular file");

  const Outcome directory = validate(dir.path(), 1);
  ASSERT_FALSE(directory.summary.has_value());
  EXPECT_EQ(directory.summary.error().display(), os_error_text(EISDIR));
}

// ---- the driver's steps ----

class RowIdentityStep : public ::testing::Test {
 protected:
  RowIdentityStep() {
    document_.base_dir = dir_.path();
    document_.manifest.artifact.vector_count = 3;
    RowIdentity& ri = document_.manifest.row_identity;
    ri.kind = RowIdentity::Kind::Jsonl;
    ri.path = "rows.jsonl";
    ri.row_count = 3;
    ri.id_kind = "uuid";
    ri.sha256 = sha256_hex(rows(3));
    dir_.write("rows.jsonl", rows(3));
  }

  VerificationRun run(bool file_step = true) {
    VerificationRun out;
    VerifyContext ctx{document_, options_, out.report, out.capture};
    check_row_identity_declaration(ctx);
    if (file_step) verify_row_identity_file(ctx);
    return out;
  }

  RowIdentity& declared() { return document_.manifest.row_identity; }

  TempDir dir_;
  ManifestDocument document_;
  VerifyOptions options_;
};

TEST_F(RowIdentityStep, DeclarationChecksRunIndependently) {
  declared() = RowIdentity{RowIdentity::Kind::Jsonl, 4, " \t", "ABC", "UUID", RowIdentityDb{}};
  EXPECT_EQ(run(false).report.errors,
            (std::vector<ReportIssue>{
                {"artifact_row_count_mismatch",
                 "artifact.vector_count 3 does not match row_identity.row_count 4"},
                {"row_identity_path_empty", "row_identity.path must be non-empty"},
                {"row_identity_sha256_invalid",
                 "row_identity.sha256 must be a lowercase 64-character hex SHA-256 digest"},
                {"row_identity_id_kind_unsupported", "row_identity.id_kind must be uuid in v1"},
                {"row_identity_db_unsupported",
                 "row_identity.db is reserved for a future schema and is not verified in v1"}}));
}

TEST_F(RowIdentityStep, RowNumbersAsIdentifiersNeedNoFile) {
  declared() = RowIdentity{RowIdentity::Kind::RowIdIdentity, 3, {}, {}, {}, {}};
  const VerificationRun out = run();
  EXPECT_TRUE(out.report.errors.empty());
  EXPECT_EQ(out.report.row_identity.kind, "row_id_identity");
  EXPECT_EQ(out.report.row_identity.row_count, 3U);
  EXPECT_FALSE(out.report.row_identity.manifest_path.has_value());
  EXPECT_FALSE(out.capture.row_identity_path.has_value());
}

TEST_F(RowIdentityStep, ACleanFileFillsTheSectionAndTheCapture) {
  const VerificationRun out = run();
  EXPECT_TRUE(out.report.errors.empty());
  const RowIdentityReport& section = out.report.row_identity;
  EXPECT_EQ(section.kind, "jsonl");
  EXPECT_EQ(section.manifest_path, "rows.jsonl");
  EXPECT_EQ(section.canonical_path, dir_.file("rows.jsonl"));
  EXPECT_EQ(section.sha256, declared().sha256);
  EXPECT_EQ(section.validated_rows, 3U);
  EXPECT_EQ(out.capture.row_identity_path, dir_.file("rows.jsonl"));
}

TEST_F(RowIdentityStep, DigestAndCountMismatchesAfterReading) {
  declared().sha256 = std::string(64, 'a');
  declared().row_count = 5;
  document_.manifest.artifact.vector_count = 5;
  EXPECT_EQ(run().report.errors,
            (std::vector<ReportIssue>{
                {"row_identity_sha256_mismatch", "row_identity SHA-256 was " + sha256_hex(rows(3)) +
                                                     ", manifest declares " + std::string(64, 'a')},
                {"row_identity_row_count_mismatch",
                 "row identity file has 3 rows, manifest declares 5"}}));
}

TEST_F(RowIdentityStep, EarlyStopsSayAtLeastAndAreNotReportedTwice) {
  declared().row_count = 5;
  options_.limits.max_row_map_tracked_id_bytes = 40;
  const VerificationRun stopped = run();
  EXPECT_EQ(stopped.report.errors.back(),
            (ReportIssue{"row_identity_row_count_mismatch",
                         "row identity file has at least 2 rows, manifest declares 5"}));
  EXPECT_FALSE(stopped.report.row_identity.sha256.has_value());
  EXPECT_EQ(stopped.report.row_identity.validated_rows, 2U);

  options_.limits = {};
  declared().row_count = 2;
  const VerificationRun longer = run();
  EXPECT_EQ(longer.report.errors.back(),
            (ReportIssue{"row_identity_row_count_mismatch",
                         "row identity file has more than declared row_count=2"}));
  EXPECT_EQ(std::count_if(
                longer.report.errors.begin(), longer.report.errors.end(),
                [](const ReportIssue& i) { return i.code == "row_identity_row_count_mismatch"; }),
            1);
}

TEST_F(RowIdentityStep, RefusalsBeforeReading) {
  options_.limits.max_row_map_rows = 2;
  const VerificationRun limited = run();
  EXPECT_EQ(limited.report.errors.back(),
            (ReportIssue{"row_identity_row_count_limit_exceeded",
                         "row_identity.row_count 3 exceeds max_row_identity_rows=2"}));
  EXPECT_FALSE(limited.report.row_identity.canonical_path.has_value());

  options_.limits = {};
  declared().path = "../rows.jsonl";
  const VerificationRun escaped = run();
  EXPECT_EQ(escaped.report.errors.back().code, "row_identity_path_escape_rejected");
  EXPECT_FALSE(escaped.report.row_identity.validated_rows.has_value());
  EXPECT_FALSE(escaped.capture.row_identity_path.has_value());

  declared().path = "fifo";
  ASSERT_EQ(::mkfifo(dir_.file("fifo").c_str(), 0600), 0);
  const VerificationRun fifo = run();
  EXPECT_EQ(
      fifo.report.errors.back(),
      (ReportIssue{"row_identity_read_failed", "failed to read row identity file: " +
                                                   dir_.file("fifo") + " is not a regular file"}));
  EXPECT_FALSE(fifo.report.row_identity.validated_rows.has_value());
}

}  // namespace
}  // namespace karnid::manifest
