"""``karnid-manifest limits``: print the default resource limits."""

from __future__ import annotations

import argparse

import _karnid_manifest as km

from karnid_manifest import explain
from karnid_manifest.cli.base import LIMIT_HELP, Output, output_options
from karnid_manifest.cli.status import EXIT_OK


def options(p: argparse.ArgumentParser) -> None:
    output_options(p, "the limits")


def run(args: argparse.Namespace, out: Output) -> int:
    limits = km.default_resource_limits()
    if out.json:
        out.document(limits)
        return EXIT_OK
    flags = {keyword: explain.option(keyword) for keyword in limits}
    width = max(len(flag) for flag in flags.values())
    digits = max(len(str(value)) for value in limits.values())
    for keyword, value in limits.items():
        print(f"{flags[keyword]:<{width}}  {value:>{digits}}  {LIMIT_HELP.get(keyword, '')}"
              .rstrip())
    return EXIT_OK
