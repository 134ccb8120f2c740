"""Signatures over a manifest file.

A signature is a Sigstore bundle (v0.3 JSON) holding a DSSE envelope whose payload is an in-toto
Statement v1 over the manifest file's exact bytes, in the shape that model-signing's key-based
method writes for a single file: the predicate lists one SHA-256 resource named "." (the file
itself), and the subject digest is the SHA-256 of that resource digest. The signature's ``keyid``
is securesystemslib's key id for the public key, and ``verificationMaterial.publicKey.hint`` is
the SHA-256 of the public key's PEM, so both tools verify the bundle as it stands.

Because the manifest pins every file it names by digest, a signature over its bytes vouches for
the whole index once verification has run. Keys are ECDSA on P-256, P-384 or P-521 (the curves
both tools accept), with the hash each tool pairs with the curve.

A keyless signature (a short-lived certificate for an OIDC identity, recorded in a transparency
log) is the same envelope over the same statement; its certificate, log entry and signature are
verified by sigstore-python through :mod:`karnid_manifest.keyless`, and everything after that
(the statement, the predicate, the manifest digest) by the same code as for a key.

pyca/cryptography is an optional dependency (the ``signing`` extra), and sigstore-python another
(the ``keyless`` extra): without them this module still imports, and every function that needs
one raises :class:`SigningUnavailableError`.
"""

from __future__ import annotations

import base64
import binascii
import dataclasses
import hashlib
import json
import os
from typing import (TYPE_CHECKING, Any, Callable, Literal, NoReturn, NotRequired, TypedDict,
                    Union, cast)

import _karnid_manifest as km

from karnid_manifest import atomic
from karnid_manifest.errors import os_error_text
from karnid_manifest.files import NotRegularFileError, display_path, is_text, open_regular
from karnid_manifest.functions import verify_for_load

if TYPE_CHECKING:
    from _karnid_manifest import VerifiedLoadPlan

try:
    from cryptography.exceptions import InternalError, InvalidSignature, UnsupportedAlgorithm
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature

    HAVE_CRYPTOGRAPHY = True
except ImportError:  # the optional extra is not installed
    HAVE_CRYPTOGRAPHY = False

StrPath = Union[str, "os.PathLike[str]"]
Password = Union[str, bytes, Callable[[], Union[str, bytes]], None]

INSTALL_HINT = "pip install 'karnid-manifest[signing]'"
BUNDLE_MEDIA_TYPE = "application/vnd.dev.sigstore.bundle.v0.3+json"
PAYLOAD_TYPE = "application/vnd.in-toto+json"
STATEMENT_TYPE = "https://in-toto.io/Statement/v1"
PREDICATE_TYPE = "https://model_signing/signature/v1.0"
DIGEST_ALGORITHM = "sha256"
# model-signing names the one resource of a single-file signature after the path of the file
# relative to itself.
FILE_RESOURCE = "."
SIGNATURE_SUFFIX = ".sig"
# A key file is a few hundred bytes; a bundle grows with the files a directory signature lists.
MAX_KEY_BYTES = 64 * 1024
# A bundle is read before anything in it is authenticated, so its size bounds the work a forged
# one can cause: 1 MiB holds a directory signature of some 5000 files.
MAX_BUNDLE_BYTES = 1024 * 1024
# An ECDSA signature in base64 is under 200 characters; a key hint or id, under 100.
MAX_SIGNATURE_FIELD_CHARS = 1024
HASH_CHUNK = 1024 * 1024

# Curve name -> (hash, securesystemslib scheme, name shown to people).
_CURVES = {
    "secp256r1": ("sha256", "ecdsa-sha2-nistp256", "P-256"),
    "secp384r1": ("sha384", "ecdsa-sha2-nistp384", "P-384"),
    "secp521r1": ("sha512", "ecdsa-sha2-nistp521", "P-521"),
}
SUPPORTED_KEYS = "an ECDSA key on P-256, P-384 or P-521"

# Why a signature does not vouch for a manifest: code -> the one line shown to people.
REASONS = {
    "signature_other_key": "the signature was made with another key",
    "signature_value_damaged": "the signature value is damaged",
    "signature_envelope_altered":
        "the signature value is damaged or the envelope was altered after signing",
    "signature_key_unknown":
        "the signature does not verify with this public key (another key, or a damaged value)",
    "statement_unsupported": "the signed statement does not vouch for a manifest",
    "manifest_not_signed": "the signed directory does not list the manifest",
    "manifest_changed_since_signing": "the manifest changed since signing",
    "signed_file_changed": "a file of the signed directory changed since signing",
    "manifest_changed_during_verification": "the manifest changed during verification",
    "unsigned_file_added": "the signed directory holds files that were not signed",
    "signature_identity_mismatch":
        "the signing certificate names another identity or OIDC issuer than the one asked for",
    "signature_not_trusted":
        "the certificate, its log entry or the signature does not verify against the trusted root",
}
ReasonCode = Literal[
    "signature_other_key", "signature_value_damaged", "signature_envelope_altered",
    "signature_key_unknown", "statement_unsupported", "manifest_not_signed",
    "manifest_changed_since_signing", "signed_file_changed",
    "manifest_changed_during_verification", "unsigned_file_added",
    "signature_identity_mismatch", "signature_not_trusted",
]


