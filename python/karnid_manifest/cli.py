"""The ``karnid-manifest`` command line tool."""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path
from typing import Sequence

import _karnid_manifest as km

from karnid_manifest import demo as _demo

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_UNUSABLE = 2


def _print_json(value: object) -> None:
    json.dump(value, sys.stdout, indent=2)
    sys.stdout.write("\n")


def _cmd_inspect(args: argparse.Namespace) -> int:
    _print_json(km.inspect_manifest(args.manifest))
    return EXIT_OK


def _cmd_hash(args: argparse.Namespace) -> int:
    for path in args.files:
        digest = km.sha256_file(path)
        print(f"{digest['sha256']}  {digest['size_bytes']:>12}  {path}")
    return EXIT_OK


def _cmd_limits(args: argparse.Namespace) -> int:
    limits = km.default_resource_limits()
    if args.json:
        _print_json(limits)
    else:
        width = max(len(name) for name in limits)
        for name, value in limits.items():
            print(f"{name:<{width}}  {value}")
    return EXIT_OK


def _cmd_demo(args: argparse.Namespace) -> int:
    return _demo.run(Path(args.dir) if args.dir else None)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="karnid-manifest",
        description="Create, inspect and verify index manifests for persisted vector indexes.",
    )
    sub = parser.add_subparsers(dest="command", required=True)

    p = sub.add_parser("inspect", help="parse a manifest and print it as JSON")
    p.add_argument("manifest")
    p.set_defaults(func=_cmd_inspect)

    p = sub.add_parser("hash", help="print the SHA-256 and size of files")
    p.add_argument("files", nargs="+")
    p.set_defaults(func=_cmd_hash)

    p = sub.add_parser("limits", help="print the default resource limits")
    p.add_argument("--json", action="store_true", help="print JSON for machines")
    p.set_defaults(func=_cmd_limits)

    p = sub.add_parser("demo", help="run the end-to-end demo on generated sample data")
    p.add_argument("dir", nargs="?", help="directory for the sample files (default: a new one)")
    p.set_defaults(func=_cmd_demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return int(args.func(args))
    except (OSError, ValueError) as exc:
        print(f"karnid-manifest: {exc}", file=sys.stderr)
        return EXIT_UNUSABLE
