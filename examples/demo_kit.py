"""The demo of examples/demo.py, served by the host kit instead of a hand-written loop.

    python examples/demo_kit.py
"""

from __future__ import annotations

import json
import sys

from demo import CATALOGUE, QUERY, VARIABLES, ExampleTools

from quorvel_graphql import ToolHost


def main() -> int:
    host = ToolHost(CATALOGUE, max_workers=4, time_limit=5.0)
    # ExampleTools names its methods after the GraphQL fields (files_read_file, ...).
    host.register_methods(ExampleTools())
    print(host.engine.describe())
    with host:
        document = host.execute(QUERY, json.loads(VARIABLES))
    print(json.dumps(document, indent=2, ensure_ascii=False))
    return 1 if document["errors"] else 0


if __name__ == "__main__":
    sys.exit(main())
