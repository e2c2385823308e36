#!/usr/bin/env python3
"""One line per Wine of what its end-to-end suites ran, read from CTest's JUnit results.

suites.py "TITLE=TEST_PREFIX"... BUILD_DIR...: for each title, the tests named TEST_PREFIX.* in
each build folder's ctest-results.xml: how many passed, failed and were skipped, and how many
cases they ran (from each case script's closing line "N passed, N failed").
"""
import re
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

SUITES = {"win32": "release (32-bit)", "win64": "x86_64 build"}


def suite_line(cases, prefix):
    tests = [c for c in cases if c.get("name", "").startswith(prefix + ".")]
    if not tests:
        return "no results"
    counts = {"run": 0, "fail": 0, "notrun": 0}
    passed_cases = failed_cases = 0
    for test in tests:
        status = test.get("status", "fail")
        counts[status if status in counts else "fail"] += 1
        out = test.findtext("system-out") or ""
        for passed, failed in re.findall(r"^(\d+) passed, (\d+) failed$", out, re.M):
            passed_cases += int(passed)
            failed_cases += int(failed)
    parts = ["%d tests passed" % counts["run"]]
    if counts["fail"]:
        parts.append("%d FAILED" % counts["fail"])
    parts.append("%d skipped" % counts["notrun"])
    text = ", ".join(parts)
    if passed_cases or failed_cases:
        text += " (%d cases passed%s)" % (passed_cases, ", %d FAILED" % failed_cases if failed_cases else "")
    return text


def main(argv):
    wines = [a.split("=", 1) for a in argv if "=" in a]
    builds = [Path(a) for a in argv if "=" not in a]
    results = {}
    for build in builds:
        try:
            results[build.name] = list(ET.parse(build / "ctest-results.xml").getroot().iter("testcase"))
        except (OSError, ET.ParseError) as error:
            results[build.name] = error
    for title, prefix in wines:
        lines = []
        for build in builds:
            result = results[build.name]
            name = SUITES.get(build.name, build.name)
            lines.append("%s: %s" % (name, suite_line(result, prefix) if isinstance(result, list)
                                     else "no results (%s)" % result))
        print("%s: %s" % (title, "; ".join(lines)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
