"""Generated sample data: index files of every kind, JSON Lines row maps, profile files.

Used by the demo and handy for experiments; the headers are laid out as :mod:`formats` describes,
so the files probe cleanly (or, after :func:`flip_byte`, fail verification in a known way). The
``*_block`` helpers build manifest profile blocks that describe the generated profile files.
"""

from __future__ import annotations

import json
import os
import random
import struct
import uuid
from pathlib import Path
from typing import Any

import _karnid_manifest

from karnid_manifest import formats


def write_index(path: str | os.PathLike[str], kind: str, dim: int, n_vectors: int, *,
                bits: int = 4, n_top: int = 8, seed: int = 0) -> Path:
    """Writes a well-formed index file with a pseudo-random payload."""
    rng = random.Random(seed)
    size = formats.payload_bytes(kind, dim, n_vectors, bits=bits)
    payload = rng.randbytes(size)
    target = Path(path)
    header = formats.index_header(kind, dim, n_vectors, bits=bits, n_top=n_top)
    target.write_bytes(header + payload)
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


def write_calibration_profile(path: str | os.PathLike[str], dim: int, buckets: int, *,
                              seed: int = 0) -> Path:
    """Writes a bucket-frequency calibration table: ``dim`` rows of ``buckets`` little-endian
    float32 frequencies, each row summing to one (the layout "raw_f32_le", shape [dim, buckets])."""
    rng = random.Random(seed)
    out = bytearray()
    for _ in range(dim):
        weights = [rng.random() + 0.05 for _ in range(buckets)]
        total = sum(weights)
        out += struct.pack(f"<{buckets}f", *(w / total for w in weights))
    target = Path(path)
    target.write_bytes(bytes(out))
    return target


def write_distortion_profile(path: str | os.PathLike[str], samples: int, *, lower: float = 0.5,
                             upper: float = 2.0, seed: int = 0) -> Path:
    """Writes an encoder distortion profile: ``samples`` observed distance ratios between
    ``lower`` and ``upper`` as little-endian float64 values (the layout "raw_f64_le")."""
    rng = random.Random(seed)
    values = [rng.uniform(lower, upper) for _ in range(samples)]
    target = Path(path)
    target.write_bytes(struct.pack(f"<{samples}d", *values))
    return target


def _file_ref(path: Path, manifest_dir: Path) -> dict[str, Any]:
    digest = _karnid_manifest.sha256_file(path)
    return {
        "path": os.path.relpath(path, manifest_dir).replace(os.sep, "/"),
        "sha256": digest["sha256"],
        "file_size_bytes": digest["size_bytes"],
    }


def calibration_block(profile: Path, manifest_dir: Path, *, model: str, dim: int, bits: int,
                      profile_id: str, sample_count: int,
                      created_at: str = "2026-01-01T00:00:00Z") -> dict[str, Any]:
    """A calibration block for a rank_quant index with ``bits`` bits per code: bucket
    ordinalization, a weighted marginal null model and the bucket-frequency table ``profile``
    (written by :func:`write_calibration_profile` with ``2**bits`` buckets)."""
    ref = _file_ref(profile, manifest_dir)
    return {
        "schema_version": "karnid.calibration.v1",
        "profile_id": profile_id,
        "created_at": created_at,
        "calibrated_for": {"model": model, "dim": dim},
        "ordinalization": {"kind": "bucket", "dim": dim, "bits": bits},
        "profile": {
            **ref,
            "dim": dim,
            "sample_count": sample_count,
            "parameterization": "bucket_frequency",
            "format": "raw_f32_le",
            "shape": [dim, 2**bits],
        },
        "null_model": {"kind": "weighted_marginal_profile",
                       "parameterization": "bucket_frequency"},
    }


def encoder_distortion_block(profile: Path, manifest_dir: Path, *, model: str, dim: int,
                             profile_id: str, sample_size: int,
                             calibration_profile_id: str | None = None,
                             lower: float = 0.5, upper: float = 2.0,
                             created_at: str = "2026-01-01T00:00:00Z") -> dict[str, Any]:
    """An encoder distortion block measured on an empirical sample, with declared bounds
    ``lower`` and ``upper`` (the estimated distortion is their ratio) and the profile file
    ``profile`` (written by :func:`write_distortion_profile`)."""
    block: dict[str, Any] = {
        "schema_version": "karnid.encoder_distortion.v1",
        "profile_id": profile_id,
        "created_at": created_at,
        "encoder": {"model": model, "dim": dim},
        "source_metric": {"name": "cosine"},
        "embedding_metric": {"name": "rank_footrule"},
        "bounds": {
            "declared_lower_bound": lower,
            "declared_upper_bound": upper,
            "estimated_distortion": upper / lower,
            "violation_rate": 0.0,
        },
        "scope": {"domain": "generated sample", "sample_size": sample_size, "confidence": 0.95},
        "evidence": {"kind": "empirical_sample", "estimator_id": "karnid-sample-ratio"},
        "profile": {**_file_ref(profile, manifest_dir), "format": "raw_f64_le"},
    }
    if calibration_profile_id is not None:
        block["calibration_profile_id"] = calibration_profile_id
    return block


def with_profile_blocks(manifest: dict[str, Any], *, calibration: dict[str, Any] | None = None,
                        encoder_distortion: dict[str, Any] | None = None) -> dict[str, Any]:
    """A copy of ``manifest`` with the given profile blocks, keys in the schema's order."""
    order = ["schema_version", "manifest_id", "created_at", "artifact", "auxiliary_artifacts",
             "embedding", "encoder_distortion", "calibration", "row_identity", "build",
             "attestations", "extensions"]
    merged = dict(manifest)
    if calibration is not None:
        merged["calibration"] = calibration
    if encoder_distortion is not None:
        merged["encoder_distortion"] = encoder_distortion
    ordered = {key: merged[key] for key in order if key in merged}
    ordered.update({key: value for key, value in merged.items() if key not in ordered})
    return ordered


def flip_byte(path: str | os.PathLike[str], offset: int = -1) -> None:
    """Damages a file in place by inverting the bits of one byte (by default the last one)."""
    target = Path(path)
    data = bytearray(target.read_bytes())
    data[offset] ^= 0xFF
    target.write_bytes(bytes(data))
