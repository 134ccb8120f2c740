"""A manifest or signature replaced with --force survives SIGKILL at any instant: the old file or
the new one, whole, and nothing else changed. `make test-faults` runs 200 kills."""

from __future__ import annotations

import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).parents[1] / "faults"))
import kill_writes  # noqa: E402


def test_twenty_kills_leave_the_old_file_or_the_new_one_whole(tmp_path: pathlib.Path) -> None:
    pytest.importorskip("cryptography")
    tallies = kill_writes.run(tmp_path, kills=20, seed=20, rows=200_000)
    assert [t.kills for t in tallies.values()] == [10, 10]
    assert [f for t in tallies.values() for f in t.failures] == []
