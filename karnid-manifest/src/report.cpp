#include "karnid/manifest/report.hpp"

#include <algorithm>

namespace karnid::manifest {
namespace {

void opt(json::Writer& w, std::string_view key, const std::optional<std::string>& value) {
  w.key(key);
  if (value) {
    w.string(*value);
  } else {
    w.null();
  }
}

void opt(json::Writer& w, std::string_view key, const std::optional<std::uint64_t>& value) {
  w.key(key);
  if (value) {
    w.u64(*value);
  } else {
    w.null();
  }
}

void write_issues(json::Writer& w, std::string_view key, const std::vector<ReportIssue>& issues) {
  w.key(key);
  w.begin_array();
  for (const ReportIssue& issue : issues) {
    w.begin_object();
    w.key("code");
    w.string(issue.code);
    w.key("message");
    w.string(issue.message);
    w.end_object();
  }
  w.end_array();
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
                               std::string_view code, std::string message) {
  if (issues.size() < max) {
    issues.push_back(ReportIssue{std::string(code), std::move(message)});
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
  w.key("kind");
  w.string(to_json_name(m.kind));
  w.key("format_version");
  w.u64(m.format_version);
  w.key("dim");
  w.u64(m.dim);
  w.key("vector_count");
  w.u64(m.vector_count);
  w.key("bytes_per_vec");
  w.u64(m.bytes_per_vec);
  w.key("params");
  write_json(w, m.params);
  w.key("file_size_bytes");
  w.u64(m.file_size_bytes);
  w.end_object();
}

void write_json(json::Writer& w, const VerificationReport& r) {
  w.begin_object();
  w.key("ok");
  w.boolean(r.ok);
  w.key("checked_at");
  w.string(r.checked_at);
  opt(w, "manifest_id", r.manifest_id);

  w.key("artifact");
  w.begin_object();
  opt(w, "manifest_path", r.artifact.manifest_path);
  opt(w, "observed_path", r.artifact.observed_path);
  opt(w, "canonical_path", r.artifact.canonical_path);
  opt(w, "sha256", r.artifact.sha256);
  opt(w, "size_bytes", r.artifact.size_bytes);
  w.key("metadata");
  if (r.artifact.metadata) {
    write_json(w, *r.artifact.metadata);
  } else {
    w.null();
  }
  w.end_object();

  w.key("auxiliary_artifacts");
  w.begin_array();
  for (const AuxiliaryArtifactReport& a : r.auxiliary_artifacts) {
    w.begin_object();
    w.key("name");
    w.string(a.name);
    w.key("manifest_path");
    w.string(a.manifest_path);
    opt(w, "resolved_path", a.resolved_path);
    opt(w, "canonical_path", a.canonical_path);
    opt(w, "expected_sha256", a.expected_sha256);
    opt(w, "expected_size_bytes", a.expected_size_bytes);
    w.key("required");
    w.boolean(a.required);
    w.key("state");
    w.string(to_json_name(a.state));
    opt(w, "reason_code", a.reason_code);
    opt(w, "sha256", a.sha256);
    opt(w, "size_bytes", a.size_bytes);
    w.end_object();
  }
  w.end_array();

  w.key("row_identity");
  w.begin_object();
  opt(w, "kind", r.row_identity.kind);
  opt(w, "manifest_path", r.row_identity.manifest_path);
  opt(w, "canonical_path", r.row_identity.canonical_path);
  opt(w, "sha256", r.row_identity.sha256);
  opt(w, "row_count", r.row_identity.row_count);
  opt(w, "validated_rows", r.row_identity.validated_rows);
  w.end_object();

  const EncoderDistortionReport& e = r.encoder_distortion;
  w.key("encoder_distortion");
  w.begin_object();
  w.key("present");
  w.boolean(e.present);
  opt(w, "schema_version", e.schema_version);
  opt(w, "profile_id", e.profile_id);
  opt(w, "evidence_kind", e.evidence_kind);
  opt(w, "source_metric", e.source_metric);
  opt(w, "embedding_metric", e.embedding_metric);
  opt(w, "profile_manifest_path", e.profile_manifest_path);
  opt(w, "profile_canonical_path", e.profile_canonical_path);
  opt(w, "profile_sha256", e.profile_sha256);
  opt(w, "profile_size_bytes", e.profile_size_bytes);
  w.end_object();

  const CalibrationReport& c = r.calibration;
  w.key("calibration");
  w.begin_object();
  w.key("present");
  w.boolean(c.present);
  opt(w, "schema_version", c.schema_version);
  opt(w, "profile_id", c.profile_id);
  opt(w, "calibrated_for_model", c.calibrated_for_model);
  opt(w, "ordinalization", c.ordinalization);
  opt(w, "null_model", c.null_model);
  opt(w, "profile_manifest_path", c.profile_manifest_path);
  opt(w, "profile_canonical_path", c.profile_canonical_path);
  opt(w, "profile_sha256", c.profile_sha256);
  opt(w, "profile_size_bytes", c.profile_size_bytes);
  w.end_object();

  w.key("attestation_shape_checks");
  w.begin_array();
  for (const AttestationShapeCheck& a : r.attestation_shape_checks) {
    w.begin_object();
    opt(w, "predicate_type", a.predicate_type);
    opt(w, "builder_id", a.builder_id);
    w.key("subject_sha256_matched");
    w.boolean(a.subject_sha256_matched);
    w.end_object();
  }
  w.end_array();

  write_issues(w, "errors", r.errors);
  write_issues(w, "warnings", r.warnings);
  w.key("skipped_checks");
  w.begin_array();
  for (const std::string& name : r.skipped_checks) w.string(name);
  w.end_array();
  w.end_object();
}

std::string to_compact_json(const VerificationReport& report) {
  std::string out;
  out.reserve(1024 + 128 * report.errors.size());
  json::Writer w(out, json::Writer::Style::Compact);
  write_json(w, report);
  return out;
}

}  // namespace karnid::manifest
