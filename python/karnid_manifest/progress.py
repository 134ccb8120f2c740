"""A spinner for long module calls.

The module releases the interpreter lock while it reads files, so a call can run on a worker thread
while the main thread draws. The module reports no progress of its own; the file being read is
found among the process's open file descriptors (Linux ``/proc/self/fd``).
"""

from __future__ import annotations

import os
import shutil
import stat
import threading
import time
from typing import IO, Callable, TypeVar

T = TypeVar("T")

FRAMES = "|/-\\"
FD_DIR = "/proc/self/fd"


def open_files() -> dict[int, str]:
    """The regular files this process holds open, by descriptor; empty where /proc is missing."""
    found: dict[int, str] = {}
    try:
        names = os.listdir(FD_DIR)
    except OSError:
        return found
    for name in names:
        link = os.path.join(FD_DIR, name)
        try:
            if not stat.S_ISREG(os.stat(link).st_mode):
                continue
            found[int(name)] = os.readlink(link)
        except (OSError, ValueError):
            continue  # closed while we looked, or not a descriptor entry
    return found


def newest_file(baseline: dict[int, str]) -> str | None:
    """The file behind the highest descriptor opened since ``baseline`` was taken."""
    fresh = {fd: path for fd, path in open_files().items() if baseline.get(fd) != path}
    return fresh[max(fresh)] if fresh else None


def status_line(frame: int, elapsed: float, path: str | None, width: int) -> str:
    """One spinner frame, cut to fit a terminal ``width`` columns wide (the path loses its head,
    since the file name is the informative end)."""
    head = f"{FRAMES[frame % len(FRAMES)]} {elapsed:5.1f}s "
    room = max(width - 1 - len(head), 0)
    if path is None:
        return head + "working"[:room]
    verb = "hashing "
    shown = _relative(path)
    space = room - len(verb)
    if len(shown) > space:
        shown = "..." + shown[len(shown) - space + 3:] if space > 3 else ""
    return head + (verb + shown)[:room]


def _relative(path: str) -> str:
    try:
        rel = os.path.relpath(path)
    except ValueError:
        return path
    return path if rel.startswith("..") else rel


def run(call: Callable[[], T], stream: IO[str], *, delay: float = 1.0,
        interval: float = 0.1) -> T:
    """Runs ``call``; on a terminal ``stream`` shows a spinner once it has taken ``delay`` seconds.

    The spinner line is erased before this returns or raises. Anything ``call`` raises is raised
    here; a KeyboardInterrupt leaves the worker running as a daemon thread, which ends with the
    process.
    """
    isatty = getattr(stream, "isatty", None)
    if not (isatty and isatty()):
        return call()

    values: list[T] = []
    errors: list[BaseException] = []
    done = threading.Event()

    def work() -> None:
        try:
            values.append(call())
        except BaseException as exc:  # handed to the main thread, which re-raises it
            errors.append(exc)
        finally:
            done.set()

    baseline = open_files()
    started = time.monotonic()
    worker = threading.Thread(target=work, name="karnid-manifest-call", daemon=True)
    worker.start()
    drawn = False
    try:
        if not done.wait(delay):
            frame = 0
            while not done.is_set():
                width = shutil.get_terminal_size().columns
                line = status_line(frame, time.monotonic() - started, newest_file(baseline),
                                   width)
                stream.write("\r\x1b[K" + line)
                stream.flush()
                drawn = True
                frame += 1
                done.wait(interval)
    finally:
        if drawn:
            stream.write("\r\x1b[K")
            stream.flush()
    worker.join()
    if errors:
        raise errors[0]
    return values[0]
