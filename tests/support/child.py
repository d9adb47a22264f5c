"""Environments for the Python child processes that tests start."""

from __future__ import annotations

import os
import sys


def python_env() -> dict[str, str]:
    """This process's environment with its import path as PYTHONPATH, so that a
    child imports the same extension, package and support modules as the tests."""
    return {**os.environ, "PYTHONPATH": os.pathsep.join(path for path in sys.path if path)}
