"""Sweeps on a real local Dask cluster with worker processes."""

import time

import pandas as pd
import pytest

import vantrel
from conftest import requires_engine
from sweep_helpers import choosy, deadline, tiny_market, where_am_i

distributed = pytest.importorskip("distributed")

pytestmark = requires_engine


@pytest.fixture(scope="module")
def client():
    with deadline(120):
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                           dashboard_address=None, silence_logs=50)
        client = distributed.Client(cluster, timeout=60)
    yield client
    with deadline(60):
        client.close()
        cluster.close()


@pytest.fixture(scope="module")
def market():
    return tiny_market()


def test_dask_gives_the_rows_of_a_sweep_here_including_error_rows(client, market):
    variants = [{"top": top, "stop_loss": stop, "fail": fail}
                for top, stop, fail in [(3, 0.1, None), (4, 0.1, "raise"), (5, -1.0, None), (6, 0.2, "unpriced"),
                                        (7, 0.05, None)]]
    options = {"rebalance": "ME"}
    with deadline(60):
        remote = vantrel.sweep(market, variants, strategy=choosy, options=options, executor=client,
                               keep_equity=True)
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
