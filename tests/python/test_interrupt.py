"""Ctrl-C ends a long call at once.

While a call streams a file, the module runs the pending signal handlers between blocks; a handler
that raises ends the call with that exception and nothing written. Each call here reads a sparse
index of 128 GiB, the largest an index may be, and the handlers note whether the index is still
open when they run: a handler that waited for the call to return would find it closed.
"""

from __future__ import annotations

import contextlib
import os
import signal
import subprocess
import sys
import threading
from pathlib import Path
from typing import Any, Callable, Iterator

import pytest

import _karnid_manifest as km
from karnid_manifest import formats

import manifest_builder as mb
from fifo_writer import hang_guard

pytestmark = pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")


def huge_index(directory: Path) -> Path:
    """A rank index of 2**21 vectors of 64 KiB: a header, then a hole of 128 GiB."""
    path = directory / "huge.kdr"
    header = formats.index_header("rank", 1 << 15, 1 << 21)
    with open(path, "wb") as stream:
        stream.write(header)
        stream.truncate(len(header) + formats.payload_bytes("rank", 1 << 15, 1 << 21))
    return path


def holds_open(path: Path) -> bool:
    for link in Path("/proc/self/fd").iterdir():
        try:
            if os.readlink(link) == str(path):
                return True
        except OSError:  # closed since the listing
            continue
    return False


def signal_once_open(path: Path, signals: Callable[[], None]) -> threading.Thread:
    """A thread that waits until this process holds `path` open (the call is then reading it)
    and runs `signals`."""

    def run() -> None:
        while not holds_open(path):
            threading.Event().wait(0.01)
        signals()

    return threading.Thread(target=run, daemon=True)


def files_under(directory: Path) -> set[Path]:
    return set(directory.rglob("*"))


@contextlib.contextmanager
def sigint_handler(handler: Callable[[int, Any], None]) -> Iterator[None]:
    previous = signal.signal(signal.SIGINT, handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


# The index replaces the manifest's own and is resolved like a path in it, beside the manifest.
CALLS: dict[str, Callable[[Path, Path, Path], Any]] = {
    "sha256_file": lambda huge, manifest, out: km.sha256_file(huge),
    "verify_manifest": lambda huge, manifest, out: km.verify_manifest(manifest, index=huge.name),
    "verify_for_load": lambda huge, manifest, out: km.verify_for_load(manifest, index=huge.name),
    # The package's calls that record their reads stop alike.
    "verify_manifest_recording_reads": lambda huge, manifest, out: km.verify_manifest(
        manifest, index=huge.name, record_reads=True),
    "verify_for_load_recording_reads": lambda huge, manifest, out: km.verify_for_load(
        manifest, index=huge.name, record_reads=True),
    "create_manifest": lambda huge, manifest, out: km.create_manifest(
        huge, out, "model", row_id_is_identity=True),
}


@pytest.mark.parametrize("call", CALLS)
def test_sigint_raises_keyboard_interrupt_and_leaves_nothing_behind(tmp_path: Path,
                                                                     call: str) -> None:
    huge = huge_index(tmp_path)
    manifest, _ = mb.build(tmp_path)
    before = files_under(tmp_path)
    # Python's own handler, watched: it must run while the call still reads the index, not once
    # the call has returned.
    reading: list[bool] = []

    def default_handler(signum: int, frame: Any) -> None:
        reading.append(holds_open(huge))
        signal.default_int_handler(signum, frame)

    sender = signal_once_open(huge, lambda: os.kill(os.getpid(), signal.SIGINT))
    with hang_guard(), sigint_handler(default_handler):
        sender.start()
        with pytest.raises(KeyboardInterrupt):
            CALLS[call](huge, manifest, tmp_path / "created.json")
        sender.join()
    assert reading == [True]
    assert not holds_open(huge)
    assert files_under(tmp_path) == before


class Stop(Exception):
    pass


def test_a_handler_that_returns_changes_nothing_and_the_exception_raised_is_the_handlers(
        tmp_path: Path) -> None:
    huge = huge_index(tmp_path)
    reading: list[bool] = []
    first_handled = threading.Event()

    def handler(signum: int, frame: Any) -> None:
        reading.append(holds_open(huge))
        if len(reading) > 1:
            raise Stop
        first_handled.set()

    def signals() -> None:
        os.kill(os.getpid(), signal.SIGINT)
        first_handled.wait()
        os.kill(os.getpid(), signal.SIGINT)

    sender = signal_once_open(huge, signals)
    with hang_guard(), sigint_handler(handler):
        sender.start()
        with pytest.raises(Stop):
            km.sha256_file(huge)
        sender.join()
    assert reading == [True, True]


# Exits while a daemon thread hashes the index; tearing the list down keeps the interpreter
# finalizing for longer than the call streams between two checks.
EXIT_DURING_A_CALL = """
import os, sys, threading
import _karnid_manifest as km
def reading():
    for fd in os.listdir("/proc/self/fd"):
        try:  # a descriptor listed a moment ago (the listing's own) may be gone
            if os.readlink(f"/proc/self/fd/{fd}") == sys.argv[1]:
                return True
        except OSError:
            pass
    return False
threading.Thread(target=km.sha256_file, args=(sys.argv[1],), daemon=True).start()
while not reading():
    pass
garbage = [[i] for i in range(1_000_000)]
sys.exit(0)
"""


def test_a_call_on_a_daemon_thread_lets_the_interpreter_exit(tmp_path: Path) -> None:
    # Such a thread may not take the interpreter lock to look for signals: while the interpreter
    # finalizes, that ends the thread with pthread_exit, and its unwinding aborts the process.
    huge = huge_index(tmp_path)
    done = subprocess.run([sys.executable, "-c", EXIT_DURING_A_CALL, str(huge)],
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, "")
