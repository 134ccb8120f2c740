#!/usr/bin/env python3
"""Writes the keyless-signature fixture: a manifest signed the way a CI job signs it with a
short-lived certificate, and the trust root that vouches for that certificate and its log entry.

Everything a verifier checks is made here, so the tests need no network and no public service:
a root CA and an intermediate that issue a leaf certificate for a workflow identity (with the OIDC
issuer extensions and a certificate-transparency SCT embedded in it), a transparency log that
records the DSSE envelope (inclusion proof, signed checkpoint and signed entry timestamp), and a
trusted_root.json naming the CA, the CT log and the transparency log.

The times are fixed and long past, so the certificate, which lives for ten minutes like a real
one, is checked at the log's integration time; the keys are fresh on every run. Needs the package
installed with its signing extra (pyca/cryptography); nothing else outside the standard library.

    python tests/keyless/make_fixture.py [OUTPUT_DIR]    (default: the directory of this script)
"""

from __future__ import annotations

import argparse
import base64
import dataclasses
import datetime
import hashlib
import json
import os
import struct
import sys
from pathlib import Path
from typing import Any

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID, ObjectIdentifier

import karnid_manifest
from karnid_manifest import samples
from karnid_manifest.signing import BUNDLE_MEDIA_TYPE, PAYLOAD_TYPE, _statement, pae

IDENTITY = "https://ci.karnid.invalid/karnid-manifest/.ci/release.yml@refs/heads/main"
ISSUER = "https://oidc.karnid.invalid"
# .invalid names never resolve: a verifier that tried to reach a service would fail loudly.
LOG_URL = "https://tlog.karnid.invalid"
LOG_ORIGIN = "tlog.karnid.invalid"
CT_URL = "https://ct.karnid.invalid"
CA_URL = "https://ca.karnid.invalid"

TRUST_FROM = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)
TRUST_UNTIL = datetime.datetime(2044, 1, 1, tzinfo=datetime.timezone.utc)
SIGNED_AT = datetime.datetime(2024, 6, 1, 12, 0, 0, tzinfo=datetime.timezone.utc)
LEAF_LIFETIME = datetime.timedelta(minutes=10)
INTEGRATED_AT = SIGNED_AT + datetime.timedelta(seconds=30)
# The entry sits inside a small log so that its inclusion proof has both inner and border hashes.
LOG_SIZE = 7
LOG_INDEX = 5

OIDC_ISSUER_OID = ObjectIdentifier("1.3.6.1.4.1.57264.1.1")  # raw UTF-8 value
OIDC_ISSUER_V2_OID = ObjectIdentifier("1.3.6.1.4.1.57264.1.8")  # DER UTF8String value
SCT_LIST_OID = ObjectIdentifier("1.3.6.1.4.1.11129.2.4.2")

TRUSTED_ROOT_MEDIA_TYPE = "application/vnd.dev.sigstore.trustedroot+json;version=0.1"
INDEX_DIR = "index"
INDEX_FILE = "index.kdr"
ROW_MAP_FILE = "rows.jsonl"
MANIFEST_FILE = "manifest.json"
# The directory signature lives beside the directory it signs, as model-signing writes one for
# `sign DIR --signature DIR.sig`, so that it is not among the files it lists.
DIRECTORY_SIGNATURE = INDEX_DIR + ".sig"
MODEL = "fixture-encoder"


