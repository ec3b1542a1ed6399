#!/usr/bin/env python3
"""Usage: scripts/summarize.py STAGE BUILD_FOLDER STATUS

Prints one stage's summary from the JUnit files of its last test run: CTest's (junit.xml in the
build folder, from the test presets) and QtTest's (NAME.junit.xml beside each QtTest program).
The first line counts the cases run, passed, failed and skipped; then come each failed case by
name ("failed: TEST: CASE", or the CTest name alone) and each skipped case with its reason.

A QtTest function is one case (Qt 6 lists each data row, Qt 5 only the failing ones); a script's
"ok:", "FAIL:" and "skipped:" lines are one case each; a test with neither is one case itself.
STATUS is the workflow's exit status: a stage that failed before its tests ran counts one failed
case. The last line printed is "COUNTS P F S", for the calling script to add up.
"""
import os
import re
import sys
import xml.etree.ElementTree as ET

SKIP_COMMENT = re.compile(r'message="(.*)" type="skip"', re.S)


def parse_with_comments(path):
    # Qt 5's JUnit logger writes a skip as a comment inside its test case.
    parser = ET.XMLParser(target=ET.TreeBuilder(insert_comments=True))
    return ET.parse(path, parser).getroot()


def one_line(text):
    return " ".join((text or "").split())[:200]


def qt_cases(path):
    """Yields (outcome, case name, detail) for each function or row in a QtTest JUnit file."""
    for case in parse_with_comments(path).iter("testcase"):
        name = case.get("name", "?")
        failures = case.findall("failure")
        skipped = case.find("skipped")
        comments = [c.text for c in case if c.tag is ET.Comment and c.text and 'type="skip"' in c.text]
        if failures:
            for failure in failures:
                tag = failure.get("tag")
                yield "fail", f"{name}({tag})" if tag else name, one_line(failure.get("message"))
        elif skipped is not None or comments:
            reason = skipped.get("message") if skipped is not None else SKIP_COMMENT.search(comments[0]).group(1)
            yield "skip", name, one_line(reason)
        elif name not in ("initTestCase", "cleanupTestCase"):
            yield "pass", name, ""


def script_cases(output):
    """Yields (outcome, case, detail) for each "ok:", "FAIL:" and "skipped:" line of a script's output."""
    for line in output.splitlines():
        if line.startswith("ok: "):
            yield "pass", line[4:], ""
        elif line.startswith("FAIL: "):
            yield "fail", line[6:], ""
        elif line.startswith("skipped: "):
            yield "skip", "", line[9:]


def summarize(stage, folder, status):
    counts = {"pass": 0, "fail": 0, "skip": 0}
    failed, skipped = [], []
    junit = os.path.join(folder, "junit.xml")
    suite = ET.parse(junit).getroot() if os.path.exists(junit) else None
    # A QtTest file older than this run's start is an earlier run's: the program ended without one.
    began = os.path.getmtime(junit) - float(suite.get("time", 0)) - 5 if suite is not None else 0
    qt_files = {}
    for root, _, files in os.walk(folder):
        for name in files:
            if name.endswith(".junit.xml"):
                qt_files[name[: -len(".junit.xml")]] = os.path.join(root, name)
    for test in suite.iter("testcase") if suite is not None else []:
        name, state = test.get("name"), test.get("status")
        output = test.findtext("system-out") or ""
        qt_file = qt_files.get(name)
        cases = None
        if qt_file and os.path.getmtime(qt_file) >= began:
            try:
                cases = list(qt_cases(qt_file))
            except ET.ParseError:
                pass  # cut short: the program ended before QtTest finished its file
        if qt_file and cases is None and state == "fail":
            cases = [("fail", "ended without its report (crashed or timed out)", "")]
        elif cases is None:
            cases = list(script_cases(output))
        if not cases:
            outcome = {"run": "pass", "notrun": "skip", "disabled": "skip"}.get(state, "fail")
            reason = test.find("skipped")
            cases = [(outcome, "", one_line(reason.get("message", "") if reason is not None else ""))]
        elif state == "fail" and not any(c[0] == "fail" for c in cases):
            cases.append(("fail", "ended with a failure of its own (exit status or time-out)", ""))
        for outcome, case, detail in cases:
            counts[outcome] += 1
            label = f"{name}: {case}" if case else name
            if outcome == "fail":
                failed.append(f"  failed: {label}" + (f" ({detail})" if detail else ""))
            elif outcome == "skip":
                skipped.append(f"  {label}: {detail}" if case else f"  {name}: {detail}")
    if status != 0 and counts["fail"] == 0:
        counts["fail"] = 1
        failed.append(f"  failed: {stage}: the stage ended before its tests ran (its output above)")
    run = sum(counts.values())
    mark = " (FAILED)" if status != 0 else ""
    print(f"{stage}: {run} cases run, {counts['pass']} passed, {counts['fail']} failed, {counts['skip']} skipped{mark}")
    for line in failed + skipped:
        print(line)
    print(f"COUNTS {counts['pass']} {counts['fail']} {counts['skip']}")


if __name__ == "__main__":
    summarize(sys.argv[1], sys.argv[2], int(sys.argv[3]))
