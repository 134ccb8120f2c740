"""verify and plan with several manifests at once: argument order, the worst status, the total
of the progress line, and Ctrl-C."""

from __future__ import annotations

import io
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
from pathlib import Path
from typing import Any

import pytest

from karnid_manifest import cli, formats, functions, progress

import manifest_builder
from test_cli import _wait_until_open

SCRIPT = shutil.which("karnid-manifest", path=str(Path(sys.executable).parent))


@pytest.fixture
def three(tmp_path: Path) -> list[Path]:
    """A manifest that verifies, one whose index was damaged, one that is not there."""
    good, _ = manifest_builder.build(tmp_path / "good")
    bad, _ = manifest_builder.build(tmp_path / "bad")
    index = next(bad.parent.glob("index.*"))
    index.write_bytes(index.read_bytes()[:-1] + b"\xff")
    return [good, bad, tmp_path / "missing" / "manifest.json"]


@pytest.mark.parametrize("command", ["verify", "plan"])
def test_jobs_keep_argument_order_and_the_worst_status(
        three: list[Path], command: str, monkeypatch: pytest.MonkeyPatch,
        capsys: pytest.CaptureFixture[str]) -> None:
    argv = [command, *map(str, three), "--color", "never"]
    assert cli.main([*argv, "-j", "1"]) == 2
    serial = capsys.readouterr().out
    # The first manifest is held until the second has finished: with two workers the output
    # must still come in argument order.
    second_done = threading.Event()
    name = "verify_for_load" if command == "plan" else "verify_manifest"
    real = getattr(functions, name)

    def seam(manifest: Any, **kwargs: Any) -> Any:
        if str(manifest) == str(three[0]):
            assert second_done.wait(60), "the second manifest never ran beside the first"
        try:
            return real(manifest, **kwargs)
        finally:
            if str(manifest) == str(three[1]):
                second_done.set()

    monkeypatch.setattr(functions, name, seam)
    assert cli.main([*argv, "-j", "2"]) == 2
    assert capsys.readouterr().out == serial
    assert second_done.is_set()
    assert cli.main([*argv[:3], "-j", "2"]) == 1  # without the missing one: the failure


def test_jobs_keep_order_in_the_json_document(three: list[Path],
                                              capsys: pytest.CaptureFixture[str]) -> None:
    assert cli.main(["verify", "--json", "-j", "3", *map(str, three)]) == 2
    document = json.loads(capsys.readouterr().out)
    assert [entry["exit_status"] for entry in document["manifests"]] == [0, 1, 2]


@pytest.mark.parametrize("jobs", ["0", "-1", "x"])
def test_jobs_must_be_a_positive_number(three: list[Path], jobs: str) -> None:
    assert cli.main(["verify", "-j", jobs, *map(str, three)]) == 2


def test_the_line_adds_up_the_files_of_every_manifest() -> None:
    stream = io.StringIO()
    ticks = iter(range(1000))
    works = [progress.Work([progress.Step("hashing the index", "a", 100, (1, 1))]),
             progress.Work([progress.Step("hashing the index", "b", 300, (1, 2))])]
    release = threading.Event()
    started = threading.Barrier(3)

    def task(runner: progress.Runner[int]) -> int:
        def call() -> int:
            started.wait(60)
            release.wait(60)
            return 1
        return runner(call, None)

    def sampler(work: progress.Work) -> Any:
        return lambda: progress.Sample(0, 50)  # each has read 50 bytes of its file

    shown = progress.Progress(stream, enabled=True, delay=0, interval=0.01,
                              clock=lambda: float(next(ticks)), width=lambda: 200,
                              sampler=sampler)
    runner = threading.Thread(target=lambda: shown.run_all([task, task], 2, works))
    runner.start()
    started.wait(60)
    while "100 of 400 bytes" not in stream.getvalue():
        threading.Event().wait(0.01)
    release.set()
    runner.join(60)
    assert "[0/2] checking 2 at once  100 of 400 bytes  25%" in stream.getvalue()
    assert stream.getvalue().endswith(progress.ERASE)


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
def test_ctrl_c_stops_every_manifest(tmp_path: Path) -> None:
    # Two manifests naming sparse indexes of 64 GiB: neither check could end by itself while
    # the test waits; both are being read when the signal comes.
    huge = []
    for name in ("a", "b"):
        manifest, _ = manifest_builder.build(tmp_path / name)
        index = tmp_path / name / "huge.kdsb"
        header = formats.index_header("sign_bitmap", 65536, 8_000_000)
        with open(index, "wb") as stream:
            stream.write(header)
            stream.truncate(len(header) + 8192 * 8_000_000)
        document = json.loads(manifest.read_text(encoding="utf-8"))
        document["artifact"]["path"] = index.name
        manifest.write_text(json.dumps(document), encoding="utf-8")
        huge.append(index)
    with subprocess.Popen([SCRIPT or "karnid-manifest", "verify", "-j", "2", "a", "b"],
                          cwd=tmp_path, text=True, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE) as proc:
        try:
            for index in huge:
                _wait_until_open(proc.pid, index)
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=60)
        finally:
            proc.kill()
    assert proc.returncode == 130, err
    assert err.splitlines() == ["karnid-manifest: interrupted"]
    assert out == ""

