"""sha256_file: streaming digests of whole files, with the interpreter lock released."""

import hashlib
import os
import threading

import pytest

import _karnid_manifest as km

import fifo_writer
from fifo_writer import hang_guard

CHUNK = 65536


@pytest.mark.parametrize("size", [0, 1, CHUNK - 1, CHUNK, CHUNK + 1, 3 * CHUNK + 5])
def test_digest_and_size_of_regular_files(tmp_path, size):
    data = bytes((i * 7 + i // 251) % 256 for i in range(size))
    path = tmp_path / "data.bin"
    path.write_bytes(data)
    assert km.sha256_file(path) == {
        "sha256": hashlib.sha256(data).hexdigest(),
        "size_bytes": size,
    }


def test_empty_file_digest(tmp_path):
    path = tmp_path / "empty"
    path.write_bytes(b"")
    result = km.sha256_file(str(path))
    assert result["sha256"] == "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
    assert list(result) == ["sha256", "size_bytes"]


def test_directory_is_an_oserror(tmp_path):
    with pytest.raises(OSError) as excinfo:
        km.sha256_file(tmp_path)
    assert type(excinfo.value) is OSError
    assert str(excinfo.value).endswith(" (os error 21)")


def test_missing_file_is_an_oserror(tmp_path):
    with pytest.raises(OSError, match=r" \(os error 2\)$") as excinfo:
        km.sha256_file(tmp_path / "missing")
    assert type(excinfo.value) is OSError


def test_path_with_nul_byte_is_refused_not_truncated(tmp_path):
    real = tmp_path / "real"
    real.write_bytes(b"x")
    # The bytes after the NUL must not be dropped silently, which would hash `real`.
    with pytest.raises(OSError, match=r" \(os error 22\)$"):
        km.sha256_file(str(real) + "\0suffix")


class PipeWriter(fifo_writer.PipeWriter):
    """`chunks` pipe-capacity blocks, each of one repeated byte."""

    def __init__(self, path, chunks, seed):
        super().__init__(path, [bytes([(seed + n) % 256]) * CHUNK for n in range(chunks)])

    def expected(self):
        return {
            "sha256": hashlib.sha256(b"".join(self.blocks)).hexdigest(),
            "size_bytes": CHUNK * len(self.blocks),
        }


def test_pipe_is_hashed_while_a_python_thread_feeds_it(tmp_path):
    # Sixteen pipe-capacity blocks cannot fit into the pipe at once, so the writer thread has to
    # keep running Python code while sha256_file is inside its read loop.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    writer = PipeWriter(fifo, chunks=16, seed=1)
    with hang_guard():
        writer.start()
        result = km.sha256_file(fifo)
        writer.join()
    assert writer.written == 16
    assert result == writer.expected()


def test_concurrent_calls_each_get_their_own_digest(tmp_path):
    # Two calls on two threads, each fed by its own Python writer: calls share no state, so each
    # comes back with the digest of its own stream.
    writers, results, threads = [], {}, []
    for n in range(2):
        fifo = tmp_path / f"fifo{n}"
        os.mkfifo(fifo)
        writers.append(PipeWriter(fifo, chunks=8, seed=40 * n))
        threads.append(
            threading.Thread(target=lambda n=n, f=fifo: results.__setitem__(n, km.sha256_file(f)))
        )
    with hang_guard():
        for thread in threads + writers:
            thread.start()
        for thread in threads + writers:
            thread.join()
    assert [writer.written for writer in writers] == [8, 8]
    assert results == {n: writers[n].expected() for n in range(2)}
