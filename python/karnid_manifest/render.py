"""Text for people: verification reports, load plans and manifest summaries.

Every function returns lines without colour codes unless it is handed an enabled :class:`Style`;
the command line tool decides whether colour is wanted.
"""

from __future__ import annotations

import os
from typing import IO, Any, Mapping, Sequence

# The report groups its issue codes by the subject they start with; a file line is marked failed
# when an issue of its subject was recorded.
INDEX_PREFIX = "artifact_"
ROW_IDENTITY_PREFIX = "row_identity_"
AUXILIARY_PREFIX = "auxiliary_artifact_"
CALIBRATION_PREFIX = "calibration_"
ENCODER_DISTORTION_PREFIX = "encoder_distortion_"
ATTESTATION_PREFIX = "attestation_"
ISSUE_LIMIT_CODE = "verification_report_issue_limit_exceeded"
_FILE_PREFIXES = (INDEX_PREFIX, ROW_IDENTITY_PREFIX, AUXILIARY_PREFIX, CALIBRATION_PREFIX,
                  ENCODER_DISTORTION_PREFIX, ATTESTATION_PREFIX)


class Style:
    """ANSI colour for terminals; every method returns its text unchanged when disabled."""

    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled

    def _wrap(self, code: str, text: str) -> str:
        return f"\x1b[{code}m{text}\x1b[0m" if self.enabled else text

    def good(self, text: str) -> str:
        return self._wrap("32", text)

    def bad(self, text: str) -> str:
        return self._wrap("31;1", text)

    def warn(self, text: str) -> str:
        return self._wrap("33", text)

    def dim(self, text: str) -> str:
        return self._wrap("2", text)

    def bold(self, text: str) -> str:
        return self._wrap("1", text)

    def state(self, state: str, padded: str | None = None) -> str:
        text = state if padded is None else padded
        if state in ("verified", "ok"):
            return self.good(text)
        if state in ("optional_absent", "not declared"):
            return self.warn(text)
        return self.bad(text)


def colour_wanted(stream: IO[str]) -> bool:
    """Colour only for a terminal, and never when NO_COLOR is set or the terminal is dumb."""
    if "NO_COLOR" in os.environ or os.environ.get("TERM") == "dumb":
        return False
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())


def display_path(path: str) -> str:
    """A command-line path as printable text: undecodable bytes become U+FFFD."""
    return os.fsencode(path).decode("utf-8", "replace")


def quoted(name: str) -> str:
    """A name in double quotes with quotes, backslashes and control characters (C0, DEL, C1)
    escaped."""
    out = []
    for char in name:
        if char in '"\\':
            out.append("\\" + char)
        elif char == "\n":
            out.append("\\n")
        elif char == "\r":
            out.append("\\r")
        elif char == "\t":
            out.append("\\t")
        elif ord(char) < 0x20 or 0x7F <= ord(char) <= 0x9F:
            out.append(f"\\u{{{ord(char):x}}}")
        else:
            out.append(char)
    return '"' + "".join(out) + '"'


