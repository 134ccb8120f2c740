"""Builds real index files, row maps and manifests that describe them, for end-to-end tests."""

from __future__ import annotations

import json
import pathlib
from typing import Any

import _karnid_manifest as km

from karnid_manifest import samples

SHAPES = {
    "rank": {"dim": 8, "params": {"kind": "rank"}, "bytes_per_vec": 16},
    "rank_quant": {"dim": 16, "params": {"kind": "rank_quant", "bits": 4}, "bytes_per_vec": 8},
    "bitmap": {"dim": 64, "params": {"kind": "bitmap", "n_top": 8}, "bytes_per_vec": 8},
    "sign_bitmap": {"dim": 64, "params": {"kind": "sign_bitmap"}, "bytes_per_vec": 8},
}


def build(directory: pathlib.Path, *, kind: str = "rank_quant", vectors: int = 5,
          row_map: bool = False, auxiliary: list[dict[str, Any]] | None = None,
          attestations: list[Any] | None = None) -> tuple[pathlib.Path, dict[str, Any]]:
    """Writes an index (and optionally a row map) into `directory` plus a manifest that matches
    them exactly; returns the manifest path and the manifest document."""
    shape = SHAPES[kind]
    directory.mkdir(parents=True, exist_ok=True)
    index = samples.write_index(directory / f"index.{kind}", kind, shape["dim"], vectors,
                                bits=4, n_top=8, seed=vectors)
    digest = km.sha256_file(index)
    document: dict[str, Any] = {
        "schema_version": km.SCHEMA_VERSION,
        "manifest_id": "urn:uuid:11111111-2222-4333-8444-555555555555",
        "created_at": "2026-01-02T03:04:05Z",
        "artifact": {
            "path": index.name,
            "sha256": digest["sha256"],
            "kind": kind,
            "format_version": 1,
            "dim": shape["dim"],
            "vector_count": vectors,
            "bytes_per_vec": shape["bytes_per_vec"],
            "params": shape["params"],
            "file_size_bytes": digest["size_bytes"],
        },
        "embedding": {"model": "test-encoder", "dim": shape["dim"]},
        "row_identity": {"kind": "row_id_identity", "row_count": vectors},
    }
    if row_map:
        rows = samples.write_row_map(directory / "rows.jsonl", vectors, seed=vectors)
        rows_digest = km.sha256_file(rows)
        document["row_identity"] = {"kind": "jsonl", "path": rows.name,
                                    "sha256": rows_digest["sha256"], "row_count": vectors,
                                    "id_kind": "uuid"}
    if auxiliary:
        document["auxiliary_artifacts"] = auxiliary
    if attestations is not None:
        document["attestations"] = attestations
    return write(directory, document), document


def auxiliary_entry(directory: pathlib.Path, name: str, content: bytes | None, *,
                    required: bool = True, path: str | None = None) -> dict[str, Any]:
    """An auxiliary artifact entry; `content` None describes a file that does not exist."""
    file_name = path or f"{name}.bin"
    if content is None:
        return {"name": name, "path": file_name, "sha256": "0" * 64, "file_size_bytes": 1,
                "required": required}
    target = directory / file_name
    target.write_bytes(content)
    digest = km.sha256_file(target)
    return {"name": name, "path": file_name, "sha256": digest["sha256"],
            "file_size_bytes": digest["size_bytes"], "required": required}


def write(directory: pathlib.Path, document: dict[str, Any],
          name: str = "manifest.json") -> pathlib.Path:
    path = directory / name
    path.write_text(json.dumps(document, indent=2), encoding="utf-8")
    return path
