"""``karnid-manifest explain CODE``: what an issue code means and what to do about it, from the
reference that ships inside the package."""

from __future__ import annotations

import argparse

from karnid_manifest import codes
from karnid_manifest.cli.base import Output, output_options
from karnid_manifest.cli.status import EXIT_OK, Failure


def options(p: argparse.ArgumentParser) -> None:
    p.add_argument("code", metavar="CODE", help="an issue code, such as artifact_sha256_mismatch")
    output_options(p, "the entry")


def run(args: argparse.Namespace, out: Output) -> int:
    code = args.code.strip()
    entries = codes.lookup(code)
    if not entries:
        near = codes.similar(code)
        raise Failure(f"no issue code {code!r} in the reference",
                      notes=[f"did you mean: {', '.join(near)}" if near else None],
                      data={"similar": near})
    if out.json:
        out.document({"code": code, "entries": [
            {"section": entry.section, **dict(entry.fields)} for entry in entries]})
        return EXIT_OK
    lines = [out.style.bold(code)]
    for entry in entries:
        lines.append(f"  {out.style.dim(entry.section)}")
        lines.extend(f"    {name}: {text}" for name, text in entry.fields)
    out.lines(lines)
    return EXIT_OK
