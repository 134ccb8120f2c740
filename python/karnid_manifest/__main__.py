"""Command line entry point: ``python -m karnid_manifest`` and the ``karnid-manifest`` script."""

from __future__ import annotations

import os
import signal
import sys

from karnid_manifest import cli
from karnid_manifest.cli.status import EXIT_BROKEN_PIPE, EXIT_INTERRUPTED, EXIT_TERMINATED


def main() -> int:
    code = cli.main()
    if code in (EXIT_INTERRUPTED, EXIT_TERMINATED):
        # The module's work on the worker thread cannot be cancelled; end the process now rather
        # than after the interpreter has wound down around it.
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(code)
    if code == EXIT_BROKEN_PIPE:
        # Python ignores SIGPIPE; a pipeline expects the tool to end by it, as others do.
        sys.stderr.flush()
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGPIPE)
    return code


if __name__ == "__main__":
    sys.exit(main())
