"""Generated sample data: index files of every kind and JSON Lines row maps.

Used by the demo and handy for experiments; the bytes follow the persisted index layouts exactly,
so the files probe cleanly (or, with the ``damage_*`` helpers, fail in a known way).
"""

from __future__ import annotations

import json
import os
import random
import struct
import uuid
from pathlib import Path

MAGICS = {"rank": b"KDR1", "rank_quant": b"KDRQ", "bitmap": b"KDBM", "sign_bitmap": b"KDSB"}


def index_header(kind: str, dim: int, n_vectors: int, *, bits: int = 4, n_top: int = 8,
                 version: int = 1) -> bytes:
    """The header of an index file of one kind."""
    magic = MAGICS[kind]
    if kind == "rank":
        return magic + struct.pack("<BII", version, dim, n_vectors)
    if kind == "rank_quant":
        return magic + struct.pack("<BBII", version, bits, dim, n_vectors)
    if kind == "bitmap":
        return magic + struct.pack("<BIII", version, dim, n_top, n_vectors)
    if kind == "sign_bitmap":
        return magic + struct.pack("<BII", version, dim, n_vectors)
    raise ValueError(f"unknown index kind {kind!r}")


def payload_bytes(kind: str, dim: int, n_vectors: int, *, bits: int = 4) -> int:
    """Bytes of payload that a header of this shape declares."""
    if kind == "rank":
        return dim * n_vectors * 2
    if kind == "rank_quant":
        return n_vectors * (dim * bits // 8)
    return (dim // 64) * n_vectors * 8


def write_index(path: str | os.PathLike[str], kind: str, dim: int, n_vectors: int, *,
                bits: int = 4, n_top: int = 8, seed: int = 0) -> Path:
    """Writes a well-formed index file with a pseudo-random payload."""
    rng = random.Random(seed)
    size = payload_bytes(kind, dim, n_vectors, bits=bits)
    payload = rng.randbytes(size)
    target = Path(path)
    target.write_bytes(index_header(kind, dim, n_vectors, bits=bits, n_top=n_top) + payload)
    return target


def write_row_map(path: str | os.PathLike[str], rows: int, *, seed: int = 0) -> Path:
    """Writes a JSON Lines row map with one random UUID per row."""
    rng = random.Random(seed)
    target = Path(path)
    with target.open("w", encoding="utf-8") as out:
        for row in range(rows):
            db_id = uuid.UUID(int=rng.getrandbits(128), version=4)
            out.write(json.dumps({"row_id": row, "db_id": str(db_id)}) + "\n")
    return target
