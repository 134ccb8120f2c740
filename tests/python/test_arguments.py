"""Argument binding and conversion of the module functions."""

import datetime
import os
import pathlib
import re

import pytest

import _karnid_manifest as km

# A call whose arguments were all accepted goes on to the file system, where the missing files
# used below make it fail with OSError rather than with an argument error.
PAST_ARGUMENTS = OSError


def notes(excinfo):
    return getattr(excinfo.value, "__notes__", None)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: km.sha256_file(), "sha256_file() missing 1 required positional argument: 'path'"),
        (
            lambda: km.create_manifest("i"),
            "create_manifest() missing 2 required positional arguments: 'out' and 'embedding_model'",
        ),
        (
            lambda: km.create_manifest(),
            "create_manifest() missing 3 required positional arguments: "
            "'index', 'out', and 'embedding_model'",
        ),
        (
            lambda: km.create_manifest(out="o"),
            "create_manifest() missing 2 required positional arguments: "
            "'index' and 'embedding_model'",
        ),
        (
            lambda: km.verify_manifest("m", "i"),
            "verify_manifest() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: km.create_manifest("i", "o", "e", "r"),
            "create_manifest() takes 3 positional arguments but 4 were given",
        ),
        # Arity is checked before keywords are looked at.
        (
            lambda: km.inspect_manifest("m", 1, bogus=1),
            "inspect_manifest() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: km.sha256_file(path="p", bogus=1),
            "sha256_file() got an unexpected keyword argument 'bogus'",
        ),
        (
            lambda: km.verify_for_load("m", max_rows=1),
            "verify_for_load() got an unexpected keyword argument 'max_rows'",
        ),
        (
            lambda: km.sha256_file("p", path="q"),
            "sha256_file() got multiple values for argument 'path'",
        ),
        (
            lambda: km.create_manifest("i", "o", "e", out="o"),
            "create_manifest() got multiple values for argument 'out'",
        ),
        # A keyword is checked against the table before missing arguments are.
        (
            lambda: km.create_manifest(bogus=1),
            "create_manifest() got an unexpected keyword argument 'bogus'",
        ),
        (
            lambda: km.sha256_file(**{"\ud800": 1}),
            "sha256_file() got an unexpected keyword argument '\ud800'",
        ),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message
    assert notes(excinfo) is None


def test_required_arguments_may_be_passed_by_name(tmp_path):
    empty = tmp_path / "empty"
    empty.write_bytes(b"")
    assert km.sha256_file(path=str(empty))["size_bytes"] == 0
    with pytest.raises(PAST_ARGUMENTS):
        km.verify_manifest(manifest=str(tmp_path / "missing.json"))


class BytesPath:
    def __fspath__(self):
        return b"/tmp"


class StrPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize(
    "call, error, parameter",
    [
        (lambda: km.sha256_file(b"/tmp"), TypeError, "path"),
        (lambda: km.sha256_file(BytesPath()), TypeError, "path"),
        (lambda: km.sha256_file(42), TypeError, "path"),
        (lambda: km.sha256_file(None), TypeError, "path"),
        (lambda: km.sha256_file("bad-\ud800"), UnicodeEncodeError, "path"),
        (lambda: km.inspect_manifest("m", max_manifest_bytes=1.5), TypeError, "max_manifest_bytes"),
        (lambda: km.inspect_manifest("m", max_report_issues="7"), TypeError, "max_report_issues"),
        (lambda: km.verify_manifest("m", max_manifest_bytes=-1), OverflowError, "max_manifest_bytes"),
        (
            lambda: km.verify_manifest("m", max_cached_report_bytes=2**64),
            OverflowError,
            "max_cached_report_bytes",
        ),
        (lambda: km.verify_manifest("m", index=b"i"), TypeError, "index"),
        (lambda: km.verify_for_load("m", allow_path_escape=1), TypeError, "allow_path_escape"),
        (
            lambda: km.verify_for_load("m", allow_duplicate_db_ids=None),
            TypeError,
            "allow_duplicate_db_ids",
        ),
        (lambda: km.create_manifest("i", "o", 5), TypeError, "embedding_model"),
        (lambda: km.create_manifest("i", "o", "e\udcff"), UnicodeEncodeError, "embedding_model"),
        (lambda: km.create_manifest("i", "o", "e", row_map=b"r"), TypeError, "row_map"),
        (
            lambda: km.create_manifest("i", "o", "e", row_id_is_identity="yes"),
            TypeError,
            "row_id_is_identity",
        ),
        # Conversion follows the parameter table: the first bad argument is the one reported.
        (
            lambda: km.verify_manifest(7, allow_path_escape=1, max_manifest_bytes=-1),
            TypeError,
            "manifest",
        ),
        (
            lambda: km.verify_manifest("m", max_report_issues=-1, allow_absolute_paths=0),
            TypeError,
            "allow_absolute_paths",
        ),
        (
            lambda: km.create_manifest(
                "i", "o", "e", max_row_map_rows=-1, allow_path_escape=1, row_id_is_identity=2
            ),
            TypeError,
            "row_id_is_identity",
        ),
        # Limits are converted before the row-map rule is applied.
        (lambda: km.create_manifest("i", "o", "e", max_row_map_rows=-1), OverflowError, "max_row_map_rows"),
    ],
)
def test_conversion_errors_carry_the_parameter_note(call, error, parameter):
    with pytest.raises(error) as excinfo:
        call()
    assert type(excinfo.value) is error
    assert notes(excinfo) == [f"while processing '{parameter}'"]


class Opaque:
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: km.sha256_file(BytesPath()), "expected str or os.PathLike returning str, not bytes"),
        (lambda: km.create_manifest("i", "o", Opaque()), "expected str, not Opaque"),
        (lambda: km.create_manifest("i", "o", datetime.date(2026, 1, 1)),
         "expected str, not datetime.date"),
        (lambda: km.verify_for_load("m", allow_path_escape=1), "expected bool, not int"),
    ],
)
def test_own_type_errors_name_the_type_given(call, message):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message


def test_path_like_objects_and_surrogate_escapes_reach_the_file_system(tmp_path):
    data = tmp_path / "data"
    data.write_bytes(b"abc")
    assert km.sha256_file(data)["size_bytes"] == 3
    assert km.sha256_file(StrPath(str(data)))["size_bytes"] == 3
    # A name that is not valid UTF-8 arrives as str with surrogate escapes and must be encoded
    # back to the very same bytes.
    odd = os.path.join(os.fsencode(tmp_path), b"odd-\xff")
    with open(odd, "wb") as handle:
        handle.write(b"abcd")
    assert km.sha256_file(os.fsdecode(odd))["size_bytes"] == 4


def test_none_and_omitted_limits_take_the_defaults(manifest_file):
    everything_none = {name: None for name in km.default_resource_limits()}
    assert km.inspect_manifest(manifest_file, **everything_none) == km.inspect_manifest(manifest_file)


def test_true_is_the_limit_one(manifest_file):
    with pytest.raises(ValueError, match=r"^manifest_file_too_large: manifest file exceeds 1 bytes "):
        km.inspect_manifest(manifest_file, max_manifest_bytes=True)


def test_largest_limit_is_passed_through_unchanged(manifest_file):
    with pytest.raises(ValueError, match=r"byte limit 18446744073709551615 is too large to enforce"):
        km.inspect_manifest(manifest_file, max_manifest_bytes=2**64 - 1)


def fake_numpy_bool(value):
    # Recognised by module and type name; NumPy itself is never imported by the module.
    cls = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: value})
    return cls()


ROW_RULE_BOTH = "use either row_map or row_id_is_identity, not both"
ROW_RULE_NEITHER = "one of row_map or row_id_is_identity=True is required"


