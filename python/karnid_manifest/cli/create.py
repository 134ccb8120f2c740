"""``karnid-manifest create``: a manifest written so that it never damages another file.

The module writes the manifest in place, so a crash halfway leaves half a file. The tool instead
has the module write a temporary file in the manifest's directory (so the relative paths in it are
the same), flushes it to disk and renames it into place: an interrupted run leaves the old file or
the new one. Because the module writes to the temporary, the tool itself refuses an output that is
the same file as one of the inputs: the rename would otherwise replace the index with its manifest.
"""

from __future__ import annotations

import argparse
import errno
import json
import os
import stat
import tempfile
from typing import Any, Mapping, cast

import _karnid_manifest as km

import karnid_manifest as api
from karnid_manifest import cli, explain, formats, progress, render

TEMPORARY_SUFFIX = ".tmp"
ROW_MAP_INVALID = "row map is invalid: "
_ROW_PREFIX = "row_identity_"
# Issues of a verification that creation's row-map check does not raise: the comparison with the
# declared digest, and the count check after reading (creation says "row map has N rows" itself).
_NOT_CREATION_ISSUES = ("row_identity_sha256_mismatch",)
_AFTER_READING_COUNT = "manifest declares"


def _inputs(args: argparse.Namespace) -> list[tuple[str, str]]:
    inputs = [("index", args.index)]
    if args.row_map is not None:
        inputs.append(("row map", args.row_map))
    inputs += [(f"auxiliary file {render.quoted(item['name'])}", item["path"])
               for item in args.auxiliary or []]
    return inputs


def _identity(path: str) -> tuple[int, int] | None:
    try:
        info = os.stat(path)
    except (OSError, ValueError):
        return None
    return info.st_dev, info.st_ino


def _exists(target: str) -> cli.Failure:
    return cli.Failure(f"cannot create {render.display_path(target)}: the file exists; "
                       "--force replaces it")


def refuse_unsafe_output(target: str, inputs: list[tuple[str, str]], *, force: bool) -> int | None:
    """Raises when writing ``target`` would overwrite an input, a directory or (without
    ``force``) an existing file; returns the permission bits of a file being replaced."""
    shown = render.display_path(target)
    what = f"cannot create {shown}"
    if not target:
        raise cli.Failure("cannot create a manifest: --out is empty")
    if not os.path.basename(target):
        raise cli.Failure(f"{what}: --out must name a file, not a directory")
    identity = _identity(target)
    if identity is not None:
        for role, path in inputs:
            if _identity(path) == identity:
                raise cli.Failure(f"{what}: it is the same file as the {role} "
                                  f"{render.display_path(path)}; write the manifest elsewhere")
    try:
        os.lstat(target)
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as exc:
        raise cli.Failure(f"{what}: {cli.one_line(exc)}") from exc
    try:
        info: os.stat_result | None = os.stat(target)
    except OSError:
        info = None  # a dangling symbolic link
    if info is not None and stat.S_ISDIR(info.st_mode):
        raise cli.Failure(f"{what}: it is a directory")
    if not force:
        raise _exists(target)
    if info is not None and not stat.S_ISREG(info.st_mode):
        raise cli.Failure(f"{what}: it is not a regular file")
    return stat.S_IMODE(info.st_mode) if info is not None else None


def _umask() -> int:
    # Read by setting it; done on the main thread before any worker starts.
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _sync_directory(directory: str) -> None:
    try:
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError as exc:
        if exc.errno not in (errno.EINVAL, errno.ENOTSUP):
            raise
    finally:
        os.close(fd)


def _place(temporary: str, target: str, *, force: bool) -> None:
    """Moves the finished temporary to ``target``; without ``force`` never over a file that
    appeared meanwhile (a hard link fails when the name exists)."""
    if force:
        os.replace(temporary, target)
        return
    try:
        os.link(temporary, target)
    except FileExistsError:
        raise _exists(target) from None
    except OSError:  # a file system without hard links
        if os.path.lexists(target):
            raise _exists(target) from None
        os.replace(temporary, target)
        return
    os.unlink(temporary)


