"""The ``karnid-manifest`` command line tool.

Exit codes: 0 verified (or done), 1 verification failed or the load plan was refused, 2 the command
could not run (bad arguments, a manifest that is missing, unreadable or malformed, a file that
cannot be hashed, a manifest that cannot be created), 130 interrupted. A failure that stops a
command prints one line on stderr, and under it, indented, what the tool can add: the option that
raises a limit, the parser's complaint in plain words. With ``--json`` every outcome is exactly one
JSON document on stdout: the module's result, or an error object.

Each command is a module of this package with two functions: ``options(parser)`` adds its options
and ``run(args, out)`` runs it. ``COMMANDS`` names the module beside the command's help texts, and
a command's module is imported only when that command is parsed or described: ``--version`` and
``--help`` load nothing else. What commands share is in :mod:`~karnid_manifest.cli.status` and
:mod:`~karnid_manifest.cli.base`; commands never import each other.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
import textwrap

from karnid_manifest import __version__
from karnid_manifest.cli.status import (EXIT_BROKEN_PIPE, EXIT_INTERRUPTED, EXIT_TERMINATED,
                                        EXIT_UNUSABLE, KIND_BAD_ARGUMENTS, KIND_INTERRUPTED, PROG,
                                        Failure, Terminated)

TYPE_CHECKING = False  # typing's own costs more to import than --version needs
if TYPE_CHECKING:
    from typing import Any, NoReturn, Sequence


class Command:
    """One command: its name, its help texts, and the module that adds its options and runs it."""

    def __init__(self, name: str, summary: str, description: str, example: str,
                 module: str) -> None:
        self.name = name
        self.summary = summary
        self.description = description
        self.example = example
        self.module = module


COMMANDS: list[Command] = [
    Command("create", "write a manifest for an index file",
            "Probe and hash an index file (and its row map and auxiliary files) and write a "
            "manifest for it. An existing manifest is replaced only with --force; the new one "
            "is written beside it under a temporary name and renamed into place, so an "
            "interrupted run leaves the old file or the new one.",
            f"{PROG} create models/idx/index.kdrq --out models/idx/manifest.json \\\n"
            "      --embedding-model my-encoder-v2 --row-map models/idx/rows.jsonl \\\n"
            "      --aux vocab=models/idx/vocab.txt",
            "karnid_manifest.cli.create"),
    Command("verify", "check manifests and every file they name",
            "Check each manifest and every file it names. One manifest gets a line per file, "
            "every issue and a verdict; several get a line each and a summary. The exit status "
            "is the worst of them.",
            f"{PROG} verify models/idx/manifest.json\n"
            f"  {PROG} verify -q models/*/    (each directory's manifest.json; failures only)",
            "karnid_manifest.cli.verify"),
    Command("plan", "verify for loading and print the files a loader should open",
            "Verify each manifest for loading and print the canonical paths a loader should "
            "open. A manifest with any issue is refused (exit status 1); 'verify' shows why. "
            "A loader that opens the printed paths later (a shell script) leaves a window in "
            "which the files can be replaced; a Python loader closes it with open_verified.",
            f"{PROG} plan --json models/idx/manifest.json",
            "karnid_manifest.cli.plan"),
    Command("sign", "sign a manifest that verifies",
            "Verify a manifest, then sign its exact bytes with a private key: a Sigstore bundle "
            "(DSSE, in-toto statement) that model-signing and securesystemslib verify too. "
            "'verify' and 'plan' check it with --public-key.",
            f"{PROG} sign models/idx/manifest.json --key build-key.pem\n"
            f"  {PROG} plan models/idx/manifest.json --public-key build-key.pub",
            "karnid_manifest.cli.sign"),
    Command("inspect", "parse a manifest and summarise it",
            "Parse a manifest without opening the files it names, and summarise it.",
            f"{PROG} inspect models/idx/manifest.json",
            "karnid_manifest.cli.inspect"),
    Command("hash", "print the SHA-256 and size of files",
            "Print the SHA-256 digest, the size and the name of each file.",
            f"{PROG} hash models/idx/index.kdrq models/idx/rows.jsonl",
            "karnid_manifest.cli.hash"),
    Command("limits", "print the default resource limits",
            "Print each resource-limit option with its default value.",
            f"{PROG} limits --json",
            "karnid_manifest.cli.limits"),
    Command("explain", "say what an issue code means and what to do about it",
            "Print the reference entry of an issue code: when it is raised and what to do.",
            f"{PROG} explain artifact_sha256_mismatch",
            "karnid_manifest.cli.explain"),
    Command("demo", "run the end-to-end demo on generated sample data",
            "Generate sample indexes and files, create and verify their manifests, print a "
            "load plan, then damage a copy and show the failed verification.",
            f"{PROG} demo demo-out",
            "karnid_manifest.cli.demo"),
]


class _UsageError(Exception):
    def __init__(self, prog: str, message: str) -> None:
        super().__init__(message)
        self.prog = prog


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise _UsageError(self.prog, message)


class _CommandParser(_Parser):
    """A command's parser: its options come from the command's module, imported the first time
    the parser parses or describes the command."""

    module = ""

    def load(self) -> None:
        if self.module:
            command = importlib.import_module(self.module)
            self.module = ""
            command.options(self)
            self.set_defaults(run=command.run)

    def parse_known_args(self, args: Any = None, namespace: Any = None) -> Any:
        self.load()
        return super().parse_known_args(args, namespace)

    def format_usage(self) -> str:
        self.load()
        return super().format_usage()

    def format_help(self) -> str:
        self.load()
        return super().format_help()


def _parser(*, every_command: bool) -> argparse.ArgumentParser:
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
               "  130  interrupted (Ctrl-C)\n"
               "  141  stdout was closed early (the process ends by SIGPIPE, like other tools)\n\n"
               f"What an issue code means and what to do: '{PROG} explain CODE'.\n"
               f"'{PROG} COMMAND --help' describes a command and its options.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    # The demo runs the tool itself, in this process.
    parser.set_defaults(tool=main)
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                parser_class=_CommandParser)
    for command in COMMANDS:
        # The raw formatter keeps the example's line breaks; the description is wrapped here.
        p = sub.add_parser(command.name, help=command.summary,
                           description=textwrap.fill(command.description, width=79),
                           epilog=f"example:\n  {command.example}",
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        p.module = command.module
        if every_command:
            p.load()
    return parser


def build_parser() -> argparse.ArgumentParser:
    """The whole parser, with every command's options (``main`` adds only those of the command
    that runs)."""
    return _parser(every_command=True)


def main(argv: Sequence[str] | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    parser = _parser(every_command=False)
    try:
        args = parser.parse_args(arguments)
    except SystemExit as exc:  # --help and --version
        return exc.code if isinstance(exc.code, int) else EXIT_UNUSABLE
    except _UsageError as exc:
        # Arguments left over after a command are reported by the top parser: the command's own
        # help is what lists the options it has.
        command = next((a for a in arguments if a in {c.name for c in COMMANDS}), None)
        if command is not None and exc.prog == PROG:
            exc.prog = f"{PROG} {command}"
        return _usage_error(exc, as_json="--json" in arguments)
    # The shared leaf is loaded only once a command runs (its module has loaded it already).
    from karnid_manifest.cli.base import Output

    out = Output.for_args(args)
    installed, previous = _on_sigterm(_terminate)
    try:
        return _run(args, out)
    finally:
        if installed:
            _on_sigterm(previous)


def _run(args: argparse.Namespace, out: Any) -> int:
    try:
        status = int(args.run(args, out))
        sys.stdout.flush()  # a closed pipe shows here, not as an error at exit
        return status
    except Failure as failure:
        out.failure(failure)
        return failure.status
    except (KeyboardInterrupt, Terminated) as stop:
        from karnid_manifest import atomic

        # The worker may still be writing; its temporary goes now, and it cannot place it later.
        atomic.abandon_all()
        word, status = (("interrupted", EXIT_INTERRUPTED) if isinstance(stop, KeyboardInterrupt)
                        else ("terminated", EXIT_TERMINATED))
        out.failure(Failure(word, kind=KIND_INTERRUPTED, status=status))
        return status
    except BrokenPipeError:
        # The reader went away (say, `| head` or `grep -q`): end as other tools do, with no
        # word on stderr, and say nothing more on the closed pipe.
        _silence_stdout()
        return EXIT_BROKEN_PIPE


def _terminate(signum: int, frame: object) -> None:
    raise Terminated()


def _on_sigterm(handler: Any) -> tuple[bool, Any]:
    """Installs ``handler`` (None: the default) for SIGTERM; returns whether it could (only the
    main thread can: the tool run from another thread leaves signals to its host) and the
    handler it replaced."""
    import signal

    try:
        return True, signal.signal(signal.SIGTERM, signal.SIG_DFL if handler is None
                                   else handler)
    except ValueError:
        return False, None


def _usage_error(exc: _UsageError, *, as_json: bool) -> int:
    from karnid_manifest.cli.base import Output, say

    failure = Failure(f"error: {exc} (see '{exc.prog} --help')", kind=KIND_BAD_ARGUMENTS)
    if as_json:
        Output(json=True).document(failure.as_json())
    say(f"{exc.prog}: {failure.message}", err=True)
    return EXIT_UNUSABLE


def _silence_stdout() -> None:
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass
