"""What the command line tool adds to the module's texts so that a person knows what to do.

The module's messages are kept as they are (machines and the issue-code reference rely on them);
the functions here compute the extra line shown under them: the option that raises a resource limit
and a value that would do, the parser's complaint in plain words with the field it concerns, the
line of the file that a 0-based row index means, and what a file given as a manifest really is.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass, field
from typing import Any, Mapping, Sequence

from karnid_manifest import budget, formats
from karnid_manifest.files import open_regular, read_head

# --- sizes ------------------------------------------------------------------------------------


def human_bytes(count: int) -> str:
    """1536 -> "1.5 KiB"; whole bytes below 1 KiB."""
    value = float(count)
    for unit in ("bytes", "KiB", "MiB", "GiB", "TiB"):
        if value < 1024 or unit == "TiB":
            return f"{count} bytes" if unit == "bytes" else f"{value:.1f} {unit}"
        value /= 1024
    raise AssertionError("unreachable")


# --- row map lines ----------------------------------------------------------------------------


def file_line(message: str, line: int | None) -> str:
    """A row-map message with the file's own line number beside the 0-based row index it starts
    with, which is what the module counts from: "line 4 has row_id 7" -> "line 4 (line 5 of the
    file) has ..."; ``line`` is the row the issue concerns (None: no row)."""
    label = f"line {line}"
    if line is None or not message.startswith(label):
        return message
    return f"{label} (line {line + 1} of the file){message[len(label):]}"


# --- resource limits --------------------------------------------------------------------------

# The keyword (and so the option) behind each code a resource limit produces. The module's
# messages name some limits differently ("max_row_identity_rows"); the hint names the option.
LIMIT_CODES = {
    "manifest_file_too_large": "max_manifest_bytes",
    "row_identity_line_too_large": "max_row_map_line_bytes",
    "row_identity_row_count_limit_exceeded": "max_row_map_rows",
    "row_identity_duplicate_tracking_limit_exceeded": "max_row_map_tracked_id_bytes",
    "auxiliary_artifact_count_limit_exceeded": "max_auxiliary_artifacts",
    "auxiliary_artifact_file_too_large": "max_auxiliary_artifact_bytes",
    "calibration_profile_too_large": "max_calibration_profile_bytes",
    "encoder_distortion_profile_too_large": "max_encoder_distortion_profile_bytes",
    "verification_report_issue_limit_exceeded": "max_report_issues",
}
# Codes after which the row map was not read to its end.
EARLY_STOP_CODES = frozenset({"row_identity_line_too_large",
                              "row_identity_row_count_limit_exceeded",
                              "row_identity_duplicate_tracking_limit_exceeded"})
_COUNT_MISMATCH = "row_identity_row_count_mismatch"
# The module cannot enforce a byte limit at the largest value (it would need one byte more).
_UNENFORCEABLE = 2**64 - 1
# Identifiers in the usual form are kept as the 16 bytes they spell; the set costs about this
# much per row with them, and about the identifier's length plus this much with any other form.
_PACKED_ID_BYTES_PER_ROW = budget.ID_SET_BYTES_PER_ROW
_OTHER_ID_OVERHEAD_PER_ROW = budget.OTHER_ID_OVERHEAD_PER_ROW
_HEX = frozenset("0123456789abcdef")
_HYPHENATED_UUID_BYTES = 36
_CHUNK = 1 << 20


def option(keyword: str) -> str:
    return "--" + keyword.replace("_", "-")


