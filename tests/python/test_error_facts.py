"""The facts that raised errors carry for the package, beside an unchanged exception."""

from __future__ import annotations

import errno
import json
import os
import uuid
from typing import Any

import pytest

import _karnid_manifest as km
import manifest_builder

FACTS = "_karnid_facts"


def raised(exc_type: type[BaseException], call: Any, *args: Any, **kwargs: Any) -> Any:
    """The exception of the call, checked to be exactly `exc_type` as callers see it."""
    with pytest.raises(exc_type) as excinfo:
        call(*args, **kwargs)
    error = excinfo.value
    assert type(error) is exc_type
    assert error.args == (str(error),)
    if exc_type is OSError:
        assert (error.errno, error.strerror, error.filename) == (None, None, None)
    return error


def os_text(number: int) -> str:
    return f"{os.strerror(number)} (os error {number})"


# --- files ------------------------------------------------------------------------------------


def test_file_failures_name_the_errno_and_the_file(tmp_path):
    not_utf8 = tmp_path / os.fsdecode(b"\xff-missing")
    unknown_magic = tmp_path / "unknown.idx"
    unknown_magic.write_bytes(b"ABCDEFGH")
    index = manifest_builder.build(tmp_path)[1]["artifact"]["path"]
    cases = [
        # (call, exception, message, facts)
        (lambda: km.sha256_file(not_utf8), OSError, os_text(errno.ENOENT),
         {"kind": "os", "errno": errno.ENOENT, "path": os.fsencode(not_utf8)}),
        # Opening a directory works; the read fails.
        (lambda: km.inspect_manifest(tmp_path), OSError, os_text(errno.EISDIR),
         {"kind": "os", "errno": errno.EISDIR, "path": os.fsencode(tmp_path)}),
        (lambda: km.create_manifest(unknown_magic, tmp_path / "m.json", "model",
                                    row_id_is_identity=True),
         OSError, "unknown karnid index magic",
         {"kind": "io_text", "errno": None, "path": os.fsencode(unknown_magic)}),
        (lambda: km.inspect_manifest(tmp_path / "manifest.json", max_manifest_bytes=1),
         ValueError, None,
         {"kind": "coded", "code": "manifest_file_too_large",
          "path": os.fsencode(tmp_path / "manifest.json")}),
        (lambda: km.create_manifest(tmp_path / index, tmp_path / "m.json", " ",
                                    row_id_is_identity=True),
         ValueError, None, {"kind": "invalid"}),
    ]
    if os.access("/dev/full", os.W_OK):
        cases.append(
            (lambda: km.create_manifest(tmp_path / index, "/dev/full", "model",
                                        row_id_is_identity=True, allow_path_escape=True),
             ValueError, os_text(errno.ENOSPC),
             {"kind": "write_failed", "errno": errno.ENOSPC, "path": b"/dev/full"}))
    for call, exc_type, message, facts in cases:
        error = raised(exc_type, call)
        if message is not None:
            assert str(error) == message
        assert getattr(error, FACTS) == facts, facts["kind"]


def test_argument_errors_carry_no_facts():
    error = raised(TypeError, km.sha256_file, 5)
    assert not hasattr(error, FACTS)


# --- documents that cannot be read ------------------------------------------------------------


def edited(document: dict[str, Any], edit: Any) -> str:
    edit(document)
    return json.dumps(document, indent=2)


def set_in(path: list[Any], value: Any) -> Any:
    def edit(document: dict[str, Any]) -> None:
        target = document
        for step in path[:-1]:
            target = target[step]
        target[path[-1]] = value
    return edit


def three_auxiliary(document: dict[str, Any]) -> None:
    entry = document["auxiliary_artifacts"][0]
    document["auxiliary_artifacts"] = [dict(entry, name=name) for name in "abc"]
    document["auxiliary_artifacts"][2]["sha256"] = 5


ARTIFACT_KEYS = ["path", "sha256", "kind", "format_version", "dim", "vector_count",
                 "bytes_per_vec", "params", "file_size_bytes"]

