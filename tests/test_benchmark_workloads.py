"""The benchmark workloads are what they claim: deterministic, well-formed, and
traded by the engine on the bars the order schedule (used for vectorbt) says."""

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from benchmarks import baselines, peer
from benchmarks.engine import (
    digest,
    fast_engine,
    fast_engine_trades,
    last_trades,
    run_backtest,
    run_fast_engine,
)
from benchmarks.market import make_market, month_end_bars
from benchmarks.order_schedule import rebalance_rows, target_percent_orders
from benchmarks.package import package_call
from benchmarks.strategies import (
    daily_book,
    dense_book,
    held_with_touched_stops,
    monthly_top,
    standard_strategies,
    without_stops,
)


@pytest.fixture(scope="module")
def market():
    return make_market(130, 12, seed=7)


def test_market_is_reproducible_and_seed_dependent(market):
    again = make_market(130, 12, seed=7)
    other = make_market(130, 12, seed=8)
    for field in ("open", "high", "low", "close", "index"):
        assert getattr(market, field).tobytes() == getattr(again, field).tobytes()
    assert not np.array_equal(market.close, other.close)


def test_market_bars_are_consistent(market):
    assert (market.low > 0).all()
    assert (market.low <= np.minimum(market.open, market.close)).all()
    assert (market.high >= np.maximum(market.open, market.close)).all()
    assert (np.diff(market.index) > 0).all()
    weekdays = (market.dates.astype("datetime64[D]").astype(np.int64) - 4) % 7  # 0 = Monday
    assert weekdays.max() <= 4


def test_month_ends_are_last_bars_of_their_month():
    dates = np.array(["2020-01-30", "2020-01-31", "2020-02-03", "2020-02-28", "2020-03-02"], dtype="datetime64[D]")
    assert month_end_bars(dates).tolist() == [1, 3, 4]


def test_books_hold_the_top_names_at_equal_weight(market):
    for strategy, held in ((monthly_top(market, held=4), 4), (daily_book(market, held=4), 4), (dense_book(market), 12)):
        nonzero = (strategy.pos_values != 0).sum(axis=1)
        assert (nonzero == held).all()
        np.testing.assert_allclose(strategy.pos_values.sum(axis=1), 1.0)
        assert np.isin(strategy.pos_index, market.index).all()
    # The best trailing return of the first signal row is in the book.
    strategy = monthly_top(market, held=4)
    bar = int(np.searchsorted(market.index, strategy.pos_index[0]))
    best = np.argmax(market.close[bar] / market.close[bar - 20])
    assert strategy.pos_values[0, best] == 0.25


@pytest.mark.parametrize("make", [lambda m: monthly_top(m, held=4), lambda m: daily_book(m, 4)])
def test_order_schedule_matches_the_engine_trade_bars(market, make):
    strategy = without_stops(make(market), "plain", 0.0)
    run_backtest(market, strategy)
    trades = last_trades()
    schedule = rebalance_rows(market, strategy)
    # Every entry happens on a scheduled bar, in a stock of the row traded there.
    for sid, entry in zip(trades.sids, trades.entry_bars, strict=True):
        assert int(entry) in schedule
        assert strategy.pos_values[schedule[int(entry)], sid] > 0
    assert set(trades.entry_bars.tolist()) == set(schedule)
    orders = target_percent_orders(market, strategy)
    assert np.isfinite(orders).any(axis=1).sum() == len(schedule)


def test_calendar_gates_the_schedule(market):
    # Signals every bar but a month-end calendar: trades only after month ends.
    daily = daily_book(market, held=4)
    ends = month_end_bars(market.dates)
    gated = daily.__class__(**{**daily.__dict__, "resample": market.index[ends]})
    bars = set(rebalance_rows(market, gated))
    assert bars <= {int(b) + 1 for b in ends}
    run_backtest(market, without_stops(gated, "gated", 0.0))
    assert set(last_trades().entry_bars.tolist()) == bars


def test_runs_are_bit_reproducible(market):
    for strategy in standard_strategies(market):
        first = digest(run_backtest(market, strategy), last_trades())
        assert digest(run_backtest(market, strategy), last_trades()) == first


@pytest.mark.parametrize("workload", ["S", "M"])
def test_the_workloads_reproduce_their_recorded_bits(workload):
    # The recorded hashes pin every default result to the bit across kernel changes; the array
    # entry must give the documented entry's bits on the books both run.
    import json

    from benchmarks.run import PEER_FEE, REFERENCE
    from benchmarks.workloads import market_for

    recorded = json.loads(REFERENCE.read_text())
    m = market_for(workload)
    book = monthly_top(m)
    strategies = [*standard_strategies(m), without_stops(book, "monthly_top50_plain", PEER_FEE)]
    for strategy in [*strategies, held_with_touched_stops(book)]:
        hashes = digest(run_backtest(m, strategy), last_trades())
        assert hashes == recorded[f"{workload}/{strategy.name}"], strategy.name
        if strategy.name in (book.name, "monthly_top50_plain", "held_top50_touched_stops"):
            out = run_fast_engine(m, strategy)
            assert digest(out.values, fast_engine_trades(out)) == hashes, strategy.name


def test_numpy_equity_follows_a_single_held_stock(market):
    strategy = monthly_top(market, held=1)
    equity = baselines.numpy_equity(market, strategy)
    first_bar = int(np.searchsorted(market.index, strategy.pos_index[0])) + 1
    assert (equity[: first_bar - 1] == 1.0).all()
    stock = int(np.argmax(strategy.pos_values[0]))
    next_bar = int(np.searchsorted(market.index, strategy.pos_index[1])) + 1
    expected = market.open[next_bar - 1, stock] / market.open[first_bar, stock]
    assert equity[next_bar - 2] == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("book", ["close_stop", "touched_window", "held_touched"])
def test_every_route_runs_the_same_book(market, book):
    # The end-to-end figures compare routes only if they compute the same thing: the
    # package call's equity and the array entry's values, trades and excursion records
    # must be backtest_'s, bit for bit.
    strategy = monthly_top(market, held=4)
    if book == "touched_window":
        strategy = strategy.with_options(
            "touched", touched_exit=True, take_profit=0.05, exvalo_window=10, exvalo_window_step=3
        )
    elif book == "held_touched":
        strategy = held_with_touched_stops(strategy)
        assert len(strategy.pos_index) == 1
    values = run_backtest(market, strategy)
    expected = digest(values, last_trades())
    call = package_call(market, strategy)
    np.testing.assert_array_equal(call.run().equity.to_numpy(), values[call.first_bar :])
    if fast_engine() is not None:
        out = run_fast_engine(market, strategy)
        assert digest(out.values, fast_engine_trades(out)) == expected


def test_package_call_refuses_options_it_cannot_pass(market):
    strategy = monthly_top(market, held=4).with_options("odd", delisting_bars=None)
    with pytest.raises(KeyError, match=r"no vantrel.backtest keyword for the option\(s\) \['delisting_bars'\]"):
        package_call(market, strategy)


def test_vectorbt_baseline_is_the_fastest_configuration_that_agrees():
    agrees = {"agrees": True}
    configs = {
        "quick_but_wrong": {"median_s": 0.001, "agreement": {"agrees": False}},
        "failed": {"error": "ValueError: no"},
        "slow": {"median_s": 2.0, "agreement": agrees},
        "fast": {"median_s": 0.5, "agreement": agrees},
    }
    assert peer.fastest_faithful(configs) == "fast"
    assert peer.fastest_faithful({"failed": {"error": "x"}}) is None
    assert peer.agreement(2.0, 2.0 * (1 + 2e-9))["agrees"] is False
