"""Type information: the installed stub type-checks real usage under mypy --strict, rejects misuse,
matches the module's runtime signatures, and describes the dicts the module really returns."""

from __future__ import annotations

import ast
import json
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path
from typing import Any, Mapping

import pytest

import _karnid_manifest as km
import karnid_manifest
from karnid_manifest import samples

pytest.importorskip("mypy")

REPO = Path(__file__).resolve().parents[2]
SOURCE_STUB = REPO / "python" / "_karnid_manifest.pyi"
SITE = Path(sysconfig.get_paths()["purelib"])

GOOD_USAGE = '''
from __future__ import annotations

import pathlib
from typing import TYPE_CHECKING

import _karnid_manifest as km
from karnid_manifest import create_manifest, verify_for_load

if TYPE_CHECKING:
    from _karnid_manifest import AuxiliaryArtifactSpec, VerificationReport


def build(index: pathlib.Path, out: pathlib.Path) -> str:
    aux: list[AuxiliaryArtifactSpec] = [{"name": "vocab", "path": index.with_suffix(".txt")},
                                        {"name": "extra", "path": "x.bin", "required": False}]
    manifest = create_manifest(index, out, "encoder", row_id_is_identity=True,
                               auxiliary_artifacts=aux, max_auxiliary_artifacts=8)
    params = manifest["artifact"]["params"]
    bits = params["bits"] if params["kind"] == "rank_quant" else 0
    return f"{manifest['manifest_id']} {bits} {manifest.get('calibration') is None}"


def check(manifest: str) -> list[str]:
    report: VerificationReport = km.verify_manifest(manifest, allow_path_escape=True,
                                                    max_report_issues=None)
    sizes = [entry["size_bytes"] or 0 for entry in report["auxiliary_artifacts"]]
    metadata = report["artifact"]["metadata"]
    dim = metadata["dim"] if metadata is not None else 0
    return [issue["code"] for issue in report["errors"]] + [str(sum(sizes) + dim)]


def load(manifest: str) -> tuple[str, int, str | None]:
    plan = verify_for_load(manifest, index=None)
    rows = plan["row_identity"]
    path: str | None = rows["path"]
    return plan["artifact_path"], plan["metadata"]["vector_count"] + rows["row_count"], path


limits: int = km.default_resource_limits()["max_report_issues"]
digest: str = km.sha256_file("f")["sha256"]
'''

# Each misuse on its own line, with the mypy error code it must draw.
BAD_USAGE = {
    'km.verify_manifest("m.json")["okay"]': "typeddict-item",
    'km.verify_manifest("m.json", max_report_issues="3")': "arg-type",
    'km.verify_manifest(b"m.json")': "arg-type",
    'km.verify_manifest("m.json", "index.kdrq")': "call-arg",
    'km.verify_for_load("m.json")["row_identity"]["path"].upper()': "union-attr",
    'km.verify_manifest("m.json", allow_path_escape=1)': "arg-type",
    'km.create_manifest("i", "o", "model", auxiliary_artifacts=[{"name": "a"}])': "typeddict-item",
    'km.inspect_manifest("m.json")["artifact"]["params"]["bits"]': "typeddict-item",
    'km.sha256_file("f")["size"]': "typeddict-item",
}


def run_mypy(tmp_path: Path, source: str) -> subprocess.CompletedProcess[str]:
    example = tmp_path / "example.py"
    example.write_text(textwrap.dedent(source), encoding="utf-8")
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--show-error-codes",
         "--python-executable", sys.executable, str(example)],
        cwd=tmp_path, capture_output=True, text=True, timeout=600, check=False)


def test_strict_mypy_accepts_real_usage(tmp_path: Path) -> None:
    result = run_mypy(tmp_path, GOOD_USAGE)
    assert result.returncode == 0, result.stdout + result.stderr


def test_strict_mypy_rejects_misuse(tmp_path: Path) -> None:
    lines = list(BAD_USAGE)
    source = "import _karnid_manifest as km\n" + "".join(f"{line}\n" for line in lines)
    result = run_mypy(tmp_path, source)
    assert result.returncode == 1, result.stdout
    codes_by_line: dict[int, set[str]] = {}
    for line in result.stdout.splitlines():
        parts = line.split(":", 3)
        if len(parts) == 4 and parts[2].strip() == "error":
            codes_by_line.setdefault(int(parts[1]), set()).add(line.rsplit("[", 1)[-1].rstrip("]"))
    for number, misuse in enumerate(lines, start=2):
        assert BAD_USAGE[misuse] in codes_by_line.get(number, set()), (misuse, result.stdout)


def test_stub_signatures_match_the_runtime_module(tmp_path: Path) -> None:
    # Names that exist only for type checkers (TypedDicts and aliases) are CamelCase.
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("_karnid_manifest\\.[A-Z][a-z]\\w*\n", encoding="utf-8")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_karnid_manifest", "--allowlist",
         str(allowlist)], cwd=tmp_path, capture_output=True, text=True, timeout=600,
        check=False)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_is_installed_where_tools_look() -> None:
    source = SOURCE_STUB.read_text(encoding="utf-8")
    assert (SITE / "_karnid_manifest.pyi").read_text(encoding="utf-8") == source
    assert (SITE / "_karnid_manifest-stubs" / "__init__.pyi").read_text(encoding="utf-8") == source
    assert (Path(karnid_manifest.__file__).parent / "py.typed").is_file()
    # The package re-exports the module's names in its order, then adds its own.
    assert karnid_manifest.__all__[:len(km.__all__)] == km.__all__


