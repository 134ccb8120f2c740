"""JUnit XML reports of verify and plan, for the test reporters of CI servers.

One ``<testsuite>`` per manifest, one ``<testcase>`` per checked file (the manifest itself, the
index, the row identity, each auxiliary file, each profile), and a ``<failure>`` per issue of
that file. A manifest that could not be checked at all is one test case with an ``<error>``; a
refused load plan one with a ``<failure>``. An optional auxiliary file that is absent is
``<skipped>``.
"""

from __future__ import annotations

import os
import re
import tempfile
import xml.etree.ElementTree as ET
from dataclasses import dataclass
from typing import Any, Mapping, Sequence

from karnid_manifest import issues as structured_issues
from karnid_manifest.render import quoted

# XML 1.0 cannot hold these characters at all, not even escaped.
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff\ud800-\udfff]")


def _text(value: Any) -> str:
    return _NOT_XML.sub("\ufffd", str(value))


@dataclass
class Suite:
    """One manifest's outcome: its report (a verification, or a load plan's), or the failure
    that stopped it (``error`` when it could not be checked)."""

    manifest: str
    report: Mapping[str, Any] | None
    failure: str | None = None
    error: bool = False


@dataclass
class _Case:
    name: str
    failures: list[Mapping[str, Any]]
    skipped: str | None = None


def _cases(report: Mapping[str, Any]) -> list[_Case]:
    manifest = _Case("manifest", [])
    cases = [manifest, _Case("index", [])]
    by_section = {"artifact": cases[1], "row_identity": _Case("row identity", [])}
    cases.append(by_section["row_identity"])
    by_name = {}
    for entry in report["auxiliary_artifacts"]:
        case = _Case(f"auxiliary {quoted(entry['name'])}", [])
        if entry["state"] == "optional_absent":
            case.skipped = "optional file, absent"
        by_name[entry["name"]] = case
        cases.append(case)
    for key, label in (("encoder_distortion", "encoder distortion"),
                       ("calibration", "calibration")):
        if report[key]["present"]:
            by_section[key] = _Case(label, [])
            cases.append(by_section[key])
    for issue in structured_issues.structured(report):
        section = issue["section"]
        if section == "auxiliary_artifacts" and issue.get("subject") in by_name:
            case = by_name[issue["subject"]]
        else:
            case = by_section.get(section, manifest)
        case.failures.append(issue)
    return cases


def _suite_element(suite: Suite) -> ET.Element:
    element = ET.Element("testsuite", name=_text(suite.manifest))
    if suite.report is None:
        case = ET.SubElement(element, "testcase", name="manifest", classname=_text(suite.manifest))
        tag = "error" if suite.error else "failure"
        ET.SubElement(case, tag, message=_text(suite.failure or ""), type=tag).text = _text(
            suite.failure or "")
        counts = {"tests": 1, "failures": int(not suite.error), "errors": int(suite.error),
                  "skipped": 0}
    else:
        cases = _cases(suite.report)
        for item in cases:
            case = ET.SubElement(element, "testcase", name=_text(item.name),
                                 classname=_text(suite.manifest))
            for issue in item.failures:
                ET.SubElement(case, "failure", message=_text(issue["message"]),
                              type=issue["code"]).text = _text(
                    f"{issue['code']}: {issue['message']}")
            if item.skipped and not item.failures:
                ET.SubElement(case, "skipped", message=item.skipped)
        counts = {"tests": len(cases),
                  "failures": sum(1 for item in cases if item.failures),
                  "errors": 0,
                  "skipped": sum(1 for item in cases if item.skipped and not item.failures)}
        if suite.report.get("checked_at"):
            element.set("timestamp", suite.report["checked_at"])
    for key in ("tests", "failures", "errors", "skipped"):
        element.set(key, str(counts[key]))
    return element


def document(suites: Sequence[Suite]) -> bytes:
    root = ET.Element("testsuites", name="karnid-manifest")
    elements = [_suite_element(suite) for suite in suites]
    root.extend(elements)
    for key in ("tests", "failures", "errors"):
        root.set(key, str(sum(int(e.get(key) or 0) for e in elements)))
    ET.indent(root)
    text: bytes = ET.tostring(root, encoding="utf-8", xml_declaration=True)
    return text + b"\n"


def write(path: str, suites: Sequence[Suite]) -> None:
    """Writes the report to ``path`` whole or not at all: a reader never sees half a file."""
    data = document(suites)
    directory = os.path.dirname(path) or "."
    fd, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp",
                                     dir=directory)
    try:
        with os.fdopen(fd, "wb") as stream:
            stream.write(data)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
