"""``karnid-manifest create``: a manifest written so that it never damages another file.

The module writes the manifest in place, so a crash halfway leaves half a file. The tool instead
has the module write through a descriptor of a temporary file in the manifest's directory (so the
relative paths in it are the same), which :mod:`karnid_manifest.atomic` then renames (``--force``)
or links into place: an interrupted run leaves the old file or the new one. Because the module
writes to the temporary, the tool itself refuses an output that is the same file as one of the
inputs: the rename would otherwise take the index's name for its manifest. A FIFO or a character
device (``/dev/stdout``) is written directly.
"""

from __future__ import annotations

import argparse
import json
import os
import stat
from typing import Any, Mapping, cast

import _karnid_manifest as km

from karnid_manifest import (atomic, auxdir, errors, explain, formats, functions, plain_words,
                             progress, render)
from karnid_manifest.cli.base import (LIMIT_HELP, Output, budgeted, limit_options, limits_in_force,
                                      one_line, output_options, policy_options,
                                      verification_kwargs)
from karnid_manifest.cli.status import EXIT_OK, Failure
from karnid_manifest.files import display_path



def _name_path(text: str) -> tuple[str, str]:
    name, sep, path = text.partition("=")
    if not sep or not name.strip() or not path:
        raise argparse.ArgumentTypeError(f"{text!r} is not NAME=PATH")
    return name, path


