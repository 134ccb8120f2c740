// Manifest bytes. Loading either fails with a kind of error the loader may produce, or yields a
// manifest that is written and read back unchanged in both layouts. A manifest that loads is then
// verified with its base in an empty scratch directory (default path policy, so nothing outside
// it is reachable): every field check runs, and the report must stay within its issue bound and
// serialise to valid JSON.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "karnid/manifest/io.hpp"
#include "karnid/manifest/json.hpp"
#include "karnid/manifest/limits.hpp"
#include "karnid/manifest/plan.hpp"
#include "karnid/manifest/report.hpp"
#include "karnid/manifest/schema.hpp"
#include "karnid/manifest/verify.hpp"

namespace {

using karnid::fuzz::ScratchDir;
using karnid::fuzz::ScratchFile;
namespace json = karnid::json;
namespace km = karnid::manifest;

constexpr std::uint64_t kReportBound = 6;

// Any JSON text that parses is written back by the generic writer and parses to an equal value.
void check_generic_round_trip(std::string_view text) {
  const auto value = json::parse(text);
  if (!value) {
    FUZZ_CHECK(value.error().position.line >= 1);
    FUZZ_CHECK(!value.error().message.empty());
    return;
  }
  std::string written;
  json::append_value(written, *value);
  const auto reread = json::parse(written);
  FUZZ_CHECK(reread.has_value());
  FUZZ_CHECK(*reread == *value);
}

void check_manifest_round_trip(const km::IndexManifest& manifest) {
  std::string forms[2];
  int i = 0;
  for (const auto style : {json::Writer::Style::Compact, json::Writer::Style::Pretty}) {
    const std::string written = km::serialize_manifest(manifest, style);
    const auto reread = km::parse_manifest(written);
    FUZZ_CHECK(reread.has_value());
    FUZZ_CHECK(km::serialize_manifest(*reread, style) == written);
    forms[i++] = written;
  }
  const auto compact = json::parse(forms[0]);
  const auto pretty = json::parse(forms[1]);
  FUZZ_CHECK(compact.has_value() && pretty.has_value() && *compact == *pretty);
}

void check_verification(km::ManifestDocument document) {
  km::VerifyOptions options;
  options.limits.max_report_issues = kReportBound;
  km::VerificationRun run = km::verify_manifest_with_path_capture(document, options);
  const km::VerificationReport& report = run.report;
  FUZZ_CHECK(report.errors.size() <= kReportBound);
  FUZZ_CHECK(report.ok == report.errors.empty());
  const auto report_json = json::parse(km::to_compact_json(report));
  FUZZ_CHECK(report_json.has_value());
  FUZZ_CHECK(report_json->find("errors") != nullptr);
  // Nothing in an empty directory can verify, so planning must refuse.
  const auto plan = km::build_verified_load_plan(document, std::move(run));
  FUZZ_CHECK(!plan.has_value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ScratchDir base;
  static ScratchFile file(base.path(), "manifest.json");
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check_generic_round_trip(text);

  file.write(text);
  auto loaded = km::load_manifest_file_with_options(file.path(), km::kDefaultMaxManifestBytes);
  const auto parsed = km::parse_manifest(text);
  if (size > km::kDefaultMaxManifestBytes) {
    FUZZ_CHECK(!loaded.has_value());
    FUZZ_CHECK(loaded.error().kind() == km::ManifestError::Kind::Coded);
    FUZZ_CHECK(loaded.error().code() == "manifest_file_too_large");
    return 0;
  }
  FUZZ_CHECK(loaded.has_value() == parsed.has_value());
  if (!loaded) {
    FUZZ_CHECK(loaded.error().kind() == km::ManifestError::Kind::Json);
    FUZZ_CHECK(loaded.error().line() >= 1);
    FUZZ_CHECK(loaded.error().display() == parsed.error().display());
    return 0;
  }
  FUZZ_CHECK(loaded->base_dir == base.path());
  check_manifest_round_trip(loaded->manifest);
  check_verification(std::move(*loaded));
  return 0;
}
