"""The package's functions as Python callers use them: the module's results and messages, with the
exceptions callers catch by habit; the result types importable from the package; the README's
Python examples as written."""

from __future__ import annotations

import errno
import pickle
import re
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

import _karnid_manifest as raw
import karnid_manifest as km
from karnid_manifest import samples

README = Path(__file__).resolve().parents[2] / "README.md"


@pytest.fixture
def built(tmp_path: Path) -> Path:
    """A directory with an index, a row map and a manifest for them."""
    samples.write_index(tmp_path / "index.kdrq", "rank_quant", 16, 6, bits=4)
    samples.write_row_map(tmp_path / "rows.jsonl", 6)
    (tmp_path / "notes.txt").write_text("not an index", encoding="utf-8")
    raw.create_manifest(tmp_path / "index.kdrq", tmp_path / "manifest.json", "enc",
                        row_map=tmp_path / "rows.jsonl")
    return tmp_path


# (function, arguments relative to the fixture, expected class, errno, the file named)
FILE_ERRORS = [
    ("inspect_manifest", ["absent.json"], {}, FileNotFoundError, errno.ENOENT, "absent.json"),
    # A directory means the manifest.json in it, here a directory too.
    ("verify_manifest", ["nested"], {}, IsADirectoryError, errno.EISDIR, "nested/manifest.json"),
    ("verify_for_load", ["notes.txt/manifest.json"], {}, NotADirectoryError, errno.ENOTDIR,
     "notes.txt/manifest.json"),
    ("sha256_file", ["absent.bin"], {}, FileNotFoundError, errno.ENOENT, "absent.bin"),
    ("create_manifest", ["index.kdrq", "new.json", "enc"], {"row_map": "absent.jsonl"},
     FileNotFoundError, errno.ENOENT, "absent.jsonl"),
    ("create_manifest", ["index.kdrq", "new.json", "enc"],
     {"row_id_is_identity": True, "auxiliary_artifacts": [{"name": "a", "path": "."}]},
     IsADirectoryError, errno.EISDIR, "."),
    ("create_manifest", ["notes.txt", "new.json", "enc"], {"row_id_is_identity": True},
     OSError, None, "notes.txt"),
]


@pytest.mark.parametrize(("function", "args", "kwargs", "cls", "number", "culprit"), FILE_ERRORS,
                         ids=[f"{case[0]}-{case[5]}" for case in FILE_ERRORS])
def test_file_problems_raise_the_matching_oserror(built: Path, function: str, args: list[str],
                                                  kwargs: dict[str, Any], cls: type[OSError],
                                                  number: int | None, culprit: str) -> None:
    def absolute(value: Any) -> Any:
        if isinstance(value, str) and value not in ("enc",):
            return str(built / value)
        if isinstance(value, list):
            return [{**item, "path": str(built / item["path"])} for item in value]
        return value

    (built / "nested" / "manifest.json").mkdir(parents=True)
    call_args = [absolute(a) for a in args]
    call_kwargs = {k: absolute(v) for k, v in kwargs.items()}
    with pytest.raises(OSError) as wrapped:
        getattr(km, function)(*call_args, **call_kwargs)
    with pytest.raises(OSError) as plain:
        getattr(raw, function)(*call_args, **call_kwargs)
    exc = wrapped.value
    assert isinstance(exc, cls)
    assert exc.errno == number
    assert exc.filename == str(built / culprit)
    # Named as Python's own open() names a file; the module's message stays reachable.
    assert str(exc).endswith(f": {str(built / culprit)!r}")
    if number is None:
        assert exc.strerror == str(plain.value)
    else:
        assert f"{exc.strerror} (os error {number})" == str(plain.value)
    again = pickle.loads(pickle.dumps(exc))
    assert (type(again), again.errno, again.filename, str(again)) == (
        type(exc), exc.errno, exc.filename, str(exc))
    assert not (built / "new.json").exists()


def test_a_refused_load_is_its_own_value_error(built: Path) -> None:
    samples.flip_byte(built / "index.kdrq")
    with pytest.raises(km.VerificationFailed) as refused:
        km.verify_for_load(built / "manifest.json")
    with pytest.raises(ValueError) as plain:
        raw.verify_for_load(built / "manifest.json")
    assert str(refused.value) == str(plain.value)
    assert refused.value.codes == ("artifact_sha256_mismatch",)
    assert refused.value.more_codes is False

    # More than three issues: the message names three and "...", the exception every one;
    # more_codes says the report itself was cut at its issue limit.
    for line in (0, 1):
        samples.flip_byte(built / "rows.jsonl", line * 70 + 12)
    (built / "index.kdrq").write_bytes(b"KDRQ")
    codes = tuple(dict.fromkeys(i["code"] for i in km.verify_manifest(
        built / "manifest.json")["errors"]))
    with pytest.raises(km.VerificationFailed) as many:
        km.verify_for_load(built / "manifest.json")
    assert str(many.value).endswith(", ...") and len(codes) > 3
    assert (many.value.codes, many.value.more_codes) == (codes, False)
    assert [i["code"] for i in many.value.issues] == [
        i["code"] for i in km.verify_manifest(built / "manifest.json")["errors"]]
    with pytest.raises(km.VerificationFailed) as cut:
        km.verify_for_load(built / "manifest.json", max_report_issues=2)
    assert cut.value.codes[-1] == "verification_report_issue_limit_exceeded"
    assert cut.value.more_codes is True

    (built / "manifest.json").write_text("[]", encoding="utf-8")
    with pytest.raises(ValueError) as malformed:
        km.verify_for_load(built / "manifest.json")
    assert not isinstance(malformed.value, km.VerificationFailed)


# --- the README's examples ----------------------------------------------------------------------


def readme_examples() -> list[str]:
    return re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)


def test_readme_examples_pass_strict_mypy(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    examples = readme_examples()
    assert any("def load_index" in example for example in examples)
    paths = []
    for number, example in enumerate(examples):
        paths.append(tmp_path / f"readme_example_{number}.py")
        paths[-1].write_text(example, encoding="utf-8")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-executable",
         sys.executable, *map(str, paths)],
        cwd=tmp_path, capture_output=True, text=True, timeout=600, check=False)
    assert result.returncode == 0, result.stdout + result.stderr


def test_readme_loader_loads(built: Path) -> None:
    loader = next(example for example in readme_examples() if "def load_index" in example)
    namespace: dict[str, Any] = {}
    exec(compile(loader, "README loader", "exec"), namespace)  # noqa: S102 - our own README

    plan, ids, side_files = namespace["load_index"](built / "manifest.json")
    rows = (built / "rows.jsonl").read_text(encoding="utf-8").splitlines()
    assert ids == [re.search(r'"db_id": "([^"]+)"', row).group(1) for row in rows]  # type: ignore[union-attr]
    assert plan["artifact_path"] == str((built / "index.kdrq").resolve()) and side_files == {}

    raw.create_manifest(built / "index.kdrq", built / "identity.json", "enc",
                        row_id_is_identity=True)
    assert namespace["load_index"](built / "identity.json")[1] == range(6)
    samples.flip_byte(built / "index.kdrq")
    with pytest.raises(RuntimeError, match="refusing to load"):
        namespace["load_index"](built / "identity.json")
