"""vantrel.backtest end to end on hand-made frames and on the synthetic market."""

from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import vantrel
from conftest import requires_engine
from vantrel import Market, backtest, performance_stats
from vantrel.datasets import synthetic_market
from vantrel.demo import DEMO_OPTIONS, momentum_weights

pytestmark = requires_engine
FREE = dict(fee_ratio=0.0, tax_ratio=0.0)


def weights_on(dates, **columns):
    return pd.DataFrame(columns, index=pd.DatetimeIndex(dates), dtype=float)


def test_a_weight_row_trades_on_the_next_bar_at_the_close(small_close):
    # A: 10 10 11 12 12 9 9 10; the row dated on bar 1 is bought on bar 2 at 11
    result = backtest(weights_on(["2024-01-02"], A=[1.0]), small_close, **FREE)
    np.testing.assert_allclose(result.equity, [1, 1, 12 / 11, 12 / 11, 9 / 11, 9 / 11, 10 / 11], rtol=1e-15)
    assert result.equity.index[0] == pd.Timestamp("2024-01-02")  # the curve starts at the first signal
    (trade,) = result.trades.itertuples()
    assert (trade.stock, trade.entry_date, trade.entry_signal_date) == ("A", small_close.index[2], small_close.index[1])
    assert pd.isna(trade.exit_date) and trade.bars_held == 6 and trade.weight == 1.0
    assert trade.adverse_excursion == pytest.approx(9 / 11 - 1)
    assert trade.favourable_excursion == pytest.approx(12 / 11 - 1)
    assert trade.drawdown == pytest.approx(-0.25) and trade.profitable_bars == 2
    assert result.trades.loc[0, "return"] == pytest.approx(10 / 11 - 1)
    assert result.portfolio.loc["A", "weight"] == 1.0 and result.portfolio.loc["A", "next_weight"] == 1.0


def test_trading_at_the_open_values_at_the_close(small_close):
    open_ = small_close.copy()
    open_["A"] = [10.0, 10.0, 10.0, 11.5, 12.0, 10.0, 9.0, 9.5]
    market = Market(small_close, open=open_)
    result = backtest(weights_on(["2024-01-02"], A=[1.0]), market, trade_at="open", **FREE)
    np.testing.assert_allclose(result.equity, [1.0, 1.1, 1.2, 1.2, 0.9, 0.9, 1.0], rtol=1e-15)


def test_rebalance_calendar_delays_a_new_row_to_the_next_marked_bar(small_close):
    weights = weights_on(["2024-01-02", "2024-01-04"], A=[1, 0], B=[0, 1])
    every = backtest(weights, small_close, **FREE)
    marked = backtest(weights, small_close, rebalance=["2024-01-02", "2024-01-05"], **FREE)
    # every signal date: switch to B on Fri 5th at A=12; marked: on Mon 8th at A=9
    np.testing.assert_allclose(every.equity.iloc[-3:], [12 / 11, 12 / 11 * 20 / 24, 12 / 11 * 20 / 24])
    np.testing.assert_allclose(marked.equity.iloc[-3:], [9 / 11, 9 / 11 * 20 / 24, 9 / 11 * 20 / 24])
    a = marked.trades.set_index("stock").loc["A"]
    assert (a.exit_date, a.exit_signal_date) == (small_close.index[5], small_close.index[4])
    assert a["return"] == pytest.approx(9 / 11 - 1)


def test_nan_weights_mean_no_position_and_inputs_stay_untouched(small_close):
    with_nan = weights_on(["2024-01-02"], A=[1.0], B=[np.nan])
    zeros = weights_on(["2024-01-02"], A=[1.0], B=[0.0])
    close_before, weights_before = small_close.copy(), with_nan.copy()
    a = backtest(with_nan, small_close)
    b = backtest(zeros, small_close)
    pd.testing.assert_series_equal(a.equity, b.equity)
    assert not a.equity.isna().any()
    pd.testing.assert_frame_equal(small_close, close_before)
    pd.testing.assert_frame_equal(with_nan, weights_before)


