"""The module's file-touching functions as the package offers them: the same arguments and
results, with the exceptions that Python callers catch (see :mod:`karnid_manifest.errors`), and
a directory given as the manifest meaning the manifest.json in it, as on the command line."""

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


def _manifest_argument(args: Any, kwargs: Any) -> tuple[Any, Any]:
    if args:
        return (files.manifest_in(args[0]), *args[1:]), kwargs
    if "manifest" in kwargs:
        return args, {**kwargs, "manifest": files.manifest_in(kwargs["manifest"])}
    return args, kwargs


def _raising_python_errors(func: Callable[P, R], *, manifest: bool = False) -> Callable[P, R]:
    """``func`` raising the package's exceptions, built from the facts the module attaches. With
    ``manifest``, a directory as the first argument means the manifest.json in it."""

    @functools.wraps(func)
    def call(*args: P.args, **kwargs: P.kwargs) -> R:
        if manifest:
            args, kwargs = _manifest_argument(args, kwargs)
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
verify_manifest = _raising_python_errors(_km.verify_manifest, manifest=True)
verify_for_load = _raising_python_errors(_km.verify_for_load, manifest=True)
create_manifest = _raising_python_errors(_km.create_manifest)
