"""The Kubernetes manifests in deploy/ against the Kubernetes API schemas
that kubernetes-validate ships (offline), and their probes against the
gateway's real health paths."""

from __future__ import annotations

import copy
import pathlib
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
