"""Shared fixtures: a valid manifest document and a helper that writes manifests to disk."""

from __future__ import annotations

import copy
import json
import pathlib
import socket
from typing import Any, Callable

import pytest

# Keys in the order the module writes them back, so json.dumps of a result can be compared with
# json.dumps of this document to check key order as well as content. Values inside "attestations"
# and "extensions" are generic JSON, which comes back with object keys sorted.
SAMPLE_MANIFEST: dict[str, Any] = {
    "schema_version": "karnid.index_manifest.v1",
    "manifest_id": "urn:uuid:0b6f7c9e-8d1a-4c2b-9f3e-5a6d7e8f9a0b",
    "created_at": "2024-01-02T03:04:05Z",
    "artifact": {
        "path": "index.kdrq",
        "sha256": "ab" * 32,
        "kind": "rank_quant",
        "format_version": 1,
        "dim": 8,
        "vector_count": 3,
        "bytes_per_vec": 4,
        "params": {"kind": "rank_quant", "bits": 4},
        "file_size_bytes": 2**64 - 1,
    },
    "auxiliary_artifacts": [
        {
            "name": "vocab",
            "path": "vocab.txt",
            "sha256": "cd" * 32,
            "file_size_bytes": 10,
            "required": False,
        }
    ],
    "embedding": {"model": "encoder-\u00e9\u2713", "dim": 8},
    "row_identity": {"kind": "row_id_identity", "row_count": 3},
    "build": {
        "invocation_id": "urn:uuid:6a1c2d3e-4f50-4a6b-8c7d-9e0f1a2b3c4d",
        "builder_id": "karnid-manifest",
    },
    "attestations": [{"kind": "note", "value": -1.5}],
    "extensions": {"example.org/tuning": {"n": -7, "ratio": 0.1, "unset": None}},
}


@pytest.fixture
def sample_manifest() -> dict[str, Any]:
    """A fresh deep copy of a manifest that parses cleanly (its files need not exist)."""
    return copy.deepcopy(SAMPLE_MANIFEST)


@pytest.fixture
def write_manifest(tmp_path: pathlib.Path) -> Callable[..., pathlib.Path]:
    """write_manifest(document_or_text, name="manifest.json") -> path in tmp_path."""

    def write(document: dict[str, Any] | str, name: str = "manifest.json") -> pathlib.Path:
        path = tmp_path / name
        text = document if isinstance(document, str) else json.dumps(document, indent=2)
        path.write_text(text, encoding="utf-8")
        return path

    return write


@pytest.fixture
def manifest_file(write_manifest, sample_manifest) -> pathlib.Path:
    """The sample manifest written to tmp_path/manifest.json."""
    return write_manifest(sample_manifest)


@pytest.fixture
def no_network(monkeypatch: pytest.MonkeyPatch) -> None:
    """Any attempt to resolve a name or connect a socket in this process fails the test."""

    def refuse(*args: object, **kwargs: object) -> None:
        raise AssertionError(f"network access attempted: {args!r}")

    monkeypatch.setattr(socket, "getaddrinfo", refuse)
    monkeypatch.setattr(socket.socket, "connect", refuse)
