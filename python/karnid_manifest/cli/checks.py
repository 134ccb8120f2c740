"""What ``verify`` and ``plan`` share: their options, the check of one manifest (its signature
first, with ``--public-key`` or a keyless identity), and the report of one or several manifests.

pyca/cryptography and sigstore-python are loaded only when a signature is checked.
"""

from __future__ import annotations

import argparse
import functools
import os
import stat
import sys
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Mapping, Sequence

import _karnid_manifest as km

from karnid_manifest import explain, functions, issues, progress, render
from karnid_manifest.files import MANIFEST_IN_DIRECTORY
from karnid_manifest.cli.base import (LIMIT_HELP, Output, budgeted,
                                      limit_options,
                                      limits_given, limits_in_force, load_failure,
                                      manifest_target, one_line, output_options, policy_options,
                                      unloadable, verification_kwargs, verification_refused)
from karnid_manifest.cli.status import (EXIT_FAILED, EXIT_OK, EXIT_UNUSABLE, KIND_BAD_ARGUMENTS,
                                        KIND_SIGNATURE_REFUSED, Failure)
from karnid_manifest.errors import VerificationFailed
from karnid_manifest.files import display_path
from karnid_manifest.report import in_check_order

if TYPE_CHECKING:
    from karnid_manifest.signing import SignatureInfo


def options(p: argparse.ArgumentParser, json_what: str) -> None:
    p.add_argument("manifests", nargs="+", metavar="MANIFEST",
                   help=f"a manifest file, or a directory holding a {MANIFEST_IN_DIRECTORY}")
    p.add_argument("-j", "--jobs", type=_jobs, metavar="N",
                   help="check up to N manifests at once (default: the CPUs this process may "
                        "use, at most one per manifest); the output keeps their order")
    p.add_argument("--index", metavar="PATH",
                   help="verify this index file instead of the one the manifest names "
                        "(a relative path is taken from the current directory; one manifest "
                        "only)")
    policy_options(p, duplicates=True)
    limit_options(p, list(LIMIT_HELP))
    output_options(p, json_what, quiet=True)
    p.add_argument("--junit", metavar="FILE",
                   help="also write a JUnit XML report to FILE (a test suite per manifest, a "
                        "test case per checked file), for CI servers")
    group = p.add_argument_group("signature")
    group.add_argument("--public-key", metavar="PUB",
                       help="first check each manifest's signature with this PEM public key")
    group.add_argument("--signature", metavar="SIG",
                       help="the signature to check (default: MANIFEST.sig beside the manifest; "
                            "one manifest only)")
    group.add_argument("--certificate-identity", metavar="ID",
                       help="first check each manifest's keyless signature, which must have "
                            "been made by this identity (the certificate's URI or email)")
    group.add_argument("--certificate-oidc-issuer", metavar="URL",
                       help="the OIDC issuer the keyless signer's certificate must name (needed "
                            "with --certificate-identity)")
    group.add_argument("--trusted-root", metavar="FILE",
                       help="verify keyless signatures offline against this trusted_root.json "
                            "(default: Sigstore's production trust root, refreshed through TUF)")
    group.add_argument("--offline", action="store_true",
                       help="use the cached or embedded Sigstore trust root, without a refresh")
    group.add_argument("--staging", action="store_true",
                       help="trust Sigstore's staging instance instead of production")


