"""``karnid-manifest sign``: verify a manifest, then sign its exact bytes with a private key, or
keyless with the CI job's OIDC identity.

Exit codes follow the tool's: 1 when the manifest to sign does not verify, 2 for input that cannot
be used. ``verify`` and ``plan`` check the signature with ``--public-key``, or a keyless one with
``--certificate-identity`` and ``--certificate-oidc-issuer``.
"""

from __future__ import annotations

import argparse
import getpass
import os
import shlex
import sys
from typing import Any

from karnid_manifest import signing
from karnid_manifest.files import MANIFEST_IN_DIRECTORY
from karnid_manifest.cli.base import (LIMIT_HELP, Output, command_prefix,
                                      limit_options, limits_in_force, load_failure,
                                      manifest_target, one_line, output_options, policy_options,
                                      unloadable, verification_kwargs, verification_refused)
from karnid_manifest.cli.status import EXIT_OK, KIND_BAD_ARGUMENTS, Failure
from karnid_manifest.errors import VerificationFailed
from karnid_manifest.files import display_path


def options(p: argparse.ArgumentParser) -> None:
    """The key and where the signature goes, then the path policy and limits that the
    verification before signing needs."""
    p.add_argument("manifest", metavar="MANIFEST",
                   help=f"the manifest file, or a directory holding a {MANIFEST_IN_DIRECTORY}")
    how = p.add_mutually_exclusive_group(required=True)
    how.add_argument("--key", metavar="KEY",
                     help="PEM private key (ECDSA P-256, P-384 or P-521; PKCS#8 or SEC1)")
    how.add_argument("--keyless", action="store_true",
                     help="sign with a short-lived certificate for an OIDC identity, recorded "
                          "in Sigstore's transparency log (needs the network)")
    p.add_argument("--signature", metavar="SIG",
                   help="where to write the signature (default: MANIFEST.sig beside it)")
    p.add_argument("--force", action="store_true",
                   help="replace an existing file at SIG (never the key, the manifest or a file "
                        "the manifest names)")
    p.add_argument("--password-env", metavar="VAR",
                   help="read the key's password from this environment variable (otherwise "
                        "an encrypted key asks on the terminal)")
    p.add_argument("--identity-token", metavar="TOKEN",
                   help="with --keyless: the OIDC identity token to sign with (default: the CI "
                        "job's ambient credential, such as GitHub Actions' with id-token: write)")
    p.add_argument("--staging", action="store_true",
                   help="with --keyless: use Sigstore's staging instance instead of production")
    policy_options(p, duplicates=True)
    limit_options(p, list(LIMIT_HELP))
    output_options(p, "the signature facts")


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


def _signer(args: argparse.Namespace) -> dict[str, Any]:
    """The key and its password, or the keyless options, as keyword arguments of signing."""
    if args.keyless:
        if args.password_env is not None:
            raise Failure("--password-env is for --key", kind=KIND_BAD_ARGUMENTS)
        return {"keyless": True, "identity_token": args.identity_token,
                "staging": args.staging}
    for option, given in (("--identity-token", args.identity_token is not None),
                          ("--staging", args.staging)):
        if given:
            raise Failure(f"{option} is for --keyless", kind=KIND_BAD_ARGUMENTS)
    return {"key": args.key, "password": _asked_once(args.key, _password(args))}


def _signed_lines(info: signing.SignatureInfo, out: Output) -> list[str]:
    head = f"{out.style.good('OK')}: signed {info['manifest_path']} (sha256 {info['sha256']})"
    if info["kind"] == "key":
        return [f"{head} with {info['key']} key {info['key_hint'][:16]}; wrote "
                f"{info['signature_path']}"]
    verify = shlex.join([*command_prefix(), "verify", info["manifest_path"], "--signature",
                         info["signature_path"], "--certificate-identity", info["identity"],
                         "--certificate-oidc-issuer", info["issuer"]])
    return [f"{head} keyless as {info['identity']} ({info['issuer']}); wrote "
            f"{info['signature_path']}", f"  check it with: {verify}"]


def run(args: argparse.Namespace, out: Output) -> int:
    target = manifest_target(args.manifest)
    shown = display_path(target)
    try:
        signer = _signer(args)
        # On a worker thread, as every long call of the tool, so that Ctrl-C ends it at once.
        info = out.progress.run(lambda: signing.sign_manifest(
            target, signature=args.signature, overwrite=args.force, **signer,
            **verification_kwargs(args)))
    except signing.KeyPasswordRequired as exc:
        raise Failure(f"{exc}: give --password-env VAR, or run on a terminal to be "
                      "asked") from exc
    except signing.SignatureInputError as exc:
        raise (unloadable(target, args, out) or Failure(one_line(exc))) from exc
    except signing.SigningUnavailableError as exc:
        raise Failure(one_line(exc)) from exc
    except VerificationFailed as exc:
        raise verification_refused(f"refusing to sign {shown}", target, exc) from exc
    except (OSError, ValueError) as exc:
        raise load_failure(target, exc, limits_in_force(args)) from exc
    if out.json:
        out.document(info)
    else:
        out.lines(_signed_lines(info, out))
    return EXIT_OK
