"""Text for people: verification reports, load plans and manifest summaries.

Every function returns lines without colour codes unless it is handed an enabled :class:`Style`;
the command line tool decides whether colour is wanted.
"""

from __future__ import annotations

import os
from typing import IO, Any, Mapping, Sequence

from karnid_manifest import auxdir, explain, plain_words
from karnid_manifest.files import display_path
from karnid_manifest.report import (ATTESTATION_PREFIX, AUXILIARY_PREFIX, CALIBRATION_PREFIX,
                                    ENCODER_DISTORTION_PREFIX, FILE_PREFIXES, INDEX_PREFIX,
                                    ISSUE_LIMIT_CODE, ROW_IDENTITY_PREFIX,
                                    ROW_INVALID_JSON_CODE, in_check_order)


# Style marks its colour codes with a token made up when the tool starts; ``terminal`` turns
# exactly those marks into escapes and shows every other control character escaped, so text
# from a manifest can neither carry an escape to the terminal nor forge a mark.
_MARK = "\x00" + os.urandom(8).hex() + ":"


class Style:
    """ANSI colour for terminals; every method returns its text unchanged when disabled. The
    colour is marked, not yet an escape: text reaches the terminal through :func:`terminal`."""

    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled

    def _wrap(self, code: str, text: str) -> str:
        return f"{_MARK}{code}m{text}{_MARK}0m" if self.enabled else text

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


COLOR_MODES = ("auto", "always", "never")


def colour_wanted(stream: IO[str], mode: str = "auto") -> bool:
    """``--color``: always, never, or (auto) only for a terminal, unless NO_COLOR has a value
    (an empty NO_COLOR does not count, by that convention) or the terminal is dumb."""
    if mode != "auto":
        return mode == "always"
    if os.environ.get("NO_COLOR") or os.environ.get("TERM") == "dumb":
        return False
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())


_NAMED_ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _is_control(char: str) -> bool:
    """C0, DEL and C1; and a lone surrogate (an undecodable byte kept by Python), which an
    encoder for the terminal would refuse."""
    code = ord(char)
    return code < 0x20 or 0x7F <= code <= 0x9F or 0xD800 <= code <= 0xDFFF


def _escaped(char: str) -> str:
    return _NAMED_ESCAPES.get(char) or f"\\u{{{ord(char):x}}}"


def printable(text: str) -> str:
    """``text`` with every control character (C0, DEL, C1; a newline too) and lone surrogate
    shown escaped."""
    if not any(_is_control(char) for char in text):
        return text
    return "".join(_escaped(char) if _is_control(char) else char for char in text)


def terminal(line: str) -> str:
    """One line as it may reach a terminal: the colour that :class:`Style` marked as escapes,
    every other control character escaped (see :func:`printable`)."""
    head, *marked = line.split(_MARK)
    parts = [printable(head)]
    for part in marked:
        code, _, rest = part.partition("m")
        parts.append(f"\x1b[{code}m{printable(rest)}")
    return "".join(parts)


def quoted(name: str) -> str:
    """A name in double quotes with quotes, backslashes and control characters (C0, DEL, C1)
    escaped."""
    out = []
    for char in name:
        if char in '"\\':
            out.append("\\" + char)
        elif _is_control(char):
            out.append(_escaped(char))
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


def table(rows: Sequence[tuple[str, str, str]], style: Style) -> list[str]:
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


def _section_codes(issues: Sequence[Mapping[str, str]], prefix: str) -> list[str]:
    """The distinct codes of one subject, in report order."""
    return list(dict.fromkeys(issue["code"] for issue in issues
                              if issue["code"].startswith(prefix)))


def _state(codes: Sequence[str]) -> str:
    return "failed" if codes else "verified"


def _manifest_level(code: str) -> bool:
    return code != ISSUE_LIMIT_CODE and not code.startswith(FILE_PREFIXES)


def _size(value: Any) -> str:
    return "" if value is None else _plural(value, "byte")


def _join(*parts: str) -> str:
    return "  ".join(part for part in parts if part)


def _with_codes(detail: str, codes: Sequence[str], style: Style) -> str:
    return _join(detail, style.bad(", ".join(codes)) if codes else "")


# Reasons an auxiliary entry gets without an issue of its own in the file step: a blank path is
# reported with the declarations, an absent optional file is no problem.
_NO_FILE_STEP_ISSUE = frozenset({"auxiliary_artifact_path_empty",
                                 "auxiliary_artifact_optional_absent"})


def auxiliary_codes(entries: Sequence[Mapping[str, Any]],
                    issues: Sequence[Mapping[str, str]]) -> list[list[str]]:
    """The codes of each auxiliary entry. The file step checks the entries in report order and
    reports each entry's issues together, its reason code first; so, walking back from the end,
    an entry's issues run from the last issue with its reason code to where the next entry's
    begin. The reason code alone stands in when its issue is not in the report (a blank path,
    or a report cut at its issue limit)."""
    codes = [issue["code"] for issue in issues if issue["code"].startswith(AUXILIARY_PREFIX)]
    result: list[list[str]] = [[] for _ in entries]
    end = len(codes)
    for number in reversed(range(len(entries))):
        entry = entries[number]
        reason = entry["reason_code"]
        if entry["state"] not in ("failed", "missing_required") or not reason:
            continue
        found = [reason]
        if reason not in _NO_FILE_STEP_ISSUE:
            starts = [i for i in range(end) if codes[i] == reason]
            if starts:
                found, end = codes[starts[-1]:end], starts[-1]
        result[number] = list(dict.fromkeys(found))
    return result


