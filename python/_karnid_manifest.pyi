"""Create, inspect and verify index manifests ("karnid.index_manifest.v1").

Results are plain dicts and lists; the ``TypedDict`` classes below describe them for type checkers
only (import them under ``typing.TYPE_CHECKING``). Every function that touches files releases the
interpreter lock while it reads, so calls may run on several threads at once.

Besides the exceptions each function names, any of them may raise ``PanicException``: an internal
invariant of the module was violated, which is a bug in the module (or memory ran out), never a
verdict on the arguments or the files. It derives from ``BaseException``, so ``except Exception``
does not catch it, and it is not an attribute of the module: the type is created when it is first
raised.
"""

import os
from typing import (
    Final,
    Iterable,
    Literal,
    NotRequired,
    SupportsIndex,
    TypeAlias,
    TypedDict,
    Union,
    Unpack,
)

StrPath: TypeAlias = Union[str, os.PathLike[str]]
"""A file-system path: a str or an ``os.PathLike`` whose ``__fspath__`` returns str."""

Limit: TypeAlias = Union[SupportsIndex, None]
"""A resource limit: an integer from 0 to 2**64 - 1, or None for the default."""

JsonValue: TypeAlias = Union[
    None, bool, int, float, str, list["JsonValue"], dict[str, "JsonValue"]
]

IndexKind: TypeAlias = Literal["rank", "rank_quant", "bitmap", "sign_bitmap"]
AuxiliaryArtifactState: TypeAlias = Literal[
    "verified", "optional_absent", "missing_required", "failed"
]
ProfileParameterization: TypeAlias = Literal[
    "marginal_topk_frequency",
    "bucket_frequency",
    "sign_frequency",
    "rank_position_frequency",
    "empirical_tail_table",
]
DistortionEvidenceKind: TypeAlias = Literal[
    "certified", "empirical_sample", "benchmark_estimate", "teacher_estimate", "caller_asserted"
]

SCHEMA_VERSION: Final[str]
CALIBRATION_SCHEMA_VERSION: Final[str]
ENCODER_DISTORTION_SCHEMA_VERSION: Final[str]
DEFAULT_MAX_MANIFEST_BYTES: Final[int]
DEFAULT_MAX_ROW_IDENTITY_JSONL_LINE_BYTES: Final[int]
DEFAULT_MAX_ROW_IDENTITY_ROWS: Final[int]
DEFAULT_MAX_ROW_IDENTITY_TRACKED_DB_ID_BYTES: Final[int]
DEFAULT_MAX_AUXILIARY_ARTIFACTS: Final[int]
DEFAULT_MAX_AUXILIARY_ARTIFACT_BYTES: Final[int]
DEFAULT_MAX_CALIBRATION_PROFILE_BYTES: Final[int]
DEFAULT_MAX_ENCODER_DISTORTION_PROFILE_BYTES: Final[int]
DEFAULT_MAX_REPORT_ISSUES: Final[int]
DEFAULT_MAX_CACHED_REPORT_BYTES: Final[int]

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

# --- small records -----------------------------------------------------------------------------

class ResourceLimits(TypedDict):
    """The ten resource limits, as returned by :func:`default_resource_limits`."""

    max_manifest_bytes: int
    max_row_map_line_bytes: int
    max_row_map_rows: int
    max_row_map_tracked_id_bytes: int
    max_auxiliary_artifacts: int
    max_auxiliary_artifact_bytes: int
    max_calibration_profile_bytes: int
    max_encoder_distortion_profile_bytes: int
    max_report_issues: int
    max_cached_report_bytes: int

class Limits(TypedDict, total=False):
    """The resource-limit keywords of every function but :func:`sha256_file` (the ten keys of
    :class:`ResourceLimits`); an omitted or None limit takes its default."""

    max_manifest_bytes: Limit
    max_row_map_line_bytes: Limit
    max_row_map_rows: Limit
    max_row_map_tracked_id_bytes: Limit
    max_auxiliary_artifacts: Limit
    max_auxiliary_artifact_bytes: Limit
    max_calibration_profile_bytes: Limit
    max_encoder_distortion_profile_bytes: Limit
    max_report_issues: Limit
    max_cached_report_bytes: Limit

class FileDigest(TypedDict):
    """The result of :func:`sha256_file`."""

    sha256: str
    size_bytes: int

class AuxiliaryArtifactSpec(TypedDict):
    """One item of ``create_manifest(auxiliary_artifacts=...)``; ``required`` defaults to True."""

    name: str
    path: StrPath
    required: NotRequired[bool]

# --- index parameters (manifest ``artifact.params`` and probed ``metadata.params``) ------------

