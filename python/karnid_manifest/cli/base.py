"""What the commands of the tool share: where and how they report (:class:`Output`), the option
groups, the keyword arguments built from them, and the failures that several commands raise.

Commands import this module and :mod:`karnid_manifest.cli.status`, never each other.
"""

from __future__ import annotations

import argparse
import base64
import json
import os
import shlex
import shutil
import sys
from dataclasses import dataclass, field
from typing import Any, Mapping, Sequence, cast

import _karnid_manifest as km

from karnid_manifest import budget, errors, explain, functions, issues, progress, render
from karnid_manifest.cli.status import EXIT_FAILED, KIND_PLAN_REFUSED, PROG, Failure
from karnid_manifest.errors import VerificationFailed
from karnid_manifest.files import (MANIFEST_IN_DIRECTORY, display_path, is_text, manifest_in,
                                   read_head, relative_unless_climbing)

U64_MAX = 2**64 - 1

LIMIT_HELP = {
    "max_manifest_bytes": "largest manifest file that is read",
    "max_row_map_line_bytes": "longest line of the row-identity file",
    "max_row_map_rows": "most lines of the row-identity file",
    "max_row_map_tracked_id_bytes": "total db_id bytes remembered to find duplicates",
    "max_auxiliary_artifacts": "most auxiliary artifact entries",
    "max_auxiliary_artifact_bytes": "largest auxiliary artifact file",
    "max_calibration_profile_bytes": "largest calibration profile file",
    "max_encoder_distortion_profile_bytes": "largest encoder distortion profile file",
    "max_report_issues": "most issues kept in a verification report",
    "max_cached_report_bytes": "accepted and passed on; nothing reads it yet",
}
POLICY_FLAGS = ("allow_path_escape", "allow_absolute_paths", "allow_duplicate_db_ids")


@dataclass
class Output:
    """Where and how a command reports: JSON or text, how much text, colour, progress."""

    json: bool = False
    quiet: bool = False
    status: bool = False
    style: render.Style = field(default_factory=lambda: render.Style(False))
    progress: progress.Progress = field(
        default_factory=lambda: progress.Progress(sys.stderr, enabled=False))

    @classmethod
    def for_args(cls, args: argparse.Namespace) -> Output:
        as_json = getattr(args, "json", False)
        quiet = getattr(args, "quiet", False)
        status = getattr(args, "status", False)
        colour = getattr(args, "color", "auto")
        return cls(json=as_json, quiet=quiet, status=status,
                   style=render.Style(render.colour_wanted(sys.stdout, colour)),
                   progress=progress.Progress(sys.stderr, enabled=progress.wanted(sys.stderr)
                                              and not (as_json or quiet or status)))

    def lines(self, lines: Sequence[str]) -> None:
        if not self.status:
            for line in lines:
                say(line)

    def document(self, value: object) -> None:
        # --status means nothing at all: a document for some outcomes and none for others would
        # leave a script that reads stdout guessing.
        if self.status:
            return
        json.dump(exact_paths(value), sys.stdout, indent=2)
        sys.stdout.write("\n")

    def failure(self, failure: Failure) -> None:
        """A failure on stderr (and as the JSON document), unless --status silences it."""
        if self.status:
            return
        if self.json:
            self.document(failure.as_json())
        first, *notes = failure.lines()
        say(f"{PROG}: {first}", err=True)
        for note in notes:
            say(note, err=True)


BYTES_SUFFIX = "_bytes"


def exact_paths(value: Any) -> Any:
    """``value`` ready for strict UTF-8 JSON. A path that is not UTF-8 (the load plan keeps the
    file's bytes, undecodable ones as lone surrogates) would come out as an escaped surrogate,
    which readers turn into U+FFFD and so into the name of another file. Such a string becomes
    its display form (U+FFFD for each undecodable byte), and, as a member of an object, gets the
    exact bytes beside it in base64 under its key plus "_bytes" ("artifact_path_bytes")."""
    if isinstance(value, dict):
        out: dict[Any, Any] = {}
        for key, item in value.items():
            out[key] = exact_paths(item)
            if isinstance(item, str) and not is_text(item):
                try:
                    exact = os.fsencode(item)
                except UnicodeEncodeError:
                    continue  # a surrogate that stands for no byte (from a Python caller)
                out[f"{key}{BYTES_SUFFIX}"] = base64.b64encode(exact).decode("ascii")
        return out
    if isinstance(value, (list, tuple)):
        return [exact_paths(item) for item in value]
    if isinstance(value, str) and not is_text(value):
        return display_path(value)
    return value


