"""Hostile inputs: each must give a clean exception or a coded issue, in bounded time and memory.

Cases that could hang or crash the interpreter if the module misbehaved run in a child process
with a generous timeout, which only exists to turn a hang into a failure.
"""

from __future__ import annotations

import contextlib
import json
import os
import pathlib
import socket
import subprocess
import sys
import threading
from typing import Any, Callable

import pytest

import _karnid_manifest as km

import manifest_builder as mb

HANG_TIMEOUT = 300  # seconds; only a hang comes anywhere near it
MIB = 1 << 20

CHILD = r"""
import json, resource, sys
sys.path[:0] = json.loads(sys.argv[1])
import _karnid_manifest as km
results = []
for name, args, kwargs in json.loads(sys.argv[2]):
    try:
        results.append({"value": getattr(km, name)(*args, **kwargs)})
    except BaseException as error:
        results.append({"raised": type(error).__name__, "message": str(error)})
print(json.dumps({"results": results,
                  "maxrss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024}))
"""


def run_isolated(*calls: tuple[str, list[Any], dict[str, Any]]) -> tuple[list[dict[str, Any]], int]:
    """Runs module calls (name, args, kwargs) in a fresh interpreter; returns each outcome and
    the child's peak resident memory in bytes."""
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, json.dumps(sys.path), json.dumps(calls)],
        capture_output=True, text=True, timeout=HANG_TIMEOUT, check=False)
    assert proc.returncode == 0, proc.stderr[-4000:]
    data = json.loads(proc.stdout.splitlines()[-1])
    return data["results"], data["maxrss"]


def under_asan() -> bool:
    with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
        return "libasan" in maps.read()


def codes(report: dict[str, Any]) -> list[str]:
    return [issue["code"] for issue in report["errors"]]


# ---- manifests that name a file in every role ---------------------------------------------------

def calibration_block(path: str) -> dict[str, Any]:
    return {"schema_version": km.CALIBRATION_SCHEMA_VERSION, "profile_id": "cal-1",
            "calibrated_for": {"model": "test-encoder", "dim": 16},
            "ordinalization": {"kind": "bucket", "dim": 16, "bits": 4},
            "profile": {"path": path, "sha256": "0" * 64, "file_size_bytes": 1, "dim": 16,
                        "sample_count": 1, "parameterization": "bucket_frequency",
                        "format": "opaque"},
            "null_model": {"kind": "weighted_marginal_profile",
                           "parameterization": "bucket_frequency"}}


def distortion_block(path: str) -> dict[str, Any]:
    return {"schema_version": km.ENCODER_DISTORTION_SCHEMA_VERSION, "profile_id": "ed-1",
            "encoder": {"model": "test-encoder", "dim": 16},
            "source_metric": {"name": "cosine"}, "embedding_metric": {"name": "hamming"},
            "bounds": {"violation_rate": 0.0}, "scope": {}, "evidence": {"kind": "certified"},
            "profile": {"path": path, "sha256": "0" * 64, "file_size_bytes": 1,
                        "format": "opaque"}}


def name_in_role(document: dict[str, Any], role: str, path: str) -> None:
    if role == "index":
        document["artifact"]["path"] = path
    elif role == "row map":
        document["row_identity"]["path"] = path
    elif role == "auxiliary artifact":
        document["auxiliary_artifacts"] = [{"name": "aux", "path": path, "sha256": "0" * 64,
                                            "file_size_bytes": 1}]
    elif role == "calibration profile":
        document["calibration"] = calibration_block(path)
    else:
        document["encoder_distortion"] = distortion_block(path)


ROLES = ["index", "row map", "auxiliary artifact", "calibration profile",
         "encoder distortion profile"]
# The issue through which each role reports a file it could not resolve, and one it could not read.
UNAVAILABLE = {"index": "artifact_path_unavailable", "row map": "row_identity_path_unavailable",
               "auxiliary artifact": "auxiliary_artifact_path_unavailable",
               "calibration profile": "calibration_profile_path_unavailable",
               "encoder distortion profile": "encoder_distortion_profile_path_unavailable"}
