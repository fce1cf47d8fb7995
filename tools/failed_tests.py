#!/usr/bin/env python3
"""Prints, for each test that failed in a ctest build directory's last run,
its name and the last lines of its output.

The test command runs several long stages, and a log reader (a person, or a
CI page that shows only the end of a long log) sees the tail first. This puts
the evidence of every failure there, read from ctest's own record of the run
(Testing/Temporary/LastTest.log), without running anything again.

Usage: failed_tests.py BUILD_DIR [LINES]
"""
import os
import re
import sys

SECTION = re.compile(r"^\d+/\d+ Testing: (.+)$")


def sections(log_text):
    """Yields (name, output lines, result line) for each test in the log;
    the result is empty for a test whose run was cut short."""
    name, lines, in_output, result = None, [], False, ""
    for line in log_text.splitlines():
        m = SECTION.match(line)
        if m:
            if name is not None:
                yield name, lines, result
            name, lines, in_output, result = m.group(1), [], False, ""
            continue
        if name is None:
            continue
        if line == "Output:":
            in_output = True
            continue
        if line == "<end of output>":
            in_output = False
            continue
        if in_output:
            if lines or set(line) != {"-"}:
                lines.append(line)
        elif line.startswith(("Test Pass", "Test Fail")):
            # "Test Passed.", "Test Failed.", or "Test Pass Reason:" (a
            # skip) and "Test Fail Reason:" (a failure pattern matched).
            result = line
    if name is not None:
        yield name, lines, result


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    build = argv[1]
    keep = int(argv[2]) if len(argv) > 2 else 60
    # LastTest.log is written afresh by every run, unlike LastTestsFailed.log,
    # which a run without failures leaves as an earlier run wrote it.
    log_path = os.path.join(build, "Testing", "Temporary", "LastTest.log")
    try:
        with open(log_path, encoding="utf-8", errors="replace") as f:
            text = f.read()
    except OSError:
        print(f"---- no record of the run ({log_path})")
        return 0
    shown = 0
    for name, lines, result in sections(text):
        if result.startswith("Test Pass"):
            continue
        shown += 1
        print(f"---- {name}: {result or 'no result recorded'} (last {min(keep, len(lines))} of {len(lines)} output lines)")
        for line in lines[-keep:]:
            print("    " + line)
    if shown == 0:
        print("---- every test the run recorded passed (the run itself failed or was cut short)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
