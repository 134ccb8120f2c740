"""Progress of long module calls, on a terminal.

The module reports no progress of its own, but it reads every file through a descriptor of this
process and releases the interpreter lock while it does: the call runs on a worker thread while the
main thread looks at the descriptors the call has opened (Linux ``/proc/self/fd``), recognises the
file behind each by device and inode, and reads how far the module has got from the descriptor's
offset (``/proc/self/fdinfo``). From the files the call will read, in the order it reads them, that
gives one line: which file of how many, what is happening, bytes done of total, percent, rate and
time left.

The call always runs on the worker, with or without a terminal, so that Ctrl-C reaches the main
thread at once; the module's own work cannot be cancelled and ends with the process.

Several calls may run at once (:meth:`Progress.run_all`), on as many workers: the module releases
the interpreter lock, so they use as many cores. Their line adds up the bytes of all of them.
"""

from __future__ import annotations

import os
import shutil
import threading
import time
from dataclasses import dataclass, field
from typing import IO, Callable, Sequence, TypeVar, Union

from karnid_manifest.explain import human_bytes
from karnid_manifest.files import relative_unless_climbing
from karnid_manifest.render import printable

T = TypeVar("T")
# How a task of run_all runs its long call: on the current thread, with its files sampled.
Runner = Callable[[Callable[[], T], "Work | None"], T]

FD_DIR = "/proc/self/fd"
FDINFO_DIR = "/proc/self/fdinfo"
DELAY_SECONDS = 1.0
INTERVAL_SECONDS = 0.2
ERASE = "\r\x1b[K"


@dataclass(frozen=True)
class Step:
    """One file the call reads: what reading it means to a person, and which file it is."""

    doing: str
    path: str
    size: int | None = None
    identity: tuple[int, int] | None = None  # (st_dev, st_ino)

    @classmethod
    def of(cls, doing: str, path: str | os.PathLike[str]) -> Step:
        try:
            info = os.stat(path)
        except (OSError, ValueError):
            return cls(doing, os.fspath(path))
        return cls(doing, os.fspath(path), info.st_size, (info.st_dev, info.st_ino))


@dataclass
class Work:
    """The files one call reads, in the order it reads them, and a label for the line (the
    manifest being checked, when there are several)."""

    steps: Sequence[Step]
    label: str = ""
    idle: str = "working"

    @property
    def total(self) -> int:
        return sum(step.size or 0 for step in self.steps)

    def done_before(self, index: int) -> int:
        return sum(step.size or 0 for step in self.steps[:index])


@dataclass(frozen=True)
class Sample:
    step: int  # index into Work.steps
    position: int


def _fd_position(fd: str) -> tuple[int, int | None] | None:
    """(offset, inode) of one descriptor from its fdinfo; the inode line exists on newer
    kernels only."""
    try:
        with open(os.path.join(FDINFO_DIR, fd), encoding="ascii") as info:
            fields = dict(line.split(":", 1) for line in info if ":" in line)
        inode = fields.get("ino")
        return int(fields["pos"]), int(inode) if inode is not None else None
    except (OSError, KeyError, ValueError):
        return None


class FdSampler:
    """Finds the furthest step whose file this process has open, and its offset."""

    def __init__(self, work: Work) -> None:
        self.by_identity = {step.identity: index for index, step in enumerate(work.steps)
                            if step.identity is not None}

    def __call__(self) -> Sample | None:
        try:
            names = os.listdir(FD_DIR)
        except OSError:
            return None
        best: Sample | None = None
        for name in names:
            try:
                info = os.stat(os.path.join(FD_DIR, name))
            except OSError:
                continue  # closed while we looked
            step = self.by_identity.get((info.st_dev, info.st_ino))
            if step is None or (best is not None and best.step > step):
                continue
            found = _fd_position(name)
            # A descriptor closed and reused between the two looks names another file.
            if found is None or (found[1] is not None and found[1] != info.st_ino):
                continue
            if best is None or step > best.step or found[0] > best.position:
                best = Sample(step, found[0])
        return best


def _duration(seconds: float) -> str:
    seconds = int(seconds + 0.5)
    if seconds < 60:
        return f"{seconds} s"
    if seconds < 3600:
        return f"{seconds // 60} min {seconds % 60} s"
    return f"{seconds // 3600} h {seconds % 3600 // 60} min"


def _fit_path(path: str, room: int) -> str:
    """The path cut from the front to ``room`` characters: the file name is the telling end."""
    if len(path) <= room:
        return path
    return "..." + path[len(path) - room + 3:] if room > 3 else ""


def _amount(done: int, total: int) -> str:
    """"1.3 of 2.5 GiB": both in the unit of the total."""
    unit_total = human_bytes(total)
    number, _, unit = unit_total.partition(" ")
    if unit == "bytes":
        return f"{done} of {total} bytes"
    scale = total / float(number) if float(number) else 1.0
    return f"{done / scale:.1f} of {unit_total}"


def status_line(work: Work, sample: Sample | None, elapsed: float, width: int) -> str:
    """The progress line for ``sample`` after ``elapsed`` seconds, at most ``width - 1``
    characters (the last column would wrap on some terminals)."""
    room = max(width - 1, 0)
    head = f"{work.label}  " if work.label else ""
    if sample is None:
        return (head + work.idle)[:room]
    step = work.steps[sample.step]
    position = sample.position if step.size is None else min(sample.position, step.size)
    tail: list[str] = []
    total = work.total
    done = work.done_before(sample.step) + position
    if total:
        tail.append(_amount(done, total))
        tail.append(f"{100 * done // total}%")
    rate = done / elapsed if elapsed > 0 else 0.0
    if rate > 0:
        tail.append(f"{human_bytes(int(rate))}/s")
        if total:
            tail.append(f"{_duration(max(total - done, 0) / rate)} left")
    front = f"{head}[{sample.step + 1}/{len(work.steps)}] {step.doing} "
    name = relative_unless_climbing(step.path)
    # On a narrow terminal the rate goes first, then the time left, then the rest of the
    # figures; the file name shrinks from its head but keeps a dozen characters after "...".
    choices = [tail, [t for t in tail if not t.endswith("/s")], tail[:2], tail[1:2], []]
    for figures in choices:
        end = "  " + "  ".join(figures) if figures else ""
        space = room - len(front) - len(end)
        if space >= min(len(name), 15) or not figures:
            return (front + _fit_path(name, max(space, 0)) + end)[:room]
    raise AssertionError("unreachable")


def overall_line(finished: int, count: int, running: int, done: int, total: int,
                 elapsed: float, width: int) -> str:
    """The line of several calls at once: how many are finished, how many run, and the bytes of
    all their files."""
    parts = [f"[{finished}/{count}] checking {running} at once" if running
             else f"[{finished}/{count}]"]
    if total:
        done = min(done, total)
        parts += [_amount(done, total), f"{100 * done // total}%"]
        rate = done / elapsed if elapsed > 0 else 0.0
        if rate > 0:
            parts += [f"{human_bytes(int(rate))}/s",
                      f"{_duration(max(total - done, 0) / rate)} left"]
    return "  ".join(parts)[:max(width - 1, 0)]


class _Overall:
    """What the calls of run_all have read: the finished ones whole, the running ones sampled."""

    def __init__(self, works: Sequence[Work | None],
                 sampler: Callable[[Work], Callable[[], Sample | None]]) -> None:
        self.works = works
        self.sampler = sampler
        self.total = sum(work.total for work in works if work is not None)
        self.lock = threading.Lock()
        self.running: dict[int, tuple[Work, Callable[[], Sample | None]]] = {}
        self.read = 0  # by the finished calls

    def runner(self, index: int) -> Runner[T]:
        def run(call: Callable[[], T], work: Work | None) -> T:
            work = work if work is not None else self.works[index]
            if work is not None:
                with self.lock:
                    self.running[index] = (work, self.sampler(work))
            try:
                return call()
            finally:
                if work is not None:
                    with self.lock:
                        del self.running[index]
                        self.read += work.total
        return run

    def done(self) -> tuple[int, int]:
        """(calls running, bytes read)."""
        with self.lock:
            running = list(self.running.values())
            read = self.read
        for work, sample in running:
            now = sample()
            if now is not None:
                size = work.steps[now.step].size
                read += work.done_before(now.step) + (
                    now.position if size is None else min(now.position, size))
        return len(running), read


class Line:
    """The one status line on a terminal stream: drawn over itself, erased at the end."""

    def __init__(self, stream: IO[str]) -> None:
        self.stream = stream
        self.drawn = False

    def draw(self, text: str) -> None:
        # The line names files, whose names may hold control characters.
        self.stream.write(ERASE + printable(text))
        self.stream.flush()
        self.drawn = True

    def erase(self) -> None:
        if self.drawn:
            self.stream.write(ERASE)
            self.stream.flush()
            self.drawn = False


