"""How a command ends: the exit statuses, the kinds of the JSON error object, and :class:`Failure`,
which ends a command early.

It imports nothing, so that the entry point can know these before (or without) loading anything
a command needs.
"""

from __future__ import annotations

TYPE_CHECKING = False  # typing's own costs more to import than this module
if TYPE_CHECKING:
    from typing import Any, Mapping, Sequence

PROG = "karnid-manifest"

EXIT_OK = 0
EXIT_FAILED = 1  # verification failed, a load plan or a signature was refused
EXIT_UNUSABLE = 2  # the command could not run
EXIT_INTERRUPTED = 130
# The reader of stdout went away: what a shell reports for a tool that SIGPIPE (13) ended.
EXIT_BROKEN_PIPE = 128 + 13
EXIT_TERMINATED = 143  # 128 + SIGTERM, as a shell reports a process that SIGTERM ended

# Kinds of the JSON error object.
KIND_BAD_ARGUMENTS = "bad_arguments"
KIND_CANNOT_RUN = "cannot_run"
KIND_PLAN_REFUSED = "plan_refused"
KIND_SIGNATURE_REFUSED = "signature_refused"
KIND_INTERRUPTED = "interrupted"


class Terminated(BaseException):
    """SIGTERM arrived (a CI timeout, a service manager): raised on the main thread so that the
    command cleans up as for Ctrl-C."""


class Failure(Exception):
    """The command (or one manifest of several) could not do what was asked. ``message`` is the
    line printed after "karnid-manifest: "; ``notes`` are indented lines under it; ``data`` joins
    the JSON error object. ``reason`` is the message without the file it concerns, for a line that
    names the file already."""

    def __init__(self, message: str, *, notes: Sequence[str | None] = (),
                 kind: str = KIND_CANNOT_RUN, status: int = EXIT_UNUSABLE,
                 data: Mapping[str, Any] | None = None, reason: str | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.reason = reason or message
        self.notes = [note for note in notes if note]
        self.kind = kind
        self.status = status
        self.data = dict(data or {})

    def as_json(self) -> dict[str, Any]:
        return {"kind": self.kind, "message": self.message, "exit_status": self.status,
                "notes": self.notes, **self.data}

    def lines(self) -> list[str]:
        return [self.message, *("  " + note for note in self.notes)]