UNREADABLE = {"index": {"artifact_hash_failed", "artifact_probe_failed"},
              "row map": {"row_identity_read_failed"},
              "auxiliary artifact": {"auxiliary_artifact_hash_failed"},
              "calibration profile": {"calibration_profile_hash_failed"},
              "encoder distortion profile": {"encoder_distortion_profile_hash_failed"}}


def manifest_naming(directory: pathlib.Path, role: str, path: str) -> pathlib.Path:
    manifest, document = mb.build(directory, row_map=True)
    name_in_role(document, role, path)
    return mb.write(directory, document)


def test_every_role_is_clean_with_an_ordinary_file(tmp_path):
    # The control for the tables below: with an ordinary, readable file in the role, neither the
    # role's resolution issue nor its read issue appears.
    for role in ROLES:
        directory = tmp_path / role.replace(" ", "_")
        _, document = mb.build(directory, row_map=True)
        original = {"index": document["artifact"]["path"], "row map": "rows.jsonl"}.get(role)
        copy = directory / "file.bin"
        copy.write_bytes((directory / original).read_bytes() if original else b"x")
        report = km.verify_manifest(manifest_naming(directory, role, "file.bin"))
        found = set(codes(report))
        assert UNAVAILABLE[role] not in found and not UNREADABLE[role] & found, (role, found)


# ---- files that are not regular files -------------------------------------------------------------

def make_special(directory: pathlib.Path, kind: str) -> tuple[str, dict[str, bool]]:
    """A special file for a manifest in `directory` to name; returns the path text to write into
    the manifest and the policy flags the call needs to reach it."""
    if kind == "fifo":
        os.mkfifo(directory / "special")
    elif kind == "socket":
        with contextlib.chdir(directory):  # socket paths are short; the directory may not be
            server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            server.bind("special")
            server.close()
    elif kind == "directory":
        (directory / "special").mkdir()
    else:
        return f"/dev/{kind}", {"allow_absolute_paths": True, "allow_path_escape": True}
    return "special", {}


@pytest.mark.parametrize("kind", ["fifo", "socket", "directory", "zero", "null"])
def test_special_files_are_refused_without_blocking(tmp_path, kind):
    calls = []
    for role in ROLES:
        directory = tmp_path / role.replace(" ", "_")
        directory.mkdir()
        path, flags = make_special(directory, kind)
        manifest = str(manifest_naming(directory, role, path))
        calls += [("verify_manifest", [manifest], flags), ("verify_for_load", [manifest], flags)]
    outcomes, _ = run_isolated(*calls)
    # A socket cannot even be opened (ENXIO); a directory fails with the system's own text, as
    # reading it would; everything else opens and is then refused.
    reason = {"socket": "(os error 6)",
              "directory": "Is a directory (os error 21)"}.get(kind, "is not a regular file")
    for role, outcome, plan in zip(ROLES, outcomes[::2], outcomes[1::2]):
        report = outcome["value"]
        assert UNREADABLE[role] <= set(codes(report)), (role, codes(report))
        failed = [e["message"] for e in report["errors"] if e["code"] in UNREADABLE[role]]
        assert all(reason in message for message in failed), (role, failed)
        assert plan["raised"] == "ValueError", role
        assert plan["message"].startswith("manifest verification failed: "), role


# ---- paths that cannot be resolved ------------------------------------------------------------------

def unresolvable(directory: pathlib.Path, kind: str) -> tuple[str, str]:
    """A path text that cannot be resolved, and the OS error number its message must carry."""
    if kind == "self loop":
        (directory / "loop").symlink_to("loop")
        return "loop", "(os error 40)"
    if kind == "cycle":
        (directory / "a").symlink_to("b")
        (directory / "b").symlink_to("a")
        return "a", "(os error 40)"
    if kind == "loop in a directory component":
        (directory / "dirloop").symlink_to("dirloop")
        return "dirloop/file.bin", "(os error 40)"
    if kind == "component too long":
        return "n" * 256, "(os error 36)"
    return deep_tree(directory), "(os error 36)"


def deep_tree(directory: pathlib.Path) -> str:
    """Directories nested beyond PATH_MAX (made level by level through descriptors, as no single
    path may name the deepest ones); returns the relative path text of a file at the bottom."""
    names = [f"{level:02d}" + "d" * 248 for level in range(18)]
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for name in names:
            os.mkdir(name, dir_fd=fd)
            inner = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = inner
        os.close(os.open("file.bin", os.O_WRONLY | os.O_CREAT, dir_fd=fd))
    finally:
        os.close(fd)
    return "/".join(names + ["file.bin"])


