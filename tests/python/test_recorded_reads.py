"""The package's opt-ins: verification that reports what it read, and creation through a
descriptor. A caller of the documented signature never sees either."""

from __future__ import annotations

import hashlib
import inspect
import os
import pathlib

import _karnid_manifest as km
import pytest

import manifest_builder


def test_reads_describe_the_parsed_bytes_and_every_hashed_file(tmp_path: pathlib.Path) -> None:
    aux = manifest_builder.auxiliary_entry(tmp_path, "vocab", b"tokens")
    manifest, _ = manifest_builder.build(tmp_path, row_map=True, auxiliary=[aux])
    plan, reads = km.verify_for_load(manifest, record_reads=True)
    assert plan.keys() == km.verify_for_load(manifest).keys()
    data = manifest.read_bytes()
    assert reads["manifest"]["sha256"] == hashlib.sha256(data).hexdigest()
    assert reads["manifest"]["size_bytes"] == len(data)
    assert reads["manifest"]["path"] == os.fsencode(manifest)
    by_role = {(f["role"], f["name"]): f for f in reads["files"]}
    assert set(by_role) == {("artifact", None), ("row_identity", None),
                            ("auxiliary_artifact", "vocab")}
    expected_paths = {
        ("artifact", None): plan["artifact_path"],
        ("row_identity", None): plan["row_identity"]["path"],
        ("auxiliary_artifact", "vocab"): plan["auxiliary_artifacts"][0]["path"],
    }
    for key, entry in by_role.items():
        path = expected_paths[key]
        st = os.stat(path)
        assert entry["path"] == os.fsencode(path)
        assert (entry["device"], entry["inode"], entry["size_bytes"]) == (
            st.st_dev, st.st_ino, st.st_size)
        assert (entry["mtime_ns"], entry["ctime_ns"]) == (st.st_mtime_ns, st.st_ctime_ns)
        assert entry["sha256"] == hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()
        assert entry["steady"] is True
    report, report_reads = km.verify_manifest(manifest, record_reads=True)
    assert report["ok"] and report_reads["files"] == reads["files"]


def test_the_documented_surface_does_not_show_the_opt_ins() -> None:
    for function in (km.verify_manifest, km.verify_for_load, km.create_manifest):
        shown = inspect.signature(function).parameters
        assert "record_reads" not in shown and "out_fd" not in shown


def test_creation_writes_through_the_descriptor_and_opens_nothing_by_name(
        tmp_path: pathlib.Path) -> None:
    manifest, _ = manifest_builder.build(tmp_path / "in")
    index = next((tmp_path / "in").glob("index.*"))
    out = tmp_path / "in" / "created.json"
    victim = tmp_path / "victim"
    victim.write_bytes(b"keep")
    out.symlink_to(victim)  # a name swapped under the writer must not be followed
    temporary = tmp_path / "in" / ".created.json.tmp"
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    try:
        created = km.create_manifest(index, out, "model", row_id_is_identity=True, out_fd=fd)
    finally:
        os.close(fd)
    assert victim.read_bytes() == b"keep"
    assert created["artifact"]["path"] == index.name  # placed by `out`, written to the descriptor
    assert km.inspect_manifest(temporary) == created
    for bad in (-1, 2**40):
        try:
            km.create_manifest(index, out, "model", row_id_is_identity=True, out_fd=bad)
        except ValueError as exc:
            assert "while processing 'out_fd'" in exc.__notes__
        else:
            raise AssertionError(f"out_fd={bad} accepted")


def test_a_posix_name_that_looks_prefixed_is_planned_as_given(
        tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> None:
    decoy, _ = manifest_builder.build(tmp_path)  # the "m.json"-like sibling a strip would name
    prefixed = tmp_path / "\\\\?\\manifest.json"
    prefixed.write_bytes(decoy.read_bytes())
    monkeypatch.chdir(tmp_path)
    plan = km.verify_for_load("\\\\?\\manifest.json")
    assert plan["manifest_path"] == "\\\\?\\manifest.json"


def test_issue_lines_give_the_row_an_issue_names(tmp_path: pathlib.Path) -> None:
    manifest, _ = manifest_builder.build(tmp_path, row_map=True, vectors=4)
    rows = (tmp_path / "rows.jsonl").read_text().splitlines()
    rows[2] = rows[2].replace('"db_id": "', '"db_id": "x')  # not a UUID any more
    (tmp_path / "rows.jsonl").write_text("\n".join(rows) + "\n")
    plain = km.verify_manifest(manifest)["errors"]
    lined = km.verify_manifest(manifest, issue_lines=True)["errors"]
    assert [{"code": i["code"], "message": i["message"]} for i in lined] == plain
    by_code = {i["code"]: i["line"] for i in lined}
    assert by_code["row_identity_db_id_invalid_uuid"] == 2
    assert by_code["row_identity_sha256_mismatch"] is None
