"""The explainers on what they really explain: arbitrary bytes loaded as a manifest, and the
load failure put into words as the command line does (what the file is, the parser's complaint in
plain words, the option that raises a limit), plus the issue-code reference looked up with the
same bytes as a code. Each gives text, never an exception."""

import sys

import atheris

import _karnid_manifest as km
from karnid_manifest import codes, functions, plain_words
from karnid_manifest.cli import base

import support

LIMITS = dict(km.default_resource_limits(), max_manifest_bytes=4096)


def test_one_input(data: bytes) -> None:
    path = support.as_file(data, "manifest.json")
    try:
        functions.inspect_manifest(path, max_manifest_bytes=LIMITS["max_manifest_bytes"])
    except (OSError, ValueError) as exc:
        failure = base.load_failure(path, exc, LIMITS)
        assert failure.message and all(isinstance(n, str) for n in failure.notes if n)
        note = plain_words.note(str(exc))
        assert note is None or isinstance(note, str)
    if len(data) < 64 and data[:1] == b"c":
        code = data[1:].decode("utf-8", "replace")
        codes.lookup(code)
        assert all(isinstance(near, str) for near in codes.similar(code))


if __name__ == "__main__":
    atheris.instrument_all()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
