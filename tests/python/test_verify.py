"""verify_manifest and verify_for_load end to end on real files."""

from __future__ import annotations

import os
import pathlib

import pytest

import _karnid_manifest as km
from karnid_manifest import cli

import manifest_builder as mb


@pytest.mark.parametrize("kind", sorted(mb.SHAPES))
@pytest.mark.parametrize("row_map", [False, True])
def test_matching_files_verify_clean_and_plan(tmp_path, kind, row_map):
    manifest, document = mb.build(tmp_path, kind=kind, row_map=row_map)
    report = km.verify_manifest(manifest)
    assert report["errors"] == []
    assert report["ok"] is True
    assert report["skipped_checks"] == ["attestations_absent"]
    assert report["artifact"]["metadata"]["kind"] == kind
    assert report["artifact"]["metadata"]["params"] == document["artifact"]["params"]

    plan = km.verify_for_load(manifest)
    assert list(plan) == ["manifest_path", "artifact_path", "metadata", "row_identity",
                          "auxiliary_artifacts", "report"]
    assert plan["manifest_path"] == str(manifest)
    assert plan["artifact_path"] == os.path.realpath(tmp_path / document["artifact"]["path"])
    assert plan["metadata"] == report["artifact"]["metadata"]
    rows = plan["row_identity"]
    assert list(rows) == ["kind", "path", "row_count", "validated_rows", "sha256"]
    if row_map:
        assert rows["kind"] == "jsonl"
        assert rows["path"] == os.path.realpath(tmp_path / "rows.jsonl")
        assert rows["sha256"] == document["row_identity"]["sha256"]
        assert rows["validated_rows"] == 5
    else:
        assert rows == {"kind": "row_id_identity", "path": None, "row_count": 5,
                        "validated_rows": None, "sha256": None}
    # Same content as verify_manifest, apart from when it was checked.
    plan["report"].pop("checked_at")
    report.pop("checked_at")
    assert plan["report"] == report


def test_wrong_digest_is_reported_not_raised(tmp_path):
    manifest, document = mb.build(tmp_path)
    document["artifact"]["sha256"] = "0" * 64
    mb.write(tmp_path, document)
    report = km.verify_manifest(manifest)
    assert report["ok"] is False
    assert [e["code"] for e in report["errors"]] == ["artifact_sha256_mismatch"]
    with pytest.raises(ValueError) as info:
        km.verify_for_load(manifest)
    assert str(info.value) == "manifest verification failed: artifact_sha256_mismatch"


def test_failure_message_lists_at_most_three_codes(tmp_path):
    manifest, document = mb.build(tmp_path)
    document["manifest_id"] = " "
    document["created_at"] = "yesterday"
    document["embedding"]["model"] = ""
    document["artifact"]["sha256"] = "A" * 64
    mb.write(tmp_path, document)
    with pytest.raises(ValueError) as info:
        km.verify_for_load(manifest)
    assert str(info.value) == ("manifest verification failed: manifest_id_empty, "
                               "created_at_invalid, embedding_model_empty, ...")


def test_missing_manifest_raises_but_missing_index_is_an_issue(tmp_path):
    with pytest.raises(OSError) as info:
        km.verify_manifest(tmp_path / "absent.json")
    assert type(info.value) is OSError and str(info.value).endswith("(os error 2)")

    manifest, document = mb.build(tmp_path)
    (tmp_path / document["artifact"]["path"]).unlink()
    report = km.verify_manifest(manifest)
    assert [e["code"] for e in report["errors"]] == ["artifact_path_unavailable"]
    assert report["artifact"]["canonical_path"] is None


def test_index_override_replaces_the_manifest_path(tmp_path):
    manifest, document = mb.build(tmp_path)
    copy = tmp_path / "copy.idx"
    copy.write_bytes((tmp_path / document["artifact"]["path"]).read_bytes())
    report = km.verify_manifest(manifest, index="copy.idx")
    assert report["ok"] is True
    assert report["artifact"]["manifest_path"] == document["artifact"]["path"]
    assert report["artifact"]["observed_path"] == "copy.idx"
    assert report["artifact"]["canonical_path"] == str(copy.resolve())
    assert km.verify_for_load(manifest, index="copy.idx")["artifact_path"] == str(copy.resolve())

    absolute = km.verify_manifest(manifest, index=str(copy))
    assert [e["code"] for e in absolute["errors"]] == ["artifact_absolute_path_rejected"]
    assert km.verify_manifest(manifest, index=str(copy), allow_absolute_paths=True)["ok"]


def test_report_issue_bound(tmp_path):
    manifest, document = mb.build(tmp_path)
    document["manifest_id"] = ""
    document["created_at"] = "x"
    document["extensions"] = {"a": 1, "b": 2, "c": 3}
    mb.write(tmp_path, document)
    report = km.verify_manifest(manifest, max_report_issues=1)
    assert [e["code"] for e in report["errors"]] == ["verification_report_issue_limit_exceeded"]
    assert report["errors"][0]["message"].endswith("max_report_issues=1")