def wanted(stream: IO[str]) -> bool:
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())


@dataclass
class Progress:
    """Where and how to show progress; ``enabled`` is False for pipes and for --quiet,
    --status and --json."""

    stream: IO[str]
    enabled: bool
    delay: float = DELAY_SECONDS
    interval: float = INTERVAL_SECONDS
    clock: Callable[[], float] = time.monotonic
    width: Callable[[], int] = field(default=lambda: shutil.get_terminal_size().columns)
    sampler: Callable[[Work], Callable[[], Sample | None]] = FdSampler

    def run(self, call: Callable[[], T], work: Work | None = None) -> T:
        """Runs ``call`` on a worker thread and returns its result or raises its exception;
        draws the line once the call has taken ``delay`` seconds."""
        values: list[T] = []
        errors: list[BaseException] = []
        done = threading.Event()

        def work_call() -> None:
            try:
                values.append(call())
            except BaseException as exc:  # handed to the main thread, which re-raises it
                errors.append(exc)
            finally:
                done.set()

        started = self.clock()
        worker = threading.Thread(target=work_call, name="karnid-manifest-call", daemon=True)
        worker.start()
        line = Line(self.stream)
        try:
            sample = self.sampler(work) if self.enabled and work is not None else None
            last: Sample | None = None
            while not done.wait(self.interval):
                elapsed = self.clock() - started
                if sample is None or work is None:
                    continue
                now = sample()
                if now is None and last is not None:
                    # Between files, or hashing what was read: the last file is read through.
                    now = Sample(last.step, work.steps[last.step].size or last.position)
                last = now
                if elapsed >= self.delay:
                    line.draw(status_line(work, now, elapsed, self.width()))
        finally:
            line.erase()
        worker.join()
        if errors:
            raise errors[0]
        return values[0]

    def run_all(self, tasks: Sequence[Callable[[Runner[T]], T]], jobs: int,
                works: Sequence[Work | None] | None = None,
                emit: Callable[[int, T], None] = lambda index, value: None) -> list[T]:
        """Runs the tasks on ``jobs`` worker threads and returns their results in order. Each
        task is given the runner for its long call, which runs it on the task's thread with its
        files sampled for the line. ``emit`` sees each result on this thread, in the tasks'
        order, as soon as it and those before it are finished. A task's exception is raised here
        when its turn comes; Ctrl-C here ends the wait, and the workers end with the process."""
        overall = _Overall(works if works is not None else [None] * len(tasks), self.sampler)
        results: list[Union[tuple[T], BaseException, None]] = [None] * len(tasks)
        changed = threading.Condition()
        queue = iter(range(len(tasks)))

        def worker() -> None:
            while True:
                with changed:
                    index = next(queue, None)
                if index is None:
                    return
                outcome: Union[tuple[T], BaseException]
                try:
                    outcome = (tasks[index](overall.runner(index)),)
                except BaseException as exc:  # handed to the main thread, which re-raises it
                    outcome = exc
                with changed:
                    results[index] = outcome
                    changed.notify_all()

        for number in range(max(1, min(jobs, len(tasks)))):
            threading.Thread(target=worker, name=f"karnid-manifest-call-{number}",
                             daemon=True).start()
        started = self.clock()
        line = Line(self.stream)
        values: list[T] = []
        try:
            while len(values) < len(tasks):
                with changed:
                    if results[len(values)] is None:
                        changed.wait(self.interval)
                    ready: list[tuple[T] | BaseException | None] = []
                    while len(values) + len(ready) < len(tasks) and \
                            results[len(values) + len(ready)] is not None:
                        ready.append(results[len(values) + len(ready)])
                for outcome in ready:
                    line.erase()
                    if isinstance(outcome, BaseException):
                        raise outcome
                    assert outcome is not None
                    values.append(outcome[0])
                    emit(len(values) - 1, outcome[0])
                elapsed = self.clock() - started
                if self.enabled and elapsed >= self.delay and len(values) < len(tasks):
                    running, done = overall.done()
                    finished = sum(result is not None for result in results)
                    line.draw(overall_line(finished, len(tasks), running, done, overall.total,
                                           elapsed, self.width()))
        finally:
            line.erase()
        return values