# --- the TypedDicts describe what the module really returns --------------------------------------


def stub_typeddicts() -> dict[str, tuple[set[str], set[str]]]:
    """Each TypedDict of the stub: (required keys, all keys)."""
    tree = ast.parse(SOURCE_STUB.read_text(encoding="utf-8"))
    found = {}
    for node in tree.body:
        if not isinstance(node, ast.ClassDef):
            continue
        if not any(isinstance(base, ast.Name) and base.id == "TypedDict" for base in node.bases):
            continue
        total = not any(kw.arg == "total" and isinstance(kw.value, ast.Constant)
                        and kw.value.value is False for kw in node.keywords)
        required, every = set(), set()
        for item in node.body:
            if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                every.add(item.target.id)
                if total and "NotRequired" not in ast.unparse(item.annotation):
                    required.add(item.target.id)
        found[node.name] = (required, every)
    return found


def check_shape(value: Mapping[str, Any], name: str, shapes: dict[str, tuple[set[str], set[str]]]
                ) -> None:
    required, every = shapes[name]
    assert required <= set(value) <= every, (name, sorted(value))


@pytest.fixture
def full_manifest(tmp_path: Path) -> Path:
    samples.write_index(tmp_path / "index.kdrq", "rank_quant", 16, 4, bits=4)
    samples.write_row_map(tmp_path / "rows.jsonl", 4)
    (tmp_path / "aux.bin").write_bytes(b"aux")
    samples.write_calibration_profile(tmp_path / "cal.f32", 16, 16)
    samples.write_distortion_profile(tmp_path / "dist.f64", 8)
    manifest = km.create_manifest(tmp_path / "index.kdrq", tmp_path / "manifest.json", "enc",
                                  row_map=tmp_path / "rows.jsonl",
                                  auxiliary_artifacts=[{"name": "a", "path": tmp_path / "aux.bin"}])
    document = samples.with_profile_blocks(
        dict(manifest),
        calibration=samples.calibration_block(tmp_path / "cal.f32", tmp_path, model="enc", dim=16,
                                              bits=4, profile_id="c", sample_count=4),
        encoder_distortion=samples.encoder_distortion_block(
            tmp_path / "dist.f64", tmp_path, model="enc", dim=16, profile_id="d", sample_size=8))
    document["attestations"] = [{"predicateType": "x", "subject": []}]
    (tmp_path / "manifest.json").write_text(json.dumps(document), encoding="utf-8")
    return tmp_path / "manifest.json"


def test_typeddicts_match_the_returned_dicts(full_manifest: Path) -> None:
    shapes = stub_typeddicts()
    check_shape(km.default_resource_limits(), "ResourceLimits", shapes)
    check_shape(km.sha256_file(full_manifest), "FileDigest", shapes)

    manifest = km.inspect_manifest(full_manifest)
    check_shape(manifest, "IndexManifest", shapes)
    for key, name in [("artifact", "Artifact"), ("embedding", "Embedding"),
                      ("row_identity", "JsonlRowIdentity"), ("build", "BuildInfo"),
                      ("calibration", "CalibrationProfileRef"),
                      ("encoder_distortion", "EncoderDistortionProfileRef")]:
        check_shape(manifest[key], name, shapes)
    check_shape(manifest["auxiliary_artifacts"][0], "AuxiliaryArtifact", shapes)
    check_shape(manifest["calibration"]["profile"], "ProfileArtifactRef", shapes)
    check_shape(manifest["encoder_distortion"]["profile"], "DistortionProfileArtifactRef", shapes)

    report = km.verify_manifest(full_manifest)
    # The attestation deliberately matches nothing, so the report has an issue to describe.
    assert [e["code"] for e in report["errors"]] == ["attestation_subject_sha256_mismatch"]
    check_shape(report, "VerificationReport", shapes)
    for key, name in [("artifact", "ArtifactReport"), ("row_identity", "RowIdentityReport"),
                      ("calibration", "CalibrationReport"),
                      ("encoder_distortion", "EncoderDistortionReport")]:
        check_shape(report[key], name, shapes)
    check_shape(report["artifact"]["metadata"], "MetadataReport", shapes)
    check_shape(report["artifact"]["metadata"]["params"], "RankQuantParams", shapes)
    check_shape(report["auxiliary_artifacts"][0], "AuxiliaryArtifactReport", shapes)
    check_shape(report["attestation_shape_checks"][0], "AttestationShapeCheck", shapes)
    check_shape(report["errors"][0], "ReportIssue", shapes)

    document = json.loads(full_manifest.read_text(encoding="utf-8"))
    del document["attestations"]
    full_manifest.write_text(json.dumps(document), encoding="utf-8")
    plan = km.verify_for_load(full_manifest)
    check_shape(plan, "VerifiedLoadPlan", shapes)
    check_shape(plan["row_identity"], "RowIdentityPlan", shapes)
    check_shape(plan["auxiliary_artifacts"][0], "AuxiliaryArtifactPlan", shapes)