class RankParams(TypedDict):
    kind: Literal["rank"]

class RankQuantParams(TypedDict):
    kind: Literal["rank_quant"]
    bits: int

class BitmapParams(TypedDict):
    kind: Literal["bitmap"]
    n_top: int

class SignBitmapParams(TypedDict):
    kind: Literal["sign_bitmap"]

IndexParams: TypeAlias = Union[RankParams, RankQuantParams, BitmapParams, SignBitmapParams]

# --- the manifest document (inspect_manifest, create_manifest) --------------------------------

class Artifact(TypedDict):
    path: str
    sha256: str
    kind: IndexKind
    format_version: int
    dim: int
    vector_count: int
    bytes_per_vec: int
    params: IndexParams
    file_size_bytes: int

class AuxiliaryArtifact(TypedDict):
    name: str
    path: str
    sha256: str
    file_size_bytes: int
    required: bool

class Embedding(TypedDict):
    model: str
    dim: int
    model_revision: NotRequired[str]
    tokenizer_revision: NotRequired[str]
    pooling: NotRequired[str]
    corpus_digest: NotRequired[str]
    embedding_matrix_digest: NotRequired[str]
    normalization: NotRequired[str]

class EncoderSpec(TypedDict):
    model: str
    dim: int
    model_revision: NotRequired[str]
    normalization: NotRequired[str]

class MetricSpec(TypedDict):
    name: str
    version: NotRequired[str]
    digest: NotRequired[str]

class RowIdentityDb(TypedDict, total=False):
    path: str
    table: str
    id_column: str

class JsonlRowIdentity(TypedDict):
    kind: Literal["jsonl"]
    path: str
    sha256: str
    row_count: int
    id_kind: str
    db: NotRequired[RowIdentityDb]

class RowIdIdentity(TypedDict):
    kind: Literal["row_id_identity"]
    row_count: int

RowIdentity: TypeAlias = Union[JsonlRowIdentity, RowIdIdentity]

class BuildInfo(TypedDict):
    invocation_id: str
    builder_id: NotRequired[str]
    source_repo: NotRequired[str]
    source_commit: NotRequired[str]
    ci_provider: NotRequired[str]
    ci_run_id: NotRequired[str]

class TopKOrdinalization(TypedDict):
    kind: Literal["top_k"]
    dim: int
    k: int

class BucketOrdinalization(TypedDict):
    kind: Literal["bucket"]
    dim: int
    bits: int

class SignOrdinalization(TypedDict):
    kind: Literal["sign"]
    dim: int

class RankPositionOrdinalization(TypedDict):
    kind: Literal["rank_position"]
    dim: int

class CallerDefinedOrdinalization(TypedDict):
    kind: Literal["caller_defined"]
    dim: int
    name: str

CalibrationOrdinalization: TypeAlias = Union[
    TopKOrdinalization,
    BucketOrdinalization,
    SignOrdinalization,
    RankPositionOrdinalization,
    CallerDefinedOrdinalization,
]

class UniformHypergeometricNullModel(TypedDict):
    kind: Literal["uniform_hypergeometric"]

class WeightedMarginalProfileNullModel(TypedDict):
    kind: Literal["weighted_marginal_profile"]
    parameterization: ProfileParameterization

class EmpiricalTailTableNullModel(TypedDict):
    kind: Literal["empirical_tail_table"]
    statistic: str

class CallerDefinedNullModel(TypedDict):
    kind: Literal["caller_defined"]
    name: str
    parameterization: NotRequired[str]

NullModelSpec: TypeAlias = Union[
    UniformHypergeometricNullModel,
    WeightedMarginalProfileNullModel,
    EmpiricalTailTableNullModel,
    CallerDefinedNullModel,
]

class ProfileArtifactRef(TypedDict):
    path: str
    sha256: str
    file_size_bytes: int
    dim: int
    sample_count: int
    parameterization: ProfileParameterization
    format: str
    shape: NotRequired[list[int]]
    source_digest: NotRequired[str]

class CalibrationProfileRef(TypedDict):
    schema_version: str
    profile_id: str
    created_at: NotRequired[str]
    calibrated_for: EncoderSpec
    ordinalization: CalibrationOrdinalization
    profile: NotRequired[ProfileArtifactRef]
    null_model: NullModelSpec

class DistortionBounds(TypedDict, total=False):
    declared_lower_bound: float
    declared_upper_bound: float
    estimated_distortion: float
    violation_rate: float
    max_observed_violation: float
    quantile_observed_violation: float

class DistortionScope(TypedDict, total=False):
    corpus_digest: str
    query_set_digest: str
    pair_sample_digest: str
    domain: str
    sample_size: int
    confidence: float
    coverage: float
    estimator_version: str

