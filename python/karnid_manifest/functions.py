"""The module's file-touching functions as the package offers them: the same arguments and
results, with the exceptions that Python callers catch (see :mod:`karnid_manifest.errors`)."""

from __future__ import annotations

import functools

import _karnid_manifest as _km

from karnid_manifest import errors

TYPE_CHECKING = False  # typing's own costs more to import than the whole package
if TYPE_CHECKING:
    from typing import Callable, ParamSpec, TypeVar

    P = ParamSpec("P")
    R = TypeVar("R")


def _raising_python_errors(func: Callable[P, R]) -> Callable[P, R]:
    """``func`` raising the package's exceptions, built from the facts the module attaches."""

    @functools.wraps(func)
    def call(*args: P.args, **kwargs: P.kwargs) -> R:
        try:
            return func(*args, **kwargs)
        except OSError as exc:
            converted: Exception = errors.os_error(exc)
            if converted is exc:
                raise
            raise converted from None
        except ValueError as exc:
            converted = errors.value_error(exc)
            if converted is exc:
                raise
            raise converted from None

    return call


sha256_file = _raising_python_errors(_km.sha256_file)
inspect_manifest = _raising_python_errors(_km.inspect_manifest)
verify_manifest = _raising_python_errors(_km.verify_manifest)
verify_for_load = _raising_python_errors(_km.verify_for_load)
create_manifest = _raising_python_errors(_km.create_manifest)
