"""Property tests: generated inputs checked against small models of the rules.

- Generated manifests (every block, optional values absent or null, keys in any order, generic
  JSON in attestations and extensions) come back from inspect_manifest exactly as the schema's
  output rules say: declaration order, absent values omitted, generic objects sorted, exact
  integers, shortest doubles; and a second pass changes nothing.
- Generated row maps, valid and invalid lines under small limits, give exactly the issues (codes,
  order and messages) of a line-by-line model of the row-identity rules.
- Generated relative paths are refused as escapes exactly when a model of the lexical walk says
  so, by both the index resolution and the auxiliary artifact step.
"""

from __future__ import annotations

import hashlib
import json
import math
import pathlib
import tempfile
from dataclasses import dataclass
from typing import Any

from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import _karnid_manifest as km

import manifest_builder as mb

# Examples are chosen the same way on every run; timing never fails a test.
PROPERTY_SETTINGS = settings(max_examples=150, deadline=None, derandomize=True, database=None,
                             suppress_health_check=[HealthCheck.too_slow,
                                                    HealthCheck.data_too_large])

Pair = tuple[Any, Any]  # (what the manifest says, what inspect_manifest must return)

# ---- manifests ------------------------------------------------------------------------------------

TEXT = st.text(st.characters(blacklist_categories=["Cs"]), max_size=8)
U64 = st.integers(0, 2**64 - 1)
U8 = st.integers(0, 255)


def same(strategy: st.SearchStrategy[Any]) -> st.SearchStrategy[Pair]:
    return strategy.map(lambda value: (value, value))


# A number where a double is expected: a JSON integer reads as that double too.
F64: st.SearchStrategy[Pair] = (same(st.floats(allow_nan=False, allow_infinity=False))
                                | st.integers(-2**80, 2**80).map(lambda i: (i, float(i))))


def generic_int(value: int) -> Any:
    # Integers that fit 64 bits (signed or unsigned) stay exact; others become the nearest double.
    return value if -2**63 <= value <= 2**64 - 1 else float(value)


def sort_generic(value: Any) -> Any:
    if isinstance(value, dict):
        return {key: sort_generic(value[key]) for key in sorted(value, key=lambda k: k.encode())}
    if isinstance(value, list):
        return [sort_generic(item) for item in value]
    if isinstance(value, int) and not isinstance(value, bool):
        return generic_int(value)
    return value


# Integers on both sides of the 64-bit edges, where exact integers give way to doubles.
EDGE_INTS = st.sampled_from([2**64 - 1, 2**64, 2**64 + 1, -2**63, -2**63 - 1, 2**70 + 3, -2**70])
GENERIC: st.SearchStrategy[Any] = st.recursive(
    st.none() | st.booleans() | st.integers(-2**70, 2**70) | EDGE_INTS | TEXT
    | st.floats(allow_nan=False, allow_infinity=False),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(TEXT, inner, max_size=3),
    max_leaves=8)
GENERIC_PAIR = GENERIC.map(lambda value: (value, sort_generic(value)))


@st.composite
def record(draw: Any, fields: list[tuple[str, Any, str]],
           tag: tuple[str, str] | None = None) -> Pair:
    """A record from (key, pair strategy, presence) with presence "required", "optional" (absent,
    null or a value), "list" or "map" (absent, empty or values; left out of the output when
    empty).
    `tag` puts {"kind": name} first in the output and anywhere in the input."""
    given_: dict[str, Any] = {}
    expected: dict[str, Any] = {}
    if tag is not None:
        given_[tag[0]] = expected[tag[0]] = tag[1]
    for key, pairs, presence in fields:
        if presence == "required":
            given_[key], expected[key] = draw(pairs)
            continue
        choice = draw(st.sampled_from(["absent", "empty", "value"]))
        if choice == "empty":
            given_[key] = {"optional": None, "list": [], "map": {}}[presence]
        elif choice == "value":
            value_in, value_out = draw(pairs)
            given_[key] = value_in
            if value_out != [] and value_out != {}:
                expected[key] = value_out
            elif presence == "optional":
                expected[key] = value_out
    order = draw(st.permutations(list(given_)))
    return {key: given_[key] for key in order}, expected


