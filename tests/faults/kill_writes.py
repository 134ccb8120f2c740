"""Kills ``create --force`` and ``sign --force`` with SIGKILL at random instants and checks what
each kill leaves: the old file or the new one, whole, nothing else in the directory changed, and
at most one temporary (``.<name>.<12 hex>.karnid-tmp``), which is then removed as the README says.

    python tests/faults/kill_writes.py [--kills N] [--seed S] [--rows R]

Half the kills go to ``create``, half to ``sign``. The instants are drawn uniformly over the
length of an undisturbed run of the same command, so a kill lands anywhere from start-up to exit.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import random
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from typing import Callable

import _karnid_manifest as km

from karnid_manifest import atomic, samples

# Room for the duplicate check of millions of rows (the default stops near 1.9 million).
TRACK_ALL = ["--max-row-map-tracked-id-bytes", str(1 << 30)]


@dataclass
class Tally:
    length: float = 0.0
    kills: int = 0
    old: int = 0
    new: int = 0
    temporaries: int = 0
    failures: list[str] = field(default_factory=list)


def _cli(*args: str) -> list[str]:
    return [sys.executable, "-m", "karnid_manifest", *args]


def _snapshot(directory: pathlib.Path, skip: set[str]) -> dict[str, tuple[int, int, bytes]]:
    seen = {}
    for path in sorted(directory.iterdir()):
        if path.name in skip or path.name.endswith(atomic.TEMPORARY_SUFFIX):
            continue
        st = path.stat()
        seen[path.name] = (st.st_size, st.st_mtime_ns, path.read_bytes()[:4096])
    return seen


def _temporaries(directory: pathlib.Path, out: pathlib.Path) -> list[pathlib.Path]:
    return sorted(directory.glob(f".{out.name}.*{atomic.TEMPORARY_SUFFIX}"))


def _write_row_map(path: pathlib.Path, rows: int) -> pathlib.Path:
    """A row map of distinct UUIDs, millions of lines in seconds (samples' writer draws each
    identifier at random, which is too slow for the size a one-second create needs)."""
    with path.open("w", encoding="ascii") as out:
        for start in range(0, rows, 100_000):
            out.write("".join(f'{{"row_id": {n}, "db_id": "{n:08x}-0000-4000-8000-{n:012x}"}}\n'
                              for n in range(start, min(rows, start + 100_000))))
    return path


class Scene:
    """An index with a big row map, a manifest and a signature of it, and the two commands."""

    def __init__(self, directory: pathlib.Path, rows: int) -> None:
        self.dir = directory
        directory.mkdir(parents=True, exist_ok=True)
        # create reads, checks and hashes every row-map line: a big one makes the write window
        # a small part of a run that lasts about a second.
        self.index = samples.write_index(directory / "index.rank_quant", "rank_quant", 16, rows,
                                         bits=4, n_top=8, seed=1)
        self.rows = _write_row_map(directory / "rows.jsonl", rows)
        self.manifest = directory / "manifest.json"
        self.signature = directory / "manifest.json.sig"
        self.key = directory / "key.pem"
        self.public = directory / "key.pub.pem"
        from cryptography.hazmat.primitives import serialization
        from cryptography.hazmat.primitives.asymmetric import ec

        private = ec.generate_private_key(ec.SECP256R1())
        self.key.write_bytes(private.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
            serialization.NoEncryption()))
        self.public.write_bytes(private.public_key().public_bytes(
            serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
        subprocess.run(self.create_argv(), check=True, capture_output=True)
        subprocess.run(self.sign_argv(), check=True, capture_output=True)

    def create_argv(self) -> list[str]:
        return _cli("create", str(self.index), "--out", str(self.manifest), "--force",
                    "--embedding-model", "enc", "--row-map", str(self.rows), *TRACK_ALL)

    def sign_argv(self) -> list[str]:
        return _cli("sign", str(self.manifest), "--key", str(self.key), "--signature",
                    str(self.signature), "--force", *TRACK_ALL)

    def manifest_whole(self, data: bytes) -> str | None:
        try:
            document = json.loads(data)
        except ValueError as exc:
            return f"not JSON: {exc}"
        if document.get("schema_version") != km.SCHEMA_VERSION:
            return "no schema_version"
        report = km.verify_manifest(self.manifest, max_row_map_tracked_id_bytes=1 << 30)
        return None if report["ok"] else f"does not verify: {report['errors'][:1]}"

    def signature_whole(self, data: bytes) -> str | None:
        from karnid_manifest import signing

        try:
            signing.verify_manifest_signature(self.manifest, self.signature, self.public)
        except Exception as exc:  # whatever the reader says about a torn bundle
            return f"does not verify: {type(exc).__name__}: {exc}"
        return None


def _timed(argv: list[str]) -> float:
    start = time.monotonic()
    subprocess.run(argv, check=True, capture_output=True)
    return time.monotonic() - start


def _kill_once(scene: Scene, argv: list[str], out: pathlib.Path, delay: float,
               whole: Callable[[bytes], str | None], tally: Tally) -> None:
    old = out.read_bytes()
    before = _snapshot(scene.dir, {out.name})
    process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(delay)
    process.send_signal(signal.SIGKILL)
    process.wait()
    tally.kills += 1
    now = out.read_bytes()
    if now == old:
        tally.old += 1
    else:
        tally.new += 1
    problem = whole(now)
    if problem:
        tally.failures.append(f"{out.name} after a kill at {delay:.3f} s: {problem}")
    leftovers = _temporaries(scene.dir, out)
    if len(leftovers) > 1:
        tally.failures.append(f"{len(leftovers)} temporaries after one kill")
    tally.temporaries += len(leftovers)
    for path in leftovers:  # what the README tells the user to do
        path.unlink()
    after = _snapshot(scene.dir, {out.name})
    if after != before:
        changed = sorted(set(before) ^ set(after) | {n for n in before if before[n] != after.get(n)})
        tally.failures.append(f"other files changed by a kill at {delay:.3f} s: {changed}")


def run(directory: pathlib.Path, kills: int, seed: int, rows: int) -> dict[str, Tally]:
    scene = Scene(directory, rows)
    rng = random.Random(seed)
    jobs = {
        "create": (scene.create_argv(), scene.manifest, scene.manifest_whole),
        "sign": (scene.sign_argv(), scene.signature, scene.signature_whole),
    }
    tallies = {}
    for name, (argv, out, whole) in jobs.items():
        length = _timed(argv)
        tally = tallies[name] = Tally(length=length)
        share = kills // 2 + (kills % 2 if name == "create" else 0)
        for _ in range(share):
            _kill_once(scene, argv, out, rng.uniform(0, length), whole, tally)
    return tallies


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kills", type=int, default=200)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--rows", type=int, default=5_000_000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="karnid-kill-") as scratch:
        tallies = run(pathlib.Path(scratch), args.kills, args.seed, args.rows)
    status = 0
    for name, tally in tallies.items():
        print(f"{name} ({tally.length:.2f} s a run): {tally.kills} kills (seed {args.seed}): old file {tally.old}, "
              f"new file {tally.new}, temporaries left {tally.temporaries}")
        for failure in tally.failures:
            print(f"  FAIL {failure}")
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
