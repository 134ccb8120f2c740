"""Eight threads call the module over 20 manifests while another process replaces, truncates and
renames away the files of half of them. Nothing may crash or hang, and each result must be well
formed: a clean report only with the digests the manifest records, a created manifest or a digest
only of bytes that one of the files really held, otherwise issues or an OSError or ValueError
with a message (the module's own OSError carries its number only in the text).

    python tests/faults/stress.py [--threads 8] [--calls 200] [--passes 2]

A pass is THREADS x CALLS calls; resident memory after the last pass must be within 8 MiB of
what it was after the first.
"""

from __future__ import annotations

import argparse
import collections
import hashlib
import os
import pathlib
import random
import subprocess
import sys
import tempfile
import threading
import time
from typing import Any

import _karnid_manifest as km

from karnid_manifest import samples

MANIFESTS = 20
VECTORS = 500
MAX_GROWTH = 8 << 20
# A hang is the finding this ends; the calls take well under a second each.
JOIN_SECONDS = 600


def _digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


class Files:
    """The 20 manifests, the variants each mutated file can hold, and their digests."""

    def __init__(self, root: pathlib.Path) -> None:
        self.root = root
        self.dirs = []
        self.digests: dict[str, set[str]] = {}
        for n in range(MANIFESTS):
            directory = root / f"m{n:02}"
            directory.mkdir()
            index = samples.write_index(directory / "index.rank_quant", "rank_quant", 16,
                                        VECTORS, bits=4, n_top=8, seed=n)
            rows = samples.write_row_map(directory / "rows.jsonl", VECTORS, seed=n)
            km.create_manifest(index, directory / "manifest.json", "enc", row_map=rows)
            # The other content a mutated file takes: a valid index with other vectors, and
            # another row map of the same length.
            samples.write_index(directory / "index.other", "rank_quant", 16, VECTORS, bits=4,
                                n_top=8, seed=n + 1000)
            samples.write_row_map(directory / "rows.other", VECTORS, seed=n + 1000)
            for name, other in (("index.rank_quant", "index.other"), ("rows.jsonl",
                                                                      "rows.other")):
                self.digests[str(directory / name)] = {
                    _digest((directory / name).read_bytes()),
                    _digest((directory / other).read_bytes()), _digest(b"")}
            self.dirs.append(directory)
        self.recorded = {str(d): km.inspect_manifest(d / "manifest.json") for d in self.dirs}


def mutate(dirs: list[pathlib.Path], stop: pathlib.Path, seed: int) -> None:
    """Until ``stop`` exists: replace a file with its other content and back (by rename),
    truncate it to nothing, or rename it away, each restored by a rename of a full copy."""
    rng = random.Random(seed)
    while not stop.exists():
        directory = rng.choice(dirs)
        name, other = rng.choice([("index.rank_quant", "index.other"),
                                  ("rows.jsonl", "rows.other")])
        target = directory / name
        original = directory / f".{name}.orig"
        if not original.exists():
            original.write_bytes(target.read_bytes())
        spare = directory / f".{name}.spare"
        action = rng.randrange(3)
        if action == 0:
            spare.write_bytes((directory / other).read_bytes())
            os.replace(spare, target)
        elif action == 1:
            os.truncate(target, 0)
        else:
            os.replace(target, directory / f".{name}.away")
        time.sleep(rng.uniform(0, 0.002))
        spare.write_bytes(original.read_bytes())
        os.replace(spare, target)


