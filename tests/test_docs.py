"""The short README and the documentation site under docs/: links that
GitHub renders but MkDocs never sees, and the site's strict build."""

from __future__ import annotations

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


def test_the_site_builds_strictly(tmp_path: pathlib.Path) -> None:
    pytest.importorskip("mkdocs")
    run = subprocess.run(
        [sys.executable, "-m", "mkdocs", "build", "--strict", "--site-dir", str(tmp_path / "site")],
        cwd=ROOT, capture_output=True, text=True, check=False,
    )
    assert run.returncode == 0, run.stderr
    assert (tmp_path / "site" / "limits" / "index.html").is_file()