def list_of(pairs: st.SearchStrategy[Pair], max_size: int = 3) -> st.SearchStrategy[Pair]:
    return st.lists(pairs, max_size=max_size).map(
        lambda items: ([i for i, _ in items], [o for _, o in items]))


def ignoring_extras(tag: tuple[str, str]) -> st.SearchStrategy[Pair]:
    """A tagged variant without keys of its own: any other keys are accepted and dropped."""
    extras = st.dictionaries(TEXT.filter(lambda k: k != "kind"), GENERIC, max_size=2)
    return st.tuples(extras, st.booleans()).map(
        lambda args: (({"kind": tag[1], **args[0]} if args[1] else {**args[0], "kind": tag[1]}),
                      {"kind": tag[1]}))


KIND = same(st.sampled_from(["rank", "rank_quant", "bitmap", "sign_bitmap"]))
PARAMS = st.one_of(
    ignoring_extras(("kind", "rank")), ignoring_extras(("kind", "sign_bitmap")),
    record([("bits", same(U8), "required")], tag=("kind", "rank_quant")),
    record([("n_top", same(U64), "required")], tag=("kind", "bitmap")))
ARTIFACT = record([
    ("path", same(TEXT), "required"), ("sha256", same(TEXT), "required"),
    ("kind", KIND, "required"), ("format_version", same(U8), "required"),
    ("dim", same(U64), "required"), ("vector_count", same(U64), "required"),
    ("bytes_per_vec", same(U64), "required"), ("params", PARAMS, "required"),
    ("file_size_bytes", same(U64), "required")])


@st.composite
def auxiliary(draw: Any) -> Pair:
    given_, expected = draw(record([
        ("name", same(TEXT), "required"), ("path", same(TEXT), "required"),
        ("sha256", same(TEXT), "required"), ("file_size_bytes", same(U64), "required")]))
    # "required" defaults to true and is always written.
    required = draw(st.sampled_from([None, True, False]))
    if required is not None:
        given_["required"] = required
    expected["required"] = True if required is None else required
    return given_, expected


def optional_texts(*keys: str) -> list[tuple[str, Any, str]]:
    return [(key, same(TEXT), "optional") for key in keys]


EMBEDDING = record([("model", same(TEXT), "required"), ("dim", same(U64), "required"),
                    *optional_texts("model_revision", "tokenizer_revision", "pooling",
                                    "corpus_digest", "embedding_matrix_digest", "normalization")])
ENCODER = record([("model", same(TEXT), "required"), ("dim", same(U64), "required"),
                  *optional_texts("model_revision", "normalization")])
METRIC = record([("name", same(TEXT), "required"), *optional_texts("version", "digest")])
PARAMETERIZATIONS = ["marginal_topk_frequency", "bucket_frequency", "sign_frequency",
                     "rank_position_frequency", "empirical_tail_table"]
# Written as a string; also read from a one-key object whose value is null.
PARAMETERIZATION = st.sampled_from(PARAMETERIZATIONS).flatmap(
    lambda name: st.sampled_from([(name, name), ({name: None}, name)]))
ORDINALIZATION = st.one_of(
    record([("dim", same(U64), "required"), ("k", same(U64), "required")], tag=("kind", "top_k")),
    record([("dim", same(U64), "required"), ("bits", same(U8), "required")],
           tag=("kind", "bucket")),
    record([("dim", same(U64), "required")], tag=("kind", "sign")),
    record([("dim", same(U64), "required")], tag=("kind", "rank_position")),
    record([("dim", same(U64), "required"), ("name", same(TEXT), "required")],
           tag=("kind", "caller_defined")))
