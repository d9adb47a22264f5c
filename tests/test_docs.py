"""The short README and the documentation site under docs/: links that
GitHub renders but MkDocs never sees, and the site's strict build."""

from __future__ import annotations

import json
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
# Markdown links with a relative target; web addresses and in-page anchors are not files.
LINK = re.compile(r"\]\((?!https?://|#)([^)#\s]+)(?:#[^)\s]*)?\)")


def test_every_relative_link_of_the_readme_names_a_file() -> None:
    targets = LINK.findall((ROOT / "README.md").read_text())
    assert any(target.startswith("docs/") for target in targets)
    missing = [target for target in targets if not (ROOT / target).exists()]
    assert missing == []


def set_up_commands() -> list[str]:
    text = (ROOT / "README.md").read_text()
    block = text.split("## Set up and run", 1)[1].split("```sh", 1)[1].split("```", 1)[0]
    return [line for line in block.splitlines() if line.startswith("python3 ")]


def test_the_first_set_up_command_installs_the_gateway_and_runs_it_end_to_end() -> None:
    pytest.importorskip("starlette")
    from support.gateway import child_env

    install, _, run = set_up_commands()[0].partition(" && ")
    # One compile for everything after it: the gateway's dependencies come with it.
    assert install == "python3 -m pip install '.[gateway]'"
    script = run.split()[1]
    done = subprocess.run([sys.executable, script], cwd=ROOT, env=child_env(), capture_output=True, text=True,
                          timeout=120, check=False)
    assert done.returncode == 0, done.stdout + done.stderr
    health, _, rest = done.stdout.partition("GET /healthz: ")[2].partition("\n")
    assert json.loads(health)["status"] == "ok"
    documents, decoder = [], json.JSONDecoder()
    while rest.strip():
        document, end = decoder.raw_decode(rest.strip())
        documents.append(document)
        rest = rest.strip()[end:]
    assert [sorted(document) for document in documents] == [["data"], ["data"]]
    assert documents[0]["data"]["stats"] == {"count": 4, "mean": 4.125}
    assert documents[1]["data"] == {"first": {"json": 1}, "second": {"json": 2}}


def test_the_site_builds_strictly(tmp_path: pathlib.Path) -> None:
    pytest.importorskip("mkdocs")
    run = subprocess.run(
        [sys.executable, "-m", "mkdocs", "build", "--strict", "--site-dir", str(tmp_path / "site")],
        cwd=ROOT, capture_output=True, text=True, check=False,
    )
    assert run.returncode == 0, run.stderr
    assert (tmp_path / "site" / "limits" / "index.html").is_file()
