"""The package's own reads of files (the tool's hints and the creation checks read index headers
and row maps besides the module): headers as formats.py describes them, checked against the
independent writer in index_files.py, and files that are not regular files never read and never
waited on."""

from __future__ import annotations

import errno
import os
from pathlib import Path
from typing import Any, Callable

import pytest

import index_files
from fifo_writer import hang_guard
from karnid_manifest import explain, files, formats


@pytest.mark.parametrize("kind", sorted(index_files.CURRENT))
@pytest.mark.parametrize("legacy", [False, True])
def test_header_layouts_match_an_independent_writer(tmp_path: Path, kind: str,
                                                    legacy: bool) -> None:
    magic = index_files.LEGACY[kind] if legacy else None
    path = index_files.write_index(tmp_path / "index", kind, magic=magic, dim=128,
                                   n_vectors=70_000, n_top=5, bits=2)
    fmt = formats.index_format(path.read_bytes())
    assert fmt is not None and fmt.kind == kind
    assert formats.vector_count(path) == 70_000
    written = formats.index_header(kind, 128, 70_000, n_top=5, bits=2)
    assert written == index_files.header(kind, dim=128, n_vectors=70_000, n_top=5, bits=2)
    assert fmt.header_size == index_files.HEADER_SIZE[kind] == len(written)
    assert formats.payload_bytes(kind, 128, 70_000, bits=2) == index_files.payload_size(
        kind, dim=128, n_vectors=70_000, bits=2)


READERS: dict[str, Callable[[str], Any]] = {
    "head": files.read_head,
    "vector count": formats.vector_count,
    "line count": explain.count_lines,
    "line length": lambda path: explain.line_length(path, 0),
    "first db_id": explain.first_db_id,
    "what the file is": lambda path: explain.not_a_manifest(path, "x"),
}


@pytest.mark.parametrize("kind", ["fifo", "directory"])
def test_readers_skip_what_is_not_a_regular_file(tmp_path: Path, kind: str) -> None:
    special = tmp_path / kind
    if kind == "fifo":
        os.mkfifo(special)  # no writer: an open that blocks would wait for ever
    else:
        special.mkdir()
    with hang_guard():
        outcomes = {name: read(str(special)) for name, read in READERS.items()}
    assert outcomes == dict.fromkeys(READERS)
    with pytest.raises(files.NotRegularFileError) as caught:
        os.close(files.open_regular(special))
    assert caught.value.errno == (None if kind == "fifo" else errno.EISDIR)