class _AuxAction(argparse.Action):
    """Collects --aux and --optional-aux in command-line order into one list of items."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        name, path = values
        items = list(getattr(namespace, self.dest) or [])
        items.append({"name": name, "path": path, "required": self.const})
        setattr(namespace, self.dest, items)


def options(p: argparse.ArgumentParser) -> None:
    p.add_argument("index", metavar="INDEX", help="the index file")
    p.add_argument("--out", required=True, metavar="MANIFEST",
                   help="where to write the manifest; paths in it are relative to its directory")
    p.add_argument("--force", action="store_true",
                   help="replace an existing manifest at --out")
    p.add_argument("--embedding-model", required=True, metavar="NAME",
                   help="the embedding model that produced the vectors")
    rows = p.add_mutually_exclusive_group(required=True)
    rows.add_argument("--row-map", metavar="FILE",
                      help="JSON Lines row-identity file: one {row_id, db_id} object per row")
    rows.add_argument("--row-id-is-identity", action="store_true",
                      help="the row number itself is the caller's identifier")
    p.add_argument("--aux", dest="auxiliary", action=_AuxAction, const=True, type=_name_path,
                   metavar="NAME=PATH", help="a required auxiliary file (repeatable)")
    p.add_argument("--optional-aux", dest="auxiliary", action=_AuxAction, const=False,
                   type=_name_path, metavar="NAME=PATH",
                   help="an optional auxiliary file (repeatable)")
    p.add_argument("--aux-dir", dest="auxiliary_dirs", action="append", type=_name_path,
                   metavar="NAME=DIR",
                   help="a folder: one required auxiliary file NAME/<path> per regular file "
                        "below DIR; hidden files are left out, links refused (repeatable)")
    policy_options(p, duplicates=False)
    limit_options(p, list(LIMIT_HELP))
    output_options(p, "the created manifest")


def run(args: argparse.Namespace, out: Output) -> int:
    manifest = create(args, out)
    if out.json:
        out.document(manifest)
        return EXIT_OK
    out.lines(render.manifest_lines(manifest, args.out, out.style))
    out.lines(["", f"{out.style.good('OK')}: wrote {display_path(args.out)}"])
    return EXIT_OK


def _inputs(args: argparse.Namespace) -> list[tuple[str, str]]:
    inputs = [("index", args.index)]
    if args.row_map is not None:
        inputs.append(("row map", args.row_map))
    inputs += [(f"auxiliary file {render.quoted(item['name'])}", item["path"])
               for item in args.auxiliary or []]
    return inputs


def _identity(path: str) -> tuple[int, int] | None:
    try:
        info = os.stat(path)
    except (OSError, ValueError):
        return None
    return info.st_dev, info.st_ino


def _exists(target: str) -> Failure:
    return Failure(f"cannot create {display_path(target)}: the file exists; "
                       "--force replaces it")


def refuse_unsafe_output(target: str, inputs: list[tuple[str, str]], *, force: bool) -> None:
    """Raises when writing ``target`` would overwrite an input, a directory or (without
    ``force``) an existing file. The write itself refuses a name that appears meanwhile."""
    shown = display_path(target)
    what = f"cannot create {shown}"
    if not target:
        raise Failure("cannot create a manifest: --out is empty")
    if not os.path.basename(target):
        raise Failure(f"{what}: --out must name a file, not a directory")
    identity = _identity(target)
    if identity is not None:
        for role, path in inputs:
            if _identity(path) == identity:
                raise Failure(f"{what}: it is the same file as the {role} "
                                  f"{display_path(path)}; write the manifest elsewhere")
    try:
        os.lstat(target)
    except FileNotFoundError:
        return
    except (OSError, ValueError) as exc:
        raise Failure(f"{what}: {one_line(exc)}") from exc
    try:
        info: os.stat_result | None = os.stat(target)
    except OSError:
        info = None  # a dangling symbolic link
    if info is not None and stat.S_ISDIR(info.st_mode):
        raise Failure(f"{what}: it is a directory")
    if atomic.is_special_output(target):
        return  # written to, not replaced
    if not force:
        raise _exists(target)
    if info is not None and not stat.S_ISREG(info.st_mode):
        raise Failure(f"{what}: it is not a regular file")


def _failure(exc: BaseException, args: argparse.Namespace) -> Failure:
    what = f"cannot create {display_path(args.out)}"
    message = one_line(exc)
    if isinstance(exc, OSError):
        failing = exc.filename
        shown = display_path(failing) if failing is not None else None
        named = f"{shown}: " if shown is not None and shown not in message else ""
        return Failure(f"{what}: {named}{message}",
                       notes=[plain_words.creation_note(exc, args.auxiliary or [])])
    limits = limits_in_force(args)
    context = explain.LimitContext(limits, row_map=args.row_map,
                                   rows=formats.vector_count(args.index),
                                   entries=len(args.auxiliary or []),
                                   can_skip_duplicates=False, creating=True,
                                   budgeted=budgeted(args))
    if isinstance(exc, errors.RowMapInvalid) and args.row_map is not None:
        problems = [dict(issue) for issue in exc.issues]
        shown = display_path(args.row_map)
        notes = [f"{shown} has {len(problems)} problem{'s' if len(problems) != 1 else ''}:",
                 *render.issue_lines(problems, render.Style(False), context)] if problems else []
        return Failure(f"{what}: {message}", notes=notes, data={"problems": problems})
    if isinstance(exc, errors.LimitExceeded):
        return Failure(f"{what}: {message}",
                       notes=[explain.limit_hint(exc.code, context, path=exc.filename)],
                       data={"module_message": message})
    return Failure(f"{what}: {message}",
                   notes=[plain_words.note([path for _, path in _inputs(args)]
                                           + [os.path.dirname(args.out) or "."])])


def _work(args: argparse.Namespace) -> progress.Work:
    steps = [progress.Step.of("hashing the index", args.index)]
    if args.row_map is not None:
        steps.append(progress.Step.of("checking rows", args.row_map))
    steps += [progress.Step.of(f"hashing auxiliary {render.quoted(item['name'])}", item["path"])
              for item in args.auxiliary or []]
    return progress.Work(steps, idle="starting")


def _expand_folders(args: argparse.Namespace) -> None:
    """Adds the files of each --aux-dir to the auxiliary items, within the count limit."""
    room = limits_in_force(args)["max_auxiliary_artifacts"] - len(args.auxiliary or [])
    items = list(args.auxiliary or [])
    for name, directory in args.auxiliary_dirs or []:
        try:
            found = auxdir.folder_entries(name, directory, required=True, limit=max(room, 0))
        except auxdir.AuxDirError as exc:
            raise Failure(f"cannot create {display_path(args.out)}: --aux-dir {name}: "
                          f"{display_path(str(exc))}") from None
        room -= len(found)
        items += found
    args.auxiliary = items


def create(args: argparse.Namespace, out: Output) -> Mapping[str, Any]:
    """Creates the manifest at ``args.out`` and returns it; raises Failure."""
    target = args.out
    _expand_folders(args)
    refuse_unsafe_output(target, _inputs(args), force=args.force)
    what = f"cannot create {display_path(target)}"
    kwargs = verification_kwargs(args)
    if args.row_map is not None:
        kwargs["row_map"] = args.row_map
    else:
        kwargs["row_id_is_identity"] = True
    if args.auxiliary:
        kwargs["auxiliary_artifacts"] = args.auxiliary

    def module_call(**extra: Any) -> Mapping[str, Any]:
        return functions.create_manifest(args.index, target, args.embedding_model, **kwargs,
                                         **extra)

    if atomic.is_special_output(target):
        def write() -> Mapping[str, Any]:
            return module_call()
    else:
        def write() -> Mapping[str, Any]:
            made = atomic.make_parents(os.path.dirname(target))
            try:
                return atomic.write_file(target, lambda fd: module_call(out_fd=fd),
                                         replace=args.force)
            except BaseException:
                atomic.remove_made(made)
                raise

    try:
        # Everything that touches the temporary happens on the worker thread that owns it.
        return out.progress.run(write, _work(args))
    except FileExistsError as exc:
        if exc.filename == target:
            raise _exists(target) from exc
        raise _failure(exc, args) from exc
    except atomic.NameChanged as exc:
        raise Failure(f"{what}: {exc.strerror}") from exc
    except (OSError, ValueError) as exc:
        raise _failure(exc, args) from exc