NULL_MODEL = st.one_of(
    ignoring_extras(("kind", "uniform_hypergeometric")),
    record([("parameterization", PARAMETERIZATION, "required")],
           tag=("kind", "weighted_marginal_profile")),
    record([("statistic", same(TEXT), "required")], tag=("kind", "empirical_tail_table")),
    record([("name", same(TEXT), "required"), ("parameterization", same(TEXT), "optional")],
           tag=("kind", "caller_defined")))
CALIBRATION_PROFILE = record([
    ("path", same(TEXT), "required"), ("sha256", same(TEXT), "required"),
    ("file_size_bytes", same(U64), "required"), ("dim", same(U64), "required"),
    ("sample_count", same(U64), "required"), ("parameterization", PARAMETERIZATION, "required"),
    ("format", same(TEXT), "required"), ("shape", list_of(same(U64)), "list"),
    ("source_digest", same(TEXT), "optional")])
CALIBRATION = record([
    ("schema_version", same(TEXT), "required"), ("profile_id", same(TEXT), "required"),
    ("created_at", same(TEXT), "optional"), ("calibrated_for", ENCODER, "required"),
    ("ordinalization", ORDINALIZATION, "required"), ("profile", CALIBRATION_PROFILE, "optional"),
    ("null_model", NULL_MODEL, "required")])
BOUNDS = record([(key, F64, "optional") for key in (
    "declared_lower_bound", "declared_upper_bound", "estimated_distortion", "violation_rate",
    "max_observed_violation", "quantile_observed_violation")])
SCOPE = record([*optional_texts("corpus_digest", "query_set_digest", "pair_sample_digest",
                                "domain"),
                ("sample_size", same(U64), "optional"), ("confidence", F64, "optional"),
                ("coverage", F64, "optional"), *optional_texts("estimator_version")])
EVIDENCE = record([("kind", same(st.sampled_from(["certified", "empirical_sample",
                                                  "benchmark_estimate", "teacher_estimate",
                                                  "caller_asserted"])), "required"),
                   *optional_texts("estimator_id", "estimator_hash")])
DISTORTION_PROFILE = record([
    ("path", same(TEXT), "required"), ("sha256", same(TEXT), "required"),
    ("file_size_bytes", same(U64), "required"), ("format", same(TEXT), "required"),
    ("source_digest", same(TEXT), "optional")])
ENCODER_DISTORTION = record([
    ("schema_version", same(TEXT), "required"), ("profile_id", same(TEXT), "required"),
    ("created_at", same(TEXT), "optional"), ("encoder", ENCODER, "required"),
    *optional_texts("tokenizer_revision", "pooling"),
    ("source_metric", METRIC, "required"), ("embedding_metric", METRIC, "required"),
    ("bounds", BOUNDS, "required"), ("scope", SCOPE, "required"),
    ("evidence", EVIDENCE, "required"), ("profile", DISTORTION_PROFILE, "optional"),
    ("calibration_profile_id", same(TEXT), "optional")])
ROW_IDENTITY = st.one_of(
    record([("row_count", same(U64), "required")], tag=("kind", "row_id_identity")),
    record([("path", same(TEXT), "required"), ("sha256", same(TEXT), "required"),
            ("row_count", same(U64), "required"), ("id_kind", same(TEXT), "required"),
            ("db", record(optional_texts("path", "table", "id_column")), "optional")],
           tag=("kind", "jsonl")))
BUILD = record([("invocation_id", same(TEXT), "required"),
                *optional_texts("builder_id", "source_repo", "source_commit", "ci_provider",
                                "ci_run_id")])
EXTENSIONS = st.dictionaries(TEXT, GENERIC, max_size=3).map(
    lambda value: (value, sort_generic(value)))
MANIFEST = record([
    ("schema_version", same(TEXT), "required"), ("manifest_id", same(TEXT), "required"),
    ("created_at", same(TEXT), "required"), ("artifact", ARTIFACT, "required"),
    ("auxiliary_artifacts", list_of(auxiliary()), "list"), ("embedding", EMBEDDING, "required"),
    ("encoder_distortion", ENCODER_DISTORTION, "optional"),
    ("calibration", CALIBRATION, "optional"), ("row_identity", ROW_IDENTITY, "required"),
    ("build", BUILD, "optional"), ("attestations", list_of(GENERIC_PAIR), "list"),
    ("extensions", EXTENSIONS, "map")])


