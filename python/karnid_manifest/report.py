"""What the package relies on in the module's verification reports: the issue-code prefix of each
subject a report groups its issues by, and the order in which auxiliary entries are checked."""

from __future__ import annotations

from typing import Any, Iterable, Mapping

# Defined beside the exceptions, which need it and import nothing of the package.
from karnid_manifest.errors import ISSUE_LIMIT_CODE as ISSUE_LIMIT_CODE

INDEX_PREFIX = "artifact_"
ROW_IDENTITY_PREFIX = "row_identity_"
ROW_INVALID_JSON_CODE = "row_identity_jsonl_invalid_json"
AUXILIARY_PREFIX = "auxiliary_artifact_"
CALIBRATION_PREFIX = "calibration_"
ENCODER_DISTORTION_PREFIX = "encoder_distortion_"
ATTESTATION_PREFIX = "attestation_"
FILE_PREFIXES = (INDEX_PREFIX, ROW_IDENTITY_PREFIX, AUXILIARY_PREFIX, CALIBRATION_PREFIX,
                 ENCODER_DISTORTION_PREFIX, ATTESTATION_PREFIX)


def in_check_order(entries: Iterable[Mapping[str, Any]]) -> list[Mapping[str, Any]]:
    """A manifest's auxiliary entries in the order verification checks and lists them: by the
    bytes of the name, then of the path, optional before required."""
    return sorted(entries, key=lambda e: (e["name"].encode(), e["path"].encode(), e["required"]))
