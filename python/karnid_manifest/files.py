"""Files as the package reads them, and paths as it shows them to people.

Every file the package opens on a user's behalf is opened the same way: without blocking (a FIFO
given where a file belongs must not hang the tool) and as a regular file only.
"""

from __future__ import annotations

import errno
import os
import stat

TYPE_CHECKING = False  # typing's own costs more to import than this module
if TYPE_CHECKING:
    from typing import Any, Union

    StrPath = Union[str, "os.PathLike[str]"]

HEAD_BYTES = 4096
MANIFEST_IN_DIRECTORY = "manifest.json"
_READ_STEP = 1 << 16


class NotRegularFileError(OSError):
    """The path opened, but names a directory, a FIFO, a socket or a device. ``errno`` is EISDIR
    for a directory (what reading one would meet) and None otherwise."""

    def __init__(self, path: StrPath, mode: int) -> None:
        super().__init__(errno.EISDIR if stat.S_ISDIR(mode) else None, "not a regular file")
        self.filename = os.fspath(path)

    def __str__(self) -> str:
        return "not a regular file"


def open_regular(path: StrPath, *, follow: bool = True) -> int:
    """A descriptor for reading the regular file at ``path``: opened without blocking (a FIFO
    without a writer would otherwise wait), closed on exec, through a final symbolic link only
    when ``follow``. Raises the open's OSError, :class:`NotRegularFileError` for anything but a
    regular file, and ValueError for a path holding a NUL byte."""
    flags = os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | (0 if follow else os.O_NOFOLLOW)
    fd = os.open(path, flags)
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            raise NotRegularFileError(path, mode)
    except BaseException:
        os.close(fd)
        raise
    return fd


def read_head(path: StrPath, size: int = HEAD_BYTES) -> bytes | None:
    """The first ``size`` bytes of a regular file, or None for anything else (missing,
    unreadable, a directory, a FIFO: nothing is read from those)."""
    try:
        fd = open_regular(path)
    except (OSError, ValueError):
        return None
    try:
        chunks = []
        left = size
        while left > 0:
            chunk = os.read(fd, min(left, _READ_STEP))
            if not chunk:
                break
            chunks.append(chunk)
            left -= len(chunk)
        return b"".join(chunks)
    except OSError:
        return None
    finally:
        os.close(fd)


def manifest_in(path: Any) -> Any:
    """A directory stands for the manifest.json in it; any other path (or a value that is not a
    path, which the module refuses with its own error) is returned as given."""
    try:
        if not os.path.isdir(path):
            return path
    except (TypeError, ValueError):
        return path
    name = os.fsencode(MANIFEST_IN_DIRECTORY) if isinstance(path, bytes) else MANIFEST_IN_DIRECTORY
    return os.path.join(path, name)


def is_text(value: str) -> bool:
    """Whether a string is text that UTF-8 can hold: not one with a lone surrogate (an
    undecodable byte kept by ``os.fsdecode``, or a \\u escape in JSON)."""
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def display_path(path: str) -> str:
    """A command-line path as printable text: undecodable bytes become U+FFFD, and so does a
    lone surrogate that stands for no byte (which only a Python caller can pass)."""
    try:
        data = os.fsencode(path)
    except UnicodeEncodeError:
        data = path.encode("utf-8", "surrogatepass")
    return data.decode("utf-8", "replace")


def relative_unless_climbing(path: StrPath) -> str:
    """The path relative to the current directory, or as given when that would climb out of it
    (a path that starts with ".." says less than the absolute one)."""
    given = os.fspath(path)
    try:
        relative = os.path.relpath(given)
    except ValueError:
        return given
    return given if relative.startswith("..") else relative