def say(line: str = "", *, err: bool = False) -> None:
    """Prints one line of text for people. Everything the tool prints for people passes here:
    text from a manifest (names, paths, messages) may hold any character, and none of its
    control characters may reach the terminal as such (see :func:`render.terminal`)."""
    print(render.terminal(line), file=sys.stderr if err else sys.stdout)


# --- option groups ----------------------------------------------------------------------------


def _u64(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if not 0 <= value <= U64_MAX:
        raise argparse.ArgumentTypeError(f"{value} is outside 0 to {U64_MAX}")
    return value


def size_argument(text: str) -> int:
    """argparse's type for a size in bytes with an optional K, M, G or T suffix."""
    try:
        return budget.parse_size(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def limit_options(parser: argparse.ArgumentParser, keywords: Sequence[str]) -> None:
    """The limit options of ``keywords``; where they include the row-map limits that follow
    from the memory budget, the budget's option too."""
    defaults: Mapping[str, object] = km.default_resource_limits()
    group = parser.add_argument_group("resource limits")
    budgeted = [keyword for keyword in budget.FOLLOWING if keyword in keywords]
    if budgeted:
        group.add_argument(budget.OPTION, dest=budget.KEYWORD, type=size_argument, metavar="SIZE",
                           help="memory the row map check may hold, in bytes or with a suffix "
                                "K, M or G (base 1024: 1K is 1024 bytes); sets "
                                f"{' and '.join(map(explain.option, budgeted))} unless they are "
                                "given (default: "
                                f"{budget.format_size(budget.DEFAULT_MEMORY_LIMIT)})")
    for keyword in keywords:
        default = (f"from {budget.OPTION}" if keyword in budgeted else defaults[keyword])
        group.add_argument(explain.option(keyword), dest=keyword, type=_u64, metavar="N",
                           help=f"{LIMIT_HELP[keyword]} (default: {default})")


def policy_options(parser: argparse.ArgumentParser, *, duplicates: bool) -> None:
    group = parser.add_argument_group("path policy")
    group.add_argument("--allow-path-escape", action="store_true",
                       help="accept paths that lead outside the manifest's directory")
    group.add_argument("--allow-absolute-paths", action="store_true",
                       help="accept absolute paths")
    if duplicates:
        group.add_argument("--allow-duplicate-db-ids", action="store_true",
                           help="accept a db_id that appears on more than one row")


def output_options(parser: argparse.ArgumentParser, json_what: str | None = None, *,
                   quiet: bool = False) -> None:
    group = parser.add_argument_group("output")
    if json_what is not None:
        group.add_argument("--json", action="store_true",
                           help=f"print {json_what} as one JSON document for machines (an "
                                "error object when the command fails)")
    if quiet:
        quietness = group.add_mutually_exclusive_group()
        quietness.add_argument("-q", "--quiet", action="store_true",
                               help="print only failures")
        quietness.add_argument("--status", action="store_true",
                               help="print nothing, not even with --json; the exit status tells "
                                    "the outcome")
    group.add_argument("--color", choices=render.COLOR_MODES, default="auto",
                       help="colour the text: auto (on a terminal, unless NO_COLOR is set), "
                            "always or never (default: auto)")


# --- keyword arguments for the module's functions ---------------------------------------------


def limits_given(args: argparse.Namespace) -> dict[str, int]:
    """The limit options the user gave; the module fills in the others."""
    return {keyword: value for keyword in LIMIT_HELP
            if (value := getattr(args, keyword, None)) is not None}


def limits_in_force(args: argparse.Namespace) -> dict[str, int]:
    """Every limit the call runs with: the module's defaults, the row-map limits of the memory
    budget (for the commands that have one), the options given."""
    defaults: Mapping[str, int] = cast(Mapping[str, int], km.default_resource_limits())
    given = limits_given(args)
    if hasattr(args, budget.KEYWORD):
        given = budget.apply(getattr(args, budget.KEYWORD), given)
    return {**defaults, **given}


def budgeted(args: argparse.Namespace) -> frozenset[str]:
    """The row-map limits that the memory budget sets for this run (those not given)."""
    if not hasattr(args, budget.KEYWORD):
        return frozenset()
    return frozenset(keyword for keyword in budget.FOLLOWING
                     if getattr(args, keyword, None) is None)


def verification_kwargs(args: argparse.Namespace) -> dict[str, Any]:
    """The limits the user gave, the memory budget and the path-policy flags the command has, as
    keyword arguments of the package's verification (and creation, which takes the same policy
    flags but the last)."""
    flags = {flag: getattr(args, flag) for flag in POLICY_FLAGS if hasattr(args, flag)}
    memory = ({budget.KEYWORD: getattr(args, budget.KEYWORD)}
              if hasattr(args, budget.KEYWORD) else {})
    return {**limits_given(args), **memory, **flags}


# --- manifests on the command line ------------------------------------------------------------


def manifest_target(argument: str) -> str:
    """A directory stands for the manifest.json in it."""
    return str(manifest_in(argument))


def command_prefix() -> list[str]:
    """How to run this tool so that a printed command works when pasted: its name when that is
    on the PATH and is this installation, else the script beside this interpreter (a virtual
    environment's bin/ is often not on the PATH), else the interpreter with -m."""
    script = os.path.join(os.path.dirname(sys.executable), PROG)
    found = shutil.which(PROG)
    if found is not None and os.path.exists(script) and os.path.samefile(found, script):
        return [PROG]
    if os.access(script, os.X_OK):
        return [relative_unless_climbing(script)]
    return [relative_unless_climbing(sys.executable), "-m", "karnid_manifest"]


def one_line(exc: BaseException) -> str:
    """An exception's message on one line; an OSError in the module's form, the system's text
    with "(os error N)", and without the file name (the line names the file itself)."""
    if isinstance(exc, OSError) and exc.strerror:
        return " ".join(errors.os_error_text(exc).splitlines())
    return " ".join(str(exc).splitlines()) or type(exc).__name__


def load_failure(target: str, exc: BaseException, limits: Mapping[str, int]) -> Failure:
    """Why a manifest could not be loaded, with what the tool can add: what the file really is,
    the parser's complaint in plain words, the option that raises the size limit."""
    shown = display_path(target)
    message = one_line(exc)
    if isinstance(exc, ValueError):
        what = explain.not_a_manifest(target, shown)
        if what is not None:
            return Failure(what, data={"module_message": message},
                           reason=what.replace(shown + " is", "it is", 1))
    notes = []
    if isinstance(exc, errors.LimitExceeded):
        notes.append(explain.limit_hint(exc.code, explain.LimitContext(limits, manifest=target),
                                        path=exc.filename))
    elif isinstance(exc, errors.ManifestParseError):
        notes.append(explain.plain_manifest_error(
            {"reason": exc.reason, "line": exc.line, "column": exc.column,
             "json_path": exc.json_path, **exc.details}))
    return Failure(f"cannot load manifest {shown}: {message}", notes=notes,
                   reason=f"cannot load it: {message}")


def unloadable(target: str, args: argparse.Namespace, out: Output) -> Failure | None:
    """Why the manifest cannot be loaded, or None when it can: for the signing steps, whose
    own complaint about an unusable manifest would lack what ``load_failure`` explains."""
    try:
        out.progress.run(lambda: functions.inspect_manifest(
            target, max_manifest_bytes=args.max_manifest_bytes))
    except (OSError, ValueError) as exc:
        return load_failure(target, exc, limits_in_force(args))
    return None


def verification_refused(what: str, target: str, exc: VerificationFailed) -> Failure:
    """``verify_for_load`` refused the manifest (for a load plan, or before signing): ``what``
    leads the line, the codes (and every issue, with its row-map line where it names one) join
    the JSON error object."""
    listed = {"issues": issues.with_row_lines(list(exc.issues))} if exc.issues else {}
    return Failure(
        f"{what}: {one_line(exc)}",
        notes=[f"run '{shlex.join([*command_prefix(), 'verify', target])}' to see every issue"],
        kind=KIND_PLAN_REFUSED, status=EXIT_FAILED,
        data={"codes": list(exc.codes), "more_codes": exc.more_codes, **listed},
        reason=one_line(exc))
