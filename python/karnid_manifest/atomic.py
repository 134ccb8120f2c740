"""Files the package writes (manifests, signatures) appear whole, or not at all, and never through a
name that someone else could have swapped.

A file is written to a temporary in the target's directory, created with
``O_CREAT|O_EXCL|O_NOFOLLOW`` (so it is a new file of ours, never a link planted under the name),
written and flushed through that one descriptor, given its permission bits with ``fchmod`` and
then renamed over the target (``replace``) or hard-linked to it (which fails if the name exists).
Every step names files relative to a descriptor of the directory opened once at the start, so a
directory swapped on the path meanwhile does not redirect a later step. Afterwards the target
name must hold the inode that was written.

The temporary is called ``.<target name>.<random>.karnid-tmp``. One is left behind only when the
process is killed outright (SIGKILL, a power cut) while it writes; such a file is never the
target and can be removed: ``find DIR -maxdepth 1 -name '.*.karnid-tmp' -delete``.

SIGINT and SIGTERM on the command line reach the main thread while a worker thread writes; the
main thread then calls :func:`abandon_all`. Creating, placing and removing the temporary each take
the writer's lock, so the main thread's removal cannot be undone by the worker re-creating or
placing the file afterwards.
"""

from __future__ import annotations

import errno
import os
import stat
import sys
import threading

TYPE_CHECKING = False  # typing's own costs more to import than this module
if TYPE_CHECKING:
    from typing import Callable, TypeVar, Union

    T = TypeVar("T")
    StrPath = Union[str, "os.PathLike[str]"]

TEMPORARY_SUFFIX = ".karnid-tmp"
# Room left in a 255-byte name for ".", ".", the random part and the suffix.
_NAME_ROOM = 255 - 1 - 1 - 12 - len(TEMPORARY_SUFFIX)
# What a written file never gets, whatever it replaces: set-id bits, the sticky bit, and write
# permission for everyone.
_NEVER = stat.S_ISUID | stat.S_ISGID | stat.S_ISVTX | stat.S_IWOTH
# Link failures that mean "this file system has no hard links", not "the name exists".
_NO_LINKS = (errno.EPERM, errno.EOPNOTSUPP, errno.ENOSYS, errno.EXDEV)


class Abandoned(OSError):
    """The write was abandoned (Ctrl-C or SIGTERM) before the file was placed."""

    def __init__(self) -> None:
        super().__init__(errno.EINTR, "interrupted before the file was placed")


class NameChanged(OSError):
    """The temporary's name, before the rename, or the target's, after it, held another file
    than the one written: something replaced it meanwhile."""

    def __init__(self, target: str) -> None:
        super().__init__(errno.ESTALE, "the file was replaced by another as it was placed",
                         target)


def is_special_output(path: StrPath) -> bool:
    """A FIFO or a character device (``/dev/null``, ``/dev/stdout`` on a terminal or a pipe):
    written directly, since renaming over one would replace the device node, not write to it."""
    try:
        mode = os.stat(path).st_mode
    except (OSError, ValueError):
        return False
    return stat.S_ISFIFO(mode) or stat.S_ISCHR(mode)


def _umask() -> int:
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    with _UMASK_LOCK:  # reading it means setting it: no other writer may see the stand-in
        mask = os.umask(0o077)
        os.umask(mask)
    return mask


def temporary_token() -> str:
    """The random part of a temporary's name: 12 hexadecimal digits from the kernel's source."""
    return os.urandom(6).hex()


_UMASK_LOCK = threading.Lock()


def make_parents(directory: str) -> list[str]:
    """Creates the missing directories of ``directory``; returns those created, outermost
    first, for :func:`remove_made`."""
    missing: list[str] = []
    head = directory
    while head and not os.path.isdir(head):
        missing.append(head)
        parent = os.path.dirname(head)
        if parent == head:
            break
        head = parent
    made: list[str] = []
    try:
        for path in reversed(missing):
            try:
                os.mkdir(path)
            except FileExistsError:
                if not os.path.isdir(path):
                    raise
                continue
            made.append(path)
    except BaseException:
        remove_made(made)
        raise
    return made


def remove_made(made: list[str]) -> None:
    """Removes directories that :func:`make_parents` created, innermost first, while empty."""
    for path in reversed(made):
        try:
            os.rmdir(path)
        except OSError:
            return


