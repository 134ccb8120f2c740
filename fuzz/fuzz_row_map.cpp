// Row-map bytes. The first bytes of the input choose small limits (line length, rows, tracked
// identifier bytes, issue bound, declared row count, duplicate policy); the rest is the file.
// Both line readers must agree exactly, the issue list must stay within its bound, and a digest
// may only be reported for a file read to its end.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "karnid/manifest/limits.hpp"
#include "karnid/manifest/report.hpp"
#include "karnid/manifest/row_identity.hpp"
#include "karnid/manifest/row_map.hpp"
#include "karnid/manifest/sha256.hpp"

namespace {

using karnid::fuzz::ScratchDir;
using karnid::fuzz::ScratchFile;
namespace km = karnid::manifest;

constexpr std::size_t kParameterBytes = 6;
constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

struct Setup {
  km::ResourceLimits limits;
  std::uint64_t declared = 0;
  bool allow_duplicates = false;
};

Setup setup_from(std::string_view head) {
  std::array<unsigned char, kParameterBytes> p{};
  std::copy(head.begin(), head.end(), p.begin());
  // 0xFF stands for "no practical limit", so that long files reach the read-buffer boundaries.
  Setup s;
  s.limits.max_report_issues = p[0] % 8;
  s.limits.max_row_map_line_bytes = p[1] == 0xFF ? 65536 : p[1];
  s.limits.max_row_map_rows = p[2] == 0xFF ? kUnlimited : p[2] % 64;
  s.limits.max_row_map_tracked_id_bytes = p[3] == 0xFF ? kUnlimited : std::uint64_t{p[3]} * 4;
  s.declared = p[4] == 0xFF ? kUnlimited : p[4] % 64;
  s.allow_duplicates = (p[5] & 1) != 0;
  return s;
}

std::uint64_t line_count(std::string_view content) {
  const auto feeds = static_cast<std::uint64_t>(std::count(content.begin(), content.end(), '\n'));
  return feeds + (!content.empty() && content.back() != '\n' ? 1 : 0);
}

bool is_known_code(std::string_view code) {
  static constexpr std::string_view kCodes[] = {"row_identity_row_count_limit_exceeded",
                                                "row_identity_row_count_mismatch",
                                                "row_identity_line_too_large",
                                                "row_identity_jsonl_invalid_json",
                                                "row_identity_row_id_mismatch",
                                                "row_identity_db_id_empty",
                                                "row_identity_db_id_contains_nul",
                                                "row_identity_db_id_invalid_uuid",
                                                "row_identity_parent_id_empty",
                                                "row_identity_parent_id_contains_nul",
                                                "row_identity_parent_id_invalid_uuid",
                                                "row_identity_duplicate_db_id",
                                                "row_identity_duplicate_tracking_limit_exceeded",
                                                km::kIssueLimitCode};
  return std::find(std::begin(kCodes), std::end(kCodes), code) != std::end(kCodes);
}

// The quick recogniser may decline any line, but what it accepts the strict reader must read the
// same way.
void check_line_readers(std::string_view content) {
  std::size_t start = 0;
  for (int lines = 0; start <= content.size() && lines < 64; ++lines) {
    std::size_t end = content.find('\n', start);
    if (end == std::string_view::npos) end = content.size();
    std::string_view line = content.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (const auto quick = km::parse_jsonl_row_fast(line)) {
      const auto strict = km::parse_jsonl_row(line);
      FUZZ_CHECK(strict.has_value());
      FUZZ_CHECK(strict->row_id == quick->row_id);
      FUZZ_CHECK(strict->db_id == quick->db_id);
      FUZZ_CHECK(strict->parent_id.has_value() == quick->parent_id.has_value());
      FUZZ_CHECK(!strict->parent_id || *strict->parent_id == *quick->parent_id);
    }
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ScratchDir dir;
  static ScratchFile file(dir.path(), "rows.jsonl");
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const Setup s = setup_from(input.substr(0, std::min(size, kParameterBytes)));
  const std::string_view content = size > kParameterBytes ? input.substr(kParameterBytes) : "";
  file.write(content);
  check_line_readers(content);

  std::vector<km::ReportIssue> fast_errors;
  std::vector<km::ReportIssue> strict_errors;
  const auto fast = km::validate_jsonl_rows_with(
      file.path(), s.allow_duplicates, s.limits, s.declared, fast_errors,
      km::FileKindPolicy::RegularOnly, km::RowParsing::Fast);
  const auto strict = km::validate_jsonl_rows_with(
      file.path(), s.allow_duplicates, s.limits, s.declared, strict_errors,
      km::FileKindPolicy::RegularOnly, km::RowParsing::StrictOnly);
  FUZZ_CHECK(fast.has_value() && strict.has_value());
  FUZZ_CHECK(fast_errors == strict_errors);
  FUZZ_CHECK(fast->sha256 == strict->sha256);
  FUZZ_CHECK(fast->rows_read == strict->rows_read);
  FUZZ_CHECK(fast->parsed_rows == strict->parsed_rows);

  const std::uint64_t bound = std::max<std::uint64_t>(s.limits.max_report_issues, 1);
  FUZZ_CHECK(fast_errors.size() <= bound);
  const auto limit_issues =
      std::count_if(fast_errors.begin(), fast_errors.end(),
                    [](const km::ReportIssue& issue) { return issue.code == km::kIssueLimitCode; });
  FUZZ_CHECK(limit_issues <= 1);
  FUZZ_CHECK(limit_issues == 0 || fast_errors.back().code == km::kIssueLimitCode);
  for (const km::ReportIssue& issue : fast_errors) {
    FUZZ_CHECK(is_known_code(issue.code));
    FUZZ_CHECK(karnid::fuzz::is_utf8(issue.message));
  }

  FUZZ_CHECK(fast->parsed_rows <= fast->rows_read);
  const std::uint64_t row_bound = std::min(s.limits.max_row_map_rows, s.declared);
  FUZZ_CHECK(row_bound == kUnlimited || fast->rows_read <= row_bound + 1);
  FUZZ_CHECK(fast->rows_read <= line_count(content));
  if (fast->sha256) {
    FUZZ_CHECK(*fast->sha256 == km::Sha256::hex_of(content));
    FUZZ_CHECK(fast->rows_read == line_count(content));
  }
  return 0;
}