def assert_strictly_equal(actual: Any, expected: Any, where: str = "$") -> None:
    """Equality that also tells int from float from bool, -0.0 from 0.0, and key orders apart."""
    assert type(actual) is type(expected), (where, actual, expected)
    if isinstance(expected, dict):
        assert list(actual) == list(expected), (where, list(actual), list(expected))
        for key in expected:
            assert_strictly_equal(actual[key], expected[key], f"{where}.{key}")
    elif isinstance(expected, list):
        assert len(actual) == len(expected), (where, actual, expected)
        for i, (a, e) in enumerate(zip(actual, expected)):
            assert_strictly_equal(a, e, f"{where}[{i}]")
    elif isinstance(expected, float):
        assert actual == expected and math.copysign(1, actual) == math.copysign(1, expected), (
            where, actual, expected)
    else:
        assert actual == expected, (where, actual, expected)


@settings(PROPERTY_SETTINGS, max_examples=100)
@given(MANIFEST, st.booleans(), st.sampled_from([None, 0, 2]))
def test_generated_manifests_round_trip_through_inspect(pair, ascii_only, indent):
    document, expected = pair
    with tempfile.TemporaryDirectory() as directory:
        path = pathlib.Path(directory) / "manifest.json"
        path.write_text(json.dumps(document, ensure_ascii=ascii_only, indent=indent),
                        encoding="utf-8")
        first = km.inspect_manifest(path)
        assert_strictly_equal(first, expected)
        path.write_text(json.dumps(first), encoding="utf-8")
        assert_strictly_equal(km.inspect_manifest(path), first)


# ---- row maps -------------------------------------------------------------------------------------

UUIDS = ["0b6f7c9e-8d1a-4c2b-9f3e-5a6d7e8f9a0b", "6A1C2D3E4F504A6B8C7D9E0F1A2B3C4D",
         "{11111111-2222-4333-8444-555555555555}", "urn:uuid:aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee",
         "ffffffff-ffff-ffff-ffff-ffffffffffff"]
NOT_UUIDS = ["0b6f7c9e-8d1a-4c2b-9f3e-5a6d7e8f9a0", "URN:UUID:aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee",
             "{11111111-2222-4333-8444-555555555555", "0b6f7c9e8d1a-4c2b-9f3e-5a6d7e8f9a0b",
             "g" * 32, "x", " 0b6f7c9e-8d1a-4c2b-9f3e-5a6d7e8f9a0b"]
# Lines that are not a strict row object (row ids chosen so that nothing else could be wrong).
NOT_ROWS = ["", " ", "{", "[]", "[0]", "null", '{"row_id":0}', '{"db_id":"x"}',
            '{"row_id":-1,"db_id":"x"}', '{"row_id":1.5,"db_id":"x"}', '{"row_id":0,"db_id":5}',
            '{"row_id":0,"db_id":"x","extra":1}', '{"row_id":0,"row_id":0,"db_id":"x"}',
            '{"row_id":0,"db_id":"x"} x', '{"row_id":0,"db_id":"x","parent_id":7}',
            '[0,"x",null,null]', '{"row_id":0,"db_id":"x",}', "{'row_id':0}"]


@dataclass
class Row:
    """What a generated line holds: a parsed row, or None for a line that is not a row."""
    row_id: int
    db_id: str
    parent_id: str | None


@st.composite
def identifier(draw: Any) -> str:
    return draw(st.sampled_from(UUIDS + NOT_UUIDS + ["", "a\u0000b"]))


