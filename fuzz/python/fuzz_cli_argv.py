"""The command line with random arguments, run in a scratch directory: exit 0, 1 or 2, never a
traceback. Arguments are built from the tool's own words and random text; absolute paths and
".." are kept out so that a random --out cannot reach outside the scratch directory."""

import contextlib
import io
import os
import sys

import atheris

from karnid_manifest import cli

import support

WORDS = ["create", "verify", "plan", "sign", "inspect", "hash", "limits", "explain", "--json",
         "--out", "m.json", "--force", "--embedding-model", "--row-map", "--row-id-is-identity",
         "--aux", "a=b", "--optional-aux", "--aux-dir", "--key", "k.pem", "--signature",
         "--public-key", "--max-manifest-bytes", "-1", "0", "99999999999999999999", "--status",
         "--quiet", "--help", "--version", "=", "-", "--", "\x00", "\udcff", "index.kdr"]


def _argv(fdp: atheris.FuzzedDataProvider) -> list[str]:
    argv = []
    for _ in range(fdp.ConsumeIntInRange(0, 8)):
        if fdp.ConsumeBool():
            argv.append(WORDS[fdp.ConsumeIntInRange(0, len(WORDS) - 1)])
        else:
            argv.append(fdp.ConsumeUnicode(12))
    return [a.replace("/", "_").replace("..", "_") for a in argv if a != "demo"]


def test_one_input(data: bytes) -> None:
    argv = _argv(atheris.FuzzedDataProvider(data))
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli.main(argv)
    if status not in (0, 1, 2) or "Traceback" in err.getvalue():
        raise AssertionError(f"{argv!r}: exit {status}\n{err.getvalue()}")


if __name__ == "__main__":
    os.chdir(support.SCRATCH)
    with open("index.kdr", "wb") as f:
        f.write(b"\0" * 64)
    atheris.instrument_all()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
