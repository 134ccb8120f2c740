// Auxiliary artifact verification: the declaration checks of the manifest's entries, and the file
// step that resolves, hashes and records every entry in a fixed order.
//
// The file step resolves through resolve_under_policy like every other step, but words its own
// refusals: its messages name the artifact, a missing optional file is not an error, each entry
// ends in one of four states, and the base directory is canonicalised once for all entries (and
// not at all when escapes are allowed).
#include "karnid/manifest/auxiliary.hpp"

#include <algorithm>
#include <cerrno>
#include <set>

#include "karnid/manifest/io.hpp"
#include "karnid/manifest/paths.hpp"
#include "karnid/manifest/text.hpp"
#include "verify_steps.hpp"

namespace karnid::manifest {
namespace {

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
constexpr std::string_view kHashFailed = "auxiliary_artifact_hash_failed";
constexpr std::string_view kSha256Mismatch = "auxiliary_artifact_sha256_mismatch";
constexpr std::string_view kFileSizeMismatch = "auxiliary_artifact_file_size_mismatch";

// Adds the count issue once, whichever phase finds the list too long first.
bool over_count_limit(VerifyContext& ctx) {
  const std::vector<AuxiliaryArtifact>& entries = ctx.manifest().auxiliary_artifacts;
  const std::uint64_t max = ctx.limits().max_auxiliary_artifacts;
  if (entries.size() <= max) return false;
  if (!has_issue_code(ctx.report.errors, kAuxiliaryCountLimitCode)) {
    push_report_issue_bounded(ctx.report.errors, ctx.limits().max_report_issues,
                              kAuxiliaryCountLimitCode,
                              auxiliary_count_limit_message(entries.size(), max));
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

std::string base_dir_unavailable_message(std::string_view base_dir,
                                         const AuxiliaryArtifact& artifact,
                                         const ManifestError& error) {
  return "failed to canonicalize base_dir " + display_path(base_dir) + " for auxiliary artifact " +
         quote_debug(artifact.name) + ": " + error.display();
}

// Records why resolution refused an entry's path.
void refuse_entry(VerificationReport& report, const AuxiliaryArtifact& artifact,
                  std::string_view base_dir, const PathRefusal& refusal,
                  AuxiliaryArtifactReport& entry) {
  const std::string name = quote_debug(artifact.name);
  const std::string& path = artifact.path;
  const auto reject = [&](std::string_view code, std::string message) {
    report.error(code, std::move(message));
    set_reason(entry, code);
  };
  switch (refusal.step) {
    case PathRefusal::Step::AbsolutePath:
      reject(kAbsolutePathRejected, "absolute auxiliary artifact path " + display_path(path) +
                                        " for " + name + " is rejected by default");
      return;
    case PathRefusal::Step::BaseDirUnavailable:
      reject(kBaseDirUnavailable, base_dir_unavailable_message(base_dir, artifact, *refusal.error));
      return;
    case PathRefusal::Step::EscapesLexically:
      reject(kPathEscapeRejected, "relative auxiliary artifact path " + display_path(path) +
                                      " for " + name + " escapes the manifest base");
      return;
    case PathRefusal::Step::Unavailable:
      // ENOENT, for the file or a directory above it, means the artifact is not there. ENOTDIR
      // (a file used as a directory) and everything else mean the path itself is broken.
      if (refusal.error->os_errno() != ENOENT) {
        reject(kPathUnavailable, "failed to canonicalize auxiliary artifact " + name + " at " +
                                     display_path(refusal.candidate) + ": " +
                                     refusal.error->display());
      } else if (artifact.required) {
        reject(kMissingRequired, "required auxiliary artifact " + name + " is missing at " +
                                     display_path(refusal.candidate));
        entry.state = AuxiliaryArtifactState::MissingRequired;
      } else {
        entry.state = AuxiliaryArtifactState::OptionalAbsent;
        set_reason(entry, kOptionalAbsent);
      }
      return;
    case PathRefusal::Step::OutsideBase:
      reject(kPathEscapeRejected,
             "canonical auxiliary artifact path " + display_path(refusal.canonical) + " for " +
                 name + " is outside manifest base " + display_path(refusal.canonical_base));
      return;
  }
}

// Hashes the file at its canonical path under the byte limit and compares digest and size with
// the entry; the state becomes "verified" when nothing failed.
void hash_entry(VerifyContext& ctx, const AuxiliaryArtifact& artifact, const std::string& canonical,
                AuxiliaryArtifactReport& entry) {
  VerificationReport& report = ctx.report;
  const std::string name = quote_debug(artifact.name);
  FileRead read;
  auto digest = sha256_file_bounded(canonical, ctx.limits().max_auxiliary_artifact_bytes,
                                    kAuxiliaryFileTooLargeCode, kAuxiliaryLabel,
                                    FileKindPolicy::RegularOnly, &read, ctx.cancel);
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
    return;
  }
  ctx.capture.reads.push_back({ReadRole::AuxiliaryArtifact, artifact.name, canonical, read});

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
}

// One entry of the file step; returns the canonical path once it is known to be acceptable.
std::optional<std::string> verify_entry(VerifyContext& ctx, const AuxiliaryArtifact& artifact,
                                        CanonicalBase& base, AuxiliaryArtifactReport& entry) {
  if (is_blank(artifact.path)) {
    set_reason(entry, kPathEmpty);
    return std::nullopt;
  }
  const PathPolicy policy{ctx.options.allow_absolute_paths, ctx.options.allow_path_escape};
  auto canonical = resolve_under_policy(artifact.path, ctx.base_dir(), policy, base);
  if (!canonical) {
    refuse_entry(ctx.report, artifact, ctx.base_dir(), canonical.error(), entry);
    return std::nullopt;
  }
  entry.canonical_path = display_path(*canonical);
  hash_entry(ctx, artifact, *canonical, entry);
  return std::move(*canonical);
}

// Without the canonical base no entry can be placed: each one fails on it (a blank path on
// being blank), and no file is looked at.
void report_base_unavailable(VerifyContext& ctx, const std::vector<const AuxiliaryArtifact*>& order,
                             const ManifestError& error) {
  for (const AuxiliaryArtifact* artifact : order) {
    AuxiliaryArtifactReport entry = auxiliary_artifact_report_entry(*artifact, ctx.base_dir());
    if (is_blank(artifact->path)) {
      set_reason(entry, kPathEmpty);
    } else {
      ctx.report.error(kBaseDirUnavailable,
                       base_dir_unavailable_message(ctx.base_dir(), *artifact, error));
      set_reason(entry, kBaseDirUnavailable);
    }
    ctx.report.auxiliary_artifacts.push_back(std::move(entry));
    ctx.capture.auxiliary_artifact_paths.emplace_back(std::nullopt);
  }
}

}  // namespace

std::string auxiliary_count_limit_message(std::size_t count, std::uint64_t max) {
  return "auxiliary_artifacts has " + decimal(count) +
         " entries, exceeding max_auxiliary_artifacts=" + decimal(max);
}

std::string auxiliary_name_duplicate_message(std::string_view trimmed_name) {
  return "auxiliary artifact name " + quote_debug(trimmed_name) + " is duplicated";
}

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
      report.error(kNameEmpty, std::string(kAuxiliaryNameEmptyMessage));
    } else if (trimmed.size() != artifact.name.size()) {
      report.error(kNameNotTrimmed, "auxiliary artifact name " + name +
                                        " must not have leading or trailing whitespace");
    } else if (!names.insert(trimmed).second) {
      report.error(kNameDuplicate, auxiliary_name_duplicate_message(trimmed));
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

  // Escapes allowed, nothing is compared with the base, and it is never canonicalised.
  CanonicalBase base =
      ctx.options.allow_path_escape ? CanonicalBase::unchecked() : CanonicalBase(ctx.base_dir());
  if (auto canonical_base = base.get(); !canonical_base) {
    report_base_unavailable(ctx, order, canonical_base.error());
    return;
  }
  for (const AuxiliaryArtifact* artifact : order) {
    AuxiliaryArtifactReport entry = auxiliary_artifact_report_entry(*artifact, ctx.base_dir());
    std::optional<std::string> captured = verify_entry(ctx, *artifact, base, entry);
    report.auxiliary_artifacts.push_back(std::move(entry));
    ctx.capture.auxiliary_artifact_paths.push_back(std::move(captured));
  }
}

}  // namespace karnid::manifest
