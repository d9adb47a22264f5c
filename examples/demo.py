"""Serve the example catalogue with a small in-process tool host and run a
query that calls several tools at once.

    python examples/demo.py            # the query below
    python examples/demo.py --stub     # the same engine without a host: placeholders
"""

from __future__ import annotations

import datetime
import json
import pathlib
import statistics
import sys
import threading
from decimal import Decimal

import _graphql

REPO = pathlib.Path(__file__).resolve().parent.parent
CATALOGUE = (REPO / "examples" / "catalogue.json").read_text()

QUERY = """
query Overview($readme: String!, $numbers: [Float!]!) {
  __typename
  servers { name toolCount }
  search
  readme: files_read_file(path: $readme, maxBytes: 160)
  examples: files_list_directory(path: "examples")
  first: notes_add_note(text: "try the bridge")
  second: notes_add_note(text: "answer in any order")
  notes: notes_search_notes(word: "bridge")
  total: math_sum(numbers: $numbers)
  area: math_product(numbers: [2.5, 4])
  stats: math_stats(numbers: $numbers)
  clock: clock_now
}
"""
VARIABLES = json.dumps({"readme": "README.md", "numbers": [3, 1.5, 2, 10]})


class ExampleTools:
    """The tools of examples/catalogue.json, doing real local work."""

    def __init__(self) -> None:
        self.notes: list[str] = []
        self.scratch: dict[str, str] = {}
        self.lock = threading.Lock()

    def _inside_repo(self, path: str) -> pathlib.Path:
        resolved = (REPO / path).resolve()
        if REPO not in (resolved, *resolved.parents):
            raise ValueError(f"path leaves the repository: {path}")
        return resolved

    def files_read_file(self, path: str, maxBytes: int = 4096) -> dict:
        data = self._inside_repo(path).read_bytes()[:maxBytes]
        return {"path": path, "text": data.decode("utf-8", "replace")}

    def files_list_directory(self, path: str = ".") -> list[str]:
        return sorted(entry.name for entry in self._inside_repo(path).iterdir())

    def files_write_scratch(self, name: str, text: str) -> dict:
        with self.lock:
            self.scratch[name] = text
        return {"name": name, "bytes": len(text.encode())}

    def notes_list_notes(self) -> list[str]:
        with self.lock:
            return list(self.notes)

    def notes_search_notes(self, word: str) -> list[str]:
        with self.lock:
            return [note for note in self.notes if word in note]

    def notes_add_note(self, text: str) -> int:
        with self.lock:
            self.notes.append(text)
            return len(self.notes)

    def math_sum(self, numbers: list) -> str:
        return str(sum(Decimal(str(n)) for n in numbers))

    def math_product(self, numbers: list) -> str:
        product = Decimal(1)
        for n in numbers:
            product *= Decimal(str(n))
        return str(product)

    def math_stats(self, numbers: list) -> dict:
        return {"count": len(numbers), "mean": statistics.fmean(numbers), "min": min(numbers), "max": max(numbers)}

    def clock_now(self, zone: str = "UTC") -> str:
        if zone != "UTC":
            raise ValueError(f"unknown time zone: {zone}")
        return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")


def serve(engine: _graphql.SchemaEngine, tools: ExampleTools, stop: threading.Event) -> None:
    """Receive, dispatch and answer until stopped; a failing tool fails only its call."""
    while not stop.is_set():
        text = engine.receive_tool_call(50)
        if text is None:
            continue
        request = json.loads(text)
        handler = getattr(tools, f"{request['server']}_{request['tool']}", None)
        try:
            if handler is None:
                raise LookupError(f"no tool {request['server']}.{request['tool']}")
            engine.respond_tool_call(request["request_id"], json.dumps(handler(**request["arguments"])))
        except Exception as error:  # reported to the query as this field's error result
            engine.fail_tool_call(request["request_id"], f"{type(error).__name__}: {error}")


def main() -> int:
    engine = _graphql.SchemaEngine(CATALOGUE)
    print(engine.describe())
    if "--stub" in sys.argv:
        print(json.dumps(json.loads(engine.execute(QUERY, VARIABLES)), indent=2))
        return 0
    stop = threading.Event()
    host = threading.Thread(target=serve, args=(engine, ExampleTools(), stop), name="example-host")
    engine.attach_call_bridge()
    host.start()
    try:
        document = json.loads(engine.execute(QUERY, VARIABLES))
    finally:
        engine.detach_call_bridge()
        stop.set()
        host.join()
    print(json.dumps(document, indent=2, ensure_ascii=False))
    return 1 if document["errors"] else 0


if __name__ == "__main__":
    sys.exit(main())