@pytest.mark.parametrize("kind", ["self loop", "cycle", "loop in a directory component",
                                  "component too long", "path too long"])
@pytest.mark.parametrize("role", ROLES)
def test_link_loops_and_over_long_paths_are_unavailable(tmp_path, role, kind):
    path, errno_text = unresolvable(tmp_path, kind)
    report = km.verify_manifest(manifest_naming(tmp_path, role, path))
    messages = [e["message"] for e in report["errors"] if e["code"] == UNAVAILABLE[role]]
    assert len(messages) == 1, codes(report)
    assert messages[0].endswith(errno_text)


@pytest.mark.parametrize("function", ["sha256_file", "inspect_manifest", "verify_manifest",
                                      "verify_for_load"])
def test_link_loops_and_over_long_paths_as_arguments(tmp_path, function):
    (tmp_path / "loop").symlink_to("loop")
    for path, errno_text in [(tmp_path / "loop", "(os error 40)"),
                             (tmp_path / ("n" * 256), "(os error 36)"),
                             (tmp_path / deep_tree(tmp_path), "(os error 36)")]:
        with pytest.raises(OSError) as info:
            getattr(km, function)(path)
        assert type(info.value) is OSError
        assert str(info.value).endswith(errno_text)


# ---- interior NUL bytes -------------------------------------------------------------------------------

@pytest.mark.parametrize("role", ROLES)
def test_nul_in_a_manifest_path_is_an_error_for_that_path(tmp_path, role):
    (tmp_path / "file.bin").write_bytes(b"x")
    # A truncated name would be a file that exists and, for the index and row map, matches.
    target = {"index": "index.rank_quant", "row map": "rows.jsonl"}.get(role, "file.bin")
    report = km.verify_manifest(manifest_naming(tmp_path, role, target + "\u0000.other"))
    messages = [e["message"] for e in report["errors"] if e["code"] == UNAVAILABLE[role]]
    assert len(messages) == 1, codes(report)
    assert messages[0].endswith("(os error 22)")
    sections = {"index": report["artifact"]["sha256"], "row map": report["row_identity"]["sha256"],
                "calibration profile": report["calibration"]["profile_sha256"],
                "encoder distortion profile": report["encoder_distortion"]["profile_sha256"]}
    if role == "auxiliary artifact":
        assert report["auxiliary_artifacts"][0]["sha256"] is None
    else:
        assert sections[role] is None


def nul_calls(tmp_path: pathlib.Path) -> list[tuple[str, Callable[[], Any], pathlib.Path | None]]:
    """(label, call, path that must not come into existence) for every path argument."""
    manifest, document = mb.build(tmp_path, row_map=True)
    index = tmp_path / document["artifact"]["path"]
    rows = tmp_path / "rows.jsonl"
    out = tmp_path / "made.json"
    nul = "\u0000ignored"
    return [
        ("sha256_file path", lambda: km.sha256_file(str(index) + nul), None),
        ("inspect_manifest manifest", lambda: km.inspect_manifest(str(manifest) + nul), None),
        ("verify_manifest manifest", lambda: km.verify_manifest(str(manifest) + nul), None),
        ("verify_for_load manifest", lambda: km.verify_for_load(str(manifest) + nul), None),
        ("create_manifest index",
         lambda: km.create_manifest(str(index) + nul, out, "m", row_id_is_identity=True), out),
        ("create_manifest out",
         lambda: km.create_manifest(index, str(out) + nul, "m", row_id_is_identity=True), out),
        ("create_manifest out directory",
         lambda: km.create_manifest(index, str(tmp_path / "sub") + nul + "/m.json", "m",
                                    row_id_is_identity=True), tmp_path / "sub"),
        ("create_manifest row_map",
         lambda: km.create_manifest(index, out, "m", row_map=str(rows) + nul), out),
        ("create_manifest auxiliary path",
         lambda: km.create_manifest(index, out, "m", row_id_is_identity=True,
                                    auxiliary_artifacts=[{"name": "a",
                                                          "path": str(rows) + nul}]), out),
    ]


