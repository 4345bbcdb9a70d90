import importlib
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
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


def _engine_available() -> bool:
    try:
        importlib.import_module("vantrel.core.simora")
    except ImportError:
        return False
    return True


requires_engine = pytest.mark.skipif(not _engine_available(), reason="native engine not built")


@pytest.fixture
def small_close():
    """Three stocks over eight business days; C has a one-day suspension."""
    index = pd.bdate_range("2024-01-01", periods=8)
    return pd.DataFrame(
        {
            "A": [10.0, 10.0, 11.0, 12.0, 12.0, 9.0, 9.0, 10.0],
            "B": [20.0, 20.0, 20.0, 22.0, 24.0, 24.0, 20.0, 20.0],
            "C": [5.0, 5.0, 5.0, np.nan, 5.5, 5.5, 5.0, 5.0],
        },
        index=index,
    )
