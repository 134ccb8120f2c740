"""The end-to-end demo on generated sample data."""

from __future__ import annotations

import json
import tempfile
from pathlib import Path

import _karnid_manifest as km

from karnid_manifest import samples


def _heading(text: str) -> None:
    print()
    print(f"== {text}")


def _write_sample_manifest(directory: Path) -> Path:
    index = samples.write_index(directory / "index.kdrq", "rank_quant", dim=64, n_vectors=100,
                                bits=4, seed=7)
    digest = km.sha256_file(index)
    manifest = {
        "schema_version": km.SCHEMA_VERSION,
        "manifest_id": "urn:uuid:5f0c6e52-3a4e-4d8e-9a55-2f1f4f0c9b11",
        "created_at": "2026-12-08T00:00:00Z",
        "artifact": {
            "path": index.name,
            "sha256": digest["sha256"],
            "kind": "rank_quant",
            "format_version": 1,
            "dim": 64,
            "vector_count": 100,
            "bytes_per_vec": 32,
            "params": {"kind": "rank_quant", "bits": 4},
            "file_size_bytes": digest["size_bytes"],
        },
        "embedding": {"model": "demo-encoder-small", "dim": 64},
        "row_identity": {"kind": "row_id_identity", "row_count": 100},
        "build": {"invocation_id": "urn:uuid:0b7f3c1e-7d8a-4c52-8f0e-3a5d2b9c6e41",
                  "builder_id": "karnid-manifest demo"},
        "extensions": {"com.example.demo": {"note": "generated sample"}},
    }
    path = directory / "manifest.json"
    path.write_text(json.dumps(manifest, indent=2), encoding="utf-8")
    return path


def run(directory: Path | None = None) -> int:
    if directory is None:
        directory = Path(tempfile.mkdtemp(prefix="karnid-demo-", dir="."))
    directory.mkdir(parents=True, exist_ok=True)
    print(f"karnid-manifest demo in {directory}")

    manifest_path = _write_sample_manifest(directory)
    _heading(f"inspect_manifest({manifest_path})")
    print(json.dumps(km.inspect_manifest(manifest_path), indent=2))

    index_path = directory / "index.kdrq"
    _heading(f"sha256_file({index_path})")
    digest = km.sha256_file(index_path)
    print(f"sha256     {digest['sha256']}")
    print(f"size_bytes {digest['size_bytes']}")
    return 0
