"""Folder-shaped auxiliary files: a tokenizer, a vocabulary or a config that comes as a folder.

A folder is not a new kind of entry. ``create --aux-dir NAME=DIR`` adds one ordinary auxiliary
entry per regular file under DIR, named ``NAME/<path below DIR>`` with ``/`` between the parts, so
every verifier checks them as it checks any other entry. Reading the report, the entries whose
names share a first part ``NAME/`` form the folder NAME again, and the folder's path is what their
paths have in common.

Rules for what is taken from DIR:

- regular files only; a symbolic link, FIFO, socket or device anywhere below DIR is refused
  (a link could lead outside the folder, the others cannot be hashed);
- a file or folder whose name starts with ``.`` is left out, with everything below it (version
  control, editor and system files); name such a file on its own with ``--aux NAME/.name=PATH``;
- at most as many files as ``--max-auxiliary-artifacts`` leaves room for, counted while reading
  the folder, so a huge tree is refused before it is hashed.
"""

from __future__ import annotations

import os
import stat
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator, Mapping, Sequence

SEPARATOR = "/"
HIDDEN_PREFIX = "."
# Files of a folder that appeared after creation are named at most this many times each.
UNLISTED_SHOWN = 20


class AuxDirError(ValueError):
    """A folder that cannot be taken as auxiliary files; the message says which file and why."""


def _hidden(name: str) -> bool:
    return name.startswith(HIDDEN_PREFIX)


def _kind(mode: int) -> str:
    if stat.S_ISLNK(mode):
        return "a symbolic link"
    if stat.S_ISFIFO(mode):
        return "a FIFO"
    if stat.S_ISSOCK(mode):
        return "a socket"
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "a device"
    return "not a regular file"


def walk(directory: str, *, limit: int | None = None,
         strict: bool = True) -> Iterator[tuple[str, str, int]]:
    """``(relative name with / separators, path, mode)`` of every entry below ``directory`` that
    is not hidden and not a folder, in no particular order, never following a symbolic link.
    ``strict`` raises :class:`AuxDirError` for a link or special file, and for more than
    ``limit`` files; otherwise the walk skips what it cannot read and stops after ``limit``."""
    count = 0
    pending = [("", directory)]
    while pending:
        prefix, folder = pending.pop()
        try:
            with os.scandir(folder) as listing:
                children = sorted(listing, key=lambda e: os.fsencode(e.name))
        except OSError as exc:
            if strict:
                raise AuxDirError(f"cannot read the folder {folder}: "
                                  f"{exc.strerror or exc}") from exc
            continue
        for child in children:
            if _hidden(child.name):
                continue
            relative = prefix + child.name
            try:
                mode = child.stat(follow_symlinks=False).st_mode
            except OSError:
                continue  # gone since the folder was listed
            if stat.S_ISDIR(mode):
                pending.append((relative + SEPARATOR, child.path))
                continue
            if strict and not stat.S_ISREG(mode):
                raise AuxDirError(f"{child.path} is {_kind(mode)}; a folder given with --aux-dir "
                                  "may hold only regular files and folders")
            count += 1
            if limit is not None and count > limit:
                if not strict:
                    return
                raise AuxDirError(f"{directory} has more than {limit} files, the room left by "
                                  f"--max-auxiliary-artifacts; raise it, or name fewer files")
            yield relative, child.path, mode


def folder_entries(name: str, directory: str, *, required: bool,
                   limit: int) -> list[dict[str, Any]]:
    """The auxiliary entries for the files below ``directory``, named ``name/<relative>`` and
    sorted by name; raises :class:`AuxDirError`."""
    if not os.path.isdir(directory):
        raise AuxDirError(f"{directory} is not a folder; single files go with --aux")
    items = []
    for relative, path, _ in walk(directory, limit=limit):
        try:
            relative.encode("utf-8")
        except UnicodeEncodeError:
            raise AuxDirError(f"{os.fsencode(path).decode('utf-8', 'replace')}: the name is not "
                              "valid UTF-8 and cannot be written into a manifest; rename the "
                              "file") from None
        items.append({"name": f"{name}{SEPARATOR}{relative}", "path": path,
                      "required": required})
    if not items:
        raise AuxDirError(f"{directory} holds no file to add (hidden files are left out)")
    return sorted(items, key=lambda item: item["name"].encode())


