"""The Kubernetes manifests in deploy/ against the Kubernetes API schemas
that kubernetes-validate ships (offline), their probes against the
gateway's real health paths, and the Dockerfile of the image they run
(which cannot be built here: no registry) read for what it promises."""

from __future__ import annotations

import copy
import json
import pathlib
import re
from typing import Any

import pytest

kubernetes_validate = pytest.importorskip("kubernetes_validate")
yaml = pytest.importorskip("yaml")

MANIFESTS = pathlib.Path(__file__).resolve().parent.parent / "deploy" / "kubernetes" / "gateway.yaml"


def documents() -> list[dict[str, Any]]:
    return [document for document in yaml.safe_load_all(MANIFESTS.read_text()) if document]


def validate(document: dict[str, Any]) -> None:
    try:
        kubernetes_validate.validate(document, kubernetes_validate.latest_version(), strict=True)
    except kubernetes_validate.SchemaNotFoundError as missing:  # a release without that schema bundled
        pytest.skip(f"kubernetes-validate cannot validate offline here: {missing}")


def test_manifests_validate_and_probe_the_health_paths() -> None:
    found = {document["kind"]: document for document in documents()}
    assert {"Deployment", "Service", "HorizontalPodAutoscaler"} <= set(found)
    for document in found.values():
        validate(document)
    container = found["Deployment"]["spec"]["template"]["spec"]["containers"][0]
    assert container["livenessProbe"]["httpGet"]["path"] == "/healthz"
    assert container["readinessProbe"]["httpGet"]["path"] == "/readyz"
    # Probes send no token: the gateway must answer them without one.
    assert "--public-health" in container["args"]
    assert found["HorizontalPodAutoscaler"]["spec"]["scaleTargetRef"]["name"] == found["Deployment"]["metadata"]["name"]


@pytest.mark.parametrize("fault", ["misspelled key", "probe port type"])
def test_the_validator_refuses_a_broken_deployment(fault: str) -> None:
    deployment = copy.deepcopy(next(d for d in documents() if d["kind"] == "Deployment"))
    container = deployment["spec"]["template"]["spec"]["containers"][0]
    if fault == "misspelled key":
        container["readinesProbe"] = container.pop("readinessProbe")
    else:
        container["livenessProbe"]["httpGet"]["port"] = [8000]
    with pytest.raises(kubernetes_validate.ValidationError):
        validate(deployment)


# -- the container image recipe ------------------------------------------------

ROOT = MANIFESTS.parent.parent.parent
COMPILERS = ("g++", "gcc", "clang", "build-essential", "cmake")


def dockerfile_stages() -> list[list[tuple[str, str]]]:
    """The Dockerfile's instructions, (keyword, arguments) with continuation
    lines joined, one list per stage (the global ARGs before the first FROM
    are left out)."""
    text = re.sub(r"\\\n", " ", (ROOT / "Dockerfile").read_text())
    stages: list[list[tuple[str, str]]] = []
    for line in text.splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        keyword, _, arguments = line.partition(" ")
        if keyword.upper() == "FROM":
            stages.append([])
        if stages:
            stages[-1].append((keyword.upper(), arguments.strip()))
    return stages


def instructions(stage: list[tuple[str, str]], keyword: str) -> list[str]:
    return [arguments for found, arguments in stage if found == keyword]


def test_the_image_builds_wheels_once_and_runs_them_without_a_compiler() -> None:
    stages = dockerfile_stages()
    assert len(stages) >= 2
    build, final = stages[0], stages[-1]
    build_name = instructions(build, "FROM")[0].split()[-1]
    assert any("pip wheel" in run for run in instructions(build, "RUN"))
    assert any(f"--from={build_name}" in copy for copy in instructions(final, "COPY"))
    runs = " ".join(instructions(final, "RUN"))
    assert "--no-index" in runs and "pip wheel" not in runs
    assert not [word for word in COMPILERS if re.search(rf"(?<![\w-]){re.escape(word)}(?![\w-])", runs)]
    # Nothing of the source tree reaches the final stage: only the wheels.
    assert all("--from=" in copy for copy in instructions(final, "COPY"))


def test_the_image_runs_as_the_user_and_on_the_port_the_deployment_expects() -> None:
    final = dockerfile_stages()[-1]
    user = instructions(final, "USER")[-1].split(":")[0]
    assert user not in ("root", "0")
    deployment = next(d for d in documents() if d["kind"] == "Deployment")
    container = deployment["spec"]["template"]["spec"]["containers"][0]
    assert container["securityContext"]["runAsUser"] == int(user)
    port = container["ports"][0]["containerPort"]
    assert instructions(final, "EXPOSE") == [str(port)]
    healthcheck = instructions(final, "HEALTHCHECK")[-1]
    assert f"127.0.0.1:{port}/healthz" in healthcheck
    # The health check sends no token, so the default command must let it in.
    command = json.loads(instructions(final, "CMD")[-1])
    assert "--public-health" in command and f"0.0.0.0:{port}" in command
    # The manifest's command and the image's agree on the program they start.
    assert container["args"][:4] == command[:4]


def test_the_documented_build_tags_the_image_the_deployment_pulls() -> None:
    deployment = next(d for d in documents() if d["kind"] == "Deployment")
    image = deployment["spec"]["template"]["spec"]["containers"][0]["image"]
    assert f"docker build -t {image} ." in (ROOT / "docs" / "deploying.md").read_text()
    ignored = (ROOT / ".dockerignore").read_text().split()
    # A local build folder holds an extension built for this machine, not the image's.
    assert "build/" in ignored and ".git" in ignored