def _b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def _der(tag: int, content: bytes) -> bytes:
    size = len(content)
    if size < 0x80:
        return bytes([tag, size]) + content
    length = size.to_bytes((size.bit_length() + 7) // 8, "big")
    return bytes([tag, 0x80 | len(length)]) + length + content


def _spki(key: ec.EllipticCurvePublicKey) -> bytes:
    return key.public_bytes(serialization.Encoding.DER,
                            serialization.PublicFormat.SubjectPublicKeyInfo)


def _key_id(key: ec.EllipticCurvePublicKey) -> bytes:
    # RFC 6962 log id, used for the CT log, the transparency log and the SCT's issuer key hash.
    return hashlib.sha256(_spki(key)).digest()


def _canonical_json(document: Any) -> bytes:
    # RFC 8785 for what is written here: ASCII strings and integers only.
    return json.dumps(document, sort_keys=True, separators=(",", ":")).encode("ascii")


@dataclasses.dataclass(frozen=True)
class Authority:
    """A CA chain, a CT log and a transparency log: the services a keyless signature needs."""

    name: str
    root_key: ec.EllipticCurvePrivateKey
    root: x509.Certificate
    intermediate_key: ec.EllipticCurvePrivateKey
    intermediate: x509.Certificate
    ct_key: ec.EllipticCurvePrivateKey
    log_key: ec.EllipticCurvePrivateKey


def _ca_certificate(subject: x509.Name, key: ec.EllipticCurvePrivateKey, issuer: x509.Name,
                    issuer_key: ec.EllipticCurvePrivateKey, serial: int,
                    path_length: int) -> x509.Certificate:
    builder = (
        x509.CertificateBuilder()
        .subject_name(subject).issuer_name(issuer).public_key(key.public_key())
        .serial_number(serial).not_valid_before(TRUST_FROM).not_valid_after(TRUST_UNTIL)
        .add_extension(x509.BasicConstraints(ca=True, path_length=path_length), critical=True)
        .add_extension(x509.KeyUsage(digital_signature=False, content_commitment=False,
                                     key_encipherment=False, data_encipherment=False,
                                     key_agreement=False, key_cert_sign=True, crl_sign=True,
                                     encipher_only=False, decipher_only=False), critical=True)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()),
                       critical=False)
    )
    if issuer_key is not key:
        builder = builder.add_extension(
            x509.AuthorityKeyIdentifier.from_issuer_public_key(issuer_key.public_key()),
            critical=False)
    return builder.sign(issuer_key, hashes.SHA384())


def make_authority(name: str) -> Authority:
    """A fresh set of keys and CA certificates; ``name`` goes into the certificate subjects."""
    root_key = ec.generate_private_key(ec.SECP384R1())
    intermediate_key = ec.generate_private_key(ec.SECP384R1())
    organization = x509.NameAttribute(NameOID.ORGANIZATION_NAME, name)
    root_name = x509.Name([organization, x509.NameAttribute(NameOID.COMMON_NAME, "fixture root")])
    intermediate_name = x509.Name(
        [organization, x509.NameAttribute(NameOID.COMMON_NAME, "fixture intermediate")])
    root = _ca_certificate(root_name, root_key, root_name, root_key, 1, 1)
    intermediate = _ca_certificate(intermediate_name, intermediate_key, root_name, root_key, 2, 0)
    return Authority(name, root_key, root, intermediate_key, intermediate,
                     ec.generate_private_key(ec.SECP256R1()),
                     ec.generate_private_key(ec.SECP256R1()))


def _log_instance(url: str, key: ec.EllipticCurvePrivateKey) -> dict[str, Any]:
    return {
        "baseUrl": url,
        "hashAlgorithm": "SHA2_256",
        "publicKey": {"rawBytes": _b64(_spki(key.public_key())),
                      "keyDetails": "PKIX_ECDSA_P256_SHA_256",
                      "validFor": {"start": TRUST_FROM.strftime("%Y-%m-%dT%H:%M:%SZ")}},
        "logId": {"keyId": _b64(_key_id(key.public_key()))},
    }


