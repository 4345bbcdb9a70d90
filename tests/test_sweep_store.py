"""Sweeps written to a store as they finish: a killed sweep resumes to the table of an uninterrupted run."""

import contextlib
import logging
import re
import signal
import sqlite3
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import vantrel
from conftest import requires_engine
from sweep_helpers import paced, stored, tiny_market
from vantrel._sweep.keys import fingerprint
from vantrel.datasets import synthetic_market

pytestmark = requires_engine

GRID = {"top": [3, 4, 5, 6], "lookback": [40, 50, 60], "stop_loss": [0.1, -1.0], "pause": 0.15}

SWEEP = f"""
import logging, sys
sys.path.insert(0, {str(Path(__file__).parent)!r})
import vantrel
from sweep_helpers import paced, stored, tiny_market

if __name__ == "__main__":
    logging.basicConfig(level=logging.DEBUG, format="%(message)s")
    vantrel.sweep(tiny_market(), {GRID!r}, strategy=paced, options={{"rebalance": "ME"}}, store=sys.argv[1],
                  resume=True, keep_equity=True, workers=2)
"""


def test_a_sweep_killed_midway_resumes_running_only_the_missing_variants(tmp_path, caplog):
    store = tmp_path / "sweep.sqlite"
    (tmp_path / "sweep.py").write_text(SWEEP)
    first = subprocess.Popen([sys.executable, "sweep.py", store], cwd=tmp_path, stderr=subprocess.PIPE, text=True)
    try:
        give_up = time.monotonic() + 60
        while len(stored(store)) < 6 and first.poll() is None and time.monotonic() < give_up:
            time.sleep(0.02)
        first.send_signal(signal.SIGKILL)
        _, log = first.communicate(timeout=30)
    finally:
        first.kill()
    kept = stored(store)
    assert 6 <= len(kept) < 24, log
    logged = {int(n) for n in re.findall(r"variant (\d+) (?:finished|failed)", log)}
    assert logged and logged <= kept  # every variant reported finished was already stored

    with caplog.at_level(logging.DEBUG, logger="vantrel.sweep"):
        resumed = vantrel.sweep(
            tiny_market(),
            GRID,
            strategy=paced,
            options={"rebalance": "ME"},
            store=store,
            resume=True,
            keep_equity=True,
            workers=1,
        )
    ran = [int(n) for n in re.findall(r"variant (\d+) (?:finished|failed)", caplog.text)]
    assert sorted(ran) == sorted(set(range(24)) - kept)
    assert f"{len(kept)} of 24 variants already there; running {24 - len(kept)}" in caplog.text

    clean = vantrel.sweep(tiny_market(), GRID, strategy=paced, options={"rebalance": "ME"}, keep_equity=True, workers=1)
    pd.testing.assert_frame_equal(resumed.table, clean.table)
    pd.testing.assert_frame_equal(resumed.equity, clean.equity)
    assert resumed.table["error"].notna().sum() == 12
    with contextlib.closing(sqlite3.connect(store)) as connection:
        table = pd.read_sql("SELECT * FROM sweep", connection, index_col="variant")
    assert list(table.columns) == list(clean.table.columns)
    np.testing.assert_array_equal(table["sharpe"].to_numpy(), clean.table["sharpe"].to_numpy())


