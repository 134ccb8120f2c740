"""The private-key loader on arbitrary bytes, with no password, a text one, a bytes one and a
callable one: each either loads a key or raises SignatureInputError."""

import sys

import atheris

from karnid_manifest import signing

import support

PASSWORDS = [None, "password", b"password", lambda: "password", ""]


def test_one_input(data: bytes) -> None:
    if not data:
        return
    password = PASSWORDS[data[0] % len(PASSWORDS)]
    try:
        signing.check_private_key(support.as_file(data[1:]), password)
    except signing.SignatureInputError as exc:
        assert str(exc)


if __name__ == "__main__":
    atheris.instrument_all()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
