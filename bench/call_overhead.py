#!/usr/bin/env python3
"""Per-call cost of two builds of the module, side by side: successful small calls, the
keyword-binding path, and calls that fail during argument conversion or binding.

    python bench/call_overhead.py [--rounds 7] DIR_A DIR_B
    python bench/call_overhead.py --instructions DIR_A DIR_B

DIR_A and DIR_B each hold a build of _karnid_manifest (a folder that is put first on the child's
PYTHONPATH; "-" means the installed module). Timing: every round runs one child per build, the
order alternating from round to round, each child times every case as the best of five batches,
and the figures are the medians over the rounds. --instructions counts instructions instead, with
valgrind's callgrind (the same count on every run, whatever else the machine is doing): a child
makes one call of the case and then N more, another makes only the first, and the difference
divided by N is the cost of one call. The last column is B / A.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import data  # noqa: E402

CHILD = r"""
import json, sys, timeit
import _karnid_manifest as km
manifest = sys.argv[1]

def fails(call):
    def run():
        try:
            call()
        except TypeError:
            pass
    return run

cases = {
    "default_resource_limits()": km.default_resource_limits,
    "inspect_manifest(m)": lambda: km.inspect_manifest(manifest),
    "inspect_manifest(m, max_manifest_bytes=...)":
        lambda: km.inspect_manifest(manifest, max_manifest_bytes=1 << 20),
    "verify_manifest(m), 4 KiB index": lambda: km.verify_manifest(manifest),
    "TypeError with note: flag given 1": fails(lambda: km.verify_manifest(manifest, allow_path_escape=1)),
    "TypeError with note: path given bytes": fails(lambda: km.sha256_file(b"x")),
    "TypeError: unexpected keyword": fails(lambda: km.sha256_file(bogus=1)),
}
if sys.argv[2] == "time":
    out = {"file": km.__file__}
    for name, call in cases.items():
        loops = 2000 if name.startswith("verify") else 20000
        out[name] = min(timeit.repeat(call, number=loops, repeat=5)) / loops * 1e9
    print(json.dumps(out))
elif sys.argv[2] == "names":
    print(json.dumps([km.__file__, *cases]))
else:
    call = cases[sys.argv[2]]
    for _ in range(1 + int(sys.argv[3])):
        call()
"""

CALLS_COUNTED = 200


def environment(build: str) -> dict[str, str]:
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    if build != "-":
        env["PYTHONPATH"] = build
    return env


def child(build: str, manifest: Path, *args: str) -> str:
    return subprocess.run([sys.executable, "-c", CHILD, str(manifest), *args],
                          env=environment(build), check=True, capture_output=True,
                          text=True).stdout


def instructions(build: str, manifest: Path, case: str, calls: int) -> int:
    result = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
         sys.executable, "-c", CHILD, str(manifest), case, str(calls)],
        env={**environment(build), "PYTHONHASHSEED": "0"}, check=True, capture_output=True,
        text=True)
    return int(re.search(r"Collected\s*:\s*(\d+)", result.stderr).group(1))


def table(files: tuple[str, str], rows: list[tuple[str, float, float]], unit: str) -> None:
    print(f"A: {files[0]}\nB: {files[1]}\n")
    print(f"| call | A {unit} | B {unit} | B / A |\n|---|---|---|---|")
    for name, a, b in rows:
        print(f"| `{name}` | {a:,.0f} | {b:,.0f} | {b / a:.3f} |")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build_a")
    parser.add_argument("build_b")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--instructions", action="store_true")
    args = parser.parse_args()
    builds = (args.build_a, args.build_b)
    with tempfile.TemporaryDirectory(prefix="karnid-calls-") as work:
        directory = Path(work)
        manifest = data.manifest(directory, data.rank_index(directory / "index.kdr1", 256, 8))
        listings = [json.loads(child(build, manifest, "names")) for build in builds]
        files = (listings[0][0], listings[1][0])
        names = listings[0][1:]
        if args.instructions:
            rows = []
            for name in names:
                per_call = [(instructions(build, manifest, name, CALLS_COUNTED)
                             - instructions(build, manifest, name, 0)) / CALLS_COUNTED
                            for build in builds]
                rows.append((name, per_call[0], per_call[1]))
            table(files, rows, "instructions/call")
            return 0
        runs: list[list[dict[str, float]]] = [[], []]
        for round_number in range(args.rounds):
            for side in (0, 1) if round_number % 2 == 0 else (1, 0):
                runs[side].append(json.loads(child(builds[side], manifest, "time")))
    rows = [(name, statistics.median(run[name] for run in runs[0]),
             statistics.median(run[name] for run in runs[1])) for name in names]
    table(files, rows, "ns/call")
    return 0


if __name__ == "__main__":
    sys.exit(main())
