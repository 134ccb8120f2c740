#!/usr/bin/env python3
"""Runs the Python test suite against one built wheel on every CPython from the project's floor up
that this machine has, each interpreter in a virtual environment of its own (.venvs/<version>/)
that holds the test requirements and the wheel.

    python tools/test_wheel.py dist/karnid_manifest-*.whl [pytest arguments]
    python tools/test_wheel.py --newest    # prints the newest such interpreter

Interpreters are looked for in pyenv's versions folder and as python3.X on PATH; the newest patch
release of each minor version is used. A version that the classifiers of pyproject.toml name but
the machine lacks is skipped with a note. Free-threaded builds are left out: the stable ABI does
not cover them.
"""

from __future__ import annotations

import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tomllib
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
VENVS = ROOT / ".venvs"
TEST_REQUIREMENTS = ROOT / "requirements-test.txt"
STAMP = "karnid-test-env.json"

PROBE = """
import json, sys, sysconfig
try:
    import ensurepip, venv
    has_venv = True
except ImportError:
    has_venv = False
print(json.dumps({
    "implementation": sys.implementation.name,
    "version": list(sys.version_info[:3]),
    "free_threaded": bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
    "executable": sys.executable,
    "has_venv": has_venv,
}))
"""


@dataclass(frozen=True)
class Interpreter:
    executable: str
    version: tuple[int, int, int]

    @property
    def minor(self) -> str:
        return f"{self.version[0]}.{self.version[1]}"


def note(text: str) -> None:
    print(f"note: {text}", file=sys.stderr, flush=True)


def project_versions() -> tuple[tuple[int, int], list[tuple[int, int]]]:
    """The floor of requires-python and the minor versions the classifiers name."""
    project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    floor_match = re.fullmatch(r">=\s*3\.(\d+)", project["requires-python"].strip())
    if floor_match is None:
        sys.exit(f"cannot read the floor from requires-python = {project['requires-python']!r}")
    named = []
    for classifier in project.get("classifiers", []):
        match = re.fullmatch(r"Programming Language :: Python :: 3\.(\d+)", classifier)
        if match:
            named.append((3, int(match.group(1))))
    return (3, int(floor_match.group(1))), sorted(named)


def candidates() -> list[str]:
    roots = [os.environ.get("PYENV_ROOT"), str(Path.home() / ".pyenv")]
    if shutil.which("pyenv"):
        result = subprocess.run(["pyenv", "root"], capture_output=True, text=True, check=False)
        roots.append(result.stdout.strip())
    found: list[str] = []
    for root in filter(None, roots):
        found += sorted(str(p) for p in Path(root).glob("versions/*/bin/python3.*"))
    for directory in os.environ.get("PATH", "").split(os.pathsep):
        if directory:
            found += sorted(str(p) for p in Path(directory).glob("python3.*"))
    pattern = re.compile(r"python3\.\d+")
    return list(dict.fromkeys(p for p in found if pattern.fullmatch(Path(p).name)))


def discover(floor: tuple[int, int]) -> dict[tuple[int, int], Interpreter]:
    """The newest usable CPython of each minor version from the floor up."""
    chosen: dict[tuple[int, int], Interpreter] = {}
    for candidate in candidates():
        try:
            result = subprocess.run([candidate, "-I", "-c", PROBE], capture_output=True,
                                    text=True, timeout=60, check=False)
            facts = json.loads(result.stdout) if result.returncode == 0 else None
        except (OSError, subprocess.TimeoutExpired, json.JSONDecodeError):
            facts = None
        if not facts or facts["implementation"] != "cpython" or facts["free_threaded"]:
            continue
        version = tuple(facts["version"])
        if version[:2] < floor:
            continue
        if not facts["has_venv"]:
            note(f"{candidate} has no venv module (Debian: python3.{version[1]}-venv); not used")
            continue
        current = chosen.get(version[:2])
        if current is None or version > current.version:
            chosen[version[:2]] = Interpreter(facts["executable"], version)
    return chosen


def requirements_digest(path: Path) -> str:
    """Digest of a requirements file and of the files it includes with -r."""
    digest = hashlib.sha256(path.read_bytes())
    for line in path.read_text(encoding="utf-8").splitlines():
        included = re.match(r"\s*(?:-r|--requirement)\s*(\S+)", line)
        if included:
            digest.update(requirements_digest(path.parent / included.group(1)).encode())
    return digest.hexdigest()


def run(command: list[str], **kwargs) -> int:
    print("+ " + " ".join(command), flush=True)
    return subprocess.run(command, check=False, **kwargs).returncode


def prepare_environment(interpreter: Interpreter) -> Path | None:
    """The interpreter's test environment, rebuilt when the interpreter or the requirements
    changed; None when it cannot be built."""
    venv = VENVS / interpreter.minor
    python = venv / "bin" / "python"
    wanted = {"interpreter": interpreter.executable, "version": list(interpreter.version),
              "requirements": requirements_digest(TEST_REQUIREMENTS)}
    stamp = venv / STAMP
    try:
        if json.loads(stamp.read_text(encoding="utf-8")) == wanted and python.exists():
            return python
    except (OSError, ValueError):
        pass
    shutil.rmtree(venv, ignore_errors=True)
    if run([interpreter.executable, "-m", "venv", str(venv)]) != 0:
        return None
    if run([str(python), "-m", "pip", "install", "-q", "-r", str(TEST_REQUIREMENTS)]) != 0:
        return None
    stamp.write_text(json.dumps(wanted), encoding="utf-8")
    return python


def test_on(interpreter: Interpreter, wheel: Path, pytest_args: list[str]) -> bool:
    print(f"\n== CPython {'.'.join(map(str, interpreter.version))} ({interpreter.executable})",
          flush=True)
    python = prepare_environment(interpreter)
    if python is None:
        return False
    pip = [str(python), "-m", "pip", "install", "-q"]
    # The same version number is installed every time, so only a forced reinstall replaces the
    # module; the second call brings whatever the wheel depends on.
    if run([*pip, "--force-reinstall", "--no-deps", str(wheel)]) != 0 or run([*pip, str(wheel)]):
        return False
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    # -P keeps the checkout off sys.path, so the tests import what the wheel installed.
    command = [str(python), "-P", "-m", "pytest", "-q", "-p", "no:cacheprovider", *pytest_args]
    return run(command, cwd=ROOT, env=env) == 0


def main(argv: list[str]) -> int:
    if argv == ["--newest"]:
        found = discover(project_versions()[0])
        if not found:
            return 1
        print(found[max(found)].executable)
        return 0
    if not argv or not argv[0].endswith(".whl"):
        print(__doc__, file=sys.stderr)
        return 2
    wheel = Path(argv[0]).resolve()
    if not wheel.is_file():
        print(f"no such wheel: {wheel}", file=sys.stderr)
        return 2
    pytest_args = argv[1:] or ["tests/python"]
    floor, named = project_versions()
    found = discover(floor)
    for version in named:
        if version not in found:
            note(f"no CPython {version[0]}.{version[1]} on this machine; its test run is skipped")
    if not found:
        print(f"no CPython {floor[0]}.{floor[1]} or newer found", file=sys.stderr)
        return 1
    results = {found[v].minor: test_on(found[v], wheel, pytest_args) for v in sorted(found)}
    print("\n" + "\n".join(f"CPython {minor}: {'passed' if ok else 'FAILED'}"
                           for minor, ok in results.items()))
    passed = sum(results.values())
    print(f"interpreters: {passed} passed, {len(results) - passed} failed")
    return 0 if passed == len(results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
