"""The karnid-manifest command line tool, run as a user runs it: the installed console script (and
`python -m karnid_manifest`) in a subprocess, against real files."""

from __future__ import annotations

import base64
import hashlib
import io
import json
import os
import pty
import re
import shlex
import shutil
import signal
import subprocess
import sys
import threading
from pathlib import Path
from typing import Any

import pytest

import _karnid_manifest as km
from karnid_manifest import budget, cli, formats, progress, render, samples

BIN = Path(sys.executable).parent
SCRIPT = shutil.which("karnid-manifest", path=str(BIN)) or shutil.which("karnid-manifest")
LAUNCHERS = {
    "script": [SCRIPT],
    "module": [sys.executable, "-m", "karnid_manifest"],
}
MODEL = "test-encoder"
DIM = 16


def run(*args: str | os.PathLike[str], cwd: Path, launcher: str = "script",
        env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    assert SCRIPT is not None, "the karnid-manifest console script is not installed"
    full_env = dict(os.environ)
    full_env.pop("NO_COLOR", None)
    full_env.update(env or {})
    return subprocess.run([*LAUNCHERS[launcher], *map(str, args)], cwd=cwd, env=full_env,
                          capture_output=True, text=True, timeout=120, check=False)


def assert_one_line_error(result: subprocess.CompletedProcess[str], *fragments: str) -> None:
    """Exit 2, nothing on stdout, one error line on stderr and at most indented notes under it."""
    assert result.returncode == 2, result.stderr
    assert result.stdout == ""
    lines = result.stderr.splitlines()
    assert lines and all(line.startswith("  ") for line in lines[1:]), result.stderr
    assert "Traceback" not in result.stderr
    assert lines[0].startswith("karnid-manifest")
    for fragment in fragments:
        assert fragment in lines[0]


@pytest.fixture
def project(tmp_path: Path) -> Path:
    """A directory holding an index with a row map, two auxiliary files, both profile files and
    a manifest (with both profile blocks) that verifies clean; the files are relative to it."""
    root = tmp_path / "proj"
    root.mkdir()
    samples.write_index(root / "index.kdrq", "rank_quant", DIM, 20, bits=4, seed=3)
    samples.write_row_map(root / "rows.jsonl", 20, seed=4)
    (root / "vocab.txt").write_text("alpha\nbeta\n", encoding="utf-8")
    (root / "stop.txt").write_text("the\n", encoding="utf-8")
    samples.write_calibration_profile(root / "cal.f32", DIM, 16, seed=5)
    samples.write_distortion_profile(root / "dist.f64", 32, seed=6)
    result = run("create", "index.kdrq", "--out", "manifest.json", "--embedding-model", MODEL,
                 "--row-map", "rows.jsonl", "--aux", "vocab=vocab.txt",
                 "--optional-aux", "stop=stop.txt", cwd=root)
    assert result.returncode == 0, result.stderr
    document = json.loads((root / "manifest.json").read_text(encoding="utf-8"))
    calibration = samples.calibration_block(root / "cal.f32", root, model=MODEL, dim=DIM, bits=4,
                                            profile_id="cal-1", sample_count=20)
    distortion = samples.encoder_distortion_block(root / "dist.f64", root, model=MODEL, dim=DIM,
                                                  profile_id="dist-1", sample_size=32,
                                                  calibration_profile_id="cal-1")
    document = samples.with_profile_blocks(document, calibration=calibration,
                                           encoder_distortion=distortion)
    (root / "manifest.json").write_text(json.dumps(document, indent=2), encoding="utf-8")
    return root


def table_rows(stdout: str) -> dict[str, list[str]]:
    """The file lines of `verify` output by label, split into whitespace-separated cells."""
    rows = {}
    for line in stdout.splitlines():
        for label in ("manifest", "index", "row identity", "encoder distortion", "calibration"):
            if line.startswith(label + " "):
                rows[label] = line[len(label):].split()
        if line.startswith('auxiliary "'):
            name, rest = line[len('auxiliary "'):].split('"', 1)
            rows[f"auxiliary {name}"] = rest.split()
    return rows


# --- create -------------------------------------------------------------------------------------


def test_create_writes_the_manifest_it_prints(project: Path) -> None:
    result = run("create", "index.kdrq", "--out", "again/manifest.json", "--embedding-model",
                 MODEL, "--row-map", "rows.jsonl", "--optional-aux", "stop=stop.txt",
                 "--aux", "vocab=vocab.txt", "--allow-path-escape", "--json", cwd=project)
    assert result.returncode == 0, result.stderr
    printed = json.loads(result.stdout)
    written = json.loads((project / "again" / "manifest.json").read_text(encoding="utf-8"))
    assert printed == written
    assert written["artifact"]["path"] == "../index.kdrq"
    assert written["embedding"] == {"model": MODEL, "dim": DIM}
    assert written["row_identity"]["kind"] == "jsonl"
    # --aux and --optional-aux keep their command-line order and their required flag.
    assert [(a["name"], a["required"]) for a in written["auxiliary_artifacts"]] == [
        ("stop", False), ("vocab", True)]


def test_create_for_people_summarises_the_manifest(project: Path) -> None:
    result = run("create", "index.kdrq", "--out", "m2.json", "--embedding-model", MODEL,
                 "--row-id-is-identity", cwd=project)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "OK: wrote m2.json"
    assert "rank_quant (bits 4), dim 16, 20 vectors, 8 bytes per vector" in result.stdout
    assert "row number is the identifier, 20 rows" in result.stdout
    written = km.inspect_manifest(project / "m2.json")
    assert written["row_identity"] == {"kind": "row_id_identity", "row_count": 20}


@pytest.mark.parametrize(("setup", "args", "fragments"), [
    ("none", ["nope.kdrq", "--row-id-is-identity"], ["nope.kdrq", "os error 2"]),
    ("short_row_map", ["index.kdrq", "--row-map", "short.jsonl"],
     ["row map has 19 rows but index has 20 vectors"]),
    ("none", ["index.kdrq", "--row-map", "missing.jsonl"], ["missing.jsonl", "os error 2"]),
    ("none", ["index.kdrq", "--row-id-is-identity", "--aux", "x=missing.bin"], ["missing.bin"]),
    ("outside", ["index.kdrq", "--row-id-is-identity", "--aux", "x=../outside.bin"],
     ["outside manifest directory", "--allow-path-escape"]),
    ("none", ["index.kdrq", "--row-id-is-identity", "--max-auxiliary-artifacts", "0", "--aux",
              "v=vocab.txt"], ["auxiliary_artifact_count_limit_exceeded"]),
    ("none", ["vocab.txt", "--row-id-is-identity"], ["unknown karnid index magic"]),
], ids=["missing index", "row count", "missing row map", "missing aux", "path escape",
        "aux limit", "not an index"])
def test_create_refuses_unusable_input(project: Path, setup: str, args: list[str],
                                       fragments: list[str]) -> None:
    if setup == "short_row_map":
        samples.write_row_map(project / "short.jsonl", 19)
    if setup == "outside":
        (project.parent / "outside.bin").write_bytes(b"x")
    result = run("create", *args, "--out", "new.json", "--embedding-model", MODEL, cwd=project)
    assert_one_line_error(result, "cannot create new.json", *fragments)
    assert not (project / "new.json").exists()
    assert not list(project.glob(".new.json*"))  # nor a temporary beside it


# --- verify and plan ----------------------------------------------------------------------------


@pytest.mark.parametrize("launcher", sorted(LAUNCHERS))
def test_verify_clean_manifest(project: Path, launcher: str) -> None:
    result = run("verify", "manifest.json", cwd=project, launcher=launcher)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stderr == ""
    rows = table_rows(result.stdout)
    assert set(rows) == {"manifest", "index", "row identity", "auxiliary stop",
                         "auxiliary vocab", "encoder distortion", "calibration"}
    assert all(cells[0] == "verified" for cells in rows.values()), rows
    assert rows["index"][1] == "index.kdrq"
    assert rows["row identity"][1:3] == ["rows.jsonl", "20"]
    assert result.stdout.splitlines()[-1].startswith("OK: manifest.json verified at ")


def test_verify_json_is_the_module_report(project: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    result = run("verify", "manifest.json", "--json", cwd=project)
    assert result.returncode == 0
    report = json.loads(result.stdout)
    monkeypatch.chdir(project)
    expected = dict(km.verify_manifest("manifest.json"))
    assert report.pop("checked_at") != ""
    expected.pop("checked_at")
    # The module's report under the tool's format key and the manifest's path.
    assert (report.pop("format"), report.pop("manifest")) == ("karnid-manifest.report.v1",
                                                               "manifest.json")
    assert report == expected


@pytest.mark.parametrize("launcher", sorted(LAUNCHERS))
def test_verify_damaged_index_fails_with_exit_1(project: Path, launcher: str) -> None:
    samples.flip_byte(project / "index.kdrq")
    result = run("verify", "manifest.json", cwd=project, launcher=launcher)
    assert result.returncode == 1
    assert result.stderr == ""
    rows = table_rows(result.stdout)
    assert rows["index"][0] == "failed"
    assert rows["index"][-1] == "artifact_sha256_mismatch"
    assert rows["row identity"][0] == "verified"
    issues = [line for line in result.stdout.splitlines() if line.startswith("artifact_")]
    assert len(issues) == 1
    assert issues[0].startswith("artifact_sha256_mismatch: artifact SHA-256 was ")
    assert result.stdout.splitlines()[-1].startswith("FAILED: manifest.json has 1 issue ")

    as_json = run("verify", "manifest.json", "--json", cwd=project, launcher=launcher)
    assert as_json.returncode == 1
    report = json.loads(as_json.stdout)
    assert report["ok"] is False
    assert [issue["code"] for issue in report["errors"]] == ["artifact_sha256_mismatch"]


def test_verify_reports_each_file_state(project: Path) -> None:
    (project / "stop.txt").unlink()  # optional: absent is fine
    (project / "vocab.txt").write_text("changed\n", encoding="utf-8")
    (project / "cal.f32").unlink()
    result = run("verify", "manifest.json", cwd=project)
    assert result.returncode == 1
    rows = table_rows(result.stdout)
    assert rows["auxiliary stop"][0] == "optional_absent"
    assert rows["auxiliary vocab"][0] == "failed"
    # Each failed line ends with the codes of its issues, whatever the file.
    assert rows["auxiliary vocab"][-2:] == ["auxiliary_artifact_sha256_mismatch,",
                                            "auxiliary_artifact_file_size_mismatch"]
    assert rows["calibration"][0] == "failed"
    assert rows["calibration"][-1] == "calibration_profile_path_unavailable"
    assert rows["encoder distortion"][0] == "verified"
    assert rows["index"][0] == "verified"
    codes = [line.split(":")[0] for line in result.stdout.splitlines() if ": " in line
             and not line.startswith(("FAILED", "skipped", " "))]
    assert codes == ["auxiliary_artifact_sha256_mismatch", "auxiliary_artifact_file_size_mismatch",
                     "calibration_profile_path_unavailable"]


def test_verify_policy_and_limit_options_reach_the_module(project: Path, tmp_path: Path) -> None:
    # A manifest one directory below its files needs --allow-path-escape.
    shutil.copy(project / "index.kdrq", tmp_path / "index.kdrq")
    result = run("create", "index.kdrq", "--out", "sub/m.json", "--embedding-model", MODEL,
                 "--row-id-is-identity", "--allow-path-escape", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    refused = run("verify", "sub/m.json", "--json", cwd=tmp_path)
    assert refused.returncode == 1
    assert [e["code"] for e in json.loads(refused.stdout)["errors"]] == [
        "artifact_path_escape_rejected"]
    assert run("verify", "sub/m.json", "--allow-path-escape", cwd=tmp_path).returncode == 0

    samples.flip_byte(project / "index.kdrq")
    (project / "vocab.txt").write_text("changed\n", encoding="utf-8")
    bounded = run("verify", "manifest.json", "--json", "--max-report-issues", "1", cwd=project)
    errors = json.loads(bounded.stdout)["errors"]
    assert [e["code"] for e in errors] == ["verification_report_issue_limit_exceeded"]


def test_verify_index_override_is_relative_to_the_current_directory(project: Path) -> None:
    other = project / "other"
    other.mkdir()
    shutil.copy(project / "index.kdrq", other / "copy.kdrq")
    samples.flip_byte(project / "index.kdrq")
    result = run("verify", "proj/manifest.json", "--index", "proj/other/copy.kdrq", "--json",
                 cwd=project.parent)
    assert result.returncode == 0, result.stdout
    report = json.loads(result.stdout)
    assert report["artifact"]["canonical_path"] == str((other / "copy.kdrq").resolve())
    # The override is still judged by the path policy: outside the manifest's directory it is
    # refused unless allowed.
    shutil.copy(other / "copy.kdrq", project.parent / "outside.kdrq")
    escaped = run("verify", "proj/manifest.json", "--index", "outside.kdrq", "--json",
                  cwd=project.parent)
    assert escaped.returncode == 1
    assert "artifact_path_escape_rejected" in [e["code"] for e in
                                               json.loads(escaped.stdout)["errors"]]


def test_plan_lists_canonical_paths(project: Path) -> None:
    result = run("plan", "manifest.json", "--json", cwd=project)
    assert result.returncode == 0, result.stderr
    plan = json.loads(result.stdout)
    assert plan["artifact_path"] == str((project / "index.kdrq").resolve())
    assert plan["row_identity"]["path"] == str((project / "rows.jsonl").resolve())
    people = run("plan", "manifest.json", cwd=project)
    assert people.returncode == 0
    assert str((project / "index.kdrq").resolve()) in people.stdout
    assert str((project / "vocab.txt").resolve()) in people.stdout
    assert people.stdout.splitlines()[-1].startswith("OK: load plan for manifest.json")


@pytest.mark.parametrize("json_flag", [[], ["--json"]], ids=["people", "json"])
def test_plan_refused_exits_1_with_one_line(project: Path, json_flag: list[str]) -> None:
    samples.flip_byte(project / "rows.jsonl", 5)
    result = run("plan", "manifest.json", *json_flag, cwd=project)
    assert result.returncode == 1
    lines = result.stderr.splitlines()
    assert "load plan refused" in lines[0]
    assert "manifest verification failed: row_identity_" in lines[0]
    assert all(line.startswith("  ") for line in lines[1:])
    if json_flag:
        refusal = json.loads(result.stdout)
        assert refusal["kind"] == "plan_refused" and refusal["exit_status"] == 1
        assert refusal["codes"][0].startswith("row_identity_")
    else:
        assert result.stdout == ""


# --- unusable manifests -------------------------------------------------------------------------

UNUSABLE = {
    "missing": (lambda d: d / "absent.json", ["absent.json", "os error 2"]),
    "directory without a manifest": (lambda d: _mkdir(d / "empty"),
                                     ["empty/manifest.json", "os error 2"]),
    "malformed": (lambda d: _write(d / "bad.json", '{"schema_version": '),
                  ["at line 1 column"]),
    "unknown field": (lambda d: _write(d / "bad.json", '{"comment": 1}'),
                      ["unknown field `comment`"]),
    "too large": (lambda d: d / "manifest.json", ["manifest_file_too_large"]),
}


def _mkdir(path: Path) -> Path:
    path.mkdir()
    return path


def _write(path: Path, text: str) -> Path:
    path.write_text(text, encoding="utf-8")
    return path


@pytest.mark.parametrize("command", ["verify", "plan", "inspect"])
@pytest.mark.parametrize("case", sorted(UNUSABLE))
def test_unusable_manifest_exits_2(project: Path, command: str, case: str) -> None:
    make, fragments = UNUSABLE[case]
    target = make(project)
    extra = ["--max-manifest-bytes", "64"] if case == "too large" else []
    result = run(command, target, *extra, cwd=project)
    assert_one_line_error(result, "cannot load manifest", *fragments)


CREATE = ["create", "index.kdrq", "--out", "new.json", "--embedding-model", MODEL]


@pytest.mark.parametrize("argv", [
    [], ["verify"], ["frobnicate"], ["verify", "manifest.json", "--bogus"], ["hash"],
    CREATE,
    [*CREATE, "--row-map", "rows.jsonl", "--row-id-is-identity"],
    [*CREATE, "--row-id-is-identity", "--aux", "novalue"],
    [*CREATE, "--row-id-is-identity", "--aux", "=vocab.txt"],
    [*CREATE, "--row-id-is-identity", "--max-row-map-rows", "-1"],
    [*CREATE, "--row-id-is-identity", "--max-row-map-rows", "lots"],
    [*CREATE, "--row-id-is-identity", "--max-row-map-rows", str(2**64)],
    ["verify", "manifest.json", "-q", "--status"],
], ids=["nothing", "no manifest", "unknown command", "unknown option", "hash nothing",
        "no row option", "both row options", "aux without =", "aux without name",
        "negative limit", "non-numeric limit", "limit over u64", "quiet and status"])
def test_bad_arguments_exit_2(project: Path, argv: list[str]) -> None:
    assert_one_line_error(run(*argv, cwd=project), "error:")
    assert not (project / "new.json").exists()


def test_largest_limit_is_accepted(project: Path) -> None:
    result = run("verify", "manifest.json", "--max-report-issues", str(2**64 - 1), cwd=project)
    assert result.returncode == 0, result.stderr


# --- inspect, hash, limits ----------------------------------------------------------------------


def test_inspect(project: Path) -> None:
    as_json = run("inspect", "manifest.json", "--json", cwd=project)
    assert as_json.returncode == 0
    assert json.loads(as_json.stdout) == km.inspect_manifest(project / "manifest.json")
    people = run("inspect", "manifest.json", cwd=project)
    assert people.returncode == 0
    lines = {line.split()[0]: line for line in people.stdout.splitlines() if line.strip()}
    assert "bucket ordinalization" in lines["calibration"]
    assert "empirical_sample evidence" in lines["encoder"]
    # inspect never opens the files a manifest names.
    (project / "index.kdrq").unlink()
    assert run("inspect", "manifest.json", cwd=project).returncode == 0


def test_hash_matches_hashlib_and_reports_unreadable_files(project: Path) -> None:
    files = ["index.kdrq", "vocab.txt"]
    result = run("hash", *files, "--json", cwd=project)
    assert result.returncode == 0
    expected = [{"path": name,
                 "sha256": hashlib.sha256((project / name).read_bytes()).hexdigest(),
                 "size_bytes": (project / name).stat().st_size} for name in files]
    assert json.loads(result.stdout) == expected

    partial = run("hash", "vocab.txt", "absent.bin", cwd=project)
    assert partial.returncode == 2
    assert partial.stdout.split() == [expected[1]["sha256"], str(expected[1]["size_bytes"]),
                                      "vocab.txt"]
    assert partial.stderr.splitlines() == [
        "karnid-manifest: cannot hash absent.bin: "
        f"{os.strerror(2)} (os error 2)"]


def test_limits_shows_what_the_commands_apply(project: Path) -> None:
    # The row-map limits come from the memory budget, as verify and create apply them, not from
    # the module's defaults.
    for given, memory in ((), budget.DEFAULT_MEMORY_LIMIT), (("--memory-limit", "3G"), 3 << 30):
        expected = {**km.default_resource_limits(), **budget.limits_for(memory)}
        as_json = json.loads(run("limits", *given, "--json", cwd=project).stdout)
        assert as_json == {"memory_limit": memory, **expected}
        people = run("limits", *given, cwd=project).stdout.splitlines()
        assert [line.split()[:2] for line in people] == [
            ["--memory-limit", budget.format_size(memory)],
            *(["--" + key.replace("_", "-"), str(value)] for key, value in expected.items())]


# --- terminals: colour and progress -------------------------------------------------------------


def run_on_terminal(args: list[str], cwd: Path, env: dict[str, str],
                    launcher: list[str] | None = None) -> tuple[int, str]:
    """Runs the script with stdout and stderr on a pseudo-terminal; returns what it showed."""
    controller, terminal = pty.openpty()
    full_env = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
    full_env.update(env)
    full_env["TERM"] = "xterm"
    with subprocess.Popen([*(launcher or [SCRIPT or "karnid-manifest"]), *args], cwd=cwd,
                          env=full_env,
                          stdin=subprocess.DEVNULL, stdout=terminal, stderr=terminal) as proc:
        os.close(terminal)
        chunks = []
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # EIO once the child has closed its side
                break
            if not chunk:
                break
            chunks.append(chunk)
        code = proc.wait(timeout=120)
    os.close(controller)
    return code, b"".join(chunks).decode("utf-8", "replace")


def test_colour_only_on_a_terminal_without_no_color(project: Path) -> None:
    samples.flip_byte(project / "index.kdrq")
    code, shown = run_on_terminal(["verify", "manifest.json"], project, {})
    assert code == 1
    assert "\x1b[31;1mFAILED\x1b[0m" in shown
    code, plain = run_on_terminal(["verify", "manifest.json"], project, {"NO_COLOR": "1"})
    assert code == 1
    assert "\x1b" not in plain
    assert "FAILED: manifest.json has 1 issue" in plain
    piped = run("verify", "manifest.json", cwd=project)
    assert "\x1b" not in piped.stdout + piped.stderr
    # An empty NO_COLOR does not count; --color decides over both.
    assert "\x1b[31;1m" in run_on_terminal(["verify", "manifest.json"], project,
                                           {"NO_COLOR": ""})[1]
    assert "\x1b[31;1m" in run("verify", "manifest.json", "--color=always", cwd=project).stdout
    never = run_on_terminal(["verify", "manifest.json", "--color", "never"], project, {})[1]
    assert re.search(r"\x1b\[[0-9;]*m", never) is None  # no colour (a progress line may show)


class FakeTerminal(io.StringIO):
    """A terminal that remembers what was drawn and signals once a line has been drawn."""

    def __init__(self) -> None:
        super().__init__()
        self.drew = threading.Event()

    def isatty(self) -> bool:
        return True

    def write(self, text: str) -> int:
        if text.startswith(progress.ERASE) and len(text) > len(progress.ERASE):
            self.drew.set()
        return super().write(text)


class FakeClock:
    """Every reading is one second after the previous one."""

    def __init__(self) -> None:
        self.now = 0.0

    def __call__(self) -> float:
        self.now += 1.0
        return self.now


WORK = progress.Work([progress.Step("hashing the index", "/x/index.kdrq", 600),
                      progress.Step('hashing auxiliary "vocab"', "/x/vocab.txt", 200)])


def fake_progress(stream: io.StringIO, sampler: Any, *, enabled: bool = True,
                  delay: float = 1.0) -> progress.Progress:
    return progress.Progress(stream, enabled=enabled, delay=delay, interval=0.001,
                             clock=FakeClock(), width=lambda: 200, sampler=lambda work: sampler)


def test_progress_draws_the_file_being_read_then_erases_it() -> None:
    stream = FakeTerminal()

    def call() -> str:
        assert stream.drew.wait(30)
        return "done"

    shown = fake_progress(stream, lambda: progress.Sample(1, 100))
    assert shown.run(call, WORK) == "done"
    text = stream.getvalue()
    assert '[2/2] hashing auxiliary "vocab" /x/vocab.txt  700 of 800 bytes  87%' in text
    assert " left" in text and "bytes/s" in text
    assert text.endswith(progress.ERASE)


def test_progress_waits_for_the_delay_and_stays_off_when_not_wanted() -> None:
    samples_taken = threading.Semaphore(0)

    def sampler() -> progress.Sample:
        samples_taken.release()
        return progress.Sample(0, 1)

    def call() -> str:
        for _ in range(3):  # the line was due three times, each before the delay
            assert samples_taken.acquire(timeout=30)
        return "done"

    early = FakeTerminal()
    assert fake_progress(early, sampler, delay=1000.0).run(call, WORK) == "done"
    assert early.getvalue() == ""

    off = FakeTerminal()
    assert fake_progress(off, sampler, enabled=False).run(
        lambda: threading.current_thread(), WORK) is not threading.main_thread()
    assert off.getvalue() == ""

    def fail() -> None:
        raise ValueError("boom")

    with pytest.raises(ValueError, match="boom"):
        fake_progress(FakeTerminal(), sampler).run(fail, WORK)


@pytest.mark.skipif(not os.path.isdir(progress.FD_DIR), reason="needs /proc")
def test_fd_sampler_reads_the_offset_of_the_open_file(tmp_path: Path) -> None:
    first, second = tmp_path / "first.bin", tmp_path / "second.bin"
    first.write_bytes(b"a" * 100)
    second.write_bytes(b"b" * 10000)
    work = progress.Work([progress.Step.of("one", first), progress.Step.of("two", second)])
    sampler = progress.FdSampler(work)
    assert sampler() is None
    with open(second, "rb") as stream:
        stream.seek(1234)
        assert sampler() == progress.Sample(1, 1234)


@pytest.mark.parametrize(("sample", "width", "present", "absent"), [
    (progress.Sample(0, 300), 200, ["[1/2] hashing the index /x/index.kdrq", "300 of 800 bytes",
                                    "37%", "bytes/s", " left"], []),
    (None, 80, ["reading"], ["%"]),
    # Narrow: the rate goes first, then the time left; the name keeps its end.
    (progress.Sample(0, 300), 72, ["37%", " left", "index.kdrq"], ["bytes/s"]),
    (progress.Sample(0, 300), 60, ["37%", "index.kdrq"], ["bytes/s", " left"]),
    (progress.Sample(0, 300), 12, [], []),
])
def test_status_line_fits_the_terminal(sample: progress.Sample | None, width: int,
                                       present: list[str], absent: list[str]) -> None:
    work = progress.Work(WORK.steps, idle="reading the manifest")
    line = progress.status_line(work, sample, 4.0, width)
    assert len(line) <= width - 1
    assert all(part in line for part in present), line
    assert not any(part in line for part in absent), line


# --- demo ---------------------------------------------------------------------------------------


def test_demo_runs_the_whole_story(tmp_path: Path) -> None:
    result = run("demo", "out", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "demo finished: every step behaved as expected" in result.stdout
    assert "artifact_sha256_mismatch" in result.stdout
    assert "load plan refused" in result.stderr
    for kind in ("rank", "rank_quant", "bitmap", "sign_bitmap"):
        manifest = km.inspect_manifest(tmp_path / "out" / kind / "manifest.json")
        assert manifest["artifact"]["kind"] == kind
    full = km.inspect_manifest(tmp_path / "out" / "rank_quant" / "manifest.json")
    assert {"calibration", "encoder_distortion", "auxiliary_artifacts"} <= set(full)
    # The damage is done to a copy; the samples stay good for the commands the demo suggests.
    assert km.verify_manifest(tmp_path / "out" / "rank_quant" / "manifest.json")["ok"]
    damaged = km.verify_manifest(tmp_path / "out" / "rank_quant-damaged" / "manifest.json")
    assert [e["code"] for e in damaged["errors"]] == ["artifact_sha256_mismatch"]
    # Every printed command runs as printed, from where the demo ran (here without the PATH
    # that would find a bare `karnid-manifest`).
    commands = [line[2:] for line in result.stdout.splitlines() if line.startswith("$ ")]
    lines = result.stdout.splitlines()
    finished = next(i for i, line in enumerate(lines) if line.startswith("demo finished"))
    suggested = [line.removeprefix("try:").strip() for line in lines[finished + 1:]]
    assert len(commands) > 8 and len(suggested) == 2
    for command in [commands[-2], *suggested]:
        argv = shlex.split(command)
        done = subprocess.run(argv, cwd=tmp_path, env={"PATH": "/nonexistent"},
                              capture_output=True, text=True, timeout=120, check=False)
        assert done.returncode == (1 if "damaged" in command else 0), (command, done.stderr)
    # A second run into the same directory replaces its manifests.
    assert run("demo", "out", cwd=tmp_path).returncode == 0


def test_demo_leaves_a_directory_of_someone_else_alone(tmp_path: Path) -> None:
    mine = tmp_path / "mine" / "rank_quant"
    mine.mkdir(parents=True)
    (mine / "rows.jsonl").write_text("my rows\n", encoding="utf-8")
    result = run("demo", "mine", cwd=tmp_path)
    assert_one_line_error(result, "cannot run the demo in mine: it holds files the demo did not "
                                  "write")
    assert sorted(p.name for p in (tmp_path / "mine").rglob("*")) == ["rank_quant", "rows.jsonl"]
    assert (mine / "rows.jsonl").read_text(encoding="utf-8") == "my rows\n"


# --- create: never damage another file -----------------------------------------------------------


def _snapshot(directory: Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in directory.iterdir() if p.is_file()}


@pytest.mark.parametrize(("out", "force", "fragment"), [
    ("manifest.json", False, "the file exists; --force replaces it"),
    ("index.kdrq", True, "it is the same file as the index index.kdrq"),
    ("link.json", True, "it is the same file as the row map rows.jsonl"),
    ("hardlink.txt", True, 'it is the same file as the auxiliary file "vocab" vocab.txt'),
    ("sub", True, "it is a directory"),
], ids=["exists", "index", "symlink to row map", "hard link to aux", "directory"])
def test_create_refuses_to_overwrite(project: Path, out: str, force: bool, fragment: str) -> None:
    (project / "link.json").symlink_to("rows.jsonl")
    os.link(project / "vocab.txt", project / "hardlink.txt")
    (project / "sub").mkdir()
    before = _snapshot(project)
    result = run("create", "index.kdrq", "--out", out, "--embedding-model", MODEL, "--row-map",
                 "rows.jsonl", "--aux", "vocab=vocab.txt", *(["--force"] if force else []),
                 cwd=project)
    assert_one_line_error(result, f"cannot create {out}: {fragment}")
    assert _snapshot(project) == before


def test_create_force_replaces_the_manifest_whole(project: Path) -> None:
    old = km.inspect_manifest(project / "manifest.json")
    os.chmod(project / "manifest.json", 0o640)
    result = run("create", "index.kdrq", "--out", "manifest.json", "--force", "--embedding-model",
                 MODEL, "--row-id-is-identity", cwd=project)
    assert result.returncode == 0, result.stderr
    new = km.inspect_manifest(project / "manifest.json")
    assert new["manifest_id"] != old["manifest_id"]
    assert new["artifact"]["path"] == "index.kdrq"  # written beside, so paths are the same
    assert (project / "manifest.json").stat().st_mode & 0o777 == 0o640
    assert [p.name for p in project.iterdir() if p.name.startswith(".")] == []


@pytest.mark.skipif(not os.path.exists("/dev/null"), reason="needs /dev/null")
def test_create_writes_a_device_directly(project: Path) -> None:
    # Renaming a temporary over /dev/null would replace the device node, or fail.
    before = _snapshot(project)
    result = run("create", "index.kdrq", "--out", "/dev/null", "--embedding-model", MODEL,
                 "--row-id-is-identity", "--allow-path-escape", cwd=project)
    assert result.returncode == 0, result.stderr
    assert Path("/dev/null").is_char_device() and _snapshot(project) == before


def _wait_until_open(pid: int, path: Path) -> None:
    """Returns once the process holds ``path`` open: it is then in the middle of its work."""
    fd_dir = Path(f"/proc/{pid}/fd")
    for _ in range(6000):
        for link in fd_dir.iterdir() if fd_dir.is_dir() else []:
            try:
                if os.readlink(link) == str(path):
                    return
            except OSError:
                continue
        threading.Event().wait(0.01)
    raise AssertionError(f"{path} was never opened")


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
@pytest.mark.parametrize("argv", [
    ["create", "huge.kdsb", "--out", "manifest.json", "--force", "--embedding-model", MODEL,
     "--row-id-is-identity"],
    ["verify", "manifest.json", "--index", "huge.kdsb"],
    ["sign", "huge.json", "--key", "key.pem"],
], ids=["create", "verify", "sign"])
@pytest.mark.parametrize(("stop", "status", "said"), [
    (signal.SIGINT, 130, "interrupted"),
    (signal.SIGTERM, 143, "terminated"),  # what CI timeouts send
], ids=["ctrl-c", "sigterm"])
def test_ctrl_c_ends_the_command_at_once(project: Path, argv: list[str], stop: int, status: int,
                                         said: str) -> None:
    # A sparse index of 64 GiB: hashing it takes far longer than the test waits.
    if argv[0] == "sign":  # a manifest naming it, and a key to sign with
        ec = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.ec")
        from cryptography.hazmat.primitives import serialization
        (project / "key.pem").write_bytes(ec.generate_private_key(ec.SECP256R1()).private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
            serialization.NoEncryption()))
        document = json.loads((project / "manifest.json").read_text(encoding="utf-8"))
        document["artifact"]["path"] = "huge.kdsb"
        (project / "huge.json").write_text(json.dumps(document), encoding="utf-8")
    before = _snapshot(project)
    huge = project / "huge.kdsb"
    header = formats.index_header("sign_bitmap", 65536, 8_000_000)
    with open(huge, "wb") as stream:
        stream.write(header)
        stream.truncate(len(header) + 8192 * 8_000_000)
    with subprocess.Popen([SCRIPT or "karnid-manifest", *argv], cwd=project, text=True,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
        try:
            _wait_until_open(proc.pid, huge)
            proc.send_signal(stop)
            out, err = proc.communicate(timeout=60)
        finally:
            proc.kill()
    assert proc.returncode == status, err
    assert err.splitlines() == [f"karnid-manifest: {said}"]
    huge.unlink()
    assert _snapshot(project) == before  # the old manifest, and no temporary


def test_a_manifest_through_a_pipe_is_read_once_on_a_terminal(project: Path) -> None:
    # Progress reads the manifest ahead of the verification only when it is a regular file.
    command = 'exec "$0" verify --color never <(cat manifest.json)'
    code, shown = run_on_terminal([], project, {},
                                  launcher=["bash", "-c", command, SCRIPT or "karnid-manifest"])
    assert code == 1 and "FAILED: /dev/fd/" in shown, shown  # loaded; its files are elsewhere


# --- what the tool adds to the module's texts -----------------------------------------------------


def test_create_shows_each_row_map_problem(project: Path) -> None:
    lines = (project / "rows.jsonl").read_text(encoding="utf-8").splitlines()
    lines[4] = lines[4].replace('"row_id": 4', '"row_id": 7')
    lines[8] = ""
    (project / "bad.jsonl").write_text("\n".join(lines) + "\n", encoding="utf-8")
    argv = ["create", "index.kdrq", "--out", "new.json", "--embedding-model", MODEL, "--row-map",
            "bad.jsonl"]
    people = run(*argv, cwd=project)
    assert_one_line_error(people, "row map is invalid: row_identity_row_id_mismatch")
    assert "  row_identity_row_id_mismatch: line 4 (line 5 of the file) has row_id 7" in (
        people.stderr.splitlines())
    assert "line 8 (line 9 of the file) is not a strict row object" in people.stderr
    assert "    in plain words: the line is empty" in people.stderr.splitlines()
    machine = json.loads(run(*argv, "--json", cwd=project).stdout)
    assert machine["problems"][0] == {"code": "row_identity_row_id_mismatch",
                                      "message": "line 4 has row_id 7",  # the module's text
                                      "line": 4}

    # The count of a failed row map says what it counts.
    shutil.copy(project / "bad.jsonl", project / "rows.jsonl")
    rows = table_rows(run("verify", "manifest.json", cwd=project).stdout)["row identity"]
    assert rows[:4] == ["failed", "rows.jsonl", "19", "rows"] and rows[4] == "parsed"


def _first_line_bytes(path: Path) -> int:
    return len(path.read_bytes().split(b"\n", 1)[0]) + 1


CREATE_ROWS = ["create", "index.kdrq", "--out", "new.json", "--embedding-model", MODEL,
               "--row-map", "rows.jsonl"]


@pytest.mark.parametrize(("argv", "hint"), [
    ([*CREATE_ROWS, "--max-row-map-tracked-id-bytes", "100"],
     "hint: --max-row-map-tracked-id-bytes 720 would do (20 rows x 36-byte ids)"),
    ([*CREATE_ROWS, "--max-row-map-line-bytes", "20"],
     "hint: line 1 of the file is {line} bytes; --max-row-map-line-bytes {line} would accept"),
    ([*CREATE_ROWS, "--max-row-map-rows", "5"], "hint: --max-row-map-rows 20 would accept"),
    ([*CREATE_ROWS, "--aux", "v=vocab.txt", "--max-auxiliary-artifacts", "0"],
     "hint: --max-auxiliary-artifacts 1 would accept every entry"),
    (["verify", "manifest.json", "--max-manifest-bytes", "64"],
     "hint: --max-manifest-bytes {manifest} would read this manifest"),
    (["verify", "manifest.json", "--max-row-map-rows", "5"],
     "hint: --max-row-map-rows 20 would accept the 20 rows"),
    (["verify", "manifest.json", "--max-auxiliary-artifact-bytes", "3"],
     "hint: --max-auxiliary-artifact-bytes 11 would accept the file"),
    (["verify", "manifest.json", "--max-calibration-profile-bytes", "3"],
     "hint: --max-calibration-profile-bytes 1024 would accept the file"),
    (["verify", "manifest.json", "--max-report-issues", "1", "--max-row-map-rows", "5",
      "--max-auxiliary-artifact-bytes", "3"], "hint: the list was cut at 1 issues"),
], ids=["tracked ids", "line", "rows", "aux count", "manifest", "declared rows", "aux size",
        "profile size", "issues"])
def test_limit_issues_name_the_option_and_a_value(project: Path, argv: list[str],
                                                  hint: str) -> None:
    expected = hint.format(line=_first_line_bytes(project / "rows.jsonl"),
                           manifest=(project / "manifest.json").stat().st_size)
    result = run(*argv, cwd=project)
    assert result.returncode == (2 if argv[0] == "create" or "--max-manifest-bytes" in argv
                                 else 1), result.stderr
    assert expected in result.stdout + result.stderr
    if argv[0] == "create":
        assert "verify and plan need the same option" in result.stderr


def test_an_early_stop_and_what_follows_from_it(project: Path) -> None:
    result = run("verify", "manifest.json", "--max-row-map-tracked-id-bytes", "100", cwd=project)
    assert result.returncode == 1
    lines = result.stdout.splitlines()
    follow = next(i for i, line in enumerate(lines) if "has at least 3 rows" in line)
    assert lines[follow + 1].startswith("  this follows from the early stop above")
    assert "or --allow-duplicate-db-ids skips the duplicate check" in result.stdout
    assert lines[-1].startswith("FAILED: manifest.json has 1 issue and 1 that follows from it")


NOT_MANIFESTS = {
    "index": (formats.index_header("rank_quant", 16, 2) + bytes(16),
              "index.bin is a rank_quant index file, not a manifest"),
    "legacy index": (b"QDSB" + bytes(40), "index.bin is a sign_bitmap index file, not a manifest"),
    "fast-scan index": (b"KDFS" + bytes(40), "is a RankQuantFastscan index file, not a manifest"),
    "row map": (b'{"row_id": 0, "db_id": "x"}\n{"row_id": 1, "db_id": "y"}\n',
                "index.bin is a row map (JSON Lines), not a manifest"),
    "signature": (b'{"mediaType":"application/vnd.dev.sigstore.bundle.v0.3+json"}\n',
                  "index.bin is a signature (Sigstore bundle), not a manifest"),
    "public key": (b"-----BEGIN PUBLIC KEY-----\nMFkw\n-----END PUBLIC KEY-----\n",
                   "index.bin is a PEM public key, not a manifest"),
}
PLAIN_WORDS = {
    "array": (lambda text: "[" + text + "]",
              "in plain words: the manifest must be an object {...}, but it is an array"),
    "wrong type": (lambda text: text.replace('"dim": 16', '"dim": "16"', 1),
                   'in plain words: `artifact.dim` must be a whole number (0 or more), but it is '
                   'the string "16"'),
    "bare word": (lambda text: text.replace(f'"{MODEL}"', "nothing", 1),
                  "in plain words: a bare word that is not true, false or null"),
    "unknown key": (lambda text: text.replace('"bits": 4', '"bitz": 4', 1),
                    "in plain words: `artifact.params` has `bitz`, which is not allowed there"),
}


@pytest.mark.parametrize("case", sorted(NOT_MANIFESTS) + sorted(PLAIN_WORDS))
def test_unloadable_manifests_are_explained(project: Path, case: str) -> None:
    if case in NOT_MANIFESTS:
        content, expected = NOT_MANIFESTS[case]
        (project / "index.bin").write_bytes(content)
        target = "index.bin"
    else:
        edit, expected = PLAIN_WORDS[case]
        (project / "edited.json").write_text(
            edit((project / "manifest.json").read_text(encoding="utf-8")), encoding="utf-8")
        target = "edited.json"
    result = run("inspect", target, cwd=project)
    assert_one_line_error(result)
    assert expected in result.stderr


@pytest.mark.parametrize(("argv", "kind"), [
    (["verify", "absent.json", "--json"], "cannot_run"),
    (["verify", "--json", "--bogus", "manifest.json"], "bad_arguments"),
    (["plan", "manifest.json", "other.json", "--index", "index.kdrq", "--json"], "bad_arguments"),
    (["create", "index.kdrq", "--out", "manifest.json", "--embedding-model", MODEL,
      "--row-id-is-identity", "--json"], "cannot_run"),
    (["inspect", "index.kdrq", "--json"], "cannot_run"),
], ids=["missing", "bad option", "index with several", "create over a file", "not a manifest"])
def test_json_failures_are_one_error_object(project: Path, argv: list[str], kind: str) -> None:
    result = run(*argv, cwd=project)
    error = json.loads(result.stdout)  # exactly one document
    assert error["kind"] == kind and error["exit_status"] == result.returncode == 2
    assert error["message"] in result.stderr


# --- several manifests ---------------------------------------------------------------------------


def test_several_manifests_a_line_each_and_the_worst_status(project: Path) -> None:
    shutil.copytree(project, project.parent / "copy")
    samples.flip_byte(project.parent / "copy" / "index.kdrq")
    both = ["proj", "copy", "absent.json"]
    result = run("verify", *both, cwd=project.parent)
    assert result.returncode == 2
    lines = result.stdout.splitlines()
    assert lines[0] == "proj/manifest.json: OK"
    assert lines[1] == "copy/manifest.json: FAILED, 1 issue"
    assert lines[2].startswith("  artifact_sha256_mismatch: ")
    assert lines[3] == "absent.json: ERROR, cannot load it: " + f"{os.strerror(2)} (os error 2)"
    assert lines[-1] == "3 manifests: 1 verified, 1 failed, 1 could not be checked"

    quiet = run("verify", "-q", "proj", "copy", cwd=project.parent)
    assert quiet.returncode == 1 and "proj/" not in quiet.stdout and "copy/" in quiet.stdout
    assert run("verify", "-q", "proj", "proj/manifest.json", cwd=project.parent).stdout == ""
    silent = run("verify", "--status", *both, cwd=project.parent)
    assert (silent.returncode, silent.stdout, silent.stderr) == (2, "", "")
    for argv in (["verify", "proj"], ["plan", "copy"], ["verify", *both]):
        assert run(*argv, "--status", "--json", cwd=project.parent).stdout == ""

    plans = json.loads(run("plan", *both, "--json", cwd=project.parent).stdout)
    assert plans["exit_status"] == 2
    assert [(m["exit_status"], sorted(m)) for m in plans["manifests"]] == [
        (0, ["exit_status", "manifest", "plan"]), (1, ["error", "exit_status", "manifest"]),
        (2, ["error", "exit_status", "manifest"])]
    assert plans["manifests"][1]["error"]["codes"] == ["artifact_sha256_mismatch"]


def test_auxiliary_files_are_listed_in_one_order(project: Path) -> None:
    result = run("create", "index.kdrq", "--out", "m2.json", "--embedding-model", MODEL,
                 "--row-id-is-identity", "--aux", "zeta=vocab.txt", "--aux", "alpha=stop.txt",
                 cwd=project)
    created = [line.split()[1] for line in result.stdout.splitlines()
               if line.startswith("auxiliary")]
    verified = [name for name in table_rows(run("verify", "m2.json", cwd=project).stdout)
                if name.startswith("auxiliary")]
    assert created == ['"alpha"', '"zeta"']
    assert verified == ["auxiliary alpha", "auxiliary zeta"]


def test_help_describes_every_command_with_an_example(project: Path) -> None:
    main_help = run("--help", cwd=project).stdout
    for text in ("0 ", "1 ", "2 ", "130", "karnid-manifest explain CODE"):
        assert text in main_help
    for command in cli.COMMANDS:
        shown = run(command.name, "--help", cwd=project).stdout
        assert command.description.split(".")[0] in " ".join(shown.split())
        assert "example:\n  karnid-manifest " + command.name in shown


@pytest.mark.parametrize(("name", "shown"), [
    ("\n\x00\x7f", r'"\n\u{0}\u{7f}"'),
    ("x\x85y\x80\x9f", r'"x\u{85}y\u{80}\u{9f}"'),  # C1 controls end lines in some readers
    ("\xa0é~", '"\xa0é~"'),
])
def test_quoted_names_escape_every_control_character(name: str, shown: str) -> None:
    assert render.quoted(name) == shown


# --- what reaches the terminal ------------------------------------------------------------------

# Clears the screen, retitles the terminal, rings, returns the carriage, starts a C1 control
# sequence and fakes a verdict on a line of its own.
HOSTILE = "\x1b]0;owned\x07\x1b[2J\r\u009b31m\x7f\nOK: manifest.json verified"
OUR_COLOUR = re.compile(r"\x1b\[[0-9;]*m")


def _hostile(project: Path) -> None:
    document = json.loads((project / "manifest.json").read_text(encoding="utf-8"))
    document["embedding"]["model"] = HOSTILE
    document["extensions"] = {HOSTILE: {}}
    entry = document["auxiliary_artifacts"][0]
    entry["name"], entry["path"] = HOSTILE, HOSTILE  # a missing file: an issue naming both
    (project / "manifest.json").write_text(json.dumps(document), encoding="utf-8")
    (project / "broken.json").write_text(json.dumps({HOSTILE: 1}), encoding="utf-8")


@pytest.mark.parametrize("argv", [
    ["verify", "manifest.json"], ["verify", "manifest.json", "--color=always"],
    ["verify", "manifest.json", "broken.json"], ["plan", "manifest.json"],
    ["inspect", "manifest.json", "--color=always"], ["inspect", "broken.json"],
    ["create", HOSTILE, "--out", "new.json", "--embedding-model", "m", "--row-id-is-identity"],
], ids=["verify", "verify colour", "several", "plan", "inspect", "parse error", "create"])
def test_no_control_character_from_a_manifest_reaches_the_terminal(project: Path,
                                                                   argv: list[str]) -> None:
    _hostile(project)
    result = run(*argv, cwd=project)
    assert "Traceback" not in result.stderr
    assert "owned" in result.stdout + result.stderr or argv[0] == "plan"  # shown, escaped
    for shown in (result.stdout, result.stderr):
        rest = OUR_COLOUR.sub("", shown) if "--color=always" in argv else shown
        assert not [c for c in rest if c != "\n" and (ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F)]
        assert not any(line.startswith("OK: manifest.json verified")
                       for line in shown.splitlines())
    if "--color=always" in argv:
        assert OUR_COLOUR.search(result.stdout)  # the tool's own colour survives


def test_plan_json_is_strict_utf8_and_keeps_the_exact_path(tmp_path: Path) -> None:
    raw_name = b"proj-\xff"
    root = tmp_path / os.fsdecode(raw_name)
    root.mkdir()
    samples.write_index(root / "index.kdrq", "rank_quant", DIM, 4, bits=4)
    km.create_manifest(root / "index.kdrq", root / "manifest.json", MODEL,
                       row_id_is_identity=True)
    result = subprocess.run([SCRIPT, "plan", "--json", "manifest.json"], cwd=root,
                            capture_output=True, timeout=120, check=False)
    assert result.returncode == 0, result.stderr
    text = result.stdout.decode("utf-8")  # strict: no byte outside UTF-8
    assert "\\ud" not in text.lower()  # no escaped lone surrogate either
    plan = json.loads(text)
    exact = os.path.realpath(os.fsencode(root / "index.kdrq"))
    assert base64.b64decode(plan["artifact_path_bytes"]) == exact
    assert plan["artifact_path"] == exact.decode("utf-8", "replace")


def test_a_closed_stdout_ends_the_tool_as_sigpipe_does(project: Path) -> None:
    reader, writer = os.pipe()
    os.close(reader)  # the reader is gone before the tool writes its first line
    try:
        result = subprocess.run([SCRIPT, "verify", "manifest.json"], cwd=project, stdout=writer,
                                stderr=subprocess.PIPE, timeout=120, check=False)
    finally:
        os.close(writer)
    assert result.returncode == -signal.SIGPIPE
    assert result.stderr == b""


@pytest.mark.parametrize("name", ["x\ud800y", "x\x00y"], ids=["lone surrogate", "NUL"])
@pytest.mark.parametrize("command", ["hash", "verify", "inspect", "plan"])
def test_a_name_no_file_can_have_from_a_python_caller_is_a_one_line_error(
        command: str, name: str, capsys: pytest.CaptureFixture[str]) -> None:
    # Only cli.main(argv) can pass these (a real argv decodes to escapes that encode back).
    assert cli.main([command, name]) == 2
    lines = capsys.readouterr().err.splitlines()
    assert len(lines) == 1 and "x" in lines[0] and "y" in lines[0]


def test_a_lone_surrogate_in_a_usage_error_gives_json_not_a_traceback(
        capsys: pytest.CaptureFixture[str]) -> None:
    assert cli.main(["verify", "m.json", "--json", "--bogus\udeff"]) == 2
    document = json.loads(capsys.readouterr().out)
    assert "\ufffd" in json.dumps(document, ensure_ascii=False)
