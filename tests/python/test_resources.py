"""Repeated calls do not leak: 20,000 calls of each function, on its success path and on its
failure paths, grow resident memory by less than 8 MiB once a warm-up has filled the
interpreter's and the allocator's caches. A reference leaked in the host layer (a result, an
exception, an argument) or memory leaked in the library adds up far beyond that; a reference
kept to an argument also shows in its reference count, which must come back to where it was.
"""

from __future__ import annotations

import gc
import itertools
import os
import pathlib
import sys
import tempfile
from typing import Any, Callable, Iterator

import pytest

import _karnid_manifest as km

import manifest_builder as mb

# `make bench-leaks` repeats each 100,000 times.
CALLS = int(os.environ.get("KARNID_LEAK_CALLS", "20000"))
WARM_UP = 2_000
MAX_GROWTH = 8 << 20
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes() -> int:
    with open("/proc/self/statm", encoding="ascii") as statm:
        return int(statm.read().split()[1]) * PAGE


def under_asan() -> bool:
    with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
        return "libasan" in maps.read()


@pytest.fixture(scope="module")
def files() -> Iterator[dict[str, pathlib.Path]]:
    # Creation writes a file per call; a memory-backed directory keeps 20,000 of them quick.
    parent = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(dir=parent) as directory:
        base = pathlib.Path(directory)
        aux = [mb.auxiliary_entry(base, "vocab", b"words" * 10)]
        manifest, document = mb.build(base, row_map=True, auxiliary=aux)
        broken = dict(document, manifest_id=" ", created_at="never",
                      artifact=dict(document["artifact"], sha256="0" * 64),
                      extensions={"plain": 1})
        (base / "not-json.json").write_text('{"schema_version": 1,', encoding="utf-8")
        yield {"manifest": manifest, "broken": mb.write(base, broken, "broken.json"),
               "not_json": base / "not-json.json", "index": base / document["artifact"]["path"],
               "rows": base / "rows.jsonl", "vocab": base / "vocab.bin",
               "out": base / "created.json", "absent": base / "absent"}


# Arguments the calls share, whose reference counts must come back to where they were.
AUX = [{"name": "vocab", "path": ""}]
BAD_AUX = [{"name": "only a name"}]


def cases(f: dict[str, pathlib.Path]) -> dict[str, list[Callable[[], Any]]]:
    """For each function and path, the calls to repeat (cycled when there are several)."""
    AUX[0]["path"] = str(f["vocab"])
    aux = AUX
    return {
        "default_resource_limits success": [km.default_resource_limits],
        "default_resource_limits failure": [lambda: km.default_resource_limits(1)],
        "sha256_file success": [lambda: km.sha256_file(f["index"])],
        "sha256_file failure": [lambda: km.sha256_file(f["absent"]),
                                lambda: km.sha256_file(os.fsencode(f["index"]))],
        "inspect_manifest success": [lambda: km.inspect_manifest(f["manifest"])],
        "inspect_manifest failure": [lambda: km.inspect_manifest(f["not_json"]),
                                     lambda: km.inspect_manifest(f["manifest"],
                                                                 max_manifest_bytes=10),
                                     lambda: km.inspect_manifest(f["manifest"],
                                                                 max_report_issues=-1)],
        "verify_manifest success": [lambda: km.verify_manifest(f["manifest"])],
        "verify_manifest failure": [lambda: km.verify_manifest(f["broken"]),
                                    lambda: km.verify_manifest(f["absent"]),
                                    lambda: km.verify_manifest(f["manifest"], index=1)],
        "verify_for_load success": [lambda: km.verify_for_load(f["manifest"])],
        "verify_for_load failure": [lambda: km.verify_for_load(f["broken"]),
                                    lambda: km.verify_for_load(f["not_json"])],
        "create_manifest success": [
            lambda: km.create_manifest(f["index"], f["out"], "model", row_map=f["rows"],
                                       auxiliary_artifacts=aux)],
        "create_manifest failure": [
            lambda: km.create_manifest(f["absent"], f["out"], "m", row_id_is_identity=True),
            lambda: km.create_manifest(f["index"], f["out"], "m"),
            lambda: km.create_manifest(f["index"], f["out"], "m", row_id_is_identity=True,
                                       auxiliary_artifacts=BAD_AUX)],
    }


def repeat(calls: list[Callable[[], Any]], count: int, expect_failure: bool) -> None:
    for call in itertools.islice(itertools.cycle(calls), count):
        try:
            result = call()
        except Exception:
            assert expect_failure
        else:
            assert not expect_failure or isinstance(result, dict)


CASE_NAMES = list(cases({key: pathlib.Path() for key in (
    "manifest", "broken", "not_json", "index", "rows", "vocab", "out", "absent")}))


@pytest.mark.skipif(under_asan(), reason="AddressSanitizer holds freed memory in quarantine")
@pytest.mark.parametrize("name", CASE_NAMES)
def test_repeated_calls_do_not_grow_resident_memory(files, name):
    calls = cases(files)[name]
    expect_failure = name.endswith("failure")
    # Each failure path really fails (a report counts for verify_manifest: it says not ok).
    for call in calls:
        if expect_failure:
            try:
                outcome = call()
            except Exception:
                continue
            assert outcome["ok"] is False, name
        else:
            call()
    repeat(calls, WARM_UP, expect_failure)
    gc.collect()
    arguments = [*files.values(), AUX, AUX[0], AUX[0]["path"], BAD_AUX, BAD_AUX[0]]
    references = [sys.getrefcount(a) for a in arguments]
    before = resident_bytes()
    repeat(calls, CALLS, expect_failure)
    gc.collect()
    growth = resident_bytes() - before
    assert growth < MAX_GROWTH, f"{name}: resident memory grew by {growth} bytes"
    assert [sys.getrefcount(a) for a in arguments] == references, name
