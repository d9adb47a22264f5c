# The gateway's image: the wheels are built once in a stage with a compiler,
# and the final stage installs them with none.
#
#   docker build -t registry.example.org/quorvel-graphql-gateway:0.1.0 .
#   docker build --build-arg TOOL_SERVERS="mcp-server-time mcp-server-git" -t ... .   # with stdio tool servers
#   docker run -p 8000:8000 -e QUORVEL_GATEWAY_TOKEN=... \
#     -v "$PWD/servers.json:/etc/quorvel/servers.json:ro" registry.example.org/quorvel-graphql-gateway:0.1.0
#
# Both stages use one Debian release, so the extension built against the
# first stage's glibc and libstdc++ runs on the second's.
ARG PYTHON_IMAGE=python:3.11-slim-bookworm

FROM ${PYTHON_IMAGE} AS build
RUN apt-get update \
 && apt-get install -y --no-install-recommends g++ \
 && rm -rf /var/lib/apt/lists/*
WORKDIR /src
COPY . .
# Tool servers run as the gateway's child processes, so they are wheels of
# this image too; remote servers ("url" in the config) need nothing here.
ARG TOOL_SERVERS=""
RUN python -m pip wheel --no-cache-dir --wheel-dir /wheels ".[gateway]" ${TOOL_SERVERS}

FROM ${PYTHON_IMAGE}
ARG TOOL_SERVERS=""
COPY --from=build /wheels /wheels
RUN python -m pip install --no-cache-dir --no-index --find-links /wheels "quorvel-graphql[gateway]" ${TOOL_SERVERS} \
 && rm -rf /wheels \
 && useradd --uid 10001 --user-group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin quorvel
# The Kubernetes manifest mounts the root file system read-only.
ENV PYTHONDONTWRITEBYTECODE=1 PYTHONUNBUFFERED=1
USER 10001:10001
EXPOSE 8000
# Binding 0.0.0.0 needs QUORVEL_GATEWAY_TOKEN at run time; --public-health
# lets the health check below (and Kubernetes' probes) in without it.
HEALTHCHECK --interval=10s --timeout=3s --start-period=30s --retries=3 \
  CMD ["python", "-c", "import urllib.request; urllib.request.urlopen('http://127.0.0.1:8000/healthz', timeout=2)"]
CMD ["python", "-m", "quorvel_graphql", "serve", "--servers", "/etc/quorvel/servers.json", \
     "--http", "0.0.0.0:8000", "--public-health"]
