"""Command line entry point: ``python -m karnid_manifest`` and the ``karnid-manifest`` script."""

from __future__ import annotations

import os
import sys

from karnid_manifest import cli
from karnid_manifest.cli.status import EXIT_INTERRUPTED, EXIT_TERMINATED


def main() -> int:
    code = cli.main()
    if code in (EXIT_INTERRUPTED, EXIT_TERMINATED):
        # The module's work on the worker thread cannot be cancelled; end the process now rather
        # than after the interpreter has wound down around it.
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(code)
    return code


if __name__ == "__main__":
    sys.exit(main())