def trusted_root(authority: Authority) -> dict[str, Any]:
    """The authority as a trusted root document (certificate chain listed leaf-side first)."""
    return {
        "mediaType": TRUSTED_ROOT_MEDIA_TYPE,
        "tlogs": [_log_instance(LOG_URL, authority.log_key)],
        "certificateAuthorities": [{
            "subject": {"organization": authority.name, "commonName": "fixture"},
            "uri": CA_URL,
            "certChain": {"certificates": [
                {"rawBytes": _b64(cert.public_bytes(serialization.Encoding.DER))}
                for cert in (authority.intermediate, authority.root)]},
            "validFor": {"start": TRUST_FROM.strftime("%Y-%m-%dT%H:%M:%SZ")},
        }],
        "ctlogs": [_log_instance(CT_URL, authority.ct_key)],
        "timestampAuthorities": [],
    }


# --- the signing certificate --------------------------------------------------------------------


def _sct_list(authority: Authority, tbs_precertificate: bytes) -> bytes:
    """An RFC 6962 SignedCertificateTimestampList with one SCT over the precertificate."""
    timestamp = int(SIGNED_AT.timestamp() * 1000)
    extensions = b""
    issuer_key_hash = _key_id(authority.intermediate_key.public_key())
    signed = (struct.pack("!BBQH", 0, 0, timestamp, 1)  # v1, certificate_timestamp, precert
              + issuer_key_hash + len(tbs_precertificate).to_bytes(3, "big") + tbs_precertificate
              + struct.pack("!H", len(extensions)) + extensions)
    signature = authority.ct_key.sign(signed, ec.ECDSA(hashes.SHA256()))
    sct = (struct.pack("!B", 0) + _key_id(authority.ct_key.public_key())
           + struct.pack("!Q", timestamp) + struct.pack("!H", len(extensions)) + extensions
           + struct.pack("!BBH", 4, 3, len(signature)) + signature)  # sha256, ecdsa
    return struct.pack("!HH", len(sct) + 2, len(sct)) + sct


def issue_leaf(authority: Authority, identity: str, issuer: str,
               key: ec.EllipticCurvePrivateKey) -> x509.Certificate:
    """A short-lived code-signing certificate for ``identity``, with its SCT embedded."""
    builder = (
        x509.CertificateBuilder()
        .subject_name(x509.Name([])).issuer_name(authority.intermediate.subject)
        .public_key(key.public_key()).serial_number(0x4B4D0001)
        .not_valid_before(SIGNED_AT).not_valid_after(SIGNED_AT + LEAF_LIFETIME)
        .add_extension(x509.KeyUsage(digital_signature=True, content_commitment=False,
                                     key_encipherment=False, data_encipherment=False,
                                     key_agreement=False, key_cert_sign=False, crl_sign=False,
                                     encipher_only=False, decipher_only=False), critical=True)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.CODE_SIGNING]), critical=False)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()),
                       critical=False)
        .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(
            authority.intermediate_key.public_key()), critical=False)
        # The subject is empty, so the identity lives in a critical SAN.
        .add_extension(x509.SubjectAlternativeName([x509.UniformResourceIdentifier(identity)]),
                       critical=True)
        .add_extension(x509.UnrecognizedExtension(OIDC_ISSUER_OID, issuer.encode("utf-8")),
                       critical=False)
        .add_extension(x509.UnrecognizedExtension(
            OIDC_ISSUER_V2_OID, _der(0x0C, issuer.encode("utf-8"))), critical=False)
    )
    # The CT log signs the certificate as it is without the SCT list; the list goes last, so the
    # final certificate minus that extension is byte for byte what the log signed.
    precertificate = builder.sign(authority.intermediate_key, hashes.SHA384())
    tbs = precertificate.tbs_certificate_bytes
    sct_extension = x509.UnrecognizedExtension(SCT_LIST_OID,
                                               _der(0x04, _sct_list(authority, tbs)))
    leaf = builder.add_extension(sct_extension, critical=False).sign(
        authority.intermediate_key, hashes.SHA384())
    if leaf.tbs_precertificate_bytes != tbs:
        raise RuntimeError("the SCT does not cover the final certificate's precertificate")
    return leaf


