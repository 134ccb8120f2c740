"""The index formats as the command line tool needs to know them: which kind a file's magic names,
and where its header keeps the vector count.

The module probes index headers itself; the tool reads a file's first bytes only to tell a person
what a file is ("index.kdrq is a rank_quant index file, not a manifest") and to find the row count
that creation held a row map to.
"""

from __future__ import annotations

import os
import stat
import struct
from dataclasses import dataclass


@dataclass(frozen=True)
class IndexFormat:
    kind: str  # as the module names it
    magic: bytes
    legacy_magic: bytes | None
    # Offset of the little-endian u32 vector count, or None when the tool cannot read the header.
    vector_count_offset: int | None


FORMATS = (
    IndexFormat("rank", b"KDR1", b"QDR1", 9),
    IndexFormat("rank_quant", b"KDRQ", b"QDRQ", 10),
    IndexFormat("bitmap", b"KDBM", b"QDBM", 13),
    IndexFormat("sign_bitmap", b"KDSB", b"QDSB", 9),
    IndexFormat("RankQuantFastscan", b"KDFS", None, None),
)
_BY_MAGIC = {magic: fmt for fmt in FORMATS for magic in (fmt.magic, fmt.legacy_magic) if magic}
HEAD_BYTES = 4096
_READ_STEP = 1 << 16


def read_head(path: str | os.PathLike[str], size: int = HEAD_BYTES) -> bytes | None:
    """The first ``size`` bytes of a regular file, or None for anything else (missing,
    unreadable, a directory, a FIFO: the open does not block and nothing is read from those)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except (OSError, ValueError):
        return None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None
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


def index_format(head: bytes) -> IndexFormat | None:
    return _BY_MAGIC.get(head[:4])


def vector_count(path: str | os.PathLike[str]) -> int | None:
    """The vector count an index header declares, when the tool can read it."""
    head = read_head(path, 32)
    fmt = index_format(head or b"")
    if head is None or fmt is None or fmt.vector_count_offset is None:
        return None
    end = fmt.vector_count_offset + 4
    if len(head) < end:
        return None
    return int(struct.unpack_from("<I", head, fmt.vector_count_offset)[0])
