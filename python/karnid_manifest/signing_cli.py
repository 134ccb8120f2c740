"""The command-line side of signatures: the ``sign`` command, the ``--public-key`` and
``--signature`` options of ``verify`` and ``plan``, and the signing step of the demo.

Exit codes follow the tool's: 1 when a signature does not vouch for the manifest (the reason in
one line on stderr) or the manifest to sign does not verify, 2 for input that cannot be used.
"""

from __future__ import annotations

import argparse
import getpass
import json
import os
import sys
from pathlib import Path
from typing import Any, Callable, Protocol, TypeVar

import _karnid_manifest as km

from karnid_manifest import signing

P = TypeVar("P", bound=argparse.ArgumentParser)

PROG = "karnid-manifest"
EXIT_OK = 0
EXIT_FAILED = 1
EXIT_UNUSABLE = 2


def _shown(path: str) -> str:
    return os.fsencode(path).decode("utf-8", "replace")


def _error(message: str) -> None:
    print(f"{PROG}: {' '.join(message.splitlines())}", file=sys.stderr)


def add_signature_options(parser: argparse.ArgumentParser) -> None:
    """``--public-key`` (and ``--signature``) for a command that takes a MANIFEST."""
    group = parser.add_argument_group("signature")
    group.add_argument("--public-key", metavar="PUB",
                       help="first check the manifest's signature with this PEM public key")
    group.add_argument("--signature", metavar="SIG",
                       help="the signature to check (default: MANIFEST.sig beside the manifest)")


def add_sign_command(sub: argparse._SubParsersAction[P]) -> P:
    """Registers ``sign``; the caller adds the path-policy and limit options that verification
    of the manifest needs."""
    p = sub.add_parser("sign", help="sign a manifest that verifies",
                       description="Verify a manifest, then sign its exact bytes with a private "
                                   "key (a Sigstore bundle that model-signing and "
                                   "securesystemslib verify).")
    p.add_argument("manifest", metavar="MANIFEST", help="the manifest file")
    p.add_argument("--key", required=True, metavar="KEY",
                   help="PEM private key (ECDSA P-256, P-384 or P-521; PKCS#8 or SEC1)")
    p.add_argument("--signature", metavar="SIG",
                   help="where to write the signature (default: MANIFEST.sig beside it)")
    p.add_argument("--password-env", metavar="VAR",
                   help="read the key's password from this environment variable (otherwise "
                        "an encrypted key asks on the terminal)")
    p.add_argument("--json", action="store_true", help="print the signature facts as JSON")
    p.set_defaults(func=_cmd_sign)
    return p


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
        return getpass.getpass(f"password for {_shown(args.key)}: ")

    return ask


def _cmd_sign(args: argparse.Namespace) -> int:
    from karnid_manifest.cli import PLAN_REFUSAL_PREFIXES

    shown = _shown(args.manifest)
    try:
        info = signing.sign_manifest(args.manifest, args.key, args.signature,
                                     password=_password(args), **_options(args))
    except signing.KeyPasswordRequired as exc:
        _error(f"{exc}: give --password-env VAR, or run on a terminal to be asked")
        return EXIT_UNUSABLE
    except (signing.SignatureInputError, signing.SigningUnavailableError) as exc:
        _error(str(exc))
        return EXIT_UNUSABLE
    except ValueError as exc:
        message = " ".join(str(exc).splitlines())
        if message.startswith(PLAN_REFUSAL_PREFIXES):
            _error(f"refusing to sign {shown}: {message} (run '{PROG} verify {shown}' for "
                   "every issue)")
            return EXIT_FAILED
        _error(f"cannot load manifest {shown}: {message}")
        return EXIT_UNUSABLE
    except OSError as exc:
        _error(f"cannot load manifest {shown}: {exc}")
        return EXIT_UNUSABLE
    if args.json:
        print(json.dumps(info, indent=2))
    else:
        print(f"OK: signed {info['manifest_path']} (sha256 {info['sha256']}) with "
              f"{info['key']} key {info['key_hint'][:16]}; wrote {info['signature_path']}")
    return EXIT_OK


def checked(args: argparse.Namespace, command: Callable[[argparse.Namespace], int]) -> int:
    """Runs a command; with ``--public-key``, only after the manifest's signature verified, and
    refusing afterwards if the manifest changed while the command ran."""
    public_key = getattr(args, "public_key", None)
    if public_key is None:
        if getattr(args, "signature", None) is not None and hasattr(args, "public_key"):
            _error("--signature needs --public-key")
            return EXIT_UNUSABLE
        return command(args)
    signature = args.signature or signing.default_signature_path(args.manifest)
    limit = getattr(args, "max_manifest_bytes", None)
    shown = _shown(args.manifest)
    try:
        info = signing.verify_manifest_signature(args.manifest, signature, public_key,
                                                 max_manifest_bytes=limit)
        if not args.json:
            print(f"signature  verified  {info['signature_path']}  {info['method']} "
                  f"signature, {info['key']} key {info['key_hint'][:16]}")
        status = command(args)
        signing.confirm_unchanged(args.manifest, info["sha256"], max_manifest_bytes=limit)
    except signing.SignatureVerificationError as exc:
        sys.stdout.flush()
        _error(f"signature refused for {shown}: {exc}")
        return EXIT_FAILED
    except (signing.SignatureInputError, signing.SigningUnavailableError) as exc:
        _error(str(exc))
        return EXIT_UNUSABLE
    return status


class Transcript(Protocol):
    def heading(self, text: str) -> None: ...

    def note(self, text: str) -> None: ...

    def run(self, argv: list[str], expected: int) -> int: ...


def demo(out: Transcript, manifest: Path, rel: Callable[[Path], str]) -> None:
    """The demo's signing step: a throwaway key pair, a signature, a check before loading."""
    out.heading("sign the manifest with a throwaway key, then check the signature before loading")
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
