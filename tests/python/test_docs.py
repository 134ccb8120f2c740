"""The user documentation keeps up with the code: every issue code the library can report is in the
code reference, and every command and option of the tool is in the README."""

from __future__ import annotations

import argparse
import ast
import re
import typing
from pathlib import Path

import pytest

from karnid_manifest import cli

REPO = Path(__file__).resolve().parents[2]
CODES_DOC = REPO / "docs" / "issue-codes.md"
README = REPO / "README.md"
LIBRARY_SOURCES = sorted((REPO / "karnid-manifest").rglob("*.[ch]pp"))
SUBJECTS = ("artifact_", "row_identity_", "auxiliary_artifact_", "calibration_",
            "encoder_distortion_", "embedding_", "build_", "attestation_", "extension_",
            "schema_version_", "manifest_", "created_at_", "verification_report_")

# Codes the library builds from a caller's prefix and a fixed condition.
PATH_POLICY_PREFIXES = ("artifact", "row_identity", "calibration_profile",
                        "encoder_distortion_profile")
PATH_POLICY_CONDITIONS = ("absolute_path_rejected", "base_dir_unavailable",
                          "path_escape_rejected", "path_unavailable")
METRIC_PREFIXES = ("encoder_distortion_source_metric", "encoder_distortion_embedding_metric")
METRIC_CONDITIONS = ("name_empty", "version_empty", "digest_invalid")
PROFILE_FILE_PREFIXES = ("calibration_profile", "encoder_distortion_profile")
PROFILE_FILE_CONDITIONS = ("too_large", "hash_failed", "sha256_mismatch", "file_size_mismatch")
ROW_FIELDS = ("db_id", "parent_id")
ROW_FIELD_CONDITIONS = ("empty", "contains_nul", "invalid_uuid")


def documented_codes() -> set[str]:
    return set(re.findall(r"`([a-z0-9_]+)`", CODES_DOC.read_text(encoding="utf-8")))


def json_keys() -> set[str]:
    """Field names of every record the module returns (the stub's TypedDict keys): string
    literals in the library that are keys, not codes."""
    tree = ast.parse((REPO / "python" / "_karnid_manifest.pyi").read_text(encoding="utf-8"))
    return {item.target.id for node in tree.body if isinstance(node, ast.ClassDef)
            for item in node.body
            if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name)}


def test_every_literal_issue_code_is_documented() -> None:
    assert LIBRARY_SOURCES, "library sources not found"
    literals = set()
    for source in LIBRARY_SOURCES:
        literals |= set(re.findall(r'"([a-z][a-z0-9]*(?:_[a-z0-9]+)+)"',
                                   source.read_text(encoding="utf-8")))
    codes = {s for s in literals if s.startswith(SUBJECTS)} - json_keys()
    # Prefixes handed to the path policy and the metric check are documented as prefixes.
    codes -= set(PATH_POLICY_PREFIXES) | set(METRIC_PREFIXES)
    assert len(codes) > 140
    missing = sorted(codes - documented_codes())
    assert missing == []


def test_every_composed_issue_code_is_documented() -> None:
    composed = {f"{p}_{c}" for p in PATH_POLICY_PREFIXES for c in PATH_POLICY_CONDITIONS}
    composed |= {f"auxiliary_artifact_{c}" for c in PATH_POLICY_CONDITIONS}
    composed |= {f"{p}_{c}" for p in METRIC_PREFIXES for c in METRIC_CONDITIONS}
    composed |= {f"row_identity_{f}_{c}" for f in ROW_FIELDS for c in ROW_FIELD_CONDITIONS}
    composed |= {f"{p}_{c}" for p in PROFILE_FILE_PREFIXES for c in PROFILE_FILE_CONDITIONS}
    assert sorted(composed - documented_codes()) == []


def test_every_signature_refusal_reason_is_documented() -> None:
    from karnid_manifest import signing

    text = CODES_DOC.read_text(encoding="utf-8")
    section = text[text.index("## Signature refusals"):]
    documented = set(re.findall(r"^\| `([a-z_]+)` \|", section, re.MULTILINE))
    assert documented == set(signing.REASONS) == set(typing.get_args(signing.ReasonCode))


def parser_surface() -> list[tuple[str, list[str]]]:
    """Each subcommand of the tool with its option strings."""
    parser = cli.build_parser()
    commands = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    return [(name, [o for action in sub._actions for o in action.option_strings
                    if o not in ("-h", "--help")])
            for name, sub in commands.choices.items()]


@pytest.mark.parametrize(("command", "options"), parser_surface())
def test_readme_documents_every_command_and_option(command: str, options: list[str]) -> None:
    readme = README.read_text(encoding="utf-8")
    assert f"karnid-manifest {command}" in readme
    missing = [option for option in options if f"`{option}" not in readme
               and f" {option}" not in readme]
    assert missing == []
