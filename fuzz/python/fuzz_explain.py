"""The texts put under module messages (plain words, the line a message concerns, the issue-code
reference) on arbitrary messages and error facts: a text or None, never an exception."""

import sys

import atheris

from karnid_manifest import codes, explain, plain_words

KEYS = ["json_path", "expected", "found", "code", "line", "kind", "type", "value", "message"]


def _value(fdp: atheris.FuzzedDataProvider, depth: int = 0) -> object:
    choice = fdp.ConsumeIntInRange(0, 6 if depth < 2 else 3)
    if choice == 0:
        return fdp.ConsumeUnicodeNoSurrogates(40)
    if choice == 1:
        return fdp.ConsumeInt(8)
    if choice == 2:
        return None
    if choice == 3:
        return fdp.ConsumeBool()
    if choice == 4:
        return [_value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    if choice == 5:
        return {KEYS[fdp.ConsumeIntInRange(0, len(KEYS) - 1)]: _value(fdp, depth + 1)
                for _ in range(fdp.ConsumeIntInRange(0, 4))}
    return fdp.ConsumeFloat()


def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    message = fdp.ConsumeUnicode(200)
    line = _value(fdp)
    facts = {KEYS[fdp.ConsumeIntInRange(0, len(KEYS) - 1)]: _value(fdp)
             for _ in range(fdp.ConsumeIntInRange(0, 6))}
    for result in (explain.plain_manifest_error(facts), plain_words.note(message),
                   explain.file_line(message, line if isinstance(line, int) else None)):
        assert result is None or isinstance(result, str)
    code = fdp.ConsumeUnicode(60)
    codes.lookup(code)
    assert all(isinstance(near, str) for near in codes.similar(code))


if __name__ == "__main__":
    atheris.instrument_all()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
