#!/usr/bin/env python3
"""Sums up a CI run: passed, failed and skipped counts for each stage, and every skipped test
with the reason it gave, so that a skip cannot hide among hundreds of passes.

usage: summary.py <dir>

<dir> holds the records of the stages, numbered in the order they ran: <n>-<stage>.step says
"passed", "failed" or "skipped: <reason>"; <n>-<stage>.xml, where present, is CTest's JUnit
report of the stage's tests; <n>-<stage>.seconds is how long the stage took.
"""
import re
import sys
import xml.etree.ElementTree as ET
from pathlib import Path


def skip_reason(output: str) -> str:
    """The reason a test gave for skipping: a shell suite's "SKIP: ..." line, or the message
    GoogleTest prints under "Skipped"."""
    lines = [line.strip() for line in output.splitlines()]
    for line in lines:
        if line.startswith("SKIP:"):
            return line[len("SKIP:"):].strip()
    for i, line in enumerate(lines):
        if line.endswith(": Skipped") or line == "Skipped":
            message = [m for m in lines[i + 1:i + 4] if m and not m.startswith("[")]
            if message:
                return " ".join(message)
    return ""


def ctest_stage(path: Path):
    passed, failed, skipped = 0, [], []
    for case in ET.parse(path).getroot().iter("testcase"):
        name = case.get("name", "?")
        out = "".join(case.findtext("system-out", default="") or "")
        status = case.get("status", "")
        marker = case.find("skipped")
        if marker is not None or status in ("skipped", "disabled", "notrun"):
            given = marker.get("message", "") if marker is not None else ""
            skipped.append((name, skip_reason(out) or given))
        elif case.find("failure") is not None or case.find("error") is not None or status == "fail":
            failed.append(name)
        else:
            passed += 1
    return passed, failed, skipped


def main() -> int:
    root = Path(sys.argv[1])
    # A stage with a JUnit report is summed up from it; its .step only says whether it finished.
    stems = {p.stem for p in root.glob("*.xml")}
    records = sorted((p for p in root.iterdir()
                      if p.suffix == ".xml" or (p.suffix == ".step" and p.stem not in stems)),
                     key=lambda p: int(p.name.split("-", 1)[0]))
    total = [0, 0, 0]
    unexplained = 0
    print(f"{'stage':<32} {'time':>8} {'passed':>7} {'failed':>7} {'skipped':>8}")
    all_skips = []
    for record in records:
        stage = re.sub(r"^\d+-", "", record.stem)
        outcome = record.with_suffix(".step").read_text().strip() if record.with_suffix(".step").exists() else ""
        if record.suffix == ".xml":
            passed, failed, skipped = ctest_stage(record)
            if outcome == "failed" and not failed:
                failed = [f"{stage} (stopped outside its tests)"]
        elif outcome == "passed":
            passed, failed, skipped = 1, [], []
        elif outcome.startswith("skipped:"):
            passed, failed, skipped = 0, [], [(stage, outcome[len("skipped:"):].strip())]
        else:
            passed, failed, skipped = 0, [stage], []
        seconds = record.with_suffix(".seconds")
        timing = f"{int(seconds.read_text()):>6} s" if seconds.exists() else "       "
        print(f"{stage:<32} {timing} {passed:>7} {len(failed):>7} {len(skipped):>8}")
        for name in failed:
            print(f"  failed: {name}")
        for name, reason in skipped:
            all_skips.append((stage, name, reason))
            unexplained += not reason
        total[0] += passed
        total[1] += len(failed)
        total[2] += len(skipped)
    if all_skips:
        print("\nskipped tests and their reasons:")
        for stage, name, reason in all_skips:
            print(f"  [{stage}] {name}: {reason or 'NO REASON GIVEN'}")
    print()
    print(f"summary: {total[0]} passed, {total[1]} failed, {total[2]} skipped")
    if unexplained:
        print(f"{unexplained} skipped test(s) gave no reason", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
