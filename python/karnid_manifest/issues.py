"""Issues as a machine reads them: each issue of a report with the fields that its code and the
report's own structured values give (what it concerns, the file, the expected and observed values),
never taken apart from the message text.

The declared values that a report does not repeat (the index's digest, size and header facts, a
profile's digest and size) come from the manifest document, when the caller has the exact bytes that
were verified.
"""

from __future__ import annotations

import hashlib
import json
import os
from typing import Any, Iterator, Mapping, Sequence

from karnid_manifest import files

from karnid_manifest.report import (ATTESTATION_PREFIX, AUXILIARY_PREFIX, CALIBRATION_PREFIX,
                                    ENCODER_DISTORTION_PREFIX, INDEX_PREFIX,
                                    ISSUE_LIMIT_CODE, ROW_IDENTITY_PREFIX)

# The version of the JSON documents that verify and plan print: raised when a key changes meaning
# or goes away, not when one is added.
FORMAT = "karnid-manifest.report.v1"

# Codes of the auxiliary file phase: one per entry that failed, in entry order, and a size
# mismatch after a digest mismatch of the same entry.
_AUXILIARY_FILE_CODES = frozenset({
    "auxiliary_artifact_base_dir_unavailable", "auxiliary_artifact_absolute_path_rejected",
    "auxiliary_artifact_path_escape_rejected", "auxiliary_artifact_missing_required",
    "auxiliary_artifact_path_unavailable", "auxiliary_artifact_file_too_large",
    "auxiliary_artifact_hash_failed", "auxiliary_artifact_sha256_mismatch",
    "auxiliary_artifact_file_size_mismatch"})
_NO_ISSUE_REASONS = frozenset({None, "auxiliary_artifact_optional_absent",
                               "auxiliary_artifact_path_empty"})

# artifact_<what>_mismatch: the manifest's artifact key, and where the observed value is.
_ARTIFACT_VALUES = {
    "artifact_sha256_mismatch": ("sha256", ("sha256",)),
    "artifact_file_size_mismatch": ("file_size_bytes", ("size_bytes",)),
    "artifact_metadata_file_size_mismatch": ("file_size_bytes", ("metadata", "file_size_bytes")),
    "artifact_kind_mismatch": ("kind", ("metadata", "kind")),
    "artifact_params_mismatch": ("params", ("metadata", "params")),
    "artifact_format_version_mismatch": ("format_version", ("metadata", "format_version")),
    "artifact_dim_mismatch": ("dim", ("metadata", "dim")),
    "artifact_vector_count_mismatch": ("vector_count", ("metadata", "vector_count")),
    "artifact_bytes_per_vec_mismatch": ("bytes_per_vec", ("metadata", "bytes_per_vec")),
}


def _dig(value: Any, keys: Sequence[str]) -> Any:
    for key in keys:
        if not isinstance(value, Mapping):
            return None
        value = value.get(key)
    return value


def _with(issue: Mapping[str, Any], **fields: Any) -> dict[str, Any]:
    return {**issue, **{key: value for key, value in fields.items() if value is not None}}


def _artifact(issue: Mapping[str, Any], report: Mapping[str, Any],
              declared: Mapping[str, Any] | None) -> dict[str, Any]:
    section = report["artifact"]
    path = section["canonical_path"] or section["observed_path"] or section["manifest_path"]
    code = issue["code"]
    expected = observed = None
    if code in _ARTIFACT_VALUES:
        key, where = _ARTIFACT_VALUES[code]
        expected = _dig(declared, ("artifact", key))
        observed = _dig(section, where)
    elif code == "artifact_embedding_dim_mismatch":
        expected = _dig(declared, ("embedding", "dim"))
        observed = _dig(declared, ("artifact", "dim"))
    elif code == "artifact_row_count_mismatch":
        expected = report["row_identity"]["row_count"]
        observed = _dig(declared, ("artifact", "vector_count"))
    return _with(issue, section="artifact", subject="index", path=path, expected=expected,
                 observed=observed)


def _row_identity(issue: Mapping[str, Any], report: Mapping[str, Any],
                  declared: Mapping[str, Any] | None) -> dict[str, Any]:
    section = report["row_identity"]
    code = issue["code"]
    expected = observed = None
    if code == "row_identity_sha256_mismatch":
        expected = _dig(declared, ("row_identity", "sha256"))
        observed = section["sha256"]
    elif code == "row_identity_row_count_mismatch":
        expected = section["row_count"]
    return _with(issue, section="row_identity", subject="row identity",
                 path=section["canonical_path"] or section["manifest_path"],
                 expected=expected, observed=observed)


def _profile(issue: Mapping[str, Any], report: Mapping[str, Any], key: str,
             declared: Mapping[str, Any] | None) -> dict[str, Any]:
    section = report[key]
    code = issue["code"]
    expected = observed = None
    if code.endswith("_profile_sha256_mismatch"):
        expected = _dig(declared, (key, "profile", "sha256"))
        observed = section["profile_sha256"]
    elif code.endswith("_profile_file_size_mismatch"):
        expected = _dig(declared, (key, "profile", "file_size_bytes"))
        observed = section["profile_size_bytes"]
    return _with(issue, section=key, subject=section["profile_id"],
                 path=section["profile_canonical_path"] or section["profile_manifest_path"],
                 expected=expected, observed=observed)


