"""The ``karnid-manifest`` command line tool.

Exit codes: 0 verified (or done), 1 verification failed or the load plan was refused, 2 the command
could not run (bad arguments, a manifest that is missing, unreadable or malformed, a file that
cannot be hashed, a manifest that cannot be created). Expected failures print one line on stderr.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Callable, Mapping, NoReturn, Sequence, TypeVar

import _karnid_manifest as km

from karnid_manifest import __version__, progress, render, signing_cli

T = TypeVar("T")

PROG = "karnid-manifest"
EXIT_OK = 0
EXIT_FAILED = 1
EXIT_UNUSABLE = 2
EXIT_INTERRUPTED = 130
U64_MAX = 2**64 - 1

# The two ways verify_for_load refuses a manifest that it could load: a report that is not ok, or
# a report that cannot be turned into a plan. Everything else it raises means the manifest could
# not be loaded at all.
PLAN_REFUSAL_PREFIXES = ("manifest verification failed", "verified report")

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


class Unusable(Exception):
    """The command could not run; the message is the one line printed on stderr."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_UNUSABLE, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _option(keyword: str) -> str:
    return "--" + keyword.replace("_", "-")


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
        group.add_argument(_option(keyword), dest=keyword, type=_u64, metavar="N",
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


def _json_option(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("--json", action="store_true", help=f"print {what} as JSON for machines")


def _limits(args: argparse.Namespace) -> dict[str, int]:
    """The limit options the user gave; the module fills in the others."""
    given = {}
    for keyword in LIMIT_HELP:
        value = getattr(args, keyword, None)
        if value is not None:
            given[keyword] = value
    return given


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


def _one_line(exc: BaseException) -> str:
    return " ".join(str(exc).splitlines()) or type(exc).__name__


def _call(what: str, call: Callable[[], T]) -> T:
    """Runs a module call with the spinner; OSError and ValueError make the command unusable."""
    try:
        return progress.run(call, sys.stderr)
    except (OSError, ValueError) as exc:
        raise Unusable(f"{what}: {_one_line(exc)}") from exc


def _readable(path: str) -> bool:
    """Whether a regular file can be opened for reading (without blocking on a FIFO)."""
    if os.path.isdir(path):
        return False
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError:
        return False
    os.close(fd)
    return True


def _print_json(value: object) -> None:
    json.dump(value, sys.stdout, indent=2)
    sys.stdout.write("\n")


def _print_lines(lines: Sequence[str]) -> None:
    for line in lines:
        print(line)


def _style() -> render.Style:
    return render.Style(render.colour_wanted(sys.stdout))


def _cmd_create(args: argparse.Namespace) -> int:
    kwargs: dict[str, Any] = {**_limits(args), **_policy(args)}
    if args.row_map is not None:
        kwargs["row_map"] = args.row_map
    else:
        kwargs["row_id_is_identity"] = True
    if args.auxiliary:
        kwargs["auxiliary_artifacts"] = args.auxiliary
    what = f"cannot create {render.display_path(args.out)}"
    try:
        manifest = _call(what, lambda: km.create_manifest(args.index, args.out,
                                                          args.embedding_model, **kwargs))
    except Unusable as exc:
        # The module's OSError does not say which input it could not read; name the first one
        # that cannot be opened, if any.
        inputs = [args.index, args.row_map, *(item["path"] for item in args.auxiliary or [])]
        culprit = next((p for p in inputs if p is not None and not _readable(p)), None)
        if isinstance(exc.__cause__, OSError) and culprit is not None:
            raise Unusable(f"{what}: {render.display_path(culprit)}: "
                           f"{_one_line(exc.__cause__)}") from exc.__cause__
        raise
    if args.json:
        _print_json(manifest)
        return EXIT_OK
    style = _style()
    _print_lines(render.manifest_lines(manifest, args.out, style))
    print()
    print(f"{style.good('OK')}: wrote {render.display_path(args.out)}")
    return EXIT_OK


def _cmd_verify(args: argparse.Namespace) -> int:
    kwargs: dict[str, Any] = {**_limits(args), **_policy(args)}
    if args.index is not None:
        kwargs["index"] = index_from_manifest_dir(args.index, args.manifest)
    report = _call(f"cannot load manifest {render.display_path(args.manifest)}",
                   lambda: km.verify_manifest(args.manifest, **kwargs))
    if args.json:
        _print_json(report)
    else:
        _print_lines(render.report_lines(report, args.manifest, _style()))
    return EXIT_OK if report["ok"] else EXIT_FAILED


def _cmd_plan(args: argparse.Namespace) -> int:
    kwargs: dict[str, Any] = {**_limits(args), **_policy(args)}
    if args.index is not None:
        kwargs["index"] = index_from_manifest_dir(args.index, args.manifest)
    shown = render.display_path(args.manifest)
    try:
        plan = progress.run(lambda: km.verify_for_load(args.manifest, **kwargs), sys.stderr)
    except ValueError as exc:
        message = _one_line(exc)
        if message.startswith(PLAN_REFUSAL_PREFIXES):
            print(f"{PROG}: load plan refused for {shown}: {message} "
                  f"(run '{PROG} verify {shown}' for every issue)", file=sys.stderr)
            return EXIT_FAILED
        raise Unusable(f"cannot load manifest {shown}: {message}") from exc
    except OSError as exc:
        raise Unusable(f"cannot load manifest {shown}: {_one_line(exc)}") from exc
    if args.json:
        _print_json(plan)
    else:
        _print_lines(render.plan_lines(plan, _style()))
    return EXIT_OK


def _cmd_inspect(args: argparse.Namespace) -> int:
    manifest = _call(f"cannot load manifest {render.display_path(args.manifest)}",
                     lambda: km.inspect_manifest(args.manifest, **_limits(args)))
    if args.json:
        _print_json(manifest)
    else:
        _print_lines(render.manifest_lines(manifest, args.manifest, _style()))
    return EXIT_OK


def _cmd_hash(args: argparse.Namespace) -> int:
    status = EXIT_OK
    results = []
    for path in args.files:
        shown = render.display_path(path)
        try:
            digest = _call(f"cannot hash {shown}", lambda: km.sha256_file(path))
        except Unusable as exc:
            print(f"{PROG}: {exc}", file=sys.stderr)
            status = EXIT_UNUSABLE
            continue
        if args.json:
            results.append({"path": shown, **digest})
        else:
            print(f"{digest['sha256']}  {digest['size_bytes']:>12}  {shown}")
    if args.json:
        _print_json(results)
    return status


def _cmd_limits(args: argparse.Namespace) -> int:
    limits = km.default_resource_limits()
    if args.json:
        _print_json(limits)
        return EXIT_OK
    options = {keyword: _option(keyword) for keyword in limits}
    width = max(len(option) for option in options.values())
    digits = max(len(str(value)) for value in limits.values())
    for keyword, value in limits.items():
        print(f"{options[keyword]:<{width}}  {value:>{digits}}  {LIMIT_HELP.get(keyword, '')}"
              .rstrip())
    return EXIT_OK


def _cmd_demo(args: argparse.Namespace) -> int:
    from karnid_manifest import demo  # the demo drives this module in turn

    return demo.run(args.dir)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Create, inspect and verify index manifests that vouch for a persisted "
                    "vector index.",
        epilog="exit codes: 0 verified or done, 1 verification failed or load plan refused, "
               "2 the command could not run",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    every_limit = list(LIMIT_HELP)

    p = sub.add_parser("create", help="write a manifest for an index file",
                       description="Probe and hash an index file (and its row map and "
                                   "auxiliary files) and write a manifest for it.")
    p.add_argument("index", metavar="INDEX", help="the index file")
    p.add_argument("--out", required=True, metavar="MANIFEST",
                   help="where to write the manifest; paths in it are relative to its directory")
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
    _limit_options(p, every_limit)
    _json_option(p, "the created manifest")
    p.set_defaults(func=_cmd_create)

    for name, func, summary in (
            ("verify", _cmd_verify, "check a manifest and every file it names"),
            ("plan", _cmd_plan, "verify for loading and print the files a loader should open")):
        p = sub.add_parser(name, help=summary, description=summary[0].upper() + summary[1:] + ".")
        p.add_argument("manifest", metavar="MANIFEST", help="the manifest file")
        p.add_argument("--index", metavar="PATH",
                       help="verify this index file instead of the one the manifest names "
                            "(a relative path is taken from the current directory)")
        _policy_options(p, duplicates=True)
        _limit_options(p, every_limit)
        _json_option(p, "the report" if name == "verify" else "the load plan")
        signing_cli.add_signature_options(p)
        p.set_defaults(func=func)

    p = signing_cli.add_sign_command(sub)
    _policy_options(p, duplicates=True)
    _limit_options(p, every_limit)

    p = sub.add_parser("inspect", help="parse a manifest and summarise it",
                       description="Parse a manifest without checking the files it names.")
    p.add_argument("manifest", metavar="MANIFEST", help="the manifest file")
    _limit_options(p, ["max_manifest_bytes"])
    _json_option(p, "the manifest")
    p.set_defaults(func=_cmd_inspect)

    p = sub.add_parser("hash", help="print the SHA-256 and size of files")
    p.add_argument("files", nargs="+", metavar="FILE")
    _json_option(p, "the digests")
    p.set_defaults(func=_cmd_hash)

    p = sub.add_parser("limits", help="print the default resource limits")
    _json_option(p, "the limits")
    p.set_defaults(func=_cmd_limits)

    p = sub.add_parser("demo", help="run the end-to-end demo on generated sample data")
    p.add_argument("dir", nargs="?", metavar="DIR",
                   help="directory for the sample files (default: a new one here)")
    p.set_defaults(func=_cmd_demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, --version and usage errors
        return exc.code if isinstance(exc.code, int) else EXIT_UNUSABLE
    try:
        return int(signing_cli.checked(args, args.func))
    except Unusable as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return EXIT_UNUSABLE
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
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
