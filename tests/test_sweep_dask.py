"""Sweeps on a real local Dask cluster with worker processes."""

import logging
import os
import re
import signal
import threading
import time

import pandas as pd
import pytest

import vantrel
from conftest import requires_engine
from sweep_helpers import choosy, deadline, paced, stored, tiny_market, where_am_i

distributed = pytest.importorskip("distributed")

pytestmark = requires_engine


@pytest.fixture(scope="module")
def client():
    with deadline(120):
        cluster = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=50
        )
        client = distributed.Client(cluster, timeout=60)
    yield client
    with deadline(60):
        client.close()
        cluster.close()


@pytest.fixture(scope="module")
def market():
    return tiny_market()


def test_dask_gives_the_rows_of_a_sweep_here_including_error_rows(client, market):
    variants = [
        {"top": top, "stop_loss": stop, "fail": fail}
        for top, stop, fail in [
            (3, 0.1, None),
            (4, 0.1, "raise"),
            (5, -1.0, None),
            (6, 0.2, "unpriced"),
            (7, 0.05, None),
        ]
    ]
    options = {"rebalance": "ME"}
    with deadline(60):
        remote = vantrel.sweep(market, variants, strategy=choosy, options=options, executor=client, keep_equity=True)
    here = vantrel.sweep(market, variants, strategy=choosy, options=options, workers=1, keep_equity=True)
    pd.testing.assert_frame_equal(remote.table, here.table)
    pd.testing.assert_frame_equal(remote.equity, here.equity)
    assert remote.errors.index.tolist() == [1, 2, 3]
    assert remote.table.loc[1, "error"] == "ArithmeticError: no momentum in a flat market"


def test_dask_workers_hold_one_scattered_market_and_release_it(client, market):
    with deadline(60):
        result = vantrel.sweep(market, [{}] * 8, strategy=where_am_i, executor=client)
    seen = result.table["error"].str.removeprefix("LookupError: ").str.split(" ", expand=True)
    assert seen[0].nunique() <= 2 and (seen.groupby(0)[1].nunique() == 1).all()
    give_up = time.monotonic() + 30
    while any(client.has_what().values()) and time.monotonic() < give_up:
        time.sleep(0.1)
    assert not any(client.has_what().values())  # no market or results left behind on the workers


def test_a_worker_killed_midway_loses_and_duplicates_nothing(client, market, tmp_path, caplog):
    """Kept last: the killed worker is replaced by its nanny, but the cluster is not the same afterwards."""
    grid = {"top": [3, 4, 5, 6, 7], "lookback": [40, 50, 60, 70], "pause": 0.1}
    clean = vantrel.sweep(market, grid, strategy=paced, workers=1)
    store = tmp_path / "sweep.sqlite"
    victim = next(iter(client.run(os.getpid).values()))
    at_kill = []

    def kill_after_some_rows():
        give_up = time.monotonic() + 60
        while len(stored(store)) < 5 and time.monotonic() < give_up:
            time.sleep(0.02)
        os.kill(victim, signal.SIGKILL)
        at_kill.append(len(stored(store)))

    killer = threading.Thread(target=kill_after_some_rows)
    killer.start()
    with deadline(120), caplog.at_level(logging.DEBUG, logger="vantrel.sweep"):
        remote = vantrel.sweep(market, grid, strategy=paced, executor=client, store=store)
    killer.join()
    assert 5 <= at_kill[0] < 20 and victim not in client.run(os.getpid).values()
    pd.testing.assert_frame_equal(remote.table, clean.table)
    finished = re.findall(r"variant (\d+) finished", caplog.text)
    assert sorted(map(int, finished)) == list(range(20))  # each variant collected exactly once
    assert stored(store) == set(range(20))