def test_delisted_stock_is_sold_and_not_bought_again(small_close):
    market = Market(small_close, delisting={"C": "2024-01-05"})
    weights = weights_on(["2024-01-02", "2024-01-08"], C=[1.0, 0.5], A=[0.0, 0.5])
    result = backtest(weights, market, **FREE)
    # C bought at 5 on bar 2, no price on bar 3, sold at 5.5 when delisted on bar 4
    assert result.equity.loc["2024-01-05"] == pytest.approx(1.1)
    trades = result.trades.set_index("stock")
    assert trades.loc["C", "exit_date"] == pd.Timestamp("2024-01-05")
    assert trades.loc["A", "entry_date"] == pd.Timestamp("2024-01-09") and trades.loc["A", "weight"] == 0.5
    assert "C" not in result.portfolio.index or result.portfolio.loc["C", "next_weight"] == 0


def test_close_mode_stop_loss_sells_on_the_next_bar(small_close):
    result = backtest(weights_on(["2024-01-02"], A=[1.0], B=[0.0]), small_close, stop_loss=0.15, **FREE)
    # close return 9/11 < 0.85 on Mon 8th, sold on Tue 9th at 9
    np.testing.assert_allclose(result.equity.iloc[-3:], [9 / 11] * 3)
    trade = result.trades.iloc[0]
    assert (trade.exit_date, trade.exit_signal_date) == (small_close.index[6], small_close.index[5])
    assert result.portfolio.loc["A", "action"] == "stopped_out"
    assert result.portfolio.loc["A", "next_weight"] == 0.0


def test_take_profit_of_the_first_column_is_labelled_take_profit(small_close):
    result = backtest(weights_on(["2024-01-02"], A=[1.0]), small_close, take_profit=0.05, **FREE)
    assert result.equity.iloc[-1] == pytest.approx(12 / 11)
    assert result.portfolio.loc["A", "action"] == "took_profit"


def test_per_stock_and_touched_stops(small_close):
    low, high, open_ = small_close * 0.99, small_close * 1.01, small_close.copy()
    low.loc["2024-01-04", "A"] = 9.8  # a touch of A's 10% stop: 9.8 / 11 <= 0.9
    market = Market(small_close, open=open_, high=high, low=low)
    weights = weights_on(["2024-01-02"], A=[0.5], B=[0.5])
    result = backtest(weights, market, touched_exit=True, stop_loss=pd.Series({"A": 0.1}), **FREE)
    trades = result.trades.set_index("stock")
    assert trades.loc["A", "exit_date"] == trades.loc["A", "exit_signal_date"] == pd.Timestamp("2024-01-04")
    assert pd.isna(trades.loc["B", "exit_date"])  # B has no stop
    # A sold at the stop level: 0.5 * 0.9; B at 22 / 20
    assert result.equity.loc["2024-01-04"] == pytest.approx(0.45 + 0.5 * 22 / 20)


def test_shorts_position_limit_and_excursion_samples(small_close):
    short = backtest(weights_on(["2024-01-02"], A=[-1.0]), small_close, **FREE)
    assert short.equity.loc["2024-01-08"] == pytest.approx(2 - 9 / 11)
    capped = backtest(weights_on(["2024-01-02"], A=[1.0]), small_close, position_limit=0.5, **FREE)
    assert capped.equity.iloc[-1] == pytest.approx(0.5 + 0.5 * 10 / 11)
    sampled = backtest(
        weights_on(["2024-01-02"], A=[1.0]), small_close, excursion_window=3, excursion_window_step=1, **FREE
    )
    assert sampled.trades.loc[0, "return_1"] == pytest.approx(12 / 11 - 1)
    assert sampled.trades.loc[0, "adverse_excursion_2"] == 0.0


@pytest.fixture(scope="module")
def demo_run():
    market = synthetic_market(120, 700, seed=3)
    weights = momentum_weights(market.close, top=10)
    return market, weights, backtest(weights, market, **DEMO_OPTIONS)