def _plural(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def describe_params(params: Mapping[str, Any]) -> str:
    kind = str(params.get("kind"))
    if kind == "rank_quant" and "bits" in params:
        return f"{kind} (bits {params['bits']})"
    if kind == "bitmap" and "n_top" in params:
        return f"{kind} (n_top {params['n_top']})"
    return kind


def describe_index(facts: Mapping[str, Any]) -> str:
    """Kind, parameters and shape of an index, from a manifest artifact block or probed metadata
    (the two spell the vector count the same way)."""
    return (f"{describe_params(facts['params'])}, dim {facts['dim']}, "
            f"{_plural(facts['vector_count'], 'vector')}, {facts['bytes_per_vec']} bytes per vector")


def _table(rows: Sequence[tuple[str, str, str]], style: Style) -> list[str]:
    """Three columns: label, state (coloured by its value) and detail."""
    if not rows:
        return []
    label_width = max(len(label) for label, _, _ in rows)
    state_width = max(len(state) for _, state, _ in rows)
    lines = []
    for label, state, detail in rows:
        cells = f"{label:<{label_width}}  {style.state(state, f'{state:<{state_width}}')}"
        lines.append(f"{cells}  {detail}".rstrip())
    return lines


def _codes(report: Mapping[str, Any]) -> list[str]:
    return [issue["code"] for issue in report["errors"]]


def _section_state(codes: Sequence[str], prefix: str, *, resolved: bool = True) -> str:
    if any(code.startswith(prefix) for code in codes):
        return "failed" if resolved else "unavailable"
    return "verified"


def _manifest_level(code: str) -> bool:
    return code != ISSUE_LIMIT_CODE and not code.startswith(_FILE_PREFIXES)


def _size(value: Any) -> str:
    return "" if value is None else _plural(value, "byte")


def _join(*parts: str) -> str:
    return "  ".join(part for part in parts if part)


def report_lines(report: Mapping[str, Any], manifest: str, style: Style) -> list[str]:
    """One line per checked file, then every issue as ``code: message``, then the verdict."""
    codes = _codes(report)
    rows: list[tuple[str, str, str]] = []

    manifest_state = "failed" if any(_manifest_level(c) for c in codes) else "verified"
    manifest_id = report["manifest_id"]
    rows.append(("manifest", manifest_state,
                 _join(display_path(manifest),
                       style.dim(f"id {manifest_id}") if manifest_id is not None else "")))

    artifact = report["artifact"]
    resolved = artifact["canonical_path"] is not None
    detail = artifact["observed_path"] or ""
    if artifact["metadata"] is not None:
        detail = _join(detail, style.dim(describe_index(artifact["metadata"])))
    rows.append(("index", _section_state(codes, INDEX_PREFIX, resolved=resolved), detail))

    rows.extend(_row_identity_rows(report["row_identity"], codes, style))

    for entry in report["auxiliary_artifacts"]:
        state = entry["state"]
        reason = entry["reason_code"] if state in ("failed", "missing_required") else None
        detail = _join(entry["manifest_path"], _size(entry["size_bytes"]),
                       style.dim(reason or ""))
        rows.append((f"auxiliary {quoted(entry['name'])}", state, detail))

    for label, key, prefix in (("encoder distortion", "encoder_distortion",
                                ENCODER_DISTORTION_PREFIX),
                               ("calibration", "calibration", CALIBRATION_PREFIX)):
        section = report[key]
        if not section["present"]:
            continue
        profile = section["profile_manifest_path"]
        resolved = profile is None or section["profile_canonical_path"] is not None
        detail = (_join(profile, _size(section["profile_size_bytes"])) if profile is not None
                  else "no profile file")
        detail = _join(detail, style.dim(f"profile {section['profile_id']}"))
        rows.append((label, _section_state(codes, prefix, resolved=resolved), detail))

    checks = report["attestation_shape_checks"]
    if checks:
        matched = sum(1 for check in checks if check["subject_sha256_matched"])
        rows.append(("attestations", _section_state(codes, ATTESTATION_PREFIX),
                     f"{len(checks)} checked, {matched} matching the index digest"))

    lines = _table(rows, style)
    if report["errors"]:
        lines.append("")
        lines.extend(f"{style.bad(issue['code'])}: {issue['message']}"
                     for issue in report["errors"])
    if report["skipped_checks"]:
        lines.append(style.dim("skipped: " + ", ".join(report["skipped_checks"])))
    lines.append("")
    lines.append(verdict_line(report, manifest, style))
    return lines


def _row_identity_rows(section: Mapping[str, Any], codes: Sequence[str],
                       style: Style) -> list[tuple[str, str, str]]:
    kind = section["kind"]
    if kind == "row_id_identity":
        detail = f"row number is the identifier, {_plural(section['row_count'], 'row')}"
        return [("row identity", _section_state(codes, ROW_IDENTITY_PREFIX), detail)]
    resolved = section["canonical_path"] is not None
    rows = section["validated_rows"]
    detail = _join(section["manifest_path"] or "",
                   "" if rows is None else _plural(rows, "valid row"))
    return [("row identity", _section_state(codes, ROW_IDENTITY_PREFIX, resolved=resolved),
             detail)]


def verdict_line(report: Mapping[str, Any], manifest: str, style: Style) -> str:
    if report["ok"]:
        return f"{style.good('OK')}: {display_path(manifest)} verified at {report['checked_at']}"
    count = len(report["errors"])
    return (f"{style.bad('FAILED')}: {display_path(manifest)} has "
            f"{_plural(count, 'issue')} (checked at {report['checked_at']})")


def plan_lines(plan: Mapping[str, Any], style: Style) -> list[str]:
    """The files a loader should open, with what was verified about them."""
    # Plan paths carry undecodable bytes as surrogate escapes, which a terminal cannot print.
    rows: list[tuple[str, str, str]] = []
    meta = plan["metadata"]
    rows.append(("index", "verified", _join(display_path(plan["artifact_path"]),
                                            style.dim(describe_index(meta)),
                                            style.dim(_size(meta["file_size_bytes"])))))
    row_identity = plan["row_identity"]
    if row_identity["kind"] == "jsonl":
        detail = _join(display_path(row_identity["path"] or ""),
                       style.dim(_plural(row_identity["row_count"], "row")))
    else:
        detail = f"row number is the identifier, {_plural(row_identity['row_count'], 'row')}"
    rows.append(("row identity", "verified", detail))
    for entry in plan["auxiliary_artifacts"]:
        detail = (display_path(entry["path"]) if entry["path"] is not None
                  else "absent, optional")
        rows.append((f"auxiliary {quoted(entry['name'])}", entry["state"],
                     _join(detail, style.dim(_size(entry["size_bytes"])))))
    report = plan["report"]
    for label, key in (("encoder distortion", "encoder_distortion"),
                       ("calibration", "calibration")):
        section = report[key]
        if section["present"]:
            detail = section["profile_canonical_path"] or "no profile file"
            rows.append((label, "verified",
                         _join(detail, style.dim(f"profile {section['profile_id']}"))))
    lines = _table(rows, style)
    lines.append("")
    manifest = display_path(plan["manifest_path"] or "manifest")
    lines.append(f"{style.good('OK')}: load plan for {manifest} (verified at "
                 f"{report['checked_at']})")
    return lines


def manifest_lines(manifest: Mapping[str, Any], path: str, style: Style) -> list[str]:
    """A summary of a manifest document for people."""
    rows: list[tuple[str, str]] = [
        ("manifest", display_path(path)),
        ("schema", manifest["schema_version"]),
        ("id", manifest["manifest_id"]),
        ("created", manifest["created_at"]),
    ]
    artifact = manifest["artifact"]
    rows.append(("index", _join(artifact["path"], describe_index(artifact))))
    rows.append(("", style.dim(f"sha256 {artifact['sha256']}, "
                               f"{_size(artifact['file_size_bytes'])}, "
                               f"format version {artifact['format_version']}")))
    embedding = manifest["embedding"]
    rows.append(("embedding", f"{embedding['model']} (dim {embedding['dim']})"))
    row_identity = manifest["row_identity"]
    if row_identity["kind"] == "jsonl":
        rows.append(("row identity",
                     _join(row_identity["path"],
                           f"{_plural(row_identity['row_count'], 'row')}, "
                           f"id kind {row_identity['id_kind']}")))
    else:
        rows.append(("row identity", "row number is the identifier, "
                                     f"{_plural(row_identity['row_count'], 'row')}"))
    for entry in manifest.get("auxiliary_artifacts", []):
        need = "required" if entry.get("required", True) else "optional"
        rows.append(("auxiliary", _join(quoted(entry["name"]), entry["path"],
                                        f"{need}, {_size(entry['file_size_bytes'])}")))
    distortion = manifest.get("encoder_distortion")
    if distortion is not None:
        profile = distortion.get("profile")
        rows.append(("encoder distortion",
                     _join(distortion["profile_id"],
                           f"{distortion['evidence']['kind']} evidence",
                           profile["path"] if profile else "no profile file")))
    calibration = manifest.get("calibration")
    if calibration is not None:
        profile = calibration.get("profile")
        rows.append(("calibration",
                     _join(calibration["profile_id"],
                           f"{calibration['ordinalization']['kind']} ordinalization, "
                           f"{calibration['null_model']['kind']} null model",
                           profile["path"] if profile else "no profile file")))
    build = manifest.get("build")
    if build is not None:
        builder = build.get("builder_id")
        rows.append(("build", _join(build["invocation_id"],
                                    f"by {builder}" if builder else "")))
    attestations = manifest.get("attestations", [])
    if attestations:
        rows.append(("attestations", str(len(attestations))))
    extensions = manifest.get("extensions", {})
    if extensions:
        rows.append(("extensions", ", ".join(extensions)))
    width = max(len(label) for label, _ in rows)
    return [f"{style.bold(f'{label:<{width}}')}  {value}".rstrip() for label, value in rows]
