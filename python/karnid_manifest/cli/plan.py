"""``karnid-manifest plan``: verify manifests for loading and print the files a loader should
open."""

from __future__ import annotations

import argparse

from karnid_manifest.cli import checks
from karnid_manifest.cli.base import Output


def options(p: argparse.ArgumentParser) -> None:
    checks.options(p, "the load plan (several: one object listing them)")


def run(args: argparse.Namespace, out: Output) -> int:
    return checks.run(args, out, planning=True)