def test_nul_in_a_path_argument_is_never_truncated(tmp_path):
    for label, call, must_not_exist in nul_calls(tmp_path):
        with pytest.raises(OSError) as info:
            call()
        assert type(info.value) is OSError, label
        assert str(info.value).endswith("(os error 22)"), label
        if must_not_exist is not None:
            assert not must_not_exist.exists(), label


def test_nul_in_the_index_override(tmp_path):
    manifest, document = mb.build(tmp_path)
    index = str(tmp_path / document["artifact"]["path"])
    report = km.verify_manifest(manifest, index=index + "\u0000x", allow_absolute_paths=True)
    assert codes(report) == ["artifact_path_unavailable"]
    assert report["artifact"]["sha256"] is None
    with pytest.raises(ValueError, match="^manifest verification failed: "
                                         "artifact_path_unavailable$"):
        km.verify_for_load(manifest, index=index + "\u0000x", allow_absolute_paths=True)


# ---- JSON built to exhaust the reader -----------------------------------------------------------------

DEEP = 100_000


def deep_manifests(document: dict[str, Any]) -> dict[str, str]:
    texts = {"arrays": "[" * DEEP + "]" * DEEP, "objects": '{"a":' * DEEP + "1" + "}" * DEEP,
             "unclosed": '[{"k":' * (DEEP // 2)}
    for field in ("extensions", "attestations"):
        marked = dict(document)
        marked[field] = {"com.example.deep": "@@"} if field == "extensions" else ["@@"]
        texts[f"inside {field}"] = json.dumps(marked).replace(
            '"@@"', '{"k":[' * (DEEP // 2) + "0" + "]}" * (DEEP // 2))
    return texts


def test_deep_nesting_stops_at_the_depth_limit(tmp_path):
    _, document = mb.build(tmp_path)
    calls = []
    for name, text in deep_manifests(document).items():
        path = tmp_path / f"{name}.json"
        path.write_text(text, encoding="utf-8")
        calls += [("inspect_manifest", [str(path)], {}), ("verify_manifest", [str(path)], {})]
    outcomes, _ = run_isolated(*calls)
    for outcome in outcomes:
        assert outcome.get("raised") == "ValueError", outcome
        assert outcome["message"].startswith("recursion limit exceeded at line 1 column ")


def test_deep_nesting_in_a_row_map_line_is_one_issue(tmp_path):
    manifest, _ = mb.build(tmp_path, row_map=True)
    rows = (tmp_path / "rows.jsonl").read_text().splitlines()
    rows[2] = "[" * DEEP
    (tmp_path / "rows.jsonl").write_text("\n".join(rows) + "\n")
    (outcome,), _ = run_isolated(("verify_manifest", [str(manifest)],
                                  {"max_row_map_line_bytes": 2 * DEEP}))
    report = outcome["value"]
    assert codes(report) == ["row_identity_jsonl_invalid_json", "row_identity_sha256_mismatch"]
    assert report["errors"][0]["message"] == (
        "line 2 is not a strict row object: recursion limit exceeded at line 1 column 129")


@pytest.mark.parametrize("where", ["manifest", "row map"])
def test_hundred_megabyte_bracket_run_is_refused_in_bounded_memory(tmp_path, where):
    size = 100 * MIB
    if where == "manifest":
        manifest = brackets = tmp_path / "brackets.json"
        limits = {"max_manifest_bytes": 2 * size}
    else:
        manifest, _ = mb.build(tmp_path, row_map=True, vectors=1)
        brackets = tmp_path / "rows.jsonl"
        limits = {"max_row_map_line_bytes": 2 * size}
    with open(brackets, "wb") as out:
        for _ in range(size // MIB):
            out.write(b"[" * MIB)
    (outcome,), peak = run_isolated(("verify_manifest", [str(manifest)], limits))
    if where == "manifest":
        assert outcome == {"raised": "ValueError",
                           "message": "recursion limit exceeded at line 1 column 129"}
    else:
        assert codes(outcome["value"])[0] == "row_identity_jsonl_invalid_json"
        assert outcome["value"]["errors"][0]["message"].endswith(
            "recursion limit exceeded at line 1 column 129")
    if not under_asan():
        # The bytes are held once (plus the reader's buffer while it grows); nothing may grow
        # with the nesting itself.
        assert peak < 3 * size + 64 * MIB, peak


DIGITS = 100_000
# (field, number text) -> the start of the ValueError message, or None when the number reads back
# as the nearest double (which Python's float() computes independently).
HUGE_NUMBERS = {
    ("dim", "1" + "0" * DIGITS): "number out of range at line ",
    ("dim", "-" + "9" * DIGITS): "number out of range at line ",
    ("dim", "0." + "0" * DIGITS + "1"): "invalid type: floating point",
    ("attestation", "9" * DIGITS): "number out of range at line ",
    ("attestation", "1e" + "9" * DIGITS): "number out of range at line ",
    ("attestation", "1e-" + "9" * DIGITS): None,
    ("attestation", "0." + "0" * DIGITS + "1"): None,
    ("attestation", "1" + "0" * 300 + "." + "0" * DIGITS): None,
    ("attestation", "0." + "3" * DIGITS): None,
    ("attestation", "-" + "7" * 300 + "e-" + "0" * DIGITS + "1"): None,
    ("bound", "2." + "5" * DIGITS): None,
}


def test_numbers_with_a_hundred_thousand_digits(tmp_path):
    _, document = mb.build(tmp_path)
    calls = []
    for n, (field, number) in enumerate(HUGE_NUMBERS):
        doc = json.loads(json.dumps(document))
        if field == "dim":
            doc["embedding"]["dim"] = "@@"
        elif field == "attestation":
            doc["attestations"] = ["@@"]
        else:
            doc["encoder_distortion"] = distortion_block("p.bin")
            doc["encoder_distortion"]["bounds"] = {"declared_upper_bound": "@@"}
        path = tmp_path / f"number{n}.json"
        path.write_text(json.dumps(doc).replace('"@@"', number), encoding="utf-8")
        calls.append(("inspect_manifest", [str(path)], {}))
    outcomes, _ = run_isolated(*calls)
    for ((field, number), expected), outcome in zip(HUGE_NUMBERS.items(), outcomes):
        label = (field, number[:12], len(number))
        if expected is not None:
            assert outcome.get("raised") == "ValueError", (label, outcome)
            assert outcome["message"].startswith(expected), (label, outcome)
        elif field == "attestation":
            assert outcome["value"]["attestations"] == [float(number)], (label, outcome)
        else:
            bounds = outcome["value"]["encoder_distortion"]["bounds"]
            assert bounds == {"declared_upper_bound": float(number)}, label


def test_a_hundred_thousand_digit_row_id_is_one_issue(tmp_path):
    manifest, _ = mb.build(tmp_path, row_map=True)
    rows = (tmp_path / "rows.jsonl").read_text().splitlines()
    rows[1] = rows[1].replace('"row_id": 1', '"row_id": 1' + "0" * DIGITS)
    (tmp_path / "rows.jsonl").write_text("\n".join(rows) + "\n")
    (outcome,), _ = run_isolated(("verify_manifest", [str(manifest)], {}))
    report = outcome["value"]
    assert codes(report) == ["row_identity_line_too_large", "row_identity_row_count_mismatch"]
    (outcome,), _ = run_isolated(("verify_manifest", [str(manifest)],
                                  {"max_row_map_line_bytes": 2 * DIGITS}))
    report = outcome["value"]
    assert codes(report) == ["row_identity_jsonl_invalid_json", "row_identity_sha256_mismatch"]
    assert report["errors"][0]["message"].startswith("line 1 is not a strict row object: ")


# ---- invalid UTF-8 and lone surrogates --------------------------------------------------------------

BAD_STRINGS = {
    b"\xff": "invalid unicode code point",
    b"\xc0\xaf": "invalid unicode code point",        # overlong "/"
    b"\xed\xa0\x80": "invalid unicode code point",    # a surrogate encoded as UTF-8
    b"\xf4\x90\x80\x80": "invalid unicode code point",  # beyond U+10FFFF
    b"\xe2\x82x": "invalid unicode code point",       # truncated sequence
    b"\\ud800": "unexpected end of hex escape",       # lone leading surrogate
    b"\\ud800\\u0041": "lone leading surrogate in hex escape",
    b"\\udc00": "lone leading surrogate in hex escape",  # lone trailing surrogate
}


def full_manifest(directory: pathlib.Path) -> dict[str, Any]:
    """A manifest with every block filled in, so that every kind of string field occurs."""
    aux = [mb.auxiliary_entry(directory, "vocab", b"words")]
    _, document = mb.build(directory, row_map=True, auxiliary=aux, attestations=[
        {"predicateType": "t", "subject": [{"digest": {"sha256": "0" * 64}}],
         "predicate": {"builder": {"id": "b"}}}, "plain"])
    document["row_identity"]["db"] = {"path": "db", "table": "t", "id_column": "id"}
    document["embedding"].update(model_revision="r", tokenizer_revision="t", pooling="mean",
                                 corpus_digest="1" * 64, embedding_matrix_digest="2" * 64,
                                 normalization="l2")
    document["build"] = {"invocation_id": "i", "builder_id": "b", "source_repo": "r",
                         "source_commit": "c", "ci_provider": "p", "ci_run_id": "7"}
    document["extensions"] = {"com.example.x": {"key": ["value"]}}
    document["calibration"] = calibration_block("cal.bin")
    document["calibration"]["created_at"] = "2024-01-01T00:00:00Z"
    document["calibration"]["calibrated_for"].update(model_revision="r", normalization="l2")
    document["calibration"]["profile"]["source_digest"] = "sha256:" + "3" * 64
    document["encoder_distortion"] = distortion_block("ed.bin")
    document["encoder_distortion"].update(created_at="2024-01-01T00:00:00Z",
                                          tokenizer_revision="t", pooling="mean",
                                          calibration_profile_id="cal-1")
    document["encoder_distortion"]["source_metric"].update(version="1", digest="sha256:" + "4" * 64)
    document["encoder_distortion"]["scope"] = {"domain": "d", "estimator_version": "v",
                                               "corpus_digest": "sha256:" + "5" * 64}
    document["encoder_distortion"]["evidence"].update(estimator_id="e",
                                                      estimator_hash="sha256:" + "6" * 64)
    return document


def string_positions(value: Any, path: tuple[Any, ...] = ()) -> list[tuple[tuple[Any, ...], str]]:
    """(path, "value" or "key") of every string in a JSON document."""
    found: list[tuple[tuple[Any, ...], str]] = []
    if isinstance(value, str):
        found.append((path, "value"))
    elif isinstance(value, dict):
        for key, item in value.items():
            found.append((path + (key,), "key"))
            found += string_positions(item, path + (key,))
    elif isinstance(value, list):
        for i, item in enumerate(value):
            found += string_positions(item, path + (i,))
    return found


def with_marker(document: Any, path: tuple[Any, ...], where: str) -> Any:
    copy = json.loads(json.dumps(document))
    parent = copy
    for step in path[:-1]:
        parent = parent[step]
    last = path[-1]
    if where == "value":
        parent[last] = "@@MARK@@"
    else:
        parent["@@MARK@@"] = parent.pop(last)
    return copy


def test_invalid_utf8_and_lone_surrogates_in_every_string_field(tmp_path):
    document = full_manifest(tmp_path)
    positions = string_positions(document)
    assert len(positions) > 150  # every block is really there
    target = tmp_path / "bad.json"
    for path, where in positions:
        text = json.dumps(with_marker(document, path, where), indent=1).encode()
        line = text[:text.index(b"@@MARK@@")].count(b"\n") + 1
        for bad, description in BAD_STRINGS.items():
            target.write_bytes(text.replace(b"@@MARK@@", b"ok" + bad))
            for function in (km.inspect_manifest, km.verify_manifest):
                with pytest.raises(ValueError) as info:
                    function(target)
                message = str(info.value)
                assert message.startswith(f"{description} at line {line} column "), (
                    path, where, bad, message)


@pytest.mark.parametrize("bad", list(BAD_STRINGS))
@pytest.mark.parametrize("field", ["db_id", "parent_id", "key"])
def test_invalid_strings_in_a_row_map_line_are_one_issue(tmp_path, field, bad):
    manifest, _ = mb.build(tmp_path, row_map=True)
    rows = (tmp_path / "rows.jsonl").read_bytes().split(b"\n")
    row = json.loads(rows[3])
    if field == "key":
        line = b'{"row_id": 3, "db_id": "%s", "p' % row["db_id"].encode() + bad + b'": null}'
    elif field == "db_id":
        line = b'{"row_id": 3, "db_id": "' + bad + b'"}'
    else:
        line = b'{"row_id": 3, "db_id": "%s", "parent_id": "' % row["db_id"].encode() + bad + b'"}'
    rows[3] = line
    (tmp_path / "rows.jsonl").write_bytes(b"\n".join(rows))
    report = km.verify_manifest(manifest)
    assert codes(report) == ["row_identity_jsonl_invalid_json", "row_identity_sha256_mismatch"]
    assert report["errors"][0]["message"].startswith(
        f"line 3 is not a strict row object: {BAD_STRINGS[bad]} at line 1 column ")
    assert report["row_identity"]["validated_rows"] == 4


def lone_surrogate_calls(tmp_path: pathlib.Path) -> list[tuple[Callable[[], Any], str | None]]:
    """(call, parameter named by the note or None) for every text and path argument."""
    manifest, document = mb.build(tmp_path)
    index = tmp_path / document["artifact"]["path"]
    out = tmp_path / "made" / "m.json"
    bad = "x\ud800"
    return [
        (lambda: km.sha256_file(bad), "path"),
        (lambda: km.inspect_manifest(bad), "manifest"),
        (lambda: km.verify_manifest(bad), "manifest"),
        (lambda: km.verify_manifest(manifest, index=bad), "index"),
        (lambda: km.verify_for_load(bad), "manifest"),
        (lambda: km.verify_for_load(manifest, index=bad), "index"),
        (lambda: km.create_manifest(bad, out, "m", row_id_is_identity=True), "index"),
        (lambda: km.create_manifest(index, str(out) + bad, "m", row_id_is_identity=True), "out"),
        (lambda: km.create_manifest(index, out, bad, row_id_is_identity=True), "embedding_model"),
        (lambda: km.create_manifest(index, out, "m", row_map=bad), "row_map"),
        (lambda: km.create_manifest(index, out, "m", row_id_is_identity=True,
                                    auxiliary_artifacts=[{"name": bad, "path": index}]), None),
        (lambda: km.create_manifest(index, out, "m", row_id_is_identity=True,
                                    auxiliary_artifacts=[{"name": "a", "path": bad}]), None),
    ]


def test_lone_surrogates_in_arguments_raise_before_any_file_is_touched(tmp_path):
    for call, parameter in lone_surrogate_calls(tmp_path):
        with pytest.raises(UnicodeEncodeError) as info:
            call()
        notes = getattr(info.value, "__notes__", [])
        assert notes == ([f"while processing '{parameter}'"] if parameter else []), parameter
    assert not (tmp_path / "made").exists()
    with pytest.raises(TypeError, match="unexpected keyword argument"):
        km.verify_manifest(tmp_path / "manifest.json", **{"max_\ud800": 1})


# ---- files that change while they are read ---------------------------------------------------------

class Churn(threading.Thread):
    """Grows and shrinks a file between two sizes until stopped (or a fixed number of rounds),
    so that a concurrent reader meets it in every state."""

    def __init__(self, path: pathlib.Path, small: bytes, extra: bytes, rounds: int = 5000):
        super().__init__(daemon=True)
        self.path, self.small, self.extra, self.rounds = path, small, extra, rounds
        self.stop = threading.Event()

    def run(self) -> None:
        with open(self.path, "r+b") as handle:
            for _ in range(self.rounds):
                if self.stop.is_set():
                    break
                handle.seek(len(self.small))
                handle.write(self.extra)
                handle.flush()
                handle.truncate(len(self.small))

    def __enter__(self) -> "Churn":
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop.set()
        self.join()


def test_an_index_that_grows_and_shrinks_while_hashed(tmp_path):
    manifest, document = mb.build(tmp_path, vectors=400_000)  # a 3 MiB index: many reads
    index = tmp_path / document["artifact"]["path"]
    allowed = {"artifact_sha256_mismatch", "artifact_file_size_mismatch",
               "artifact_probe_failed", "artifact_metadata_file_size_mismatch"}
    with Churn(index, index.read_bytes(), b"\x01" * MIB):
        for _ in range(20):
            report = km.verify_manifest(manifest)
            assert set(codes(report)) <= allowed, codes(report)
            assert report["artifact"]["size_bytes"] is not None
    assert km.verify_manifest(manifest)["ok"] is True  # back to its declared content


def test_an_auxiliary_artifact_that_grows_past_its_limit_while_read(tmp_path):
    content = b"a" * MIB
    aux = [mb.auxiliary_entry(tmp_path, "big", content)]
    manifest, _ = mb.build(tmp_path, auxiliary=aux)
    allowed = {"auxiliary_artifact_sha256_mismatch", "auxiliary_artifact_file_size_mismatch",
               "auxiliary_artifact_file_too_large"}
    with Churn(tmp_path / "big.bin", content, b"b" * (2 * MIB)):
        for _ in range(20):
            report = km.verify_manifest(manifest, max_auxiliary_artifact_bytes=2 * MIB)
            assert set(codes(report)) <= allowed, codes(report)
            entry = report["auxiliary_artifacts"][0]
            assert entry["size_bytes"] is None or entry["size_bytes"] <= 2 * MIB


# ---- a symbolic link swapped in after resolution ---------------------------------------------------

def test_a_link_swapped_in_after_resolution_is_never_followed(tmp_path):
    base = tmp_path / "base"
    manifest, document = mb.build(base)
    index = base / document["artifact"]["path"]
    secret = tmp_path / "secret.bin"
    secret.write_bytes(b"outside the manifest's directory")
    secret_digest = km.sha256_file(secret)["sha256"]
    original = index.read_bytes()
    link, regular = base / "swap-link", base / "swap-regular"

    stop = threading.Event()

    def swap() -> None:
        for _ in range(20000):
            if stop.is_set():
                return
            with contextlib.suppress(FileNotFoundError):
                link.unlink()
            link.symlink_to(secret)
            os.replace(link, index)
            regular.write_bytes(original)
            os.replace(regular, index)

    swapper = threading.Thread(target=swap, daemon=True)
    swapper.start()
    try:
        seen: set[str] = set()
        for _ in range(200):
            report = km.verify_manifest(manifest)
            assert report["artifact"]["sha256"] != secret_digest
            seen |= set(codes(report))
        assert seen <= {"artifact_path_escape_rejected", "artifact_hash_failed",
                        "artifact_probe_failed", "artifact_path_unavailable"}
    finally:
        stop.set()
        swapper.join()


# ---- a million bad lines ------------------------------------------------------------------------------

@pytest.mark.parametrize("max_report_issues", [None, 5, 50_000])
def test_a_million_bad_lines_keep_the_issue_list_bounded(tmp_path, max_report_issues):
    lines = 1_000_000
    manifest, document = mb.build(tmp_path, row_map=True)
    # One byte per vector keeps the matching index small.
    index = mb.samples.write_index(tmp_path / "big.kdrq", "rank_quant", 8, lines, bits=1)
    digest = km.sha256_file(index)
    document["artifact"].update(path=index.name, sha256=digest["sha256"], dim=8,
                                vector_count=lines, bytes_per_vec=1,
                                params={"kind": "rank_quant", "bits": 1},
                                file_size_bytes=digest["size_bytes"])
    document["embedding"]["dim"] = 8
    document["row_identity"]["row_count"] = lines
    mb.write(tmp_path, document)
    (tmp_path / "rows.jsonl").write_bytes(b"x\n" * lines)
    limits = {} if max_report_issues is None else {"max_report_issues": max_report_issues}
    (outcome,), _ = run_isolated(("verify_manifest", [str(manifest)], limits))
    report = outcome["value"]
    bound = max_report_issues or km.DEFAULT_MAX_REPORT_ISSUES
    assert len(report["errors"]) == bound
    assert codes(report)[:-1] == ["row_identity_jsonl_invalid_json"] * (bound - 1)
    assert report["errors"][-1]["message"].endswith(f"max_report_issues={bound}")
    assert report["errors"][bound - 2]["message"].startswith(f"line {bound - 2} is not a strict")
    assert report["row_identity"]["validated_rows"] == 0
