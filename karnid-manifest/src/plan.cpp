#include "karnid/manifest/plan.hpp"

#include <algorithm>

#include "json_members.hpp"
#include "karnid/manifest/text.hpp"

namespace karnid::manifest {
namespace {

constexpr std::string_view kVerificationFailed = "manifest verification failed";

std::unexpected<VerifiedLoadPlanError> invalid_report(std::string message) {
  return std::unexpected(VerifiedLoadPlanError{VerifiedLoadPlanError::Kind::InvalidReport,
                                               ManifestError::invalid(std::move(message))});
}

// A path as text, or null; the plan writes every key.
void member_path_or_null(json::Writer& w, std::string_view key,
                         const std::optional<std::string>& path) {
  member_or_null(w, key, path ? std::optional(path_to_string(*path)) : std::nullopt);
}

void write_row_identity_plan(json::Writer& w, const VerifiedRowIdentityPlan& r) {
  w.begin_object();
  member_string(w, "kind", r.kind);
  member_path_or_null(w, "path", r.path);
  member_u64(w, "row_count", r.row_count);
  member_or_null(w, "validated_rows", r.validated_rows);
  member_or_null(w, "sha256", r.sha256);
  w.end_object();
}

void write_auxiliary_plan_entry(json::Writer& w, const VerifiedAuxiliaryArtifactPlan& a) {
  w.begin_object();
  member_string(w, "name", a.name);
  member_path_or_null(w, "path", a.path);
  member_bool(w, "required", a.required);
  member_string(w, "state", to_json_name(a.state));
  member_or_null(w, "reason_code", a.reason_code);
  member_or_null(w, "sha256", a.sha256);
  member_or_null(w, "size_bytes", a.size_bytes);
  w.end_object();
}

}  // namespace

std::string verification_failed_message(const VerificationReport& report) {
  std::string message(kVerificationFailed);
  const auto& errors = report.errors;
  if (errors.empty()) return message;
  message += ": ";
  const std::size_t shown = std::min<std::size_t>(errors.size(), 3);
  for (std::size_t i = 0; i < shown; ++i) {
    if (i > 0) message += ", ";
    message += errors[i].code;
  }
  if (errors.size() > 3) message += ", ...";
  return message;
}

std::expected<VerifiedLoadPlan, VerifiedLoadPlanError> build_verified_load_plan(
    const ManifestDocument& document, VerificationRun run) {
  VerificationReport& report = run.report;
  VerificationPathCapture& capture = run.capture;
  if (!capture.artifact_path) {
    return invalid_report("verified report is missing the captured artifact path");
  }
  if (!report.artifact.metadata) {
    return invalid_report("verified report is missing probed artifact metadata");
  }
  if (!report.row_identity.kind) {
    return invalid_report("verified report is missing row identity kind");
  }
  if (!report.row_identity.row_count) {
    return invalid_report("verified report is missing row identity row count");
  }
  VerifiedRowIdentityPlan row_identity;
  row_identity.kind = *report.row_identity.kind;
  row_identity.row_count = *report.row_identity.row_count;
  row_identity.validated_rows = report.row_identity.validated_rows;
  if (row_identity.kind == to_json_name(RowIdentity::Kind::Jsonl)) {
    if (!capture.row_identity_path) {
      return invalid_report("verified report is missing the captured row identity path");
    }
    row_identity.path = capture.row_identity_path;
  } else if (row_identity.kind != to_json_name(RowIdentity::Kind::RowIdIdentity)) {
    return invalid_report("verified report has unsupported row identity kind " +
                          quote_debug(row_identity.kind));
  }
  row_identity.sha256 = report.row_identity.sha256;

  std::vector<VerifiedAuxiliaryArtifactPlan> auxiliary;
  auxiliary.reserve(report.auxiliary_artifacts.size());
  for (std::size_t i = 0; i < report.auxiliary_artifacts.size(); ++i) {
    const AuxiliaryArtifactReport& entry = report.auxiliary_artifacts[i];
    VerifiedAuxiliaryArtifactPlan item;
    switch (entry.state) {
      case AuxiliaryArtifactState::Verified: {
        const bool captured =
            i < capture.auxiliary_artifact_paths.size() && capture.auxiliary_artifact_paths[i];
        if (!captured) {
          return invalid_report("verified auxiliary artifact " + quote_debug(entry.name) +
                                " is missing its captured path");
        }
        item.path = capture.auxiliary_artifact_paths[i];
        break;
      }
      case AuxiliaryArtifactState::OptionalAbsent:
        break;
      case AuxiliaryArtifactState::MissingRequired:
      case AuxiliaryArtifactState::Failed:
        return invalid_report("verified report contains non-loadable auxiliary artifact " +
                              quote_debug(entry.name));
    }
    item.name = entry.name;
    item.required = entry.required;
    item.state = entry.state;
    item.reason_code = entry.reason_code;
    item.sha256 = entry.sha256;
    item.size_bytes = entry.size_bytes;
    auxiliary.push_back(std::move(item));
  }

  VerifiedLoadPlan plan;
  plan.manifest_path = document.document_path;
  plan.artifact_path = std::move(*capture.artifact_path);
  plan.metadata = *report.artifact.metadata;
  plan.row_identity = std::move(row_identity);
  plan.auxiliary_artifacts = std::move(auxiliary);
  plan.report = std::move(report);
  return plan;
}

std::expected<VerifiedLoadPlan, VerifiedLoadPlanError> verify_for_load(std::string manifest_path,
                                                                       VerifyOptions options) {
  const std::uint64_t max_manifest_bytes = options.limits.max_manifest_bytes;
  auto document = load_manifest_file_with_options(std::move(manifest_path), max_manifest_bytes);
  if (!document) {
    return std::unexpected(VerifiedLoadPlanError{VerifiedLoadPlanError::Kind::ManifestFailure,
                                                 std::move(document.error())});
  }
  VerificationRun run = verify_manifest_with_path_capture(*document, std::move(options));
  if (!run.report.ok) {
    return std::unexpected(
        VerifiedLoadPlanError{VerifiedLoadPlanError::Kind::VerificationFailed,
                              ManifestError::invalid(verification_failed_message(run.report))});
  }
  return build_verified_load_plan(*document, std::move(run));
}

std::string to_compact_json(const VerifiedLoadPlan& plan) {
  std::string out;
  out.reserve(2048);
  json::Writer w(out, json::Writer::Style::Compact);
  w.begin_object();
  member_path_or_null(w, "manifest_path", plan.manifest_path);
  member_string(w, "artifact_path", path_to_string(plan.artifact_path));
  w.key("metadata");
  write_json(w, plan.metadata);
  w.key("row_identity");
  write_row_identity_plan(w, plan.row_identity);
  w.key("auxiliary_artifacts");
  w.begin_array();
  for (const VerifiedAuxiliaryArtifactPlan& a : plan.auxiliary_artifacts) {
    write_auxiliary_plan_entry(w, a);
  }
  w.end_array();
  w.key("report");
  write_json(w, plan.report);
  w.end_object();
  return out;
}

}  // namespace karnid::manifest
