"""The command-line side of signatures: the ``sign`` command, the ``--public-key`` and
``--signature`` options of ``verify`` and ``plan``, and the signing step of the demo.

Exit codes follow the tool's: 1 when a signature does not vouch for the manifest (the reason in
one line on stderr) or the manifest to sign does not verify, 2 for input that cannot be used.
The pieces plug into ``cli``: its command table, its verify/plan options and its per-manifest
step; failures are the tool's own ``Failure``, so ``--json`` prints them as error objects.
"""

from __future__ import annotations

import argparse
import getpass
import os
import shlex
import sys
from pathlib import Path
from typing import Any, Callable, Protocol

import _karnid_manifest as km

from karnid_manifest import signing
from karnid_manifest.errors import VerificationFailed
from karnid_manifest.render import display_path

EXIT_OK = 0
EXIT_FAILED = 1
KIND_SIGNATURE_REFUSED = "signature_refused"


def add_signature_options(parser: argparse.ArgumentParser) -> None:
    """``--public-key`` (and ``--signature``) for ``verify`` and ``plan``."""
    group = parser.add_argument_group("signature")
    group.add_argument("--public-key", metavar="PUB",
                       help="first check each manifest's signature with this PEM public key")
    group.add_argument("--signature", metavar="SIG",
                       help="the signature to check (default: MANIFEST.sig beside the manifest; "
                            "one manifest only)")


def sign_options(p: argparse.ArgumentParser) -> None:
    """The options of ``sign``: the key and where the signature goes, then the path policy and
    limits that the verification before signing needs."""
    from karnid_manifest import cli

    p.add_argument("manifest", metavar="MANIFEST",
                   help=f"the manifest file, or a directory holding a {cli.MANIFEST_IN_DIRECTORY}")
    p.add_argument("--key", required=True, metavar="KEY",
                   help="PEM private key (ECDSA P-256, P-384 or P-521; PKCS#8 or SEC1)")
    p.add_argument("--signature", metavar="SIG",
                   help="where to write the signature (default: MANIFEST.sig beside it)")
    p.add_argument("--password-env", metavar="VAR",
                   help="read the key's password from this environment variable (otherwise "
                        "an encrypted key asks on the terminal)")
    cli._policy_options(p, duplicates=True)
    cli._limit_options(p, list(cli.LIMIT_HELP))
    cli._output_options(p, "the signature facts")


def _options(args: argparse.Namespace) -> dict[str, Any]:
    """The verification flags and limits the user gave."""
    names = [*km.default_resource_limits(), "allow_path_escape", "allow_absolute_paths",
             "allow_duplicate_db_ids"]
    return {name: getattr(args, name) for name in names if getattr(args, name, None) is not None}


def _password(args: argparse.Namespace) -> signing.Password:
    if args.password_env:
        value = os.environ.get(args.password_env)
        if value is None:
            raise signing.SignatureInputError(
                f"environment variable {args.password_env} (--password-env) is not set")
        return value
    if not sys.stdin.isatty():
        return None

    def ask() -> str:
        try:
            return getpass.getpass(f"password for {display_path(args.key)}: ")
        except EOFError:  # Ctrl-D at the prompt
            raise signing.SignatureInputError(
                f"no password given for {display_path(args.key)}") from None

    return ask


def _asked_once(key: str, password: signing.Password) -> signing.Password:
    """A prompt for the password, when the key needs one, here on the main thread: a prompt on
    the worker thread would leave the terminal without echo if Ctrl-C ended the command."""
    if not callable(password):
        return password
    answers: list[str | bytes] = []

    def remembered() -> str | bytes:
        answers.append(password())
        return answers[-1]

    signing.check_private_key(key, remembered)
    return answers[0] if answers else None


def cmd_sign(args: argparse.Namespace, out: Any) -> int:
    from karnid_manifest import cli

    target = cli.manifest_target(args.manifest)
    shown = display_path(target)
    try:
        password = _asked_once(args.key, _password(args))
        # On a worker thread, as every long call of the tool, so that Ctrl-C ends it at once.
        info = out.progress.run(lambda: signing.sign_manifest(
            target, args.key, args.signature, password=password, **_options(args)))
    except signing.KeyPasswordRequired as exc:
        raise cli.Failure(f"{exc}: give --password-env VAR, or run on a terminal to be "
                          "asked") from exc
    except signing.SignatureInputError as exc:
        raise (cli.unloadable(target, args, out) or cli.Failure(cli.one_line(exc))) from exc
    except signing.SigningUnavailableError as exc:
        raise cli.Failure(cli.one_line(exc)) from exc
    except VerificationFailed as exc:
        raise cli.Failure(
            f"refusing to sign {shown}: {cli.one_line(exc)}",
            notes=[f"run '{shlex.join([*cli.command_prefix(), 'verify', target])}' to see "
                   "every issue"],
            kind=cli.KIND_PLAN_REFUSED, status=EXIT_FAILED,
            data={"codes": list(exc.codes), "more_codes": exc.more_codes}
        ) from exc
    except (OSError, ValueError) as exc:
        raise cli.load_failure(target, exc, cli.limits_in_force(args)) from exc
    if out.json:
        out.document(info)
    else:
        out.lines([f"{out.style.good('OK')}: signed {info['manifest_path']} "
                   f"(sha256 {info['sha256']}) with {info['key']} key "
                   f"{info['key_hint'][:16]}; wrote {info['signature_path']}"])
    return EXIT_OK


