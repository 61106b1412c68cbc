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


def case_outcome(case: ET.Element):
    """How one <testcase> of a JUnit report ended: ("passed", ""), ("failed", "") or
    ("skipped", the reason it gave)."""
    status = case.get("status", "")
    marker = case.find("skipped")
    if marker is not None or status in ("skipped", "disabled", "notrun"):
        output = case.findtext("system-out", default="") or ""
        given = marker.get("message", "") if marker is not None else ""
        return "skipped", skip_reason(output) or given
    reported_failure = case.find("failure") is not None or case.find("error") is not None
    if reported_failure or status == "fail":
        return "failed", ""
    return "passed", ""


def ctest_stage(path: Path):
    """Passed count, failed names and (name, reason) skips of one stage's JUnit report."""
    passed, failed, skipped = 0, [], []
    for case in ET.parse(path).getroot().iter("testcase"):
        name = case.get("name", "?")
        outcome, reason = case_outcome(case)
        if outcome == "passed":
            passed += 1
        elif outcome == "failed":
            failed.append(name)
        else:
            skipped.append((name, reason))
    return passed, failed, skipped


def stage_records(root: Path):
    """One record for each stage, in the order the stages ran: its JUnit report where it has
    one (its .step then only says whether it finished), else its .step."""
    reported = {p.stem for p in root.glob("*.xml")}

    def is_record(path: Path) -> bool:
        return path.suffix == ".xml" or (path.suffix == ".step" and path.stem not in reported)

    def run_order(path: Path) -> int:
        return int(path.name.split("-", 1)[0])

    return sorted((p for p in root.iterdir() if is_record(p)), key=run_order)


def stage_name(record: Path) -> str:
    return re.sub(r"^\d+-", "", record.stem)


def step_outcome(record: Path) -> str:
    """What the stage's .step says, or nothing where it left none."""
    step = record.with_suffix(".step")
    return step.read_text().strip() if step.exists() else ""


def stage_counts(record: Path, stage: str):
    """Passed count, failed names and (name, reason) skips of one stage."""
    outcome = step_outcome(record)
    if record.suffix == ".xml":
        passed, failed, skipped = ctest_stage(record)
        if outcome == "failed" and not failed:
            failed = [f"{stage} (stopped outside its tests)"]
        return passed, failed, skipped
    if outcome == "passed":
        return 1, [], []
    if outcome.startswith("skipped:"):
        return 0, [], [(stage, outcome[len("skipped:"):].strip())]
    return 0, [stage], []


def stage_time(record: Path) -> str:
    seconds = record.with_suffix(".seconds")
    return f"{int(seconds.read_text()):>6} s" if seconds.exists() else "       "


def main() -> int:
    root = Path(sys.argv[1])
    total_passed = total_failed = total_skipped = 0
    all_skips = []
    print(f"{'stage':<32} {'time':>8} {'passed':>7} {'failed':>7} {'skipped':>8}")
    for record in stage_records(root):
        stage = stage_name(record)
        passed, failed, skipped = stage_counts(record, stage)
        print(f"{stage:<32} {stage_time(record)} {passed:>7} {len(failed):>7} {len(skipped):>8}")
        for name in failed:
            print(f"  failed: {name}")
        all_skips += [(stage, name, reason) for name, reason in skipped]
        total_passed += passed
        total_failed += len(failed)
        total_skipped += len(skipped)
    if all_skips:
        print("\nskipped tests and their reasons:")
        for stage, name, reason in all_skips:
            print(f"  [{stage}] {name}: {reason or 'NO REASON GIVEN'}")
    print()
    print(f"summary: {total_passed} passed, {total_failed} failed, {total_skipped} skipped")
    unexplained = sum(1 for _, _, reason in all_skips if not reason)
    if unexplained:
        print(f"{unexplained} skipped test(s) gave no reason", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