def _resident() -> int:
    with open("/proc/self/statm", encoding="ascii") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def check(files: Files, label: str, directory: pathlib.Path, result: Any) -> str | None:
    """None if ``result`` (a value, or the exception raised) is well formed."""
    # The module's OSError for a missing file carries its number only in the text.
    if isinstance(result, (OSError, ValueError)):
        return None if str(result) else f"{label}: {type(result).__name__} without a message"
    if isinstance(result, BaseException):
        return f"{label}: {type(result).__name__}: {result}"
    recorded = files.recorded[str(directory)]
    index, rows = str(directory / "index.rank_quant"), str(directory / "rows.jsonl")
    if label == "sha256_file":
        return None if result["sha256"] in files.digests[index] else f"sha256_file: {result}"
    if label == "create_manifest":
        artifact = result["artifact"]["sha256"]
        row_map = result["row_identity"]["sha256"]
        if artifact in files.digests[index] and row_map in files.digests[rows]:
            return None
        return f"create_manifest recorded digests no file held: {artifact}, {row_map}"
    if label == "inspect_manifest":
        return None if result == recorded else "inspect_manifest changed"
    if label == "verify_for_load":
        return None  # a plan is returned only for a verification that passed
    if not result["ok"]:
        return None if result["errors"] else "verify_manifest: not ok, and no errors"
    rows_seen, rows_recorded = dict(result["row_identity"]), dict(recorded["row_identity"])
    if (result["artifact"]["sha256"], rows_seen.get("sha256")) != (
            recorded["artifact"]["sha256"], rows_recorded.get("sha256")):
        return "verify_manifest: a clean report with digests the manifest does not record"
    return None


def _kind(result: Any) -> str:
    if isinstance(result, BaseException):
        return "raised"
    return "issues" if result.get("ok") is False else "value"


def one_pass(files: Files, threads: int, calls: int, seed: int,
             kinds: collections.Counter[str]) -> list[str]:
    problems: list[str] = []
    lock = threading.Lock()

    def work(n: int) -> None:
        rng = random.Random(seed * 1000 + n)
        out = files.root / f"created-{n}.json"
        for _ in range(calls):
            directory = rng.choice(files.dirs)
            label = rng.choice(["verify_manifest", "verify_for_load", "inspect_manifest",
                                "create_manifest", "sha256_file"])
            manifest = directory / "manifest.json"
            try:
                if label == "create_manifest":
                    # Outside the manifest's folder, so the paths in it escape on purpose.
                    result: Any = km.create_manifest(
                        directory / "index.rank_quant", out, "enc",
                        row_map=directory / "rows.jsonl", allow_path_escape=True)
                elif label == "sha256_file":
                    result = km.sha256_file(directory / "index.rank_quant")
                else:
                    result = getattr(km, label)(manifest)
            except Exception as exc:  # judged by check()
                result = exc
            problem = check(files, label, directory, result)
            with lock:
                kinds[_kind(result)] += 1
                if problem:
                    problems.append(problem)

    workers = [threading.Thread(target=work, args=(n,), daemon=True) for n in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(JOIN_SECONDS)
        if worker.is_alive():
            problems.append(f"a thread still runs after {JOIN_SECONDS} s")
            break
    return problems


def run(root: pathlib.Path, threads: int, calls: int, passes: int, seed: int) -> tuple[
        list[str], int, collections.Counter[str]]:
    """Returns the problems found, the growth of resident memory from the first pass to the
    last, and how many calls gave a value, issues or an exception."""
    files = Files(root)
    stop = root / "stop"
    mutator = subprocess.Popen([sys.executable, __file__, "--mutate", str(root), str(seed)])
    problems: list[str] = []
    kinds: collections.Counter[str] = collections.Counter()
    sizes = []
    try:
        for n in range(passes):
            problems += one_pass(files, threads, calls, seed + n, kinds)
            sizes.append(_resident())
    finally:
        stop.touch()
        mutator.wait(60)
    if mutator.returncode != 0:
        problems.append(f"the mutating process failed ({mutator.returncode})")
    return problems, sizes[-1] - sizes[0], kinds


def main() -> int:
    if sys.argv[1:2] == ["--mutate"]:
        root = pathlib.Path(sys.argv[2])
        mutate(sorted(root.glob("m0*")), root / "stop", int(sys.argv[3]))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--calls", type=int, default=200)
    parser.add_argument("--passes", type=int, default=3)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="karnid-stress-") as scratch:
        problems, growth, kinds = run(pathlib.Path(scratch), args.threads, args.calls, args.passes,
                               args.seed)
    print(f"{args.passes} passes of {args.threads} threads x {args.calls} calls (seed "
          f"{args.seed}): {len(problems)} problems, resident memory grew {growth >> 10} KiB "
          f"from the first pass to the last; outcomes {dict(kinds)}")
    for problem in sorted(set(problems)):
        print(f"  FAIL {problem}")
    return 1 if problems or growth > MAX_GROWTH else 0


if __name__ == "__main__":
    sys.exit(main())
