"""What a CI pipeline or a loader host runs into first: folders of auxiliary files, structured
issues in --json, JUnit reports, the issue-code reference inside the package, the API's paths,
and plain words under the module's terse texts."""

from __future__ import annotations

import json
import os
import re
import sys
from importlib import metadata
from pathlib import Path

import pytest

import _karnid_manifest as raw
import karnid_manifest as km
from karnid_manifest import codes, samples
from test_cli import MODEL, run
from test_docs import PATH_POLICY_PREFIXES

REPO = Path(__file__).resolve().parents[2]
JUNIT_XSD = Path(__file__).parent / "data" / "junit-10.xsd"


@pytest.fixture
def folder_project(tmp_path: Path) -> Path:
    """An index whose manifest has a tokenizer folder (with a hidden file and a nested folder)
    beside one plain auxiliary file."""
    root = tmp_path / "proj"
    (root / "tok" / "sub").mkdir(parents=True)
    samples.write_index(root / "index.kdrq", "rank_quant", 16, 5, bits=4, seed=1)
    samples.write_row_map(root / "rows.jsonl", 5, seed=2)
    (root / "tok" / "vocab.json").write_text("{}", encoding="utf-8")
    (root / "tok" / "sub" / "merges.txt").write_text("a b\n", encoding="utf-8")
    (root / "tok" / ".cache").write_text("left out", encoding="utf-8")
    (root / "readme.txt").write_text("hi", encoding="utf-8")
    result = run("create", "index.kdrq", "--out", "manifest.json", "--embedding-model", MODEL,
                 "--row-map", "rows.jsonl", "--aux-dir", "tok=tok", "--aux", "readme=readme.txt",
                 cwd=root)
    assert result.returncode == 0, result.stderr
    return root


# --- folders of auxiliary files -----------------------------------------------------------------


def test_aux_dir_adds_one_plain_entry_per_file(folder_project: Path) -> None:
    manifest = raw.inspect_manifest(folder_project / "manifest.json")
    entries = {(e["name"], e["path"]) for e in manifest["auxiliary_artifacts"]}
    assert entries == {("tok/sub/merges.txt", "tok/sub/merges.txt"),
                       ("tok/vocab.json", "tok/vocab.json"), ("readme", "readme.txt")}
    # Ordinary entries: the module alone verifies them.
    assert raw.verify_manifest(folder_project / "manifest.json")["ok"]

    shown = run("verify", "manifest.json", cwd=folder_project).stdout.splitlines()
    folder = next(i for i, line in enumerate(shown) if line.startswith('auxiliary "tok"'))
    assert "tok/" in shown[folder] and "2 files" in shown[folder]
    assert [line.split()[0] for line in shown[folder + 1:folder + 3]] == [
        '"sub/merges.txt"', '"vocab.json"']

    plan = json.loads(run("plan", "manifest.json", "--json", cwd=folder_project).stdout)
    assert plan["auxiliary_folders"] == {"tok": str((folder_project / "tok").resolve())}
    assert "tok/" in run("plan", "manifest.json", cwd=folder_project).stdout


def test_a_file_added_to_the_folder_is_a_warning(folder_project: Path) -> None:
    (folder_project / "tok" / "added.txt").write_text("new", encoding="utf-8")
    result = run("verify", "manifest.json", cwd=folder_project)
    assert result.returncode == 0
    warning = [line for line in result.stdout.splitlines() if line.startswith("warning:")]
    assert warning == ['warning: tok/added.txt is in the folder "tok" but not part of the '
                       'manifest; nothing vouches for it']


@pytest.mark.parametrize("case", ["symlink", "fifo", "too many", "a file"])
def test_aux_dir_refuses_what_it_cannot_vouch_for(tmp_path: Path, case: str) -> None:
    samples.write_index(tmp_path / "index.kdr", "rank", 4, 2)
    folder = tmp_path / "cfg"
    folder.mkdir()
    (folder / "a.json").write_text("{}", encoding="utf-8")
    given = "cfg"
    expected = {"symlink": "is a symbolic link", "fifo": "is a FIFO",
                "too many": "more than 1 files, the room left by --max-auxiliary-artifacts",
                "a file": "is not a folder; single files go with --aux"}[case]
    extra = []
    if case == "symlink":
        (folder / "link.json").symlink_to(tmp_path / "index.kdr")
    elif case == "fifo":
        os.mkfifo(folder / "pipe")
    elif case == "too many":
        (folder / "b.json").write_text("{}", encoding="utf-8")
        extra = ["--max-auxiliary-artifacts", "1"]
    else:
        given = "cfg/a.json"
    result = run("create", "index.kdr", "--out", "m.json", "--embedding-model", MODEL,
                 "--row-id-is-identity", "--aux-dir", f"cfg={given}", *extra, cwd=tmp_path)
    assert result.returncode == 2 and expected in result.stderr, result.stderr
    assert not (tmp_path / "m.json").exists()


