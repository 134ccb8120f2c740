"""``karnid-manifest inspect``: parse a manifest and summarise it."""

from __future__ import annotations

import argparse

from karnid_manifest import functions, render
from karnid_manifest.files import MANIFEST_IN_DIRECTORY
from karnid_manifest.cli.base import (Output, limit_options, limits_given,
                                      limits_in_force, load_failure, manifest_target,
                                      output_options)
from karnid_manifest.cli.status import EXIT_OK


def options(p: argparse.ArgumentParser) -> None:
    p.add_argument("manifest", metavar="MANIFEST",
                   help=f"the manifest file, or a directory holding a {MANIFEST_IN_DIRECTORY}")
    limit_options(p, ["max_manifest_bytes"])
    output_options(p, "the manifest")


def run(args: argparse.Namespace, out: Output) -> int:
    target = manifest_target(args.manifest)
    try:
        manifest = out.progress.run(
            lambda: functions.inspect_manifest(target, **limits_given(args)))
    except (OSError, ValueError) as exc:
        raise load_failure(target, exc, limits_in_force(args)) from exc
    if out.json:
        out.document(manifest)
    else:
        out.lines(render.manifest_lines(manifest, target, out.style))
    return EXIT_OK
