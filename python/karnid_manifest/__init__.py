"""Create, inspect and verify index manifests that vouch for a persisted vector index.

The work is done by the native module ``_karnid_manifest``; this package re-exports its constants
and wraps its functions so that they raise what Python callers expect: a file problem as the
matching OSError subclass (FileNotFoundError, PermissionError, IsADirectoryError, ...) with
``errno`` and ``filename`` set, a refused ``verify_for_load`` as :class:`VerificationFailed`,
which carries every issue, a manifest that cannot be parsed as :class:`ManifestParseError`, with
where and why, a refused row map as :class:`RowMapInvalid` and a resource limit as
:class:`LimitExceeded`. The module's messages stay reachable; everything else (arguments,
results) is the module's behaviour unchanged.

The result types (``VerificationReport``, ``VerifiedLoadPlan``, ``IndexManifest`` and their parts)
can be imported from here for annotations; type checkers see the ``TypedDict`` classes of the
module's stub, and at run time they are ``dict``, which is what the functions return.
"""

from __future__ import annotations

from _karnid_manifest import (
    CALIBRATION_SCHEMA_VERSION,
    DEFAULT_MAX_AUXILIARY_ARTIFACT_BYTES,
    DEFAULT_MAX_AUXILIARY_ARTIFACTS,
    DEFAULT_MAX_CACHED_REPORT_BYTES,
    DEFAULT_MAX_CALIBRATION_PROFILE_BYTES,
    DEFAULT_MAX_ENCODER_DISTORTION_PROFILE_BYTES,
    DEFAULT_MAX_MANIFEST_BYTES,
    DEFAULT_MAX_REPORT_ISSUES,
    DEFAULT_MAX_ROW_IDENTITY_JSONL_LINE_BYTES,
    DEFAULT_MAX_ROW_IDENTITY_ROWS,
    DEFAULT_MAX_ROW_IDENTITY_TRACKED_DB_ID_BYTES,
    ENCODER_DISTORTION_SCHEMA_VERSION,
    SCHEMA_VERSION,
    default_resource_limits,
)

from karnid_manifest.errors import (
    LimitExceeded,
    ManifestParseError,
    RowMapInvalid,
    VerificationFailed,
)
from karnid_manifest.functions import (
    create_manifest,
    inspect_manifest,
    sha256_file,
    verify_for_load,
    verify_manifest,
)
from karnid_manifest.verified import VerifiedFileChanged, VerifiedFiles, open_verified

TYPE_CHECKING = False  # typing's own costs more to import than the whole package
if TYPE_CHECKING:
    from typing import Any

    from _karnid_manifest import (
        Artifact as Artifact,
        ArtifactReport as ArtifactReport,
        AttestationShapeCheck as AttestationShapeCheck,
        AuxiliaryArtifact as AuxiliaryArtifact,
        AuxiliaryArtifactPlan as AuxiliaryArtifactPlan,
        AuxiliaryArtifactReport as AuxiliaryArtifactReport,
        AuxiliaryArtifactSpec as AuxiliaryArtifactSpec,
        BitmapParams as BitmapParams,
        BuildInfo as BuildInfo,
        CalibrationProfileRef as CalibrationProfileRef,
        CalibrationReport as CalibrationReport,
        Embedding as Embedding,
        EncoderDistortionProfileRef as EncoderDistortionProfileRef,
        EncoderDistortionReport as EncoderDistortionReport,
        FileDigest as FileDigest,
        IndexManifest as IndexManifest,
        IndexParams as IndexParams,
        JsonlRowIdentity as JsonlRowIdentity,
        JsonlRowIdentityPlan as JsonlRowIdentityPlan,
        MetadataReport as MetadataReport,
        RankParams as RankParams,
        RankQuantParams as RankQuantParams,
        ReportIssue as ReportIssue,
        ResourceLimits as ResourceLimits,
        RowIdentity as RowIdentity,
        RowIdentityPlan as RowIdentityPlan,
        RowIdentityReport as RowIdentityReport,
        RowIdIdentity as RowIdIdentity,
        RowIdIdentityPlan as RowIdIdentityPlan,
        SignBitmapParams as SignBitmapParams,
        VerificationReport as VerificationReport,
        VerifiedLoadPlan as VerifiedLoadPlan,
    )

    from karnid_manifest.signing import (
        SignatureError as SignatureError,
        SignatureInputError as SignatureInputError,
        SignatureVerificationError as SignatureVerificationError,
        SigningUnavailableError as SigningUnavailableError,
        sign_manifest as sign_manifest,
        verify_manifest_signature as verify_manifest_signature,
        verify_signed_for_load as verify_signed_for_load,
    )

