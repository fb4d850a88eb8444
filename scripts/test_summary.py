#!/usr/bin/env python3
"""Counts the test cases of every run recorded under <tree>/test-results
(GoogleTest XML, one file per ctest entry) and of every ctest entry that
left no record (a crash before the runner wrote it), and prints
"N passed, N failed", with ", N skipped" when --skipped names tests that
could not run here (counted as they were not run: one per ctest entry).
  test_summary.py [--skipped N] TREE..."""
import pathlib
import re
import sys
import xml.etree.ElementTree as ET

args = sys.argv[1:]
not_run = 0
if args[:1] == ["--skipped"]:
    not_run = int(args[1])
    args = args[2:]
passed = failed = 0
for tree in map(pathlib.Path, args):
    results = tree / "test-results"
    recorded = set()
    for xml in sorted(results.glob("*.xml")) if results.is_dir() else []:
        recorded.add(xml.stem)
        try:
            root = ET.parse(xml).getroot()
        except ET.ParseError:
            print(f"unreadable results: {xml}")
            failed += 1
            continue
        for case in root.iter("testcase"):
            if case.get("result") == "skipped" or case.get("status") == "notrun":
                continue
            if case.find("failure") is not None or case.find("error") is not None:
                failed += 1
                print(f"FAILED {xml.stem}: {case.get('classname')}.{case.get('name')}")
            else:
                passed += 1
    # ctest entries that failed without leaving their XML behind.
    log = tree / "Testing" / "Temporary" / "LastTestsFailed.log"
    if log.is_file():
        for line in log.read_text().splitlines():
            name = re.sub(r"^\d+:", "", line.strip())
            if name and not any(r == name or r.startswith(name + ".") for r in recorded):
                failed += 1
                print(f"FAILED {tree.name}: {name} (no results written)")

print(f"{passed} passed, {failed} failed" + (f", {not_run} skipped" if not_run else ""))
sys.exit(1 if failed or passed == 0 else 0)
