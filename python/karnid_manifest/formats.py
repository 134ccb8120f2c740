"""The persisted index formats as the package knows them: which kind a file's magic names, how
each kind's header is laid out, and how large the payload after it is.

The module probes index headers itself; the package reads a file's first bytes only to tell a
person what a file is ("index.kdrq is a rank_quant index file, not a manifest") and to find the
row count that creation held a row map to, and writes headers for sample data and benchmarks.
Every header is the 4-byte magic, then the fields below, little-endian; the payload follows and
runs to the end of the file.
"""

from __future__ import annotations

import os
import struct
from dataclasses import dataclass

from karnid_manifest.files import read_head


@dataclass(frozen=True)
class IndexFormat:
    kind: str  # as the module names it
    magic: bytes
    legacy_magic: bytes | None
    # The header after the magic: (field, struct code) in file order; empty when the package
    # does not read the header (a format the module only recognises).
    fields: tuple[tuple[str, str], ...]

    @property
    def header(self) -> struct.Struct:
        return struct.Struct("<" + "".join(code for _, code in self.fields))

    @property
    def header_size(self) -> int:
        return len(self.magic) + self.header.size

    @property
    def vector_count_offset(self) -> int | None:
        """Offset of the vector count from the start of the file, or None when the package does
        not read this header."""
        names = [name for name, _ in self.fields]
        if "n_vectors" not in names:
            return None
        before = "".join(code for _, code in self.fields[:names.index("n_vectors")])
        return len(self.magic) + struct.calcsize("<" + before)


_VERSION = ("version", "B")
_DIM = ("dim", "I")
_VECTORS = ("n_vectors", "I")
FORMATS = (
    IndexFormat("rank", b"KDR1", b"QDR1", (_VERSION, _DIM, _VECTORS)),
    IndexFormat("rank_quant", b"KDRQ", b"QDRQ", (_VERSION, ("bits", "B"), _DIM, _VECTORS)),
    IndexFormat("bitmap", b"KDBM", b"QDBM", (_VERSION, _DIM, ("n_top", "I"), _VECTORS)),
    IndexFormat("sign_bitmap", b"KDSB", b"QDSB", (_VERSION, _DIM, _VECTORS)),
    IndexFormat("RankQuantFastscan", b"KDFS", None, ()),
)
_BY_MAGIC = {magic: fmt for fmt in FORMATS for magic in (fmt.magic, fmt.legacy_magic) if magic}
_BY_KIND = {fmt.kind: fmt for fmt in FORMATS if fmt.fields}


def index_format(head: bytes) -> IndexFormat | None:
    return _BY_MAGIC.get(head[:4])


def index_header(kind: str, dim: int, n_vectors: int, *, bits: int = 4, n_top: int = 8,
                 version: int = 1) -> bytes:
    """The header of an index file of one kind; fields the kind does not have are ignored."""
    fmt = _BY_KIND.get(kind)
    if fmt is None:
        raise ValueError(f"unknown index kind {kind!r}")
    values = {"version": version, "bits": bits, "dim": dim, "n_top": n_top,
              "n_vectors": n_vectors}
    return fmt.magic + fmt.header.pack(*(values[name] for name, _ in fmt.fields))


def bytes_per_vector(kind: str, dim: int, *, bits: int = 4) -> int:
    """Payload bytes per vector, as a probe reports them."""
    if kind == "rank":
        return 2 * dim
    if kind == "rank_quant":
        return dim * bits // 8
    return dim // 64 * 8  # bitmap and sign_bitmap: one bit per dimension, in 64-bit words


def payload_bytes(kind: str, dim: int, n_vectors: int, *, bits: int = 4) -> int:
    """Bytes of payload that a header of this shape declares."""
    return n_vectors * bytes_per_vector(kind, dim, bits=bits)


def vector_count(path: str | os.PathLike[str]) -> int | None:
    """The vector count an index header declares, when the package can read it."""
    head = read_head(path, 32)
    fmt = index_format(head or b"")
    if head is None or fmt is None or fmt.vector_count_offset is None:
        return None
    end = fmt.vector_count_offset + 4
    if len(head) < end:
        return None
    return int(struct.unpack_from("<I", head, fmt.vector_count_offset)[0])
