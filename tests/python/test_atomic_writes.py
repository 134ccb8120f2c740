"""Writes of manifests and signatures: through a temporary of our own, never through a name that
someone else could have swapped, whole or not at all, and never leaving a temporary behind."""

from __future__ import annotations

import errno
import os
import pathlib
import stat
from typing import Any, Callable

import pytest

import karnid_manifest
import manifest_builder
from karnid_manifest import atomic


@pytest.fixture
def index(tmp_path: pathlib.Path) -> pathlib.Path:
    manifest_builder.build(tmp_path / "in")
    return next((tmp_path / "in").glob("index.*"))


def _create(index: pathlib.Path, out: pathlib.Path, **options: Any) -> Any:
    return karnid_manifest.create_manifest(index, out, "enc", row_id_is_identity=True,
                                           allow_path_escape=True, **options)


def _sign(index: pathlib.Path, out: pathlib.Path) -> Any:
    ec = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.ec")
    from cryptography.hazmat.primitives import serialization

    manifest = index.parent / "manifest.json"
    key = index.parent.parent / "key.pem"
    key.write_bytes(ec.generate_private_key(ec.SECP256R1()).private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
        serialization.NoEncryption()))
    return karnid_manifest.sign_manifest(manifest, key, out)


def test_a_link_planted_at_the_temporary_name_is_not_followed(
        index: pathlib.Path, tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> None:
    victim = tmp_path / "victim"
    victim.write_bytes(b"secret")
    victim.chmod(0o600)
    out = index.parent / "out.json"
    tokens = iter(["planted00000", "ours00000000"])
    monkeypatch.setattr(atomic, "temporary_token", lambda: next(tokens))
    planted = index.parent / f".out.json.planted00000{atomic.TEMPORARY_SUFFIX}"
    planted.symlink_to(victim)
    _create(index, out)
    assert victim.read_bytes() == b"secret" and stat.S_IMODE(victim.stat().st_mode) == 0o600
    assert out.is_file() and not out.is_symlink() and planted.is_symlink()
    assert sorted(p.name for p in index.parent.iterdir() if p.name.endswith(
        atomic.TEMPORARY_SUFFIX)) == [planted.name]


@pytest.mark.parametrize("write", [_create, _sign], ids=["create", "sign"])
def test_a_temporary_swapped_for_a_link_while_written_is_neither_followed_nor_placed(
        index: pathlib.Path, tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch,
        write: Callable[[pathlib.Path, pathlib.Path], Any]) -> None:
    victim = tmp_path / "victim"
    victim.write_bytes(b"secret")
    victim.chmod(0o600)
    out = index.parent / "out.json"
    real_fsync = os.fsync

    def swap_then_fsync(fd: int) -> None:
        # Someone who can write the directory swaps each temporary for a link to the victim.
        for temporary in index.parent.glob(".*"):
            temporary.unlink()
            temporary.symlink_to(victim)
        real_fsync(fd)

    monkeypatch.setattr(os, "fsync", swap_then_fsync)
    with pytest.raises((OSError, ValueError)):
        write(index, out)
    monkeypatch.undo()
    assert victim.read_bytes() == b"secret" and stat.S_IMODE(victim.stat().st_mode) == 0o600
    assert not out.exists() and not out.is_symlink()


def test_a_replaced_file_keeps_no_set_id_or_world_write_bits(index: pathlib.Path) -> None:
    out = index.parent / "m.json"
    _create(index, out)
    out.chmod(0o6777)
    old_mask = os.umask(0o027)
    try:
        _create(index, out)
    finally:
        os.umask(old_mask)
    assert stat.S_IMODE(out.stat().st_mode) == 0o750


def test_the_name_must_hold_the_written_file_after_the_rename(
        index: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> None:
    out = index.parent / "m.json"
    real = atomic._sync_directory

    def swap_then_sync(dir_fd: int) -> None:
        os.replace(index.parent / "other", out)  # another writer's rename lands right after ours
        real(dir_fd)

    (index.parent / "other").write_bytes(b"{}")
    monkeypatch.setattr(atomic, "_sync_directory", swap_then_sync)
    with pytest.raises(atomic.NameChanged):
        _create(index, out)


def test_a_write_abandoned_from_another_thread_leaves_nothing(tmp_path: pathlib.Path) -> None:
    # The main thread's Ctrl-C removes the temporary while the worker still writes: the worker's
    # writes go to the removed file, and it can neither re-create the name nor place the file.
    target = tmp_path / "m.json"

    def produce(fd: int) -> None:
        atomic.abandon_all()
        os.write(fd, b"late")

    with pytest.raises(atomic.Abandoned):
        atomic.write_file(target, produce, replace=True)
    assert list(tmp_path.iterdir()) == []


def test_creation_refused_leaves_neither_file_nor_directories(index: pathlib.Path,
                                                              tmp_path: pathlib.Path) -> None:
    out = tmp_path / "new" / "deeper" / "m.json"
    with pytest.raises(ValueError, match="row map is invalid"):
        (index.parent / "rows.jsonl").write_text("not rows\n", encoding="utf-8")
        karnid_manifest.create_manifest(index, out, "enc", row_map=index.parent / "rows.jsonl",
                                        allow_path_escape=True)
    assert not (tmp_path / "new").exists()
    created = _create(index, out)
    assert created["artifact"]["path"] == "../../in/" + index.name


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_a_failed_write_is_an_os_error_naming_the_output(index: pathlib.Path) -> None:
    with pytest.raises(OSError) as caught:
        _create(index, pathlib.Path("/dev/full"))
    assert (caught.value.errno, caught.value.filename) == (errno.ENOSPC, "/dev/full")
    assert isinstance(caught.value, OSError) and not isinstance(caught.value, ValueError)


def test_replacing_an_input_is_refused_with_the_modules_message(index: pathlib.Path) -> None:
    alias = index.parent / "alias.json"
    os.link(index, alias)
    before = index.read_bytes()
    with pytest.raises(ValueError, match="is the same file as the index file"):
        _create(index, alias)
    assert index.read_bytes() == before and alias.read_bytes() == before


def test_without_replace_a_file_that_appears_meanwhile_is_kept(tmp_path: pathlib.Path) -> None:
    target = tmp_path / "m.json"

    def produce(fd: int) -> None:
        target.write_bytes(b"theirs")  # created by someone else while ours was written
        os.write(fd, b"ours")

    with pytest.raises(FileExistsError) as caught:
        atomic.write_file(target, produce, replace=False)
    assert caught.value.filename == str(target) and target.read_bytes() == b"theirs"
    assert [p.name for p in tmp_path.iterdir()] == ["m.json"]


def test_a_failed_close_is_an_error_that_names_the_target(
        index: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> None:
    out = index.parent / "out.json"
    real_close = os.close
    closes: list[int] = []

    def failing_close(fd: int) -> None:
        closes.append(fd)
        real_close(fd)
        if len(closes) == 1:
            raise OSError(errno.EIO, os.strerror(errno.EIO))

    monkeypatch.setattr(atomic.os, "close", failing_close)
    with pytest.raises(OSError) as caught:
        atomic.write_file(out, lambda fd: os.write(fd, b"{}"), replace=True)
    assert (caught.value.errno, caught.value.filename) == (errno.EIO, str(out))
    assert len(closes) == 2  # the directory's descriptor is closed all the same