@st.composite
def row_line(draw: Any, index: int) -> tuple[bytes, Row | None]:
    """One line's content (without its line ending) and what it holds."""
    if draw(st.integers(0, 9)) == 0:
        return draw(st.sampled_from(NOT_ROWS)).encode(), None
    row_id = index if draw(st.integers(0, 5)) else draw(st.integers(0, 2**64 - 1))
    db_id = draw(st.sampled_from(UUIDS)) if draw(st.integers(0, 3)) else draw(identifier())
    parent = draw(st.sampled_from(["absent", "null", "value"]))
    parent_id = draw(identifier()) if parent == "value" else None
    pad = st.sampled_from(["", " ", "\t", " \t "])
    if draw(st.booleans()):
        members = [f'"row_id":{row_id}', f'"db_id":{json.dumps(db_id)}']
        if parent != "absent":
            members.append(f'"parent_id":{json.dumps(parent_id)}')
        members = draw(st.permutations(members))
        text = "{" + ",".join(draw(pad) + m + draw(pad) for m in members) + "}"
    else:
        items = [str(row_id), json.dumps(db_id)]
        if parent != "absent":
            items.append(json.dumps(parent_id))
        text = "[" + ", ".join(items) + "]"
    return (draw(pad) + text + draw(st.sampled_from(["", " ", "\r", "\t\r"]))).encode(), Row(
        row_id, db_id, parent_id)


@st.composite
def row_map(draw: Any) -> tuple[bytes, list[Row | None]]:
    count = draw(st.integers(0, 12))
    lines = [draw(row_line(i)) for i in range(count)]
    data = b""
    for i, (content, _) in enumerate(lines):
        last = i == count - 1
        ending = draw(st.sampled_from([b"\n", b"\r\n"] + ([b"", b"\r"] if last else [])))
        data += content + ending
    return data, [row for _, row in lines]


def is_uuid(text: str) -> bool:
    hexdigits = set("0123456789abcdefABCDEF")

    def hyphenated(t: str) -> bool:
        return (len(t) == 36 and all(t[i] == "-" for i in (8, 13, 18, 23))
                and all(c in hexdigits for i, c in enumerate(t) if i not in (8, 13, 18, 23)))

    return ((len(text) == 32 and all(c in hexdigits for c in text)) or hyphenated(text)
            or (text.startswith("{") and text.endswith("}") and hyphenated(text[1:-1]))
            or (text.startswith("urn:uuid:") and hyphenated(text[9:])))


@dataclass
class Limits:
    line: int
    rows: int
    tracked: int
    issues: int


class RowMapModel:
    """The row-identity file rules, line by line, as a verification run applies them."""

    def __init__(self, limits: Limits, declared: int, allow_duplicates: bool):
        self.limits, self.declared, self.allow_duplicates = limits, declared, allow_duplicates
        self.errors: list[tuple[str, str]] = []

    def push(self, code: str, message: str) -> None:
        bound = self.limits.issues
        if len(self.errors) < bound:
            self.errors.append((code, message))
        elif all(c != LIMIT for c, _ in self.errors):
            del self.errors[max(bound - 1, 0):]
            self.errors.append((LIMIT, f"verification report issue count exceeded "
                                       f"max_report_issues={bound}"))

    def check_id(self, field: str, value: str, index: int) -> None:
        if value == "":
            self.push(f"row_identity_{field}_empty", f"line {index} has empty {field}")
        elif "\u0000" in value:
            self.push(f"row_identity_{field}_contains_nul", f"line {index} {field} contains NUL")
        elif not is_uuid(value):
            self.push(f"row_identity_{field}_invalid_uuid",
                      f"line {index} {field} must be a UUID in v1")

    def validate(self, data: bytes, rows: list[Row | None]) -> tuple[int, int, bool]:
        """Returns (rows read, rows parsed, read to the end)."""
        limit = self.limits.line or 1
        seen: set[str] = set()
        tracked = parsed = 0
        raw_lines = data.split(b"\n")
        if raw_lines[-1] == b"":
            raw_lines.pop()  # a final line feed ends the last line; it starts no new one
        for index, raw in enumerate(raw_lines):
            has_feed = index < len(raw_lines) - 1 or data.endswith(b"\n")
            read = index + 1
            if read > self.limits.rows:
                self.push("row_identity_row_count_limit_exceeded",
                          f"row identity file has more than max_row_identity_rows="
                          f"{self.limits.rows} rows")
                return read, parsed, False
            if read > self.declared:
                self.push("row_identity_row_count_mismatch",
                          f"row identity file has more than declared row_count={self.declared}")
                return read, parsed, False
            if len(raw) + has_feed > limit:
                self.push("row_identity_line_too_large", f"line {index} exceeds "
                          f"max_row_identity_jsonl_line_bytes={self.limits.line}")
                return read, parsed, False
            row = rows[index]
            if row is None:
                self.push("row_identity_jsonl_invalid_json",
                          f"line {index} is not a strict row object: ")
                continue
            if row.row_id != index:
                self.push("row_identity_row_id_mismatch", f"line {index} has row_id {row.row_id}")
            self.check_id("db_id", row.db_id, index)
            if row.parent_id is not None:
                self.check_id("parent_id", row.parent_id, index)
            parsed += 1
            if self.allow_duplicates:
                continue
            if row.db_id in seen:
                self.push("row_identity_duplicate_db_id", f"line {index} repeats db_id")
                continue
            tracked += len(row.db_id.encode())
            if tracked > self.limits.tracked:
                self.push("row_identity_duplicate_tracking_limit_exceeded",
                          f"tracked db_id bytes exceed max_row_identity_tracked_db_id_bytes="
                          f"{self.limits.tracked}")
                return read, parsed, False
            seen.add(row.db_id)
        return len(raw_lines), parsed, True


