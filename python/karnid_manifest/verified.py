"""Verified files handed to a loader as open handles on the very files that were hashed.

A load plan names files; a loader that opens those names later opens whatever holds them then.
:func:`open_verified` verifies once, then opens each planned file and keeps the handle only if it
is the inode that verification hashed (device, inode, size, modification and change times as
verification recorded them). No file is hashed twice.

What it catches: a file renamed, replaced or re-linked between its hash and the open (another
inode at the name), and a file changed in place while it was hashed (verification marks it
unsteady) or after, as far as its size, modification time or change time show it (checked on the
open handle when the block ends).

What it cannot catch: a writer that changes a file in place and restores its times (setting the
change time needs the system clock or a privileged writer), changes within the file system's
timestamp granularity that keep the size, and anything a privileged attacker does. Bytes read
through a handle after an in-place change are not verified again; the change is reported when
the block ends, so a loader must not commit to what it read until then.
"""

from __future__ import annotations

import os
import stat

from karnid_manifest import functions

TYPE_CHECKING = False  # typing's own costs more to import than the whole package
if TYPE_CHECKING:
    from types import TracebackType
    from typing import Any, BinaryIO, Union

    from _karnid_manifest import VerifiedLoadPlan

    StrPath = Union[str, "os.PathLike[str]"]

_OPEN_FLAGS = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC
_IDENTITY = ("device", "inode", "size_bytes", "mtime_ns", "ctime_ns")
_CONTENT = ("size_bytes", "mtime_ns", "ctime_ns")


class VerifiedFileChanged(ValueError):
    """A verified file is not, or is no longer, the file that verification hashed. ``paths``
    are the canonical paths concerned."""

    def __init__(self, message: str, paths: tuple[str, ...]) -> None:
        super().__init__(message)
        self.paths = paths


def _stat_facts(info: os.stat_result) -> dict[str, int]:
    return {"device": info.st_dev, "inode": info.st_ino, "size_bytes": info.st_size,
            "mtime_ns": info.st_mtime_ns, "ctime_ns": info.st_ctime_ns}


class VerifiedFiles:
    """Open handles on the files of a load plan, each on the inode that was verified.

    ``plan`` is the load plan of ``verify_for_load``; ``index`` reads the index file;
    ``row_identity`` the row map (None for a ``row_id_identity`` plan); ``auxiliary`` maps each
    present auxiliary file's name to its handle. Use it as a context manager: leaving the block
    closes every handle and raises :class:`VerifiedFileChanged` if a file changed in place since
    it was hashed (unless another exception is already leaving the block: that one goes on, with
    a note)."""

    def __init__(self, plan: VerifiedLoadPlan, index: BinaryIO, row_identity: BinaryIO | None,
                 auxiliary: dict[str, BinaryIO], recorded: list[tuple[BinaryIO, Any]]) -> None:
        self.plan = plan
        self.index = index
        self.row_identity = row_identity
        self.auxiliary = auxiliary
        self._recorded = recorded

    def __enter__(self) -> VerifiedFiles:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        changed = self.close()
        if not changed:
            return
        message = ("changed since verification (size or times differ): "
                   + ", ".join(changed))
        if value is not None:
            value.add_note(f"karnid_manifest: a verified file {message}")
            return
        raise VerifiedFileChanged(f"verified file {message}", tuple(changed))

    def close(self) -> list[str]:
        """Closes every handle; returns the paths of the files that changed in place since they
        were hashed (checked before closing)."""
        changed: list[str] = []
        for stream, entry in self._recorded:
            if stream.closed:
                continue
            try:
                now = _stat_facts(os.fstat(stream.fileno()))
                if any(now[key] != entry[key] for key in _CONTENT):
                    changed.append(os.fsdecode(entry["path"]))
            finally:
                stream.close()
        return changed


