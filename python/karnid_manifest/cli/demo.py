"""``karnid-manifest demo``: sample data, manifests, verification, a load plan, a signature, then
a damaged file.

Every step runs the command line tool (in this process) and prints the command first, so the
transcript doubles as a tour of the tool.
"""

from __future__ import annotations

import argparse
import json
import os
import shlex
import shutil
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Sequence

from karnid_manifest import render, samples, signing
from karnid_manifest.cli.base import Output, command_prefix, one_line, say
from karnid_manifest.cli.status import Failure
from karnid_manifest.files import relative_unless_climbing as rel

# The tool's entry point, ``karnid_manifest.cli.main``: handed over by it rather than imported,
# since the entry point is what imports the commands.
Tool = Callable[[Sequence[str]], int]

MODEL = "demo-encoder-small"


@dataclass(frozen=True)
class SampleIndex:
    kind: str
    file_name: str
    dim: int
    vectors: int
    bits: int = 4
    n_top: int = 8


SAMPLES = (
    SampleIndex("rank", "index.kdr", dim=32, vectors=200),
    SampleIndex("rank_quant", "index.kdrq", dim=64, vectors=1000, bits=4),
    SampleIndex("bitmap", "index.kdbm", dim=128, vectors=500, n_top=16),
    SampleIndex("sign_bitmap", "index.kdsb", dim=256, vectors=500),
)
# The rank_quant sample is the full one: row map, auxiliary files and both profile blocks.
FULL = "rank_quant"


class _Transcript:
    def __init__(self, style: render.Style, tool: Tool) -> None:
        self.style = style
        self.tool = tool
        self.surprises: list[str] = []

    def heading(self, text: str) -> None:
        say()
        say(self.style.bold(f"== {text}"))

    def note(self, text: str) -> None:
        say(self.style.dim(text))

    def run(self, argv: list[str], expected: int) -> int:
        say()
        say(self.style.bold("$ " + shlex.join([*command_prefix(), *argv])))
        sys.stdout.flush()
        code = self.tool(argv)
        sys.stdout.flush()
        sys.stderr.flush()
        if code != expected:
            self.surprises.append(f"{shlex.join(argv)} exited {code}, expected {expected}")
        note = f"(exit {code})"
        say(self.style.dim(note) if code == expected else self.style.bad(note + " unexpected"))
        return code


def _generate(directory: Path, out: _Transcript) -> dict[str, Path]:
    """Writes one index of each kind in a directory of its own; returns the index paths."""
    indexes = {}
    for sample in SAMPLES:
        folder = directory / sample.kind
        folder.mkdir(parents=True, exist_ok=True)
        indexes[sample.kind] = samples.write_index(folder / sample.file_name, sample.kind,
                                                   sample.dim, sample.vectors, bits=sample.bits,
                                                   n_top=sample.n_top, seed=sample.dim)
    full = directory / FULL
    full_sample = next(s for s in SAMPLES if s.kind == FULL)
    samples.write_row_map(full / "rows.jsonl", full_sample.vectors, seed=1)
    (full / "tokenizer.json").write_text(json.dumps({"vocab_size": 30522, "lowercase": True}),
                                         encoding="utf-8")
    (full / "stopwords.txt").write_text("a\nan\nthe\nof\n", encoding="utf-8")
    samples.write_calibration_profile(full / "calibration.f32", full_sample.dim,
                                      2**full_sample.bits, seed=2)
    samples.write_distortion_profile(full / "distortion.f64", 512, seed=3)
    for path in sorted(p for sample in SAMPLES for p in (directory / sample.kind).iterdir()
                       if p.is_file()):
        if path.name != "manifest.json":
            out.note(f"  {path.stat().st_size:>8} bytes  {rel(path)}")
    return indexes


def _add_profile_blocks(manifest_path: Path) -> None:
    """Adds a calibration block and an encoder distortion block that describe the generated
    profile files (creation writes neither block)."""
    folder = manifest_path.parent
    sample = next(s for s in SAMPLES if s.kind == FULL)
    document: dict[str, Any] = json.loads(manifest_path.read_text(encoding="utf-8"))
    calibration = samples.calibration_block(
        folder / "calibration.f32", folder, model=MODEL, dim=sample.dim, bits=sample.bits,
        profile_id="demo-calibration-1", sample_count=sample.vectors)
    distortion = samples.encoder_distortion_block(
        folder / "distortion.f64", folder, model=MODEL, dim=sample.dim,
        profile_id="demo-distortion-1", sample_size=512,
        calibration_profile_id="demo-calibration-1")
    document = samples.with_profile_blocks(document, calibration=calibration,
                                           encoder_distortion=distortion)
    manifest_path.write_text(json.dumps(document, indent=2), encoding="utf-8")


def options(p: argparse.ArgumentParser) -> None:
    p.add_argument("dir", nargs="?", metavar="DIR",
                   help="directory for the sample files (default: a new one here)")


def run(args: argparse.Namespace, out: Output) -> int:
    return run_demo(args.dir, args.tool)


# Written first into the demo's directory: a directory holding it came from an earlier demo run
# and may be written again; any other directory with files in it is the user's, and is left alone.
MARKER = ".karnid-manifest-demo"


