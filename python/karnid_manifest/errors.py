"""The exceptions of the package's functions.

The module raises a bare OSError whose message ends in "(os error N)" and leaves ``errno`` and
``filename`` unset, and it refuses a load plan with a plain ValueError. Python callers catch
FileNotFoundError, PermissionError and friends by habit and want to tell a refused manifest from a
malformed one, so the package turns the module's exceptions into those classes here. The message
stays the module's own text.

This is the one place where the package reads facts out of the module's messages.
"""

from __future__ import annotations

import os

TYPE_CHECKING = False  # typing's own costs more to import than the whole package
if TYPE_CHECKING:
    from typing import Any

_OS_ERROR_OPEN = " (os error "
_OS_ERROR_CLOSE = ")"


def os_error_text(exc: OSError) -> str:
    """An OSError as the module words one: "{description} (os error {number})"."""
    return f"{exc.strerror or exc} (os error {exc.errno})" if exc.errno else str(exc)

# The ways verify_for_load refuses a manifest it could load: a report that is not ok, and a
# report that cannot become a plan. Anything else it raises means the manifest did not load.
_REFUSAL_PREFIX = "manifest verification failed"
_INCONSISTENT_REPORT_PREFIXES = ("verified report ", "verified auxiliary artifact ")
_CODES_AFTER = _REFUSAL_PREFIX + ": "
_MORE_CODES = "..."


class VerificationFailed(ValueError):
    """``verify_for_load`` refused to plan a load: verification found issues.

    ``codes`` holds the issue codes the refusal names, in report order; the module names at most
    three, and ``more_codes`` says whether the report had more. ``verify_manifest`` gives the whole
    report. A report that verified clean but could not be turned into a plan (which points at a
    bug, not at the files) is refused the same way, with no codes.
    """

    def __init__(self, message: str, codes: tuple[str, ...] = (), more_codes: bool = False) -> None:
        super().__init__(message)
        self.codes = codes
        self.more_codes = more_codes

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (str(self), self.codes, self.more_codes))


def is_plan_refusal(message: str) -> bool:
    return message.startswith(_REFUSAL_PREFIX) or message.startswith(
        _INCONSISTENT_REPORT_PREFIXES)


def plan_refusal(message: str) -> VerificationFailed:
    """The refusal that a verify_for_load message describes."""
    codes: tuple[str, ...] = ()
    more = False
    if message.startswith(_CODES_AFTER):
        named = [code.strip() for code in message[len(_CODES_AFTER):].split(",")]
        more = bool(named) and named[-1] == _MORE_CODES
        codes = tuple(code for code in named if code and code != _MORE_CODES)
    return VerificationFailed(message, codes, more)


class _ModuleMessage(OSError):
    """Keeps ``str()`` to the module's message; a plain OSError would rebuild it from errno,
    strerror and filename once they are set."""

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else super().__str__()

    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild, (str(self), self.errno, self.filename))


_CLASSES: dict[type[OSError], type[OSError]] = {}


def _class_for(number: int | None) -> type[OSError]:
    # OSError(errno, text) picks the subclass that matches errno (FileNotFoundError for ENOENT...).
    base = type(OSError(number, "")) if number is not None else OSError
    cls = _CLASSES.get(base)
    if cls is None:
        cls = type(base.__name__, (_ModuleMessage, base), {"__module__": __name__})
        _CLASSES[base] = cls
    return cls


def _split_errno(message: str) -> tuple[str, int | None]:
    """The description and the error number of a module message that ends in "(os error N)";
    the whole message and None for any other."""
    description, sep, tail = message.rpartition(_OS_ERROR_OPEN)
    digits = tail[:-len(_OS_ERROR_CLOSE)]
    if sep and tail.endswith(_OS_ERROR_CLOSE) and digits.isdecimal():
        return description, int(digits)
    return message, None


def errno_of(message: str) -> int | None:
    """The error number at the end of a module message, if it has one."""
    return _split_errno(message)[1]


def _rebuild(message: str, number: int | None, filename: Any) -> OSError:
    exc = _class_for(number)(message)
    exc.errno = number
    exc.strerror = _split_errno(message)[0]
    exc.filename = filename
    return exc


def os_error(exc: OSError, filename: str | os.PathLike[str] | None) -> OSError:
    """The module's OSError as the subclass its error number calls for, with ``errno``,
    ``strerror`` and ``filename`` set; errors without a number (an unknown index magic, a
    truncated header) stay OSError."""
    message = str(exc)
    return _rebuild(message, errno_of(message), None if filename is None else os.fspath(filename))
