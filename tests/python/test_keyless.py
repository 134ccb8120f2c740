"""Keyless signatures through the package and the tool: the committed fixture (a self-made trust
root, see tests/keyless/NOTICE) verifies offline, every kind of substitution is refused with its
reason, and ``sign --keyless`` hands sigstore-python the statement a key would sign."""

from __future__ import annotations

import base64
import contextlib
import importlib.util
import json
import os
import runpy
import shutil
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Callable, Iterator

import pytest

import karnid_manifest
from karnid_manifest import cli, signing

FIXTURE = Path(__file__).resolve().parents[1] / "keyless"
IDENTITY = json.loads((FIXTURE / "identity.json").read_text(encoding="utf-8"))
KEYLESS_HINT = "pip install 'karnid-manifest[keyless]'"
# Every keyless check here is offline: an attempt to reach a service fails the test.
pytestmark = pytest.mark.usefixtures("no_network")

needs_sigstore = pytest.mark.skipif(
    importlib.util.find_spec("sigstore") is None,
    reason="sigstore-python (the keyless extra) is not installed: keyless signatures unchecked")


@pytest.fixture
def signed(tmp_path: Path) -> Path:
    """A copy of the fixture: index/ with its manifest and file signature, index.sig (the
    directory signature) and trusted_root.json beside it. Returns the manifest."""
    shutil.copytree(FIXTURE / "index", tmp_path / "index")
    for name in ("index.sig", "trusted_root.json"):
        shutil.copy(FIXTURE / name, tmp_path / name)
    return tmp_path / "index" / "manifest.json"


def keyless_options(root: Path, **change: str) -> list[str]:
    policy = {**IDENTITY, **change}
    return ["--certificate-identity", policy["identity"],
            "--certificate-oidc-issuer", policy["issuer"],
            "--trusted-root", str(root / "trusted_root.json")]


def run(capsys: pytest.CaptureFixture[str], *args: str) -> tuple[int, str, str]:
    status = cli.main(list(args))
    out, err = capsys.readouterr()
    return status, out, err


def edit_bundle(path: Path, change: Callable[[dict[str, Any]], None]) -> None:
    bundle = json.loads(path.read_bytes())
    change(bundle)
    path.write_text(json.dumps(bundle), encoding="utf-8")


def flip_last_byte(container: dict[str, Any], key: str) -> None:
    raw = bytearray(base64.b64decode(container[key]))
    raw[-1] ^= 0x01  # inside the DER signature's last integer: the value still parses
    container[key] = base64.b64encode(bytes(raw)).decode("ascii")


def generator() -> dict[str, Any]:
    return runpy.run_path(str(FIXTURE / "make_fixture.py"))


def other_root(root: Path) -> None:
    made = generator()
    (root / "trusted_root.json").write_text(
        json.dumps(made["trusted_root"](made["make_authority"]("other"))), encoding="utf-8")


def other_statement(root: Path) -> None:
    """A valid keyless signature, from the right identity, over a statement that is not a
    manifest's: only the statement check can refuse it."""
    made = generator()
    authority = made["make_authority"]("statement")
    (root / "trusted_root.json").write_text(json.dumps(made["trusted_root"](authority)),
                                            encoding="utf-8")
    statement = json.dumps({"_type": "https://in-toto.io/Statement/v1",
                            "subject": [{"name": "x", "digest": {"sha256": "00" * 32}}],
                            "predicateType": "https://slsa.dev/provenance/v1",
                            "predicate": {}}).encode()
    bundle = made["keyless_bundle"](authority, statement, IDENTITY["identity"],
                                    IDENTITY["issuer"])
    (root / "index" / "manifest.json.sig").write_text(json.dumps(bundle), encoding="utf-8")


