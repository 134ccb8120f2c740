"""The module's file-touching functions as the package offers them: the same arguments, results and
messages, with the exceptions that Python callers catch (see :mod:`karnid_manifest.errors`)."""

from __future__ import annotations

import functools
import os

import _karnid_manifest as _km

from karnid_manifest import errors, files

TYPE_CHECKING = False  # typing's own costs more to import than the whole package
if TYPE_CHECKING:
    from typing import Any, Callable, ParamSpec, TypeVar

    P = ParamSpec("P")
    R = TypeVar("R")
    # Which file a failure with this error number (None: no number) concerns, given the call's
    # arguments.
    FailingFile = Callable[[tuple[Any, ...], dict[str, Any], "int | None"], Any]


def _argument(args: tuple[Any, ...], kwargs: dict[str, Any], position: int, name: str) -> Any:
    if len(args) > position:
        return args[position]
    return kwargs.get(name)


def _failing_errno(path: Any) -> int | None:
    """The error number that reading ``path`` runs into, or None when it opens; the way the
    module reads (a directory opens but cannot be read) and without blocking on a FIFO."""
    try:
        os.close(files.open_regular(path))
    except OSError as exc:  # files.NotRegularFileError says EISDIR for a directory only
        return exc.errno
    except (TypeError, ValueError):
        return None
    return None


def _manifest_file(args: tuple[Any, ...], kwargs: dict[str, Any], number: int | None) -> Any:
    return _argument(args, kwargs, 0, "manifest")


def _path_file(args: tuple[Any, ...], kwargs: dict[str, Any], number: int | None) -> Any:
    return _argument(args, kwargs, 0, "path")


def _creation_file(args: tuple[Any, ...], kwargs: dict[str, Any], number: int | None) -> Any:
    """The module does not say which file it could not read: the first input that fails the
    same way, else the output (whose directory or file could not be created)."""
    index = _argument(args, kwargs, 0, "index")
    if number is None:
        return index  # only the header probe fails without an error number
    inputs = [index, kwargs.get("row_map")]
    items = kwargs.get("auxiliary_artifacts")
    if isinstance(items, (list, tuple)):  # an iterator was used up by the call
        inputs += [item.get("path") for item in items if isinstance(item, dict)]
    for candidate in inputs:
        if candidate is not None and _failing_errno(candidate) == number:
            return candidate
    return _argument(args, kwargs, 1, "out")


def _raising_python_errors(func: Callable[P, R], failing_file: FailingFile, *,
                           plans: bool = False, manifest: bool = False) -> Callable[P, R]:
    """``func`` raising the OSError subclass its error number calls for, with the file that
    ``failing_file`` names, and (``plans``) a refused load plan as VerificationFailed. With
    ``manifest``, a directory as the first argument means the manifest.json in it."""

    @functools.wraps(func)
    def call(*args: P.args, **kwargs: P.kwargs) -> R:
        if manifest:
            args, kwargs = _manifest_argument(args, kwargs)
        try:
            return func(*args, **kwargs)
        except OSError as exc:
            if type(exc) is not OSError:
                raise  # already specific: not one of the module's file errors
            number = errors.errno_of(str(exc))
            raise errors.os_error(exc, failing_file(args, kwargs, number)) from None
        except ValueError as exc:
            if plans and type(exc) is ValueError and errors.is_plan_refusal(str(exc)):
                refusal = errors.plan_refusal(str(exc))
                refusal._karnid_facts = getattr(exc, "_karnid_facts", None)  # type: ignore[attr-defined]
                hint = absolute_index_hint(kwargs, refusal.codes)
                if hint is not None:
                    refusal.add_note(hint)
                raise refusal from None
            raise

    return call


def _manifest_argument(args: Any, kwargs: Any) -> tuple[Any, Any]:
    if args:
        return (files.manifest_in(args[0]), *args[1:]), kwargs
    if "manifest" in kwargs:
        return args, {**kwargs, "manifest": files.manifest_in(kwargs["manifest"])}
    return args, kwargs


ABSOLUTE_INDEX_REJECTED = "artifact_absolute_path_rejected"


def absolute_index_hint(kwargs: dict[str, Any], codes: Any) -> str | None:
    """Why an absolute ``index=`` the caller gave was refused, and the keyword that accepts it:
    the policy judges it like a path written in the manifest."""
    index = kwargs.get("index")
    if (index is None or kwargs.get("allow_absolute_paths") or ABSOLUTE_INDEX_REJECTED not in codes
            or not isinstance(index, (str, bytes, os.PathLike)) or not os.path.isabs(index)):
        return None
    return ("the absolute index path given is refused like an absolute path in a manifest; "
            "pass allow_absolute_paths=True (--allow-absolute-paths) to accept it")


sha256_file = _raising_python_errors(_km.sha256_file, _path_file)
inspect_manifest = _raising_python_errors(_km.inspect_manifest, _manifest_file, manifest=True)
verify_manifest = _raising_python_errors(_km.verify_manifest, _manifest_file, manifest=True)
verify_for_load = _raising_python_errors(_km.verify_for_load, _manifest_file, plans=True,
                                         manifest=True)
create_manifest = _raising_python_errors(_km.create_manifest, _creation_file)
