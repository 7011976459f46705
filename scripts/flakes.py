"""Runs the end-to-end tests again and again, each round in a Wine prefix of
its own made afresh, and tells which tests failed, how often, and how each
failure began. See scripts/flakes.

A retry that a test makes for a named Wine failure prints a line
"retried: <what Wine did>: ..." (wine_harness.note_retry); they are counted
here too, by what Wine did, so that none is silent.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree
from collections import Counter, defaultdict
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
WORK = REPO / "build" / "flakes"

_FAILED_CASE = re.compile(r"^(FAIL|ERROR): (\S+) \(([^)]*)\)")
_RAISED = re.compile(r"^[\w.]*(Error|Exception|Failure|Expired)\b")
_RETRIED = re.compile(r"retried: ([^:]+):")


def log(text: str):
    print(f"flakes: {text}", file=sys.stderr, flush=True)


def failures_of(output: str, test: str, status: str):
    """(name, first line) for each unittest case that failed in one ctest
    test's output; the whole test when none is named (a time-out, a crash)."""
    lines = output.splitlines()
    found = []
    for i, line in enumerate(lines):
        case = _FAILED_CASE.match(line)
        if not case:
            continue
        raised = next((later for later in lines[i + 1:] if _RAISED.match(later)), "(no exception line)")
        found.append((f"{test} {case[3].split('.')[-2] if '.' in case[3] else case[3]}.{case[2]}", raised[:160]))
    if not found:
        last = next((line for line in reversed(lines) if line.strip()), "(no output)")
        found.append((test, f"{status}: {last[:150]}"))
    return found


def run_round(number: int, ctest_args) -> tuple:
    """One round of every e2e test in a new prefix; (failures, retries, seconds)."""
    here = WORK / f"round-{number}"
    shutil.rmtree(here, ignore_errors=True)
    here.mkdir(parents=True)
    env = dict(os.environ, SVCSHIM_WINEPREFIX=str(here / "prefix"), SVCSHIM_E2E_SCRATCH=str(here / "scratch"))
    began = time.monotonic()
    with open(here / "ctest.log", "wb") as out:
        subprocess.run(["ctest", "--test-dir", str(REPO / "build" / "native"), "-L", "e2e", "--output-on-failure",
                        "--output-junit", str(here / "ctest.xml"), *ctest_args],
                       env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
    seconds = time.monotonic() - began
    failures, retries = [], Counter()
    for case in ElementTree.parse(here / "ctest.xml").getroot().iter("testcase"):
        output = case.findtext("system-out") or ""
        retries.update(_RETRIED.findall(output))
        if case.get("status") not in ("run", "passed"):
            failures += failures_of(output, case.get("name"), case.get("status"))
    # Wine processes of this round's prefix end with it.
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return failures, retries, seconds


def busy_core():
    """A process that keeps one core busy until it is ended."""
    return subprocess.Popen([sys.executable, "-c", "while True: pass"], stdin=subprocess.DEVNULL)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("rounds", type=int)
    parser.add_argument("--load", action="store_true", help="keep one core busy throughout")
    parser.add_argument("ctest_args", nargs="*", help="more ctest arguments, after --, e.g. -- -R e2e.install")
    args = parser.parse_args()

    load = busy_core() if args.load else None
    failed = defaultdict(list)  # name -> [(round, first line)]
    retries = Counter()
    try:
        for number in range(1, args.rounds + 1):
            failures, round_retries, seconds = run_round(number, args.ctest_args)
            retries += round_retries
            for name, first in failures:
                failed[name].append((number, first))
            log(f"round {number} of {args.rounds}: {len(failures)} failed, {seconds:.0f} s "
                f"(logs in {WORK / f'round-{number}'})")
    finally:
        if load is not None:
            load.kill()
            load.wait()

    print(f"{args.rounds} round(s) of the e2e tests, each in a new prefix"
          + (", one core kept busy" if args.load else "") + ":")
    if not failed:
        print("no test failed")
    else:
        width = max(len(name) for name in failed)
        print(f"{'test':<{width}}  failed  first line of its first failure (round)")
        for name, seen in sorted(failed.items(), key=lambda item: -len(item[1])):
            print(f"{name:<{width}}  {len(seen):>2} of {args.rounds}  {seen[0][1]} ({seen[0][0]})")
    for what, count in sorted(retries.items()):
        print(f"retried after Wine's '{what}': {count} time(s)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