FILE_SIG = "index/manifest.json.sig"
# case -> (signature, change, reason)
TAMPERS: dict[str, tuple[str, Callable[[Path, list[str]], None], str]] = {
    "another identity": (FILE_SIG, lambda root, options: options.__setitem__(
        1, IDENTITY["identity"].replace("refs/heads/main", "refs/heads/fork")),
        "signature_identity_mismatch"),
    "another issuer": (FILE_SIG, lambda root, options: options.__setitem__(
        3, "https://oidc.other.invalid"), "signature_identity_mismatch"),
    "another trusted root": (FILE_SIG, lambda root, options: other_root(root),
                             "signature_not_trusted"),
    "signature byte": (FILE_SIG, lambda root, options: edit_bundle(
        root / FILE_SIG, lambda b: flip_last_byte(b["dsseEnvelope"]["signatures"][0], "sig")),
        "signature_not_trusted"),
    "integrated time": (FILE_SIG, lambda root, options: edit_bundle(
        root / FILE_SIG, lambda b: b["verificationMaterial"]["tlogEntries"][0].update(
            integratedTime="1717243290")), "signature_not_trusted"),
    "certificate byte": (FILE_SIG, lambda root, options: edit_bundle(
        root / FILE_SIG, lambda b: flip_last_byte(b["verificationMaterial"]["certificate"],
                                                  "rawBytes")), "signature_not_trusted"),
    "manifest after signing": (FILE_SIG, lambda root, options: (
        root / "index" / "manifest.json").write_bytes(
            (root / "index" / "manifest.json").read_bytes() + b" "),
        "manifest_changed_since_signing"),
    "a file of the signed directory": (
        "index.sig", lambda root, options: (root / FILE_SIG).write_bytes(
            (root / FILE_SIG).read_bytes() + b" "), "signed_file_changed"),
    "a file added to the signed directory": (
        "index.sig", lambda root, options: (root / "index" / "extra.bin").write_bytes(b"x"),
        "unsigned_file_added"),
    "a statement that is not a manifest's": (FILE_SIG, lambda root, options: other_statement(root),
                                             "statement_unsupported"),
}


@needs_sigstore
@pytest.mark.parametrize("command", ["verify", "plan"])
@pytest.mark.parametrize("signature", [FILE_SIG, "index.sig"])
def test_the_fixture_verifies_offline(signed: Path, capsys: pytest.CaptureFixture[str],
                                      command: str, signature: str) -> None:
    root = signed.parent.parent
    status, out, err = run(capsys, command, str(signed), "--signature", str(root / signature),
                           *keyless_options(root))
    assert (status, err) == (0, "")
    first = out.splitlines()[0]
    method = "directory" if signature == "index.sig" else "file"
    assert f"{method} signature, keyless, {IDENTITY['identity']} ({IDENTITY['issuer']}), " \
           "logged 2024-06-01T12:00:30Z" in first


@needs_sigstore
@pytest.mark.parametrize("command", ["verify", "plan"])
@pytest.mark.parametrize("case", list(TAMPERS))
def test_substitutions_are_refused_with_their_reason(signed: Path,
                                                     capsys: pytest.CaptureFixture[str],
                                                     command: str, case: str) -> None:
    root = signed.parent.parent
    signature, change, reason = TAMPERS[case]
    options = keyless_options(root)
    change(root, options)
    status, out, err = run(capsys, command, str(signed), "--signature", str(root / signature),
                           *options, "--json")
    assert status == 1, out + err
    assert json.loads(out)["reason"] == reason
    assert err.count("\n") == 1 and signing.REASONS[reason] in err


@needs_sigstore
def test_offline_uses_sigstores_own_root_which_does_not_vouch_for_the_fixture(
        signed: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str],
        monkeypatch: pytest.MonkeyPatch) -> None:
    for variable in ("HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"):  # an empty TUF cache
        monkeypatch.setenv(variable, str(tmp_path / "home"))
    status, out, err = run(capsys, "plan", str(signed), *keyless_options(tmp_path)[:4],
                           "--offline", "--json")
    assert status == 1, err
    assert json.loads(out)["reason"] == "signature_not_trusted"


