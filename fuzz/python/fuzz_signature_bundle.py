"""The signature bundle reader and the statement checks on arbitrary bytes: each either accepts
or raises SignatureError with a message."""

import sys

import atheris

from karnid_manifest import signing

import support


def test_one_input(data: bytes) -> None:
    try:
        signing._read_bundle(support.as_file(data))
    except signing.SignatureError as exc:
        assert str(exc)
    try:
        signing._parse_statement(data)
    except signing.SignatureError as exc:
        assert str(exc)


if __name__ == "__main__":
    atheris.instrument_all()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
