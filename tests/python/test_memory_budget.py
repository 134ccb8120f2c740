"""The memory budget: what it sets, what wins over it, what a manifest cannot change, and the
option a refusal names."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

import karnid_manifest as km
from karnid_manifest import budget

import manifest_builder

ROWS = 20  # of the row map below; its db_ids are hyphenated UUIDs, 36 bytes each


@pytest.fixture
def rows_manifest(tmp_path: Path) -> Path:
    path, _ = manifest_builder.build(tmp_path / "m", vectors=ROWS, row_map=True)
    return path


@pytest.mark.parametrize(("text", "value"), [
    ("512", 512), ("1K", 1024), ("3m", 3 << 20), ("2G", 2 << 30), ("2GiB", 2 << 30),
    ("5MB", 5 << 20), ("1T", 1 << 40), ("0", 0),
    ("1.5G", None), ("", None), ("-1", None), ("K", None), ("10X", None), ("99999999999T", None),
])
def test_sizes_are_read_in_base_1024(text: str, value: int | None) -> None:
    if value is None:
        with pytest.raises(ValueError):
            budget.parse_size(text)
    else:
        assert budget.parse_size(text) == value
        assert budget.parse_size(budget.format_size(value)) == value


@pytest.mark.parametrize(("kwargs", "code"), [
    # 32 bytes a row: room for 19 rows refuses 20, room for 20 accepts them.
    ({"memory_limit": 32 * (ROWS - 1)}, "row_identity_row_count_limit_exceeded"),
    ({"memory_limit": 32 * ROWS}, None),
    # The identifiers' text follows at 36 bytes for every 32: 20 UUIDs need 720 bytes of it.
    ({"memory_limit": 639, "max_row_map_rows": 100}, "row_identity_duplicate_tracking_limit_exceeded"),
    ({"memory_limit": 640, "max_row_map_rows": 100}, None),
    # An explicit limit wins over the budget, both ways.
    ({"memory_limit": 0, "max_row_map_rows": ROWS, "max_row_map_tracked_id_bytes": 720}, None),
    ({"memory_limit": 1 << 30, "max_row_map_rows": ROWS - 1},
     "row_identity_row_count_limit_exceeded"),
    ({"memory_limit": None, "max_row_map_tracked_id_bytes": 719},
     "row_identity_duplicate_tracking_limit_exceeded"),
    ({}, None),
])
def test_the_budget_sets_the_row_map_limits(rows_manifest: Path, kwargs: dict[str, Any],
                                             code: str | None) -> None:
    report = km.verify_manifest(rows_manifest, **kwargs)
    assert [issue["code"] for issue in report["errors"]][:1] == ([code] if code else [])
    if code == "row_identity_row_count_limit_exceeded":
        with pytest.raises(km.VerificationFailed):
            km.verify_for_load(rows_manifest, **kwargs)
    else:
        km.verify_for_load(rows_manifest, **{**kwargs, "allow_duplicate_db_ids": True})


def test_creation_takes_the_budget(tmp_path: Path, rows_manifest: Path) -> None:
    directory = rows_manifest.parent
    index = next(directory.glob("index.*"))
    with pytest.raises(ValueError, match="row_identity_row_count_limit_exceeded"):
        km.create_manifest(index, tmp_path / "new.json", "enc", row_map=directory / "rows.jsonl",
                           memory_limit=32)
    assert not (tmp_path / "new.json").exists()
    km.create_manifest(index, tmp_path / "new.json", "enc", row_map=directory / "rows.jsonl",
                       memory_limit=32 * ROWS)


@pytest.mark.parametrize(("value", "error"), [
    ("1G", TypeError), (1.0, TypeError), (True, TypeError), (-1, OverflowError),
    (2**64, OverflowError),
])
def test_a_wrong_budget_is_refused(rows_manifest: Path, value: Any,
                                   error: type[Exception]) -> None:
    with pytest.raises(error, match="memory_limit"):
        km.verify_manifest(rows_manifest, memory_limit=value)


@pytest.mark.parametrize("declared", [ROWS * 1000, 2**63])
def test_a_manifest_cannot_raise_what_the_caller_allowed(rows_manifest: Path,
                                                         declared: int) -> None:
    # A manifest that claims a huge map (and would have the set sized for it) still gets only
    # the caller's rows.
    document = json.loads(rows_manifest.read_text(encoding="utf-8"))
    document["row_identity"]["row_count"] = declared
    document["extensions"] = {"limits": {"max_row_map_rows": 2**63, "memory_limit": 2**63}}
    rows_manifest.write_text(json.dumps(document), encoding="utf-8")
    report = km.verify_manifest(rows_manifest, memory_limit=32 * ROWS)
    assert "row_identity_row_count_limit_exceeded" in [issue["code"] for issue in report["errors"]]
    assert not report["row_identity"]["validated_rows"]


def test_the_default_holds_ten_million_uuid_rows_in_a_few_hundred_mib() -> None:
    assert budget.needed(10_000_000, 10_000_000 * 36) <= budget.DEFAULT_MEMORY_LIMIT <= 512 << 20


def _cli(*args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "karnid_manifest", *args], cwd=cwd,
                          capture_output=True, text=True, timeout=120, check=False)


@pytest.mark.parametrize(("options", "first", "then"), [
    (["--memory-limit", "600"], "hint: --memory-limit 1M would accept the 20 rows",
     "; or --max-row-map-rows 20 would accept the 20 rows"),
    (["--memory-limit", "1G", "--max-row-map-tracked-id-bytes", "100"],
     "hint: --max-row-map-tracked-id-bytes 720 would do", None),
    (["--max-row-map-rows", "5"], "hint: --max-row-map-rows 20 would accept", None),
])
def test_refusal_hints_name_the_budget_first_unless_a_limit_was_given(
        rows_manifest: Path, options: list[str], first: str, then: str | None) -> None:
    result = _cli("verify", "manifest.json", *options, cwd=rows_manifest.parent)
    assert result.returncode == 1, result.stderr
    hint = next(line.strip() for line in result.stdout.splitlines() if "hint:" in line)
    assert hint.startswith(first), hint
    assert (then in hint) if then else ("--memory-limit" not in hint)


def test_the_budget_option_is_checked(rows_manifest: Path) -> None:
    result = _cli("verify", "manifest.json", "--memory-limit", "12Q", cwd=rows_manifest.parent)
    assert result.returncode == 2
    assert "'12Q' is not a size" in result.stderr
