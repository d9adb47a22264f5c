"""The typed layer against graphql-core, as a coverage-guided fuzz target
(atheris, libFuzzer's engine for Python):

    python3 tests/fuzz/fuzz_oracle.py CORPUS_DIR [libFuzzer flags]

An input whose first byte is 0x01 drives the property test's document
generator (each choice read from the following bytes); any other input is a
document as it stands, so the corpus's query texts mutate freely. Both run
through this layer and through graphql-core over the SDL it prints, resolved
by the same tools; any disagreement not in typed_oracle.known_difference is
raised, which the fuzzer reports as a crash with its input saved. Coverage
is graphql-core's: the paths its parser, validation and execution take
steer the mutation, and this layer must follow each of them."""

from __future__ import annotations

import pathlib
import sys

import atheris

# Not the AST reducer: atheris 2.3's instrumentation of its loop on Python
# 3.11 makes it pop an empty stack, a failure that uninstrumented code
# never shows.
with atheris.instrument_imports(include=["graphql"], exclude=["graphql.language.reducer"]):
    import graphql

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))

from quorvel_graphql import GraphQL, ToolHost  # noqa: E402
from support.typed_oracle import LAB_JSON, LabTools, Oracle, generated_request  # noqa: E402

STRUCTURED = 0x01
# Every variable the generator and the seeds use, so that mutated texts can
# refer to them; a variable a document does not declare is ignored by both.
# `z` is null, which overrides a default where one let it stand in a
# non-null position.
VARIABLES = {"flag": True, "city": "Oslo", "days": 2, "t": "x", "go": False, "n": "LabWeatherResult",
             "u": "F", "c": "Rome", "z": None}


class Consumed:
    """The generator's choices read from the fuzzer's bytes; once they run
    out every choice is the first one, so each input ends in a document."""

    def __init__(self, provider: atheris.FuzzedDataProvider) -> None:
        self.provider = provider

    def integer(self, low: int, high: int) -> int:
        return self.provider.ConsumeIntInRange(low, high)

    def pick(self, options):
        return options[self.provider.ConsumeIntInRange(0, len(options) - 1)]


def main() -> None:
    tools = LabTools()
    host = ToolHost(LAB_JSON)
    host.register_methods(tools, inline=True)
    host.start()
    oracle = Oracle(GraphQL(host, LAB_JSON), tools)
    schema = graphql.build_schema(oracle.layer.sdl())

    def one_input(data: bytes) -> None:
        if data[:1] == bytes([STRUCTURED]):
            request = generated_request(schema, Consumed(atheris.FuzzedDataProvider(data[1:])))
        else:
            request = data.decode("utf-8", "replace"), VARIABLES, None
        oracle.compare(*request)

    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
