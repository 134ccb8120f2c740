"""open_verified: handles on exactly the inodes that verification hashed, refused when a file was
swapped or changed, and a change in place reported when the block ends."""

from __future__ import annotations

import os
import pathlib
from typing import Any, Callable

import pytest

import karnid_manifest
import manifest_builder
from karnid_manifest import functions


@pytest.fixture
def built(tmp_path: pathlib.Path) -> pathlib.Path:
    aux = manifest_builder.auxiliary_entry(tmp_path, "vocab", b"tokens")
    missing = manifest_builder.auxiliary_entry(tmp_path, "gone", None, required=False)
    manifest, _ = manifest_builder.build(tmp_path, row_map=True, auxiliary=[aux, missing])
    return manifest


def _open_fds() -> set[str]:
    return set(os.listdir("/proc/self/fd")) if os.path.isdir("/proc/self/fd") else set()


def test_the_handles_read_the_verified_files(built: pathlib.Path) -> None:
    with karnid_manifest.open_verified(built) as verified:
        plan = verified.plan
        assert verified.index.read() == pathlib.Path(plan["artifact_path"]).read_bytes()
        assert verified.row_identity is not None
        assert verified.row_identity.read() == (built.parent / "rows.jsonl").read_bytes()
        assert {name: f.read() for name, f in verified.auxiliary.items()} == {"vocab": b"tokens"}
        handles = [verified.index, verified.row_identity, *verified.auxiliary.values()]
    assert all(handle.closed for handle in handles)


def _replace(path: pathlib.Path) -> None:
    """Another inode under the name, with the same bytes."""
    fresh = path.with_name(path.name + ".new")
    fresh.write_bytes(path.read_bytes())
    os.replace(fresh, path)


def _after_verification(monkeypatch: pytest.MonkeyPatch,
                        change: Callable[[dict[str, Any]], None]) -> None:
    real = functions.verify_for_load

    def then_change(*args: Any, **kwargs: Any) -> Any:
        plan, reads = real(*args, **kwargs)
        change(reads)
        return plan, reads

    monkeypatch.setattr(functions, "verify_for_load", then_change)


def _unsteady(reads: dict[str, Any]) -> None:
    reads["files"][-1]["steady"] = False  # as recorded for a file written while hashed


@pytest.mark.parametrize("change", [
    lambda built, reads: _replace(built.parent / "rows.jsonl"),
    lambda built, reads: _replace(built.parent / "vocab.bin"),
    lambda built, reads: (built.parent / "index.rank_quant").rename(built.parent / "x")
    or (built.parent / "x").symlink_to("x") or (built.parent / "index.rank_quant").symlink_to(
        built.parent / "x"),
    lambda built, reads: _unsteady(reads),
], ids=["row map replaced", "auxiliary replaced", "index became a link", "not steady"])
def test_a_file_swapped_after_hashing_is_refused_and_nothing_stays_open(
        built: pathlib.Path, monkeypatch: pytest.MonkeyPatch,
        change: Callable[[pathlib.Path, dict[str, Any]], None]) -> None:
    _after_verification(monkeypatch, lambda reads: change(built, reads))
    before = _open_fds()
    with pytest.raises(karnid_manifest.VerifiedFileChanged) as caught:
        karnid_manifest.open_verified(built)
    assert isinstance(caught.value, ValueError) and caught.value.paths
    assert _open_fds() == before


def test_a_change_in_place_is_reported_when_the_block_ends(built: pathlib.Path) -> None:
    rows = built.parent / "rows.jsonl"
    original = rows.read_bytes()
    with pytest.raises(karnid_manifest.VerifiedFileChanged) as caught:
        with karnid_manifest.open_verified(built) as verified:
            with open(rows, "ab") as stream:
                stream.write(b"\n")
    assert caught.value.paths == (str(rows.resolve()),)
    assert verified.index.closed
    rows.write_bytes(original)

    # An exception leaving the block is not replaced by the report, which becomes a note.
    with pytest.raises(KeyError) as own:
        with karnid_manifest.open_verified(built):
            with open(rows, "ab") as stream:
                stream.write(b"\n")
            raise KeyError("loader")
    assert "changed since verification" in "".join(own.value.__notes__)