__version__ = "0.1.0"

# The signing names come from karnid_manifest.signing, imported on first use: it loads
# pyca/cryptography, which takes several times as long as the rest of the package.
_SIGNING_NAMES = (
    "sign_manifest",
    "verify_manifest_signature",
    "verify_signed_for_load",
    "SignatureError",
    "SignatureVerificationError",
    "SignatureInputError",
    "SigningUnavailableError",
)

# The result types exist only in the stub; at run time each is the dict the functions return, so
# that importing one for an annotation works outside ``if TYPE_CHECKING`` too.
_RESULT_TYPES = frozenset({
    "Artifact", "ArtifactReport", "AttestationShapeCheck", "AuxiliaryArtifact",
    "AuxiliaryArtifactPlan", "AuxiliaryArtifactReport", "AuxiliaryArtifactSpec", "BitmapParams",
    "BuildInfo", "CalibrationProfileRef", "CalibrationReport", "Embedding",
    "EncoderDistortionProfileRef", "EncoderDistortionReport", "FileDigest", "IndexManifest",
    "IndexParams", "JsonlRowIdentity", "JsonlRowIdentityPlan", "MetadataReport", "RankParams",
    "RankQuantParams", "ReportIssue", "ResourceLimits", "RowIdentity", "RowIdentityPlan",
    "RowIdentityReport", "RowIdIdentity", "RowIdIdentityPlan", "SignBitmapParams",
    "VerificationReport", "VerifiedLoadPlan",
})


def __getattr__(name: str) -> Any:
    if name in _SIGNING_NAMES:
        from karnid_manifest import signing

        value = getattr(signing, name)
        globals()[name] = value  # found without this function from now on
        return value
    if name in _RESULT_TYPES:
        return dict
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *_SIGNING_NAMES})


__all__ = [
    "SCHEMA_VERSION",
    "CALIBRATION_SCHEMA_VERSION",
    "ENCODER_DISTORTION_SCHEMA_VERSION",
    "DEFAULT_MAX_MANIFEST_BYTES",
    "DEFAULT_MAX_ROW_IDENTITY_JSONL_LINE_BYTES",
    "DEFAULT_MAX_ROW_IDENTITY_ROWS",
    "DEFAULT_MAX_ROW_IDENTITY_TRACKED_DB_ID_BYTES",
    "DEFAULT_MAX_AUXILIARY_ARTIFACTS",
    "DEFAULT_MAX_AUXILIARY_ARTIFACT_BYTES",
    "DEFAULT_MAX_CALIBRATION_PROFILE_BYTES",
    "DEFAULT_MAX_ENCODER_DISTORTION_PROFILE_BYTES",
    "DEFAULT_MAX_REPORT_ISSUES",
    "DEFAULT_MAX_CACHED_REPORT_BYTES",
    "default_resource_limits",
    "sha256_file",
    "inspect_manifest",
    "verify_manifest",
    "verify_for_load",
    "create_manifest",
    "VerificationFailed",
    "ManifestParseError",
    "RowMapInvalid",
    "LimitExceeded",
    "open_verified",
    "VerifiedFiles",
    "VerifiedFileChanged",
    *_SIGNING_NAMES,
]