class SignatureError(ValueError):
    """Base of the signing errors: a loader that refuses on ``ValueError`` refuses on these too."""


class SignatureVerificationError(SignatureError):
    """The signature does not vouch for the manifest. ``code`` is a key of :data:`REASONS`."""

    def __init__(self, code: ReasonCode, detail: str | None = None) -> None:
        self.code = code
        self.reason = REASONS[code]
        self.detail = detail
        super().__init__(self.reason if detail is None else f"{self.reason}: {detail}")


class SignatureInputError(SignatureError):
    """An input cannot be used: a key, a bundle or a manifest that is unreadable or malformed,
    a kind of signature that is not supported, a signature that cannot be written."""


class KeyPasswordRequired(SignatureInputError):
    """The private key is encrypted and no password was given."""


class KeylessIdentityRequired(SignatureInputError):
    """The signature is keyless: verifying it needs the certificate identity and OIDC issuer
    the signer must have, not a public key."""


class SigningUnavailableError(ImportError):
    """An optional dependency is not installed: pyca/cryptography (the ``signing`` extra), or
    sigstore-python for keyless signatures (the ``keyless`` extra)."""

    def __init__(self, message: str = f"signing needs pyca/cryptography: {INSTALL_HINT}") -> None:
        super().__init__(message)


class SignatureInfo(TypedDict):
    """What a signature vouches for: as :func:`sign_manifest` wrote it, or as verified.

    ``kind`` says how it was made: with a key (``key``, ``key_hint`` and ``keyid`` describe it)
    or keyless (``identity`` and ``issuer`` name the signer's certificate, ``integrated_time``
    is when the transparency log recorded the signature, RFC 3339 in UTC, or None)."""

    manifest_path: str
    signature_path: str
    sha256: str
    method: Literal["file", "directory"]
    signed_name: str
    kind: Literal["key", "keyless"]
    key: NotRequired[str]
    key_hint: NotRequired[str]
    keyid: NotRequired[str]
    identity: NotRequired[str]
    issuer: NotRequired[str]
    integrated_time: NotRequired[str | None]


def _need_cryptography() -> None:
    if not HAVE_CRYPTOGRAPHY:
        raise SigningUnavailableError()


def _shown(path: StrPath) -> str:
    return display_path(os.fspath(path))


def default_signature_path(manifest: StrPath) -> str:
    """Where a manifest's signature goes when no path is given: beside it, ``.sig`` appended."""
    return os.fspath(manifest) + SIGNATURE_SUFFIX


# --- files ----------------------------------------------------------------------------------------


def _open_regular(path: StrPath, what: str, *, follow: bool = True) -> int:
    """Opens a regular file for reading without blocking on a FIFO; anything else is refused."""
    try:
        return open_regular(path, follow=follow)
    except NotRegularFileError as exc:
        raise SignatureInputError(f"cannot read {what} {_shown(path)}: {exc}") from exc
    except OSError as exc:
        raise SignatureInputError(f"cannot read {what} {_shown(path)}: {os_error_text(exc)}") from exc
    except ValueError as exc:  # an interior NUL byte
        raise SignatureInputError(f"cannot read {what} {_shown(path)}: {exc}") from exc


def _read_bounded(path: StrPath, limit: int, what: str) -> bytes:
    fd = _open_regular(path, what)
    chunks = []
    size = 0
    try:
        with open(fd, "rb", closefd=True) as stream:
            while size <= limit:
                chunk = stream.read(min(HASH_CHUNK, limit + 1 - size))
                if not chunk:
                    break
                chunks.append(chunk)
                size += len(chunk)
    except OSError as exc:
        raise SignatureInputError(f"cannot read {what} {_shown(path)}: {os_error_text(exc)}") from exc
    if size > limit:
        raise SignatureInputError(f"{what} {_shown(path)} is larger than {limit} bytes")
    return b"".join(chunks)


def _hash_file(fd: int) -> str:
    digest = hashlib.sha256()
    with open(fd, "rb", closefd=True) as stream:
        while chunk := stream.read(HASH_CHUNK):
            digest.update(chunk)
    return digest.hexdigest()


def _manifest_limit(options: dict[str, Any]) -> int:
    limit = options.get("max_manifest_bytes")
    if limit is None:
        return int(km.DEFAULT_MAX_MANIFEST_BYTES)
    if isinstance(limit, bool) or not isinstance(limit, int):
        raise TypeError(f"max_manifest_bytes must be an int, not {type(limit).__name__}")
    if not 0 <= limit < 2**64:
        raise OverflowError(f"max_manifest_bytes {limit} is outside 0 to 2^64-1")
    return limit


def _manifest_sha256(manifest: StrPath, limit: int) -> str:
    return hashlib.sha256(_read_bounded(manifest, limit, "manifest")).hexdigest()


# --- JSON -------------------------------------------------------------------------------------


