"""The gateway end to end: the example tools served by the host kit, the
gateway in front of them as GraphQL over HTTP on a free loopback port, and
a query and a mutation sent to it the way any HTTP client sends them.

    python examples/demo_gateway.py      # needs the gateway extra: pip install '.[gateway]'
"""

from __future__ import annotations

import json
import socket
import sys
import threading
import urllib.request

import uvicorn
from demo import CATALOGUE, ExampleTools

from quorvel_graphql import ToolHost
from quorvel_graphql.gateway import Gateway, create_app

QUERY = """
query Overview($numbers: [Float!]!) {
  servers { name toolCount }
  stats: math_stats(numbers: $numbers) { count mean }
  readme: files_read_file(path: "README.md", maxBytes: 40) { json }
  clock: clock_now { text }
}
"""
MUTATION = 'mutation { first: notes_add_note(text: "milk") { json } second: notes_add_note(text: "eggs") { json } }'
START_SECONDS = 30.0


def post(url: str, query: str, variables: dict | None = None) -> dict:
    body = json.dumps({"query": query, "variables": variables}).encode()
    request = urllib.request.Request(url, body, {"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=30) as answer:
        return json.load(answer)


def main() -> int:
    host = ToolHost(CATALOGUE, max_workers=4, time_limit=5.0)
    host.register_methods(ExampleTools())
    # The catalogue's JSON Schemas type the arguments and results ({ count mean }).
    host.catalogue_json = CATALOGUE
    with host:
        ready = threading.Event()
        app = create_app(Gateway(host), on_ready=ready.set)
        server = uvicorn.Server(uvicorn.Config(app, log_level="warning", lifespan="on"))
        listener = socket.create_server(("127.0.0.1", 0))
        base = "http://127.0.0.1:%d" % listener.getsockname()[1]
        thread = threading.Thread(target=server.run, kwargs={"sockets": [listener]}, name="gateway")
        thread.start()
        try:
            if not ready.wait(START_SECONDS):
                print(f"the gateway did not start within {START_SECONDS:.0f} s", file=sys.stderr)
                return 1
            print(f"gateway on {base} (GraphQL {base}/graphql, playground {base}/)")
            with urllib.request.urlopen(base + "/healthz", timeout=30) as answer:
                print("GET /healthz:", answer.read().decode())
            documents = [post(base + "/graphql", QUERY, {"numbers": [3, 1.5, 2, 10]}),
                         post(base + "/graphql", MUTATION)]
        finally:
            server.should_exit = True
            thread.join()
            listener.close()
    for document in documents:
        print(json.dumps(document, indent=2, ensure_ascii=False))
    return 1 if any("errors" in document for document in documents) else 0


if __name__ == "__main__":
    sys.exit(main())