Row = tuple[str, str, str]


def _auxiliary_label(entry: Mapping[str, Any], relative: str) -> str:
    """An entry's label: its quoted name, or under its folder's row, its path in the folder."""
    return f"  {quoted(relative)}" if relative else f"auxiliary {quoted(entry['name'])}"


def _folder_row(style: Style, path_key: str) -> Any:
    def row(folder: auxdir.Folder, state: str) -> Row:
        where = folder.path if path_key == "path" else folder.manifest_path
        size = sum(entry["size_bytes"] or 0 for entry in folder.members)
        count = len(folder.members)
        return (f"auxiliary {quoted(folder.name)}", state,
                _join(display_path(where) + auxdir.SEPARATOR if where else "",
                      style.dim(f"folder, {_plural(count, 'file')}, {_size(size)}")))
    return row


def unlisted_lines(report: Mapping[str, Any], style: Style) -> list[str]:
    """A warning for each file in an auxiliary folder that the manifest does not list."""
    return [style.warn(f"warning: {path} is in the folder {quoted(name)} but not part of the "
                       "manifest; nothing vouches for it") for name, path
            in auxdir.unlisted(report["auxiliary_artifacts"])]


def file_rows(report: Mapping[str, Any], manifest: str,
              style: Style) -> list[tuple[str, str, str]]:
    """One row per checked file: label, state ("verified" or "failed", or an auxiliary entry's
    own state) and detail, which ends with the codes of the file's issues."""
    issues = report["errors"]
    rows: list[tuple[str, str, str]] = []

    manifest_codes = list(dict.fromkeys(i["code"] for i in issues if _manifest_level(i["code"])))
    manifest_id = report["manifest_id"]
    rows.append(("manifest", _state(manifest_codes), _with_codes(
        _join(display_path(manifest),
              style.dim(f"id {manifest_id}") if manifest_id is not None else ""),
        manifest_codes, style)))

    artifact = report["artifact"]
    codes = _section_codes(issues, INDEX_PREFIX)
    detail = artifact["observed_path"] or artifact["manifest_path"] or ""
    if artifact["metadata"] is not None:
        detail = _join(detail, style.dim(describe_index(artifact["metadata"])))
    rows.append(("index", _state(codes), _with_codes(detail, codes, style)))

    section = report["row_identity"]
    codes = _section_codes(issues, ROW_IDENTITY_PREFIX)
    if section["kind"] == "row_id_identity":
        detail = f"row number is the identifier, {_plural(section['row_count'], 'row')}"
    else:
        parsed = section["validated_rows"]
        # The module counts the lines that parsed as rows, whatever later checks found in them.
        if parsed is None:
            count = ""
        elif codes:
            count = f"{parsed} {'row' if parsed == 1 else 'rows'} parsed"
        else:
            count = _plural(parsed, "valid row")
        detail = _join(section["manifest_path"] or "", count)
    rows.append(("row identity", _state(codes), _with_codes(detail, codes, style)))

    entries = report["auxiliary_artifacts"]
    codes_of = {id(entry): codes for entry, codes in zip(entries, auxiliary_codes(entries, issues))}

    def auxiliary_row(entry: Mapping[str, Any], relative: str) -> Row:
        codes = codes_of[id(entry)]
        detail = _join(entry["manifest_path"], _size(entry["size_bytes"]))
        return (_auxiliary_label(entry, relative), entry["state"],
                _with_codes(detail, codes, style))

    rows.extend(auxdir.grouped_rows(report["auxiliary_artifacts"], "manifest_path",
                                    auxiliary_row, _folder_row(style, "manifest_path")))

    for label, key, prefix in (("encoder distortion", "encoder_distortion",
                                ENCODER_DISTORTION_PREFIX),
                               ("calibration", "calibration", CALIBRATION_PREFIX)):
        section = report[key]
        if not section["present"]:
            continue
        codes = _section_codes(issues, prefix)
        profile = section["profile_manifest_path"]
        detail = (_join(profile, _size(section["profile_size_bytes"])) if profile is not None
                  else "no profile file")
        detail = _join(detail, style.dim(f"profile {section['profile_id']}"))
        rows.append((label, _state(codes), _with_codes(detail, codes, style)))

    checks = report["attestation_shape_checks"]
    if checks:
        codes = _section_codes(issues, ATTESTATION_PREFIX)
        matched = sum(1 for check in checks if check["subject_sha256_matched"])
        rows.append(("attestations", _state(codes), _with_codes(
            f"{len(checks)} checked, {matched} matching the index digest", codes, style)))
    return rows


