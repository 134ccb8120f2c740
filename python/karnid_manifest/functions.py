"""The module's file-touching functions as the package offers them: the same arguments, results and
messages, with the exceptions that Python callers catch (see :mod:`karnid_manifest.errors`)."""

from __future__ import annotations

import functools
import os

import _karnid_manifest as _km

from karnid_manifest import atomic, errors, files

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
                           plans: bool = False) -> Callable[P, R]:
    """``func`` raising the OSError subclass its error number calls for, with the file that
    ``failing_file`` names, and (``plans``) a refused load plan as VerificationFailed."""

    @functools.wraps(func)
    def call(*args: P.args, **kwargs: P.kwargs) -> R:
        try:
            return func(*args, **kwargs)
        except OSError as exc:
            if type(exc) is not OSError:
                raise  # already specific: not one of the module's file errors
            number = errors.errno_of(str(exc))
            raise errors.os_error(exc, failing_file(args, kwargs, number)) from None
        except ValueError as exc:
            if plans and type(exc) is ValueError and errors.is_plan_refusal(str(exc)):
                raise errors.plan_refusal(str(exc)) from None
            raise

    return call


sha256_file = _raising_python_errors(_km.sha256_file, _path_file)
inspect_manifest = _raising_python_errors(_km.inspect_manifest, _manifest_file)
verify_manifest = _raising_python_errors(_km.verify_manifest, _manifest_file)
verify_for_load = _raising_python_errors(_km.verify_for_load, _manifest_file, plans=True)


def _write_error(exc: ValueError, out: Any) -> OSError | None:
    """The module's failed write of the manifest (a ValueError whose facts say "write_failed")
    as the OSError of the write's errno, naming ``out``; None for any other ValueError."""
    facts = getattr(exc, "_karnid_facts", None)
    if not isinstance(facts, dict) or facts.get("kind") != "write_failed":
        return None
    return errors.os_error(exc, out)  # type: ignore[arg-type]  # the message ends in the errno


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
            failed = _write_error(exc, out)
            if failed is None:
                raise
            raise failed from None

    return call


def _create(func: Callable[..., R], args: tuple[Any, ...], kwargs: dict[str, Any],
            out: Any) -> R:
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


create_manifest = _through_temporary(_raising_python_errors(_km.create_manifest, _creation_file))
