"""Create, inspect and verify index manifests that vouch for a persisted vector index.

The functions live in the native module ``_karnid_manifest``; this package re-exports them
together with the module's constants (in the module's order). The result types are described in
the module's stub and can be imported from ``_karnid_manifest`` under ``typing.TYPE_CHECKING``.
"""

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
    create_manifest,
    default_resource_limits,
    inspect_manifest,
    sha256_file,
    verify_for_load,
    verify_manifest,
)

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
]
__version__ = "0.1.0"

# The signing functions need pyca/cryptography (the "signing" extra) only when they are called.
from karnid_manifest.signing import (  # noqa: E402
    SignatureError,
    SignatureInputError,
    SignatureVerificationError,
    SigningUnavailableError,
    sign_manifest,
    verify_manifest_signature,
    verify_signed_for_load,
)

__all__ += [
    "sign_manifest",
    "verify_manifest_signature",
    "verify_signed_for_load",
    "SignatureError",
    "SignatureVerificationError",
    "SignatureInputError",
    "SigningUnavailableError",
]
