"""The ``karnid-manifest`` command line tool.

Exit codes: 0 verified (or done), 1 verification failed or the load plan was refused, 2 the command
could not run (bad arguments, a manifest that is missing, unreadable or malformed, a file that
cannot be hashed, a manifest that cannot be created), 130 interrupted. A failure that stops a
command prints one line on stderr, and under it, indented, what the tool can add: the option that
raises a limit, the parser's complaint in plain words. With ``--json`` every outcome is exactly one
JSON document on stdout: the module's result, or an error object.

Each subcommand is one entry of ``COMMANDS``: its help texts, a function that adds its options and
a function that runs it. ``verify`` and ``plan`` share their options (``_check_options``) and the
per-manifest step (``_check_one``).
"""

from __future__ import annotations

import argparse
import json
import os
import shlex
import shutil
import stat
import sys
import textwrap
from dataclasses import dataclass, field
from typing import Any, Callable, Mapping, NoReturn, Sequence, cast

import _karnid_manifest as km

import karnid_manifest as api
from karnid_manifest import (__version__, errors, explain, formats, progress, render, signing,
                             signing_cli)
from karnid_manifest.errors import VerificationFailed

PROG = "karnid-manifest"
EXIT_OK = 0
EXIT_FAILED = 1
EXIT_UNUSABLE = 2
EXIT_INTERRUPTED = 130
U64_MAX = 2**64 - 1
MANIFEST_IN_DIRECTORY = "manifest.json"
CODES_DOC = "docs/issue-codes.md"

# Kinds of the JSON error object.
KIND_BAD_ARGUMENTS = "bad_arguments"
KIND_CANNOT_RUN = "cannot_run"
KIND_PLAN_REFUSED = "plan_refused"
KIND_INTERRUPTED = "interrupted"

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


