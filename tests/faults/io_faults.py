"""Fails each I/O call of ``create``, ``sign``, ``verify`` and ``plan`` in turn, through the
command line and through the Python API, with libfiu, and checks each failure is a clear error:

- the command line: exit 2 and a line on stderr naming a file and the OS error, no traceback
  (exit 1 is also right for ``verify``, ``plan`` and ``sign``, which verifies before it signs: a
  file they could not read is a coded finding);
- the API: an ``OSError`` with the injected ``errno`` and a ``filename`` (a report with issues for
  ``verify_manifest``, a refusal for ``verify_for_load`` and ``sign_manifest``, and for the
  latter a ``SignatureInputError`` naming the file and the OS error);
- either way, the manifest or signature at the output path is the old one or the new one, whole,
  and no temporary is left.

A call that fails without the operation noticing is fine only if the result is still right.

    python tests/faults/io_faults.py [--sample] [--errno EIO,ENOSPC]

It runs itself again under ``fiu-run -x`` with tests/faults/fiu_extra.so (built beside the
output) preloaded for the calls libfiu does not wrap. The failures are switched on inside the
process, after the imports and one undisturbed run of each operation, so that only calls the
operation makes can fail: the N-th call reaching the point fails, for N = 1, 2, ... until a run
completes without reaching it.
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import errno as errnos
import io
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
from typing import Any, Callable

HERE = pathlib.Path(__file__).resolve().parent
POINTS = ["posix/io/oc/open", "karnid/io/openat", "posix/io/rw/read", "posix/io/rw/write",
          "posix/io/sync/fsync", "karnid/io/renameat", "karnid/io/linkat", "posix/io/oc/close",
          "karnid/io/stat", "karnid/io/fstat"]
SAMPLE_POINTS = ["posix/io/rw/write", "posix/io/sync/fsync", "karnid/io/renameat",
                 "karnid/io/openat"]
# Past this many calls of one point the operation is looping: a finding in itself.
MAX_CALLS = 400


def build_extra(out_dir: pathlib.Path) -> pathlib.Path:
    out_dir.mkdir(parents=True, exist_ok=True)
    library = out_dir / "fiu_extra.so"
    source = HERE / "fiu_extra.c"
    if not library.exists() or library.stat().st_mtime < source.stat().st_mtime:
        subprocess.run(["cc", "-O1", "-Wall", "-Wextra", "-Werror", "-shared", "-fPIC", "-o",
                        str(library), str(source), "-ldl", "-l:libfiu.so.0"], check=True)
    return library


def fiu_available() -> str | None:
    """None, or why the matrix cannot run here."""
    if shutil.which("fiu-run") is None:
        return "fiu-run not found (Debian package fiu-utils)"
    if shutil.which("cc") is None:
        return "no C compiler for the preload library"
    return None


class Scene:
    def __init__(self, directory: pathlib.Path) -> None:
        import karnid_manifest
        from cryptography.hazmat.primitives import serialization
        from cryptography.hazmat.primitives.asymmetric import ec

        from karnid_manifest import samples

        self.dir = directory
        self.index = samples.write_index(directory / "index.rank_quant", "rank_quant", 16, 5,
                                         bits=4, n_top=8, seed=1)
        self.rows = samples.write_row_map(directory / "rows.jsonl", 5, seed=1)
        self.manifest = directory / "manifest.json"
        self.signature = directory / "manifest.json.sig"
        self.key = directory / "key.pem"
        private = ec.generate_private_key(ec.SECP256R1())
        self.key.write_bytes(private.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
            serialization.NoEncryption()))
        karnid_manifest.create_manifest(self.index, self.manifest, "enc", row_map=self.rows)
        karnid_manifest.sign_manifest(self.manifest, self.key, self.signature)
        self.saved = {p: p.read_bytes() for p in (self.manifest, self.signature)}
        self.names = {p.name for p in directory.iterdir()}

    def reset(self) -> None:
        for path, data in self.saved.items():
            if path.read_bytes() != data:
                path.write_bytes(data)
        for path in self.dir.iterdir():
            if path.name not in self.names:
                path.unlink()

    def cli(self, op: str) -> list[str]:
        return {
            "create": ["create", str(self.index), "--out", str(self.manifest), "--force",
                       "--embedding-model", "enc", "--row-map", str(self.rows)],
            "sign": ["sign", str(self.manifest), "--key", str(self.key), "--signature",
                     str(self.signature), "--force"],
            "verify": ["verify", str(self.manifest)],
            "plan": ["plan", str(self.manifest)],
        }[op]

    def api(self, op: str) -> Callable[[], Any]:
        import karnid_manifest

        return {
            "create": lambda: karnid_manifest.create_manifest(self.index, self.manifest, "enc",
                                                              row_map=self.rows),
            "sign": lambda: karnid_manifest.sign_manifest(self.manifest, self.key,
                                                          self.signature, overwrite=True),
            "verify": lambda: karnid_manifest.verify_manifest(self.manifest),
            "plan": lambda: karnid_manifest.verify_for_load(self.manifest),
        }[op]

    def outputs_whole(self) -> str | None:
        """None when the manifest and signature are each the old file or a whole new one and no
        other file appeared."""
        import karnid_manifest

        extra = sorted(p.name for p in self.dir.iterdir() if p.name not in self.names)
        if extra:
            return f"left behind: {extra}"
        data = self.manifest.read_bytes()
        if data != self.saved[self.manifest]:
            try:
                json.loads(data)
            except ValueError:
                return "the manifest is torn"
            if not karnid_manifest.verify_manifest(self.manifest)["ok"]:
                return "the new manifest does not verify"
        if self.signature.read_bytes() != self.saved[self.signature]:
            try:
                json.loads(self.signature.read_bytes())
            except ValueError:
                return "the signature is torn"
        return None


class Fiu:
    def __init__(self) -> None:
        self.lib = ctypes.CDLL("libfiu.so.0")
        self.extra = ctypes.CDLL(os.environ["KARNID_FIU_EXTRA"])
        self.callback = ctypes.cast(self.extra.karnid_fault_nth, ctypes.c_void_p)
        self.lib.fiu_enable_external.argtypes = [ctypes.c_char_p, ctypes.c_int,
                                                 ctypes.c_void_p, ctypes.c_uint,
                                                 ctypes.c_void_p]
        self.lib.fiu_disable.argtypes = [ctypes.c_char_p]
        self.extra.karnid_fault_arm.argtypes = [ctypes.c_long]

    @contextlib.contextmanager
    def failing(self, point: str, nth: int, code: int) -> Any:
        self.extra.karnid_fault_arm(nth)
        self.lib.fiu_enable_external(point.encode(), 1, code, 0, self.callback)
        try:
            yield
        finally:
            self.lib.fiu_disable(point.encode())

    def fired(self) -> bool:
        return bool(self.extra.karnid_fault_fired())


def _run_cli(argv: list[str]) -> tuple[Any, str]:
    from karnid_manifest import cli

    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status: Any = cli.main(argv)
        except BaseException as exc:  # noqa: BLE001 - an escape is the finding
            status = exc
    return status, err.getvalue()


def judge_cli(op: str, status: Any, err: str, code: int, scene: Scene) -> str | None:
    if isinstance(status, BaseException):
        return f"escaped: {type(status).__name__}: {status}"
    if "Traceback" in err:
        return "traceback on stderr"
    if status == 0:
        return None
    if status == 1 and op in ("verify", "plan", "sign"):
        return None
    lines = [line for line in err.splitlines() if line.strip()]
    if status != 2 or not lines:
        return f"exit {status}, stderr {err!r}"
    first = lines[0]
    if os.strerror(code) not in first or not any(name in first for name in scene.names):
        return f"the error line does not name a file and the OS error: {first!r}"
    return None


def judge_api(op: str, run: Callable[[], Any], code: int) -> str | None:
    import karnid_manifest

    try:
        result = run()
    except OSError as exc:
        if exc.errno != code or exc.filename is None:
            return f"OSError errno={exc.errno} filename={exc.filename!r}: {exc}"
        return None
    except karnid_manifest.VerificationFailed:
        return None if op in ("plan", "sign") else "VerificationFailed"
    except karnid_manifest.SignatureInputError as exc:
        return None if op == "sign" and os.strerror(code) in str(exc) else repr(exc)
    except Exception as exc:  # noqa: BLE001 - any other class is the finding
        return f"{type(exc).__name__}: {exc}"
    if op == "verify" and not isinstance(result, dict):
        return f"verify returned {result!r}"
    return None


def child(args: argparse.Namespace) -> int:
    import karnid_manifest  # noqa: F401 - imported before the failures are switched on

    fiu = Fiu()
    ops = args.ops.split(",")
    points = SAMPLE_POINTS if args.sample else POINTS
    codes = [getattr(errnos, name) for name in args.errno.split(",")]
    tried = findings = 0
    with tempfile.TemporaryDirectory(prefix="karnid-fiu-") as scratch:
        scene = Scene(pathlib.Path(scratch))
        for surface in ("cli", "api"):
            for op in ops:
                if surface == "cli":
                    def attempt() -> tuple[Any, str]:
                        return _run_cli(scene.cli(op))
                else:
                    def attempt() -> tuple[Any, str]:
                        return scene.api(op), ""
                attempt()  # warm: every lazy import is done before anything fails
                scene.reset()
                for point in points:
                    for i in range(MAX_CALLS):
                        code = codes[i % len(codes)]
                        with fiu.failing(point, i + 1, code):
                            if surface == "cli":
                                status, err = _run_cli(scene.cli(op))
                                problem = None
                            else:
                                problem = judge_api(op, scene.api(op), code)
                        if not fiu.fired():
                            break
                        tried += 1
                        if surface == "cli":
                            problem = judge_cli(op, status, err, code, scene)
                        problem = problem or scene.outputs_whole()
                        if problem:
                            findings += 1
                            print(f"FAIL {surface} {op}: call {i + 1} of {point} "
                                  f"({errnos.errorcode[code]}): {problem}", flush=True)
                        scene.reset()
                    else:
                        findings += 1
                        print(f"FAIL {surface} {op}: over {MAX_CALLS} calls of {point}")
    print(f"{tried} failed calls tried, {findings} findings", flush=True)
    return 1 if findings else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sample", action="store_true",
                        help="only writes, fsync, rename and openat")
    parser.add_argument("--ops", default="create,sign,verify,plan")
    parser.add_argument("--errno", default="EIO,ENOSPC")
    parser.add_argument("--build", default="build/faults")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args)
    why = fiu_available()
    if why:
        print(why, file=sys.stderr)
        return 2
    extra = build_extra(pathlib.Path(args.build).resolve())
    argv = [sys.executable, str(pathlib.Path(__file__).resolve()), "--child", "--ops", args.ops,
            "--errno", args.errno] + (["--sample"] if args.sample else [])
    env = dict(os.environ, KARNID_FIU_EXTRA=str(extra))
    shell = 'LD_PRELOAD="$LD_PRELOAD $KARNID_FIU_EXTRA" exec "$@"'
    return subprocess.run(["fiu-run", "-x", "-f", "", "sh", "-c", shell, "sh", *argv],
                          env=env).returncode


if __name__ == "__main__":
    sys.exit(main())