LIMIT = "verification_report_issue_limit_exceeded"


def expected_report(data: bytes, rows: list[Row | None], declared: int, declared_sha: str,
                    limits: Limits, allow_duplicates: bool) -> tuple[list[tuple[str, str]],
                                                                      int | None, str | None]:
    """(errors, validated_rows, sha256) of a verification whose only problems are in the row map."""
    model = RowMapModel(limits, declared, allow_duplicates)
    if declared > limits.rows:
        model.errors.append(("row_identity_row_count_limit_exceeded",
                             f"row_identity.row_count {declared} exceeds "
                             f"max_row_identity_rows={limits.rows}"))
        validated, digest = None, None
    else:
        read, validated, complete = model.validate(data, rows)
        digest = hashlib.sha256(data).hexdigest() if complete else None
        if digest is not None and digest != declared_sha:
            model.errors.append(("row_identity_sha256_mismatch", f"row_identity SHA-256 was "
                                 f"{digest}, manifest declares {declared_sha}"))
        if read != declared and all(c != "row_identity_row_count_mismatch"
                                    for c, _ in model.errors):
            shown = str(read) if complete else f"at least {read}"
            model.errors.append(("row_identity_row_count_mismatch", f"row identity file has "
                                 f"{shown} rows, manifest declares {declared}"))
    errors = model.errors
    if len(errors) > limits.issues:
        errors = [e for e in errors if e[0] != LIMIT][:max(limits.issues - 1, 0)]
        errors.append((LIMIT, f"verification report issue count exceeded "
                              f"max_report_issues={limits.issues}"))
    return errors, validated, digest


LIMITS = st.builds(Limits, line=st.sampled_from([0, 1, 40, 60, 65536]),
                   rows=st.sampled_from([0, 3, 8, 100]), tracked=st.sampled_from([0, 40, 100, 10**6]),
                   issues=st.sampled_from([0, 1, 3, 6, 1024]))


@PROPERTY_SETTINGS
@given(row_map(), LIMITS, st.booleans(), st.integers(0, 14), st.booleans(),
       st.tuples(st.integers(0, 11), st.integers(-1, 1)) | st.none())
