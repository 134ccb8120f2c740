"""inspect_manifest: load and return a manifest without touching the files it names."""

import json
import re

import pytest

import _karnid_manifest as km


def test_manifest_round_trips_with_key_order_and_exact_numbers(manifest_file, sample_manifest):
    result = km.inspect_manifest(manifest_file)
    assert result == sample_manifest
    assert json.dumps(result) == json.dumps(sample_manifest)
    assert result["artifact"]["file_size_bytes"] == 2**64 - 1
    assert type(result["attestations"][0]["value"]) is float


def test_missing_artifact_is_not_an_error(manifest_file, sample_manifest):
    assert not (manifest_file.parent / sample_manifest["artifact"]["path"]).exists()
    assert km.inspect_manifest(str(manifest_file))["artifact"]["path"] == "index.kdrq"


def test_absent_and_null_optional_blocks_are_left_out(write_manifest, sample_manifest):
    for key in ("auxiliary_artifacts", "attestations", "extensions"):
        del sample_manifest[key]
    sample_manifest["build"] = None
    result = km.inspect_manifest(write_manifest(sample_manifest))
    assert list(result) == [
        "schema_version",
        "manifest_id",
        "created_at",
        "artifact",
        "embedding",
        "row_identity",
    ]


def test_limit_equal_to_the_size_loads_and_one_less_refuses(manifest_file):
    size = manifest_file.stat().st_size
    assert km.inspect_manifest(manifest_file, max_manifest_bytes=size)
    with pytest.raises(ValueError) as excinfo:
        km.inspect_manifest(manifest_file, max_manifest_bytes=size - 1)
    assert str(excinfo.value) == (
        f"manifest_file_too_large: manifest file exceeds {size - 1} bytes while reading "
        f"{manifest_file}"
    )


def test_only_the_manifest_limit_has_an_effect(manifest_file):
    zeros = {name: 0 for name in km.default_resource_limits() if name != "max_manifest_bytes"}
    assert km.inspect_manifest(manifest_file, **zeros) == km.inspect_manifest(manifest_file)


@pytest.mark.parametrize(
    "make_text, message",
    [
        (lambda m: json.dumps(m) + "\nx", "trailing characters at line 2 column 1"),
        (lambda m: json.dumps(m)[:-1], r"EOF while parsing an object at line 1 column \d+"),
        (lambda m: json.dumps({**m, "comment": "hi"}), r"unknown field `comment`, expected one of .*"),
    ],
)
def test_malformed_manifest_reports_line_and_column(write_manifest, sample_manifest, make_text, message):
    path = write_manifest(make_text(sample_manifest))
    with pytest.raises(ValueError) as excinfo:
        km.inspect_manifest(path)
    assert type(excinfo.value) is ValueError
    assert re.fullmatch(message, str(excinfo.value))
    assert re.search(r" at line \d+ column \d+$", str(excinfo.value))