@dataclass
class LimitContext:
    """What the tool knows around an issue of a resource limit, for working out a value of the
    limit that would do."""

    limits: Mapping[str, int]
    manifest: str | None = None
    row_map: str | None = None
    rows: int | None = None  # the rows the row map is meant to have, when known
    entries: int | None = None  # the auxiliary entries given, when known
    # The files over their size limit by code, in report order.
    files: dict[str, list[str]] = field(default_factory=dict)
    # Whether the command has --allow-duplicate-db-ids (creation always checks duplicates).
    can_skip_duplicates: bool = True
    creating: bool = False
    # The limits that the memory budget set (the command has the budget and the user did not
    # give them): raising the budget is then the user's first option.
    budgeted: frozenset[str] = frozenset()
    _counted: dict[str, int] = field(default_factory=dict)

    def row_count(self) -> int | None:
        if self.rows is not None:
            return self.rows
        if self.row_map is None:
            return None
        if self.row_map not in self._counted:
            counted = count_lines(self.row_map)
            if counted is None:
                return None
            self._counted[self.row_map] = counted
        return self._counted[self.row_map]


def count_lines(path: str) -> int | None:
    """Lines as the row map validator counts them: a final line without a line feed counts."""
    try:
        with open(open_regular(path), "rb") as stream:
            lines = 0
            last = b"\n"
            while chunk := stream.read(_CHUNK):
                lines += chunk.count(b"\n")
                last = chunk[-1:]
            return lines + (last != b"\n")
    except (OSError, ValueError):
        return None


def line_length(path: str, index: int) -> int | None:
    """Bytes of 0-based line ``index`` counting its line feed, read without holding the line."""
    try:
        with open(open_regular(path), "rb") as stream:
            line = 0
            length = 0
            while chunk := stream.read(_CHUNK):
                start = 0
                while True:
                    end = chunk.find(b"\n", start)
                    if end < 0:
                        if line == index:
                            length += len(chunk) - start
                        break
                    if line == index:
                        return length + end - start + 1
                    line += 1
                    start = end + 1
            return length if line == index and length else None
    except (OSError, ValueError):
        return None


def first_db_id(path: str) -> str | None:
    head = read_head(path) or b""
    try:
        row = json.loads(head.split(b"\n", 1)[0])
    except ValueError:
        return None
    value = row.get("db_id") if isinstance(row, dict) else (
        row[1] if isinstance(row, list) and len(row) > 1 else None)
    return value if isinstance(value, str) else None


def _first_db_id_of(context: LimitContext) -> str | None:
    return first_db_id(context.row_map) if context.row_map else None


def _usual_uuid(text: str) -> bool:
    """Lower-case hex in the 8-4-4-4-12 groups."""
    groups = text.split("-")
    return [len(group) for group in groups] == [8, 4, 4, 4, 12] and all(
        set(group) <= _HEX for group in groups)


def first_long_line(path: str, limit: int) -> tuple[int, int] | None:
    """(0-based index, bytes counting its line feed) of the first line longer than ``limit``
    bytes, counted as the row map validator counts them, read without holding a line."""
    limit = max(limit, 1)
    try:
        with open(open_regular(path), "rb") as stream:
            line = 0
            length = 0
            while chunk := stream.read(_CHUNK):
                start = 0
                while (end := chunk.find(b"\n", start)) >= 0:
                    length += end - start + 1
                    if length > limit:
                        return line, length
                    line, length, start = line + 1, 0, end + 1
                length += len(chunk) - start
            return (line, length) if length > limit else None
    except (OSError, ValueError):
        return None


def tracked_id_need(rows: int, sample: str | None) -> tuple[int, int, int]:
    """(limit that would do, id bytes per row, memory in bytes) for ``rows`` identifiers like
    ``sample``."""
    width = len(sample.encode()) if sample else _HYPHENATED_UUID_BYTES
    if sample is None or _usual_uuid(sample):
        memory = rows * _PACKED_ID_BYTES_PER_ROW
    else:
        memory = rows * (width + _OTHER_ID_OVERHEAD_PER_ROW)
    return rows * width, width, memory


def _file_size(path: str | None) -> int | None:
    try:
        return os.stat(path).st_size if path else None
    except (OSError, ValueError):
        return None