def _auxiliary_entries(report: Mapping[str, Any]) -> Iterator[tuple[Mapping[str, Any], str]]:
    """The entry behind each issue of the auxiliary file phase, in issue order: the entries
    are checked in report order and each failed entry raised its reason code, then (after a digest
    mismatch) possibly a size mismatch."""
    for entry in report["auxiliary_artifacts"]:
        reason = entry["reason_code"]
        if reason in _NO_ISSUE_REASONS:
            continue
        yield entry, reason
        if (reason == "auxiliary_artifact_sha256_mismatch" and entry["size_bytes"] is not None
                and entry["size_bytes"] != entry["expected_size_bytes"]):
            yield entry, "auxiliary_artifact_file_size_mismatch"


def _auxiliary(issue: Mapping[str, Any], entry: Mapping[str, Any] | None) -> dict[str, Any]:
    if entry is None:  # a check of the list itself (names, count): no one entry
        return _with(issue, section="auxiliary_artifacts")
    code = issue["code"]
    expected = observed = None
    if code == "auxiliary_artifact_sha256_mismatch":
        expected, observed = entry["expected_sha256"], entry["sha256"]
    elif code == "auxiliary_artifact_file_size_mismatch":
        expected, observed = entry["expected_size_bytes"], entry["size_bytes"]
    return _with(issue, section="auxiliary_artifacts", subject=entry["name"],
                 path=entry["canonical_path"] or entry["resolved_path"] or entry["manifest_path"],
                 expected=expected, observed=observed)


def structured(report: Mapping[str, Any],
               declared: Mapping[str, Any] | None = None) -> list[dict[str, Any]]:
    """The report's issues, each with ``section`` and, where known, ``subject``, ``path``,
    ``expected`` and ``observed``."""
    entries = _auxiliary_entries(report)
    out = []
    for issue in report["errors"]:
        code = issue["code"]
        if code.startswith(INDEX_PREFIX):
            out.append(_artifact(issue, report, declared))
        elif code.startswith(ROW_IDENTITY_PREFIX):
            out.append(_row_identity(issue, report, declared))
        elif code.startswith(AUXILIARY_PREFIX):
            entry = None
            if code in _AUXILIARY_FILE_CODES:
                entry, expected_code = next(entries, (None, None))
                if expected_code != code:  # not the pairing above: claim nothing
                    entry = None
            out.append(_auxiliary(issue, entry))
        elif code.startswith(CALIBRATION_PREFIX):
            out.append(_profile(issue, report, "calibration", declared))
        elif code.startswith(ENCODER_DISTORTION_PREFIX):
            out.append(_profile(issue, report, "encoder_distortion", declared))
        elif code == ISSUE_LIMIT_CODE:
            out.append(_with(issue, section="report"))
        elif code.startswith(ATTESTATION_PREFIX):
            out.append(_with(issue, section="attestations"))
        else:
            out.append(_with(issue, section="manifest"))
    return out


def with_row_lines(issues: Sequence[Mapping[str, Any]]) -> list[dict[str, Any]]:
    """Issues from an exception's facts, whose row-map line is known: the 0-based ``line`` as
    the module counts rows and the ``file_line`` an editor shows."""
    out = []
    for issue in issues:
        line = issue.get("line")
        fields = {"code": issue["code"], "message": issue["message"]}
        if line is not None:
            fields.update(line=line, file_line=line + 1)
        out.append(fields)
    return out


def report_document(report: Mapping[str, Any], manifest: str,
                    declared: Mapping[str, Any] | None = None) -> dict[str, Any]:
    """``verify --json`` of one manifest: the report, its issues structured, under a format key
    and the manifest's path."""
    return {"format": FORMAT, "manifest": manifest,
            **{key: (structured(report, declared) if key == "errors" else value)
               for key, value in report.items()}}


def plan_document(plan: Mapping[str, Any], manifest: str,
                  declared: Mapping[str, Any] | None = None) -> dict[str, Any]:
    """``plan --json`` of one manifest: the load plan, with its report's issues structured."""
    report = plan["report"]
    structured_report = {**report, "errors": structured(report, declared)}
    from karnid_manifest import auxdir

    folders = {name: folder.path for name, folder
               in auxdir.folders(plan["auxiliary_artifacts"], "path").items()}
    return {"format": FORMAT, "manifest": manifest,
            **{key: (structured_report if key == "report" else value)
               for key, value in plan.items()}, "auxiliary_folders": folders}


def declared_manifest(path: str, sha256: str | None, limit: int) -> Mapping[str, Any] | None:
    """The manifest document at ``path`` when its bytes are still the ones verified (their
    SHA-256 is ``sha256``), else None: declared values must come from what was checked."""
    if sha256 is None:
        return None
    try:
        fd = files.open_regular(path)
    except (OSError, ValueError):
        return None
    try:
        with os.fdopen(fd, "rb") as stream:
            data = stream.read(limit + 1)
    except OSError:
        return None
    if len(data) > limit or hashlib.sha256(data).hexdigest() != sha256:
        return None
    try:
        document = json.loads(data)
    except ValueError:
        return None
    return document if isinstance(document, dict) else None