# --- structured issues and JUnit reports ----------------------------------------------------------


def test_json_issues_carry_subject_path_and_values(folder_project: Path) -> None:
    samples.flip_byte(folder_project / "index.kdrq")
    (folder_project / "tok" / "vocab.json").write_text('{"grown": 1}', encoding="utf-8")
    document = json.loads(run("verify", "manifest.json", "--json", cwd=folder_project).stdout)
    assert document["format"] == "karnid-manifest.report.v1"
    assert document["manifest"] == "manifest.json"
    declared = raw.inspect_manifest(folder_project / "manifest.json")
    by_code = {issue["code"]: issue for issue in document["errors"]}
    index = by_code["artifact_sha256_mismatch"]
    assert (index["section"], index["subject"]) == ("artifact", "index")
    assert index["expected"] == declared["artifact"]["sha256"]
    assert index["observed"] == document["artifact"]["sha256"] != index["expected"]
    assert index["path"] == str((folder_project / "index.kdrq").resolve())
    size = by_code["auxiliary_artifact_file_size_mismatch"]
    assert (size["subject"], size["expected"], size["observed"]) == ("tok/vocab.json", 2, 12)
    assert by_code["auxiliary_artifact_sha256_mismatch"]["subject"] == "tok/vocab.json"
    # What the module said stays as it was.
    assert [{"code": i["code"], "message": i["message"]} for i in document["errors"]] == (
        raw.verify_manifest(folder_project / "manifest.json")["errors"])


def test_plan_refusal_json_lists_issues_with_their_lines(folder_project: Path) -> None:
    lines = (folder_project / "rows.jsonl").read_text(encoding="utf-8").splitlines()
    lines[3] = lines[3].replace('"row_id": 3', '"row_id": 9')
    (folder_project / "rows.jsonl").write_text("\n".join(lines) + "\n", encoding="utf-8")
    refused = json.loads(run("plan", "manifest.json", "--json", cwd=folder_project).stdout)
    row = next(i for i in refused["issues"] if i["code"] == "row_identity_row_id_mismatch")
    assert (row["line"], row["file_line"]) == (3, 4)


def test_junit_report_validates_and_carries_the_issues(folder_project: Path,
                                                       tmp_path: Path) -> None:
    xmlschema = pytest.importorskip("xmlschema")
    schema = xmlschema.XMLSchema(str(JUNIT_XSD))
    (folder_project / "tok" / "vocab.json").write_text("\x01changed", encoding="utf-8")
    (tmp_path / "empty").mkdir()
    report = tmp_path / "junit.xml"
    result = run("verify", "manifest.json", str(tmp_path / "empty"), "--junit", report,
                 cwd=folder_project)
    assert result.returncode == 2
    schema.validate(str(report))
    tree = schema.to_dict(str(report))
    first, second = tree["testsuite"]
    assert (first["@tests"], first["@failures"], second["@errors"]) == ("6", "1", "1")
    failed = [case for case in first["testcase"] if "failure" in case]
    assert [case["@name"] for case in failed] == ['auxiliary "tok/vocab.json"']
    assert {f["@type"] for f in failed[0]["failure"]} == {
        "auxiliary_artifact_sha256_mismatch", "auxiliary_artifact_file_size_mismatch"}

    planned = tmp_path / "plan.xml"
    assert run("plan", "manifest.json", "--junit", planned, cwd=folder_project).returncode == 1
    schema.validate(str(planned))


# --- the reference inside the package -------------------------------------------------------------


def test_every_code_in_the_reference_is_explained() -> None:
    shipped = codes.reference_text()
    if (REPO / "docs" / "issue-codes.md").exists():
        assert shipped == (REPO / "docs" / "issue-codes.md").read_text(encoding="utf-8")
    # Every first cell of a table, less the table of path-policy prefixes.
    tabled = set(re.findall(r"^\| `([a-z0-9_]+)`", shipped, re.M)) - set(PATH_POLICY_PREFIXES)
    assert len(tabled) > 100
    assert [code for code in sorted(tabled) if not codes.lookup(code)] == []
    # A row naming several codes explains each of them.
    assert codes.lookup("calibration_profile_path_escape_rejected")


