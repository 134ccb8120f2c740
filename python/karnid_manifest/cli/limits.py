"""``karnid-manifest limits``: print the resource limits the commands apply by default.

The two row-map limits follow from the memory budget, so they are shown as the budget gives them
(``--memory-limit`` shows another budget's), not as the module's own defaults."""

from __future__ import annotations

import argparse

import _karnid_manifest as km

from karnid_manifest import budget, explain
from karnid_manifest.cli.base import LIMIT_HELP, Output, output_options, size_argument
from karnid_manifest.cli.status import EXIT_OK


def options(p: argparse.ArgumentParser) -> None:
    p.add_argument(budget.OPTION, dest=budget.KEYWORD, type=size_argument, metavar="SIZE",
                   help="show the row-map limits that this memory budget gives (default: "
                        f"{budget.format_size(budget.DEFAULT_MEMORY_LIMIT)})")
    output_options(p, "the limits")


def run(args: argparse.Namespace, out: Output) -> int:
    memory = budget.checked(getattr(args, budget.KEYWORD))
    derived = budget.limits_for(memory)
    limits = {keyword: derived.get(keyword, value)
              for keyword, value in km.default_resource_limits().items()}
    if out.json:
        out.document({budget.KEYWORD: memory, **limits})
        return EXIT_OK
    rows = [(budget.OPTION, budget.format_size(memory),
             "memory for the duplicate check; sets the two row-map limits it names")]
    rows += [(explain.option(keyword), str(value),
              LIMIT_HELP.get(keyword, "") + (f" (from {budget.OPTION})" if keyword in derived
                                             else ""))
             for keyword, value in limits.items()]
    width = max(len(flag) for flag, _, _ in rows)
    digits = max(len(value) for _, value, _ in rows)
    for flag, value, text in rows:
        print(f"{flag:<{width}}  {value:>{digits}}  {text}".rstrip())
    return EXIT_OK