def limit_hint(code: str, context: LimitContext, *, path: str | None = None) -> str | None:
    """One line naming the option that raises the limit behind ``code`` and, where the tool can
    tell, a value that would do and the memory it costs; None for other codes. ``path`` is the
    file whose size was over the limit, for the size codes."""
    keyword = LIMIT_CODES.get(code)
    if keyword is None:
        return None
    flag = option(keyword)
    if context.limits.get(keyword) == _UNENFORCEABLE:
        return f"hint: {flag} {_UNENFORCEABLE} cannot be enforced; give a smaller value"
    hint = (_value_hint(code, flag, context, path)
            or f"raise {flag} above {context.limits[keyword]}")
    if keyword in context.budgeted:
        hint = f"{_budget_hint(context)}; or {hint}"
    if context.creating and code != "verification_report_issue_limit_exceeded":
        hint += "; verify and plan need the same option"
    return "hint: " + hint


def _budget_hint(context: LimitContext) -> str:
    """The memory budget that would accept the row map, when the row count is known."""
    rows = context.row_count()
    if rows is None:
        return f"raise {budget.OPTION}, which sets the row-map limits"
    need, _, memory = tracked_id_need(rows, _first_db_id_of(context))
    return (f"{budget.OPTION} {budget.format_size(budget.needed(rows, need))} would accept the "
            f"{rows} rows (checking them for duplicates holds about {human_bytes(memory)})")


def _value_hint(code: str, flag: str, context: LimitContext, path: str | None) -> str | None:
    if code == "manifest_file_too_large":
        size = _file_size(context.manifest)
        return None if size is None else (
            f"{flag} {size} would read this manifest ({human_bytes(size)}, held in memory while "
            "it is parsed)")
    if code in ("auxiliary_artifact_file_too_large", "calibration_profile_too_large",
                "encoder_distortion_profile_too_large"):
        size = _file_size(path)
        return None if size is None else (
            f"{flag} {size} would accept the file ({human_bytes(size)}, read whole into memory)")
    if code == "auxiliary_artifact_count_limit_exceeded":
        entries = context.entries
        return None if entries is None else f"{flag} {entries} would accept every entry"
    if code == "verification_report_issue_limit_exceeded":
        bound = context.limits.get("max_report_issues", 0)
        return (f"the list was cut at {bound} issues; a larger {flag} shows more of them "
                "(each issue is one short line of memory)")
    if code == "row_identity_line_too_large":
        found = (first_long_line(context.row_map, context.limits["max_row_map_line_bytes"])
                 if context.row_map is not None else None)
        if found is None:
            return None
        index, length = found
        return (f"line {index + 1} of the file is {length} bytes; {flag} {length} would accept "
                "it (one line is held in memory at a time)")
    if code == "row_identity_row_count_limit_exceeded":
        rows = context.row_count()
        if rows is None:
            return None
        hint = f"{flag} {rows} would accept the {rows} rows"
        need, _, memory = tracked_id_need(rows, _first_db_id_of(context))
        if need > context.limits.get("max_row_map_tracked_id_bytes", need):
            hint += (f", and checking them for duplicates needs --max-row-map-tracked-id-bytes "
                     f"{need} (about {human_bytes(memory)} of memory)")
        return hint
    if code == "row_identity_duplicate_tracking_limit_exceeded":
        rows = context.row_count()
        if rows is None:
            return None
        need, width, memory = tracked_id_need(rows, _first_db_id_of(context))
        hint = (f"{flag} {need} would do ({rows} rows x {width}-byte ids); it costs about "
                f"{human_bytes(memory)} of memory")
        if context.can_skip_duplicates:
            hint += ", or --allow-duplicate-db-ids skips the duplicate check and needs none"
        return hint
    return None


def is_consequence(code: str) -> bool:
    """Whether an issue, after an early stop of the row map, only restates it: the count check
    then counted only the rows read before the stop."""
    return code == _COUNT_MISMATCH


CONSEQUENCE_NOTE = ("this follows from the early stop above: the rows after it were not read, "
                    "so they were not counted")