def test_explain_prints_what_to_do_and_help_points_to_it(tmp_path: Path) -> None:
    result = run("explain", "artifact_sha256_mismatch", cwd=tmp_path)
    assert result.returncode == 0
    assert "what to do: the index changed after the manifest was written" in result.stdout
    unknown = run("explain", "artifact_sha256_mismatc", cwd=tmp_path)
    assert unknown.returncode == 2 and "did you mean: artifact_sha256_mismatch" in unknown.stderr
    assert "karnid-manifest explain CODE" in run("--help", cwd=tmp_path).stdout


def test_package_metadata_names_its_pages() -> None:
    meta = metadata.metadata("karnid-manifest")
    urls = {entry.split(",")[0] for entry in meta.get_all("Project-URL") or []}
    assert {"Documentation", "Source", "Issues"} <= urls
    assert meta["Description-Content-Type"] == "text/markdown"
    assert "## Your own index in three steps" in (meta.get_payload() or meta["Description"])


# --- the API's paths --------------------------------------------------------------------------------


def test_a_directory_means_its_manifest(folder_project: Path) -> None:
    assert km.verify_for_load(folder_project)["manifest_path"].endswith("manifest.json")
    assert km.verify_manifest(str(folder_project))["ok"]
    assert km.inspect_manifest(manifest=folder_project)["embedding"]["model"] == MODEL


def test_an_absolute_index_gets_a_hint(folder_project: Path) -> None:
    index = str((folder_project / "index.kdrq").resolve())
    with pytest.raises(km.VerificationFailed) as refused:
        km.verify_for_load(folder_project, index=index)
    assert any("allow_absolute_paths=True" in note for note in refused.value.__notes__)
    shown = run("verify", "manifest.json", "--index", index, cwd=folder_project)
    assert "--allow-absolute-paths" in shown.stdout
    assert km.verify_for_load(folder_project, index=index, allow_absolute_paths=True)


# --- plain words ------------------------------------------------------------------------------------


def test_plain_words_for_row_map_values(folder_project: Path) -> None:
    lines = (folder_project / "rows.jsonl").read_text(encoding="utf-8").splitlines()
    first_id = json.loads(lines[1])["db_id"]
    lines[3] = json.dumps({"row_id": 3, "db_id": first_id})
    lines[4] = json.dumps({"row_id": 4, "db_id": "not-a-uuid"})
    (folder_project / "rows.jsonl").write_text("\n".join(lines) + "\n", encoding="utf-8")
    (folder_project / "index.kdrq").unlink()
    out = run("verify", "manifest.json", cwd=folder_project).stdout
    assert (f'in plain words: line 3 repeats the db_id "{first_id}", which first appeared on '
            "line 1 (line 2 of the file)") in out
    assert ('in plain words: "not-a-uuid" on line 4 (line 5 of the file) is not a UUID, which '
            "schema version 1 requires") in out
    assert "in plain words: cannot find or reach the file" in out


def test_plain_words_at_creation(folder_project: Path) -> None:
    argv = ["create", "index.kdrq", "--out", "new.json", "--embedding-model", MODEL,
            "--row-map", "rows.jsonl"]
    folder = run(*argv, "--aux", "tok=tok", cwd=folder_project)
    assert folder.returncode == 2
    assert "a folder goes with --aux-dir tok=tok" in folder.stderr
    quiet = run(*argv, "-q", cwd=folder_project)
    assert quiet.returncode == 2 and "karnid-manifest create --help" in quiet.stderr
    if sys.platform.startswith("linux"):
        odd = folder_project / os.fsdecode(b"vocab\xff.txt")
        odd.write_text("x", encoding="utf-8")
        named = run(*argv, "--aux", f"odd={odd.name}", cwd=folder_project)
        assert named.returncode == 2 and "rename it to a UTF-8 name" in named.stderr


def test_readme_explain_example_is_what_the_tool_prints(tmp_path: Path) -> None:
    readme = (REPO / "README.md").read_text(encoding="utf-8")
    block = re.search(r"```console\n\$ karnid-manifest (explain \S+)\n(.*?)```", readme, re.S)
    assert block is not None
    assert run(*block.group(1).split(), cwd=tmp_path).stdout == block.group(2)
