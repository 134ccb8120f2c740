"""What the Python fuzz targets share: a scratch directory for inputs that must be files, and the
exceptions each reader is allowed to raise (anything else is a finding)."""

from __future__ import annotations

import os
import tempfile

SCRATCH = tempfile.mkdtemp(prefix="karnid-pyfuzz-", dir="/dev/shm" if os.access(
    "/dev/shm", os.W_OK) else None)


def as_file(data: bytes, name: str = "input") -> str:
    path = os.path.join(SCRATCH, name)
    with open(path, "wb") as out:
        out.write(data)
    return path