def check_arguments(args: argparse.Namespace, targets: list[str]) -> None:
    """Refuses ``--signature`` where it cannot apply, before any manifest is checked."""
    from karnid_manifest import cli

    if args.signature is not None and args.public_key is None:
        raise cli.Failure("--signature needs --public-key", kind=cli.KIND_BAD_ARGUMENTS)
    if args.signature is not None and len(targets) != 1:
        raise cli.Failure("--signature needs exactly one manifest (each of several is checked "
                          "against MANIFEST.sig beside it)", kind=cli.KIND_BAD_ARGUMENTS)


def _signature_failure(target: str, exc: Exception) -> Any:
    from karnid_manifest import cli

    if isinstance(exc, signing.SignatureVerificationError):
        return cli.Failure(f"signature refused for {display_path(target)}: {cli.one_line(exc)}",
                           kind=KIND_SIGNATURE_REFUSED, status=EXIT_FAILED,
                           data={"reason": exc.code}, brief=f"signature refused: {exc}")
    return cli.Failure(cli.one_line(exc))


def verified_signature(target: str, args: argparse.Namespace) -> signing.SignatureInfo | None:
    """With ``--public-key``: checks the manifest's signature and returns what it vouches for
    (None without the option). Raises the command's failure when the signature does not vouch
    for the manifest or cannot be checked."""
    if args.public_key is None:
        return None
    signature = args.signature or signing.default_signature_path(target)
    try:
        return signing.verify_manifest_signature(target, signature, args.public_key,
                                                 max_manifest_bytes=args.max_manifest_bytes)
    except (signing.SignatureError, signing.SigningUnavailableError) as exc:
        raise _signature_failure(target, exc) from exc


def signature_row(info: signing.SignatureInfo | None) -> list[tuple[str, str, str]]:
    """The signature's line of a verify or plan table, in the table's columns."""
    if info is None:
        return []
    return [("signature", "verified", f"{info['signature_path']}  {info['method']} signature, "
                                      f"{info['key']} key {info['key_hint'][:16]}")]


def confirm_unchanged(target: str, info: signing.SignatureInfo | None,
                      args: argparse.Namespace) -> None:
    """After verification: the manifest must still be the bytes the signature vouched for."""
    if info is None:
        return
    try:
        signing.confirm_unchanged(target, info["sha256"],
                                  max_manifest_bytes=args.max_manifest_bytes)
    except signing.SignatureError as exc:
        raise _signature_failure(target, exc) from exc


class Transcript(Protocol):
    def heading(self, text: str) -> None: ...

    def note(self, text: str) -> None: ...

    def run(self, argv: list[str], expected: int) -> int: ...


def demo(out: Transcript, manifest: Path, rel: Callable[[Path], str]) -> None:
    """The demo's signing step: a throwaway key pair, a signature, a check before loading."""
    out.heading("6. sign the manifest with a throwaway key; check the signature before loading")
    if not signing.HAVE_CRYPTOGRAPHY:
        out.note(f"skipped: signing needs pyca/cryptography ({signing.INSTALL_HINT})")
        return
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import ec

    keys = manifest.parent.parent / "keys"
    keys.mkdir(exist_ok=True)
    private = ec.generate_private_key(ec.SECP256R1())
    key, pub = keys / "demo-key.pem", keys / "demo-key.pub"
    key.write_bytes(private.private_bytes(serialization.Encoding.PEM,
                                          serialization.PrivateFormat.PKCS8,
                                          serialization.NoEncryption()))
    key.chmod(0o600)
    pub.write_bytes(private.public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
    out.note(f"a new ECDSA P-256 key pair: {rel(key)} (private) and {rel(pub)} (public); "
             "openssl makes the same with genpkey")
    out.run(["sign", rel(manifest), "--key", rel(key)], expected=0)
    out.run(["plan", rel(manifest), "--public-key", rel(pub)], expected=0)