def row_map_problems(row_map: str, index: str, limits: Mapping[str, int]) -> list[dict[str, str]]:
    """Each problem of a row map that creation refused, with its line and message.

    Creation names only the codes. The module's verification reports the same checks with their
    messages, so the row map is verified under a throwaway manifest that declares it (and an
    index file that does not exist, so that nothing else is read), holding it to the row count of
    the index as creation does.
    """
    rows = formats.vector_count(index)
    declared = rows if rows is not None else limits["max_row_map_rows"]
    manifest = {
        "schema_version": km.SCHEMA_VERSION,
        "manifest_id": "urn:uuid:00000000-0000-4000-8000-000000000000",
        "created_at": "2000-01-01T00:00:00Z",
        "artifact": {"path": "absent", "sha256": "0" * 64, "kind": "rank", "format_version": 1,
                     "dim": 2, "vector_count": declared, "bytes_per_vec": 4,
                     "params": {"kind": "rank"}, "file_size_bytes": 0},
        "embedding": {"model": "row map check", "dim": 2},
        "row_identity": {"kind": "jsonl", "path": os.path.realpath(row_map), "sha256": "0" * 64,
                         "row_count": declared, "id_kind": "uuid"},
    }
    with tempfile.TemporaryDirectory(prefix="karnid-manifest-") as scratch:
        path = os.path.join(scratch, "manifest.json")
        with open(path, "w", encoding="utf-8") as stream:
            json.dump(manifest, stream)
        try:
            report = km.verify_manifest(path, allow_absolute_paths=True, allow_path_escape=True,
                                        **cast(Any, limits))
        except (OSError, ValueError):
            return []
    return [{"code": issue["code"], "message": issue["message"]} for issue in report["errors"]
            if issue["code"].startswith(_ROW_PREFIX) and issue["code"] not in _NOT_CREATION_ISSUES
            and _AFTER_READING_COUNT not in issue["message"]]


def _failure(exc: BaseException, args: argparse.Namespace, temporary: str) -> cli.Failure:
    what = f"cannot create {render.display_path(args.out)}"
    message = cli.one_line(exc)
    if isinstance(exc, OSError):
        culprit = exc.filename if exc.filename not in (None, temporary) else None
        shown = render.display_path(culprit) if culprit is not None else None
        named = f"{shown}: " if shown is not None and shown not in message else ""
        return cli.Failure(f"{what}: {named}{message}")
    limits = cli.limits_in_force(args)
    if message.startswith(ROW_MAP_INVALID) and args.row_map is not None:
        problems = row_map_problems(args.row_map, args.index, limits)
        shown = render.display_path(args.row_map)
        notes = [f"{shown} has {len(problems)} problem{'s' if len(problems) != 1 else ''}:",
                 *render.issue_lines(problems, render.Style(False), None)] if problems else []
        return cli.Failure(f"{what}: {message}", notes=notes, data={"problems": problems})
    code, sep, rest = message.partition(": ")
    if sep and code in explain.LIMIT_CODES:
        facts = explain.Facts(limits, row_map=args.row_map, rows=formats.vector_count(args.index),
                              can_skip_duplicates=False, creating=True)
        return cli.Failure(f"{what}: {code}: {explain.file_line(code, rest)}",
                           notes=[explain.limit_hint(code, rest, facts)],
                           data={"module_message": message})
    return cli.Failure(f"{what}: {message}")


def _work(args: argparse.Namespace) -> progress.Work:
    steps = [progress.Step.of("hashing the index", args.index)]
    if args.row_map is not None:
        steps.append(progress.Step.of("checking rows", args.row_map))
    steps += [progress.Step.of(f"hashing auxiliary {render.quoted(item['name'])}", item["path"])
              for item in args.auxiliary or []]
    return progress.Work(steps, idle="starting")


def create(args: argparse.Namespace, out: cli.Output) -> Mapping[str, Any]:
    """Creates the manifest at ``args.out`` and returns it; raises cli.Failure."""
    target = args.out
    mode = refuse_unsafe_output(target, _inputs(args), force=args.force)
    if mode is None:
        mode = 0o666 & ~_umask()
    directory = os.path.dirname(target) or "."
    what = f"cannot create {render.display_path(target)}"
    try:
        os.makedirs(directory, exist_ok=True)
        fd, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.",
                                         suffix=TEMPORARY_SUFFIX, dir=directory)
    except (OSError, ValueError) as exc:
        raise cli.Failure(f"{what}: {render.display_path(directory)}: {cli.one_line(exc)}") from exc
    kwargs: dict[str, Any] = {**cli.limits_given(args), "allow_path_escape": args.allow_path_escape,
                              "allow_absolute_paths": args.allow_absolute_paths}
    if args.row_map is not None:
        kwargs["row_map"] = args.row_map
    else:
        kwargs["row_id_is_identity"] = True
    if args.auxiliary:
        kwargs["auxiliary_artifacts"] = args.auxiliary
    placed = False
    try:
        try:
            manifest = out.progress.run(
                lambda: api.create_manifest(args.index, temporary, args.embedding_model,
                                            **kwargs), _work(args))
        except (OSError, ValueError) as exc:
            raise _failure(exc, args, temporary) from exc
        try:
            os.fchmod(fd, mode)
            os.fsync(fd)
            _place(temporary, target, force=args.force)
            placed = True
            _sync_directory(directory)
        except OSError as exc:
            raise cli.Failure(f"{what}: {cli.one_line(exc)}") from exc
    finally:
        os.close(fd)
        if not placed:
            try:
                os.unlink(temporary)
            except OSError:
                pass
    return manifest
