"""What the command line tool adds to the module's texts so that a person knows what to do.

The module's messages are kept as they are (machines and the issue-code reference rely on them);
the functions here compute the extra line shown under them: the option that raises a resource limit
and a value that would do, the parser's complaint in plain words with the field it concerns, the
line of the file that a 0-based row index means, and what a file given as a manifest really is.
"""

from __future__ import annotations

import json
import os
import re
from dataclasses import dataclass, field
from typing import Mapping

from karnid_manifest import formats
from karnid_manifest.files import open_regular, read_head
from karnid_manifest.report import ROW_IDENTITY_PREFIX

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

_LINE_AT_START = re.compile(r"^line (\d+)\b")
_LINE_IN_MESSAGE = re.compile(r"\bline (\d+)\b")


def file_line(code: str, message: str) -> str:
    """A row-map message with the file's own line number beside the 0-based row index, which is
    what the module counts from: "line 4 has row_id 7" -> "line 4 (line 5 of the file) has ..."."""
    if not code.startswith(ROW_IDENTITY_PREFIX):
        return message
    return _LINE_AT_START.sub(lambda m: f"line {m.group(1)} (line {int(m.group(1)) + 1} of the file)",
                              message, count=1)


def row_index(message: str) -> int | None:
    match = _LINE_IN_MESSAGE.search(message)
    return int(match.group(1)) if match else None


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
_AT_LEAST = " has at least "
_TOO_LARGE_TO_ENFORCE = "too large to enforce"
_DECLARED_ROWS = re.compile(r"^row_identity\.row_count (\d+) exceeds")
_ENTRY_COUNT = re.compile(r" has (\d+) entries")
_READ_PATH = re.compile(r" while reading (.*)$")
_ISSUE_BOUND = re.compile(r"max_report_issues=(\d+)")
# Identifiers in the usual form are kept as the 16 bytes they spell; the set costs about this
# much per row with them (measured on maps of 2 and 10 million rows), and about the identifier's
# length plus this much per row with any other form.
_PACKED_ID_BYTES_PER_ROW = 32
_OTHER_ID_OVERHEAD_PER_ROW = 20
_USUAL_UUID = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
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
    # Whether the command has --allow-duplicate-db-ids (creation always checks duplicates).
    can_skip_duplicates: bool = True
    creating: bool = False
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


def tracked_id_need(rows: int, sample: str | None) -> tuple[int, int, int]:
    """(limit that would do, id bytes per row, memory in bytes) for ``rows`` identifiers like
    ``sample``."""
    width = len(sample.encode()) if sample else _HYPHENATED_UUID_BYTES
    if sample is None or _USUAL_UUID.match(sample):
        memory = rows * _PACKED_ID_BYTES_PER_ROW
    else:
        memory = rows * (width + _OTHER_ID_OVERHEAD_PER_ROW)
    return rows * width, width, memory


def _file_size(path: str | None) -> int | None:
    try:
        return os.stat(path).st_size if path else None
    except (OSError, ValueError):
        return None


def limit_hint(code: str, message: str, context: LimitContext) -> str | None:
    """One line naming the option that raises the limit behind ``code`` and, where the tool can
    tell, a value that would do and the memory it costs; None for other codes."""
    keyword = LIMIT_CODES.get(code)
    if keyword is None:
        return None
    flag = option(keyword)
    if _TOO_LARGE_TO_ENFORCE in message:
        return (f"hint: {flag} {context.limits.get(keyword)} cannot be enforced; give a smaller "
                "value")
    hint = (_value_hint(code, message, flag, context)
            or f"raise {flag} above {context.limits[keyword]}")
    if context.creating and code != "verification_report_issue_limit_exceeded":
        hint += "; verify and plan need the same option"
    return "hint: " + hint