@needs_sigstore
def test_python_api_reports_the_signer_and_takes_exactly_one_kind_of_trust(signed: Path) -> None:
    root = signed.parent.parent
    policy = {**IDENTITY, "trusted_root": root / "trusted_root.json"}
    plan = signing.verify_signed_for_load(signed, root / "index.sig", **policy)
    assert plan["artifact_path"].endswith("index.kdr")
    info = signing.verify_manifest_signature(signed, root / FILE_SIG, **policy)
    assert {k: info[k] for k in ("kind", "identity", "issuer", "integrated_time")} == {  # type: ignore[literal-required]
        "kind": "keyless", **IDENTITY, "integrated_time": "2024-06-01T12:00:30Z"}
    assert "key" not in info
    for wrong, error in (({"public_key": root / "k.pub", **policy}, TypeError),
                         ({"identity": IDENTITY["identity"]}, TypeError),
                         ({}, TypeError),
                         ({**policy, "issuer": ""}, ValueError),
                         ({**policy, "staging": True}, TypeError)):
        with pytest.raises(error):
            signing.verify_manifest_signature(signed, root / FILE_SIG, **wrong)


@needs_sigstore
def test_open_verified_takes_a_keyless_identity(signed: Path) -> None:
    root = signed.parent.parent
    policy = {**IDENTITY, "trusted_root": root / "trusted_root.json"}
    with karnid_manifest.open_verified(signed, **policy) as verified:
        assert verified.index.read() == (root / "index" / "index.kdr").read_bytes()
    with pytest.raises(signing.SignatureVerificationError) as caught:
        karnid_manifest.open_verified(signed, **{**policy, "issuer": "https://other.invalid"})
    assert caught.value.code == "signature_identity_mismatch"


def fifo_root(root: Path) -> list[str]:
    os.mkfifo(root / "fifo.json")
    return [*keyless_options(root)[:4], "--trusted-root", str(root / "fifo.json")]


# case -> (arguments after the manifest, a fragment of the one line on stderr)
UNUSABLE: dict[str, tuple[Callable[[Path], list[str]], str]] = {
    "identity without issuer": (lambda root: keyless_options(root)[:2],
                                "--certificate-identity and --certificate-oidc-issuer go "
                                "together"),
    "empty issuer": (lambda root: keyless_options(root, issuer=""),
                     "--certificate-oidc-issuer must not be empty"),
    "identity and public key": (lambda root: [*keyless_options(root), "--public-key", "k.pub"],
                                "--public-key excludes --certificate-identity"),
    "trusted root without identity": (lambda root: keyless_options(root)[4:],
                                      "--trusted-root needs --certificate-identity"),
    "trusted root is a FIFO": (fifo_root, "fifo.json: not a regular file"),
    "trusted root is not one": (lambda root: [*keyless_options(root)[:4], "--trusted-root",
                                              str(root / "index" / "rows.jsonl")],
                                "rows.jsonl is not usable"),
    "a key-made signature": (lambda root: [*keyless_options(root), "--signature",
                                           str(root / "key.sig")],
                             "was made with a key, not keyless"),
}


@needs_sigstore
@pytest.mark.parametrize("case", list(UNUSABLE))
def test_unusable_keyless_input_is_refused_with_status_2(signed: Path,
                                                         capsys: pytest.CaptureFixture[str],
                                                         case: str) -> None:
    root = signed.parent.parent
    bundle = json.loads((root / FILE_SIG).read_bytes())
    bundle["verificationMaterial"] = {"publicKey": {"hint": "00"}, "tlogEntries": []}
    (root / "key.sig").write_text(json.dumps(bundle), encoding="utf-8")
    arguments, fragment = UNUSABLE[case]
    status, out, err = run(capsys, "verify", str(signed), *arguments(root))
    assert (status, out) == (2, "")
    assert err.count("\n") == 1 and fragment in err, err


def test_without_the_extra_a_keyless_signature_asks_for_it(signed: Path) -> None:
    code = "\n".join([
        "import sys",
        "sys.modules['sigstore'] = None  # as if the keyless extra were not installed",
        "from karnid_manifest import cli",
        "sys.exit(cli.main(sys.argv[1:]))",
    ])
    root = signed.parent.parent
    result = subprocess.run([sys.executable, "-c", code, "plan", str(signed),
                             *keyless_options(root)], capture_output=True, text=True,
                            timeout=120, check=False)
    assert result.returncode == 2 and result.stdout == ""
    assert KEYLESS_HINT in result.stderr and result.stderr.count("\n") == 1


