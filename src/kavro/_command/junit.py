"""JUnit XML for `kavro test --junit`, the report format CI systems read."""

from __future__ import annotations

import xml.etree.ElementTree as ElementTree

from kavro._command.test_run import FileRun, failure_details


def junit_xml(runs: list[FileRun]) -> bytes:
    suites = ElementTree.Element("testsuites")
    for run in runs:
        name = str(run.test_file.path)
        errors = 0 if run.build_failure is None else len(run.outcomes)
        suite = ElementTree.SubElement(suites, "testsuite", name=name,
                                       tests=str(len(run.outcomes)),
                                       failures=str(run.failed - errors), errors=str(errors))
        for outcome in run.outcomes:
            case = ElementTree.SubElement(suite, "testcase", classname=name,
                                          name=outcome.case.name)
            if run.build_failure is not None:
                error = ElementTree.SubElement(case, "error", message="the documents did not build")
                error.text = run.build_failure.diagnostic.render()
            elif not outcome.passed:
                lines = failure_details(run.engine, outcome)
                failure = ElementTree.SubElement(
                    case, "failure", message="; ".join(" ".join(line.split()) for line in lines[:2]))
                failure.text = "\n".join(lines)
    report: bytes = ElementTree.tostring(suites, encoding="utf-8", xml_declaration=True)
    return report