def _no_duplicates(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    # Two readers that keep different copies of a duplicated key would see different documents.
    result: dict[str, Any] = {}
    for key, value in pairs:
        if key in result:
            raise ValueError(f"duplicate key {key!r}")
        result[key] = value
    return result


def _no_constant(name: str) -> NoReturn:
    raise ValueError(f"{name} is not JSON")


def _parse_json(data: bytes) -> Any:
    """Strict JSON: UTF-8, no duplicate keys, no NaN; raises ValueError or RecursionError."""
    return json.loads(data.decode("utf-8"), object_pairs_hook=_no_duplicates,
                      parse_constant=_no_constant)


def _canonical_string(text: str) -> str:
    # securesystemslib's canonical JSON escapes only the quote and the backslash.
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


# --- keys -------------------------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class _PublicKey:
    key: Any  # ec.EllipticCurvePublicKey
    hash_name: str
    curve: str
    hint: str
    keyid: str

    def algorithm(self) -> Any:
        return ec.ECDSA(getattr(hashes, self.hash_name.upper())())


def _public_key(key: Any, shown: str) -> _PublicKey:
    if not isinstance(key, (ec.EllipticCurvePublicKey, ec.EllipticCurvePrivateKey)):
        raise SignatureInputError(
            f"key {shown} is {_key_kind(key)}; signatures need {SUPPORTED_KEYS}")
    public = key.public_key() if isinstance(key, ec.EllipticCurvePrivateKey) else key
    curve = _CURVES.get(public.curve.name)
    if curve is None:
        raise SignatureInputError(
            f"key {shown} is on curve {public.curve.name}; signatures need {SUPPORTED_KEYS}")
    hash_name, scheme, curve_name = curve
    pem = public.public_bytes(serialization.Encoding.PEM,
                              serialization.PublicFormat.SubjectPublicKeyInfo)
    canonical = ('{"keytype":"ecdsa","keyval":{"public":' + _canonical_string(pem.decode("ascii"))
                 + '},"scheme":' + _canonical_string(scheme) + "}")
    return _PublicKey(public, hash_name, curve_name, hashlib.sha256(pem).hexdigest(),
                      hashlib.sha256(canonical.encode("utf-8")).hexdigest())


def _key_kind(key: object) -> str:
    name = type(key).__name__
    for prefix, kind in (("RSA", "an RSA key"), ("Ed25519", "an Ed25519 key"),
                         ("Ed448", "an Ed448 key"), ("DSA", "a DSA key")):
        if name.startswith(prefix):
            return kind
    return f"a key of an unsupported type ({name})"


def _load_public_key(path: StrPath) -> _PublicKey:
    _need_cryptography()
    shown = _shown(path)
    data = _read_bounded(path, MAX_KEY_BYTES, "public key")
    if b"PRIVATE KEY-----" in data:
        raise SignatureInputError(f"{shown} is a private key; give its public key "
                                  f"(openssl pkey -in {shown} -pubout)")
    if b"PUBLIC KEY-----" not in data:
        raise SignatureInputError(f"{shown} is not a PEM public key (no BEGIN PUBLIC KEY line)")
    try:
        key = serialization.load_pem_public_key(data)
    except (ValueError, UnsupportedAlgorithm) as exc:
        raise SignatureInputError(f"{shown} is not a PEM public key ({exc})") from exc
    return _public_key(key, shown)


def _load_private_key(path: StrPath, password: Password) -> tuple[Any, _PublicKey]:
    _need_cryptography()
    shown = _shown(path)
    data = _read_bounded(path, MAX_KEY_BYTES, "private key")
    if b"PRIVATE KEY-----" not in data:
        raise SignatureInputError(
            f"{shown} is a public key; signing needs its private key" if b"PUBLIC KEY-----" in data
            else f"{shown} is not a PEM private key (no BEGIN PRIVATE KEY line)")
    secret = None if callable(password) else password
    for attempt in (0, 1):
        encoded = secret.encode("utf-8") if isinstance(secret, str) else secret
        try:
            key = serialization.load_pem_private_key(data, encoded)
            break
        except TypeError as exc:  # cryptography's signal for a missing or needless password
            if encoded is not None:
                raise SignatureInputError(
                    f"{shown} is not encrypted, but a password was given") from exc
            if attempt == 0 and callable(password):
                secret = password()
                continue
            raise KeyPasswordRequired(f"{shown} is encrypted; a password is needed") from exc
        except ValueError as exc:
            if encoded is not None:
                raise SignatureInputError(
                    f"cannot decrypt {shown}: wrong password, or a damaged key") from exc
            raise SignatureInputError(f"{shown} is not a PEM private key ({exc})") from exc
        except UnsupportedAlgorithm as exc:
            raise SignatureInputError(f"{shown}: unsupported key ({exc})") from exc
        except InternalError as exc:
            # OpenSSL rejects some malformed key bodies only when it sets the key up.
            raise SignatureInputError(f"{shown} is not a usable private key (OpenSSL could "
                                      "not set it up)") from exc
    return key, _public_key(key, shown)


def check_private_key(key: StrPath, password: Password = None) -> None:
    """Loads the PEM private key as :func:`sign_manifest` does and raises what it raises; a
    callable ``password`` is called only when the key is encrypted."""
    _load_private_key(key, password)


# --- the envelope -----------------------------------------------------------------------------


def pae(payload_type: str, payload: bytes) -> bytes:
    """DSSE's pre-authentication encoding: what the signature is computed over."""
    kind = payload_type.encode("utf-8")
    return b"DSSEv1 %d %b %d %b" % (len(kind), kind, len(payload), payload)


@dataclasses.dataclass(frozen=True)
class _Envelope:
    payload: bytes
    payload_type: str
    sig: str
    keyid: str
    hint: str
    keyless: bool  # a certificate and log entries instead of a key hint
    data: bytes  # the bundle file's bytes, for sigstore-python to read as they are


def _bundle_error(shown: str, problem: str) -> SignatureInputError:
    return SignatureInputError(f"signature {shown} is not a usable bundle: {problem}")


_JSON_KINDS: dict[type, str] = {dict: "an object", list: "an array", str: "a string"}


def _member(document: dict[str, Any], key: str, kind: type, shown: str, where: str) -> Any:
    value = document.get(key)
    if not isinstance(value, kind):
        raise _bundle_error(shown, f"{where}{key} is missing or not {_JSON_KINDS[kind]}")
    return value


_KEYLESS_MATERIAL = frozenset({"certificate", "x509CertificateChain", "x509_certificate_chain"})
_LOG_MATERIAL = ("tlogEntries", "tlog_entries", "timestampVerificationData",
                 "timestamp_verification_data")


def _read_bundle(path: StrPath) -> _Envelope:
    shown = _shown(path)
    data = _read_bounded(path, MAX_BUNDLE_BYTES, "signature")
    try:
        document = _parse_json(data)
    except (ValueError, RecursionError) as exc:
        raise _bundle_error(shown, f"not JSON ({exc})") from exc
    if not isinstance(document, dict):
        raise _bundle_error(shown, "not a JSON object")
    media_type = document.get("mediaType")
    if media_type != BUNDLE_MEDIA_TYPE:
        raise _bundle_error(shown, f"media type {json.dumps(media_type)}, expected "
                                   f"{BUNDLE_MEDIA_TYPE}")
    material = _member(document, "verificationMaterial", dict, shown, "")
    # Bundle readers accept the protobuf field names as well as their JSON (camelCase) names.
    keyless = bool(_KEYLESS_MATERIAL & material.keys()
                   or any(material.get(key) for key in _LOG_MATERIAL))
    public = material.get("publicKey", {})
    hint = public.get("hint") if isinstance(public, dict) else None
    if "dsseEnvelope" not in document and "messageSignature" in document:
        raise _bundle_error(shown, "it holds a message signature, not a DSSE envelope")
    envelope = _member(document, "dsseEnvelope", dict, shown, "")
    payload_type = _member(envelope, "payloadType", str, shown, "dsseEnvelope.")
    if payload_type != PAYLOAD_TYPE:
        raise _bundle_error(shown, f"payload type {json.dumps(payload_type)}, expected "
                                   f"{PAYLOAD_TYPE}")
    try:
        payload = base64.b64decode(_member(envelope, "payload", str, shown, "dsseEnvelope."),
                                   validate=True)
    except binascii.Error as exc:
        raise _bundle_error(shown, f"dsseEnvelope.payload is not base64 ({exc})") from exc
    signatures = _member(envelope, "signatures", list, shown, "dsseEnvelope.")
    if len(signatures) != 1 or not isinstance(signatures[0], dict):
        raise _bundle_error(shown, f"the envelope holds {len(signatures)} signatures, expected 1")
    sig = _member(signatures[0], "sig", str, shown, "dsseEnvelope.signatures[0].")
    keyid = signatures[0].get("keyid", "")
    for field, value in (("signature", sig), ("key id", keyid), ("key hint", hint)):
        if isinstance(value, str) and len(value) > MAX_SIGNATURE_FIELD_CHARS:
            raise _bundle_error(shown, f"its {field} is longer than {MAX_SIGNATURE_FIELD_CHARS} "
                                       "characters")
    return _Envelope(payload, payload_type, sig, keyid if isinstance(keyid, str) else "",
                     hint if isinstance(hint, str) else "", keyless, data)


def _check_signature(envelope: _Envelope, public: _PublicKey) -> None:
    try:
        raw = base64.b64decode(envelope.sig, validate=True)
        decode_dss_signature(raw)
    except (binascii.Error, ValueError) as exc:
        raise SignatureVerificationError("signature_value_damaged") from exc
    try:
        public.key.verify(raw, pae(envelope.payload_type, envelope.payload), public.algorithm())
        return
    except InvalidSignature:
        pass
    # The hint and the key id are not signed: they only explain a failure.
    names_this_key = public.hint == envelope.hint or public.keyid == envelope.keyid
    names_another = bool(envelope.hint or envelope.keyid)
    if names_this_key:
        raise SignatureVerificationError("signature_envelope_altered")
    raise SignatureVerificationError("signature_other_key" if names_another
                                     else "signature_key_unknown")


# --- the statement ----------------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class _Statement:
    name: str
    resources: dict[str, str]  # resource name -> SHA-256 hex, in statement order
    ignored: tuple[str, ...] = ()  # paths the signer left out, relative to the directory


def _unsupported(detail: str) -> SignatureVerificationError:
    return SignatureVerificationError("statement_unsupported", detail)


def _is_digest(value: object) -> bool:
    return (isinstance(value, str) and len(value) == 64
            and all(c in "0123456789abcdef" for c in value))


def _parse_statement(payload: bytes) -> _Statement:
    try:
        statement = _parse_json(payload)
    except (ValueError, RecursionError) as exc:
        raise _unsupported(f"not JSON ({exc})") from exc
    if not isinstance(statement, dict) or statement.get("_type") != STATEMENT_TYPE:
        kind = statement.get("_type") if isinstance(statement, dict) else None
        raise _unsupported(f"statement type {json.dumps(kind)}, expected {STATEMENT_TYPE}")
    if statement.get("predicateType") != PREDICATE_TYPE:
        raise _unsupported(f"predicate type {json.dumps(statement.get('predicateType'))}, "
                           f"expected {PREDICATE_TYPE}")
    subjects = statement.get("subject")
    if not isinstance(subjects, list) or len(subjects) != 1 or not isinstance(subjects[0], dict):
        raise _unsupported("expected exactly one subject")
    digest = subjects[0].get("digest")
    root = digest.get(DIGEST_ALGORITHM) if isinstance(digest, dict) else None
    name = subjects[0].get("name")
    predicate = statement.get("predicate")
    serialization_ = predicate.get("serialization") if isinstance(predicate, dict) else None
    if not isinstance(serialization_, dict):
        raise _unsupported("the predicate has no serialization")
    method, hash_type = serialization_.get("method"), serialization_.get("hash_type")
    if method != "files" or hash_type != DIGEST_ALGORITHM:
        raise _unsupported(f"serialization method {json.dumps(method)} with hash "
                           f"{json.dumps(hash_type)}; only \"files\" with \"sha256\" is accepted")
    listed = predicate.get("resources") if isinstance(predicate, dict) else None
    if not isinstance(listed, list) or not listed:
        raise _unsupported("the predicate lists no resources")
    resources: dict[str, str] = {}
    if isinstance(name, str) and not is_text(name):
        raise _unsupported("the subject name is not UTF-8 text")
    for item in listed:
        if (not isinstance(item, dict) or not isinstance(item.get("name"), str)
                or not is_text(item["name"])
                or item.get("algorithm") != DIGEST_ALGORITHM or not _is_digest(item.get("digest"))
                or item["name"] in resources):
            raise _unsupported(f"resource {json.dumps(item)[:200]} is not a unique SHA-256 "
                               "resource")
        resources[item["name"]] = item["digest"]
    # model-signing's subject digest covers the resource digests in the order listed.
    combined = hashlib.sha256(b"".join(bytes.fromhex(d) for d in resources.values())).hexdigest()
    if root != combined:
        raise _unsupported("the subject digest does not match the listed resources")
    ignored = serialization_.get("ignore_paths", [])
    if not isinstance(ignored, list) or not all(
            isinstance(path, str) and is_text(path) for path in ignored):
        raise _unsupported("the serialization's ignore_paths is not a list of paths")
    return _Statement(name if isinstance(name, str) else "", resources, tuple(ignored))


# What model-signing leaves out of a directory when it signs or verifies one: the version
# control files at the top, besides the signature and the paths the statement names.
_UNSIGNED_TOP = (".git", ".gitattributes", ".github", ".gitignore")


def _unsigned_files(root: str, statement: _Statement, signature: StrPath) -> list[str]:
    """Files under ``root`` that the statement does not list and that model-signing would not
    leave out, as relative names with "/"."""
    ignored = {*_UNSIGNED_TOP, *(os.path.normpath(p).replace(os.sep, "/")
                                  for p in statement.ignored)}
    relative = os.path.relpath(os.path.realpath(signature), os.path.realpath(root))
    if not relative.startswith(".."):
        ignored.add(relative.replace(os.sep, "/"))
    extra = []
    for directory, subdirectories, names in os.walk(root):
        subdirectories.sort()
        for name in sorted(names):
            path = os.path.relpath(os.path.join(directory, name), root).replace(os.sep, "/")
            parts = path.split("/")
            if any("/".join(parts[:n]) in ignored for n in range(1, len(parts) + 1)):
                continue
            if path not in statement.resources:
                extra.append(path)
    return extra


def _check_directory(statement: _Statement, manifest: StrPath, manifest_digest: str,
                     signature: StrPath) -> None:
    """A whole-directory signature: the manifest's directory is the signed one; the manifest
    must be listed, every listed file must still have its digest, and no file may have been
    added (model-signing refuses "extra files" too)."""
    name = os.path.basename(os.fspath(manifest))
    signed = statement.resources.get(os.fsdecode(name))
    if signed is None:
        raise SignatureVerificationError("manifest_not_signed", _shown(name))
    if signed != manifest_digest:
        raise SignatureVerificationError("manifest_changed_since_signing")
    root = os.path.dirname(os.fspath(manifest)) or "."
    real_root = os.path.realpath(root)
    for resource, digest in statement.resources.items():
        if resource == os.fsdecode(name):
            continue
        parts = resource.split("/")
        if (resource.startswith("/") or "\0" in resource
                or any(p in ("", ".", "..") for p in parts)):
            raise _unsupported(f"resource name {json.dumps(resource)} is not a relative path")
        path = os.path.join(root, *parts)
        # Symbolic links anywhere on the path are refused: a link could point the check at
        # another file than the one a loader would find.
        if os.path.realpath(path) != os.path.join(real_root, *parts):
            raise SignatureVerificationError("signed_file_changed",
                                             f"{_shown(resource)} is a symbolic link")
        try:
            fd = _open_regular(path, "signed file", follow=False)
            observed = _hash_file(fd)
        except (SignatureInputError, OSError) as exc:
            raise SignatureVerificationError("signed_file_changed", str(exc)) from exc
        if observed != digest:
            raise SignatureVerificationError("signed_file_changed", _shown(resource))
    extra = _unsigned_files(root, statement, signature)
    if extra:
        raise SignatureVerificationError(
            "unsigned_file_added", ", ".join(_shown(path) for path in extra[:5])
            + (f" and {len(extra) - 5} more" if len(extra) > 5 else ""))


# --- the public functions ---------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class _Identity:
    """Who must have signed a keyless signature, and what vouches for the certificate."""

    identity: str
    issuer: str
    trusted_root: str | None
    offline: bool
    staging: bool


def _trust(public_key: StrPath | None, identity: str | None, issuer: str | None,
           trusted_root: StrPath | None, offline: bool, staging: bool) -> StrPath | _Identity:
    """The public key, or the identity policy: exactly one of the two kinds."""
    keyless_given = (identity is not None or issuer is not None or trusted_root is not None
                     or offline or staging)
    if public_key is not None:
        if keyless_given:
            raise TypeError("give either public_key or the keyless identity (identity=, "
                            "issuer=, trusted_root=, offline=, staging=), not both")
        return public_key
    if identity is None or issuer is None:
        raise TypeError("give public_key, or identity= and issuer= for a keyless signature")
    for name, value in (("identity", identity), ("issuer", issuer)):
        if not isinstance(value, str):
            raise TypeError(f"{name} must be a str, not {type(value).__name__}")
        # An empty issuer would make the identity policy skip the issuer check.
        if not value.strip():
            raise ValueError(f"{name} must not be empty")
    if trusted_root is not None and staging:
        raise TypeError("trusted_root replaces the staging instance's trust root: give one")
    root = None if trusted_root is None else os.fspath(trusted_root)
    return _Identity(identity, issuer, root, bool(offline), bool(staging))


def _verify_keyless(envelope: _Envelope, policy: _Identity,
                    shown: str) -> tuple[bytes, dict[str, Any]]:
    """sigstore-python's verdict on the certificate, the log entry and the signature; returns
    the payload it verified and what the signature info says about the signer."""
    from karnid_manifest import keyless

    try:
        verified = keyless.verify(envelope.data, identity=policy.identity, issuer=policy.issuer,
                                  trusted_root=policy.trusted_root, offline=policy.offline,
                                  staging=policy.staging)
    except keyless.KeylessUnavailable as exc:
        raise SigningUnavailableError(str(exc)) from exc
    except keyless.KeylessInputError as exc:
        raise SignatureInputError(f"signature {shown}: {exc}") from exc
    except keyless.KeylessRefused as exc:
        code: ReasonCode = ("signature_identity_mismatch" if exc.code == keyless.IDENTITY_MISMATCH
                            else "signature_not_trusted")
        raise SignatureVerificationError(code, exc.detail) from exc
    if verified.payload_type != PAYLOAD_TYPE:
        raise _bundle_error(shown, f"payload type {json.dumps(verified.payload_type)}, "
                                   f"expected {PAYLOAD_TYPE}")
    return verified.payload, {"kind": "keyless", "identity": verified.identity,
                              "issuer": verified.issuer,
                              "integrated_time": verified.integrated_time}


def _verified_payload(envelope: _Envelope, trust: StrPath | _Identity,
                      shown: str) -> tuple[bytes, dict[str, Any]]:
    """The payload once the signature over it holds, and what the signature info says about
    the signer."""
    if envelope.keyless:
        if not isinstance(trust, _Identity):
            raise KeylessIdentityRequired(
                f"signature {shown} is keyless (a certificate and a transparency-log entry): "
                "verifying it needs the certificate identity and OIDC issuer the signer must "
                "have, not a public key")
        return _verify_keyless(envelope, trust, shown)
    if isinstance(trust, _Identity):
        raise SignatureInputError(f"signature {shown} was made with a key, not keyless: "
                                  "verify it with the public key")
    public = _load_public_key(trust)
    _check_signature(envelope, public)
    return envelope.payload, {"kind": "key", "key": f"ECDSA {public.curve}",
                              "key_hint": public.hint, "keyid": public.keyid}


def _verify(manifest: StrPath, signature: StrPath, trust: StrPath | _Identity,
            limit: int) -> SignatureInfo:
    envelope = _read_bundle(signature)
    payload, signer = _verified_payload(envelope, trust, _shown(signature))
    statement = _parse_statement(payload)
    digest = _manifest_sha256(manifest, limit)
    method: Literal["file", "directory"] = "directory"
    if list(statement.resources) == [FILE_RESOURCE]:
        method = "file"
        if statement.resources[FILE_RESOURCE] != digest:
            raise SignatureVerificationError("manifest_changed_since_signing")
    else:
        _check_directory(statement, manifest, digest, signature)
    return {
        "manifest_path": _shown(manifest), "signature_path": _shown(signature), "sha256": digest,
        "method": method, "signed_name": statement.name,
        **signer,  # type: ignore[typeddict-item]  # the keys of the kind that verified
    }


def verify_manifest_signature(manifest: StrPath, signature: StrPath,
                              public_key: StrPath | None = None, *,
                              identity: str | None = None, issuer: str | None = None,
                              trusted_root: StrPath | None = None, offline: bool = False,
                              staging: bool = False,
                              max_manifest_bytes: int | None = None) -> SignatureInfo:
    """Checks that ``signature`` (a bundle file) vouches for the manifest's current bytes. The
    files the manifest names are not checked here: :func:`verify_signed_for_load` does both.

    Give one kind of trust: ``public_key`` (a PEM file) for a signature made with a key, or
    ``identity`` and ``issuer`` for a keyless one, the certificate identity (a URI or an email
    address) and OIDC issuer its signer must have. A keyless signature is verified against
    ``trusted_root`` (a trusted_root.json file; nothing is fetched), or else Sigstore's
    production instance (``staging`` for its staging instance), whose trust root is refreshed
    through TUF, or taken from the local cache when ``offline``.

    The manifest is read here once. A caller that goes on to verify it must hold the
    verification to these bytes: :func:`confirm_verified` with what the verification read.

    Raises :class:`SignatureVerificationError` when the signature does not vouch for the
    manifest, :class:`SignatureInputError` when an input cannot be used (a keyless signature
    given a public key: :class:`KeylessIdentityRequired`), :class:`SigningUnavailableError`
    without the extra the signature needs, and TypeError when not exactly one kind of trust is
    given."""
    trust = _trust(public_key, identity, issuer, trusted_root, offline, staging)
    limit = _manifest_limit({"max_manifest_bytes": max_manifest_bytes})
    return _verify(manifest, signature, trust, limit)


def verify_signed_for_load(manifest: StrPath, signature: StrPath,
                           public_key: StrPath | None = None, *, identity: str | None = None,
                           issuer: str | None = None, trusted_root: StrPath | None = None,
                           offline: bool = False, staging: bool = False,
                           **options: Any) -> VerifiedLoadPlan:
    """Verifies the signature (with a public key or a keyless identity, as
    :func:`verify_manifest_signature`), then the manifest and its files with
    ``verify_for_load`` (the ``options`` are its keyword arguments), and refuses unless the
    manifest bytes that verification parsed are the bytes the signature vouches for. Returns the
    load plan of ``verify_for_load``.

    Raises what :func:`verify_manifest_signature` and ``verify_for_load`` raise."""
    trust = _trust(public_key, identity, issuer, trusted_root, offline, staging)
    limit = _manifest_limit(options)
    info = _verify(manifest, signature, trust, limit)
    plan, reads = _verify_recording_reads(manifest, options)
    confirm_verified(info, reads)
    return cast("VerifiedLoadPlan", plan)


def _verify_recording_reads(manifest: StrPath, options: dict[str, Any]) -> Any:
    """``verify_for_load`` with what it read: (plan, reads). The keyword is the package's own,
    absent from the module's documented signature."""
    verify: Any = verify_for_load
    return verify(manifest, record_reads=True, **options)


def confirm_verified(info: SignatureInfo, reads: Any) -> None:
    """Raises :class:`SignatureVerificationError` unless the manifest that a verification parsed
    (``reads``: what ``verify_manifest`` or ``verify_for_load`` report with
    ``record_reads=True``) has the SHA-256 that a checked signature vouches for (``info``). The
    signature is checked on one read of the manifest and the verification makes another: a file
    swapped between the two is caught here, and nothing is read again by name."""
    if reads["manifest"]["sha256"] != info["sha256"]:
        raise SignatureVerificationError("manifest_changed_during_verification")


def _statement(name: str, digest: str) -> bytes:
    statement = {
        "_type": STATEMENT_TYPE,
        "subject": [{"name": name, "digest": {
            DIGEST_ALGORITHM: hashlib.sha256(bytes.fromhex(digest)).hexdigest()}}],
        "predicateType": PREDICATE_TYPE,
        "predicate": {
            "serialization": {"method": "files", "hash_type": DIGEST_ALGORITHM,
                              "allow_symlinks": False},
            "resources": [{"name": FILE_RESOURCE, "algorithm": DIGEST_ALGORITHM,
                           "digest": digest}],
        },
    }
    return json.dumps(statement, indent=2).encode("utf-8")


def _write_signature(path: str, data: bytes, *, overwrite: bool) -> None:
    """The signature appears whole or not at all, through a descriptor of a file of our own."""

    def produce(fd: int) -> None:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]

    try:
        atomic.write_file(path, produce, replace=overwrite)
    except FileExistsError as exc:
        if exc.filename != path:
            raise SignatureInputError(f"cannot write signature {_shown(path)}: "
                                      f"{os_error_text(exc)}") from exc
        raise _signature_exists(path) from exc
    except OSError as exc:
        raise SignatureInputError(f"cannot write signature {_shown(path)}: "
                                  f"{os_error_text(exc)}") from exc