def _claim(folder: Path) -> None:
    """Makes ``folder`` the demo's, or raises Failure when it holds files the demo did not
    write."""
    shown = rel(folder)
    try:
        folder.mkdir(parents=True, exist_ok=True)
        if not (folder / MARKER).is_file() and any(folder.iterdir()):
            raise Failure(f"cannot run the demo in {shown}: it holds files the demo did not "
                          "write; give an empty or new directory")
        (folder / MARKER).touch()
    except OSError as exc:
        raise Failure(f"cannot run the demo in {shown}: {one_line(exc)}") from exc


def _sign(out: _Transcript, manifest: Path) -> None:
    """The demo's signing step: a throwaway key pair, a signature, a check before loading."""
    out.heading("6. sign the manifest with a throwaway key; check the signature before loading")
    if not signing.HAVE_CRYPTOGRAPHY:
        out.note(f"skipped: signing needs pyca/cryptography ({signing.INSTALL_HINT})")
        return
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ec

    keys = manifest.parent.parent / "keys"
    keys.mkdir(exist_ok=True)
    private = ec.generate_private_key(ec.SECP256R1())
    key, pub = keys / "demo-key.pem", keys / "demo-key.pub"
    key.write_bytes(private.private_bytes(serialization.Encoding.PEM,
                                          serialization.PrivateFormat.PKCS8,
                                          serialization.NoEncryption()))
    key.chmod(0o600)
    pub.write_bytes(private.public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
    out.note(f"a new ECDSA P-256 key pair: {rel(key)} (private) and {rel(pub)} (public); "
             "openssl makes the same with genpkey")
    argv = ["sign", rel(manifest), "--key", rel(key)]
    if Path(signing.default_signature_path(manifest)).exists():
        argv.append("--force")  # the signature of an earlier run in the same directory
    out.run(argv, expected=0)
    out.run(["plan", rel(manifest), "--public-key", rel(pub)], expected=0)


def run_demo(directory: str | os.PathLike[str] | None, tool: Tool) -> int:
    """Runs the demo in ``directory`` (default: a fresh directory under the current one),
    running the tool's commands through ``tool``."""
    if directory is None:
        folder = Path(tempfile.mkdtemp(prefix="karnid-demo-", dir="."))
    else:
        folder = Path(directory)
    _claim(folder)
    out = _Transcript(render.Style(render.colour_wanted(sys.stdout)), tool)
    say(out.style.bold(f"karnid-manifest demo in {rel(folder)}"))

    out.heading("1. sample data: one index of each kind, a row map, auxiliary and profile files")
    indexes = _generate(folder, out)

    out.heading("2. create a manifest for each index")
    manifests = {}
    for sample in SAMPLES:
        index = indexes[sample.kind]
        manifest = index.parent / "manifest.json"
        manifests[sample.kind] = manifest
        argv = ["create", rel(index), "--out", rel(manifest), "--embedding-model", MODEL]
        if manifest.exists():
            argv.append("--force")  # a manifest of an earlier run in the same directory
        if sample.kind == FULL:
            argv += ["--row-map", rel(index.parent / "rows.jsonl"),
                     "--aux", f"tokenizer={rel(index.parent / 'tokenizer.json')}",
                     "--optional-aux", f"stopwords={rel(index.parent / 'stopwords.txt')}"]
        else:
            argv.append("--row-id-is-identity")
        out.run(argv, expected=0)

    full_manifest = manifests[FULL]
    out.heading("3. add calibration and encoder distortion blocks")
    out.note(f"create writes neither block; the demo adds both to {rel(full_manifest)}, "
             "pinning calibration.f32 and distortion.f64 by size and SHA-256")
    _add_profile_blocks(full_manifest)

    out.heading("4. verify every manifest")
    for sample in SAMPLES:
        out.run(["verify", rel(manifests[sample.kind])], expected=0)

    out.heading("5. the load plan: canonical paths of exactly the files that were verified")
    out.run(["plan", rel(full_manifest)], expected=0)

    _sign(out, full_manifest)

    damaged_dir = folder / f"{FULL}-damaged"
    damaged = damaged_dir / indexes[FULL].name
    damaged_manifest = damaged_dir / full_manifest.name
    out.heading(f"7. damage a copy: {rel(damaged_dir)}, with the last byte of its index inverted")
    shutil.copytree(full_manifest.parent, damaged_dir, dirs_exist_ok=True)
    samples.flip_byte(damaged)
    out.run(["verify", rel(damaged_manifest)], expected=1)
    out.run(["plan", rel(damaged_manifest)], expected=1)

    say()
    if out.surprises:
        for surprise in out.surprises:
            say(out.style.bad(f"demo: {surprise}"), err=True)
        return 1
    say(out.style.good("demo finished: every step behaved as expected"))
    prefix = shlex.join(command_prefix())
    say(out.style.dim(f"try: {prefix} verify {shlex.quote(rel(full_manifest.parent))}"))
    say(out.style.dim(f"     {prefix} inspect {shlex.quote(rel(full_manifest))}"))
    return 0
