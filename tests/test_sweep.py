"""Sweeps in this process, on the local pool and on other executors: rows, order, errors, shutdown."""

import io
import os
import subprocess
import sys
import threading
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest

import vantrel
from conftest import requires_engine
from sweep_helpers import bounded, choosy, deadline, die, momentum, paced, tiny_market, unequal_pace, where_am_i
from vantrel._sweep.progress import ProgressLine
from vantrel._sweep.variants import expand_variants


@pytest.fixture(scope="module")
def market():
    return tiny_market()


def test_variants_come_from_a_grid_a_list_or_a_table_in_order():
    per_stock = pd.Series({"S001": 0.1})
    names, grid = expand_variants(
        {
            "top": [5, 10],
            "stop_loss": np.array([0.05, 0.1]),
            "rebalance": "ME",
            "take_profit": per_stock,
            "lookback": range(2),
        }
    )
    assert names == ["top", "stop_loss", "rebalance", "take_profit", "lookback"] and len(grid) == 8
    assert [(v["top"], v["stop_loss"], v["lookback"]) for v in grid[:3]] == [(5, 0.05, 0), (5, 0.05, 1), (5, 0.1, 0)]
    assert all(v["rebalance"] == "ME" and v["take_profit"] is per_stock for v in grid)
    assert type(grid[0]["stop_loss"]) is float
    table = pd.DataFrame({"top": [3, 1], "stop_loss": [0.2, 0.1]})
    assert expand_variants(table) == (
        ["top", "stop_loss"],
        [{"top": 3, "stop_loss": 0.2}, {"top": 1, "stop_loss": 0.1}],
    )
    assert expand_variants([{"top": 1}, {}, {"lookback": 2}]) == (
        ["top", "lookback"],
        [{"top": 1}, {}, {"lookback": 2}],
    )
    assert expand_variants({"top": []}) == (["top"], [])
    with pytest.raises(TypeError, match="parameter set 1 must be a dict, got int"):
        expand_variants([{"top": 1}, 2])
    with pytest.raises(TypeError, match="params must be a grid"):
        expand_variants("top=5")
    with pytest.raises(ValueError, match="grid axis 'top' must be one-dimensional"):
        expand_variants({"top": np.ones((2, 2))})
    with pytest.raises(TypeError, match="parameter names must be strings"):
        expand_variants(pd.DataFrame({0: [1]}))


def test_names_nothing_would_accept_are_refused_before_any_variant_runs(market):
    weights = momentum(market)
    with pytest.raises(ValueError, match="need a strategy to receive them: 'top'"):
        vantrel.sweep(market, {"top": [5]}, weights=weights)
    with pytest.raises(ValueError, match="the strategy does not take the parameters 'pause'"):
        vantrel.sweep(market, {"pause": [1]}, strategy=momentum)
    with pytest.raises(ValueError, match="options are not backtest options: 'stoploss'"):
        vantrel.sweep(market, {}, weights=weights, options={"stoploss": 0.1})
    with pytest.raises(ValueError, match="give either weights"):
        vantrel.sweep(market, {}, weights=weights, strategy=momentum)
    with pytest.raises(ValueError, match="workers sizes the local pool"):
        vantrel.sweep(market, {}, weights=weights, workers=0)
    with pytest.raises(TypeError, match="executor must be None"):
        vantrel.sweep(market, [{}], weights=weights, executor=object())


@requires_engine
def test_each_row_holds_what_a_single_backtest_of_that_variant_gives(market):
    grid = {"top": [3, 6], "stop_loss": [0.05, 0.2]}
    result = vantrel.sweep(
        market, grid, strategy=momentum, options={"rebalance": "ME", "stop_loss": 0.5}, workers=1, keep_equity=True
    )
    assert list(result.table.columns[:2]) == ["top", "stop_loss"] and result.parameters == ["top", "stop_loss"]
    assert result.table["error"].isna().all() and len(result.errors) == 0
    for number, (top, stop) in enumerate([(3, 0.05), (3, 0.2), (6, 0.05), (6, 0.2)]):
        alone = vantrel.backtest(momentum(market, top=top), market, rebalance="ME", stop_loss=stop)
        row = result.table.loc[number]
        assert (row["top"], row["stop_loss"]) == (top, stop)
        for name, value in [*alone.stats.items(), *alone.dates.items()]:  # the table keeps the dates
            assert row[name] == value or (pd.isna(row[name]) and pd.isna(value)), name
        curve = result.equity[number].dropna()
        pd.testing.assert_series_equal(curve, alone.equity, check_names=False, check_freq=False)
    assert result.equity.index.equals(market.index)


