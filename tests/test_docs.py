"""The API reference (docs/api) builds from the installed vantrel's docstrings, warnings as errors."""

import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("sphinx", reason="the docs extra (sphinx, numpydoc) is not installed")
pytest.importorskip("numpydoc", reason="the docs extra (sphinx, numpydoc) is not installed")

DOCS = Path(__file__).resolve().parents[1] / "docs" / "api"


def test_api_reference_builds_without_warnings_and_covers_the_public_api(tmp_path):
    done = subprocess.run(
        [
            sys.executable,
            "-P",
            "-m",
            "sphinx",
            "-W",
            "--keep-going",
            "-E",
            "-q",
            "-b",
            "html",
            "-d",
            str(tmp_path / "doctrees"),
            str(DOCS),
            str(tmp_path / "html"),
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    pages = "".join(p.read_text(encoding="utf-8") for p in (tmp_path / "html").glob("*.html"))
    for anchor in (
        "vantrel.backtest",
        "vantrel.Market",
        "vantrel.BacktestResult",
        "vantrel.BacktestResult.report",
        "vantrel.sweep",
        "vantrel.SweepResult",
        "vantrel.SweepResult.overfitting",
        "vantrel.walk_forward",
        "vantrel.WalkForwardResult",
        "vantrel.BacktestResult.bootstrap",
        "vantrel.BacktestResult.cost_sensitivity",
        "vantrel.BacktestResult.random_benchmark",
        "vantrel.datasets.load_market",
        "vantrel.stats.performance_stats",
    ):
        assert f'id="{anchor}"' in pages, anchor