PARSE_CASES = {
    "empty": (lambda d: "", {"reason": "eof_value", "json_path": []}),
    "trailing comma": (
        lambda d: '{"artifact": {"params": [1, 2,]}}',
        {"reason": "trailing_comma", "json_path": ["artifact", "params", 1]}),
    "too deep": (lambda d: "[" * 200, {"reason": "depth_limit", "json_path": [0] * 128}),
    "string for a count": (
        lambda d: edited(d, set_in(["artifact", "dim"], "x")),
        {"reason": "invalid_type", "json_path": ["artifact", "dim"], "expected": "usize",
         "found": "string", "value": "x"}),
    "negative count": (
        lambda d: edited(d, set_in(["row_identity", "row_count"], -1)),
        {"reason": "invalid_value", "json_path": ["row_identity", "row_count"],
         "expected": "usize", "found": "integer", "value": -1}),
    "third list entry": (
        lambda d: edited(d, three_auxiliary),
        {"reason": "invalid_type", "json_path": ["auxiliary_artifacts", 2, "sha256"],
         "expected": "a string", "found": "integer", "value": 5}),
    "unknown key": (
        lambda d: edited(d, set_in(["artifact", "nope"], 1)),
        {"reason": "unknown_key", "json_path": ["artifact", "nope"], "key": "nope",
         "allowed": ARTIFACT_KEYS}),
    "missing key": (
        lambda d: edited(d, lambda d: d["embedding"].pop("model")),
        {"reason": "missing_key", "json_path": ["embedding"], "key": "model"}),
    "unknown tag": (
        lambda d: edited(d, set_in(["artifact", "params", "kind"], "nope")),
        {"reason": "unknown_variant", "json_path": ["artifact", "params", "kind"],
         "value": "nope", "allowed": ["rank", "rank_quant", "bitmap", "sign_bitmap"]}),
    "repeated key deep in an extension": (
        lambda d: json.dumps(d, indent=2).replace('"ratio": 0.1', '"n": 0.1'),
        {"reason": "duplicate_key", "json_path": ["extensions", "example.org/tuning", "n"],
         "key": "n"}),
}


@pytest.mark.parametrize("name", PARSE_CASES)
def test_parse_errors_say_where_and_why(name, sample_manifest, write_manifest):
    make_text, expected = PARSE_CASES[name]
    text = make_text(sample_manifest)
    error = raised(ValueError, km.inspect_manifest, write_manifest(text))
    facts = getattr(error, FACTS)
    assert facts == {"kind": "json", "offset": facts["offset"], "line": facts["line"],
                     "column": facts["column"], **expected}
    # The position in the message, and the offset that it comes from.
    assert str(error).endswith(f" at line {facts['line']} column {facts['column']}")
    before = text.encode()[:facts["offset"]]
    assert facts["line"] == before.count(b"\n") + 1
    assert facts["column"] == len(before) - (before.rfind(b"\n") + 1)


# --- refusals with every issue ----------------------------------------------------------------


def uuid_text(number: int) -> str:
    return str(uuid.UUID(int=number + 1))


def test_load_refusal_lists_every_issue_with_its_line(tmp_path):
    manifest, _ = manifest_builder.build(tmp_path, vectors=5, row_map=True)
    # Every row is numbered one too high, and the digest no longer matches.
    (tmp_path / "rows.jsonl").write_text(
        "".join(json.dumps({"row_id": i + 1, "db_id": uuid_text(i)}) + "\n" for i in range(5)),
        encoding="utf-8")
    report = km.verify_manifest(manifest)
    error = raised(ValueError, km.verify_for_load, manifest)
    facts = getattr(error, FACTS)
    assert facts["kind"] == "verification_failed"
    issues = facts["issues"]
    assert len(issues) > 3 and str(error).endswith(", ...")
    assert [{"code": i["code"], "message": i["message"]} for i in issues] == report["errors"]
    assert [i["line"] for i in issues] == [0, 1, 2, 3, 4, None]


def test_row_map_refusal_at_creation_lists_its_issues(tmp_path):
    manifest, document = manifest_builder.build(tmp_path, vectors=5)
    lines = [
        json.dumps({"row_id": 0, "db_id": uuid_text(0)}),
        json.dumps({"row_id": 1, "db_id": "x"}),
        "not json",
        json.dumps({"row_id": 7, "db_id": uuid_text(3)}),
        json.dumps({"row_id": 4, "db_id": uuid_text(0)}),
    ]
    (tmp_path / "rows.jsonl").write_text("\n".join(lines) + "\n", encoding="utf-8")
    error = raised(ValueError, km.create_manifest, tmp_path / document["artifact"]["path"],
                   tmp_path / "out.json", "model", row_map=tmp_path / "rows.jsonl")
    facts = getattr(error, FACTS)
    expected = [("row_identity_db_id_invalid_uuid", 1), ("row_identity_jsonl_invalid_json", 2),
                ("row_identity_row_id_mismatch", 3), ("row_identity_duplicate_db_id", 4)]
    assert facts["kind"] == "row_map_invalid"
    assert [(i["code"], i["line"]) for i in facts["issues"]] == expected
    assert all(i["message"].startswith(f"line {i['line']} ") for i in facts["issues"])
    assert str(error) == "row map is invalid: " + ", ".join(code for code, _ in expected)
    assert not (tmp_path / "out.json").exists()
