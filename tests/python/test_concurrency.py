"""Calls from many threads at once give exactly the results of the same calls made one by one.

Every function releases the interpreter lock while it reads files, so eight threads really do run
their calls side by side. Each thread works on its own files; the only differences between runs
that are allowed are the time of checking in reports and the fresh identifiers and time that
creation stamps.
"""

from __future__ import annotations

import pathlib
import random
import threading
from typing import Any, Callable

import _karnid_manifest as km

import manifest_builder as mb

THREADS = 8
ROUNDS = 3

Outcome = tuple[str, Any]


def normalised(value: Any) -> Any:
    """The value with the run-dependent fields of reports and created manifests removed."""
    if isinstance(value, dict):
        out = {k: normalised(v) for k, v in value.items()
               if k not in ("checked_at", "manifest_id", "created_at", "invocation_id")}
        return out
    if isinstance(value, list):
        return [normalised(item) for item in value]
    return value


def outcome(call: Callable[[], Any]) -> Outcome:
    try:
        return "value", normalised(call())
    except Exception as error:  # the outcome is what is compared
        return "raised", (type(error).__name__, str(error), getattr(error, "__notes__", []))


def workload(directory: pathlib.Path) -> list[tuple[str, Callable[[], Any]]]:
    """Labelled calls of all six functions, on success and failure paths, on files of its own."""
    directory.mkdir()
    aux = [mb.auxiliary_entry(directory, "vocab", directory.name.encode() * 1000),
           mb.auxiliary_entry(directory, "absent", None, required=False)]
    manifest, document = mb.build(directory, vectors=2_000, row_map=True, auxiliary=aux)
    document["attestations"] = [{"predicateType": "t", "subject": [
        {"digest": {"sha256": document["artifact"]["sha256"]}}]}]
    mb.write(directory, document)
    index = directory / document["artifact"]["path"]
    rows = directory / "rows.jsonl"
    broken = dict(document, artifact=dict(document["artifact"], sha256="0" * 64))
    broken_manifest = mb.write(directory, broken, "broken.json")
    (directory / "not-json.json").write_text('{"schema_version": ', encoding="utf-8")
    created = directory / "created.json"

    def create_and_read() -> Any:
        result = km.create_manifest(index, created, "model", row_map=rows,
                                    auxiliary_artifacts=[{"name": "vocab",
                                                          "path": directory / "vocab.bin"}])
        return [result, km.inspect_manifest(created)]

    return [
        ("sha256_file", lambda: km.sha256_file(index)),
        ("sha256_file missing", lambda: km.sha256_file(directory / "absent")),
        ("inspect_manifest", lambda: km.inspect_manifest(manifest)),
        ("inspect_manifest invalid", lambda: km.inspect_manifest(directory / "not-json.json")),
        ("verify_manifest", lambda: km.verify_manifest(manifest)),
        ("verify_manifest failing", lambda: km.verify_manifest(broken_manifest)),
        ("verify_manifest small bound", lambda: km.verify_manifest(broken_manifest,
                                                                   max_report_issues=1)),
        ("verify_for_load", lambda: km.verify_for_load(manifest)),
        ("verify_for_load failing", lambda: km.verify_for_load(broken_manifest)),
        ("create_manifest", create_and_read),
        ("create_manifest failing", lambda: km.create_manifest(directory / "absent",
                                                               created, "m",
                                                               row_id_is_identity=True)),
        ("default_resource_limits", km.default_resource_limits),
        ("argument error", lambda: km.verify_manifest(manifest, max_report_issues=-1)),
    ]


def test_threads_give_the_results_of_sequential_calls(tmp_path):
    workloads = [workload(tmp_path / f"t{n}") for n in range(THREADS)]
    expected = [{label: outcome(call) for label, call in calls} for calls in workloads]
    # The baseline itself covers every path it is meant to.
    kinds = {label: kind for label, (kind, _) in expected[0].items()}
    assert [label for label, kind in kinds.items() if kind == "raised"] == [
        "sha256_file missing", "inspect_manifest invalid", "verify_for_load failing",
        "create_manifest failing", "argument error"]
    assert expected[0]["verify_manifest"][1]["ok"] is True
    assert expected[0]["verify_manifest failing"][1]["ok"] is False

    barrier = threading.Barrier(THREADS)
    mismatches: list[tuple[int, str, Outcome]] = []
    failures: list[BaseException] = []

    def run(n: int) -> None:
        try:
            order = list(workloads[n])
            shuffle = random.Random(n)
            barrier.wait()
            for _ in range(ROUNDS):
                shuffle.shuffle(order)
                for label, call in order:
                    got = outcome(call)
                    if got != expected[n][label]:
                        mismatches.append((n, label, got))
        except BaseException as error:  # reported by the main thread
            failures.append(error)

    threads = [threading.Thread(target=run, args=(n,)) for n in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert mismatches == []