class DistortionEvidence(TypedDict):
    kind: DistortionEvidenceKind
    estimator_id: NotRequired[str]
    estimator_hash: NotRequired[str]

class DistortionProfileArtifactRef(TypedDict):
    path: str
    sha256: str
    file_size_bytes: int
    format: str
    source_digest: NotRequired[str]

class EncoderDistortionProfileRef(TypedDict):
    schema_version: str
    profile_id: str
    created_at: NotRequired[str]
    encoder: EncoderSpec
    tokenizer_revision: NotRequired[str]
    pooling: NotRequired[str]
    source_metric: MetricSpec
    embedding_metric: MetricSpec
    bounds: DistortionBounds
    scope: DistortionScope
    evidence: DistortionEvidence
    profile: NotRequired[DistortionProfileArtifactRef]
    calibration_profile_id: NotRequired[str]

class IndexManifest(TypedDict):
    """A manifest as :func:`inspect_manifest` and :func:`create_manifest` return it. Optional
    keys are left out when they are not given; ``attestations`` and ``extensions`` hold any
    JSON."""

    schema_version: str
    manifest_id: str
    created_at: str
    artifact: Artifact
    auxiliary_artifacts: NotRequired[list[AuxiliaryArtifact]]
    embedding: Embedding
    encoder_distortion: NotRequired[EncoderDistortionProfileRef]
    calibration: NotRequired[CalibrationProfileRef]
    row_identity: RowIdentity
    build: NotRequired[BuildInfo]
    attestations: NotRequired[list[JsonValue]]
    extensions: NotRequired[dict[str, JsonValue]]

# --- the verification report (verify_manifest) --------------------------------------------------

class ReportIssue(TypedDict):
    code: str
    message: str

class MetadataReport(TypedDict):
    """Header facts probed from the index file."""

    kind: IndexKind
    format_version: int
    dim: int
    vector_count: int
    bytes_per_vec: int
    params: IndexParams
    file_size_bytes: int

class ArtifactReport(TypedDict):
    manifest_path: str | None
    observed_path: str | None
    canonical_path: str | None
    sha256: str | None
    size_bytes: int | None
    metadata: MetadataReport | None

class AuxiliaryArtifactReport(TypedDict):
    name: str
    manifest_path: str
    resolved_path: str | None
    canonical_path: str | None
    expected_sha256: str | None
    expected_size_bytes: int | None
    required: bool
    state: AuxiliaryArtifactState
    reason_code: str | None
    sha256: str | None
    size_bytes: int | None

class RowIdentityReport(TypedDict):
    kind: str | None
    manifest_path: str | None
    canonical_path: str | None
    sha256: str | None
    row_count: int | None
    validated_rows: int | None

class EncoderDistortionReport(TypedDict):
    present: bool
    schema_version: str | None
    profile_id: str | None
    evidence_kind: str | None
    source_metric: str | None
    embedding_metric: str | None
    profile_manifest_path: str | None
    profile_canonical_path: str | None
    profile_sha256: str | None
    profile_size_bytes: int | None

class CalibrationReport(TypedDict):
    present: bool
    schema_version: str | None
    profile_id: str | None
    calibrated_for_model: str | None
    ordinalization: str | None
    null_model: str | None
    profile_manifest_path: str | None
    profile_canonical_path: str | None
    profile_sha256: str | None
    profile_size_bytes: int | None

class AttestationShapeCheck(TypedDict):
    predicate_type: str | None
    builder_id: str | None
    subject_sha256_matched: bool

class VerificationReport(TypedDict):
    """The result of :func:`verify_manifest`: ``ok`` is True exactly when ``errors`` is empty.
    Every key is always present; values that were not observed are None."""

    ok: bool
    checked_at: str
    manifest_id: str | None
    artifact: ArtifactReport
    auxiliary_artifacts: list[AuxiliaryArtifactReport]
    row_identity: RowIdentityReport
    encoder_distortion: EncoderDistortionReport
    calibration: CalibrationReport
    attestation_shape_checks: list[AttestationShapeCheck]
    errors: list[ReportIssue]
    warnings: list[ReportIssue]
    skipped_checks: list[str]

# --- the load plan (verify_for_load) ------------------------------------------------------------

class JsonlRowIdentityPlan(TypedDict):
    """A verified row-identity file: its canonical path, digest and row count."""

    kind: Literal["jsonl"]
    path: str
    row_count: int
    validated_rows: int
    sha256: str

