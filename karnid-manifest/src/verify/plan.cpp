#include "karnid/manifest/plan.hpp"

#include <algorithm>

#include "json_members.hpp"
#include "karnid/manifest/text.hpp"

namespace karnid::manifest {
namespace {

constexpr std::string_view kVerificationFailed = "manifest verification failed";

std::unexpected<VerifiedLoadPlanError> invalid_report(std::string message) {
  return std::unexpected(VerifiedLoadPlanError{
      VerifiedLoadPlanError::Kind::InvalidReport,
      ManifestError::refusal(ManifestError::Detail::InconsistentReport, std::move(message))});
}

// A path as text, or null; the plan writes every key.
void member_path_or_null(json::Writer& w, std::string_view key,
                         const std::optional<std::string>& path) {
  member_or_null(w, key, path ? std::optional(path_to_string(*path)) : std::nullopt);
}

// The row identity as the loader needs it: a jsonl map only with its captured path.
std::expected<VerifiedRowIdentityPlan, VerifiedLoadPlanError> row_identity_plan(
    const RowIdentityReport& section, const VerificationPathCapture& capture) {
  if (!section.kind) return invalid_report("verified report is missing row identity kind");
  if (!section.row_count) {
    return invalid_report("verified report is missing row identity row count");
  }
  VerifiedRowIdentityPlan plan;
  plan.kind = *section.kind;
  plan.row_count = *section.row_count;
  plan.validated_rows = section.validated_rows;
  if (plan.kind == to_json_name(RowIdentity::Kind::Jsonl)) {
    if (!capture.row_identity_path) {
      return invalid_report("verified report is missing the captured row identity path");
    }
    plan.path = capture.row_identity_path;
  } else if (plan.kind != to_json_name(RowIdentity::Kind::RowIdIdentity)) {
    return invalid_report("verified report has unsupported row identity kind " +
                          quote_debug(plan.kind));
  }
  plan.sha256 = section.sha256;
  return plan;
}

// One auxiliary entry as the loader needs it: verified with its captured path, or optional and
// absent; any other state cannot be loaded.
std::expected<VerifiedAuxiliaryArtifactPlan, VerifiedLoadPlanError> auxiliary_plan_entry(
    const AuxiliaryArtifactReport& entry, const std::optional<std::string>* captured) {
  VerifiedAuxiliaryArtifactPlan item;
  switch (entry.state) {
    case AuxiliaryArtifactState::Verified:
      if (captured == nullptr || !*captured) {
        return invalid_report("verified auxiliary artifact " + quote_debug(entry.name) +
                              " is missing its captured path");
      }
      item.path = *captured;
      break;
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
  return item;
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
  auto row_identity = row_identity_plan(report.row_identity, capture);
  if (!row_identity) return std::unexpected(std::move(row_identity.error()));

  std::vector<VerifiedAuxiliaryArtifactPlan> auxiliary;
  auxiliary.reserve(report.auxiliary_artifacts.size());
  for (std::size_t i = 0; i < report.auxiliary_artifacts.size(); ++i) {
    const auto& paths = capture.auxiliary_artifact_paths;
    auto item =
        auxiliary_plan_entry(report.auxiliary_artifacts[i], i < paths.size() ? &paths[i] : nullptr);
    if (!item) return std::unexpected(std::move(item.error()));
    auxiliary.push_back(std::move(*item));
  }

  VerifiedLoadPlan plan;
  plan.manifest_path = document.document_path;
  plan.artifact_path = std::move(*capture.artifact_path);
  plan.metadata = *report.artifact.metadata;
  plan.row_identity = std::move(*row_identity);
  plan.auxiliary_artifacts = std::move(auxiliary);
  plan.report = std::move(report);
  return plan;
}

namespace {

std::expected<VerifiedLoadPlan, VerifiedLoadPlanError> load_verify_and_plan(
    std::string manifest_path, VerifyOptions options, VerificationReads* reads) {
  const std::uint64_t max_manifest_bytes = options.limits.max_manifest_bytes;
  auto document =
      reads != nullptr
          ? load_manifest_file_recording_read(std::move(manifest_path), max_manifest_bytes)
          : load_manifest_file_with_options(std::move(manifest_path), max_manifest_bytes);
  if (!document) {
    return std::unexpected(VerifiedLoadPlanError{VerifiedLoadPlanError::Kind::ManifestFailure,
                                                 std::move(document.error())});
  }
  VerificationRun run = verify_manifest_with_path_capture(*document, std::move(options));
  // A stopped run says nothing about the files: neither a plan nor the record of its reads.
  if (run.cancelled) {
    return std::unexpected(
        VerifiedLoadPlanError{VerifiedLoadPlanError::Kind::Cancelled, ManifestError::cancelled()});
  }
  if (reads != nullptr) {
    reads->manifest_path = document->document_path;
    reads->manifest = document->source.value_or(FileRead{});
    reads->files = std::move(run.capture.reads);
  }
  if (!run.report.ok) {
    std::string message = verification_failed_message(run.report);
    return std::unexpected(VerifiedLoadPlanError{
        VerifiedLoadPlanError::Kind::VerificationFailed,
        ManifestError::refusal(ManifestError::Detail::VerificationFailed, std::move(message),
                               std::move(run.report.errors))});
  }
  return build_verified_load_plan(*document, std::move(run));
}

}  // namespace

std::expected<VerifiedLoadPlan, VerifiedLoadPlanError> verify_for_load(std::string manifest_path,
                                                                       VerifyOptions options) {
  return load_verify_and_plan(std::move(manifest_path), std::move(options), nullptr);
}

std::expected<VerifiedLoadPlan, VerifiedLoadPlanError> verify_for_load_recording_reads(
    std::string manifest_path, VerifyOptions options, VerificationReads& reads) {
  return load_verify_and_plan(std::move(manifest_path), std::move(options), &reads);
}

std::string to_compact_json(const VerifiedLoadPlan& plan, ReportJsonOptions report_options) {
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
  write_json(w, plan.report, report_options);
  w.end_object();
  return out;
}

}  // namespace karnid::manifest
