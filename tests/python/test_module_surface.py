"""What `import _karnid_manifest` exposes: names, order, values, signatures, docstrings."""

import importlib
import inspect
import shutil
import subprocess

import pytest

import _karnid_manifest as km

CONSTANTS = {
    "SCHEMA_VERSION": "karnid.index_manifest.v1",
    "CALIBRATION_SCHEMA_VERSION": "karnid.calibration.v1",
    "ENCODER_DISTORTION_SCHEMA_VERSION": "karnid.encoder_distortion.v1",
    "DEFAULT_MAX_MANIFEST_BYTES": 1048576,
    "DEFAULT_MAX_ROW_IDENTITY_JSONL_LINE_BYTES": 65536,
    "DEFAULT_MAX_ROW_IDENTITY_ROWS": 10000000,
    "DEFAULT_MAX_ROW_IDENTITY_TRACKED_DB_ID_BYTES": 67108864,
    "DEFAULT_MAX_AUXILIARY_ARTIFACTS": 1024,
    "DEFAULT_MAX_AUXILIARY_ARTIFACT_BYTES": 67108864,
    "DEFAULT_MAX_CALIBRATION_PROFILE_BYTES": 67108864,
    "DEFAULT_MAX_ENCODER_DISTORTION_PROFILE_BYTES": 67108864,
    "DEFAULT_MAX_REPORT_ISSUES": 1024,
    "DEFAULT_MAX_CACHED_REPORT_BYTES": 4194304,
}

LIMITS = (
    "max_manifest_bytes=None, max_row_map_line_bytes=None, max_row_map_rows=None, "
    "max_row_map_tracked_id_bytes=None, max_auxiliary_artifacts=None, "
    "max_auxiliary_artifact_bytes=None, max_calibration_profile_bytes=None, "
    "max_encoder_distortion_profile_bytes=None, max_report_issues=None, "
    "max_cached_report_bytes=None"
)
VERIFY = (
    "(manifest, *, index=None, allow_absolute_paths=False, allow_path_escape=False, "
    "allow_duplicate_db_ids=False, " + LIMITS + ")"
)
SIGNATURES = {
    "default_resource_limits": "()",
    "sha256_file": "(path)",
    "inspect_manifest": "(manifest, *, " + LIMITS + ")",
    "verify_manifest": VERIFY,
    "verify_for_load": VERIFY,
    "create_manifest": (
        "(index, out, embedding_model, *, row_map=None, row_id_is_identity=False, "
        "auxiliary_artifacts=None, allow_absolute_paths=False, allow_path_escape=False, "
        + LIMITS
        + ")"
    ),
}

STANDARD_MODULE_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def test_attributes_are_the_constants_the_functions_and_all():
    names = set(vars(km)) - STANDARD_MODULE_ATTRIBUTES
    assert names == set(CONSTANTS) | set(SIGNATURES) | {"__all__"}


def test_all_lists_constants_then_functions_in_table_order():
    assert km.__all__ == list(CONSTANTS) + list(SIGNATURES)


@pytest.mark.parametrize("name, value", CONSTANTS.items())
def test_constant_value_and_type(name, value):
    constant = getattr(km, name)
    assert type(constant) is type(value)
    assert constant == value


@pytest.mark.parametrize("name, signature", SIGNATURES.items())
def test_function_carries_only_its_signature(name, signature):
    function = getattr(km, name)
    assert function.__name__ == name
    assert function.__module__ == "_karnid_manifest"
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    assert str(inspect.signature(function)) == signature


def test_module_docstring_is_empty():
    assert km.__doc__ == ""


def test_second_import_returns_the_initialised_module():
    again = importlib.import_module("_karnid_manifest")
    assert again is km
    assert len(again.__all__) == len(CONSTANTS) + len(SIGNATURES)


def test_module_is_the_stable_abi_build():
    # The one binary that every interpreter from 3.11 on imports.
    assert km.__file__.endswith(".abi3.so")


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not available")
def test_only_the_init_function_is_exported():
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", km.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == [
        "PyInit__karnid_manifest"
    ]
