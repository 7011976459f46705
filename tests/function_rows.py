#!/usr/bin/env python3
"""Every Windows function the host's code calls has its row in
docs/functions.md, and every row there names a function it calls.

    tests/function_rows.py BUILD_DIR    (the native build)

The functions called are read from the native build: what the host's object
files take from the fake Windows (whose windows.h declares every function the
host may call), and what the code loads by name (`decltype(&Function)`)."""

import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
ROOMS = ("host_core", "permission_check", "service_registration", "service_runtime")


def functions(objects, defined):
    """Plain (namespace-free) function names in these objects' symbols."""
    option = "--defined-only" if defined else "--undefined-only"
    out = subprocess.run(["nm", "-C", option, *map(str, objects)], check=True, capture_output=True, text=True).stdout
    names = set()
    for line in out.splitlines():
        entry = re.match(r"\s*(?:[0-9a-f]+\s+)?[A-Za-z]\s+(.*)$", line)
        if entry is None:
            continue
        symbol = entry.group(1)
        name = symbol.split("(", 1)[0]
        if "(" in symbol and "::" not in name and " " not in name:
            names.add(name)
    return names


def called(build_dir):
    objects = Path(build_dir) / "tests" / "CMakeFiles" / "unit_host.dir"
    host = [o for room in ROOMS for o in (objects / "__" / room).glob("*.o")]
    fake = list((objects / "fake_windows").glob("*.o"))
    if not host or not fake:
        sys.exit(f"no objects of the host or the fake under {objects}: build the native tests first")
    names = functions(host, False) & functions(fake, True)
    for room in ROOMS:
        for source in (ROOT / room).glob("*.cpp"):
            names |= set(re.findall(r"decltype\(&(\w+)\)", source.read_text(encoding="utf-8")))
    return names


def rows():
    """The names in the first column of the page's table rows."""
    names = set()
    for line in (ROOT / "docs" / "functions.md").read_text(encoding="utf-8").splitlines():
        cells = line.split("|")
        if line.startswith("| `") and len(cells) > 2:
            names |= set(re.findall(r"`(\w+)`", cells[1]))
    return names


def main():
    calls, documented = called(sys.argv[1]), rows()
    missing, stale = sorted(calls - documented), sorted(documented - calls)
    for name in missing:
        print(f"no row in docs/functions.md for {name}, which the host calls")
    for name in stale:
        print(f"docs/functions.md has a row for {name}, which the host no longer calls")
    print(f"{len(calls)} functions called, {len(documented)} named in rows")
    sys.exit(1 if missing or stale else 0)


if __name__ == "__main__":
    main()
