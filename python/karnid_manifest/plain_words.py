""""In plain words" lines for the module texts that users stumbled over. The module's texts stay
as they are; these lines go under them.

Row-map issues name a row by its 0-based line; the value on that line (a db_id that is not a
UUID, a repeated db_id and the line it first appeared on) is read back from the row map, once for
all the issues of a report.
"""

from __future__ import annotations

import json
import os
from typing import Any, Iterable, Mapping, Sequence

from karnid_manifest import files

PREFIX = "in plain words: "
_UNREACHABLE_CODES = ("_path_unavailable", "_base_dir_unavailable")
_INVALID_UUID = "row_identity_db_id_invalid_uuid"
_DUPLICATE = "row_identity_duplicate_db_id"
_READ_STEP = 1 << 16


def row_values(path: str | None, lines: Iterable[int],
               max_line_bytes: int) -> tuple[dict[int, Any], dict[Any, int]]:
    """The db_id on each of ``lines`` of the row map, and for each of those ids the first line
    it is on; one pass that stops after the last line asked for. Lines that are not row objects
    are left out."""
    wanted = set(lines)
    values: dict[int, Any] = {}
    first: dict[Any, int] = {}
    if path is None or not wanted:
        return values, first
    try:
        fd = files.open_regular(path)
    except (OSError, ValueError):
        return values, first
    last = max(wanted)
    seen: list[tuple[int, Any]] = []
    with os.fdopen(fd, "rb") as stream:
        for number in range(last + 1):
            raw = stream.readline(max_line_bytes + 2)
            if not raw:
                break
            try:
                db_id = json.loads(raw).get("db_id")
            except (ValueError, AttributeError):
                continue
            if number in wanted and isinstance(db_id, str):
                values[number] = db_id
            seen.append((number, db_id))
    ids = set(values.values())
    for number, db_id in seen:
        if db_id in ids and db_id not in first:
            first[db_id] = number
    return values, first


def issue_notes(issues: Sequence[Mapping[str, Any]], row_map: str | None,
                max_line_bytes: int) -> list[str | None]:
    """A plain-words line (or None) for each issue of a report, in order; an issue's row is its
    ``line``, which the module gives with the issue."""
    numbers = {index: issue.get("line") for index, issue in enumerate(issues)
               if issue["code"] in (_INVALID_UUID, _DUPLICATE)}
    values, first = row_values(row_map, (n for n in numbers.values() if n is not None),
                               max_line_bytes)
    notes: list[str | None] = []
    for index, issue in enumerate(issues):
        code = issue["code"]
        number = numbers.get(index)
        value = values.get(number) if number is not None else None
        if code.endswith(_UNREACHABLE_CODES):
            notes.append(PREFIX + "cannot find or reach the file (it is missing, or a folder on "
                                  "its path is missing or cannot be entered)")
        elif code == _INVALID_UUID and number is not None:
            shown = json.dumps(value) if value is not None else "the db_id"
            notes.append(PREFIX + f"{shown} on line {number} (line {number + 1} of the file) is "
                                  "not a UUID, which schema version 1 requires of every db_id")
        elif code == _DUPLICATE and number is not None and value is not None:
            earlier = first.get(value)
            where = (f", which first appeared on line {earlier} (line {earlier + 1} of the file)"
                     if earlier is not None and earlier != number else "")
            notes.append(PREFIX + f"line {number} repeats the db_id {json.dumps(value)}{where}")
        else:
            notes.append(None)
    return notes


def _spells_as_text(path: str) -> bool:
    """Whether the resolved path is UTF-8 all the way, as a manifest must write it."""
    try:
        os.fsencode(os.path.realpath(path)).decode("utf-8")
    except (UnicodeDecodeError, ValueError, OSError):
        return False
    return True


def note(paths: Sequence[str]) -> str | None:
    """A plain-words line for a refused creation, or None: a file (or a folder on its path) that
    a manifest cannot name, told from the paths themselves."""
    if any(not _spells_as_text(path) for path in paths):
        return (PREFIX + "a file name (or a folder on its path) is not UTF-8 text; rename it to "
                         "a UTF-8 name and create the manifest again")
    return None


def creation_note(exc: OSError, auxiliary: Sequence[Mapping[str, Any]]) -> str | None:
    """Creation failed on a file: a folder given as a single auxiliary file."""
    for item in auxiliary:
        if isinstance(item.get("path"), str) and os.path.isdir(item["path"]):
            return (PREFIX + f"{files.display_path(item['path'])} is a folder; a folder goes with "
                             f"--aux-dir {item['name']}={files.display_path(item['path'])}")
    return note(str(exc))
