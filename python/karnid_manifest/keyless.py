"""Keyless signatures: a short-lived certificate for a CI job's OIDC identity, and the signature
recorded in a transparency log.

Everything that concerns the certificate and the log is sigstore-python's: the chain to the
trusted root at the time the log gives, the SCT, the inclusion proof, checkpoint and signed entry
timestamp, the identity policy, and the DSSE signature with the certificate's key. This module
only calls it and sorts its verdicts; the payload type, the statement, the predicate and the
manifest digest are checked by :mod:`karnid_manifest.signing`, the same code for both kinds of
signature.

sigstore-python is an optional dependency (the ``keyless`` extra), imported by the call that
needs it.
"""

from __future__ import annotations

import dataclasses
import datetime
import json
import logging
import os
from typing import Any

from karnid_manifest.errors import os_error_text
from karnid_manifest.files import NotRegularFileError, display_path, open_regular

INSTALL_HINT = "pip install 'karnid-manifest[keyless]'"
IDENTITY_MISMATCH = "signature_identity_mismatch"
NOT_TRUSTED = "signature_not_trusted"
# A trusted root lists a handful of certificates and keys; the production one is about 7 KiB.
MAX_TRUSTED_ROOT_BYTES = 1024 * 1024
# Fulcio's OIDC issuer extensions: the current one holds a DER UTF8String, the first one the
# bare UTF-8 text.
_OIDC_ISSUER_V2 = "1.3.6.1.4.1.57264.1.8"
_OIDC_ISSUER_V1 = "1.3.6.1.4.1.57264.1.1"
_UTF8_STRING = 0x0C
_QUIET = logging.NullHandler()


class KeylessUnavailable(ImportError):
    """sigstore-python is not installed."""


class KeylessInputError(ValueError):
    """An input cannot be used: a bundle sigstore-python cannot read, a trusted root that cannot
    be read, a trust root that cannot be fetched, an identity token that cannot be had."""


class KeylessRefused(Exception):
    """The signature does not verify. ``code`` is :data:`IDENTITY_MISMATCH` or
    :data:`NOT_TRUSTED`; ``detail`` is sigstore-python's one-line reason."""

    def __init__(self, code: str, detail: str) -> None:
        super().__init__(detail)
        self.code = code
        self.detail = detail


@dataclasses.dataclass(frozen=True)
class Verified:
    """What sigstore-python verified: the envelope's payload, and who signed it when."""

    payload_type: str
    payload: bytes
    identity: str
    issuer: str
    integrated_time: str | None  # RFC 3339, UTC; None when the entry carries no time


@dataclasses.dataclass(frozen=True)
class Signed:
    """A bundle sigstore-python made, and the identity its certificate names."""

    bundle: bytes
    identity: str
    issuer: str
    integrated_time: str | None


def _sigstore() -> Any:
    try:
        import sigstore.dsse
        import sigstore.errors
        import sigstore.models
        import sigstore.oidc
        import sigstore.verify
        import sigstore.verify.policy
    except ImportError as exc:
        raise KeylessUnavailable(
            f"keyless signatures need sigstore-python: {INSTALL_HINT}") from exc
    # Its warnings (such as the note that an offline trust root is not refreshed) would reach
    # stderr through logging's last resort, beside the tool's own one-line verdicts; a program
    # that configures logging still gets them.
    logging.getLogger("sigstore").addHandler(_QUIET)
    return sigstore


def _one_line(exc: BaseException) -> str:
    return " ".join(str(exc).split()) or type(exc).__name__


def _integrated_time(bundle: bytes) -> str | None:
    # sigstore-python has read these bytes already; the entry's time is the one it checked the
    # certificate at.
    try:
        entry = json.loads(bundle)["verificationMaterial"]["tlogEntries"][0]
        moment = datetime.datetime.fromtimestamp(int(entry["integratedTime"]),
                                                 datetime.timezone.utc)
    except (LookupError, TypeError, ValueError, OverflowError, OSError):
        return None
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


def _trusted_root(sigstore: Any, path: str) -> Any:
    shown = display_path(path)
    # Checked before sigstore-python reads it: a FIFO must not hang the call, nor a huge file
    # fill memory.
    try:
        fd = open_regular(path)
        try:
            size = os.fstat(fd).st_size
        finally:
            os.close(fd)
    except NotRegularFileError as exc:
        raise KeylessInputError(f"cannot read trusted root {shown}: {exc}") from exc
    except OSError as exc:
        raise KeylessInputError(f"cannot read trusted root {shown}: {os_error_text(exc)}") from exc
    except ValueError as exc:  # a NUL byte in the path
        raise KeylessInputError(f"cannot read trusted root {shown}: {exc}") from exc
    if size > MAX_TRUSTED_ROOT_BYTES:
        raise KeylessInputError(
            f"trusted root {shown} is larger than {MAX_TRUSTED_ROOT_BYTES} bytes")
    try:
        return sigstore.models.TrustedRoot.from_file(path)
    except OSError as exc:
        raise KeylessInputError(f"cannot read trusted root {shown}: {os_error_text(exc)}") from exc
    except (ValueError, sigstore.errors.Error) as exc:
        raise KeylessInputError(
            f"trusted root {shown} is not usable: {_one_line(exc)}") from exc


