"""Command line entry point: ``python -m karnid_manifest`` and the ``karnid-manifest`` script."""

from __future__ import annotations

import sys

from karnid_manifest.cli import main

if __name__ == "__main__":
    sys.exit(main())
