// The check routines that the driver's own field checks and the steps share: blank and digest
// rules, metric specs, the encoder identity comparison, and the file check of a profile.
#include <string>

#include "karnid/manifest/io.hpp"
#include "karnid/manifest/text.hpp"
#include "verify_steps.hpp"

namespace karnid::manifest {

void require_non_blank(VerificationReport& report, std::string_view value, std::string_view code,
                       std::string_view message) {
  if (is_blank(value)) report.error(code, std::string(message));
}

void require_non_blank_when_present(VerificationReport& report,
                                    const std::optional<std::string>& value, std::string_view code,
                                    std::string_view message) {
  if (value) require_non_blank(report, *value, code, message);
}

void validate_optional_sha256_uri(std::string_view code, std::string_view message,
                                  const std::optional<std::string>& value,
                                  std::vector<ReportIssue>& errors) {
  if (value && !is_prefixed_digest(*value)) {
    errors.push_back({std::string(code), std::string(message)});
  }
}

void validate_metric_spec(std::string_view prefix, const MetricSpec& spec,
                          std::vector<ReportIssue>& errors) {
  const std::string p(prefix);
  if (is_blank(spec.name)) errors.push_back({p + "_name_empty", p + ".name must be non-empty"});
  if (spec.version && is_blank(*spec.version)) {
    errors.push_back({p + "_version_empty", p + ".version must be non-empty when present"});
  }
  validate_optional_sha256_uri(p + "_digest_invalid",
                               p + ".digest must be sha256:<lowercase-hex> when present",
                               spec.digest, errors);
}

void compare_optional_encoder_identity(std::string_view code, std::string_view label,
                                       std::string_view field,
                                       const std::optional<std::string>& profile_value,
                                       const std::optional<std::string>& embedding_value,
                                       std::vector<ReportIssue>& errors) {
  if (profile_value == embedding_value) return;
  errors.push_back({std::string(code), std::string(label) + " " + std::string(field) +
                                           " does not match embedding." + std::string(field)});
}

void check_profile_file(VerifyContext& ctx, std::string_view path, std::string_view declared_sha256,
                        std::uint64_t declared_size, const ProfileFileTarget& target) {
  VerificationReport& report = ctx.report;
  auto canonical =
      resolve_existing_path(path, ctx.base_dir(), ctx.options.allow_absolute_paths,
                            ctx.options.allow_path_escape, target.issue_prefix, report.errors);
  if (!canonical) return;
  target.report_canonical_path = display_path(*canonical);
  target.captured_path = *canonical;

  const std::string prefix(target.issue_prefix);
  const std::string label(target.label);
  // Regular files only: a FIFO planted at the profile path would otherwise block the run.
  FileRead read;
  auto digest = sha256_file_bounded(*canonical, target.limit, std::string(target.too_large_code),
                                    label, FileKindPolicy::RegularOnly, &read, ctx.cancel);
  if (!digest) {
    const ManifestError& error = digest.error();
    if (error.kind() == ManifestError::Kind::Coded) {
      report.error(error.code(), error.display());
    } else {
      report.error(prefix + "_hash_failed", "failed to hash " + label + ": " + error.display());
    }
    return;
  }
  ctx.capture.reads.push_back({target.role, std::nullopt, *canonical, std::move(read)});
  target.report_sha256 = digest->sha256;
  target.report_size_bytes = digest->size_bytes;
  if (digest->sha256 != declared_sha256) {
    report.error(prefix + "_sha256_mismatch", label + " SHA-256 was " + digest->sha256 +
                                                  ", manifest declares " +
                                                  std::string(declared_sha256));
  }
  if (digest->size_bytes != declared_size) {
    report.error(prefix + "_file_size_mismatch",
                 label + " size was " + decimal(digest->size_bytes) + ", manifest declares " +
                     decimal(declared_size));
  }
}

}  // namespace karnid::manifest
