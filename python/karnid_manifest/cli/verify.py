"""``karnid-manifest verify``: check manifests and every file they name."""

from __future__ import annotations

import argparse

from karnid_manifest.cli import checks
from karnid_manifest.cli.base import Output


def options(p: argparse.ArgumentParser) -> None:
    checks.options(p, "the report (several: one object listing them)")


def run(args: argparse.Namespace, out: Output) -> int:
    return checks.run(args, out, planning=False)
