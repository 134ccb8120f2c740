"""The exceptions of the package's functions.

The module raises a bare OSError or ValueError whose message is meant for people, and attaches
what it knows as data in the private attribute ``_karnid_facts`` (its shapes are the
``_KarnidFacts`` types of the module's stub). Python callers catch FileNotFoundError,
PermissionError and friends by habit, want the file named, and want to tell a refused manifest
from a malformed one; so the package builds those exceptions here, from the facts alone. The
module's message stays reachable: ``strerror`` of an OSError, ``str()`` of the ValueErrors.
"""

from __future__ import annotations

import os

TYPE_CHECKING = False  # typing's own costs more to import than the whole package
if TYPE_CHECKING:
    from typing import Any, Mapping, Sequence

FACTS = "_karnid_facts"
ISSUE_LIMIT_CODE = "verification_report_issue_limit_exceeded"


def facts_of(exc: BaseException) -> dict[str, Any]:
    """The facts the module attached to ``exc`` (an empty dict for any other exception)."""
    facts = getattr(exc, FACTS, None)
    return facts if isinstance(facts, dict) else {}


def os_error_text(exc: OSError) -> str:
    """An OSError as the module words one: "{description} (os error {number})"."""
    if exc.errno:
        return f"{exc.strerror or exc} (os error {exc.errno})"
    return str(exc.strerror) if exc.strerror else str(exc)


class VerificationFailed(ValueError):
    """``verify_for_load`` refused to plan a load: verification found issues.

    ``issues`` holds every error issue of the report (``code``, ``message`` and the 0-based
    row-map ``line`` it names, or None), ``codes`` their
    distinct codes in report order. ``more_codes`` is True when the report itself was cut short
    by ``max_report_issues``, so that files have problems beyond those listed. A report that
    verified clean but could not be turned into a plan (which points at a bug, not at the files)
    is refused the same way, with no codes.
    """

    def __init__(self, message: str, codes: Sequence[str] = (), more_codes: bool = False,
                 issues: Sequence[Mapping[str, Any]] = ()) -> None:
        super().__init__(message)
        self.codes = tuple(codes)
        self.more_codes = more_codes
        self.issues = tuple(issues)

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (str(self), self.codes, self.more_codes, self.issues))


class ManifestParseError(ValueError):
    """A manifest (or a profile it names) is not valid JSON, or not the document it must be.

    ``line`` and ``column`` are where the reader stopped (1-based, the column counting the byte
    it stopped at), ``offset`` the bytes before that line, ``json_path`` the member being read
    (``["artifact", "dim"]``), ``reason`` the stable name of the complaint ("trailing_comma",
    "invalid_type", ...), and ``details`` what the reason carries (``key``, ``expected``,
    ``found``, ``value``, ``allowed``, ``length``).
    """

    def __init__(self, message: str, reason: str, line: int, column: int, offset: int,
                 json_path: Sequence[str | int], details: Mapping[str, Any] | None = None) -> None:
        super().__init__(message)
        self.reason = reason
        self.line = line
        self.column = column
        self.offset = offset
        self.json_path = list(json_path)
        self.details = dict(details or {})

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (str(self), self.reason, self.line, self.column, self.offset,
                             self.json_path, self.details))


class RowMapInvalid(ValueError):
    """``create_manifest`` refused a row map: ``issues`` holds each problem (``code``,
    ``message`` and ``line``, the 0-based row the message names, or None)."""

    def __init__(self, message: str, issues: Sequence[Mapping[str, Any]] = ()) -> None:
        super().__init__(message)
        self.issues = tuple(issues)

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (str(self), self.issues))


class LimitExceeded(ValueError):
    """A resource limit stopped the call: ``code`` is its issue code, ``filename`` the file whose
    size was over the limit (None when a count was)."""

    def __init__(self, message: str, code: str, filename: str | None = None) -> None:
        super().__init__(message)
        self.code = code
        self.filename = filename

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (str(self), self.code, self.filename))


class _ModuleText(OSError):
    """An OSError without an error number (an unknown index magic, a truncated header): the
    module's text, and the file it concerns, as Python words a failed ``open``."""

    def __str__(self) -> str:
        if self.filename is None:
            return str(self.strerror)
        return f"{self.strerror}: {self.filename!r}"


_CLASSES: dict[type[OSError], type[OSError]] = {}


def _class_for(number: int | None) -> type[OSError]:
    if number is None:
        return _ModuleText
    # OSError(errno, text) picks the subclass that matches errno (FileNotFoundError for ENOENT...).
    return type(OSError(number, ""))


def _filename(path: object) -> str | None:
    return os.fsdecode(path) if isinstance(path, bytes) else None


def os_error(exc: OSError) -> OSError:
    """The module's OSError as the subclass its error number calls for, with ``errno``,
    ``strerror`` and ``filename`` from its facts; ``exc`` itself when it carries none."""
    facts = facts_of(exc)
    if facts.get("kind") not in ("os", "io_text"):
        return exc
    number = facts.get("errno")
    filename = _filename(facts.get("path"))
    strerror = os.strerror(number) if number is not None else str(exc)
    if number is None:
        error: OSError = _ModuleText(None, strerror)
        error.filename = filename
        return error
    if filename is None:
        return _class_for(number)(number, strerror)
    return _class_for(number)(number, strerror, filename)


def write_error(exc: ValueError, out: object) -> OSError | None:
    """The module's failed write of a manifest (a ValueError whose facts say "write_failed") as
    the OSError of the write's error number, naming ``out``; None for any other ValueError."""
    facts = facts_of(exc)
    if facts.get("kind") != "write_failed":
        return None
    number = facts.get("errno")
    filename = _filename(facts.get("path"))
    if filename is None and isinstance(out, (str, bytes, os.PathLike)):
        filename = os.fsdecode(out)
    if number is None:
        error: OSError = _ModuleText(None, str(exc))
        error.filename = filename
        return error
    return _class_for(number)(number, os.strerror(number), filename)


def value_error(exc: ValueError) -> ValueError:
    """The module's ValueError as the package's class for its facts; ``exc`` itself for the
    kinds that have none (an invalid argument, a failed write)."""
    facts = facts_of(exc)
    kind = facts.get("kind")
    message = str(exc)
    if kind == "json":
        details = {key: value for key, value in facts.items()
                   if key not in ("kind", "reason", "line", "column", "offset", "json_path")}
        return ManifestParseError(message, facts["reason"], facts["line"], facts["column"],
                                  facts["offset"], facts["json_path"], details)
    if kind == "coded":
        return LimitExceeded(message, facts["code"], _filename(facts.get("path")))
    if kind == "row_map_invalid":
        return RowMapInvalid(message, facts["issues"])
    if kind == "verification_failed":
        issues = [{"code": issue["code"], "message": issue["message"], "line": issue.get("line")}
                  for issue in facts["issues"]]
        codes = list(dict.fromkeys(issue["code"] for issue in issues))
        return VerificationFailed(message, codes, ISSUE_LIMIT_CODE in codes, issues)
    if kind == "inconsistent_report":
        return VerificationFailed(message)
    return exc