def test_synthetic_market_end_to_end(demo_run):
    market, weights, result = demo_run
    assert result.equity.iloc[0] == 1.0 and result.equity.notna().all()
    assert result.equity.index[0] == market.index[market.index.searchsorted(weights.index[0])]
    trades = result.trades
    assert len(trades) > 50 and trades["stock"].isin(market.columns).all()
    # monthly rebalancing: entries happen on the first bar of a month
    months = trades["entry_date"].dt.to_period("M")
    first_bars = pd.Series(market.index).groupby(market.index.to_period("M")).min()
    assert trades["entry_date"].isin(first_bars).all() and months.notna().all()
    closed = trades[trades["exit_date"].notna()]
    assert (closed["exit_date"] >= closed["entry_date"]).all()
    assert result.portfolio["weight"].abs().sum() <= 1.0 + 1e-12
    stats, trips = result.stats, result.round_trips()
    assert stats["trades"] == len(trips) < len(trades) and 0 < stats["exposure"] <= 1  # round trips, not records
    closed = trips[trips["exit_date"].notna()]
    assert stats["win_rate"] == (closed["profit"] > 0).mean()
    assert result.compute_stats(trades_by="record")["trades"] == len(trades)
    assert np.isfinite([stats["sharpe"], stats["cagr"], stats["max_drawdown"]]).all()


def test_stats_are_numbers_that_round_and_their_dates_stand_beside_them(demo_run):
    result = demo_run[2]
    stats, dates = result.stats, result.dates
    assert stats.dtype == np.float64 and stats.round(3)["max_drawdown"] == round(stats["max_drawdown"], 3)
    assert (dates["start"], dates["end"]) == (result.equity.index[0], result.equity.index[-1])
    fall = result.equity[dates["max_drawdown_trough"]] / result.equity[dates["max_drawdown_peak"]] - 1
    assert fall == pytest.approx(stats["max_drawdown"], rel=1e-14)
    assert f"{int(stats['trades'])} trades)" in repr(result)


def test_same_inputs_give_the_same_result_to_the_bit(demo_run):
    market, weights, result = demo_run
    again = backtest(weights, market, **DEMO_OPTIONS)
    assert np.array_equal(again.equity.to_numpy(), result.equity.to_numpy())
    pd.testing.assert_frame_equal(again.trades, result.trades)


def test_round_trips_join_the_records_of_one_position(small_close):
    # A: 10 10 11 12 12 9 9 10. Held from bar 2 to bar 5 through two rebalances that
    # re-size it (three records), then again from bar 7 to the end.
    weights = weights_on(
        ["2024-01-02", "2024-01-03", "2024-01-04", "2024-01-05", "2024-01-08"],
        A=[1.0, 0.5, 0.8, 0.0, 1.0],
        B=[0.0, 0.5, 0.2, 0.0, 0.0],
    )
    result = backtest(weights, small_close, fee_ratio=0.01, tax_ratio=0.02)
    trades, trips = result.trades, result.round_trips()
    a_trips = trips[trips["stock"] == "A"]
    assert list(a_trips["records"]) == [3, 1]
    first = a_trips.iloc[0]
    assert (first.entry_date, first.exit_date, first.bars_held) == (small_close.index[2], small_close.index[5], 3)
    assert first.exit_reason == "rebalance" and pd.isna(a_trips.iloc[1].exit_date)
    a_records = trades[(trades["stock"] == "A") & (trades["round_trip"] == first.name)]
    assert first.fees == pytest.approx(a_records["fees"].sum())
    assert first["return"] == pytest.approx(np.prod(1 + a_records["return"]) - 1, rel=1e-13)
    # Every record's profit adds up to what the portfolio made.
    assert trades["profit"].sum() == pytest.approx(result.equity.iloc[-1] - 1.0, abs=1e-14)
    assert trips["profit"].sum() == pytest.approx(trades["profit"].sum(), abs=1e-15)


