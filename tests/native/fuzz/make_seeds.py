"""Seeds the fuzz corpora with the string constants of the test suite:
every string that reads as JSON seeds the catalogue, variables and reply
targets; every string that looks like a query seeds the execute target."""

from __future__ import annotations

import ast
import hashlib
import json
import pathlib
import sys

TESTS = pathlib.Path(__file__).resolve().parents[2] / "tests"


def constants() -> set[str]:
    found: set[str] = set()
    for path in TESTS.glob("test_*.py"):
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Constant) and isinstance(node.value, str) and 0 < len(node.value) < 4096:
                found.add(node.value)
    return found


def write(folder: pathlib.Path, text: str) -> None:
    data = text.encode("utf-8", "surrogatepass")
    folder.mkdir(parents=True, exist_ok=True)
    (folder / hashlib.sha1(data).hexdigest()).write_bytes(data)


def main(out: pathlib.Path) -> None:
    for text in constants():
        try:
            json.loads(text)
            for target in ("catalogue", "variables", "reply"):
                write(out / target, text)
        except ValueError:
            pass
        if "{" in text:
            write(out / "execute", text)
    for target in ("execute", "catalogue", "variables", "reply"):
        write(out / target, "{}")


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]))