# --- sign --keyless -----------------------------------------------------------------------------


def identity_token() -> str:
    jwt = pytest.importorskip("jwt")
    now = int(time.time())
    return str(jwt.encode({"iss": IDENTITY["issuer"], "sub": "release", "aud": "sigstore",
                           "iat": now, "exp": now + 600}, "k" * 32, algorithm="HS256"))


class FakeSigningContext:
    """Sigstore's services as the signer meets them: records the statement it was given and
    returns the fixture's bundle, which is what they would have made of it."""

    def __init__(self, bundle: bytes) -> None:
        self.bundle = bundle
        self.statements: list[bytes] = []
        self.tokens: list[Any] = []

    @contextlib.contextmanager
    def signer(self, token: Any, *, cache: bool = True) -> Iterator[FakeSigningContext]:
        self.tokens.append(token)
        yield self

    def sign_dsse(self, statement: Any) -> Any:
        from sigstore.models import Bundle

        self.statements.append(statement._contents)
        return Bundle.from_json(self.bundle)


@needs_sigstore
def test_sign_keyless_signs_the_statement_a_key_signs(signed: Path, tmp_path: Path,
                                                      capsys: pytest.CaptureFixture[str],
                                                      monkeypatch: pytest.MonkeyPatch) -> None:
    ec = pytest.importorskip("cryptography.hazmat.primitives.asymmetric.ec")
    from cryptography.hazmat.primitives import serialization

    from karnid_manifest import keyless

    root = signed.parent.parent
    services = FakeSigningContext((root / FILE_SIG).read_bytes())
    monkeypatch.setattr(keyless, "_signing_context", lambda staging: services)
    target = tmp_path / "new.sig"
    status, out, err = run(capsys, "sign", str(signed), "--keyless", "--identity-token",
                           identity_token(), "--signature", str(target))
    assert (status, err) == (0, ""), err
    assert [token.identity for token in services.tokens] == ["release"]
    assert json.loads(target.read_bytes()) == json.loads(services.bundle)
    assert f"--certificate-identity {IDENTITY['identity']} --certificate-oidc-issuer " \
           f"{IDENTITY['issuer']}" in out
    # As with a key: an existing signature is replaced only with --force.
    status, out, err = run(capsys, "sign", str(signed), "--keyless", "--identity-token",
                           identity_token(), "--signature", str(target))
    assert status == 2 and "exists; --force" in err, err

    key = tmp_path / "key.pem"
    key.write_bytes(ec.generate_private_key(ec.SECP256R1()).private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
        serialization.NoEncryption()))
    signing.sign_manifest(signed, key, tmp_path / "key.sig")
    by_key = json.loads((tmp_path / "key.sig").read_bytes())["dsseEnvelope"]["payload"]
    assert services.statements == [base64.b64decode(by_key)]

    # What was written verifies as any keyless signature does.
    status, out, err = run(capsys, "verify", str(signed), "--signature", str(target),
                           *keyless_options(root))
    assert status == 0, err


@needs_sigstore
@pytest.mark.parametrize(("arguments", "fragment"), [
    (["--keyless"], "no identity token"),
    (["--keyless", "--identity-token", "not-a-jwt"], "cannot use the identity token"),
    (["--keyless", "--password-env", "PW"], "--password-env is for --key"),
    (["--key", "k.pem", "--identity-token", "t"], "--identity-token is for --keyless"),
    (["--key", "k.pem", "--keyless"], "not allowed with argument"),
])
def test_sign_keyless_refusals_write_nothing(signed: Path, capsys: pytest.CaptureFixture[str],
                                             monkeypatch: pytest.MonkeyPatch,
                                             arguments: list[str], fragment: str) -> None:
    for variable in [v for v in os.environ if v.startswith(("GITHUB_", "ACTIONS_", "GITLAB_",
                                                             "BUILDKITE", "CIRCLE", "SIGSTORE_"))]:
        monkeypatch.delenv(variable)
    target = signed.parent / "out.sig"
    status, out, err = run(capsys, "sign", str(signed), *arguments, "--signature", str(target))
    assert status == 2 and fragment in err, err
    assert not target.exists()