@requires_engine
@pytest.mark.parametrize("route", ["threads", "processes"])
def test_pool_rows_come_back_in_input_order_with_failures_in_their_own_rows(market, route):
    # Early variants pause longest, so they finish last on the pool.
    variants = [
        {"top": 3, "pause": 0.6},
        {"top": 4, "stop_loss": -0.1, "pause": 0.4},
        {"top": 5, "pause": 0.0},
        {"top": 6, "pause": 0.0},
    ]
    options = {"rebalance": "ME"}
    with deadline(60):
        pooled = vantrel.sweep(
            market, variants, strategy=unequal_pace, options=options, workers=2, executor=route, keep_equity=True
        )
    here = vantrel.sweep(market, variants, strategy=unequal_pace, options=options, workers=1, keep_equity=True)
    pd.testing.assert_frame_equal(pooled.table, here.table)
    pd.testing.assert_frame_equal(pooled.equity, here.equity)
    assert pooled.table["top"].tolist() == [3, 4, 5, 6]
    assert pooled.errors.index.tolist() == [1]
    assert pooled.table.loc[1, "error"] == "ValueError: stop_loss must be at least 0.0, got -0.1"
    assert pooled.table.loc[[0, 2, 3], "sharpe"].notna().all() and pd.isna(pooled.table.loc[1, "sharpe"])
    assert pooled.equity[1].isna().all()


@requires_engine
def test_a_failing_variant_does_not_stop_the_others(market):
    variants = [
        {"fail": None},
        {"fail": "raise"},
        {"fail": "unpriced"},
        {"fail": None, "trade_at": "vwap"},
        {"fail": None, "excursion_window": -1},
    ]
    result = vantrel.sweep(market, variants, strategy=choosy, workers=1)
    errors = result.table["error"]
    assert pd.isna(errors[0]) and np.isfinite(result.table.loc[0, "total_return"])
    assert errors[1] == "ArithmeticError: no momentum in a flat market"
    assert errors[2] == "ValueError: weights has stocks with no price column in the market: 'XYZ'"
    assert errors[3] == """ValueError: trade_at must be "close" or "open", got 'vwap'"""
    assert errors[4] == "ValueError: excursion_window must be at least 0, got -1"


@requires_engine
@pytest.mark.parametrize("route", ["pool", "process executor"])
def test_each_worker_process_loads_the_market_once(market, route):
    """A worker sees the same market object for every variant it runs: the data was not sent per variant."""
    variants = [{}] * 8
    with deadline(60):
        if route == "pool":
            result = vantrel.sweep(market, variants, strategy=where_am_i, workers=2, executor="processes")
        else:
            with ProcessPoolExecutor(2) as executor:
                result = vantrel.sweep(market, variants, strategy=where_am_i, executor=executor, chunksize=1)
    seen = result.table["error"].str.removeprefix("LookupError: ").str.split(" ", expand=True)
    assert seen[0].nunique() <= 2
    assert (seen.groupby(0)[1].nunique() == 1).all()


@requires_engine
def test_by_default_threads_of_this_process_share_the_market_and_each_strategy_result():
    market = tiny_market()
    result = vantrel.sweep(market, [{}] * 4, strategy=where_am_i, workers=2)
    assert set(result.table["error"]) == {f"LookupError: {os.getpid()} {id(market)}"}
    paced.calls = 0
    grid = {"top": [3, 5], "stop_loss": [0.05, 0.1, 0.2], "lookback": 60}
    shared = vantrel.sweep(market, grid, strategy=paced, workers=2)
    assert paced.calls == 2  # once per top: the stop levels share the weights
    alone = [
        vantrel.backtest(momentum(market, top=top), market, stop_loss=stop).stats["sharpe"]
        for top in (3, 5)
        for stop in (0.05, 0.1, 0.2)
    ]
    assert shared.table["sharpe"].tolist() == alone


@requires_engine
def test_a_variant_past_its_timeout_or_memory_cap_gets_an_error_row_and_a_fresh_worker(market):
    variants = [{"top": 3}, {"top": 4, "hang": True}, {"top": 5, "hog": 4096}, {"top": 6}]
    with deadline(60):
        result = vantrel.sweep(market, variants, strategy=bounded, timeout=2, max_memory="2GiB", workers=1)
    errors = result.table["error"]
    assert errors[1] == (
        "TimeoutError: the variant ran longer than the timeout of 2 s; its worker process was stopped and replaced"
    )
    assert errors[2].startswith("MemoryError: Unable to allocate 4")
    assert errors[2].endswith("(the worker process is capped at 2 GiB by max_memory)")
    assert errors[[0, 3]].isna().all() and result.table.loc[[0, 3], "sharpe"].notna().all()
    with pytest.raises(ValueError, match=r"timeout need worker processes \(a thread cannot be stopped or capped\)"):
        vantrel.sweep(market, variants, strategy=bounded, timeout=2, executor="threads")
    with pytest.raises(ValueError, match="max_memory must be a positive number of bytes or text such as"):
        vantrel.sweep(market, variants, strategy=bounded, max_memory="lots")