# --- the transparency log -----------------------------------------------------------------------


def _leaf_hash(entry: bytes) -> bytes:
    return hashlib.sha256(b"\x00" + entry).digest()


def _node_hash(left: bytes, right: bytes) -> bytes:
    return hashlib.sha256(b"\x01" + left + right).digest()


def _split(size: int) -> int:
    # The largest power of two smaller than size (RFC 6962, section 2.1).
    return 1 << ((size - 1).bit_length() - 1)


def _tree_hash(leaves: list[bytes]) -> bytes:
    if len(leaves) == 1:
        return _leaf_hash(leaves[0])
    k = _split(len(leaves))
    return _node_hash(_tree_hash(leaves[:k]), _tree_hash(leaves[k:]))


def _audit_path(index: int, leaves: list[bytes]) -> list[bytes]:
    # Lowest sibling first, as RFC 6962's PATH(m, D[n]) lists them.
    if len(leaves) == 1:
        return []
    k = _split(len(leaves))
    if index < k:
        return _audit_path(index, leaves[:k]) + [_tree_hash(leaves[k:])]
    return _audit_path(index - k, leaves[k:]) + [_tree_hash(leaves[:k])]


def _dsse_entry_body(envelope: dict[str, Any], payload: bytes, signature: bytes,
                     leaf: x509.Certificate) -> bytes:
    """The log's canonical record of a DSSE envelope (kind "dsse", version 0.0.1)."""
    return _canonical_json({
        "apiVersion": "0.0.1",
        "kind": "dsse",
        "spec": {
            # A verifier cannot recompute this hash (the envelope is not canonical JSON as sent);
            # it checks the payload hash and the signatures instead.
            "envelopeHash": {"algorithm": "sha256",
                             "value": hashlib.sha256(_canonical_json(envelope)).hexdigest()},
            "payloadHash": {"algorithm": "sha256", "value": hashlib.sha256(payload).hexdigest()},
            "signatures": [{"signature": _b64(signature),
                            "verifier": _b64(leaf.public_bytes(serialization.Encoding.PEM))}],
        },
    })


def log_entry(authority: Authority, body: bytes) -> dict[str, Any]:
    """The entry as a bundle carries it: inclusion proof with a signed checkpoint, and the
    signed entry timestamp that binds the integration time."""
    log_key = authority.log_key
    log_id = _key_id(log_key.public_key())
    leaves = [b"filler entry %d" % i for i in range(LOG_SIZE)]
    leaves[LOG_INDEX] = body
    root_hash = _tree_hash(leaves)
    note = f"{LOG_ORIGIN} - 1\n{LOG_SIZE}\n{_b64(root_hash)}\n"
    note_signature = log_key.sign(note.encode("ascii"), ec.ECDSA(hashes.SHA256()))
    checkpoint = f"{note}\n\u2014 {LOG_ORIGIN} {_b64(log_id[:4] + note_signature)}\n"
    integrated = int(INTEGRATED_AT.timestamp())
    promise = _canonical_json({"body": _b64(body), "integratedTime": integrated,
                               "logID": log_id.hex(), "logIndex": LOG_INDEX})
    return {
        "logIndex": str(LOG_INDEX),
        "logId": {"keyId": _b64(log_id)},
        "kindVersion": {"kind": "dsse", "version": "0.0.1"},
        "integratedTime": str(integrated),
        "inclusionPromise": {
            "signedEntryTimestamp": _b64(log_key.sign(promise, ec.ECDSA(hashes.SHA256())))},
        "inclusionProof": {
            "logIndex": str(LOG_INDEX),
            "rootHash": _b64(root_hash),
            "treeSize": str(LOG_SIZE),
            "hashes": [_b64(h) for h in _audit_path(LOG_INDEX, leaves)],
            "checkpoint": {"envelope": checkpoint},
        },
        "canonicalizedBody": _b64(body),
    }


