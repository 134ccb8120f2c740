"""Eight threads x 200 calls over 20 manifests while another process replaces, truncates and
renames their files: no crash, no hang, no growth, and every result well formed. `make
test-sanitize` runs it in the sanitized build too."""

from __future__ import annotations

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parents[1] / "faults"))
import stress  # noqa: E402
from test_resources import under_asan  # noqa: E402


def test_threads_and_a_mutating_process_give_well_formed_results(tmp_path: pathlib.Path) -> None:
    problems, growth, kinds = stress.run(tmp_path, threads=8, calls=200, passes=2, seed=8)
    assert problems == []
    # The other process really did change files under the calls.
    assert kinds["raised"] + kinds["issues"] > 0 and kinds["value"] > 0
    if not under_asan():  # AddressSanitizer keeps freed memory in quarantine
        assert growth < stress.MAX_GROWTH