# --- parser messages in plain words -----------------------------------------------------------

# What the typed reader expected, as a person says it.
_EXPECTED = {
    "usize": "a whole number (0 or more)",
    "u64": "a whole number (0 or more)",
    "u32": "a whole number from 0 to 4294967295",
    "u8": "a whole number from 0 to 255",
    "f64": "a number",
    "a string": "a string in double quotes",
    "a boolean": "true or false",
    "a sequence": "an array [...]",
    "a map": "an object {...}",
    "string or map": "a string or an object",
    "unit variant": "a plain string",
    "variant identifier": "a string naming the kind",
}
# The reader's complaints by their stable reason.
_SYNTAX = {
    "expected_value": "a JSON value (object, array, string, number, true, false or null) "
                      "should start here",
    "expected_ident": "a bare word that is not true, false or null; text must be in double "
                      "quotes",
    "eof_value": "the text ends where a value should be (empty, or cut short)",
    "eof_string": "the text ends inside a string (cut short, or a missing closing quote)",
    "eof_array": "the text ends inside an array (cut short, or a missing ])",
    "eof_object": "the text ends inside an object (cut short, or a missing })",
    "trailing_characters": "more text follows the end of the JSON value",
    "depth_limit": "the JSON nests deeper than 128 levels",
    "control_character": "a string holds a raw control character (write a newline as \\n, a "
                         "tab as \\t)",
    "invalid_escape": "a backslash escape in a string is not valid JSON",
    "invalid_code_point": "a \\u escape in a string is not a valid character",
    "lone_surrogate": "a \\u escape in a string is half of a pair",
    "end_of_hex_escape": "a \\u escape in a string has fewer than four hex digits",
    "number_out_of_range": "a number is too large",
    "invalid_number": "a number is not written as JSON writes numbers",
    "expected_comma_or_array_end": "an array item is not followed by a comma or ]",
    "expected_comma_or_object_end": "an object member is not followed by a comma or }",
    "expected_colon": "a key is not followed by a colon",
    "key_must_be_string": "an object key is not in double quotes",
    "trailing_comma": "a comma stands before a closing bracket; JSON allows none there",
}
_FOUND = {"null": "null", "array": "an array", "object": "an object"}


def _plain_expected(expected: str) -> str:
    if expected in _EXPECTED:
        return _EXPECTED[expected]
    if expected.startswith("struct "):
        return "an object {...}"
    if expected.startswith("internally tagged enum "):
        return 'an object with a "kind"'
    if expected.startswith("enum "):
        return "one of the allowed strings"
    return expected


def _plain_found(facts: Mapping[str, Any]) -> str:
    found = str(facts.get("found", ""))
    if found in _FOUND or "value" not in facts:
        return _FOUND.get(found, found)
    value = json.dumps(facts["value"], ensure_ascii=False)
    if found in ("integer", "float"):
        return "the number " + value
    if found == "string":
        return "the string " + value
    return value


def dotted(json_path: Sequence[str | int]) -> str:
    """``["auxiliary_artifacts", 0, "sha256"]`` -> ``auxiliary_artifacts[0].sha256``."""
    text = ""
    for step in json_path:
        text += f"[{step}]" if isinstance(step, int) else ("." if text else "") + step
    return text


def _subject(json_path: Sequence[str | int], default: str) -> str:
    return f"`{dotted(json_path)}`" if json_path else default


def _typed_clause(facts: Mapping[str, Any], default: str) -> str | None:
    """The typed reader's complaint about one value, its subject named by the member path."""
    reason = facts.get("reason")
    path: Sequence[str | int] = facts.get("json_path", [])
    subject = _subject(path, default)
    if reason in ("invalid_type", "invalid_value"):
        return (f"{subject} must be {_plain_expected(facts.get('expected', ''))}, but it is "
                f"{_plain_found(facts)}")
    if reason == "invalid_length":
        return (f"{subject} has {facts.get('length')} elements, but "
                f"{facts.get('expected')} are expected")
    if reason in ("duplicate_key", "unknown_key"):
        # The path ends with the key itself.
        owner = _subject(path[:-1], default)
        key = facts.get("key")
        return (f"{owner} has `{key}` twice" if reason == "duplicate_key" else
                f"{owner} has `{key}`, which is not allowed there (check the spelling)")
    if reason == "missing_key":
        return f"{subject} has no `{facts.get('key')}`, which is required"
    if reason == "unknown_variant":
        allowed = ", ".join(f"`{name}`" for name in facts.get("allowed", []))
        return f"{subject} is `{facts.get('value')}`, which is not one of {allowed}"
    return None


def plain_manifest_error(facts: Mapping[str, Any]) -> str | None:
    """The reader's complaint about a manifest in plain words, with the member and the place,
    from the facts of a :class:`~karnid_manifest.errors.ManifestParseError`."""
    if "reason" not in facts:
        return None
    where = f"line {facts['line']}, column {facts['column']}"
    clause = _typed_clause(facts, "the manifest")
    if clause is not None:
        return f"in plain words: {clause} ({where})"
    clause = _SYNTAX.get(facts["reason"])
    if clause is None:
        return None
    path = dotted(facts.get("json_path", []))
    inside = f", inside `{path}`" if path else ""
    return f"in plain words: {clause} ({where}{inside})"


_ROW_BYTES_EXPLAINED = 1 << 16


def plain_row_error(path: str | None, index: int | None) -> str | None:
    """Why row-map line ``index`` (0-based) is not a row, in plain words, read from the file
    itself: an empty line, text that is not JSON, or JSON that is not an object."""
    if path is None or index is None:
        return None
    line = _line_text(path, index)
    if line is None:
        return None
    if not line.strip():
        return "in plain words: the line is empty"
    try:
        value = json.loads(line)
    except ValueError as exc:
        column = f" (column {exc.colno} of that line)" if isinstance(
            exc, json.JSONDecodeError) else ""
        return f"in plain words: the line is not valid JSON{column}"
    if not isinstance(value, dict):
        return "in plain words: the line is not an object {...}"
    return None


def _line_text(path: str, index: int) -> bytes | None:
    """0-based line ``index`` of a file without its line feed, when it is short enough to
    explain."""
    try:
        with open(open_regular(path), "rb") as stream:
            for number, line in enumerate(stream):
                if number == index:
                    return line[:-1] if line.endswith(b"\n") else line
                if len(line) > _ROW_BYTES_EXPLAINED:
                    return None
    except (OSError, ValueError):
        return None
    return None


# --- files given as manifests -----------------------------------------------------------------


def not_a_manifest(path: str, shown: str) -> str | None:
    """A sentence saying what a file that failed to load as a manifest really is, when its first
    bytes tell: an index file, a row map, a signature or a key, or no text at all."""
    head = read_head(path)
    if not head:
        return None
    fmt = formats.index_format(head)
    if fmt is not None:
        return f"{shown} is a {fmt.kind} index file, not a manifest"
    first = head.split(b"\n", 1)[0]
    try:
        row = json.loads(first)
    except ValueError:
        row = None
    if isinstance(row, dict) and "row_id" in row and b"\n" in head.strip():
        return f"{shown} is a row map (JSON Lines), not a manifest"
    if b"\0" in head:
        return f"{shown} is a binary file, not a manifest"
    # Signatures and keys sit beside the manifest and are easily passed in its place.
    if head.lstrip().startswith(b"{") and b"application/vnd.dev.sigstore.bundle" in head:
        return f"{shown} is a signature (Sigstore bundle), not a manifest"
    if head.lstrip().startswith(b"-----BEGIN "):
        kind = "private key" if b"PRIVATE KEY-----" in head else \
            "public key" if b"PUBLIC KEY-----" in head else "file"
        return f"{shown} is a PEM {kind}, not a manifest"
    return None