def issue_lines(issues: Sequence[Mapping[str, Any]], style: Style,
                context: explain.LimitContext | None) -> list[str]:
    """Every issue as ``code: message`` (a row-map line also by its line in the file), each
    followed by indented lines in plain words: why a row is not a row, the option that raises a
    limit, or that the issue only follows from an earlier one. An issue's ``line`` (the 0-based
    row it concerns) comes with the issues of a refused row map."""
    lines = []
    stopped_early = False
    too_large = {code: list(paths) for code, paths in context.files.items()} if context else {}
    plain = plain_words.issue_notes(
        issues, context.row_map if context is not None else None,
        context.limits.get("max_row_map_line_bytes", 0) if context is not None else 0)
    for issue, plainly in zip(issues, plain):
        code, message, line = issue["code"], issue["message"], issue.get("line")
        lines.append(f"{style.bad(code)}: {explain.file_line(message, line)}")
        notes = []
        if code == ROW_INVALID_JSON_CODE and context is not None:
            notes.append(explain.plain_row_error(context.row_map, line))
        notes.append(plainly)
        if context is not None:
            paths = too_large.get(code)
            notes.append(explain.limit_hint(code, context,
                                            path=paths.pop(0) if paths else None))
        if stopped_early and explain.is_consequence(code):
            notes.append(explain.CONSEQUENCE_NOTE)
        stopped_early = stopped_early or code in explain.EARLY_STOP_CODES
        lines.extend(style.dim("  " + note) for note in notes if note)
    return lines


def consequences(issues: Sequence[Mapping[str, str]]) -> int:
    """Issues that only restate an earlier early stop of the row map."""
    stopped = False
    count = 0
    for issue in issues:
        if stopped and explain.is_consequence(issue["code"]):
            count += 1
        stopped = stopped or issue["code"] in explain.EARLY_STOP_CODES
    return count


def report_lines(report: Mapping[str, Any], manifest: str, style: Style,
                 context: explain.LimitContext | None = None,
                 first: Sequence[Row] = ()) -> list[str]:
    """One line per checked file (after the ``first`` rows, such as a checked signature), then
    every issue, then the verdict."""
    lines = table([*first, *file_rows(report, manifest, style)], style)
    if report["errors"]:
        lines.append("")
        lines.extend(issue_lines(report["errors"], style, context))
    lines.extend(unlisted_lines(report, style))
    if report["skipped_checks"]:
        lines.append(style.dim("skipped: " + ", ".join(report["skipped_checks"])))
    lines.append("")
    lines.append(verdict_line(report, manifest, style))
    return lines


def _issue_count(issues: Sequence[Mapping[str, str]]) -> str:
    following = consequences(issues)
    text = _plural(len(issues) - following, "issue")
    return text + (f" and {following} that follows from it" if following == 1 else
                   f" and {following} that follow from them" if following else "")


def verdict_line(report: Mapping[str, Any], manifest: str, style: Style) -> str:
    if report["ok"]:
        return f"{style.good('OK')}: {display_path(manifest)} verified at {report['checked_at']}"
    return (f"{style.bad('FAILED')}: {display_path(manifest)} has "
            f"{_issue_count(report['errors'])} (checked at {report['checked_at']})")


def compact_report_lines(report: Mapping[str, Any], manifest: str, style: Style,
                         context: explain.LimitContext | None, *, quiet: bool) -> list[str]:
    """A manifest among several: one line, and for a failure its issues indented under it."""
    shown = display_path(manifest)
    if report["ok"]:
        return [] if quiet else [f"{shown}: {style.good('OK')}"]
    lines = [f"{shown}: {style.bad('FAILED')}, {_issue_count(report['errors'])}"]
    lines.extend("  " + line for line in issue_lines(report["errors"], style, context))
    return lines


def plan_lines(plan: Mapping[str, Any], style: Style, first: Sequence[Row] = ()) -> list[str]:
    """The files a loader should open, with what was verified about them (after the ``first``
    rows, such as a checked signature)."""
    # Plan paths carry undecodable bytes as surrogate escapes, which a terminal cannot print.
    rows: list[tuple[str, str, str]] = list(first)
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
    def auxiliary_row(entry: Mapping[str, Any], relative: str) -> Row:
        detail = (display_path(entry["path"]) if entry["path"] is not None
                  else "absent, optional")
        return (_auxiliary_label(entry, relative), entry["state"],
                _join(detail, style.dim(_size(entry["size_bytes"]))))

    rows.extend(auxdir.grouped_rows(plan["auxiliary_artifacts"], "path", auxiliary_row,
                                    _folder_row(style, "path")))
    report = plan["report"]
    for label, key in (("encoder distortion", "encoder_distortion"),
                       ("calibration", "calibration")):
        section = report[key]
        if section["present"]:
            detail = section["profile_canonical_path"] or "no profile file"
            rows.append((label, "verified",
                         _join(detail, style.dim(f"profile {section['profile_id']}"))))
    lines = table(rows, style)
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
    # In the order verification checks and lists them, so that the two outputs line up.
    for entry in in_check_order(manifest.get("auxiliary_artifacts", [])):
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