class _Writer:
    def __init__(self, target: str, replace: bool) -> None:
        self.target = target
        self.replace = replace
        self.lock = threading.Lock()
        self.abandoned = False
        self.placed = False
        self.dir_fd = -1
        self.temporary: str | None = None

    def create(self, name: str) -> int:
        with self.lock:
            if self.abandoned:
                raise Abandoned()
            stem = os.fsencode(name)[:_NAME_ROOM]
            for _ in range(100):
                temporary = os.fsdecode(b".%s.%s%s" % (stem, temporary_token().encode(),
                                                        TEMPORARY_SUFFIX.encode()))
                try:
                    fd = os.open(temporary,
                                 os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW
                                 | os.O_CLOEXEC, 0o600, dir_fd=self.dir_fd)
                except FileExistsError:
                    continue
                self.temporary = temporary
                return fd
            raise FileExistsError(errno.EEXIST, "no free temporary name", self.target)

    def place(self, name: str, fd: int) -> None:
        with self.lock:
            if self.abandoned:
                raise Abandoned()
            assert self.temporary is not None
            # A temporary swapped for another file (a link to a victim) is not placed.
            if not os.path.samestat(os.fstat(fd), os.lstat(self.temporary, dir_fd=self.dir_fd)):
                raise NameChanged(self.target)
            if self.replace:
                os.replace(self.temporary, name, src_dir_fd=self.dir_fd, dst_dir_fd=self.dir_fd)
            else:
                try:
                    os.link(self.temporary, name, src_dir_fd=self.dir_fd,
                            dst_dir_fd=self.dir_fd, follow_symlinks=False)
                except FileExistsError:
                    raise
                except OSError as exc:
                    if exc.errno not in _NO_LINKS:
                        raise
                    # No hard links here: the name is checked, then replaced; a file that
                    # appears in between is the one loss this file system allows.
                    if _exists(name, self.dir_fd):
                        raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST),
                                              self.target) from None
                    os.replace(self.temporary, name, src_dir_fd=self.dir_fd,
                               dst_dir_fd=self.dir_fd)
                else:
                    os.unlink(self.temporary, dir_fd=self.dir_fd)
            self.placed = True
            self.temporary = None

    def discard(self) -> None:
        """Removes the temporary unless it was placed; safe from any thread, any number of
        times."""
        with self.lock:
            self.abandoned = True
            if self.temporary is not None and not self.placed:
                try:
                    os.unlink(self.temporary, dir_fd=self.dir_fd)
                except OSError:
                    pass
                self.temporary = None


def _exists(name: str, dir_fd: int) -> bool:
    try:
        os.lstat(name, dir_fd=dir_fd)
    except FileNotFoundError:
        return False
    return True


_LIVE: set[_Writer] = set()
_LIVE_LOCK = threading.Lock()


def abandon_all() -> None:
    """Removes the temporary of every write still under way, and makes each fail instead of
    placing its file. For the main thread on SIGINT or SIGTERM, while workers write."""
    with _LIVE_LOCK:
        writers = list(_LIVE)
    for writer in writers:
        writer.discard()


def write_file(target: StrPath, produce: Callable[[int], T], *, replace: bool) -> T:
    """Writes ``target`` through a temporary: ``produce(fd)`` writes the content through ``fd``
    (from offset 0; it must not close it) and its result is returned once the file is in place.

    With ``replace`` an existing file at ``target`` is replaced (its permission bits carry over,
    less the set-id, sticky and world-write bits); without it an existing name raises
    FileExistsError and nothing is written there. A new file gets 0666 less the umask and the
    world-write bit. The target's directory must exist. Raises OSError (``filename`` is
    ``target`` for the steps of this function) or what ``produce`` raises; the temporary is gone
    then, and ``target`` untouched."""
    path = os.fspath(target)
    directory, name = os.path.split(path)
    if not name:
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    writer = _Writer(path, replace)
    with _LIVE_LOCK:
        _LIVE.add(writer)
    fd = -1
    try:
        try:
            writer.dir_fd = os.open(directory or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
            base = 0o666
            if replace:
                try:
                    st = os.stat(name, dir_fd=writer.dir_fd)
                    if stat.S_ISREG(st.st_mode):
                        base = stat.S_IMODE(st.st_mode)
                except FileNotFoundError:
                    pass
            fd = writer.create(name)
        except OSError as exc:
            raise _named(exc, path) from None
        result = produce(fd)
        try:
            os.fsync(fd)
            os.fchmod(fd, base & ~_umask() & ~_NEVER & 0o7777)
            writer.place(name, fd)
            _sync_directory(writer.dir_fd)
            written, found = os.fstat(fd), os.lstat(name, dir_fd=writer.dir_fd)
        except OSError as exc:
            raise _named(exc, path) from None
        if (written.st_dev, written.st_ino) != (found.st_dev, found.st_ino):
            raise NameChanged(path)
        return result
    finally:
        writer.discard()
        with _LIVE_LOCK:
            _LIVE.discard(writer)
        failed = _close(fd, writer.dir_fd)
        # A failed close is reported only when nothing else is: it must not hide the first error.
        if failed is not None and sys.exc_info()[1] is None:
            raise _named(failed, path)


def _close(*fds: int) -> OSError | None:
    """Closes each descriptor (all of them, whatever fails); returns the first error."""
    first = None
    for fd in fds:
        if fd < 0:
            continue
        try:
            os.close(fd)
        except OSError as exc:
            first = first or exc
    return first


def _named(exc: OSError, path: str) -> OSError:
    if isinstance(exc, (Abandoned, NameChanged)) or exc.filename is not None and \
            os.fspath(exc.filename) == path:
        return exc
    # The temporary's name means nothing to the caller: the error concerns the target.
    return type(exc)(exc.errno, exc.strerror, path) if exc.errno else exc


def _sync_directory(dir_fd: int) -> None:
    try:
        os.fsync(dir_fd)
    except OSError as exc:
        if exc.errno not in (errno.EINVAL, errno.ENOTSUP, errno.EBADF):
            raise