class RowIdIdentityPlan(TypedDict):
    """No file to read: row *i* is identifier *i*."""

    kind: Literal["row_id_identity"]
    path: None
    row_count: int
    validated_rows: None
    sha256: None

RowIdentityPlan: TypeAlias = Union[JsonlRowIdentityPlan, RowIdIdentityPlan]
"""The plan's row identity; test ``kind`` to tell the two apart."""

class AuxiliaryArtifactPlan(TypedDict):
    name: str
    path: str | None
    required: bool
    state: Literal["verified", "optional_absent"]
    reason_code: str | None
    sha256: str | None
    size_bytes: int | None

class VerifiedLoadPlan(TypedDict):
    """The result of :func:`verify_for_load`: canonical paths of exactly the files that were
    verified, the probed index metadata and the full report. The paths are decoded as
    ``os.fsdecode`` does (bytes that are not UTF-8 become surrogate escapes), so ``open()`` on
    them names exactly the verified files; the report's paths are display text."""

    manifest_path: str | None
    artifact_path: str
    metadata: MetadataReport
    row_identity: RowIdentityPlan
    auxiliary_artifacts: list[AuxiliaryArtifactPlan]
    report: VerificationReport

# --- keywords private to the karnid_manifest package -------------------------------------------
#
# Three keyword-only arguments are accepted but left out of the signatures above (and out of each
# function's __text_signature__): a caller of the documented functions never passes them, and
# without them every result is as documented.
# - verify_manifest / verify_for_load ``record_reads=True``: the result becomes a pair
#   ``(result, reads)``; ``reads`` is ``{"manifest": {...}, "files": [{"role", "name", ...}]}``
#   where every entry has "sha256", "size_bytes", "device", "inode", "mtime_ns", "ctime_ns",
#   "steady" and "path" (bytes). "manifest" describes the exact bytes that were parsed; "files"
#   every file read to its end, at its canonical path. The package binds signatures and open
#   handles to these instead of reading a file again by name.
# - verify_manifest / verify_for_load ``issue_lines=True``: every report issue also has "line",
#   the 0-based row-map line it concerns, or None.
# - create_manifest ``out_fd=FD``: the manifest is written to the open descriptor FD (from its
#   offset; neither truncated nor closed) and nothing is opened or created by name; ``out`` only
#   places it (paths are relative to its directory, which must exist).

# --- facts on raised errors (private to the karnid_manifest package) ---------------------------
#
# Every OSError and ValueError that a function raises for a library error carries, besides its
# message, a dict in the private attribute ``_karnid_facts``: what the module knew when it failed,
# so that the package can explain and classify the error without reading the message. Callers of
# the module should rely on the exception class and message only; these names and keys belong to
# the package and may change with it. Errors of argument conversion (TypeError, ...) carry none.

class _IssueFacts(TypedDict):
    code: str
    message: str
    line: int | None
    """The 0-based row-map line that the message names ("line 4 ..."), else None."""

class _FileFacts(TypedDict):
    """An I/O failure ("os": an errno; "io_text": an error with its own text, such as an unknown
    index magic) or a failed write of the output file ("write_failed", a ValueError)."""

    kind: Literal["os", "io_text", "write_failed"]
    errno: int | None
    path: bytes | None
    """The OS bytes of the file the failing call was made on, where known."""

_ParseReason: TypeAlias = Literal[
    # the reader
    "eof_value",
    "eof_string",
    "eof_array",
    "eof_object",
    "expected_value",
    "expected_ident",
    "trailing_characters",
    "depth_limit",
    "control_character",
    "invalid_escape",
    "invalid_code_point",
    "lone_surrogate",
    "end_of_hex_escape",
    "number_out_of_range",
    "invalid_number",
    "expected_comma_or_array_end",
    "expected_comma_or_object_end",
    "expected_colon",
    "key_must_be_string",
    "trailing_comma",
    # typed reading
    "missing_key",
    "duplicate_key",
    "unknown_key",
    "unknown_variant",
    "invalid_type",
    "invalid_value",
    "invalid_length",
]

class _ParseFacts(TypedDict):
    """A manifest that cannot be read: where, why, and the pieces of the message."""

    kind: Literal["json"]
    reason: _ParseReason
    offset: int
    """Bytes of the document before the reported line and column."""
    line: int
    column: int
    json_path: list[str | int]
    """The member being read, outermost first (``["auxiliary_artifacts", 2, "sha256"]``); for
    an unknown or repeated key it ends with that key, for a missing key it is the object. For a
    syntax error: the member or element begun last in each container still open."""
    key: NotRequired[str]
    """missing_key, duplicate_key, unknown_key."""
    allowed: NotRequired[list[str]]
    """unknown_key, unknown_variant: the names accepted there."""
    expected: NotRequired[str]
    """invalid_type, invalid_value, invalid_length: what would do, as the message says it
    ("usize", "a string", "struct Artifact")."""
    found: NotRequired[Literal["null", "boolean", "integer", "float", "string", "array", "object"]]
    """invalid_type, invalid_value: the JSON type found."""
    value: NotRequired[bool | int | float | str]
    """invalid_type, invalid_value: the scalar found (not for null, arrays and objects);
    unknown_variant: the name given."""
    length: NotRequired[int]
    """invalid_length."""