def _value_hint(code: str, message: str, flag: str, context: LimitContext) -> str | None:
    if code == "manifest_file_too_large":
        size = _file_size(context.manifest)
        return None if size is None else (
            f"{flag} {size} would read this manifest ({human_bytes(size)}, held in memory while "
            "it is parsed)")
    if code in ("auxiliary_artifact_file_too_large", "calibration_profile_too_large",
                "encoder_distortion_profile_too_large"):
        match = _READ_PATH.search(message)
        size = _file_size(match.group(1)) if match else None
        return None if size is None else (
            f"{flag} {size} would accept the file ({human_bytes(size)}, read whole into memory)")
    if code == "auxiliary_artifact_count_limit_exceeded":
        match = _ENTRY_COUNT.search(message)
        return None if match is None else f"{flag} {match.group(1)} would accept every entry"
    if code == "verification_report_issue_limit_exceeded":
        match = _ISSUE_BOUND.search(message)
        bound = int(match.group(1)) if match else context.limits.get("max_report_issues", 0)
        return (f"the list was cut at {bound} issues; a larger {flag} shows more of them "
                "(each issue is one short line of memory)")
    if code == "row_identity_line_too_large":
        index = row_index(message)
        if index is None or context.row_map is None:
            return None
        length = line_length(context.row_map, index)
        return None if length is None else (
            f"line {index + 1} of the file is {length} bytes; {flag} {length} would accept it "
            "(one line is held in memory at a time)")
    if code == "row_identity_row_count_limit_exceeded":
        declared = _DECLARED_ROWS.match(message)
        rows = int(declared.group(1)) if declared else context.row_count()
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


def is_consequence(code: str, message: str) -> bool:
    """Whether an issue only restates that the row map was not read to its end: the count check
    after an early stop says "at least N rows"."""
    return code == _COUNT_MISMATCH and _AT_LEAST in message


CONSEQUENCE_NOTE = ("this follows from the early stop above: the rows after it were not read, "
                    "so they were not counted")


# --- parser messages in plain words -----------------------------------------------------------

_POSITION = re.compile(r"^(.*) at line (\d+) column (\d+)$")
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
_SYNTAX = {
    "expected value": "a JSON value (object, array, string, number, true, false or null) "
                      "should start here",
    "expected ident": "a bare word that is not true, false or null; text must be in double "
                      "quotes",
    "EOF while parsing a value": "the text ends where a value should be (empty, or cut short)",
    "EOF while parsing a string": "the text ends inside a string (cut short, or a missing "
                                  "closing quote)",
    "EOF while parsing a list": "the text ends inside an array (cut short, or a missing ])",
    "EOF while parsing an object": "the text ends inside an object (cut short, or a missing })",
    "trailing characters": "more text follows the end of the JSON value",
    "recursion limit exceeded": "the JSON nests deeper than 128 levels",
    "invalid escape": "a backslash escape in a string is not valid JSON",
    "invalid unicode code point": "a \\u escape in a string is not a valid character",
    "lone leading surrogate in hex escape": "a \\u escape in a string is half of a pair",
    "unexpected end of hex escape": "a \\u escape in a string has fewer than four hex digits",
    "number out of range": "a number is too large",
    "invalid number": "a number is not written as JSON writes numbers",
    "expected `,` or `]`": "an array item is not followed by a comma or ]",
    "expected `,` or `}`": "an object member is not followed by a comma or }",
    "expected `:`": "a key is not followed by a colon",
    "key must be a string": "an object key is not in double quotes",
    "trailing comma": "a comma stands before a closing bracket; JSON allows none there",
}
_CONTROL_CHARACTER = "control character"


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


def _plain_value(described: str) -> str:
    if described == "sequence":
        return "an array"
    if described == "map":
        return "an object"
    for prefix, plain in (("integer ", "the number "), ("floating point ", "the number "),
                          ("boolean ", ""), ("string ", "the string ")):
        if described.startswith(prefix):
            return plain + described[len(prefix):].strip("`")
    return described