# --- reading a report ---------------------------------------------------------------------------


@dataclass
class Folder:
    """The entries of one folder, in report order, and the folder's path where their paths
    agree on one."""

    name: str
    members: list[Mapping[str, Any]] = field(default_factory=list)
    manifest_path: str | None = None
    path: str | None = None  # canonical (report) or as planned (plan)

    def relative(self, entry: Mapping[str, Any]) -> str:
        name: str = entry["name"]
        return name[len(self.name) + 1:]


def _group(name: str) -> str | None:
    head, sep, rest = name.partition(SEPARATOR)
    return head if sep and head and rest else None


def _common(folder: Folder, key: str) -> str | None:
    """The folder path that every member's ``key`` path ends below, or None."""
    found = None
    for entry in folder.members:
        path, relative = entry.get(key), folder.relative(entry)
        if not path or not path.endswith(SEPARATOR + relative):
            if path is None and key != "manifest_path":
                continue  # an absent optional file or a failed entry names no path
            return None
        base = path[:-len(relative) - 1]
        if found is not None and base != found:
            return None
        found = base
    return found


def folders(entries: Sequence[Mapping[str, Any]], path_key: str) -> dict[str, Folder]:
    """The folders among report or plan entries: names with a first part that no entry has as
    its whole name."""
    plain = {entry["name"] for entry in entries}
    found: dict[str, Folder] = {}
    for entry in entries:
        group = _group(entry["name"])
        if group is not None and group not in plain:
            found.setdefault(group, Folder(group)).members.append(entry)
    for folder in found.values():
        folder.path = _common(folder, path_key)
        folder.manifest_path = _common(folder, "manifest_path")
    return found


Row = tuple[str, str, str]


def grouped_rows(entries: Sequence[Mapping[str, Any]], path_key: str,
                 row: Callable[[Mapping[str, Any], str], Row],
                 header: Callable[[Folder, str], Row]) -> list[Row]:
    """The table rows of auxiliary entries: each folder as a header row (``header(folder,
    state)``) followed by its files (``row(entry, label)``, labelled by their path in the folder),
    at the place of its first file; other entries as they are."""
    groups = folders(entries, path_key)
    rows: list[Row] = []
    for entry in entries:
        group = _group(entry["name"])
        folder = groups.get(group) if group is not None else None
        if folder is None:
            rows.append(row(entry, ""))
            continue
        if entry is folder.members[0]:
            bad = any(m["state"] not in ("verified", "optional_absent") for m in folder.members)
            rows.append(header(folder, "failed" if bad else "verified"))
        rows.append(row(entry, folder.relative(entry)))
    return rows


def unlisted(entries: Sequence[Mapping[str, Any]]) -> list[tuple[str, str]]:
    """Files in a folder that the manifest does not list, as ``(folder name, name/relative)``:
    they were added after creation and nothing vouches for them. Only folders whose files all
    resolved to one canonical folder are looked at."""
    found = []
    for folder in folders(entries, "canonical_path").values():
        if folder.path is None:
            continue
        listed = {folder.relative(entry) for entry in folder.members}
        # Past the listed files and the number shown, the walk has found enough to show.
        seen = walk(folder.path, strict=False, limit=len(listed) + UNLISTED_SHOWN)
        extra = sorted(relative for relative, _, _ in seen if relative not in listed)
        found += [(folder.name, f"{folder.name}{SEPARATOR}{rel}") for rel in extra[:UNLISTED_SHOWN]]
    return found
