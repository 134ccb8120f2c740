"""A straightforward pure-Python row map validator: the reference the native validator is
measured against. It applies the same rules the obvious way — the file hashed as it is read,
json.loads per line, uuid.UUID for the identifiers, a set of the db_id values seen — and returns
the same summary, so a benchmark can check that both did the same work."""

from __future__ import annotations

import hashlib
import json
import uuid
from dataclasses import dataclass, field

FIELDS = {"row_id", "db_id", "parent_id"}


@dataclass
class Summary:
    sha256: str | None = None
    rows_read: int = 0
    parsed_rows: int = 0
    issues: list[tuple[str, str]] = field(default_factory=list)


def _check_id(name: str, value: str, index: int, issues: list[tuple[str, str]]) -> None:
    if not value:
        issues.append((f"row_identity_{name}_empty", f"line {index} has empty {name}"))
    elif "\0" in value:
        issues.append((f"row_identity_{name}_contains_nul", f"line {index} {name} contains NUL"))
    else:
        try:
            uuid.UUID(value)
        except ValueError:
            issues.append((f"row_identity_{name}_invalid_uuid",
                           f"line {index} {name} must be a UUID in v1"))


def validate(path: str, declared_rows: int, *, max_line_bytes: int = 65536,
             max_rows: int = 10_000_000, max_tracked_bytes: int = 1 << 26,
             allow_duplicates: bool = False) -> Summary:
    out = Summary()
    digest = hashlib.sha256()
    seen: set[str] = set()
    tracked = 0
    limit = max_line_bytes or 1
    with open(path, "rb") as f:
        for raw in f:
            digest.update(raw)
            index = out.rows_read
            out.rows_read += 1
            if out.rows_read > max_rows:
                out.issues.append(("row_identity_row_count_limit_exceeded", "too many rows"))
                return out
            if out.rows_read > declared_rows:
                out.issues.append(("row_identity_row_count_mismatch", "more than declared"))
                return out
            if len(raw) > limit:
                out.issues.append(("row_identity_line_too_large", f"line {index}"))
                return out
            line = raw[:-1] if raw.endswith(b"\n") else raw
            if line.endswith(b"\r"):
                line = line[:-1]
            try:
                row = json.loads(line)
            except ValueError as e:
                out.issues.append(("row_identity_jsonl_invalid_json", f"line {index}: {e}"))
                continue
            if (not isinstance(row, dict) or not FIELDS.issuperset(row)
                    or "row_id" not in row or "db_id" not in row):
                out.issues.append(("row_identity_jsonl_invalid_json", f"line {index}"))
                continue
            row_id, db_id, parent_id = row["row_id"], row["db_id"], row.get("parent_id")
            if (type(row_id) is not int or not 0 <= row_id < 1 << 64
                    or not isinstance(db_id, str)
                    or not (parent_id is None or isinstance(parent_id, str))):
                out.issues.append(("row_identity_jsonl_invalid_json", f"line {index}"))
                continue
            if row_id != index:
                out.issues.append(("row_identity_row_id_mismatch", f"line {index}"))
            _check_id("db_id", db_id, index, out.issues)
            if parent_id is not None:
                _check_id("parent_id", parent_id, index, out.issues)
            out.parsed_rows += 1
            if allow_duplicates:
                continue
            if db_id in seen:
                out.issues.append(("row_identity_duplicate_db_id", f"line {index} repeats db_id"))
                continue
            tracked += len(db_id.encode())
            if tracked > max_tracked_bytes:
                out.issues.append(("row_identity_duplicate_tracking_limit_exceeded", "tracked"))
                return out
            seen.add(db_id)
    out.sha256 = digest.hexdigest()
    return out