def test_plan_paths_are_canonical_through_symbolic_links(tmp_path):
    real = tmp_path / "real"
    manifest, document = mb.build(real, row_map=True)
    (real / "rows-link.jsonl").symlink_to("rows.jsonl")
    document["row_identity"]["path"] = "rows-link.jsonl"
    mb.write(real, document)
    linked_dir = tmp_path / "linked"
    linked_dir.symlink_to(real)
    plan = km.verify_for_load(linked_dir / "manifest.json")
    assert plan["manifest_path"] == str(linked_dir / "manifest.json")
    assert plan["row_identity"]["path"] == str((real / "rows.jsonl").resolve())
    assert plan["artifact_path"] == str((real / document["artifact"]["path"]).resolve())


def test_auxiliary_artifacts_in_the_plan(tmp_path):
    aux = [mb.auxiliary_entry(tmp_path, "vocab", b"words"),
           mb.auxiliary_entry(tmp_path, "absent", None, required=False)]
    manifest, _ = mb.build(tmp_path, auxiliary=aux)
    plan = km.verify_for_load(manifest)
    entries = {e["name"]: e for e in plan["auxiliary_artifacts"]}
    assert [e["name"] for e in plan["auxiliary_artifacts"]] == ["absent", "vocab"]
    assert entries["absent"] == {"name": "absent", "path": None, "required": False,
                                 "state": "optional_absent",
                                 "reason_code": "auxiliary_artifact_optional_absent",
                                 "sha256": None, "size_bytes": None}
    assert entries["vocab"]["state"] == "verified"
    assert entries["vocab"]["path"] == str((tmp_path / "vocab.bin").resolve())

    aux.append(mb.auxiliary_entry(tmp_path, "needed", None, required=True))
    manifest, _ = mb.build(tmp_path, auxiliary=aux)
    with pytest.raises(ValueError, match="^manifest verification failed: "
                                         "auxiliary_artifact_missing_required$"):
        km.verify_for_load(manifest)


def test_attestations_are_shape_checked(tmp_path):
    manifest, document = mb.build(tmp_path)
    digest = document["artifact"]["sha256"]
    attestations = [
        {"predicateType": "https://example.org/provenance",
         "predicate": {"builder": {"id": "ci"}}, "subject": [{"digest": {"sha256": digest}}]},
        "just text",
    ]
    manifest, _ = mb.build(tmp_path, attestations=attestations)
    report = km.verify_manifest(manifest)
    assert report["attestation_shape_checks"] == [
        {"predicate_type": "https://example.org/provenance", "builder_id": "ci",
         "subject_sha256_matched": True},
        {"predicate_type": None, "builder_id": None, "subject_sha256_matched": False},
    ]
    assert [e["code"] for e in report["errors"]] == ["attestation_predicate_type_missing"]
    assert report["errors"][0]["message"] == "attestation 1 has no predicateType"
    assert report["skipped_checks"] == []


def test_a_fifo_named_as_the_index_does_not_block(tmp_path):
    manifest, document = mb.build(tmp_path)
    (tmp_path / document["artifact"]["path"]).unlink()
    os.mkfifo(tmp_path / document["artifact"]["path"])
    report = km.verify_manifest(manifest)
    codes = [e["code"] for e in report["errors"]]
    assert codes == ["artifact_hash_failed", "artifact_probe_failed"]


def test_plan_paths_name_exactly_the_verified_bytes(tmp_path, capsys):
    # The files live in a directory named with a byte that is not UTF-8; a decoy set of files sits
    # at the U+FFFD spelling of that name, where a lossily decoded path would lead.
    odd = pathlib.Path(os.fsdecode(os.fsencode(tmp_path) + b"/\xff"))
    odd.mkdir()
    vocab = mb.auxiliary_entry(odd, "vocab", b"abc")
    manifest, document = mb.build(odd, row_map=True, auxiliary=[vocab])
    decoy = tmp_path / "\ufffd"
    decoy.mkdir()
    mb.build(decoy, row_map=True, vectors=3, auxiliary=[mb.auxiliary_entry(decoy, "vocab", b"x")])

    plan = km.verify_for_load(manifest)
    real = os.path.realpath(odd)
    assert plan["manifest_path"] == str(manifest)
    paths = [(plan["artifact_path"], document["artifact"]),
             (plan["row_identity"]["path"], document["row_identity"]),
             (plan["auxiliary_artifacts"][0]["path"], vocab)]
    for path, declared in paths:
        assert os.path.dirname(path) == real
        assert km.sha256_file(path)["sha256"] == declared["sha256"]
    # The report is for people: display text, no surrogate escapes.
    shown = plan["report"]["artifact"]["canonical_path"]
    assert "\ufffd" in shown and "\udcff" not in shown

    assert cli.main(["plan", str(manifest)]) == 0
    assert f"{os.path.realpath(tmp_path)}/\ufffd/index." in capsys.readouterr().out
