#!/usr/bin/env python3
"""Checks that tests/e2e/texts.py holds every text of host_core/texts.h, under
the same name in capitals, byte for byte; and no text the host does not have."""

import ast
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def header_texts() -> dict:
    source = (ROOT / "host_core" / "texts.h").read_text(encoding="utf-8")
    texts = {}
    for name, literal in re.findall(r'const wchar_t\* const (\w+) = L("(?:[^"\\]|\\.)*");', source):
        snake = re.sub(r"(?<!^)(?=[A-Z])", "_", name).upper()
        texts[snake] = ast.literal_eval(literal)
    return texts


def mirrored_texts() -> dict:
    sys.path.insert(0, str(ROOT / "tests" / "e2e"))
    import texts  # noqa: E402  (the mirror itself)
    return {name: value for name, value in vars(texts).items() if name.isupper() and isinstance(value, str)}


def main() -> int:
    header, mirror = header_texts(), mirrored_texts()
    faults = [f"{name}: the host says {text!r}, texts.py {mirror.get(name)!r}"
              for name, text in header.items() if mirror.get(name) != text]
    # A text the tests expect that the host never says (LAST_WORDS is built
    # from the two halves the host has).
    faults += [f"{name}: in texts.py, not in host_core/texts.h" for name in mirror
               if name not in header and name != "LAST_WORDS"]
    for fault in faults:
        print(fault)
    print(f"{len(header)} texts in host_core/texts.h, {len(faults)} disagreements")
    return 1 if faults or not header else 0


if __name__ == "__main__":
    sys.exit(main())
