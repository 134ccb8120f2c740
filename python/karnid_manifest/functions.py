"""The module's file-touching functions as the package offers them: the same arguments and
results, with the exceptions that Python callers catch (see :mod:`karnid_manifest.errors`), and
a directory given as the manifest meaning the manifest.json in it, as on the command line.

Verification and creation take one more keyword, ``memory_limit=`` (bytes; None or left out
means :data:`~karnid_manifest.budget.DEFAULT_MEMORY_LIMIT`), from which the row-map limits
follow unless they are given (see :mod:`karnid_manifest.budget`)."""

from __future__ import annotations

import functools
import os

import _karnid_manifest as _km

from karnid_manifest import budget, errors, files

TYPE_CHECKING = False  # typing's own costs more to import than the whole package
if TYPE_CHECKING:
    from typing import Any, Callable, ParamSpec, TypeVar

    P = ParamSpec("P")
    R = TypeVar("R")


ABSOLUTE_INDEX_REJECTED = "artifact_absolute_path_rejected"


def _argument(args: tuple[Any, ...], kwargs: dict[str, Any], position: int, name: str) -> Any:
    if len(args) > position:
        return args[position]
    return kwargs.get(name)


def absolute_index_hint(kwargs: dict[str, Any], codes: Any) -> str | None:
    """Why an absolute ``index=`` the caller gave was refused, and the keyword that accepts it:
    the policy judges it like a path written in the manifest."""
    index = kwargs.get("index")
    if (index is None or kwargs.get("allow_absolute_paths") or ABSOLUTE_INDEX_REJECTED not in codes
            or not isinstance(index, (str, bytes, os.PathLike)) or not os.path.isabs(index)):
        return None
    return ("the absolute index path given is refused like an absolute path in a manifest; "
            "pass allow_absolute_paths=True (--allow-absolute-paths) to accept it")


def _manifest_argument(args: Any, kwargs: Any) -> tuple[Any, Any]:
    if args:
        return (files.manifest_in(args[0]), *args[1:]), kwargs
    if "manifest" in kwargs:
        return args, {**kwargs, "manifest": files.manifest_in(kwargs["manifest"])}
    return args, kwargs


def _raising_python_errors(func: Callable[P, R], *, manifest: bool = False,
                           memory: bool = False) -> Callable[P, R]:
    """``func`` raising the package's exceptions, built from the facts the module attaches. With
    ``manifest``, a directory as the first argument means the manifest.json in it; with
    ``memory``, ``memory_limit=`` sets the row-map limits the caller left out."""

    @functools.wraps(func)
    def call(*args: P.args, **kwargs: P.kwargs) -> R:
        if manifest:
            args, kwargs = _manifest_argument(args, kwargs)
        if memory:
            kwargs = budget.apply(kwargs.pop(budget.KEYWORD, None), kwargs)  # type: ignore[assignment]
        try:
            return func(*args, **kwargs)
        except OSError as exc:
            converted: Exception = errors.os_error(exc)
            if converted is exc:
                raise
            raise converted from None
        except ValueError as exc:
            converted = errors.value_error(exc)
            if isinstance(converted, errors.VerificationFailed):
                hint = absolute_index_hint(kwargs, converted.codes)
                if hint is not None:
                    converted.add_note(hint)
            if converted is exc:
                raise
            raise converted from None

    return call


sha256_file = _raising_python_errors(_km.sha256_file)
inspect_manifest = _raising_python_errors(_km.inspect_manifest, manifest=True)
def _through_temporary(func: Callable[P, R]) -> Callable[P, R]:
    """Creation that writes a regular file (or a new one) through a temporary beside it, renamed
    into place once complete: a failure or an interrupted call leaves the earlier file as it was,
    and no name is opened for writing that someone else could have swapped for a link. The
    directory of ``out`` is created when missing, and removed again when creation fails. A FIFO
    or a device at ``out`` is written directly."""

    @functools.wraps(func)
    def call(*args: P.args, **kwargs: P.kwargs) -> R:
        out = _argument(args, kwargs, 1, "out")
        try:
            return _create(func, args, kwargs, out)
        except ValueError as exc:
            failed = errors.write_error(exc, out)
            if failed is None:
                raise
            raise failed from None

    return call


