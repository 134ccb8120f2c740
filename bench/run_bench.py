#!/usr/bin/env python3
"""Benchmarks of the native module against references measured in the same run.

Every measurement runs several times, interleaved with its reference (the order rotates from
round to round, so drift on a shared machine hits both sides alike), and the figures are medians.
Inputs are generated into a temporary directory under /tmp that is removed at the end.

    python bench/run_bench.py            # quick: 256 MiB files, 500,000-line row map
    python bench/run_bench.py --full     # the full sizes: 1 GiB files, 2,000,000 lines
    python bench/run_bench.py --only a,c --markdown out.md

Figures (ratio = median of ours / median of the reference unless said otherwise):
  a  sha256_file of the big index vs `openssl dgst -sha256`                         <= 1.05
  b  verify_manifest, big index, row_id_identity vs openssl of the index            <= 1.10
  c  verify_manifest with the big row map vs openssl of the row map                 <= 2.0
  d  pure-Python validator of the same rules / verify_manifest of (c) (speed-up)    >= 25
  e  peak RSS of a fresh process doing (c) / (1.5 x tracked db_id bytes + 64 MiB)   <= 1.0
  f  verify_manifest and inspect_manifest calls per second, 4 KiB index             >= 5,000 / 20,000
  g  two threads verifying one big index each / the same two one after the other    <= 0.6
  h  create_manifest (big index + row map) vs verify_manifest of what it created    <= 1.10
  i  SIGINT to KeyboardInterrupt during sha256_file, verify_manifest and create_manifest
     of the warm big index (and, at full scale, verify_manifest of the row map of (c)):
     the worst of several signals, against the bound of 100 ms                         < 1.0
  j  CPU time of sha256_file and verify_manifest of the big index on the main thread, which
     stops every 16 MiB to run signal handlers, vs the same call on a thread (no stops)  <= 1.03
  k  open_verified of the big index (verify, open, close) vs verify_for_load          <= 1.05
  l  `verify -j 2` of 64 small manifests vs `-j 1` (speed-up)                        report
  m  `verify -j 2` of 8 manifests of 256 MiB each vs `-j 1` (speed-up)               >= 1.8
  n  `karnid-manifest --version` / `verify` of a small manifest, whole processes,
     vs `python -c pass`                                                             report
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

sys.path.insert(0, str(Path(__file__).resolve().parent))

import data  # noqa: E402
import pyvalidate  # noqa: E402

import _karnid_manifest as km  # noqa: E402
import karnid_manifest  # noqa: E402

# The command line tool installed beside this interpreter.
TOOL = Path(sys.executable).parent / "karnid-manifest"

# (c) asks for limits raised so that a 2,000,000-line map of UUIDs (72 MB of identifiers, above
# the 64 MiB default) passes.
RAISED_LIMITS = {"max_row_map_tracked_id_bytes": 1 << 40, "max_row_map_rows": 1 << 40}


@dataclass(frozen=True)
class Scale:
    name: str
    index_vectors: int  # of a KDR1 index with dim 256 (512 bytes per vector)
    rows: int           # lines of the row map of (c), (d), (e)
    create_rows: int    # lines of the row map of (h), and vectors of its index
    reps: int
    python_reps: int
    small_calls: int    # calls per timed batch in (f)


QUICK = Scale("quick", 1 << 19, 500_000, 250_000, reps=5, python_reps=3, small_calls=2000)
FULL = Scale("full", 1 << 21, 2_000_000, 1_000_000, reps=9, python_reps=3, small_calls=5000)
INDEX_DIM = 256
# (i): signals per call, the longest acceptable time from a signal to its KeyboardInterrupt,
# and the module's interval between two looks for signals (a file must span several).
INTERRUPTS = 15
CHECK_BYTES = 16 * data.MIB
INTERRUPT_BOUND = 0.100


@dataclass
class Figure:
    key: str
    what: str
    ours: str
    reference: str
    ratio: float
    target: str
    holds: bool


def median_times(cases: dict[str, Callable[[], object]], reps: int,
                 warmup: int = 1) -> dict[str, float]:
    """Median wall time of each case over `reps` rounds; each round runs every case once, the
    starting case rotating from round to round."""
    names = list(cases)
    for _ in range(warmup):
        for name in names:
            cases[name]()
    samples: dict[str, list[float]] = {name: [] for name in names}
    for r in range(reps):
        k = r % len(names)
        for name in names[k:] + names[:k]:
            start = time.perf_counter()
            cases[name]()
            samples[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in samples.items()}


def openssl_sha256(path: Path) -> Callable[[], None]:
    def run() -> None:
        subprocess.run(["openssl", "dgst", "-sha256", str(path)], check=True,
                       stdout=subprocess.DEVNULL)
    return run


def verify_clean(manifest: Path, **limits: int) -> Callable[[], dict]:
    def run() -> dict:
        report = km.verify_manifest(manifest, **limits)
        if not report["ok"]:
            raise SystemExit(f"benchmark input does not verify: {report['errors'][:3]}")
        return report
    return run


def interrupt_latency(call: Callable[[], object], delay: float) -> float | None:
    """Seconds from a SIGINT sent `delay` seconds into `call` to the KeyboardInterrupt it raises
    here, in the main thread, which alone runs signal handlers; None when the call ended first
    and no signal was sent."""
    sent: list[float] = []
    returned = threading.Event()

    def send() -> None:
        if not returned.wait(delay):
            sent.append(time.perf_counter())
            os.kill(os.getpid(), signal.SIGINT)

    sender = threading.Thread(target=send)
    sender.start()
    # A signal sent just as the call returns arrives while the sender is joined: it is caught
    # here too, never by the code after.
    try:
        try:
            call()
        finally:
            returned.set()
            sender.join()
    except KeyboardInterrupt:
        return time.perf_counter() - sent[0]
    return None


def on_a_thread(call: Callable[[], object]) -> Callable[[], None]:
    """`call` run on a thread of its own, which never stops to run signal handlers."""
    def run() -> None:
        worker = threading.Thread(target=call)
        worker.start()
        worker.join()
    return run


def ms(seconds: float) -> str:
    return f"{seconds * 1000:.1f} ms"


def mib(n_bytes: float) -> str:
    return f"{n_bytes / data.MIB:.1f} MiB"


class Bench:
    def __init__(self, scale: Scale, work: Path) -> None:
        self.scale = scale
        self.work = work
        self.figures: list[Figure] = []
        self._big = None
        self._rows = None
        self._create = None

    # ---- inputs, made on first use ----

    def big(self) -> tuple[Path, dict, Path]:
        """The big index, its artifact block and a row_id_identity manifest for it."""
        if self._big is None:
            directory = self.work / "big"
            directory.mkdir()
            index = directory / "index.kdr1"
            artifact = data.rank_index(index, self.scale.index_vectors, INDEX_DIM)
            self._big = (index, artifact, data.manifest(directory, artifact))
        return self._big

    def rows(self) -> tuple[Path, Path]:
        """The big row map and a manifest for it (beside a one-byte-per-vector index)."""
        if self._rows is None:
            directory = self.work / "rows"
            directory.mkdir()
            artifact = data.tiny_quant_index(directory / "index.kdrq", self.scale.rows)
            rows = directory / "rows.jsonl"
            identity = data.row_map(rows, self.scale.rows)
            self._rows = (rows, data.manifest(directory, artifact, identity))
        return self._rows

    def create_inputs(self) -> tuple[Path, Path, Path]:
        """An index about as big as the big one with `create_rows` vectors, its row map, and a
        row_id_identity manifest for the index (the second index of (g))."""
        if self._create is None:
            directory = self.work / "create"
            directory.mkdir()
            vectors = self.scale.create_rows
            dim = round(self.scale.index_vectors * INDEX_DIM / vectors)
            index = directory / "index.kdr1"
            artifact = data.rank_index(index, vectors, dim)
            rows = directory / "rows.jsonl"
            data.row_map(rows, vectors, seed=2)
            self._create = (index, rows, data.manifest(directory, artifact, name="identity.json"))
        return self._create

    # ---- the figures ----

    def a(self) -> None:
        index, artifact, _ = self.big()
        data.warm(index)
        got = km.sha256_file(index)
        assert got == {"sha256": artifact["sha256"], "size_bytes": artifact["file_size_bytes"]}
        t = median_times({"ours": lambda: km.sha256_file(index),
                          "openssl": openssl_sha256(index)}, self.scale.reps)
        ratio = t["ours"] / t["openssl"]
        self.figures.append(Figure("a", f"sha256_file, {mib(artifact['file_size_bytes'])}",
                                   ms(t["ours"]), ms(t["openssl"]) + " openssl", ratio, "<= 1.05",
                                   ratio <= 1.05))

    def b(self) -> None:
        index, artifact, manifest = self.big()
        data.warm(index)
        t = median_times({"ours": verify_clean(manifest), "openssl": openssl_sha256(index)},
                         self.scale.reps)
        ratio = t["ours"] / t["openssl"]
        self.figures.append(Figure("b", f"verify_manifest, {mib(artifact['file_size_bytes'])} "
                                   "index, row_id_identity", ms(t["ours"]),
                                   ms(t["openssl"]) + " openssl", ratio, "<= 1.10", ratio <= 1.10))

    def c(self) -> None:
        rows, manifest = self.rows()
        data.warm(rows)
        verify = verify_clean(manifest, **RAISED_LIMITS)
        assert verify()["row_identity"]["validated_rows"] == self.scale.rows
        t = median_times({"ours": verify, "openssl": openssl_sha256(rows)}, self.scale.reps)
        ratio = t["ours"] / t["openssl"]
        self.figures.append(Figure("c", f"verify_manifest, {self.scale.rows:,}-line row map "
                                   f"({mib(rows.stat().st_size)})", ms(t["ours"]),
                                   ms(t["openssl"]) + " openssl", ratio, "<= 2.0 (aim 1.5)",
                                   ratio <= 2.0))

    def d(self) -> None:
        rows, manifest = self.rows()
        data.warm(rows)
        declared = json.loads(manifest.read_text())["row_identity"]
        check = pyvalidate.validate(str(rows), self.scale.rows,
                                    max_tracked_bytes=RAISED_LIMITS["max_row_map_tracked_id_bytes"])
        # The reference must have done the same work: the whole file, the same digest, no issue.
        assert check.sha256 == declared["sha256"] and not check.issues, check.issues[:3]
        assert check.parsed_rows == self.scale.rows
        t = median_times({
            "ours": verify_clean(manifest, **RAISED_LIMITS),
            "python": lambda: pyvalidate.validate(
                str(rows), self.scale.rows,
                max_tracked_bytes=RAISED_LIMITS["max_row_map_tracked_id_bytes"]),
        }, self.scale.python_reps, warmup=0)
        speedup = t["python"] / t["ours"]
        self.figures.append(Figure("d", "row map of (c) vs pure-Python validator (speed-up)",
                                   ms(t["ours"]), ms(t["python"]) + " Python", speedup, ">= 25",
                                   speedup >= 25))

    def e(self) -> None:
        rows, manifest = self.rows()
        data.warm(rows)
        peaks = []
        for _ in range(3):
            out = subprocess.run([sys.executable, str(Path(__file__).resolve()),
                                  "--peak-rss-child", str(manifest)],
                                 check=True, capture_output=True, text=True)
            peaks.append(json.loads(out.stdout))
        peak = statistics.median(p["peak_bytes"] for p in peaks)
        baseline = statistics.median(p["baseline_bytes"] for p in peaks)
        tracked = self.scale.rows * data.UUID_TEXT_BYTES
        bound = 1.5 * tracked + 64 * data.MIB
        ratio = peak / bound
        self.figures.append(Figure("e", f"peak RSS of a process doing (c) (before the call: "
                                   f"{mib(baseline)}; tracked ids {mib(tracked)})", mib(peak),
                                   mib(bound) + " bound", ratio, "<= 1.0", ratio <= 1.0))

    def f(self) -> None:
        directory = self.work / "small"
        directory.mkdir()
        artifact = data.rank_index(directory / "index.kdr1", 256, 8)  # 4096-byte payload
        manifest = data.manifest(directory, artifact)
        verify_clean(manifest)()
        n = self.scale.small_calls

        def verify_batch() -> None:
            for _ in range(n):
                km.verify_manifest(manifest)

        def inspect_batch() -> None:
            for _ in range(n):
                km.inspect_manifest(manifest)

        t = median_times({"verify": verify_batch, "inspect": inspect_batch}, self.scale.reps)
        for name, key_target in (("verify", 5000), ("inspect", 20000)):
            rate = n / t[name]
            self.figures.append(Figure("f", f"{name}_manifest calls per second, 4 KiB index",
                                       f"{rate:,.0f}/s", f"{key_target:,}/s target",
                                       rate / key_target, ">= 1.0 (of target)",
                                       rate >= key_target))

    def g(self) -> None:
        index1, _, manifest1 = self.big()
        index2, _, manifest2 = self.create_inputs()
        data.warm(index1)
        data.warm(index2)
        verify1, verify2 = verify_clean(manifest1), verify_clean(manifest2)

        def sequential() -> None:
            verify1()
            verify2()

        def parallel() -> None:
            failures: list[BaseException] = []

            def run(fn: Callable[[], object]) -> None:
                try:
                    fn()
                except BaseException as e:  # re-raised below, in the timing thread
                    failures.append(e)

            threads = [threading.Thread(target=run, args=(fn,)) for fn in (verify1, verify2)]
            for th in threads:
                th.start()
            for th in threads:
                th.join()
            if failures:
                raise failures[0]

        # CPU time over wall time of the parallel runs: near 2 when both threads really ran at
        # once, near 1 when they took turns (the interpreter lock held, or one free core).
        busy: list[float] = []

        def parallel_measured() -> None:
            cpu, wall = time.process_time(), time.perf_counter()
            parallel()
            busy.append((time.process_time() - cpu) / (time.perf_counter() - wall))

        t = median_times({"parallel": parallel_measured, "sequential": sequential},
                         self.scale.reps)
        ratio = t["parallel"] / t["sequential"]
        self.figures.append(Figure("g", "two threads, one big index each, vs one after the other "
                                   f"(CPU/wall while parallel: {statistics.median(busy):.2f})",
                                   ms(t["parallel"]), ms(t["sequential"]) + " sequential", ratio,
                                   "<= 0.6", ratio <= 0.6))

    def h(self) -> None:
        index, rows, _ = self.create_inputs()
        data.warm(index)
        data.warm(rows)
        out = self.work / "create" / "manifest.json"

        def create() -> None:
            km.create_manifest(index, out, "bench-encoder", row_map=rows)

        create()
        t = median_times({"create": create, "verify": verify_clean(out)}, self.scale.reps)
        ratio = t["create"] / t["verify"]
        self.figures.append(Figure("h", f"create_manifest, {mib(index.stat().st_size)} index + "
                                   f"{self.scale.create_rows:,}-line row map", ms(t["create"]),
                                   ms(t["verify"]) + " verify", ratio, "<= 1.10", ratio <= 1.10))

    def k(self) -> None:
        index, artifact, manifest = self.big()
        data.warm(index)

        def opened() -> None:
            with karnid_manifest.open_verified(manifest) as verified:
                verified.index.read(1)

        t = median_times({"open_verified": opened,
                          "verify_for_load": lambda: km.verify_for_load(manifest)},
                         self.scale.reps)
        ratio = t["open_verified"] / t["verify_for_load"]
        self.figures.append(Figure("k", f"open_verified, {mib(artifact['file_size_bytes'])} "
                                   "index (verify, open, close)", ms(t["open_verified"]),
                                   ms(t["verify_for_load"]) + " verify_for_load", ratio,
                                   "<= 1.05", ratio <= 1.05))


    def i(self) -> None:
        index, _, manifest = self.big()
        rows, rows_manifest = self.rows()
        out = index.parent / "interrupted.json"
        calls: dict[str, Callable[[], object]] = {
            "sha256_file": lambda: km.sha256_file(index),
            "verify_manifest": verify_clean(manifest),
            "create_manifest": lambda: km.create_manifest(index, out, "bench-encoder",
                                                          row_id_is_identity=True),
        }
        if rows.stat().st_size > 2 * CHECK_BYTES:
            calls["verify_manifest of the row map"] = verify_clean(rows_manifest,
                                                                   **RAISED_LIMITS)
        data.warm(index)
        data.warm(rows)
        # Signals land anywhere in the middle of the call: between two looks at any point.
        rng = random.Random(7)
        for name, call in calls.items():
            measured = whole = median_times({name: call}, 3)[name]
            out.unlink(missing_ok=True)
            latencies: list[float] = []
            while len(latencies) < INTERRUPTS:
                latency = interrupt_latency(call, rng.uniform(0.1, 0.7) * whole)
                if latency is None:  # faster than it was measured: aim earlier
                    whole /= 2
                else:
                    latencies.append(latency)
            if out.exists():
                raise SystemExit("an interrupted create_manifest wrote its manifest")
            worst = max(latencies)
            self.figures.append(Figure(
                "i", f"SIGINT to KeyboardInterrupt during {name} ({ms(measured)} uninterrupted), "
                f"worst of {INTERRUPTS} (median {ms(statistics.median(latencies))})", ms(worst),
                ms(INTERRUPT_BOUND) + " bound", worst / INTERRUPT_BOUND, "< 1.0",
                worst < INTERRUPT_BOUND))

    def j(self) -> None:
        # Wall time scatters by more than the checks could cost on a shared machine; the CPU
        # time of the process (the waiting main thread uses none) is what the checks add to.
        index, artifact, manifest = self.big()
        data.warm(index)
        for name, call in (("sha256_file", lambda: km.sha256_file(index)),
                           ("verify_manifest", verify_clean(manifest))):
            wall: dict[str, list[float]] = {"main": [], "thread": []}
            cpu: dict[str, list[float]] = {"main": [], "thread": []}
            cases = {"main": call, "thread": on_a_thread(call)}
            for r in range(2 * self.scale.reps + 1):
                for case in (("main", "thread") if r % 2 else ("thread", "main")):
                    started, used = time.perf_counter(), time.process_time()
                    cases[case]()
                    wall[case].append(time.perf_counter() - started)
                    cpu[case].append(time.process_time() - used)
            cpu_main, cpu_thread = statistics.median(cpu["main"]), statistics.median(cpu["thread"])
            ratio = cpu_main / cpu_thread
            self.figures.append(Figure(
                "j", f"{name}, {mib(artifact['file_size_bytes'])}, on the main thread (signal "
                f"checks) vs on a thread (none), CPU time (wall {ms(statistics.median(wall['main']))}"
                f" vs {ms(statistics.median(wall['thread']))})", ms(cpu_main),
                ms(cpu_thread) + " on a thread", ratio, "<= 1.03", ratio <= 1.03))


    def _tool(self, *args: str) -> Callable[[], None]:
        def run() -> None:
            subprocess.run([str(TOOL), *args], check=True, stdout=subprocess.DEVNULL)
        return run

    def _jobs_figure(self, key: str, what: str, manifests: list[Path], target: float | None,
                     reps: int) -> None:
        names = [str(m) for m in manifests]
        two = self._tool("verify", "--status", "-j", "2", *names)
        # CPU time over wall time of the -j 2 runs, as in (g): near 2 when both workers had a
        # core, near 1 when other work on the machine left them one.
        busy: list[float] = []

        def two_measured() -> None:
            before = os.times()
            two()
            after = os.times()
            cpu = (after.children_user + after.children_system
                   - before.children_user - before.children_system)
            busy.append(cpu / (after.elapsed - before.elapsed))

        t = median_times({"j2": two_measured,
                          "j1": self._tool("verify", "--status", "-j", "1", *names)}, reps)
        speedup = t["j1"] / t["j2"]
        what += f" (CPU/wall of -j 2: {statistics.median(busy):.2f})"
        self.figures.append(Figure(key, what, ms(t["j2"]) + " -j 2", ms(t["j1"]) + " -j 1",
                                   speedup, f">= {target}" if target else "report",
                                   target is None or speedup >= target))

    def l(self) -> None:
        directory = self.work / "many"
        directory.mkdir()
        manifests = []
        for n in range(64):
            sub = directory / f"m{n:02d}"
            sub.mkdir()
            manifests.append(data.manifest(sub, data.rank_index(sub / "index.kdr1", 256, 8)))
        self._jobs_figure("l", "verify of 64 small manifests, -j 2 vs -j 1 (speed-up)",
                          manifests, None, self.scale.reps)

    def m(self) -> None:
        directory = self.work / "eight"
        directory.mkdir()
        manifests = []
        for n in range(8):
            sub = directory / f"m{n}"
            sub.mkdir()
            index = sub / "index.kdr1"
            # 256 MiB each (512-byte vectors).
            artifact = data.rank_index(index, (256 * data.MIB) // (2 * INDEX_DIM), INDEX_DIM)
            manifests.append(data.manifest(sub, artifact))
        for manifest in manifests:
            data.warm(manifest.parent / "index.kdr1")
        self._jobs_figure("m", "verify of 8 manifests of 256 MiB each, -j 2 vs -j 1 (speed-up)",
                          manifests, 1.8, max(3, self.scale.reps // 2))
        shutil.rmtree(directory)

    def n(self) -> None:
        directory = self.work / "startup"
        directory.mkdir()
        manifest = data.manifest(directory, data.rank_index(directory / "index.kdr1", 256, 8))

        def python_pass() -> None:
            subprocess.run([sys.executable, "-c", "pass"], check=True)

        t = median_times({"version": self._tool("--version"),
                          "verify": self._tool("verify", str(manifest)),
                          "python": python_pass}, self.scale.reps * 4)
        for name, what in (("version", "karnid-manifest --version"),
                           ("verify", "karnid-manifest verify, small manifest")):
            ratio = t[name] / t["python"]
            self.figures.append(Figure("n", f"{what}, whole process", ms(t[name]),
                                       ms(t["python"]) + " python -c pass", ratio, "report",
                                       True))


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            info = f.read()
    except OSError:
        return platform.processor() or "unknown"
    model = next((line.split(":", 1)[1].strip() for line in info.splitlines()
                  if line.startswith("model name")), "unknown")
    flags = next((line.split(":", 1)[1].split() for line in info.splitlines()
                  if line.startswith("flags")), [])
    extras = [f for f in ("sha_ni", "avx2", "avx512f") if f in flags]
    return f"{model} ({os.cpu_count()} CPUs; {', '.join(extras) or 'no SHA extensions'})"


def environment() -> list[tuple[str, str]]:
    openssl = subprocess.run(["openssl", "version"], capture_output=True, text=True).stdout.strip()
    return [
        ("date", datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")),
        ("CPU", cpu_model()),
        ("kernel", platform.release()),
        ("Python", platform.python_version()),
        ("openssl", openssl),
        ("load average at start", " ".join(f"{x:.2f}" for x in os.getloadavg())),
    ]


def render(scale: Scale, env: list[tuple[str, str]], figures: list[Figure],
           elapsed: float) -> str:
    lines = [f"scale: {scale.name} (medians of {scale.reps} interleaved runs; "
             f"{scale.python_reps} for the pure-Python reference)"]
    lines += [f"{k}: {v}" for k, v in env]
    lines.append(f"load average at end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}; "
                 f"run took {elapsed:.0f} s")
    lines.append("")
    lines.append("| | measurement | ours | reference | ratio | target | holds |")
    lines.append("|---|---|---|---|---|---|---|")
    for fig in figures:
        lines.append(f"| {fig.key} | {fig.what} | {fig.ours} | {fig.reference} | "
                     f"{fig.ratio:.3f} | {fig.target} | {'yes' if fig.holds else 'NO'} |")
    return "\n".join(lines)


def memory_status() -> dict[str, int]:
    """VmRSS and VmHWM of this process in bytes. The high-water mark belongs to the address
    space, which execve replaces, so unlike getrusage's ru_maxrss it does not inherit the peak
    of the parent that started this process."""
    values = {}
    with open("/proc/self/status", encoding="ascii") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0]) * 1024
    return values


def peak_rss_child(manifest: str) -> None:
    baseline = memory_status()["VmRSS"]
    report = km.verify_manifest(manifest, **RAISED_LIMITS)
    if not report["ok"]:
        raise SystemExit(f"benchmark input does not verify: {report['errors'][:3]}")
    peak = memory_status()["VmHWM"]
    print(json.dumps({"baseline_bytes": baseline, "peak_bytes": peak}))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--full", action="store_true", help="the full sizes (1 GiB, 2M lines)")
    parser.add_argument("--only", default="abcdefghijklmn", help="figures to run, e.g. a,c,f")
    parser.add_argument("--reps", type=int, help="override the number of interleaved runs")
    parser.add_argument("--markdown", type=Path, help="also write the results to this file")
    parser.add_argument("--peak-rss-child", metavar="MANIFEST", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.peak_rss_child:
        peak_rss_child(args.peak_rss_child)
        return 0
    scale = FULL if args.full else QUICK
    if args.reps:
        scale = Scale(**{**scale.__dict__, "reps": args.reps})
    wanted = [k for k in "abcdefghijklmn" if k in args.only]
    env = environment()
    print(f"karnid-manifest benchmarks, {scale.name} scale: figures {', '.join(wanted)}",
          flush=True)
    started = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="karnid-bench-", dir="/tmp") as work:
        bench = Bench(scale, Path(work))
        for key in wanted:
            before = len(bench.figures)
            step = time.perf_counter()
            getattr(bench, key)()
            for fig in bench.figures[before:]:
                print(f"  ({fig.key}) {fig.what}: {fig.ours} vs {fig.reference}: ratio "
                      f"{fig.ratio:.3f}, target {fig.target}: {'holds' if fig.holds else 'MISSED'}"
                      f"  [{time.perf_counter() - step:.0f} s]", flush=True)
    text = render(scale, env, bench.figures, time.perf_counter() - started)
    print()
    print(text)
    if args.markdown:
        args.markdown.write_text(text + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
