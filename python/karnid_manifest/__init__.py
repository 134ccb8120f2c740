"""Create, inspect and verify index manifests that vouch for a persisted vector index.

The work is done by the native module ``_karnid_manifest``; this package re-exports its constants
and wraps its functions so that they raise what Python callers expect: a file problem as the
matching OSError subclass (FileNotFoundError, PermissionError, IsADirectoryError, ...) with
``errno`` and ``filename`` set, and a refused ``verify_for_load`` as :class:`VerificationFailed`,
which carries the issue codes. Messages stay the module's own; everything else (arguments,
results) is the module's behaviour unchanged.

The result types (``VerificationReport``, ``VerifiedLoadPlan``, ``IndexManifest`` and their parts)
can be imported from here for annotations; type checkers see the ``TypedDict`` classes of the
module's stub, and at run time they are ``dict``, which is what the functions return.
"""

from __future__ import annotations

import errno
import functools
import os
import stat
from typing import TYPE_CHECKING, Any, Callable, ParamSpec, TypeVar

import _karnid_manifest as _km
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

from karnid_manifest import errors
from karnid_manifest.errors import VerificationFailed

if TYPE_CHECKING:
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
    if name in _RESULT_TYPES:
        return dict
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


P = ParamSpec("P")
R = TypeVar("R")


def _argument(args: tuple[Any, ...], kwargs: dict[str, Any], position: int, name: str) -> Any:
    if len(args) > position:
        return args[position]
    return kwargs.get(name)


def _failing_errno(path: Any) -> int | None:
    """The error number that reading ``path`` runs into, or None when it opens; the way the
    module reads (a directory opens but cannot be read) and without blocking on a FIFO."""
    try:
        fspath = os.fspath(path)
        if stat.S_ISDIR(os.stat(fspath).st_mode):
            return errno.EISDIR
        os.close(os.open(fspath, os.O_RDONLY | os.O_NONBLOCK))
    except OSError as exc:
        return exc.errno
    except (TypeError, ValueError):
        return None
    return None


def _manifest_culprit(args: tuple[Any, ...], kwargs: dict[str, Any], number: int | None) -> Any:
    return _argument(args, kwargs, 0, "manifest")


def _path_culprit(args: tuple[Any, ...], kwargs: dict[str, Any], number: int | None) -> Any:
    return _argument(args, kwargs, 0, "path")


def _create_culprit(args: tuple[Any, ...], kwargs: dict[str, Any], number: int | None) -> Any:
    """The module does not say which file it could not read: the first input that fails the
    same way, else the output (whose directory or file could not be created)."""
    index = _argument(args, kwargs, 0, "index")
    if number is None:
        return index  # only the header probe fails without an error number
    inputs = [index, kwargs.get("row_map")]
    items = kwargs.get("auxiliary_artifacts")
    if isinstance(items, (list, tuple)):  # an iterator was used up by the call
        inputs += [item.get("path") for item in items if isinstance(item, dict)]
    for candidate in inputs:
        if candidate is not None and _failing_errno(candidate) == number:
            return candidate
    return _argument(args, kwargs, 1, "out")


def _pythonic(func: Callable[P, R],
              culprit: Callable[[tuple[Any, ...], dict[str, Any], int | None], Any],
              *, plans: bool = False) -> Callable[P, R]:
    @functools.wraps(func)
    def call(*args: P.args, **kwargs: P.kwargs) -> R:
        try:
            return func(*args, **kwargs)
        except OSError as exc:
            if type(exc) is not OSError:
                raise  # already specific: not one of the module's file errors
            number = errors.errno_of(str(exc))
            raise errors.os_error(exc, culprit(args, kwargs, number)) from None
        except ValueError as exc:
            if plans and type(exc) is ValueError and errors.is_plan_refusal(str(exc)):
                raise errors.plan_refusal(str(exc)) from None
            raise

    return call


sha256_file = _pythonic(_km.sha256_file, _path_culprit)
inspect_manifest = _pythonic(_km.inspect_manifest, _manifest_culprit)
verify_manifest = _pythonic(_km.verify_manifest, _manifest_culprit)
verify_for_load = _pythonic(_km.verify_for_load, _manifest_culprit, plans=True)
create_manifest = _pythonic(_km.create_manifest, _create_culprit)

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
