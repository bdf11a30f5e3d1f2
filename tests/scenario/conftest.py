"""Shared fixtures of the scenario tier: the built programs, run black-box.

Every installer run gets "-r <scratch root>"; nothing here touches the
machine's own root.
"""
import os
import shutil
import subprocess
import tempfile

import pytest

BUILD_DIR = os.environ.get("TESS_BUILD_DIR") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build")
SOURCE_DIR = os.environ.get("TESS_SOURCE_DIR") or os.path.join(
    os.path.dirname(__file__), "..", "..")


def program(name):
    """Path of a built program: installer, kpk."""
    for sub in ("installer", "tools", "setup"):
        path = os.path.join(BUILD_DIR, sub, name)
        if os.path.exists(path):
            return path
    raise FileNotFoundError(f"{name} is not built under {BUILD_DIR}")


def run(args, stdin=None, timeout=60, cwd=None):
    """Runs a command; returns (status, stdout, stderr) as text."""
    if isinstance(stdin, str):
        stdin = stdin.encode()
    proc = subprocess.run(args, input=stdin, capture_output=True, timeout=timeout, cwd=cwd)
    return (proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1"))


@pytest.fixture
def scratch(tmp_path):
    """A scratch directory, removed afterwards."""
    yield tmp_path


def needs_root():
    return pytest.mark.skipif(os.geteuid() != 0, reason="needs root")
