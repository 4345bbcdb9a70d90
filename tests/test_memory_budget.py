"""A backtest reads the caller's price matrices in place: the memory it adds grows
with bars, universe and trades, never by a copy of a bars x universe matrix."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent


def probe(bars, stocks, strategy):
    done = subprocess.run(
        [sys.executable, "-m", "benchmarks.memory_probe", str(bars), str(stocks), strategy],
        capture_output=True,
        text=True,
        cwd=REPO,
        check=True,
    )
    return json.loads(done.stdout)


@pytest.mark.skipif(not Path("/proc/self/clear_refs").exists(), reason="needs Linux /proc")
def test_peak_memory_added_is_far_below_one_price_matrix():
    wide = probe(1260, 4000, "monthly_top50")
    if wide["method"] != "VmHWM after clear_refs reset":
        pytest.skip("the resident-set high-water mark cannot be reset here")
    # One copy of any of the five input matrices would add 40 MB.
    assert wide["added_bytes"] < wide["input_matrix_bytes"] / 8, wide
