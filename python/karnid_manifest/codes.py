"""The issue-code reference, as it ships inside the package.

The build installs docs/issue-codes.md into the package unchanged (as ``issue-codes.md``), so the
text a user reads on the web and the text ``karnid-manifest explain`` prints are one file. This
module reads its tables: every table whose first column is ``code`` describes the codes named
(in backticks) in that column.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from importlib import resources
from pathlib import Path

DATA_NAME = "issue-codes.md"
_CODE = re.compile(r"`([a-z0-9_]+)`")
_LINK = re.compile(r"\[([^\]]*)\]\([^)]*\)")
_EMPHASIS = re.compile(r"(?<![\w*])\*([^*\s][^*]*)\*(?![\w*])")


@dataclass(frozen=True)
class Entry:
    """One row of the reference that names a code: the section it is in and its other columns
    (header, text) in table order."""

    section: str
    fields: tuple[tuple[str, str], ...]


def plain(cell: str) -> str:
    """A Markdown table cell as plain text: links become their text, code and emphasis lose
    their marks."""
    text = _LINK.sub(r"\1", cell)
    text = _EMPHASIS.sub(r"\1", text)
    return text.replace("`", "").replace("\\|", "|").strip()


def _cells(line: str) -> list[str]:
    inner = line.strip()[1:-1] if line.strip().endswith("|") else line.strip()[1:]
    return [cell.strip() for cell in re.split(r"(?<!\\)\|", inner)]


def parse(text: str) -> dict[str, list[Entry]]:
    """Every code named in the first column of a code table, with its rows."""
    entries: dict[str, list[Entry]] = {}
    section = ""
    header: list[str] | None = None
    for line in text.splitlines():
        if line.startswith("#"):
            section = line.lstrip("#").strip()
            header = None
            continue
        if not line.startswith("|"):
            header = None
            continue
        cells = _cells(line)
        if header is None:
            header = cells if cells and cells[0] == "code" else []
            continue
        if not header or set("".join(cells)) <= set("-: "):
            continue
        fields = tuple((name, plain(cell)) for name, cell in zip(header[1:], cells[1:]))
        for code in dict.fromkeys(_CODE.findall(cells[0])):
            entries.setdefault(code, []).append(Entry(section, fields))
    return entries


# Where the reference is in a source checkout, for a package run from there without installing.
_SOURCE_COPY = ("docs", "issue-codes.md")


def reference_text() -> str:
    shipped = resources.files("karnid_manifest").joinpath(DATA_NAME)
    if shipped.is_file():
        return shipped.read_text(encoding="utf-8")
    source = Path(__file__).resolve().parents[2].joinpath(*_SOURCE_COPY)
    return source.read_text(encoding="utf-8")


def lookup(code: str) -> list[Entry]:
    return parse(reference_text()).get(code, [])


def similar(code: str, count: int = 3) -> list[str]:
    import difflib

    return difflib.get_close_matches(code, list(parse(reference_text())), n=count, cutoff=0.6)
