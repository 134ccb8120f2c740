"""How results and library errors reach Python."""

import json
import sys
import types

import pytest

import _karnid_manifest as km

LIMIT_CONSTANTS = {
    "max_manifest_bytes": "DEFAULT_MAX_MANIFEST_BYTES",
    "max_row_map_line_bytes": "DEFAULT_MAX_ROW_IDENTITY_JSONL_LINE_BYTES",
    "max_row_map_rows": "DEFAULT_MAX_ROW_IDENTITY_ROWS",
    "max_row_map_tracked_id_bytes": "DEFAULT_MAX_ROW_IDENTITY_TRACKED_DB_ID_BYTES",
    "max_auxiliary_artifacts": "DEFAULT_MAX_AUXILIARY_ARTIFACTS",
    "max_auxiliary_artifact_bytes": "DEFAULT_MAX_AUXILIARY_ARTIFACT_BYTES",
    "max_calibration_profile_bytes": "DEFAULT_MAX_CALIBRATION_PROFILE_BYTES",
    "max_encoder_distortion_profile_bytes": "DEFAULT_MAX_ENCODER_DISTORTION_PROFILE_BYTES",
    "max_report_issues": "DEFAULT_MAX_REPORT_ISSUES",
    "max_cached_report_bytes": "DEFAULT_MAX_CACHED_REPORT_BYTES",
}


def test_error_with_its_own_text_is_an_oserror_with_that_text(tmp_path):
    index = tmp_path / "not-an-index"
    index.write_bytes(b"ABCDEFGH")
    with pytest.raises(OSError) as excinfo:
        km.create_manifest(index, tmp_path / "m.json", "model", row_id_is_identity=True)
    assert type(excinfo.value) is OSError
    assert excinfo.value.args == ("unknown karnid index magic",)
    assert excinfo.value.errno is None
    assert not (tmp_path / "m.json").exists()


def test_failed_checks_are_a_report_for_verify_and_an_error_for_load(manifest_file):
    # The sample's index file does not exist, so verification cannot come out clean.
    report = km.verify_manifest(manifest_file)
    assert type(report) is dict and report["ok"] is False and report["errors"]
    with pytest.raises(ValueError) as excinfo:
        km.verify_for_load(manifest_file)
    assert type(excinfo.value) is ValueError
    codes = [issue["code"] for issue in report["errors"]]
    expected = "manifest verification failed: " + ", ".join(codes[:3])
    assert str(excinfo.value) == expected + (", ..." if len(codes) > 3 else "")


def test_default_resource_limits_match_the_constants_in_order():
    limits = km.default_resource_limits()
    assert list(limits) == list(LIMIT_CONSTANTS)
    assert limits == {key: getattr(km, name) for key, name in LIMIT_CONSTANTS.items()}


def test_default_resource_limits_is_a_fresh_dict_each_call():
    first = km.default_resource_limits()
    first["max_manifest_bytes"] = 0
    first.clear()
    second = km.default_resource_limits()
    assert second["max_manifest_bytes"] == 1048576
    assert second is not km.default_resource_limits()


@pytest.mark.parametrize(
    "call",
    [
        km.sha256_file,
        km.inspect_manifest,
        km.verify_manifest,
        km.verify_for_load,
        lambda missing: km.create_manifest(
            missing, missing.parent / "manifest.json", "model", row_id_is_identity=True
        ),
    ],
)
def test_missing_file_is_a_plain_oserror(tmp_path, call):
    with pytest.raises(OSError) as excinfo:
        call(tmp_path / "missing")
    error = excinfo.value
    assert type(error) is OSError
    assert str(error).endswith(" (os error 2)")
    assert error.args == (str(error),)
    assert (error.errno, error.strerror, error.filename) == (None, None, None)
    assert getattr(error, "__notes__", None) is None


@pytest.fixture
def texts_seen_by_loads(monkeypatch):
    """Replaces the json module in sys.modules; its loads records the text and tags the result."""
    seen = []
    fake = types.ModuleType("json")
    fake.loads = lambda text: seen.append(text) or ("replaced", text)
    monkeypatch.setitem(sys.modules, "json", fake)
    return seen


def compact(document):
    return json.dumps(document, separators=(",", ":"), ensure_ascii=False)


def test_limits_reach_python_through_the_replacement(texts_seen_by_loads):
    expected = compact({key: getattr(km, name) for key, name in LIMIT_CONSTANTS.items()})
    assert km.default_resource_limits() == ("replaced", expected)
    assert texts_seen_by_loads == [expected]


def test_digest_reaches_python_through_the_replacement(texts_seen_by_loads, tmp_path):
    data = tmp_path / "abc"
    data.write_bytes(b"abc")
    expected = compact(
        {
            "sha256": "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
            "size_bytes": 3,
        }
    )
    assert km.sha256_file(data) == ("replaced", expected)


def test_manifest_reaches_python_through_the_replacement(
    texts_seen_by_loads, manifest_file, sample_manifest
):
    assert km.inspect_manifest(manifest_file) == ("replaced", compact(sample_manifest))


def test_exceptions_of_loads_propagate_unchanged(monkeypatch):
    failure = RuntimeError("loads failed")

    def loads(text):
        raise failure

    fake = types.ModuleType("json")
    fake.loads = loads
    monkeypatch.setitem(sys.modules, "json", fake)
    with pytest.raises(RuntimeError) as excinfo:
        km.default_resource_limits()
    assert excinfo.value is failure


def test_blocked_json_import_propagates(monkeypatch):
    monkeypatch.setitem(sys.modules, "json", None)
    with pytest.raises(ImportError):
        km.default_resource_limits()