def _signature_exists(path: str) -> SignatureInputError:
    return SignatureInputError(f"the signature path {_shown(path)} exists; --force "
                               "(overwrite=True) replaces it")


def _identity(path: StrPath) -> tuple[int, int] | None:
    try:
        info = os.stat(path)
    except (OSError, ValueError):
        return None
    return info.st_dev, info.st_ino


def _refuse_signature_over_inputs(target: str, key: StrPath | None, reads: Any) -> None:
    """Even with ``overwrite``, a signature never takes the name of the key, the manifest or a
    file the manifest names (by device and inode, whatever the name)."""
    identity = _identity(target)
    if identity is None:
        return
    if key is not None and identity == _identity(key):
        raise SignatureInputError(f"the signature path {_shown(target)} is the private key")
    manifest = reads["manifest"]
    if identity == (manifest["device"], manifest["inode"]):
        raise SignatureInputError(f"the signature path {_shown(target)} is the manifest itself")
    for entry in reads["files"]:
        if identity == (entry["device"], entry["inode"]):
            raise SignatureInputError(f"the signature path {_shown(target)} is a file the "
                                      f"manifest names ({_shown(os.fsdecode(entry['path']))})")


# Signs a statement: its bundle file's bytes, and what the signature info says about the signer.
_Signer = Callable[[bytes], "tuple[bytes, dict[str, Any]]"]


