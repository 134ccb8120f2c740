// Auxiliary artifact verification: the declaration checks of the manifest's entries, and the file
// step that resolves, hashes and records every entry in a fixed order.
//
// The file step has its own path walk rather than resolve_existing_path: its messages name the
// artifact, a missing optional file is not an error, and each entry ends in one of four states.
#include "karnid/manifest/auxiliary.hpp"

#include <algorithm>
#include <cerrno>
#include <set>

#include "karnid/manifest/io.hpp"
#include "karnid/manifest/paths.hpp"
#include "karnid/manifest/text.hpp"
#include "karnid/manifest/verify.hpp"

namespace karnid::manifest {
namespace {

constexpr std::string_view kCountLimitExceeded = "auxiliary_artifact_count_limit_exceeded";
constexpr std::string_view kNameEmpty = "auxiliary_artifact_name_empty";
constexpr std::string_view kNameNotTrimmed = "auxiliary_artifact_name_not_trimmed";
constexpr std::string_view kNameDuplicate = "auxiliary_artifact_name_duplicate";
constexpr std::string_view kPathEmpty = "auxiliary_artifact_path_empty";
constexpr std::string_view kSha256Invalid = "auxiliary_artifact_sha256_invalid";
constexpr std::string_view kBaseDirUnavailable = "auxiliary_artifact_base_dir_unavailable";
constexpr std::string_view kAbsolutePathRejected = "auxiliary_artifact_absolute_path_rejected";
constexpr std::string_view kPathEscapeRejected = "auxiliary_artifact_path_escape_rejected";
constexpr std::string_view kMissingRequired = "auxiliary_artifact_missing_required";
constexpr std::string_view kOptionalAbsent = "auxiliary_artifact_optional_absent";
constexpr std::string_view kPathUnavailable = "auxiliary_artifact_path_unavailable";
constexpr std::string_view kFileTooLarge = "auxiliary_artifact_file_too_large";
constexpr std::string_view kHashFailed = "auxiliary_artifact_hash_failed";
constexpr std::string_view kSha256Mismatch = "auxiliary_artifact_sha256_mismatch";
constexpr std::string_view kFileSizeMismatch = "auxiliary_artifact_file_size_mismatch";
constexpr std::string_view kReadLabel = "auxiliary artifact";

std::string count_limit_message(std::size_t count, std::uint64_t max) {
  return "auxiliary_artifacts has " + decimal(count) +
         " entries, exceeding max_auxiliary_artifacts=" + decimal(max);
}

// Adds the count issue once, whichever phase finds the list too long first.
bool over_count_limit(VerifyContext& ctx) {
  const std::vector<AuxiliaryArtifact>& entries = ctx.manifest().auxiliary_artifacts;
  const std::uint64_t max = ctx.limits().max_auxiliary_artifacts;
  if (entries.size() <= max) return false;
  if (!has_issue_code(ctx.report.errors, kCountLimitExceeded)) {
    push_report_issue_bounded(ctx.report.errors, ctx.limits().max_report_issues,
                              kCountLimitExceeded, count_limit_message(entries.size(), max));
  }
  return true;
}

// Name, then path (both by bytes), then optional before required; manifest order among equals.
std::vector<const AuxiliaryArtifact*> report_order(const std::vector<AuxiliaryArtifact>& entries) {
  std::vector<const AuxiliaryArtifact*> order;
  order.reserve(entries.size());
  for (const AuxiliaryArtifact& entry : entries) order.push_back(&entry);
  std::stable_sort(order.begin(), order.end(),
                   [](const AuxiliaryArtifact* a, const AuxiliaryArtifact* b) {
                     if (a->name != b->name) return a->name < b->name;
                     if (a->path != b->path) return a->path < b->path;
                     return !a->required && b->required;
                   });
  return order;
}

void set_reason(AuxiliaryArtifactReport& entry, std::string_view code) {
  if (!entry.reason_code) entry.reason_code = std::string(code);
}

// One entry of the file step; returns the canonical path once it is known to be acceptable.
std::optional<std::string> verify_entry(VerifyContext& ctx, const AuxiliaryArtifact& artifact,
                                        const std::optional<std::string>& canonical_base,
                                        AuxiliaryArtifactReport& entry) {
  const VerifyOptions& options = ctx.options;
  VerificationReport& report = ctx.report;
  const std::string name = quote_debug(artifact.name);
  const std::string& path = artifact.path;

  if (is_blank(path)) {
    set_reason(entry, kPathEmpty);
    return std::nullopt;
  }
  const bool absolute = is_absolute_path(path);
  if (absolute && !options.allow_absolute_paths) {
    report.error(kAbsolutePathRejected, "absolute auxiliary artifact path " + display_path(path) +
                                            " for " + name + " is rejected by default");
    set_reason(entry, kAbsolutePathRejected);
    return std::nullopt;
  }
  if (!absolute && !options.allow_path_escape && path_escapes_lexically(path)) {
    report.error(kPathEscapeRejected, "relative auxiliary artifact path " + display_path(path) +
                                          " for " + name + " escapes the manifest base");
    set_reason(entry, kPathEscapeRejected);
    return std::nullopt;
  }

  const std::string full_path = join_path(ctx.base_dir(), path);
  auto canonical = canonicalize(full_path);
  if (!canonical) {
    // ENOENT, for the file or a directory above it, means the artifact is not there. ENOTDIR (a
    // file used as a directory) and everything else mean the path itself is broken.
    if (canonical.error().os_errno() == ENOENT) {
      if (artifact.required) {
        report.error(kMissingRequired, "required auxiliary artifact " + name + " is missing at " +
                                           display_path(full_path));
        entry.state = AuxiliaryArtifactState::MissingRequired;
        set_reason(entry, kMissingRequired);
      } else {
        entry.state = AuxiliaryArtifactState::OptionalAbsent;
        set_reason(entry, kOptionalAbsent);
      }
      return std::nullopt;
    }
    report.error(kPathUnavailable, "failed to canonicalize auxiliary artifact " + name + " at " +
                                       display_path(full_path) + ": " +
                                       canonical.error().display());
    set_reason(entry, kPathUnavailable);
    return std::nullopt;
  }
  if (canonical_base && !path_is_within(*canonical, *canonical_base)) {
    report.error(kPathEscapeRejected,
                 "canonical auxiliary artifact path " + display_path(*canonical) + " for " + name +
                     " is outside manifest base " + display_path(*canonical_base));
    set_reason(entry, kPathEscapeRejected);
    return std::nullopt;
  }

  entry.canonical_path = display_path(*canonical);
  auto digest = sha256_file_bounded(*canonical, ctx.limits().max_auxiliary_artifact_bytes,
                                    kFileTooLarge, kReadLabel, FileKindPolicy::RegularOnly);
  if (!digest) {
    const ManifestError& error = digest.error();
    if (error.kind() == ManifestError::Kind::Coded) {
      report.error(error.code(), error.display());
      set_reason(entry, error.code());
    } else {
      report.error(kHashFailed,
                   "failed to hash auxiliary artifact " + name + ": " + error.display());
      set_reason(entry, kHashFailed);
    }
    return std::move(*canonical);
  }

  entry.sha256 = digest->sha256;
  entry.size_bytes = digest->size_bytes;
  if (digest->sha256 != artifact.sha256) {
    report.error(kSha256Mismatch, "auxiliary artifact " + name + " SHA-256 was " + digest->sha256 +
                                      ", manifest declares " + artifact.sha256);
    set_reason(entry, kSha256Mismatch);
  }
  if (digest->size_bytes != artifact.file_size_bytes) {
    report.error(kFileSizeMismatch, "auxiliary artifact " + name + " size was " +
                                        decimal(digest->size_bytes) + ", manifest declares " +
                                        decimal(artifact.file_size_bytes));
    set_reason(entry, kFileSizeMismatch);
  }
  if (!entry.reason_code) entry.state = AuxiliaryArtifactState::Verified;
  return std::move(*canonical);
}

}  // namespace

AuxiliaryArtifactReport auxiliary_artifact_report_entry(const AuxiliaryArtifact& artifact,
                                                        std::string_view base_dir) {
  AuxiliaryArtifactReport entry;
  entry.name = artifact.name;
  entry.manifest_path = artifact.path;
  if (!is_blank(artifact.path))
    entry.resolved_path = display_path(join_path(base_dir, artifact.path));
  entry.expected_sha256 = artifact.sha256;
  entry.expected_size_bytes = artifact.file_size_bytes;
  entry.required = artifact.required;
  entry.state = AuxiliaryArtifactState::Failed;
  return entry;
}

void check_auxiliary_declarations(VerifyContext& ctx) {
  if (over_count_limit(ctx)) return;
  VerificationReport& report = ctx.report;
  std::set<std::string_view> names;
  for (const AuxiliaryArtifact& artifact : ctx.manifest().auxiliary_artifacts) {
    const std::string_view trimmed = trim_unicode(artifact.name);
    const std::string name = quote_debug(trimmed);
    if (trimmed.empty()) {
      report.error(kNameEmpty, "auxiliary artifact name must be non-empty");
    } else if (trimmed.size() != artifact.name.size()) {
      report.error(kNameNotTrimmed, "auxiliary artifact name " + name +
                                        " must not have leading or trailing whitespace");
    } else if (!names.insert(trimmed).second) {
      report.error(kNameDuplicate, "auxiliary artifact name " + name + " is duplicated");
    }
    if (is_blank(artifact.path)) {
      report.error(kPathEmpty, "auxiliary artifact " + name + " path must be non-empty");
    }
    if (!is_hex_digest(artifact.sha256)) {
      report.error(kSha256Invalid, "auxiliary artifact " + name +
                                       " sha256 must be a lowercase 64-character hex SHA-256 "
                                       "digest");
    }
  }
}

void verify_auxiliary_files(VerifyContext& ctx) {
  if (over_count_limit(ctx)) return;
  const std::vector<const AuxiliaryArtifact*> order =
      report_order(ctx.manifest().auxiliary_artifacts);
  VerificationReport& report = ctx.report;

  std::optional<std::string> canonical_base;
  if (!ctx.options.allow_path_escape) {
    auto base = canonicalize(ctx.base_dir());
    if (!base) {
      for (const AuxiliaryArtifact* artifact : order) {
        AuxiliaryArtifactReport entry = auxiliary_artifact_report_entry(*artifact, ctx.base_dir());
        if (is_blank(artifact->path)) {
          set_reason(entry, kPathEmpty);
        } else {
          report.error(kBaseDirUnavailable,
                       "failed to canonicalize base_dir " + display_path(ctx.base_dir()) +
                           " for auxiliary artifact " + quote_debug(artifact->name) + ": " +
                           base.error().display());
          set_reason(entry, kBaseDirUnavailable);
        }
        report.auxiliary_artifacts.push_back(std::move(entry));
        ctx.capture.auxiliary_artifact_paths.emplace_back(std::nullopt);
      }
      return;
    }
    canonical_base = std::move(*base);
  }

  for (const AuxiliaryArtifact* artifact : order) {
    AuxiliaryArtifactReport entry = auxiliary_artifact_report_entry(*artifact, ctx.base_dir());
    std::optional<std::string> captured = verify_entry(ctx, *artifact, canonical_base, entry);
    report.auxiliary_artifacts.push_back(std::move(entry));
    ctx.capture.auxiliary_artifact_paths.push_back(std::move(captured));
  }
}

}  // namespace karnid::manifest