@requires_engine
def test_threads_share_the_market_without_pickling_and_give_the_same_rows(market):
    strategy = lambda market, top: momentum(market, top=top)  # noqa: E731 (no pickling on threads)
    grid = {"top": [3, 5, 7]}
    with ThreadPoolExecutor(3) as executor:
        threaded = vantrel.sweep(market, grid, strategy=strategy, executor=executor)
    here = vantrel.sweep(market, grid, strategy=momentum, workers=1)
    pd.testing.assert_frame_equal(threaded.table, here.table)


def test_a_strategy_that_cannot_reach_other_processes_is_refused_up_front(market):
    lock = threading.Lock()

    def locked(market, top):
        with lock:
            return momentum(market, top=top)

    with pytest.raises(TypeError, match="the sweep cannot be sent to worker processes"):
        vantrel.sweep(market, {"top": [3, 5]}, strategy=locked, workers=2, executor="processes")


STUDY = """import vantrel
from vantrel.datasets import synthetic_market

market = synthetic_market(10, 120)
weights = market.close.notna().astype(float).iloc[::20]
{call}
"""


@requires_engine
@pytest.mark.parametrize("guarded", [False, True])
def test_a_script_without_a_main_guard_is_told_to_add_one_before_any_worker_starts(tmp_path, guarded):
    call = 'len(vantrel.sweep(market, {"stop_loss": [0.1]}, weights=weights, executor="processes", workers=1))'
    script = tmp_path / "study.py"
    script.write_text(STUDY.format(call=f'if __name__ == "__main__":\n    print({call})' if guarded else call))
    done = subprocess.run([sys.executable, script], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    if guarded:
        assert (done.returncode, done.stdout) == (0, "1\n"), done.stderr
        return
    assert done.returncode == 1 and "BrokenPipeError" not in done.stderr
    assert done.stderr.splitlines()[-1] == (
        f"RuntimeError: vantrel.sweep runs its variants in worker processes, and each of them starts by "
        f"importing the main script ({script}) again: line 6, which started this sweep, is not under "
        '`if __name__ == "__main__":`, so every worker would start the sweep again. Put the script\'s work '
        'under `if __name__ == "__main__":` (see "Safe importing of main module" in the multiprocessing '
        'documentation), or use executor="threads"'
    )


@requires_engine
def test_a_worker_that_dies_fails_only_its_own_variant(market):
    variants = [{"top": 3}, {"top": 4, "crash": True}, {"top": 5}, {"top": 6, "crash": True}, {"top": 7}]
    with deadline(60):
        result = vantrel.sweep(market, variants, strategy=die, workers=2, executor="processes")
    died = "BrokenProcessPool: the worker process ended abruptly while running this variant"
    assert result.table["error"].tolist() == [None, died, None, died, None]
    assert result.table.loc[[0, 2, 4], "sharpe"].notna().all()


def test_an_empty_sweep_is_an_empty_table(market):
    result = vantrel.sweep(market, {"top": []}, strategy=momentum)
    assert len(result) == 0 and list(result.table.columns) == ["top", "error"]


@requires_engine
def test_heatmap_maps_a_statistic_over_two_parameters(market):
    grid = {"top": [3, 5], "stop_loss": [0.05, 0.1, 0.2], "lookback": [40, 60]}
    result = vantrel.sweep(market, grid, strategy=momentum, options={"rebalance": "ME"}, workers=1)
    ax = result.heatmap("sharpe", "stop_loss", "top").axes[0]
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("stop_loss", "top")
    assert ax.get_title() == "sharpe (mean of up to 2 variants per cell)"
    cell = ax.images[0].get_array()
    expected = result.table.groupby(["top", "stop_loss"])["sharpe"].mean().unstack()
    np.testing.assert_allclose(cell.data, expected.to_numpy())
    assert result.heatmap("cagr").axes[0].get_xlabel() == "top"  # the first two varied parameters
    single = vantrel.sweep(market, {"top": [3, 5]}, strategy=momentum, workers=1)
    with pytest.raises(ValueError, match="two parameters that take more than one value"):
        single.heatmap("sharpe")
    with pytest.raises(ValueError, match="no parameter 'lookback'"):
        single.heatmap("sharpe", "top", "lookback")
    costs = vantrel.sweep(market, {"top": [3, 5], "fee_ratio": [0.0, 0.001]}, strategy=momentum, workers=1)
    assert list(costs.table.columns).count("fee_ratio") == 1  # a swept cost is one column, not two
    assert costs.heatmap("sharpe").axes[0].get_ylabel() == "fee_ratio"


def test_progress_line_counts_rate_and_eta():
    log = io.StringIO()
    line = ProgressLine(4, enabled=True, stream=log)
    line.started -= 10.0  # two variants in ten seconds: 0.2 per second, two left
    line.advance(2)
    assert line.text(line.started + 10.0) == "sweep 2/4  50%  0.20 variants/s  elapsed 0:10  ETA 0:10"
    assert log.getvalue() == ""  # not a terminal: a line every few seconds, and at the end
    line.advance(2)
    assert log.getvalue().startswith("sweep 4/4 100%") and log.getvalue().endswith("ETA 0:00\n")
    quiet = io.StringIO()
    ProgressLine(1, stream=quiet).advance(1)  # by default shown on terminals only
    assert quiet.getvalue() == ""


def test_native_batches_give_the_rows_of_single_backtests_to_the_bit(market):
    """Variants of one weight table run as native batches on every local route; each row is
    what ``vantrel.backtest`` gives for the variant alone, and a refused one (a stop level
    of 200%) gets its error while the rest complete."""
    from vantrel.stats import with_dates

    weights = momentum(market, top=4)
    per_stock = pd.Series(0.15, index=market.columns[:10])
    grid = {
        "stop_loss": [None, 0.04, per_stock, 2.0],
        "fee_ratio": [0.0, 0.001425],
        "rebalance": [None, "ME", "W-FRI"],
        "take_profit": [None, 0.2],
    }
    singles = []
    for variant in expand_variants(grid)[1]:
        try:
            result = vantrel.backtest(weights, market, touched_exit=False, **variant)
        except ValueError as error:
            singles.append({"error": f"ValueError: {error}"})
        else:
            singles.append(with_dates(result.stats, result.dates).to_dict())
    expected = pd.DataFrame.from_records(singles)
    for executor in (None, "processes"):
        table = vantrel.sweep(market, grid, weights=weights, executor=executor, workers=2).table
        failed = table["error"].notna()
        assert failed.sum() == 12 and (table.loc[failed, "stop_loss"] == 2.0).all()
        assert table.loc[failed, "error"].str.startswith("ValueError: stop_loss is 2, above 1").all()
        columns = [c for c in expected.columns if c not in grid and c != "error"]
        ran = table.loc[~failed, columns].reset_index(drop=True)
        pd.testing.assert_frame_equal(
            ran, expected.loc[~failed.to_numpy(), columns].reset_index(drop=True), check_exact=True, check_dtype=False
        )


def test_the_statistics_of_many_variants_at_once_are_those_of_each_alone(market):
    """Exact, not to 1e-12: a sweep's rows must be the single runs' rows, and every figure
    is the same arithmetic on the same values in the same order (a row of a 2-D array
    reduces as a 1-D array does; counts go by bincount in record order)."""
    import math

    from vantrel._backtest.backtest import prepare_backtest
    from vantrel._backtest.engine import run_engine_batch
    from vantrel._sweep.batch_stats import batch_stats
    from vantrel.stats import with_dates

    weights = momentum(market, top=6)
    rates = pd.Series([0.01, 0.05], index=[market.index[0], market.index[150]])
    options = [
        dict(stop_loss=stop, take_profit=profit, rebalance=calendar, fee_ratio=fee, risk_free=rate, trail_stop=trail)
        for stop in (None, 0.03, 0.1)
        for profit in (None, 0.08)
        for calendar in (None, "W-FRI")
        for fee, rate, trail in ((0.0, 0.0, None), (0.002, 0.03, 0.05), (0.001, rates, None))
    ]
    options += [
        dict(benchmark="equal_weight"),
        dict(stop_loss=0.01, retain_cost_when_rebalance=True),
        dict(capital=1_000_000, lot_size=10, slippage=0.0005, min_fee=1.0, cash_rate=0.02),
    ]
    runs = [prepare_backtest(weights, market, **o) for o in options]
    outputs = run_engine_batch([run.engine for run in runs])
    for run, output, row in zip(runs, outputs, batch_stats(runs, outputs), strict=True):
        result = run.finish(output)
        assert len(result.trades) >= 0  # with the table built, the statistics take the one-curve pandas path
        alone = with_dates(result.stats, result.dates).to_dict()
        fresh = run.finish(output)  # the trade table not built: a result's own statistics come from the arrays
        assert fresh.stats.equals(result.stats) and fresh.dates.equals(result.dates)
        assert list(row) == list(alone)
        for key, value in alone.items():
            assert row[key] == value or (pd.isna(value) and pd.isna(row[key])), key
            assert not isinstance(value, float) or math.isnan(value) or row[key].hex() == value.hex(), key
