import subprocess
import sys
import textwrap

import pytest

from vantrel.core import exvalo


def run_python(code: str) -> str:
    """Runs `code` in a fresh interpreter and returns what it printed."""
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.fixture
def result_lists():
    """Restores exvalo's module attributes that a test rebinds or deletes."""
    names = ("trades", "trade_positions", "exvalo", "org_np")
    saved = {name: getattr(exvalo, name) for name in names}
    yield
    for name, value in saved.items():
        setattr(exvalo, name, value)