class Failure(Exception):
    """The command (or one manifest of several) could not do what was asked. ``message`` is the
    line printed after "karnid-manifest: "; ``notes`` are indented lines under it; ``data`` joins
    the JSON error object."""

    def __init__(self, message: str, *, notes: Sequence[str | None] = (),
                 kind: str = KIND_CANNOT_RUN, status: int = EXIT_UNUSABLE,
                 data: Mapping[str, Any] | None = None, brief: str | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.brief = brief or message  # without the file it concerns, for a line that names it
        self.notes = [note for note in notes if note]
        self.kind = kind
        self.status = status
        self.data = dict(data or {})

    def as_json(self) -> dict[str, Any]:
        return {"kind": self.kind, "message": self.message, "exit_status": self.status,
                "notes": self.notes, **self.data}

    def lines(self) -> list[str]:
        return [self.message, *("  " + note for note in self.notes)]


class _UsageError(Exception):
    def __init__(self, prog: str, message: str) -> None:
        super().__init__(message)
        self.prog = prog


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise _UsageError(self.prog, message)


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
                print(line)

    def document(self, value: object) -> None:
        # --status means nothing at all: a document for some outcomes and none for others would
        # leave a script that reads stdout guessing.
        if self.status:
            return
        json.dump(value, sys.stdout, indent=2)
        sys.stdout.write("\n")

    def failure(self, failure: Failure) -> None:
        """A failure on stderr (and as the JSON document), unless --status silences it."""
        if self.status:
            return
        if self.json:
            self.document(failure.as_json())
        first, *notes = failure.lines()
        print(f"{PROG}: {first}", file=sys.stderr)
        for note in notes:
            print(note, file=sys.stderr)


# --- argument types and shared options --------------------------------------------------------


def _u64(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if not 0 <= value <= U64_MAX:
        raise argparse.ArgumentTypeError(f"{value} is outside 0 to {U64_MAX}")
    return value


def _name_path(text: str) -> tuple[str, str]:
    name, sep, path = text.partition("=")
    if not sep or not name.strip() or not path:
        raise argparse.ArgumentTypeError(f"{text!r} is not NAME=PATH")
    return name, path


class _AuxAction(argparse.Action):
    """Collects --aux and --optional-aux in command-line order into one list of items."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        name, path = values
        items = list(getattr(namespace, self.dest) or [])
        items.append({"name": name, "path": path, "required": self.const})
        setattr(namespace, self.dest, items)


def _limit_options(parser: argparse.ArgumentParser, keywords: Sequence[str]) -> None:
    defaults: Mapping[str, object] = km.default_resource_limits()
    group = parser.add_argument_group("resource limits")
    for keyword in keywords:
        group.add_argument(explain.option(keyword), dest=keyword, type=_u64, metavar="N",
                           help=f"{LIMIT_HELP[keyword]} (default: {defaults[keyword]})")


def _policy_options(parser: argparse.ArgumentParser, *, duplicates: bool) -> None:
    group = parser.add_argument_group("path policy")
    group.add_argument("--allow-path-escape", action="store_true",
                       help="accept paths that lead outside the manifest's directory")
    group.add_argument("--allow-absolute-paths", action="store_true",
                       help="accept absolute paths")
    if duplicates:
        group.add_argument("--allow-duplicate-db-ids", action="store_true",
                           help="accept a db_id that appears on more than one row")


def _output_options(parser: argparse.ArgumentParser, json_what: str | None = None, *,
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


def limits_given(args: argparse.Namespace) -> dict[str, int]:
    """The limit options the user gave; the module fills in the others."""
    return {keyword: value for keyword in LIMIT_HELP
            if (value := getattr(args, keyword, None)) is not None}


def limits_in_force(args: argparse.Namespace) -> dict[str, int]:
    defaults: Mapping[str, int] = cast(Mapping[str, int], km.default_resource_limits())
    return {**defaults, **limits_given(args)}


def _policy(args: argparse.Namespace) -> dict[str, bool]:
    flags = {"allow_path_escape": args.allow_path_escape,
             "allow_absolute_paths": args.allow_absolute_paths}
    if hasattr(args, "allow_duplicate_db_ids"):
        flags["allow_duplicate_db_ids"] = args.allow_duplicate_db_ids
    return flags


def index_from_manifest_dir(index: str, manifest: str) -> str:
    """The module resolves an index override against the manifest's directory, like the paths
    inside the manifest; on the command line a relative path means the current directory. The
    path is rewritten relative to the manifest's real directory (where the module's own
    resolution starts), so the path policy still judges where the file really is."""
    if os.path.isabs(index):
        return index
    base = os.path.realpath(os.path.dirname(manifest) or ".")
    return os.path.relpath(os.path.realpath(index), base)


def command_prefix() -> list[str]:
    """How to run this tool so that a printed command works when pasted: its name when that is
    on the PATH and is this installation, else the script beside this interpreter (a virtual
    environment's bin/ is often not on the PATH), else the interpreter with -m."""
    script = os.path.join(os.path.dirname(sys.executable), PROG)
    found = shutil.which(PROG)
    if found is not None and os.path.exists(script) and os.path.samefile(found, script):
        return [PROG]

    def shown(path: str) -> str:
        relative = os.path.relpath(path)
        return path if relative.startswith("..") else relative

    if os.access(script, os.X_OK):
        return [shown(script)]
    return [shown(sys.executable), "-m", "karnid_manifest"]


def one_line(exc: BaseException) -> str:
    """An exception's message on one line; an OSError in the module's form (which is what the
    package's own OSErrors already say)."""
    if isinstance(exc, OSError) and exc.errno is not None and exc.strerror:
        return errors.os_error_text(exc)
    return " ".join(str(exc).splitlines()) or type(exc).__name__


def manifest_target(argument: str) -> str:
    """A directory stands for the manifest.json in it."""
    return os.path.join(argument, MANIFEST_IN_DIRECTORY) if os.path.isdir(argument) else argument


def load_failure(target: str, exc: BaseException, limits: Mapping[str, int]) -> Failure:
    """Why a manifest could not be loaded, with what the tool can add: what the file really is,
    the parser's complaint in plain words, the option that raises the size limit."""
    shown = render.display_path(target)
    message = one_line(exc)
    if isinstance(exc, ValueError):
        what = explain.not_a_manifest(target, shown)
        if what is not None:
            return Failure(what, data={"module_message": message},
                           brief=what.replace(shown + " is", "it is", 1))
    code, sep, _ = message.partition(": ")
    notes = []
    if sep and code in explain.LIMIT_CODES:
        notes.append(explain.limit_hint(code, message[len(code) + 2:],
                                        explain.Facts(limits, manifest=target)))
    elif isinstance(exc, ValueError):
        notes.append(explain.plain_manifest_error(
            message, formats.read_head(target, limits["max_manifest_bytes"])))
    return Failure(f"cannot load manifest {shown}: {message}", notes=notes,
                   brief=f"cannot load it: {message}")


def unloadable(target: str, args: argparse.Namespace, out: Output) -> Failure | None:
    """Why the manifest cannot be loaded, or None when it can: for the signing steps, whose
    own complaint about an unusable manifest would lack what ``load_failure`` explains."""
    try:
        out.progress.run(lambda: api.inspect_manifest(
            target, max_manifest_bytes=args.max_manifest_bytes))
    except (OSError, ValueError) as exc:
        return load_failure(target, exc, limits_in_force(args))
    return None


# --- create -----------------------------------------------------------------------------------


def _create_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("index", metavar="INDEX", help="the index file")
    p.add_argument("--out", required=True, metavar="MANIFEST",
                   help="where to write the manifest; paths in it are relative to its directory")
    p.add_argument("--force", action="store_true",
                   help="replace an existing manifest at --out")
    p.add_argument("--embedding-model", required=True, metavar="NAME",
                   help="the embedding model that produced the vectors")
    rows = p.add_mutually_exclusive_group(required=True)
    rows.add_argument("--row-map", metavar="FILE",
                      help="JSON Lines row-identity file: one {row_id, db_id} object per row")
    rows.add_argument("--row-id-is-identity", action="store_true",
                      help="the row number itself is the caller's identifier")
    p.add_argument("--aux", dest="auxiliary", action=_AuxAction, const=True, type=_name_path,
                   metavar="NAME=PATH", help="a required auxiliary file (repeatable)")
    p.add_argument("--optional-aux", dest="auxiliary", action=_AuxAction, const=False,
                   type=_name_path, metavar="NAME=PATH",
                   help="an optional auxiliary file (repeatable)")
    _policy_options(p, duplicates=False)
    _limit_options(p, list(LIMIT_HELP))
    _output_options(p, "the created manifest")


def _cmd_create(args: argparse.Namespace, out: Output) -> int:
    from karnid_manifest import creating

    manifest = creating.create(args, out)
    if out.json:
        out.document(manifest)
        return EXIT_OK
    out.lines(render.manifest_lines(manifest, args.out, out.style))
    out.lines(["", f"{out.style.good('OK')}: wrote {render.display_path(args.out)}"])
    return EXIT_OK


# --- verify and plan --------------------------------------------------------------------------


def _check_options(p: argparse.ArgumentParser, json_what: str) -> None:
    p.add_argument("manifests", nargs="+", metavar="MANIFEST",
                   help=f"a manifest file, or a directory holding a {MANIFEST_IN_DIRECTORY}")
    p.add_argument("--index", metavar="PATH",
                   help="verify this index file instead of the one the manifest names "
                        "(a relative path is taken from the current directory; one manifest "
                        "only)")
    _policy_options(p, duplicates=True)
    _limit_options(p, list(LIMIT_HELP))
    _output_options(p, json_what, quiet=True)
    signing_cli.add_signature_options(p)


@dataclass
class Outcome:
    """One manifest of a verify or plan run."""

    target: str
    status: int
    result: Mapping[str, Any] | None = None  # the report or the load plan
    failure: Failure | None = None
    signature: signing.SignatureInfo | None = None  # with --public-key, once it vouched


def _step(doing: str, base: str, path: str | None) -> progress.Step | None:
    if not path:
        return None
    return progress.Step.of(doing, os.path.realpath(os.path.join(base, path)))


def verify_work(target: str, index: str | None, label: str,
                limits: Mapping[str, int]) -> progress.Work | None:
    """The files a verification reads, in its order: the index, the auxiliary files (by name),
    the row map, the encoder distortion profile, the calibration profile."""
    try:
        # A pipe (say, <(...)) can be read only once: the verification must get its text.
        if not stat.S_ISREG(os.stat(target).st_mode):
            return None
        manifest: Mapping[str, Any] = km.inspect_manifest(
            target, max_manifest_bytes=limits.get("max_manifest_bytes"))
    except (OSError, ValueError):
        return None  # the verification itself will say why
    base = os.path.dirname(target) or "."
    steps = [_step("hashing the index", base, index or manifest["artifact"]["path"])]
    for entry in sorted(manifest.get("auxiliary_artifacts", []),
                        key=lambda e: (e["name"].encode(), e["path"].encode(), e["required"])):
        steps.append(_step(f"hashing auxiliary {render.quoted(entry['name'])}", base,
                           entry["path"]))
    rows = manifest["row_identity"]
    if rows["kind"] == "jsonl":
        steps.append(_step("checking rows", base, rows["path"]))
    for key, doing in (("encoder_distortion", "hashing the encoder distortion profile"),
                       ("calibration", "hashing the calibration profile")):
        profile = (manifest.get(key) or {}).get("profile")
        if profile:
            steps.append(_step(doing, base, profile["path"]))
    return progress.Work([step for step in steps if step is not None], label=label,
                         idle="reading the manifest")


def report_facts(report: Mapping[str, Any], args: argparse.Namespace,
                 target: str) -> explain.Facts:
    rows = report["row_identity"]
    return explain.Facts(limits_in_force(args), manifest=target, row_map=rows["canonical_path"],
                         rows=rows["row_count"])


def _check_one(target: str, args: argparse.Namespace, out: Output, *, planning: bool,
               label: str) -> Outcome:
    kwargs: dict[str, Any] = {**limits_given(args), **_policy(args)}
    if args.index is not None:
        kwargs["index"] = index_from_manifest_dir(args.index, target)
    override = os.path.realpath(args.index) if args.index is not None else None
    work = (verify_work(target, override, label, limits_given(args))
            if out.progress.enabled else None)
    shown = render.display_path(target)
    try:
        signed = signing_cli.verified_signature(target, args)
    except Failure as failure:
        if failure.status == EXIT_UNUSABLE:
            # A missing signature beside a missing manifest (or an index passed as one): the
            # manifest is what the user must fix first.
            failure = unloadable(target, args, out) or failure
        return Outcome(target, failure.status, failure=failure)
    try:
        if planning:
            result: Mapping[str, Any] = out.progress.run(
                lambda: api.verify_for_load(target, **kwargs), work)
        else:
            result = out.progress.run(lambda: api.verify_manifest(target, **kwargs), work)
    except VerificationFailed as exc:
        refusal = Failure(
            f"load plan refused for {shown}: {one_line(exc)}",
            notes=[f"run '{shlex.join([*command_prefix(), 'verify', target])}' to see every "
                   "issue"],
            kind=KIND_PLAN_REFUSED, status=EXIT_FAILED,
            data={"codes": list(exc.codes), "more_codes": exc.more_codes},
            brief=one_line(exc))
        return Outcome(target, EXIT_FAILED, failure=refusal, signature=signed)
    except (OSError, ValueError) as exc:
        return Outcome(target, EXIT_UNUSABLE, signature=signed,
                       failure=load_failure(target, exc, limits_in_force(args)))
    try:
        signing_cli.confirm_unchanged(target, signed, args)
    except Failure as failure:
        return Outcome(target, failure.status, failure=failure)
    ok = planning or bool(result["ok"])
    return Outcome(target, EXIT_OK if ok else EXIT_FAILED, result=result, signature=signed)


def _single(outcome: Outcome, args: argparse.Namespace, out: Output, *, planning: bool) -> int:
    signature = signing_cli.signature_row(outcome.signature)
    if outcome.failure is not None:
        if not (out.json or out.quiet):  # the signature held; what failed comes after it
            out.lines(render.table(signature, out.style))
        raise outcome.failure
    result = outcome.result
    assert result is not None
    if out.json:
        out.document(result)
    elif planning:
        if not out.quiet:
            out.lines(render.plan_lines(result, out.style, signature))
    elif not (out.quiet and result["ok"]):
        facts = report_facts(result, args, outcome.target)
        if out.quiet:
            out.lines([*render.issue_lines(result["errors"], out.style, facts), "",
                       render.verdict_line(result, outcome.target, out.style)])
        else:
            out.lines(render.report_lines(result, outcome.target, out.style, facts, signature))
    return outcome.status


def _compact(outcome: Outcome, args: argparse.Namespace, out: Output) -> list[str]:
    shown = render.display_path(outcome.target)
    style = out.style
    if outcome.failure is not None:
        word = "REFUSED" if outcome.failure.status == EXIT_FAILED else "ERROR"
        return [f"{shown}: {style.bad(word)}, {outcome.failure.brief}",
                *("  " + style.dim(note) for note in outcome.failure.notes)]
    result = outcome.result
    assert result is not None
    if "artifact_path" in result:  # a load plan
        return [] if out.quiet else [f"{shown}: {style.good('OK')}, load plan: "
                                     f"{result['artifact_path']}"]
    return render.compact_report_lines(result, outcome.target, style,
                                       report_facts(result, args, outcome.target),
                                       quiet=out.quiet)


def _summary(outcomes: Sequence[Outcome], planning: bool) -> str:
    counts = {status: sum(1 for o in outcomes if o.status == status)
              for status in (EXIT_OK, EXIT_FAILED, EXIT_UNUSABLE)}
    good, bad = ("load plan", "refused") if planning else ("verified", "failed")
    parts = [f"{counts[EXIT_OK]} {good}{'s' if planning and counts[EXIT_OK] != 1 else ''}",
             f"{counts[EXIT_FAILED]} {bad}"]
    if counts[EXIT_UNUSABLE]:
        parts.append(f"{counts[EXIT_UNUSABLE]} could not be checked")
    return f"{len(outcomes)} manifests: " + ", ".join(parts)


def _run_checks(args: argparse.Namespace, out: Output, *, planning: bool) -> int:
    targets = [manifest_target(argument) for argument in args.manifests]
    if args.index is not None and len(targets) != 1:
        raise Failure("--index needs exactly one manifest", kind=KIND_BAD_ARGUMENTS)
    signing_cli.check_arguments(args, targets)
    if len(targets) == 1:
        return _single(_check_one(targets[0], args, out, planning=planning, label=""), args,
                       out, planning=planning)
    outcomes = []
    for number, target in enumerate(targets, start=1):
        label = f"manifest {number}/{len(targets)}"
        outcome = _check_one(target, args, out, planning=planning, label=label)
        outcomes.append(outcome)
        if not (out.json or out.status):
            out.lines(_compact(outcome, args, out))
            sys.stdout.flush()
    worst = max(outcome.status for outcome in outcomes)
    if out.json:
        key = "plan" if planning else "report"
        out.document({"exit_status": worst, "manifests": [
            {"manifest": render.display_path(o.target), "exit_status": o.status,
             **({key: o.result} if o.failure is None else {"error": o.failure.as_json()})}
            for o in outcomes]})
    elif not (out.quiet and worst == EXIT_OK):
        out.lines(["", _summary(outcomes, planning)])
    return worst


def _cmd_verify(args: argparse.Namespace, out: Output) -> int:
    return _run_checks(args, out, planning=False)


def _cmd_plan(args: argparse.Namespace, out: Output) -> int:
    return _run_checks(args, out, planning=True)


# --- inspect, hash, limits, demo --------------------------------------------------------------


def _inspect_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("manifest", metavar="MANIFEST",
                   help=f"the manifest file, or a directory holding a {MANIFEST_IN_DIRECTORY}")
    _limit_options(p, ["max_manifest_bytes"])
    _output_options(p, "the manifest")


def _cmd_inspect(args: argparse.Namespace, out: Output) -> int:
    target = manifest_target(args.manifest)
    try:
        manifest = out.progress.run(lambda: api.inspect_manifest(target, **limits_given(args)))
    except (OSError, ValueError) as exc:
        raise load_failure(target, exc, limits_in_force(args)) from exc
    if out.json:
        out.document(manifest)
    else:
        out.lines(render.manifest_lines(manifest, target, out.style))
    return EXIT_OK


def _hash_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("files", nargs="+", metavar="FILE")
    _output_options(p, "the digests (a failed file gets an error object)")


def _cmd_hash(args: argparse.Namespace, out: Output) -> int:
    status = EXIT_OK
    results: list[dict[str, Any]] = []
    work = progress.Work([progress.Step.of("hashing", path) for path in args.files])
    for path in args.files:
        shown = render.display_path(path)
        try:
            digest = out.progress.run(lambda: api.sha256_file(path), work)
        except OSError as exc:
            failure = Failure(f"cannot hash {shown}: {one_line(exc)}")
            if out.json:
                results.append({"path": shown, "error": failure.as_json()})
            print(f"{PROG}: {failure.message}", file=sys.stderr)
            status = EXIT_UNUSABLE
            continue
        if out.json:
            results.append({"path": shown, **digest})
        else:
            print(f"{digest['sha256']}  {digest['size_bytes']:>12}  {shown}")
    if out.json:
        out.document(results)
    return status


def _cmd_limits(args: argparse.Namespace, out: Output) -> int:
    limits = km.default_resource_limits()
    if out.json:
        out.document(limits)
        return EXIT_OK
    options = {keyword: explain.option(keyword) for keyword in limits}
    width = max(len(option) for option in options.values())
    digits = max(len(str(value)) for value in limits.values())
    for keyword, value in limits.items():
        print(f"{options[keyword]:<{width}}  {value:>{digits}}  {LIMIT_HELP.get(keyword, '')}"
              .rstrip())
    return EXIT_OK


def _demo_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("dir", nargs="?", metavar="DIR",
                   help="directory for the sample files (default: a new one here)")


def _cmd_demo(args: argparse.Namespace, out: Output) -> int:
    from karnid_manifest import demo  # the demo drives this module in turn

    return demo.run(args.dir)


# --- the command table and main ---------------------------------------------------------------


@dataclass(frozen=True)
class Command:
    name: str
    summary: str
    description: str
    example: str
    options: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace, Output], int]