@pytest.mark.parametrize(
    "row_map, identity, message",
    [
        ("rows.jsonl", True, ROW_RULE_BOTH),
        ("rows.jsonl", fake_numpy_bool(True), ROW_RULE_BOTH),
        (None, False, ROW_RULE_NEITHER),
        (None, fake_numpy_bool(False), ROW_RULE_NEITHER),
    ],
)
def test_row_map_rule(tmp_path, row_map, identity, message):
    out = tmp_path / "new" / "manifest.json"
    with pytest.raises(ValueError) as excinfo:
        km.create_manifest("index", out, "model", row_map=row_map, row_id_is_identity=identity)
    assert str(excinfo.value) == message
    assert notes(excinfo) is None
    assert not out.parent.exists()


def test_numpy_named_types_other_than_bool_are_refused():
    other = type("int64", (), {"__module__": "numpy", "__bool__": lambda self: True})()
    with pytest.raises(TypeError):
        km.create_manifest("i", "o", "e", row_id_is_identity=other)


class NoRequiredKey(dict):
    """Subscription that fails for "required" with a LookupError that is not a KeyError."""

    def __getitem__(self, key):
        if key == "required":
            raise IndexError("no such item")
        return super().__getitem__(key)


def failing_iteration():
    yield {"name": "a", "path": "a.bin"}
    raise RuntimeError("iteration failed")


@pytest.mark.parametrize(
    "items, error",
    [
        ([{"name": "a"}], KeyError),
        ([{"path": "a.bin"}], KeyError),
        ([{"name": "a", "path": "a.bin"}, {"name": "b"}], KeyError),
        ([{"name": 5, "path": "a.bin"}], TypeError),
        ([{"name": "a\ud800", "path": "a.bin"}], UnicodeEncodeError),
        ([{"name": "a", "path": b"a.bin"}], TypeError),
        ([{"name": "a", "path": "a.bin", "required": 1}], TypeError),
        ([{"name": "a", "path": "a.bin", "required": None}], TypeError),
        ([NoRequiredKey(name="a", path="a.bin")], IndexError),
        ([5], TypeError),
        (5, TypeError),
        (failing_iteration(), RuntimeError),
    ],
)
def test_auxiliary_item_errors_have_no_note(tmp_path, items, error):
    out = tmp_path / "new" / "manifest.json"
    with pytest.raises(error) as excinfo:
        km.create_manifest("index", out, "model", row_id_is_identity=True, auxiliary_artifacts=items)
    assert type(excinfo.value) is error
    assert notes(excinfo) is None
    assert not out.parent.exists()


def test_auxiliary_items_are_read_after_the_row_map_rule():
    with pytest.raises(ValueError, match=re.escape(ROW_RULE_NEITHER)):
        km.create_manifest("i", "o", "e", auxiliary_artifacts=[{"name": "a"}])


def test_well_formed_arguments_get_past_conversion(tmp_path):
    limits = {name: 1 for name in km.default_resource_limits()}
    missing = str(tmp_path / "missing")
    for verify in (km.verify_manifest, km.verify_for_load):
        with pytest.raises(PAST_ARGUMENTS):
            verify(
                pathlib.Path(missing),
                index=StrPath(missing),
                allow_absolute_paths=True,
                allow_path_escape=fake_numpy_bool(True),
                allow_duplicate_db_ids=False,
                **limits,
            )
    items = (
        item
        for item in [
            {"name": "a", "path": pathlib.Path(missing)},
            {"name": "b", "path": missing, "required": False},
            {"name": "c", "path": missing, "required": fake_numpy_bool(False)},
        ]
    )
    with pytest.raises(PAST_ARGUMENTS):
        km.create_manifest(
            missing,
            tmp_path / "out" / "manifest.json",
            "model",
            row_map=pathlib.Path(missing),
            auxiliary_artifacts=items,
            allow_absolute_paths=False,
            allow_path_escape=True,
            **limits,
        )
