"""Write karnid index files, valid or deliberately broken, for tests.

The layouts are written out here on purpose rather than taken from the package's formats.py:
this writer is what checks that description (test_package_readers.py), so it must not share it.

Every header is a 4-byte magic, a version byte, then kind-specific fields
(u8 ``bits``; every other field little-endian u32); the payload follows and
runs to the end of the file:

============  ===============================  ======================
kind          header after magic and version   payload bytes
============  ===============================  ======================
rank          dim, n_vectors                   dim * n * 2
rank_quant    bits (u8), dim, n_vectors        n * (dim * bits // 8)
bitmap        dim, n_top, n_vectors            (dim // 64) * n * 8
sign_bitmap   dim, n_vectors                   (dim // 64) * n * 8
============  ===============================  ======================

Kinds use the manifest's spellings. The defaults (version 1, bits 4, dim 64,
n_top 8, n_vectors 3) give a small valid file of every kind. Break a file by
passing a bad field, ``magic=`` (e.g. ``LEGACY[kind]`` or b"kdrq"),
``payload_adjust=`` (+/- bytes against the declared payload) or ``truncate=``
(keep only that many leading bytes). ``write_kdfs`` writes a file of the
recognised but unprobed "KDFS" format.
"""

from __future__ import annotations

import struct
from pathlib import Path
from typing import Any

CURRENT = {"rank": b"KDR1", "rank_quant": b"KDRQ", "bitmap": b"KDBM", "sign_bitmap": b"KDSB"}
LEGACY = {kind: b"Q" + magic[1:] for kind, magic in CURRENT.items()}
HEADER_SIZE = {"rank": 13, "rank_quant": 14, "bitmap": 17, "sign_bitmap": 13}


def header(kind: str, *, magic: bytes | None = None, version: int = 1, bits: int = 4,
           dim: int = 64, n_top: int = 8, n_vectors: int = 3) -> bytes:
    """The header bytes of ``kind``; fields the kind does not have are ignored."""
    head = (CURRENT[kind] if magic is None else magic) + struct.pack("<B", version)
    if kind == "rank_quant":
        return head + struct.pack("<BII", bits, dim, n_vectors)
    if kind == "bitmap":
        return head + struct.pack("<III", dim, n_top, n_vectors)
    return head + struct.pack("<II", dim, n_vectors)


def bytes_per_vec(kind: str, *, bits: int = 4, dim: int = 64) -> int:
    """Payload bytes per vector, as a successful probe reports them."""
    return {"rank": 2 * dim, "rank_quant": dim * bits // 8}.get(kind, dim // 8)


def payload_size(kind: str, *, bits: int = 4, dim: int = 64, n_vectors: int = 3) -> int:
    """The payload size the header declares."""
    if kind in ("bitmap", "sign_bitmap"):
        return (dim // 64) * n_vectors * 8
    return n_vectors * bytes_per_vec(kind, bits=bits, dim=dim)


def index_bytes(kind: str, *, magic: bytes | None = None, version: int = 1, bits: int = 4,
                dim: int = 64, n_top: int = 8, n_vectors: int = 3, payload_adjust: int = 0,
                truncate: int | None = None) -> bytes:
    """Header plus a patterned payload of the declared size adjusted by ``payload_adjust``."""
    size = payload_size(kind, bits=bits, dim=dim, n_vectors=n_vectors) + payload_adjust
    if size < 0:
        raise ValueError("payload_adjust removes more than the payload")
    data = header(kind, magic=magic, version=version, bits=bits, dim=dim, n_top=n_top,
                  n_vectors=n_vectors)
    data += bytes((i * 7 + 1) & 0xFF for i in range(size))
    return data if truncate is None else data[:truncate]


def write_index(path: str | Path, kind: str, **options: Any) -> Path:
    """Write ``index_bytes(kind, **options)`` to ``path`` and return it as a Path."""
    path = Path(path)
    path.write_bytes(index_bytes(kind, **options))
    return path


def write_kdfs(path: str | Path, tail: bytes = b"\x01" * 16) -> Path:
    """Write a "KDFS" file: the magic and arbitrary bytes (the probe never reads past the magic)."""
    path = Path(path)
    path.write_bytes(b"KDFS" + tail)
    return path