def _verifier(sigstore: Any, trusted_root: str | None, offline: bool, staging: bool) -> Any:
    verifier_type = sigstore.verify.Verifier
    try:
        if trusted_root is not None:
            return verifier_type(trusted_root=_trusted_root(sigstore, trusted_root))
        instance = verifier_type.staging if staging else verifier_type.production
        return instance(offline=offline)
    except KeylessInputError:
        raise
    except (OSError, ValueError, sigstore.errors.Error) as exc:
        where = "staging" if staging else "production"
        how = "from its local cache" if offline else "by a TUF refresh"
        raise KeylessInputError(f"cannot get the Sigstore {where} trust root {how}: "
                                f"{_one_line(exc)}") from exc


class _Watched:
    """sigstore-python's identity policy, remembering whether it was the step that refused: the
    chain and the SCT have been verified when the policy runs, so its refusal means another
    signer, and any other refusal means the signature cannot be trusted."""

    def __init__(self, inner: Any) -> None:
        self.inner = inner
        self.refusal: BaseException | None = None

    def verify(self, cert: Any) -> None:
        try:
            self.inner.verify(cert)
        except BaseException as exc:
            self.refusal = exc
            raise


def verify(bundle: bytes, *, identity: str, issuer: str, trusted_root: str | None = None,
           offline: bool = False, staging: bool = False) -> Verified:
    """Verifies a keyless bundle (its JSON bytes) for a signer with this certificate identity
    and OIDC issuer, against ``trusted_root`` (a trusted_root.json file, nothing fetched) or the
    Sigstore production or staging trust root (a TUF refresh, or the local cache when
    ``offline``). Returns the verified payload.

    Raises :class:`KeylessRefused`, :class:`KeylessInputError` and :class:`KeylessUnavailable`."""
    sigstore = _sigstore()
    try:
        parsed = sigstore.models.Bundle.from_json(bundle)
    except (ValueError, sigstore.errors.Error) as exc:
        raise KeylessInputError(f"not a usable keyless bundle: {_one_line(exc)}") from exc
    verifier = _verifier(sigstore, trusted_root, offline, staging)
    policy = _Watched(sigstore.verify.policy.Identity(identity=identity, issuer=issuer))
    try:
        payload_type, payload = verifier.verify_dsse(parsed, policy)
    except sigstore.errors.VerificationError as exc:
        code = IDENTITY_MISMATCH if policy.refusal is exc else NOT_TRUSTED
        raise KeylessRefused(code, _one_line(exc)) from exc
    except ValueError as exc:  # a malformed part sigstore-python decodes only while verifying
        raise KeylessRefused(NOT_TRUSTED, _one_line(exc)) from exc
    return Verified(payload_type, payload, identity, issuer, _integrated_time(bundle))


# --- signing ----------------------------------------------------------------------------------


def identity_token(token: str | None) -> Any:
    """The OIDC identity token to sign with: ``token``, or the CI job's ambient credential
    (GitHub Actions with ``id-token: write``, and the others sigstore-python detects)."""
    sigstore = _sigstore()
    try:
        text = token if token is not None else sigstore.oidc.detect_credential()
        if text is None:
            raise KeylessInputError(
                "no identity token: give one, or sign in a CI job that has an ambient OIDC "
                "credential (GitHub Actions: permissions id-token: write)")
        return sigstore.oidc.IdentityToken(text)
    except sigstore.errors.Error as exc:
        raise KeylessInputError(f"cannot use the identity token: {_one_line(exc)}") from exc


def _signing_context(staging: bool) -> Any:
    from sigstore.models import ClientTrustConfig
    from sigstore.sign import SigningContext

    config = ClientTrustConfig.staging() if staging else ClientTrustConfig.production()
    return SigningContext.from_trust_config(config)


def _certificate_identity(certificate: Any) -> tuple[str, str]:
    """The identity (first URI or email SAN) and the OIDC issuer a Fulcio certificate names."""
    from cryptography import x509

    identity = issuer = ""
    for extension in certificate.extensions:
        oid = extension.oid.dotted_string
        if isinstance(extension.value, x509.SubjectAlternativeName):
            names = (extension.value.get_values_for_type(x509.UniformResourceIdentifier)
                     + extension.value.get_values_for_type(x509.RFC822Name))
            identity = names[0] if names else ""
        elif oid == _OIDC_ISSUER_V2 and isinstance(extension.value, x509.UnrecognizedExtension):
            der = extension.value.value
            if len(der) >= 2 and der[0] == _UTF8_STRING and der[1] == len(der) - 2:
                issuer = der[2:].decode("utf-8", "replace")
        elif oid == _OIDC_ISSUER_V1 and not issuer and isinstance(
                extension.value, x509.UnrecognizedExtension):
            issuer = extension.value.value.decode("utf-8", "replace")
    return identity, issuer


def sign(payload: bytes, token: Any, *, staging: bool = False) -> Signed:
    """Signs the in-toto statement ``payload`` (bytes kept as they are) as a DSSE envelope with a
    certificate for ``token`` (from :func:`identity_token`), recorded in the transparency log of
    Sigstore's production or staging instance. Needs the network.

    Raises :class:`KeylessInputError` when a service refuses or cannot be reached."""
    sigstore = _sigstore()
    try:
        statement = sigstore.dsse.Statement(payload)
        with _signing_context(staging).signer(token, cache=False) as signer:
            bundle = signer.sign_dsse(statement)
    except (OSError, ValueError, sigstore.errors.Error) as exc:
        raise KeylessInputError(f"keyless signing failed: {_one_line(exc)}") from exc
    data = bundle.to_json().encode("utf-8")
    identity, issuer = _certificate_identity(bundle.signing_certificate)
    return Signed(data, identity, issuer, _integrated_time(data))
