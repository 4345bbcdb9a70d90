"""The benchmark workloads are what they claim: deterministic, well-formed, and
traded by the engine on the bars the order schedule (used for vectorbt) says."""

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from benchmarks import baselines  # noqa: E402
from benchmarks.engine import digest, last_trades, run_backtest  # noqa: E402
from benchmarks.market import make_market, month_end_bars  # noqa: E402
from benchmarks.order_schedule import rebalance_rows, target_percent_orders  # noqa: E402
from benchmarks.strategies import (  # noqa: E402
    daily_book,
    dense_book,
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
    dates = np.array(["2020-01-30", "2020-01-31", "2020-02-03", "2020-02-28", "2020-03-02"],
                     dtype="datetime64[D]")
    assert month_end_bars(dates).tolist() == [1, 3, 4]


def test_books_hold_the_top_names_at_equal_weight(market):
    for strategy, held in ((monthly_top(market, held=4), 4), (daily_book(market, held=4), 4),
                           (dense_book(market), 12)):
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
    for sid, entry in zip(trades.sids, trades.entry_bars):
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


def test_numpy_equity_follows_a_single_held_stock(market):
    strategy = monthly_top(market, held=1)
    equity = baselines.numpy_equity(market, strategy)
    first_bar = int(np.searchsorted(market.index, strategy.pos_index[0])) + 1
    assert (equity[: first_bar - 1] == 1.0).all()
    stock = int(np.argmax(strategy.pos_values[0]))
    next_bar = int(np.searchsorted(market.index, strategy.pos_index[1])) + 1
    expected = market.open[next_bar - 1, stock] / market.open[first_bar, stock]
    assert equity[next_bar - 2] == pytest.approx(expected, rel=1e-12)