def test_a_store_of_another_sweep_is_refused_and_never_mixed_in(tmp_path):
    market, store = tiny_market(), tmp_path / "sweep.sqlite"
    grid = {"top": [3, 5], "stop_loss": 0.1}
    vantrel.sweep(market, grid, strategy=paced, store=store, workers=1)
    before = stored(store)

    def resume(market=market, grid=grid, **options):
        vantrel.sweep(market, grid, strategy=paced, store=store, resume=True, workers=1, **options)

    with pytest.raises(ValueError, match=re.escape(f"the store {store} was written for a different market")):
        resume(market=synthetic_market(30, 300, seed=12))
    ways_out = "its results are not mixed in; write to another store or replace it (overwrite=True, --overwrite)"
    for changed, differs in [
        ({"top": [3, 5, 7], "stop_loss": 0.1}, "top was 3, 5, now 3, 5, 7"),
        ({"top": [5, 3], "stop_loss": 0.2}, "top was 3, 5, now 5, 3; stop_loss was 0.1, now 0.2"),
        ({"top": [3, 5], "lookback": 40}, "parameters were top, stop_loss, now top, lookback"),
        (
            [{"top": 3, "stop_loss": 0.1}, {"top": 5, "stop_loss": 0.1}, {"top": 5, "stop_loss": 0.1}],
            "2 variants, now 3, of the same parameter values as far as they show",
        ),
    ]:
        with pytest.raises(ValueError) as refused:
            resume(grid=changed)
        assert str(refused.value) == f"the store {store} was written by a different grid ({differs}): {ways_out}"
    with pytest.raises(
        ValueError, match=re.escape("was written with different options (no options, now rebalance='ME')")
    ):
        resume(options={"rebalance": "ME"})
    with pytest.raises(
        ValueError, match=re.escape(f"the store {store} already holds 2 finished variants of this sweep; resume it")
    ):
        vantrel.sweep(market, grid, strategy=paced, store=store, workers=1)
    assert stored(store) == before
    with pytest.raises(ValueError, match=re.escape("resume=True continues the store and overwrite=True replaces it")):
        resume(overwrite=True)
    other = {"top": [4], "stop_loss": 0.2}
    replaced = vantrel.sweep(market, other, strategy=paced, store=store, overwrite=True, workers=1)
    with contextlib.closing(sqlite3.connect(store)) as connection:
        assert connection.execute("SELECT top, stop_loss FROM sweep").fetchall() == [(4, 0.2)]
    again = vantrel.sweep(market, other, strategy=paced, store=store, resume=True, workers=1)
    pd.testing.assert_frame_equal(again.table, replaced.table)
    (tmp_path / "notes.txt").write_text("not a database")
    with pytest.raises(ValueError, match="notes.txt is not a vantrel sweep store"):
        vantrel.sweep(market, grid, strategy=paced, store=tmp_path / "notes.txt", workers=1)


def test_fingerprints_are_stable_and_tell_values_apart():
    per_stock = pd.Series([0.1, 0.2], index=["A", "B"])
    assert fingerprint({"top": 5, "stop": 0.1}) == fingerprint({"stop": 0.1, "top": 5})
    different = [
        {"top": 5.0, "stop": 0.1},
        {"top": 5, "stop": -0.1},
        {"top": "5", "stop": 0.1},
        {"top": 5, "stop": per_stock},
        {"top": 5, "stop": per_stock.rename({"B": "C"})},
        {"top": 5, "stop": per_stock * 2},
        {"top": 5, "stop": [0.1]},
    ]
    assert len({fingerprint(v) for v in [{"top": 5, "stop": 0.1}, *different]}) == 1 + len(different)
    assert fingerprint(0.0) != fingerprint(-0.0) and fingerprint(True) != fingerprint(1)
    frame = pd.DataFrame({"A": [0.5, 0.5], "B": ["x", "y"]})  # fixed weights are fingerprinted as a frame
    assert len({fingerprint(frame), fingerprint(frame.replace(0.5, 0.25)), fingerprint(frame[["B", "A"]])}) == 3
    # The same in a fresh interpreter: no per-process salt.
    code = textwrap.dedent("""
        import pandas as pd
        from vantrel._sweep.keys import fingerprint
        stop = pd.Series([0.1, 0.2], index=["A", "B"])
        print(fingerprint({"top": 5, "stop": stop, "at": pd.Timestamp("2024-01-02")}))
    """)
    fresh = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert fresh.stdout.strip() == fingerprint({"top": 5, "stop": per_stock, "at": pd.Timestamp("2024-01-02")})
