"""A FIFO fed by a Python thread, and a guard that ends a run which would otherwise hang.

A call that reads such a FIFO can only finish if the feeding thread runs while the call is in
progress: a call that kept the interpreter lock would wait for the thread forever.
"""

from __future__ import annotations

import contextlib
import faulthandler
import os
import threading
from typing import Iterator


@contextlib.contextmanager
def hang_guard() -> Iterator[None]:
    # A call that kept the interpreter lock while blocked on a pipe would deadlock the writer
    # thread; dump every stack and exit instead of hanging the run. The limit is far beyond what
    # a correct run needs and plays no part in any assertion.
    faulthandler.dump_traceback_later(300, exit=True)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()


class PipeWriter(threading.Thread):
    """Writes `blocks` into the FIFO at `path` and counts the blocks written."""

    def __init__(self, path: os.PathLike[str] | str, blocks: list[bytes]) -> None:
        super().__init__(daemon=True)
        self.path = path
        self.blocks = blocks
        self.written = 0

    def run(self) -> None:
        fd = os.open(self.path, os.O_WRONLY)  # waits for the reader inside the call
        try:
            for block in self.blocks:
                view = memoryview(block)
                while view:
                    view = view[os.write(fd, view) :]
                self.written += 1
        finally:
            os.close(fd)

    def data(self) -> bytes:
        return b"".join(self.blocks)
