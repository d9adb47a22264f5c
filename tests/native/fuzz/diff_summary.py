"""Condenses the differential survey (fuzz_json_diff's summary file): per
kind of fault of the new reader, how often the old reader's position agreed,
with one example of a difference; then the verdict and written-text
classes."""

from __future__ import annotations

import re
import sys
from collections import defaultdict

ENTRY = re.compile(r"^(\d+)\t(.*)$")
REFUSAL = re.compile(r"^both refuse, (same position|positions differ): \[(.*?)\] vs old \[(.*)\]$")


def entries(path: str) -> list[tuple[int, str, list[str]]]:
    found: list[tuple[int, str, list[str]]] = []
    for line in open(path, encoding="utf-8", errors="replace"):
        line = line.rstrip("\n")
        if match := ENTRY.match(line):
            found.append((int(match[1]), match[2], []))
        elif line.startswith("\t") and found:
            found[-1][2].append(line.strip())
    return found


def main(path: str) -> None:
    same: dict[str, int] = defaultdict(int)
    differ: dict[str, int] = defaultdict(int)
    example: dict[str, list[str]] = {}
    others: list[tuple[int, str, list[str]]] = []
    for count, what, notes in entries(path):
        if match := REFUSAL.match(what):
            kind = match[2]
            if match[1] == "same position":
                same[kind] += count
            else:
                differ[kind] += count
                if kind not in example or len(notes[0]) < len(example[kind][0]):
                    example[kind] = notes
        else:
            others.append((count, what, notes))
    print(f"{'same':>8} {'differ':>8}  fault kind (new reader)")
    for kind in sorted(set(same) | set(differ), key=lambda k: -(same[k] + differ[k])):
        print(f"{same[kind]:>8} {differ[kind]:>8}  {kind}")
        for note in example.get(kind, []):
            print(f"{'':>19}{note[:300]}")
    print()
    for count, what, notes in others:
        print(f"{count:>8}  {what}")
        for note in notes:
            print(f"{'':>10}{note[:300]}")


if __name__ == "__main__":
    main(sys.argv[1])