def _key_signer(key: StrPath, password: Password) -> _Signer:
    private, public = _load_private_key(key, password)

    def sign(payload: bytes) -> tuple[bytes, dict[str, Any]]:
        value = private.sign(pae(PAYLOAD_TYPE, payload), public.algorithm())
        bundle = {
            "mediaType": BUNDLE_MEDIA_TYPE,
            "verificationMaterial": {"publicKey": {"hint": public.hint}, "tlogEntries": []},
            "dsseEnvelope": {
                "payload": base64.b64encode(payload).decode("ascii"),
                "payloadType": PAYLOAD_TYPE,
                "signatures": [{"sig": base64.b64encode(value).decode("ascii"),
                                "keyid": public.keyid}],
            },
        }
        return (json.dumps(bundle, separators=(",", ":")).encode("utf-8") + b"\n",
                {"kind": "key", "key": f"ECDSA {public.curve}", "key_hint": public.hint,
                 "keyid": public.keyid})

    return sign


def _keyless_signer(identity_token: str | None, staging: bool) -> _Signer:
    from karnid_manifest import keyless

    try:
        # Before the manifest is verified: a job without a credential fails at once.
        token = keyless.identity_token(identity_token)
    except keyless.KeylessUnavailable as exc:
        raise SigningUnavailableError(str(exc)) from exc
    except keyless.KeylessInputError as exc:
        raise SignatureInputError(str(exc)) from exc

    def sign(payload: bytes) -> tuple[bytes, dict[str, Any]]:
        try:
            signed = keyless.sign(payload, token, staging=staging)
        except keyless.KeylessInputError as exc:
            raise SignatureInputError(str(exc)) from exc
        return signed.bundle + b"\n", {"kind": "keyless", "identity": signed.identity,
                                       "issuer": signed.issuer,
                                       "integrated_time": signed.integrated_time}

    return sign


