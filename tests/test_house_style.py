"""The house tools agree with the tree: ruff (lint and format), mypy and clang-format.

Their settings live in pyproject.toml and .clang-format; a failure prints what to fix.
"""

import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
pytestmark = pytest.mark.skipif(not (REPO / "pyproject.toml").exists(), reason="needs the source tree")


def _run(*command: str) -> None:
    done = subprocess.run(command, cwd=REPO, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, f"{' '.join(command)}:\n{done.stdout}{done.stderr}"


@pytest.mark.parametrize("check", [["check"], ["format", "--check", "--diff"]], ids=["lint", "format"])
def test_ruff(check):
    _run(sys.executable, "-m", "ruff", *check, "--no-cache", ".")


def test_mypy(tmp_path):
    _run(sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path))


def test_clang_format():
    import clang_format  # the test extra installs it

    sources = sorted(str(p.relative_to(REPO)) for p in (REPO / "src").rglob("*.[ch]pp"))
    _run(clang_format.get_executable("clang-format"), "--dry-run", "-Werror", *sources)