def test_row_map_validation_agrees_with_the_model(generated, limits, allow_duplicates, declared,
                                                  declare_true_digest, line_limit_at):
    data, rows = generated
    if line_limit_at is not None:
        # A line limit right at the length of one of the lines (with or without its ending).
        lines = data.split(b"\n")
        index, delta = line_limit_at
        limits.line = max(0, len(lines[index % len(lines)]) + delta)
    true_digest = hashlib.sha256(data).hexdigest()
    declared_sha = true_digest if declare_true_digest else "0" * 64
    with tempfile.TemporaryDirectory() as directory:
        base = pathlib.Path(directory)
        manifest, document = mb.build(base, vectors=declared)
        (base / "rows.jsonl").write_bytes(data)
        document["row_identity"] = {"kind": "jsonl", "path": "rows.jsonl", "sha256": declared_sha,
                                    "row_count": declared, "id_kind": "uuid"}
        mb.write(base, document)
        report = km.verify_manifest(
            manifest, allow_duplicate_db_ids=allow_duplicates,
            max_row_map_line_bytes=limits.line, max_row_map_rows=limits.rows,
            max_row_map_tracked_id_bytes=limits.tracked, max_report_issues=limits.issues)
    errors, validated, digest = expected_report(data, rows, declared, declared_sha, limits,
                                                allow_duplicates)
    actual = [(e["code"], e["message"]) for e in report["errors"]]
    assert [code for code, _ in actual] == [code for code, _ in errors]
    for (code, message), (_, expected) in zip(actual, errors):
        if code == "row_identity_jsonl_invalid_json":
            assert message.startswith(expected) and " at line 1 column " in message
        else:
            assert message == expected
    assert report["row_identity"]["validated_rows"] == validated
    assert report["row_identity"]["sha256"] == digest
    assert report["ok"] == (errors == [])


# ---- the lexical escape walk ---------------------------------------------------------------------

def escapes(relative: str) -> bool:
    depth = 0
    for part in relative.split("/"):
        if part in ("", "."):
            continue
        if part == "..":
            if depth == 0:
                return True
            depth -= 1
        else:
            depth += 1
    return False


def check_escape_verdicts(paths: list[str]) -> None:
    """Resolves every path as the index (through the override, with and without the escape
    permission) and as an auxiliary artifact, and compares each verdict with the model."""
    with tempfile.TemporaryDirectory() as directory:
        base = pathlib.Path(directory)
        manifest, document = mb.build(base)
        document["auxiliary_artifacts"] = [
            {"name": f"aux{i:04d}", "path": path, "sha256": "0" * 64, "file_size_bytes": 0}
            for i, path in enumerate(paths)]
        mb.write(base, document)
        for path in paths:
            for allow_escape in (False, True):
                report = km.verify_manifest(manifest, index=path,
                                            allow_path_escape=allow_escape)
                messages = {e["message"] for e in report["errors"]}
                refused = escapes(path) and not allow_escape
                assert (f"relative path {path} escapes the manifest base" in messages) == refused, (
                    path, allow_escape)
        report = km.verify_manifest(manifest)
        assert len(report["auxiliary_artifacts"]) == len(paths)
        for i, entry in enumerate(report["auxiliary_artifacts"]):
            refused = entry["reason_code"] == "auxiliary_artifact_path_escape_rejected"
            assert refused == escapes(paths[i]), paths[i]


def test_lexical_escape_walk_agrees_with_the_model_on_every_short_path():
    parts = ["a", "..", ".", ""]
    paths = [""]
    short: list[str] = []
    for _ in range(4):
        paths = [p + ("/" if p else "") + part for p in paths for part in parts]
        short += paths
    # Absolute and blank texts take other routes (refusal as absolute, the base directory).
    check_escape_verdicts(sorted({p for p in short if p and not p.startswith("/")}))


RELATIVE_PATHS = st.lists(st.sampled_from(["..", "..", ".", ".", "a", "b", "", "...", "a..", " "]),
                          min_size=1, max_size=10).map("/".join).filter(
    lambda p: p.strip() != "" and not p.startswith("/"))


@PROPERTY_SETTINGS
@given(st.lists(RELATIVE_PATHS, min_size=1, max_size=4))
def test_lexical_escape_walk_agrees_with_the_model(paths):
    check_escape_verdicts(paths)
