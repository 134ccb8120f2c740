"""The committed keyless-signature fixture is real: sigstore-python verifies it offline against
its own trust root, over the committed manifest, and refuses every kind of substitution."""

from __future__ import annotations

import base64
import hashlib
import json
import runpy
from pathlib import Path
from typing import Any, Callable

import pytest

import karnid_manifest

pytest.importorskip("sigstore", reason="sigstore cannot be imported")
from sigstore.errors import VerificationError  # noqa: E402
from sigstore.models import Bundle, TrustedRoot  # noqa: E402
from sigstore.verify import Verifier, policy  # noqa: E402

FIXTURE = Path(__file__).resolve().parents[1] / "keyless"
MANIFEST = FIXTURE / "index" / "manifest.json"
BUNDLE = FIXTURE / "index" / "manifest.json.sig"
DIRECTORY_BUNDLE = FIXTURE / "index.sig"
TRUSTED_ROOT = FIXTURE / "trusted_root.json"
IDENTITY = json.loads((FIXTURE / "identity.json").read_text(encoding="utf-8"))
# A verifier that fetched a trust root or asked the log would fail here, not pass.
pytestmark = pytest.mark.usefixtures("no_network")


def verify(bundle: dict[str, Any], root: Path, identity: str, issuer: str) -> tuple[str, bytes]:
    verifier = Verifier(trusted_root=TrustedRoot.from_file(str(root)))
    return verifier.verify_dsse(Bundle.from_json(json.dumps(bundle)),
                                policy.Identity(identity=identity, issuer=issuer))


def test_sigstore_verifies_the_bundle_over_the_committed_manifest() -> None:
    karnid_manifest.verify_for_load(MANIFEST)  # the signed manifest still vouches for its files
    bundle = json.loads(BUNDLE.read_bytes())
    payload_type, payload = verify(bundle, TRUSTED_ROOT, IDENTITY["identity"], IDENTITY["issuer"])
    assert payload_type == "application/vnd.in-toto+json"
    statement = json.loads(payload)
    digest = hashlib.sha256(MANIFEST.read_bytes()).hexdigest()
    assert statement["predicate"]["resources"] == [
        {"name": ".", "algorithm": "sha256", "digest": digest}]
    assert statement["subject"] == [{"name": "manifest.json", "digest": {
        "sha256": hashlib.sha256(bytes.fromhex(digest)).hexdigest()}}]


def test_sigstore_verifies_the_directory_bundle_over_every_committed_file() -> None:
    bundle = json.loads(DIRECTORY_BUNDLE.read_bytes())
    _, payload = verify(bundle, TRUSTED_ROOT, IDENTITY["identity"], IDENTITY["issuer"])
    statement = json.loads(payload)
    assert statement["predicate"]["serialization"]["method"] == "files"
    on_disk = {path.name: hashlib.sha256(path.read_bytes()).hexdigest()
               for path in MANIFEST.parent.iterdir()}
    assert {r["name"]: r["digest"] for r in statement["predicate"]["resources"]} == on_disk


def _flip_last_byte(container: dict[str, Any], key: str) -> None:
    # The last byte of a DER ECDSA signature is inside its s integer: the value still parses.
    raw = bytearray(base64.b64decode(container[key]))
    raw[-1] ^= 0x01
    container[key] = base64.b64encode(bytes(raw)).decode("ascii")


def _other_root(case: dict[str, Any], tmp_path: Path) -> None:
    generator = runpy.run_path(str(FIXTURE / "make_fixture.py"))
    case["root"] = tmp_path / "trusted_root.json"
    case["root"].write_text(
        json.dumps(generator["trusted_root"](generator["make_authority"]("other"))),
        encoding="utf-8")


TAMPERS: dict[str, tuple[Callable[[dict[str, Any], Path], None], str]] = {
    "another identity": (
        lambda case, _: case.update(identity=case["identity"] + "-fork"), "SANs do not match"),
    "another issuer": (
        lambda case, _: case.update(issuer="https://oidc.other.invalid"),
        "OIDCIssuer does not match"),
    "flipped signature byte": (
        lambda case, _: _flip_last_byte(case["bundle"]["dsseEnvelope"]["signatures"][0], "sig"),
        "DSSE: invalid signature"),
    "flipped certificate byte": (
        lambda case, _: _flip_last_byte(
            case["bundle"]["verificationMaterial"]["certificate"], "rawBytes"),
        "certificate chain"),
    "another trusted root": (_other_root, "certificate chain"),
}


@pytest.mark.parametrize("tamper", TAMPERS)
def test_sigstore_refuses_a_substitution(tamper: str, tmp_path: Path) -> None:
    case = {"bundle": json.loads(BUNDLE.read_bytes()), "root": TRUSTED_ROOT,
            **IDENTITY}
    change, reason = TAMPERS[tamper]
    change(case, tmp_path)
    with pytest.raises(VerificationError, match=reason):
        verify(case["bundle"], case["root"], case["identity"], case["issuer"])