def _jobs(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{value} is not 1 or more")
    return value


def usable_cpus() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


# --- signatures -------------------------------------------------------------------------------


KEYLESS_IDENTITY = "--certificate-identity ID --certificate-oidc-issuer URL"


def _keyless_policy(args: argparse.Namespace) -> dict[str, Any]:
    """The keyless identity policy as keyword arguments of the signing functions; empty
    without ``--certificate-identity``."""
    if args.certificate_identity is None:
        return {}
    return {"identity": args.certificate_identity, "issuer": args.certificate_oidc_issuer,
            "trusted_root": args.trusted_root, "offline": args.offline,
            "staging": args.staging}


def _check_signature_arguments(args: argparse.Namespace, targets: list[str]) -> None:
    """Refuses signature options where they cannot apply, before any manifest is checked."""
    identity, issuer = args.certificate_identity, args.certificate_oidc_issuer
    if (identity is None) != (issuer is None):
        raise Failure("--certificate-identity and --certificate-oidc-issuer go together",
                      kind=KIND_BAD_ARGUMENTS)
    for option, value in (("--certificate-identity", identity),
                          ("--certificate-oidc-issuer", issuer)):
        if value is not None and not value.strip():
            raise Failure(f"{option} must not be empty", kind=KIND_BAD_ARGUMENTS)
    if identity is not None and args.public_key is not None:
        raise Failure("--public-key excludes --certificate-identity: a signature is made with "
                      "a key or keyless", kind=KIND_BAD_ARGUMENTS)
    for option, given in (("--trusted-root", args.trusted_root is not None),
                          ("--offline", args.offline), ("--staging", args.staging)):
        if given and identity is None:
            raise Failure(f"{option} needs {KEYLESS_IDENTITY}", kind=KIND_BAD_ARGUMENTS)
    if args.trusted_root is not None and args.staging:
        raise Failure("--trusted-root excludes --staging: it replaces Sigstore's trust root",
                      kind=KIND_BAD_ARGUMENTS)
    if args.signature is not None and args.public_key is None and identity is None:
        raise Failure(f"--signature needs --public-key, or {KEYLESS_IDENTITY}",
                      kind=KIND_BAD_ARGUMENTS)
    if args.signature is not None and len(targets) != 1:
        raise Failure("--signature needs exactly one manifest (each of several is checked "
                      "against MANIFEST.sig beside it)", kind=KIND_BAD_ARGUMENTS)


def _signature_failure(target: str, exc: Exception) -> Failure:
    from karnid_manifest import signing

    if isinstance(exc, signing.SignatureVerificationError):
        return Failure(f"signature refused for {display_path(target)}: {one_line(exc)}",
                       kind=KIND_SIGNATURE_REFUSED, status=EXIT_FAILED,
                       data={"reason": exc.code}, reason=f"signature refused: {exc}")
    if isinstance(exc, signing.KeylessIdentityRequired):
        return Failure(f"{one_line(exc)}; give {KEYLESS_IDENTITY} instead of --public-key")
    return Failure(one_line(exc))


def _verified_signature(target: str, args: argparse.Namespace) -> SignatureInfo | None:
    """With ``--public-key`` or a keyless identity: checks the manifest's signature and returns
    what it vouches for (None without either). Raises the command's failure when the signature
    does not vouch for the manifest or cannot be checked."""
    policy = _keyless_policy(args)
    if args.public_key is None and not policy:
        return None
    from karnid_manifest import signing

    signature = args.signature or signing.default_signature_path(target)
    try:
        return signing.verify_manifest_signature(target, signature, args.public_key, **policy,
                                                 max_manifest_bytes=args.max_manifest_bytes)
    except (signing.SignatureError, signing.SigningUnavailableError) as exc:
        raise _signature_failure(target, exc) from exc


def _signature_row(info: SignatureInfo | None) -> list[tuple[str, str, str]]:
    """The signature's line of a verify or plan table, in the table's columns."""
    if info is None:
        return []
    if info["kind"] == "keyless":
        signer = f"keyless, {info['identity']} ({info['issuer']})"
        if info["integrated_time"]:
            signer += f", logged {info['integrated_time']}"
    else:
        signer = f"{info['key']} key {info['key_hint'][:16]}"
    return [("signature", "verified",
             f"{info['signature_path']}  {info['method']} signature, {signer}")]


def _confirm_verified(target: str, info: SignatureInfo | None, reads: Any) -> None:
    """The manifest that verification parsed must be the bytes the signature vouched for."""
    if info is None:
        return
    from karnid_manifest import signing

    try:
        signing.confirm_verified(info, reads)
    except signing.SignatureError as exc:
        raise _signature_failure(target, exc) from exc


# --- one manifest -----------------------------------------------------------------------------


def index_from_manifest_dir(index: str, manifest: str) -> str:
    """The module resolves an index override against the manifest's directory, like the paths
    inside the manifest; on the command line a relative path means the current directory. The
    path is rewritten relative to the manifest's real directory (where the module's own
    resolution starts), so the path policy still judges where the file really is."""
    if os.path.isabs(index):
        return index
    base = os.path.realpath(os.path.dirname(manifest) or ".")
    return os.path.relpath(os.path.realpath(index), base)


@dataclass
class Outcome:
    """One manifest of a verify or plan run."""

    target: str
    status: int
    result: Mapping[str, Any] | None = None  # the report or the load plan
    failure: Failure | None = None
    signature: SignatureInfo | None = None  # with a key or an identity, once it vouched
    manifest_sha256: str | None = None  # of the bytes verified, when a document is written


def _step(doing: str, base: str, path: str | None) -> progress.Step | None:
    if not path:
        return None
    return progress.Step.of(doing, os.path.realpath(os.path.join(base, path)))


def verify_work(target: str, index: str | None, label: str,
                limits: Mapping[str, int]) -> progress.Work | None:
    """The files a verification reads, in its order: the index, the auxiliary files (by name),
    the row map, the encoder distortion profile, the calibration profile."""
    try:
        # A pipe (say, <(...)) can be read only once: the verification must get its text.
        if not stat.S_ISREG(os.stat(target).st_mode):
            return None
        manifest: Mapping[str, Any] = km.inspect_manifest(
            target, max_manifest_bytes=limits.get("max_manifest_bytes"))
    except (OSError, ValueError):
        return None  # the verification itself will say why
    base = os.path.dirname(target) or "."
    steps = [_step("hashing the index", base, index or manifest["artifact"]["path"])]
    for entry in in_check_order(manifest.get("auxiliary_artifacts", [])):
        steps.append(_step(f"hashing auxiliary {render.quoted(entry['name'])}", base,
                           entry["path"]))
    rows = manifest["row_identity"]
    if rows["kind"] == "jsonl":
        steps.append(_step("checking rows", base, rows["path"]))
    for key, doing in (("encoder_distortion", "hashing the encoder distortion profile"),
                       ("calibration", "hashing the calibration profile")):
        profile = (manifest.get(key) or {}).get("profile")
        if profile:
            steps.append(_step(doing, base, profile["path"]))
    return progress.Work([step for step in steps if step is not None], label=label,
                         idle="reading the manifest")


def limit_context(report: Mapping[str, Any], args: argparse.Namespace,
                  target: str) -> explain.LimitContext:
    rows = report["row_identity"]
    files: dict[str, list[str]] = {}
    for entry in report["auxiliary_artifacts"]:
        path = entry["canonical_path"] or entry["resolved_path"]
        if entry["reason_code"] == _AUXILIARY_TOO_LARGE and path:
            files.setdefault(_AUXILIARY_TOO_LARGE, []).append(path)
    base = os.path.dirname(target) or "."
    for key, code in _PROFILE_TOO_LARGE:
        section = report[key]
        path = section["profile_canonical_path"] or section["profile_manifest_path"]
        if path:
            files[code] = [os.path.join(base, path)]
    return explain.LimitContext(limits_in_force(args), manifest=target,
                                row_map=rows["canonical_path"], rows=rows["row_count"],
                                files=files, budgeted=budgeted(args))


_AUXILIARY_TOO_LARGE = "auxiliary_artifact_file_too_large"
_PROFILE_TOO_LARGE = (("calibration", "calibration_profile_too_large"),
                      ("encoder_distortion", "encoder_distortion_profile_too_large"))


def _check_one(target: str, args: argparse.Namespace, out: Output, *, planning: bool,
               runner: progress.Runner[Any] | None = None) -> Outcome:
    """Checks one manifest. ``runner`` runs the long call (on a worker thread of its own, with
    the progress line, unless a caller that runs several at once gives its own)."""
    # Every issue comes with the row-map line it concerns, for the plain-words lines.
    kwargs = {**verification_kwargs(args), "issue_lines": True}
    if args.index is not None:
        kwargs["index"] = index_from_manifest_dir(args.index, target)
    override = os.path.realpath(args.index) if args.index is not None else None
    work = None
    if runner is None:
        runner = out.progress.run
        if out.progress.enabled:
            work = verify_work(target, override, "", limits_given(args))
    shown = display_path(target)
    # The structured issues take declared values from the manifest bytes that were verified.
    recording = out.json or bool(getattr(args, "junit", None))
    if recording:
        kwargs["record_reads"] = True
    try:
        signed = _verified_signature(target, args)
    except Failure as failure:
        if failure.status == EXIT_UNUSABLE:
            # A missing signature beside a missing manifest (or an index passed as one): the
            # manifest is what the user must fix first.
            failure = unloadable(target, args, out) or failure
        return Outcome(target, failure.status, failure=failure)
    if signed is not None:
        kwargs["record_reads"] = True  # the bytes verified are held to the signed ones below
    reads = None
    try:
        if planning:
            result: Any = runner(lambda: functions.verify_for_load(target, **kwargs), work)
        else:
            result = runner(lambda: functions.verify_manifest(target, **kwargs), work)
        if kwargs.get("record_reads"):
            result, reads = result
    except VerificationFailed as exc:
        refusal = verification_refused(f"load plan refused for {shown}", target, exc)
        refusal.notes.extend(getattr(exc, "__notes__", []))
        return Outcome(target, EXIT_FAILED, failure=refusal, signature=signed)
    except (OSError, ValueError) as exc:
        return Outcome(target, EXIT_UNUSABLE, signature=signed,
                       failure=load_failure(target, exc, limits_in_force(args)))
    digest = reads["manifest"]["sha256"] if recording and reads is not None else None
    try:
        _confirm_verified(target, signed, reads)
    except Failure as failure:
        return Outcome(target, failure.status, failure=failure)
    ok = planning or bool(result["ok"])
    return Outcome(target, EXIT_OK if ok else EXIT_FAILED, result=result, signature=signed,
                   manifest_sha256=digest)


def _check_in_turn(target: str, args: argparse.Namespace, out: Output, planning: bool,
                   runner: progress.Runner[Any]) -> Outcome:
    return _check_one(target, args, out, planning=planning, runner=runner)


def result_document(outcome: Outcome, args: argparse.Namespace) -> dict[str, Any]:
    """The report or load plan of one manifest as ``--json`` prints it."""
    assert outcome.result is not None
    declared = issues.declared_manifest(outcome.target, outcome.manifest_sha256,
                                        limits_in_force(args)["max_manifest_bytes"])
    shown = display_path(outcome.target)
    if "artifact_path" in outcome.result:
        return issues.plan_document(outcome.result, shown, declared)
    return issues.report_document(outcome.result, shown, declared)


def _single(outcome: Outcome, args: argparse.Namespace, out: Output, *, planning: bool) -> int:
    signature = _signature_row(outcome.signature)
    if outcome.failure is not None:
        if not (out.json or out.quiet):  # the signature held; what failed comes after it
            out.lines(render.table(signature, out.style))
        raise outcome.failure
    result = outcome.result
    assert result is not None
    if out.json:
        out.document(result_document(outcome, args))
    elif planning:
        if not out.quiet:
            out.lines(render.plan_lines(result, out.style, signature))
    elif not (out.quiet and result["ok"]):
        context = limit_context(result, args, outcome.target)
        if out.quiet:
            out.lines([*render.issue_lines(result["errors"], out.style, context), "",
                       render.verdict_line(result, outcome.target, out.style)])
        else:
            out.lines(render.report_lines(result, outcome.target, out.style, context, signature))
        hint = functions.absolute_index_hint(
            {"index": args.index, "allow_absolute_paths": args.allow_absolute_paths},
            [issue["code"] for issue in result["errors"]])
        if hint is not None:
            out.lines([out.style.dim(f"  {hint}")])
    return outcome.status


def _compact(outcome: Outcome, args: argparse.Namespace, out: Output) -> list[str]:
    shown = display_path(outcome.target)
    style = out.style
    if outcome.failure is not None:
        word = "REFUSED" if outcome.failure.status == EXIT_FAILED else "ERROR"
        return [f"{shown}: {style.bad(word)}, {outcome.failure.reason}",
                *("  " + style.dim(note) for note in outcome.failure.notes)]
    result = outcome.result
    assert result is not None
    if "artifact_path" in result:  # a load plan
        return [] if out.quiet else [f"{shown}: {style.good('OK')}, load plan: "
                                     f"{result['artifact_path']}"]
    return render.compact_report_lines(result, outcome.target, style,
                                       limit_context(result, args, outcome.target),
                                       quiet=out.quiet)


def _write_junit(args: argparse.Namespace, outcomes: Sequence[Outcome]) -> None:
    if not args.junit:
        return
    from karnid_manifest import junit

    suites = []
    for o in outcomes:
        shown = display_path(o.target)
        if o.result is None:
            failure = o.failure.message if o.failure is not None else "not checked"
            suites.append(junit.Suite(shown, None, failure, error=o.status != EXIT_FAILED))
        else:
            report = o.result["report"] if "artifact_path" in o.result else o.result
            suites.append(junit.Suite(shown, report))
    try:
        junit.write(args.junit, suites)
    except OSError as exc:
        raise Failure(f"cannot write the JUnit report {display_path(args.junit)}: "
                      f"{one_line(exc)}") from exc


def _summary(outcomes: Sequence[Outcome], planning: bool) -> str:
    counts = {status: sum(1 for o in outcomes if o.status == status)
              for status in (EXIT_OK, EXIT_FAILED, EXIT_UNUSABLE)}
    good, bad = ("load plan", "refused") if planning else ("verified", "failed")
    parts = [f"{counts[EXIT_OK]} {good}{'s' if planning and counts[EXIT_OK] != 1 else ''}",
             f"{counts[EXIT_FAILED]} {bad}"]
    if counts[EXIT_UNUSABLE]:
        parts.append(f"{counts[EXIT_UNUSABLE]} could not be checked")
    return f"{len(outcomes)} manifests: " + ", ".join(parts)


def run(args: argparse.Namespace, out: Output, *, planning: bool) -> int:
    targets = [manifest_target(argument) for argument in args.manifests]
    if args.index is not None and len(targets) != 1:
        raise Failure("--index needs exactly one manifest", kind=KIND_BAD_ARGUMENTS)
    _check_signature_arguments(args, targets)
    if len(targets) == 1:
        outcome = _check_one(targets[0], args, out, planning=planning)
        _write_junit(args, [outcome])
        return _single(outcome, args, out, planning=planning)
    # The progress line counts the bytes of every manifest's files from the start.
    works = ([verify_work(target, None, "", limits_given(args)) for target in targets]
             if out.progress.enabled else None)

    def show(_: int, outcome: Outcome) -> None:
        if not (out.json or out.status):
            out.lines(_compact(outcome, args, out))
            sys.stdout.flush()

    outcomes = out.progress.run_all(
        [functools.partial(_check_in_turn, target, args, out, planning) for target in targets],
        args.jobs or usable_cpus(), works, show)
    _write_junit(args, outcomes)
    worst = max(outcome.status for outcome in outcomes)
    if out.json:
        key = "plan" if planning else "report"
        out.document({"format": issues.FORMAT, "exit_status": worst, "manifests": [
            {"manifest": display_path(o.target), "exit_status": o.status,
             **({key: result_document(o, args)} if o.failure is None
                else {"error": o.failure.as_json()})}
            for o in outcomes]})
    elif not (out.quiet and worst == EXIT_OK):
        out.lines(["", _summary(outcomes, planning)])
    return worst
