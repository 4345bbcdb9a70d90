"""The stubs beside the native modules describe what the modules really export."""

import subprocess
import sys

import pytest

pytest.importorskip("mypy.stubtest", reason="mypy is not installed")


def test_native_module_stubs_match_the_modules(tmp_path):
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy.stubtest",
            "vantrel.core.simora",
            "vantrel.core.exvalo",
            "vantrel.core.kessin",
            "vantrel.core._engine",
        ],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=tmp_path,
    )
    assert done.returncode == 0, done.stdout + done.stderr