class _CodedFacts(TypedDict):
    kind: Literal["coded"]
    code: str
    path: bytes | None
    """The file whose size limit was hit, for the bounded reads."""

class _RefusalFacts(TypedDict):
    """verify_for_load refusing a report with issues ("verification_failed": every error issue
    of the report, not only the codes the message names), or create_manifest refusing a row map
    ("row_map_invalid": every issue the row validator found)."""

    kind: Literal["verification_failed", "row_map_invalid"]
    issues: list[_IssueFacts]

class _MessageFacts(TypedDict):
    """Any other refusal ("invalid"), or a clean report that cannot become a load plan
    ("inconsistent_report"): the message says it all."""

    kind: Literal["invalid", "inconsistent_report"]

_KarnidFacts: TypeAlias = Union[_FileFacts, _ParseFacts, _CodedFacts, _RefusalFacts, _MessageFacts]
"""The value of an exception's ``_karnid_facts``, told apart by its "kind"."""

# --- functions ----------------------------------------------------------------------------------

def default_resource_limits() -> ResourceLimits:
    """Return a new dict with the default of each of the ten resource limits."""

def sha256_file(path: StrPath) -> FileDigest:
    """Hash a whole file with SHA-256, however large, and count its bytes.

    Raises OSError when the file cannot be opened or read (a directory, a missing file).
    """

def inspect_manifest(manifest: StrPath, **limits: Unpack[Limits]) -> IndexManifest:
    """Parse a manifest strictly and return it; no file that it names is opened.

    Only ``max_manifest_bytes`` has an effect. Raises OSError when the manifest cannot be read,
    ValueError when it is too large ("manifest_file_too_large: ...") or is not a valid manifest
    (the message ends with "at line L column C").
    """

def verify_manifest(
    manifest: StrPath,
    *,
    index: StrPath | None = None,
    allow_absolute_paths: bool = False,
    allow_path_escape: bool = False,
    allow_duplicate_db_ids: bool = False,
    **limits: Unpack[Limits],
) -> VerificationReport:
    """Check a manifest and every file it names; return the report.

    A failed check never raises: read ``report["ok"]`` and ``report["errors"]``. ``index``
    replaces the manifest's ``artifact.path`` (resolved the same way). Paths in the manifest are
    relative to its directory; absolute paths and paths leading outside that directory are
    refused unless allowed. Raises OSError or ValueError only when the manifest itself cannot be
    loaded.
    """

def verify_for_load(
    manifest: StrPath,
    *,
    index: StrPath | None = None,
    allow_absolute_paths: bool = False,
    allow_path_escape: bool = False,
    allow_duplicate_db_ids: bool = False,
    **limits: Unpack[Limits],
) -> VerifiedLoadPlan:
    """Verify a manifest like :func:`verify_manifest`, then return the load plan.

    Open the files at the plan's canonical paths (``os.fsencode`` gives back their bytes).
    Raises ValueError "manifest verification
    failed: code, ..." (up to three issue codes) when verification finds any issue, and OSError
    or ValueError when the manifest cannot be loaded.
    """

def create_manifest(
    index: StrPath,
    out: StrPath,
    embedding_model: str,
    *,
    row_map: StrPath | None = None,
    row_id_is_identity: bool = False,
    auxiliary_artifacts: Iterable[AuxiliaryArtifactSpec] | None = None,
    allow_absolute_paths: bool = False,
    allow_path_escape: bool = False,
    **limits: Unpack[Limits],
) -> IndexManifest:
    """Probe and hash an index file, write a manifest for it at ``out`` and return it.

    Give exactly one of ``row_map`` (a JSON Lines row-identity file, validated row by row) and
    ``row_id_is_identity=True``. Paths are written relative to the directory of ``out``, which is
    created when missing; files outside it need ``allow_path_escape``. Raises OSError for files
    that cannot be read or an index that cannot be probed, ValueError for an invalid row map, a
    path-policy refusal, a path that is not valid UTF-8, an invalid auxiliary artifact, a blank
    ``embedding_model`` or an ``out`` that is one of the input files; nothing is written then.
    """
