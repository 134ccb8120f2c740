#include "karnid/manifest/report.hpp"

#include <algorithm>

#include "json_members.hpp"

namespace karnid::manifest {
namespace {

void write_issues(json::Writer& w, std::string_view key, const std::vector<ReportIssue>& issues,
                  ReportJsonOptions options) {
  w.key(key);
  w.begin_array();
  for (const ReportIssue& issue : issues) {
    w.begin_object();
    member_string(w, "code", issue.code);
    member_string(w, "message", issue.message);
    if (options.issue_lines) member_or_null(w, "line", issue.line);
    w.end_object();
  }
  w.end_array();
}

void write_artifact(json::Writer& w, const ArtifactReport& a) {
  w.begin_object();
  member_or_null(w, "manifest_path", a.manifest_path);
  member_or_null(w, "observed_path", a.observed_path);
  member_or_null(w, "canonical_path", a.canonical_path);
  member_or_null(w, "sha256", a.sha256);
  member_or_null(w, "size_bytes", a.size_bytes);
  w.key("metadata");
  if (a.metadata) {
    write_json(w, *a.metadata);
  } else {
    w.null();
  }
  w.end_object();
}

void write_auxiliary_artifact(json::Writer& w, const AuxiliaryArtifactReport& a) {
  w.begin_object();
  member_string(w, "name", a.name);
  member_string(w, "manifest_path", a.manifest_path);
  member_or_null(w, "resolved_path", a.resolved_path);
  member_or_null(w, "canonical_path", a.canonical_path);
  member_or_null(w, "expected_sha256", a.expected_sha256);
  member_or_null(w, "expected_size_bytes", a.expected_size_bytes);
  member_bool(w, "required", a.required);
  member_string(w, "state", to_json_name(a.state));
  member_or_null(w, "reason_code", a.reason_code);
  member_or_null(w, "sha256", a.sha256);
  member_or_null(w, "size_bytes", a.size_bytes);
  w.end_object();
}

void write_row_identity(json::Writer& w, const RowIdentityReport& r) {
  w.begin_object();
  member_or_null(w, "kind", r.kind);
  member_or_null(w, "manifest_path", r.manifest_path);
  member_or_null(w, "canonical_path", r.canonical_path);
  member_or_null(w, "sha256", r.sha256);
  member_or_null(w, "row_count", r.row_count);
  member_or_null(w, "validated_rows", r.validated_rows);
  w.end_object();
}

void write_encoder_distortion(json::Writer& w, const EncoderDistortionReport& e) {
  w.begin_object();
  member_bool(w, "present", e.present);
  member_or_null(w, "schema_version", e.schema_version);
  member_or_null(w, "profile_id", e.profile_id);
  member_or_null(w, "evidence_kind", e.evidence_kind);
  member_or_null(w, "source_metric", e.source_metric);
  member_or_null(w, "embedding_metric", e.embedding_metric);
  member_or_null(w, "profile_manifest_path", e.profile_manifest_path);
  member_or_null(w, "profile_canonical_path", e.profile_canonical_path);
  member_or_null(w, "profile_sha256", e.profile_sha256);
  member_or_null(w, "profile_size_bytes", e.profile_size_bytes);
  w.end_object();
}

void write_calibration(json::Writer& w, const CalibrationReport& c) {
  w.begin_object();
  member_bool(w, "present", c.present);
  member_or_null(w, "schema_version", c.schema_version);
  member_or_null(w, "profile_id", c.profile_id);
  member_or_null(w, "calibrated_for_model", c.calibrated_for_model);
  member_or_null(w, "ordinalization", c.ordinalization);
  member_or_null(w, "null_model", c.null_model);
  member_or_null(w, "profile_manifest_path", c.profile_manifest_path);
  member_or_null(w, "profile_canonical_path", c.profile_canonical_path);
  member_or_null(w, "profile_sha256", c.profile_sha256);
  member_or_null(w, "profile_size_bytes", c.profile_size_bytes);
  w.end_object();
}

void write_attestation_check(json::Writer& w, const AttestationShapeCheck& a) {
  w.begin_object();
  member_or_null(w, "predicate_type", a.predicate_type);
  member_or_null(w, "builder_id", a.builder_id);
  member_bool(w, "subject_sha256_matched", a.subject_sha256_matched);
  w.end_object();
}

}  // namespace

std::string_view to_json_name(AuxiliaryArtifactState state) noexcept {
  switch (state) {
    case AuxiliaryArtifactState::Verified:
      return "verified";
    case AuxiliaryArtifactState::OptionalAbsent:
      return "optional_absent";
    case AuxiliaryArtifactState::MissingRequired:
      return "missing_required";
    case AuxiliaryArtifactState::Failed:
      return "failed";
  }
  return "failed";
}

std::string issue_limit_message(std::uint64_t max_report_issues) {
  return "verification report issue count exceeded max_report_issues=" +
         std::to_string(max_report_issues);
}

bool has_issue_code(const std::vector<ReportIssue>& issues, std::string_view code) noexcept {
  // Searched from the newest issue: a bounded push into a full list asks for the limit issue,
  // which it appended itself at the end, so a row map of millions of bad lines costs one
  // comparison per line instead of a scan of the whole list.
  return std::any_of(issues.rbegin(), issues.rend(),
                     [&](const ReportIssue& issue) { return issue.code == code; });
}

void push_report_issue_bounded(std::vector<ReportIssue>& issues, std::uint64_t max,
                               std::string_view code, std::string message,
                               std::optional<std::uint64_t> line) {
  if (issues.size() < max) {
    issues.push_back(ReportIssue{std::string(code), std::move(message), line});
    return;
  }
  if (has_issue_code(issues, kIssueLimitCode)) return;
  issues.resize(max == 0 ? 0 : static_cast<std::size_t>(max - 1));
  issues.push_back(ReportIssue{std::string(kIssueLimitCode), issue_limit_message(max)});
}

void finalize_report(VerificationReport& report, std::uint64_t max_report_issues) {
  std::vector<ReportIssue>& errors = report.errors;
  if (errors.size() > max_report_issues) {
    std::erase_if(errors, [](const ReportIssue& issue) { return issue.code == kIssueLimitCode; });
    const std::uint64_t keep = max_report_issues == 0 ? 0 : max_report_issues - 1;
    if (errors.size() > keep) errors.resize(static_cast<std::size_t>(keep));
    errors.push_back(
        ReportIssue{std::string(kIssueLimitCode), issue_limit_message(max_report_issues)});
  }
  report.ok = errors.empty();
}

void write_json(json::Writer& w, const MetadataReport& m) {
  w.begin_object();
  member_string(w, "kind", to_json_name(m.kind));
  member_u64(w, "format_version", m.format_version);
  member_u64(w, "dim", m.dim);
  member_u64(w, "vector_count", m.vector_count);
  member_u64(w, "bytes_per_vec", m.bytes_per_vec);
  w.key("params");
  write_json(w, m.params);
  member_u64(w, "file_size_bytes", m.file_size_bytes);
  w.end_object();
}

void write_json(json::Writer& w, const VerificationReport& r, ReportJsonOptions options) {
  w.begin_object();
  member_bool(w, "ok", r.ok);
  member_string(w, "checked_at", r.checked_at);
  member_or_null(w, "manifest_id", r.manifest_id);
  w.key("artifact");
  write_artifact(w, r.artifact);
  w.key("auxiliary_artifacts");
  w.begin_array();
  for (const AuxiliaryArtifactReport& a : r.auxiliary_artifacts) write_auxiliary_artifact(w, a);
  w.end_array();
  w.key("row_identity");
  write_row_identity(w, r.row_identity);
  w.key("encoder_distortion");
  write_encoder_distortion(w, r.encoder_distortion);
  w.key("calibration");
  write_calibration(w, r.calibration);
  w.key("attestation_shape_checks");
  w.begin_array();
  for (const AttestationShapeCheck& a : r.attestation_shape_checks) write_attestation_check(w, a);
  w.end_array();
  write_issues(w, "errors", r.errors, options);
  write_issues(w, "warnings", r.warnings, options);
  w.key("skipped_checks");
  w.begin_array();
  for (const std::string& name : r.skipped_checks) w.string(name);
  w.end_array();
  w.end_object();
}

std::string to_compact_json(const VerificationReport& report, ReportJsonOptions options) {
  std::string out;
  out.reserve(1024 + 128 * report.errors.size());
  json::Writer w(out, json::Writer::Style::Compact);
  write_json(w, report, options);
  return out;
}

}  // namespace karnid::manifest
