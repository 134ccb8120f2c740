"""``karnid-manifest hash``: print the SHA-256 and size of files."""

from __future__ import annotations

import argparse
from typing import Any

from karnid_manifest import functions, progress
from karnid_manifest.cli.base import Output, one_line, output_options, say
from karnid_manifest.cli.status import EXIT_OK, EXIT_UNUSABLE, PROG, Failure
from karnid_manifest.files import display_path


def options(p: argparse.ArgumentParser) -> None:
    p.add_argument("files", nargs="+", metavar="FILE")
    output_options(p, "the digests (a failed file gets an error object)")


def run(args: argparse.Namespace, out: Output) -> int:
    status = EXIT_OK
    results: list[dict[str, Any]] = []
    work = progress.Work([progress.Step.of("hashing", path) for path in args.files])
    for path in args.files:
        shown = display_path(path)
        try:
            digest = out.progress.run(lambda: functions.sha256_file(path), work)
        except (OSError, ValueError) as exc:  # ValueError: a name no file can have (NUL)
            failure = Failure(f"cannot hash {shown}: {one_line(exc)}")
            if out.json:
                results.append({"path": shown, "error": failure.as_json()})
            say(f"{PROG}: {failure.message}", err=True)
            status = EXIT_UNUSABLE
            continue
        if out.json:
            results.append({"path": shown, **digest})
        else:
            say(f"{digest['sha256']}  {digest['size_bytes']:>12}  {shown}")
    if out.json:
        out.document(results)
    return status