def _typed_clause(description: str, subject: str) -> str | None:
    """The typed reader's complaints about one value (its subject named by the caller)."""
    for head in ("invalid type: ", "invalid value: "):
        if description.startswith(head):
            got, sep, expected = description[len(head):].rpartition(", expected ")
            if sep:
                return (f"{subject} must be {_plain_expected(expected)}, but it is "
                        f"{_plain_value(got)}")
    match = re.match(r"^invalid length (\d+), expected (.*)$", description)
    if match:
        return f"{subject} has {match.group(1)} elements, but {match.group(2)} are expected"
    match = re.match(r"^(missing|duplicate|unknown) field `(.*?)`", description)
    if match:
        kind, name = match.groups()
        return {"missing": f"{subject} has no `{name}`, which is required",
                "duplicate": f"{subject} has `{name}` twice",
                "unknown": f"{subject} has `{name}`, which is not allowed there (check the "
                           "spelling)"}[kind]
    match = re.match(r"^unknown variant `(.*?)`, expected (.*)$", description)
    if match:
        return f"{subject} is `{match.group(1)}`, which is not one of {match.group(2)}"
    return None


def _syntax_clause(description: str) -> str | None:
    if description in _SYNTAX:
        return _SYNTAX[description]
    if description.startswith(_CONTROL_CHARACTER):
        return "a string holds a raw control character (write a newline as \\n, a tab as \\t)"
    return None


def split_position(message: str) -> tuple[str, int, int] | None:
    match = _POSITION.match(message)
    if match is None:
        return None
    return match.group(1), int(match.group(2)), int(match.group(3))


def json_path_at(text: bytes, line: int, column: int) -> str:
    """The dotted path (``artifact.params.bits``, ``auxiliary_artifacts[0]``) of the value that
    the parser was reading at a position it reported (1-based line, column counting the byte the
    error concerns). Tolerant of broken JSON: it follows brackets, keys and commas only."""
    offset = 0
    for _ in range(line - 1):
        newline = text.find(b"\n", offset)
        if newline < 0:
            break
        offset = newline + 1
    target = min(offset + max(column - 1, 0), len(text))
    frames: list[list[object]] = []  # [kind, key or index, expecting a key]
    i = 0
    while i <= target and i < len(text):
        char = text[i:i + 1]
        if char == b'"':
            end = i + 1
            while end < len(text) and text[end:end + 1] != b'"':
                end += 2 if text[end:end + 1] == b"\\" else 1
            if frames and frames[-1][0] == "obj" and frames[-1][2] and end < target:
                frames[-1][1] = text[i + 1:end].decode("utf-8", "replace")
                frames[-1][2] = False
            i = end
        elif char == b"{":
            frames.append(["obj", None, True])
        elif char == b"[":
            frames.append(["arr", 0, False])
        elif char in (b"}", b"]"):
            if frames:
                frames.pop()
        elif char == b"," and frames:
            if frames[-1][0] == "obj":
                frames[-1][1], frames[-1][2] = None, True
            else:
                frames[-1][1] = int(str(frames[-1][1])) + 1
        i += 1
    path = ""
    for kind, key, _ in frames:
        if kind == "arr":
            path += f"[{key}]"
        elif key is not None:
            path += ("." if path else "") + str(key)
    return path


def plain_manifest_error(message: str, text: bytes | None) -> str | None:
    """The parser's complaint about a manifest in plain words, with the field and the place."""
    parts = split_position(message)
    if parts is None:
        return None
    description, line, column = parts
    path = json_path_at(text, line, column) if text is not None else ""
    where = f"line {line}, column {column}"
    subject = f"`{path}`" if path else "the manifest"
    clause = _typed_clause(description, subject)
    if clause is not None:
        return f"in plain words: {clause} ({where})"
    clause = _syntax_clause(description)
    if clause is None:
        return None
    inside = f", inside `{path}`" if path else ""
    return f"in plain words: {clause} ({where}{inside})"


_ROW_PARSE = re.compile(r" is not a strict row object: (.*)$")


def plain_row_error(message: str) -> str | None:
    """The parser's complaint about one row-map line in plain words ("at line 1" in the module's
    text is the parser's view of the single line it was given)."""
    match = _ROW_PARSE.search(message)
    parts = split_position(match.group(1)) if match else None
    if parts is None:
        return None
    description, _, column = parts
    if description == "EOF while parsing a value" and column == 0:
        return "in plain words: the line is empty"
    clause = _typed_clause(description, "the row")
    if clause is None:
        clause = _syntax_clause(description)
    if clause is None:
        return None
    return f"in plain words: {clause} (column {column} of that line)"


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