COMMANDS: list[Command] = [
    Command("create", "write a manifest for an index file",
            "Probe and hash an index file (and its row map and auxiliary files) and write a "
            "manifest for it. An existing manifest is replaced only with --force; the new one "
            "is written beside it under a temporary name and renamed into place, so an "
            "interrupted run leaves the old file or the new one.",
            f"{PROG} create models/idx/index.kdrq --out models/idx/manifest.json \\\n"
            "      --embedding-model my-encoder-v2 --row-map models/idx/rows.jsonl \\\n"
            "      --aux vocab=models/idx/vocab.txt",
            _create_options, _cmd_create),
    Command("verify", "check manifests and every file they name",
            "Check each manifest and every file it names. One manifest gets a line per file, "
            "every issue and a verdict; several get a line each and a summary. The exit status "
            "is the worst of them.",
            f"{PROG} verify models/idx/manifest.json\n"
            f"  {PROG} verify -q models/*/    (each directory's manifest.json; failures only)",
            lambda p: _check_options(p, "the report (several: one object listing them)"),
            _cmd_verify),
    Command("plan", "verify for loading and print the files a loader should open",
            "Verify each manifest for loading and print the canonical paths a loader should "
            "open. A manifest with any issue is refused (exit status 1); 'verify' shows why.",
            f"{PROG} plan --json models/idx/manifest.json",
            lambda p: _check_options(p, "the load plan (several: one object listing them)"),
            _cmd_plan),
    Command("sign", "sign a manifest that verifies",
            "Verify a manifest, then sign its exact bytes with a private key: a Sigstore bundle "
            "(DSSE, in-toto statement) that model-signing and securesystemslib verify too. "
            "'verify' and 'plan' check it with --public-key.",
            f"{PROG} sign models/idx/manifest.json --key build-key.pem\n"
            f"  {PROG} plan models/idx/manifest.json --public-key build-key.pub",
            signing_cli.sign_options, signing_cli.cmd_sign),
    Command("inspect", "parse a manifest and summarise it",
            "Parse a manifest without opening the files it names, and summarise it.",
            f"{PROG} inspect models/idx/manifest.json",
            _inspect_options, _cmd_inspect),
    Command("hash", "print the SHA-256 and size of files",
            "Print the SHA-256 digest, the size and the name of each file.",
            f"{PROG} hash models/idx/index.kdrq models/idx/rows.jsonl",
            _hash_options, _cmd_hash),
    Command("limits", "print the default resource limits",
            "Print each resource-limit option with its default value.",
            f"{PROG} limits --json",
            lambda p: _output_options(p, "the limits"), _cmd_limits),
    Command("demo", "run the end-to-end demo on generated sample data",
            "Generate sample indexes and files, create and verify their manifests, print a "
            "load plan, then damage a copy and show the failed verification.",
            f"{PROG} demo demo-out",
            _demo_options, _cmd_demo),
]


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Create, inspect and verify index manifests that vouch for a persisted "
                    "vector index.",
        epilog="exit status:\n"
               "  0    verified, or the command did what was asked\n"
               "  1    verification failed, or the load plan was refused\n"
               "  2    the command could not run (bad arguments, a manifest that cannot be\n"
               "       loaded, a file that cannot be read, a manifest that cannot be created)\n"
               "  130  interrupted (Ctrl-C)\n\n"
               f"Every issue code, with what to do about it: {CODES_DOC}\n"
               f"'{PROG} COMMAND --help' describes a command and its options.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS:
        # The raw formatter keeps the example's line breaks; the description is wrapped here.
        p = sub.add_parser(command.name, help=command.summary,
                           description=textwrap.fill(command.description, width=79),
                           epilog=f"example:\n  {command.example}",
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        command.options(p)
        p.set_defaults(run=command.run)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    parser = build_parser()
    try:
        args = parser.parse_args(arguments)
    except SystemExit as exc:  # --help and --version
        return exc.code if isinstance(exc.code, int) else EXIT_UNUSABLE
    except _UsageError as exc:
        failure = Failure(f"error: {exc} (see '{exc.prog} --help')", kind=KIND_BAD_ARGUMENTS)
        if "--json" in arguments:
            Output(json=True).document(failure.as_json())
        print(f"{exc.prog}: {failure.message}", file=sys.stderr)
        return EXIT_UNUSABLE
    out = Output.for_args(args)
    try:
        return int(args.run(args, out))
    except Failure as failure:
        out.failure(failure)
        return failure.status
    except KeyboardInterrupt:
        out.failure(Failure("interrupted", kind=KIND_INTERRUPTED, status=EXIT_INTERRUPTED))
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (say, `| head`); say nothing more on a closed pipe.
        _silence_stdout()
        return EXIT_FAILED


def _silence_stdout() -> None:
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass
