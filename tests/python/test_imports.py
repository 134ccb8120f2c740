"""How the package's modules depend on each other, and what importing it loads: no module imports
another that imports it back (not even inside a function), none reaches for another's private
names, and a plain import or ``--version`` loads neither cryptography nor the command line."""

from __future__ import annotations

import ast
import subprocess
import sys
from pathlib import Path

import karnid_manifest

PACKAGE = Path(karnid_manifest.__file__).parent


def package_modules() -> dict[str, tuple[ast.Module, str]]:
    """Each module of the package by name, with its syntax tree and the package it is in (for
    relative imports)."""
    modules = {}
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
            package = ".".join(parts)
        else:
            package = ".".join(parts[:-1])
        tree = ast.parse(path.read_text(encoding="utf-8"), str(path))
        modules[".".join(parts)] = (tree, package)
    return modules


MODULES = package_modules()


def is_private(name: str) -> bool:
    return name.startswith("_") and not (name.startswith("__") and name.endswith("__"))


def imports_of(name: str) -> tuple[set[str], list[str]]:
    """The package modules that ``name`` imports anywhere in its text (a module named in a string,
    as the command table names the commands, counts), and the private names it takes from them."""
    tree, package = MODULES[name]
    edges: set[str] = set()
    private: list[str] = []
    module_aliases: dict[str, str] = {}
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                if alias.name in MODULES:
                    edges.add(alias.name)
                    if alias.asname:
                        module_aliases[alias.asname] = alias.name
        elif isinstance(node, ast.ImportFrom):
            source = node.module or ""
            if node.level:
                parts = package.split(".")
                source = ".".join([*parts[:len(parts) - node.level + 1], *filter(None, [source])])
            for alias in node.names:
                submodule = f"{source}.{alias.name}"
                if submodule in MODULES:
                    edges.add(submodule)
                    module_aliases[alias.asname or alias.name] = submodule
                elif source in MODULES:
                    edges.add(source)
                    if is_private(alias.name):
                        private.append(f"from {source} import {alias.name}")
        elif isinstance(node, ast.Constant) and node.value in MODULES:
            edges.add(str(node.value))
    for node in ast.walk(tree):
        if (isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name)
                and node.value.id in module_aliases and is_private(node.attr)):
            private.append(f"{module_aliases[node.value.id]}.{node.attr}")
    edges.discard(name)
    return edges, private


def find_cycle(graph: dict[str, set[str]]) -> list[str] | None:
    state: dict[str, str] = {}
    stack: list[str] = []

    def visit(node: str) -> list[str] | None:
        state[node] = "open"
        stack.append(node)
        for target in sorted(graph.get(node, ())):
            if state.get(target) == "open":
                return [*stack[stack.index(target):], target]
            if target not in state and (cycle := visit(target)) is not None:
                return cycle
        state[node] = "done"
        stack.pop()
        return None

    for node in sorted(graph):
        if node not in state and (cycle := visit(node)) is not None:
            return cycle
    return None


def test_the_import_graph_has_no_cycle_and_no_private_reach() -> None:
    graph = {}
    reaches = {}
    for name in MODULES:
        graph[name], private = imports_of(name)
        if private:
            reaches[name] = private
    assert "karnid_manifest.cli.create" in graph["karnid_manifest.cli"]  # the walk sees the table
    assert find_cycle(graph) is None, " -> ".join(find_cycle(graph) or [])
    assert reaches == {}


def loaded_after(code: str) -> set[str]:
    result = subprocess.run(
        [sys.executable, "-c", code + "\nimport sys\nprint('\\n'.join(sys.modules))"],
        capture_output=True, text=True, timeout=120, check=True)
    return set(result.stdout.split())


def test_importing_the_package_loads_neither_signing_nor_the_command_line() -> None:
    plain = loaded_after("import karnid_manifest")
    assert not {"cryptography", "sigstore", "karnid_manifest.signing",
                "karnid_manifest.cli", "karnid_manifest.render",
                "karnid_manifest.atomic", "secrets"} & plain
    assert "karnid_manifest.functions" in plain
    # The signing names still come from the package, loading signing only then.
    signed = loaded_after("from karnid_manifest import sign_manifest, SignatureError")
    assert "karnid_manifest.signing" in signed
    # sigstore-python is for keyless signatures only, loaded by the call that checks one.
    assert not {"sigstore", "karnid_manifest.keyless"} & signed


def test_version_loads_no_command() -> None:
    loaded = loaded_after("from karnid_manifest import cli\nassert cli.main(['--version']) == 0")
    commands = {f"karnid_manifest.cli.{name}" for name in
                ("base", "create", "verify", "plan", "checks", "sign", "inspect", "hash",
                 "limits", "demo")}
    assert not (commands | {"karnid_manifest.signing", "karnid_manifest.render",
                            "karnid_manifest.progress", "cryptography"}) & loaded