def _create(func: Callable[..., R], args: tuple[Any, ...], kwargs: dict[str, Any],
            out: Any) -> R:
    from karnid_manifest import atomic  # its locks and threads only when something is created

    try:
        direct = "out_fd" in kwargs or atomic.is_special_output(out) or (
            os.path.lexists(out) and not os.path.isfile(out))
    except (TypeError, ValueError):
        direct = True  # the module says what is wrong with the argument
    if direct:
        return func(*args, **kwargs)
    path = os.fspath(out)
    made = atomic.make_parents(os.path.dirname(path))
    try:
        _refuse_overwriting_an_input(func, args, kwargs, path)
        return atomic.write_file(path, lambda fd: func(*args, **kwargs, out_fd=fd),
                                 replace=True)
    except BaseException:
        atomic.remove_made(made)
        raise


def _refuse_overwriting_an_input(func: Callable[..., Any], args: tuple[Any, ...],
                                 kwargs: dict[str, Any], path: str) -> None:
    """Replacing ``path`` would take an input's name away from it. The module refuses that, with
    its own message and before reading anything, when it is handed the existing file: handed
    read-only, so that nothing is written to it whatever the module finds."""
    try:
        target = os.stat(path)
    except OSError:
        return
    items = kwargs.get("auxiliary_artifacts")
    inputs = [_argument(args, kwargs, 0, "index"), kwargs.get("row_map")]
    if isinstance(items, (list, tuple)):
        inputs += [item.get("path") for item in items if isinstance(item, dict)]
    for candidate in inputs:
        try:
            same = candidate is not None and os.path.samestat(os.stat(candidate), target)
        except (OSError, TypeError, ValueError):
            same = False
        if same:
            fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
            try:
                func(*args, **kwargs, out_fd=fd)
            finally:
                os.close(fd)


if TYPE_CHECKING:
    # The module's signatures with the budget keyword added, which a wrapper's ParamSpec cannot
    # express.
    from typing import Iterable, Unpack

    from _karnid_manifest import (AuxiliaryArtifactSpec, IndexManifest, Limits, StrPath,
                                  VerificationReport, VerifiedLoadPlan)

    def verify_manifest(manifest: StrPath, *, index: StrPath | None = None,
                        allow_absolute_paths: bool = False, allow_path_escape: bool = False,
                        allow_duplicate_db_ids: bool = False, memory_limit: int | None = None,
                        **limits: Unpack[Limits]) -> VerificationReport: ...

    def verify_for_load(manifest: StrPath, *, index: StrPath | None = None,
                        allow_absolute_paths: bool = False, allow_path_escape: bool = False,
                        allow_duplicate_db_ids: bool = False, memory_limit: int | None = None,
                        **limits: Unpack[Limits]) -> VerifiedLoadPlan: ...

    def create_manifest(index: StrPath, out: StrPath, embedding_model: str, *,
                        row_map: StrPath | None = None, row_id_is_identity: bool = False,
                        auxiliary_artifacts: Iterable[AuxiliaryArtifactSpec] | None = None,
                        allow_absolute_paths: bool = False, allow_path_escape: bool = False,
                        memory_limit: int | None = None,
                        **limits: Unpack[Limits]) -> IndexManifest: ...
else:
    verify_manifest = _raising_python_errors(_km.verify_manifest, manifest=True, memory=True)
    verify_for_load = _raising_python_errors(_km.verify_for_load, manifest=True, memory=True)
    create_manifest = _through_temporary(_raising_python_errors(_km.create_manifest,
                                                                memory=True))