def test_benchmarks_line_up_with_the_equity(small_close):
    weights = weights_on(["2024-01-02"], A=[1.0])  # the curve starts on bar 1
    universe = backtest(weights, small_close, benchmark="equal_weight")
    # mean return of the stocks priced on both bars (C has no price on bar 3)
    means = [0.1 / 3, (1 / 11 + 0.1) / 2, 1 / 22, -0.25 / 3, (-1 / 6 - 1 / 11) / 3, 1 / 27]
    np.testing.assert_allclose(universe.benchmark, np.cumprod([1.0] + [1 + m for m in means]), rtol=1e-14)
    assert universe.benchmark.index.equals(universe.equity.index)
    stock = backtest(weights, small_close, benchmark="B")
    prices = backtest(weights, small_close, benchmark=small_close["B"].rename("index") * 3)
    np.testing.assert_allclose(stock.benchmark, [1, 1, 1.1, 1.2, 1.2, 1, 1])
    pd.testing.assert_series_equal(prices.benchmark, stock.benchmark)
    assert (stock.settings["benchmark"], prices.settings["benchmark"]) == ("B", "Series 'index'")
    plain = backtest(weights, small_close)
    assert plain.benchmark is None and plain.benchmark_stats is None


def test_stats_show_costs_and_compare_with_the_benchmark(demo_run):
    market, weights, result = demo_run
    assert (result.stats["fee_ratio"], result.stats["tax_ratio"]) == (0.0, 0.0)  # no costs unless asked
    local = backtest(
        weights, market, benchmark="equal_weight", risk_free=0.02, fee_ratio=0.001425, tax_ratio=0.003, **DEMO_OPTIONS
    )
    stats, bench = local.stats, local.benchmark_stats
    assert (stats["fee_ratio"], stats["tax_ratio"], stats["risk_free"]) == (0.001425, 0.003, 0.02)
    assert stats["total_return"] < result.stats["total_return"]
    assert (
        0.3 < stats["beta"] < 1.5
        and np.isfinite(stats[["alpha", "information_ratio", "up_capture"]].astype(float)).all()
    )
    assert bench["total_return"] == pytest.approx(local.benchmark.iloc[-1] - 1)
    assert bench["sharpe"] < performance_stats(local.benchmark)["sharpe"]  # excess over 2% a year


@pytest.mark.parametrize(
    "page, section", [("README.md", "## Quick start in Python"), ("docs/usage.md", "## In Python")]
)
def test_the_documented_quick_start_is_the_demo_strategy(page, section):
    text = (Path(__file__).resolve().parents[1] / page).read_text(encoding="utf-8")
    block = text.split(section)[1].split("```python")[1].split("```")[0]
    namespace: dict = {}
    exec(block.split("\nresult = ")[0], namespace)  # everything up to the backtest
    expected = momentum_weights(namespace["market"].close, top=20)
    pd.testing.assert_frame_equal(namespace["weights"], expected)
    call = block.split("\nresult = ")[1].split("\n")[0]
    assert all(f"{k}={v!r}" in call.replace('"', "'") for k, v in DEMO_OPTIONS.items() if "excursion" not in k)
    assert "benchmark='equal_weight'" in call.replace('"', "'")


SHARED_CLOSE = Path(__file__).resolve().parents[2] / "shared" / "data" / "sp500_close_20stocks.csv.gz"


@pytest.mark.skipif(not SHARED_CLOSE.exists(), reason="shared data absent")
def test_real_stocks_against_their_equal_weight_universe():
    from vantrel.datasets import load_market

    market = load_market(SHARED_CLOSE)
    weights = momentum_weights(market.close, top=5)
    result = backtest(weights, market, rebalance="ME", benchmark="equal_weight", risk_free=0.02)
    stats = result.stats
    assert 0.5 < stats["beta"] < 1.5 and np.isfinite(float(stats["alpha"]))
    # the benchmark's first year, straight from the closes: mean daily return of the stocks priced both days
    year = market.close.loc[result.equity.index[0] :].iloc[:253]
    expected = (1 + year.pct_change(fill_method=None).mean(axis=1).fillna(0)).prod()
    assert result.benchmark.iloc[252] == pytest.approx(expected, rel=1e-12)
    assert result.benchmark_stats["total_return"] == pytest.approx(result.benchmark.iloc[-1] - 1)


