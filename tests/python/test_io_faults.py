"""A sample of the I/O fault matrix (writes, fsync, rename and openat failing in turn, for
create, sign, verify and plan, through the CLI and the API); `make test-faults` runs every call
point with EIO and ENOSPC. Needs libfiu's fiu-run."""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys

import pytest

FAULTS = pathlib.Path(__file__).parents[1] / "faults"
sys.path.insert(0, str(FAULTS))
import io_faults  # noqa: E402


def test_each_failed_write_fsync_rename_and_open_is_a_clear_error(
        tmp_path: pathlib.Path) -> None:
    why = io_faults.fiu_available()
    if why:
        pytest.skip(why)
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        # fiu-run puts its own libraries first; the sanitizer's runtime must come first.
        pytest.skip("fiu-run cannot be combined with the AddressSanitizer preload")
    run = subprocess.run([sys.executable, str(FAULTS / "io_faults.py"), "--sample", "--errno",
                          "EIO", "--build", str(tmp_path)], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert " 0 findings" in run.stdout