def sign_manifest(manifest: StrPath, key: StrPath | None = None,
                  signature: StrPath | None = None, *, password: Password = None,
                  keyless: bool = False, identity_token: str | None = None,
                  staging: bool = False, overwrite: bool = False,
                  **options: Any) -> SignatureInfo:
    """Signs the manifest file's exact bytes and writes the bundle to ``signature`` (default:
    beside the manifest, ``.sig`` appended): with the PEM private key ``key``, or, when
    ``keyless``, with a short-lived certificate for an OIDC identity, recorded in the
    transparency log of Sigstore's production instance (``staging``: its staging instance).
    Keyless signing needs the network and an identity token: ``identity_token``, or the CI job's
    ambient credential (GitHub Actions with ``id-token: write``).

    The manifest must verify first (``verify_for_load`` with ``options``: flags and limits); the
    bytes signed are the bytes that verification parsed. ``password`` is the key's password, or
    a callable that returns it and is called only when the key is encrypted. An existing file at
    ``signature`` is replaced only with ``overwrite``, and never when it is the key, the manifest
    or a file the manifest names.

    Raises ``ValueError``/``OSError`` from ``verify_for_load``, :class:`SignatureInputError` for
    a key, a token, a service or a path that cannot be used, :class:`SigningUnavailableError`
    without the extra it needs, and TypeError unless exactly one of ``key`` and ``keyless`` is
    given."""
    if (key is None) == (not keyless):
        raise TypeError("give either key or keyless=True")
    if key is not None and (identity_token is not None or staging):
        raise TypeError("identity_token and staging are for keyless signing")
    sign = (_key_signer(key, password) if key is not None
            else _keyless_signer(identity_token, staging))
    target = default_signature_path(manifest) if signature is None else os.fspath(signature)
    if os.path.exists(target) and os.path.exists(manifest) and os.path.samefile(target, manifest):
        raise SignatureInputError(f"the signature path {_shown(target)} is the manifest itself")
    if os.path.isdir(target):
        raise SignatureInputError(f"the signature path {_shown(target)} is a directory")
    if os.path.lexists(target) and not overwrite:
        raise _signature_exists(target)
    _, reads = _verify_recording_reads(manifest, options)
    _refuse_signature_over_inputs(target, key, reads)
    digest = reads["manifest"]["sha256"]
    name = _shown(os.path.basename(os.fspath(manifest)))
    payload = _statement(name, digest)
    bundle, signer = sign(payload)
    _write_signature(target, bundle, overwrite=overwrite)
    return {
        "manifest_path": _shown(manifest), "signature_path": _shown(target), "sha256": digest,
        "method": "file", "signed_name": name,
        **signer,  # type: ignore[typeddict-item]  # the keys of the kind that signed
    }