@pytest.mark.parametrize("trades_by", ["round_trip", "record"])
def test_statistics_do_not_depend_on_whether_the_trade_table_was_built(demo_run, trades_by):
    market, weights, _ = demo_run
    result = backtest(weights, market, **DEMO_OPTIONS)
    from_log = result.compute_stats(trades_by=trades_by)  # no trade table yet
    _ = result.trades
    from_table = result.compute_stats(trades_by=trades_by)
    pd.testing.assert_series_equal(from_log, from_table)


def test_a_month_end_on_a_sunday_is_traded_on_monday_as_if_dated_on_friday():
    bars = pd.DatetimeIndex(["1991-03-27", "1991-03-28", "1991-03-29", "1991-04-01", "1991-04-02"])
    close = pd.DataFrame({"A": [10.0, 10.0, 10.0, 11.0, 12.0]}, index=bars)
    sunday = backtest(weights_on(["1991-03-31"], A=[1.0]), close, rebalance="ME")
    friday = backtest(weights_on(["1991-03-29"], A=[1.0]), close, rebalance="ME")
    np.testing.assert_allclose(sunday.equity, [1.0, 1.0, 12 / 11])  # bought on Monday at 11
    pd.testing.assert_series_equal(sunday.equity, friday.equity)
    pd.testing.assert_frame_equal(sunday.trades, friday.trades)  # signal dates are bars: Friday
    assert sunday.portfolio.attrs["weight_date"] == pd.Timestamp("1991-03-31")  # the row's own date


@pytest.mark.filterwarnings("ignore::vantrel.stats.ShortSampleWarning")
def test_rows_stamped_within_a_daily_bar_count_from_its_close_and_the_latest_wins(small_close):
    # Both rows fall within bar 1: only the 15:00 row is in force at its end; A is bought on bar 2 at 11.
    weights = weights_on(["2024-01-02 09:00", "2024-01-02 15:00"], A=[0.0, 1.0], B=[1.0, 0.0])
    result = backtest(weights, small_close)
    np.testing.assert_allclose(result.equity, [1, 1, 12 / 11, 12 / 11, 9 / 11, 9 / 11, 10 / 11], rtol=1e-15)
    assert list(result.trades["stock"]) == ["A"] and result.trades.loc[0, "entry_date"] == small_close.index[2]
    assert result.portfolio.attrs["next_weight_date"] == pd.Timestamp("2024-01-02 15:00")
    swept = vantrel.sweep(small_close, {"position_limit": [1.0]}, weights=weights, keep_equity=True, workers=1)
    np.testing.assert_array_equal(swept.equity[0].dropna(), result.equity)


def test_what_a_market_keeps_between_calls_never_leaks_from_one_call_into_another():
    """Calendars of explicit dates, the curve's bars and the per-bar rates are kept on the
    market; each call must still give what a fresh market gives, and a result's index its own."""
    market = synthetic_market(12, 300, seed=3)
    weights = momentum_weights(market.close, top=3)
    calls = [
        dict(rebalance=pd.DatetimeIndex(market.index[::21]), risk_free=0.03),
        dict(rebalance=pd.DatetimeIndex(market.index[5::42]), risk_free=-0.0),
        dict(rebalance=pd.DatetimeIndex(market.index[::21]), risk_free=0.0),
    ]
    kept = [backtest(weights, market, **options) for options in calls]
    kept[0].equity.index.name = "renamed"
    for options, result in zip(calls, kept, strict=True):
        fresh = backtest(weights, Market(market.close), **options)
        assert result.equity.index.name == ("renamed" if result is kept[0] else market.index.name)
        assert result.equity.to_numpy().tobytes() == fresh.equity.to_numpy().tobytes()
        assert result.stats.to_numpy().tobytes() == fresh.stats.to_numpy().tobytes()
        assert len(result.trades)  # the table built after the statistics: their dates stay the bars'
        assert result.dates.equals(fresh.dates)
