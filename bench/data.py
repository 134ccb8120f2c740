"""Benchmark inputs: index files, row maps and the manifests that describe them.

Everything is generated here, into a directory the caller owns, and described by a manifest
whose digests come from hashlib rather than from the module under test, so that a benchmark's
"ok" check is an independent confirmation that the module did the whole job.
"""

from __future__ import annotations

import hashlib
import json
import os
import random
from pathlib import Path
from typing import Any

from karnid_manifest import formats

MIB = 1 << 20
GIB = 1 << 30
UUID_TEXT_BYTES = 36  # every generated db_id is a hyphenated UUID


def rank_index(path: Path, vectors: int, dim: int) -> dict[str, Any]:
    """Writes a "KDR1" index of `vectors` vectors of `dim` dimensions (2 * dim bytes each) and
    returns its manifest "artifact" block, path relative to the file's directory."""
    per_vector = formats.bytes_per_vector("rank", dim)
    _write_patterned(path, formats.index_header("rank", dim, vectors), vectors * per_vector)
    return _artifact(path, "rank", dim, vectors, per_vector, {"kind": "rank"})


def tiny_quant_index(path: Path, vectors: int) -> dict[str, Any]:
    """A "KDRQ" index of one byte per vector (bits 1, dim 8): the smallest index that can stand
    beside a row map of `vectors` lines, so that hashing it costs next to nothing."""
    header = formats.index_header("rank_quant", 8, vectors, bits=1)
    _write_patterned(path, header, formats.payload_bytes("rank_quant", 8, vectors, bits=1))
    return _artifact(path, "rank_quant", 8, vectors, 1, {"kind": "rank_quant", "bits": 1})


def row_map(path: Path, rows: int, *, seed: int = 1) -> dict[str, Any]:
    """Writes a row map of `rows` lines in the layout the usual writers produce
    ({"row_id": N, "db_id": "<uuid>"}) and returns its manifest "row_identity" block."""
    rng = random.Random(seed)
    digest = hashlib.sha256()
    with open(path, "wb") as out:
        lines: list[str] = []
        for row in range(rows):
            h = f"{rng.getrandbits(128):032x}"
            # Version 4 and the RFC 4122 variant, as a real generator would write them.
            h = h[:12] + "4" + h[13:16] + "89ab"[int(h[16], 16) & 3] + h[17:]
            lines.append(f'{{"row_id": {row}, "db_id": "{h[:8]}-{h[8:12]}-{h[12:16]}-'
                         f'{h[16:20]}-{h[20:]}"}}\n')
            if len(lines) == 65536:
                chunk = "".join(lines).encode()
                digest.update(chunk)
                out.write(chunk)
                lines.clear()
        chunk = "".join(lines).encode()
        digest.update(chunk)
        out.write(chunk)
    return {"kind": "jsonl", "path": path.name, "sha256": digest.hexdigest(), "row_count": rows,
            "id_kind": "uuid"}


def manifest(directory: Path, artifact: dict[str, Any], row_identity: dict[str, Any] | None = None,
             name: str = "manifest.json") -> Path:
    """Writes a manifest for `artifact` (row_id_identity unless `row_identity` is given)."""
    document = {
        "schema_version": "karnid.index_manifest.v1",
        "manifest_id": "urn:uuid:0b6f7c9e-8d1a-4c2b-9f3e-5a6d7e8f9a0b",
        "created_at": "2026-01-02T03:04:05Z",
        "artifact": artifact,
        "embedding": {"model": "bench-encoder", "dim": artifact["dim"]},
        "row_identity": row_identity or {"kind": "row_id_identity",
                                         "row_count": artifact["vector_count"]},
        "build": {"invocation_id": "urn:uuid:6a1c2d3e-4f50-4a6b-8c7d-9e0f1a2b3c4d",
                  "builder_id": "karnid-manifest"},
    }
    target = directory / name
    target.write_text(json.dumps(document, indent=2), encoding="utf-8")
    return target


def warm(path: Path) -> None:
    """Reads a file once so that the timed runs find it in the page cache."""
    with open(path, "rb", buffering=0) as f:
        buf = bytearray(4 * MIB)
        while f.readinto(buf):
            pass


def _write_patterned(path: Path, header: bytes, payload_bytes: int) -> None:
    block = random.Random(payload_bytes).randbytes(4 * MIB)
    with open(path, "wb") as out:
        out.write(header)
        left = payload_bytes
        while left:
            step = min(left, len(block))
            out.write(block[:step])
            left -= step


def _artifact(path: Path, kind: str, dim: int, vectors: int, per_vector: int,
              params: dict[str, Any]) -> dict[str, Any]:
    digest = hashlib.sha256()
    with open(path, "rb", buffering=0) as f:
        while chunk := f.read(4 * MIB):
            digest.update(chunk)
    return {"path": path.name, "sha256": digest.hexdigest(), "kind": kind, "format_version": 1,
            "dim": dim, "vector_count": vectors, "bytes_per_vec": per_vector, "params": params,
            "file_size_bytes": os.path.getsize(path)}