def _open_recorded(entry: Any) -> BinaryIO:
    """The file of a verification's record, opened by its canonical path, if it is still the
    inode that was hashed."""
    path = os.fsdecode(entry["path"])
    try:
        fd = os.open(entry["path"], _OPEN_FLAGS)
    except OSError as exc:
        raise VerifiedFileChanged(f"verified file cannot be opened again ({exc.strerror}): "
                                  f"{path}", (path,)) from exc
    try:
        info = os.fstat(fd)
        now = _stat_facts(info)
        if not stat.S_ISREG(info.st_mode) or any(now[key] != entry[key] for key in _IDENTITY):
            raise VerifiedFileChanged(f"verified file was replaced or changed after it was "
                                      f"hashed: {path}", (path,))
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def open_verified(manifest: StrPath, *, index: StrPath | None = None,
                  signature: StrPath | None = None, public_key: StrPath | None = None,
                  identity: str | None = None, issuer: str | None = None,
                  trusted_root: StrPath | None = None, offline: bool = False,
                  staging: bool = False, **options: Any) -> VerifiedFiles:
    """Verifies ``manifest`` as ``verify_for_load`` does (``index`` and ``options``: its
    keyword arguments, the path policy and the limits) and opens the planned files::

        with karnid_manifest.open_verified("models/idx/manifest.json") as verified:
            load(verified.index, verified.row_identity, verified.auxiliary)

    Each handle is opened without following a final symbolic link and kept only if it is the
    inode that verification hashed, with the size and times it had then, and was steady while
    it was hashed; otherwise every handle opened so far is closed and
    :class:`VerifiedFileChanged` is raised.

    Caught: a file renamed or replaced before the open (another inode), and changes in place that
    show in size, modification time or change time (while hashed, before the open, or before
    the block ends). Not caught: a writer that restores the times, changes within the timestamp
    granularity that keep the size, a privileged attacker. Bytes read through a handle after an
    in-place change are not verified again: the change is reported only when the block ends.

    With ``public_key``, or ``identity`` and ``issuer`` for a keyless signature (with
    ``trusted_root``, ``offline`` and ``staging`` as ``verify_manifest_signature`` takes them),
    the signature (``signature``, by default the manifest's path with ``.sig`` appended) is
    checked first, and the manifest bytes that verification parsed must be the bytes it vouches
    for.

    Raises what ``verify_for_load`` raises (:class:`VerificationFailed` when it finds issues),
    :class:`VerifiedFileChanged`, and with a signature what ``verify_manifest_signature``
    raises."""
    keyless = (identity is not None or issuer is not None or trusted_root is not None
               or offline or staging)
    if signature is not None and public_key is None and not keyless:
        raise TypeError("open_verified: a signature is checked only with public_key, or "
                        "identity= and issuer=")
    confirm = None
    if public_key is not None or keyless:
        # Loads pyca/cryptography, or sigstore-python for a keyless signature: only when asked.
        from karnid_manifest import signing

        chosen = signing.default_signature_path(manifest) if signature is None else signature
        info = signing.verify_manifest_signature(
            manifest, chosen, public_key, identity=identity, issuer=issuer,
            trusted_root=trusted_root, offline=offline, staging=staging,
            max_manifest_bytes=options.get("max_manifest_bytes"))
        confirm = lambda reads: signing.confirm_verified(info, reads)  # noqa: E731
    verify: Any = functions.verify_for_load  # record_reads is the package's own keyword
    plan, reads = verify(manifest, index=index, record_reads=True, **options)
    if confirm is not None:
        confirm(reads)
    for entry in reads["files"]:
        if not entry["steady"]:  # a profile too: its digest may be of no one version of it
            path = os.fsdecode(entry["path"])
            raise VerifiedFileChanged(f"verified file changed while it was hashed: {path}",
                                      (path,))
    recorded: list[tuple[BinaryIO, Any]] = []
    try:
        index_file = row_file = None
        auxiliary: dict[str, BinaryIO] = {}
        for entry in reads["files"]:
            role = entry["role"]
            if role not in ("artifact", "row_identity", "auxiliary_artifact"):
                continue
            stream = _open_recorded(entry)
            recorded.append((stream, entry))
            if role == "artifact":
                index_file = stream
            elif role == "row_identity":
                row_file = stream
            else:
                auxiliary[entry["name"]] = stream
        if index_file is None:
            raise VerifiedFileChanged("verification recorded no index file", ())
    except BaseException:
        for stream, _ in recorded:
            stream.close()
        raise
    return VerifiedFiles(plan, index_file, row_file, auxiliary, recorded)