def keyless_bundle(authority: Authority, payload: bytes, identity: str,
                   issuer: str) -> dict[str, Any]:
    """A v0.3 bundle: the DSSE envelope over ``payload`` signed with a fresh key certified for
    ``identity``, and its log entry."""
    key = ec.generate_private_key(ec.SECP256R1())
    leaf = issue_leaf(authority, identity, issuer, key)
    signature = key.sign(pae(PAYLOAD_TYPE, payload), ec.ECDSA(hashes.SHA256()))
    envelope = {"payload": _b64(payload), "payloadType": PAYLOAD_TYPE,
                "signatures": [{"sig": _b64(signature)}]}
    return {
        "mediaType": BUNDLE_MEDIA_TYPE,
        "verificationMaterial": {
            "certificate": {"rawBytes": _b64(leaf.public_bytes(serialization.Encoding.DER))},
            "tlogEntries": [log_entry(authority, _dsse_entry_body(envelope, payload, signature,
                                                                    leaf))],
        },
        "dsseEnvelope": envelope,
    }


# --- the signed manifest ------------------------------------------------------------------------


def make_index(directory: Path) -> Path:
    """A tiny index with a row map and its manifest; returns the manifest path."""
    directory.mkdir(parents=True, exist_ok=True)
    for name in (INDEX_FILE, ROW_MAP_FILE, MANIFEST_FILE, MANIFEST_FILE + ".sig"):
        (directory / name).unlink(missing_ok=True)
    samples.write_index(directory / INDEX_FILE, "rank", 8, 4, seed=8)
    samples.write_row_map(directory / ROW_MAP_FILE, 4, seed=1)
    manifest = directory / MANIFEST_FILE
    karnid_manifest.create_manifest(directory / INDEX_FILE, manifest, MODEL,
                                    row_map=directory / ROW_MAP_FILE)
    return manifest


def directory_statement(directory: Path) -> bytes:
    """model-signing's in-toto statement for a directory signed with its "files" method: every
    file (the file signature included), sorted by relative path, and a subject digest over
    their digests in that order."""
    resources = []
    for path in sorted(p for p in directory.rglob("*") if p.is_file()):
        resources.append({"name": path.relative_to(directory).as_posix(), "algorithm": "sha256",
                          "digest": hashlib.sha256(path.read_bytes()).hexdigest()})
    combined = hashlib.sha256(b"".join(bytes.fromhex(r["digest"]) for r in resources))
    return json.dumps({
        "_type": "https://in-toto.io/Statement/v1",
        "subject": [{"name": directory.name, "digest": {"sha256": combined.hexdigest()}}],
        "predicateType": "https://model_signing/signature/v1.0",
        "predicate": {
            "serialization": {"method": "files", "hash_type": "sha256", "allow_symlinks": False,
                              "ignore_paths": []},
            "resources": resources,
        },
    }, indent=2).encode("utf-8")


def _write_json(path: Path, document: Any) -> None:
    path.write_text(json.dumps(document, indent=2) + "\n", encoding="utf-8")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", type=Path, default=Path(__file__).resolve().parent)
    out = parser.parse_args(argv).output
    manifest = make_index(out / INDEX_DIR)
    digest = hashlib.sha256(manifest.read_bytes()).hexdigest()
    payload = _statement(os.path.basename(manifest), digest)
    authority = make_authority("karnid-manifest keyless fixture")
    _write_json(out / "trusted_root.json", trusted_root(authority))
    _write_json(manifest.with_name(MANIFEST_FILE + ".sig"),
                keyless_bundle(authority, payload, IDENTITY, ISSUER))
    _write_json(out / DIRECTORY_SIGNATURE,
                keyless_bundle(authority, directory_statement(out / INDEX_DIR), IDENTITY, ISSUER))
    _write_json(out / "identity.json", {"identity": IDENTITY, "issuer": ISSUER})
    print(f"wrote the keyless fixture to {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
