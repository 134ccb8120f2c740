"""Every function that reads files lets other Python threads run while it works.

Each call reads one of its inputs from a FIFO that a Python thread feeds, so it can only finish if
that thread runs while the call is in progress. A call that kept the interpreter lock would wait
for the thread forever, and the hang guard would end the run.
"""

from __future__ import annotations

import hashlib
import os

import pytest

import _karnid_manifest as km
from karnid_manifest import samples

import manifest_builder as mb
from fifo_writer import PipeWriter, hang_guard


def swap_for_fifo(path):
    """Replaces the file at `path` by a FIFO; returns the file's content."""
    data = path.read_bytes()
    path.unlink()
    os.mkfifo(path)
    return data


@pytest.mark.parametrize("call", ["inspect_manifest", "verify_manifest", "verify_for_load"])
def test_manifest_fed_through_a_pipe(tmp_path, call):
    manifest, document = mb.build(tmp_path)
    writer = PipeWriter(manifest, [swap_for_fifo(manifest)])
    with hang_guard():
        writer.start()
        result = getattr(km, call)(manifest)
        writer.join()
    assert writer.written == 1
    if call == "inspect_manifest":
        assert result["artifact"] == document["artifact"]
    else:
        assert result.get("report", result)["ok"] is True


def test_create_manifest_with_a_row_map_fed_through_a_pipe(tmp_path):
    index = samples.write_index(tmp_path / "index.kdr", "rank", 8, 2000, seed=1)
    rows = samples.write_row_map(tmp_path / "rows.jsonl", 2000, seed=2)
    data = swap_for_fifo(rows)
    # Several pipe-capacity blocks: the thread has to run again and again during the call.
    blocks = [data[i : i + 65536] for i in range(0, len(data), 65536)]
    assert len(blocks) > 1
    writer = PipeWriter(rows, blocks)
    with hang_guard():
        writer.start()
        created = km.create_manifest(index, tmp_path / "manifest.json", "model", row_map=rows)
        writer.join()
    assert writer.written == len(blocks)
    assert created["row_identity"]["sha256"] == hashlib.sha256(data).hexdigest()
