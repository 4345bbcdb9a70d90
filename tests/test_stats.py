import math

import numpy as np
import pandas as pd
import pytest

from vantrel import performance_dates, performance_stats
from vantrel.stats import ShortSampleWarning

# Five bars spanning exactly 365.25 days, so one year and CAGR == total return.
DATES = pd.DatetimeIndex(["2021-01-01", "2021-04-01", "2021-07-01", "2021-10-01", "2022-01-01 06:00"])
EQUITY = pd.Series([1.0, 1.2, 0.9, 1.08, 1.35], index=DATES)  # returns 0.2, -0.25, 0.2, 0.25


def trades_frame():
    d = DATES
    return pd.DataFrame(
        {
            "stock": ["A", "B", "A"],
            "entry_date": [d[1], d[1], d[3]],
            "exit_date": [d[3], d[2], pd.NaT],
            "weight": [0.5, -0.5, 0.3],
            "bars_held": [2, 1, 2],
            "return": [0.1, -0.04, 0.05],
        }
    )


def test_curve_statistics_match_hand_computation():
    s = performance_stats(EQUITY, periods_per_year=4)
    # mean 0.1; sample std sqrt(0.165 / 3); downside sqrt(0.25**2 / 4) = 0.125
    std = math.sqrt(0.165 / 3)
    assert s["total_return"] == pytest.approx(0.35)
    assert s["cagr"] == pytest.approx(0.35)
    assert s["annual_volatility"] == pytest.approx(std * 2)
    assert s["sharpe"] == pytest.approx(0.1 / std * 2)
    assert s["sortino"] == pytest.approx(0.1 / 0.125 * 2)
    assert s["max_drawdown"] == pytest.approx(-0.25)
    assert s["calmar"] == pytest.approx(0.35 / 0.25)
    d = performance_dates(EQUITY)
    assert (d["max_drawdown_peak"], d["max_drawdown_trough"], d["max_drawdown_recovery"]) == (
        DATES[1],
        DATES[2],
        DATES[4],
    )
    assert (d["start"], d["end"]) == (DATES[0], DATES[4])


def test_returns_passed_for_an_equity_curve_are_refused_with_the_way_to_make_one():
    returns = EQUITY.pct_change().dropna()  # 0.2, -0.25, 0.2, 0.25
    message = (
        "equity is -0.25 on 2021-07-01, at or below 0: the statistics need an equity curve, the portfolio value "
        "per bar, which stays above 0. If these are returns, pass (1 + returns).cumprod(); a portfolio worth 0 "
        "or less has lost everything, and has no return to measure from there"
    )
    for stats in (performance_stats, performance_dates):
        with pytest.raises(ValueError) as error:
            stats(returns)
        assert str(error.value) == message
    assert performance_stats((1 + returns).cumprod())["total_return"] == pytest.approx(1.35 / 1.2 - 1)


def test_bars_per_year_default_to_the_curve_own_frequency():
    explicit = performance_stats(EQUITY, periods_per_year=4)
    inferred = performance_stats(EQUITY)  # 4 returns in one year
    assert inferred["sharpe"] == pytest.approx(explicit["sharpe"])


def test_trade_statistics_match_hand_computation():
    s = performance_stats(EQUITY, trades_frame(), periods_per_year=4, trades_by="record")
    assert s["trades"] == 3
    assert s["win_rate"] == pytest.approx(0.5)  # closed trades only: +0.1 and -0.04
    assert s["profit_factor"] == pytest.approx((0.5 * 0.1) / (0.5 * 0.04))
    assert s["avg_bars_held"] == pytest.approx(5 / 3)
    assert s["exposure"] == pytest.approx(4 / 5)  # bars 1..4 hold something, bar 0 is cash
    # A: enter 0.5, resized to 0.3 on the bar it ended (0.2); B: enter 0.5, exit 0.5
    assert s["turnover"] == pytest.approx((0.5 + 0.2 + 0.5 + 0.5) / 2)


def test_a_curve_that_never_falls_has_no_drawdown_dates():
    s = performance_stats(pd.Series([1.0, 1.0, 1.1], index=DATES[:3]))
    assert s["max_drawdown"] == 0.0
    d = performance_dates(pd.Series([1.0, 1.0, 1.1], index=DATES[:3]))
    assert pd.isna(d["max_drawdown_peak"]) and pd.isna(d["max_drawdown_recovery"])
    assert math.isnan(s["calmar"])


def test_undefined_statistics_are_nan_not_errors():
    flat = performance_stats(pd.Series([1.0, 1.0, 1.0], index=DATES[:3]), trades_frame().iloc[:0], trades_by="record")
    assert math.isnan(flat["sharpe"]) and math.isnan(flat["sortino"])
    assert flat["trades"] == 0
    assert math.isnan(flat["win_rate"]) and math.isnan(flat["profit_factor"])
    assert flat["exposure"] == 0.0
    single = performance_stats(pd.Series([1.0], index=DATES[:1]))
    assert math.isnan(single["cagr"]) and math.isnan(single["annual_volatility"])


def test_unrecovered_drawdown_and_only_winning_trades():
    equity = pd.Series([1.0, 2.0, 1.0, 1.5], index=DATES[:4])
    trades = trades_frame().iloc[[0]]
    s = performance_stats(equity, trades, trades_by="record")
    assert s["max_drawdown"] == pytest.approx(-0.5)
    assert pd.isna(performance_dates(equity)["max_drawdown_recovery"])
    assert s["profit_factor"] == np.inf


# Six bars 73.05 days apart: five returns in exactly one year, so 5 bars per year.
STEP_DATES = pd.Timestamp("2021-01-01") + pd.Timedelta(days=73.05) * np.arange(6)
BENCH_RETURNS = np.array([0.1, -0.1, 0.2, -0.05, 0.05])  # mean 0.04, sample variance 0.01425


def curve(returns, scale=1.0):
    return pd.Series(scale * np.concatenate([[1.0], np.cumprod(1 + np.asarray(returns))]), index=STEP_DATES)


def test_benchmark_statistics_match_hand_computation():
    # The portfolio moves twice the benchmark plus 1% a bar: beta 2, alpha 1% a bar.
    equity = curve(2 * BENCH_RETURNS + 0.01)
    s = performance_stats(equity, benchmark=curve(BENCH_RETURNS, scale=250.0))
    assert s["beta"] == pytest.approx(2.0)
    assert s["alpha"] == pytest.approx(0.01 * 5)
    # active returns are the benchmark's plus 0.01: mean 0.05, deviation sqrt(0.01425)
    assert s["tracking_error"] == pytest.approx(math.sqrt(0.01425 * 5))
    assert s["information_ratio"] == pytest.approx(0.05 / math.sqrt(0.01425) * math.sqrt(5))
    # up bars 0.1, 0.2, 0.05 (portfolio 0.21, 0.41, 0.11); down bars -0.1, -0.05 (-0.19, -0.09)
    up = ((1.21 * 1.41 * 1.11) ** (1 / 3) - 1) / ((1.1 * 1.2 * 1.05) ** (1 / 3) - 1)
    down = ((0.81 * 0.91) ** (1 / 2) - 1) / ((0.9 * 0.95) ** (1 / 2) - 1)
    assert s["up_capture"] == pytest.approx(up) and s["down_capture"] == pytest.approx(down)
    assert s["risk_free"] == 0.0
    assert np.isnan(performance_stats(equity)[["alpha", "beta", "up_capture"]].astype(float)).all()


def test_risk_free_rate_gives_excess_return_ratios():
    equity = curve(2 * BENCH_RETURNS + 0.01)
    annual = 1.01**5 - 1  # 1% a bar over bars a fifth of a year apart
    s = performance_stats(equity, benchmark=curve(BENCH_RETURNS), risk_free=annual)
    # excess returns: portfolio 2b (mean 0.08), benchmark b - 0.01
    assert s["sharpe"] == pytest.approx(0.08 / (2 * math.sqrt(0.01425)) * math.sqrt(5))
    # negative excess returns -0.2 and -0.1: root mean square over 5 bars is 0.1
    assert s["sortino"] == pytest.approx(0.08 / 0.1 * math.sqrt(5))
    assert s["beta"] == pytest.approx(2.0) and s["alpha"] == pytest.approx(0.02 * 5)
    assert s["risk_free"] == annual
    # A series of rates, as of each bar: the same rate from before the first bar on.
    rates = pd.Series([annual, 0.5], index=[STEP_DATES[0] - pd.Timedelta(days=30), STEP_DATES[-1]])
    dated = performance_stats(equity, benchmark=curve(BENCH_RETURNS), risk_free=rates)
    assert dated["sharpe"] == pytest.approx(s["sharpe"]) and dated["risk_free"] == pytest.approx(annual)


def test_benchmark_prices_are_read_as_of_each_bar():
    from vantrel._series import benchmark_curve

    index = pd.DatetimeIndex(["2024-01-02", "2024-01-03", "2024-01-05"])
    prices = pd.Series(
        [50.0, 55.0, np.nan, 60.0], index=pd.DatetimeIndex(["2023-12-29", "2024-01-03", "2024-01-04", "2024-01-06"])
    )
    np.testing.assert_allclose(benchmark_curve(prices, index), [1.0, 1.1, 1.1])  # NaN skipped, no look-ahead
    with pytest.raises(ValueError, match="no price on or before the first bar, 2024-01-02"):
        benchmark_curve(prices.iloc[1:], index)
    with pytest.raises(ValueError, match="positive and finite: -1.0 on 2024-01-06"):
        benchmark_curve(prices.replace(60.0, -1.0), index)
    with pytest.raises(ValueError, match=r"risk_free is 5: annual rates are fractions .* for 5% write 0.05"):
        performance_stats(curve(BENCH_RETURNS), risk_free=5)
    with pytest.raises(ValueError, match="risk_free has no rate on or before the first bar"):
        performance_stats(curve(BENCH_RETURNS), risk_free=pd.Series([0.01], index=STEP_DATES[1:2]))


def test_a_fall_over_several_bars_is_measured_from_the_running_peak():
    from vantrel import BacktestResult

    dates = pd.Timestamp("2021-01-01") + pd.Timedelta(days=365.25 / 7) * np.arange(8)
    equity = pd.Series([1.0, 1.2, 1.1, 0.9, 0.96, 1.2, 1.3, 1.17], index=dates)
    # no single bar falls more than 18.2% (1.1 -> 0.9), the fall from the peak 1.2 is 25%
    s = performance_stats(equity)
    assert s["max_drawdown"] == pytest.approx(-0.25)
    d = performance_dates(equity)
    assert (d["max_drawdown_peak"], d["max_drawdown_trough"], d["max_drawdown_recovery"]) == (
        dates[1],
        dates[3],
        dates[5],
    )
    assert s["cagr"] == pytest.approx(0.17) and s["calmar"] == pytest.approx(0.17 / 0.25)
    result = BacktestResult(equity, pd.DataFrame(), pd.DataFrame())
    np.testing.assert_allclose(result.drawdown, [0, 0, -1 / 12, -0.25, -0.2, 0, 0, -0.1])


def book():
    """Seven records of four round trips, listed in the order the engine closes them."""
    d = pd.bdate_range("2024-01-01", periods=8)
    rows = [  # round trip, stock, entry bar, exit bar (-1: open), profit
        (0, "A", 1, 3, 0.02),
        (1, "B", 1, 2, -0.03),
        (3, "C", 2, 4, 0.04),
        (0, "A", 3, 5, -0.01),
        (3, "C", 4, 6, 0.01),
        (3, "C", 6, 7, -0.02),
        (2, "A", 6, -1, 0.05),
    ]
    trip, stock, entry, exit_, profit = map(list, zip(*rows, strict=True))
    entry, exit_ = np.array(entry), np.array(exit_)
    return pd.DataFrame(
        {
            "stock": stock,
            "round_trip": trip,
            "profit": profit,
            "weight": 0.25,
            "entry_date": d[entry],
            "exit_date": pd.DatetimeIndex([d[e] if e >= 0 else pd.NaT for e in exit_]),
            "bars_held": np.where(exit_ >= 0, exit_ - entry, 8 - entry),
            "entry_bar": entry,
            "exit_bar": exit_,
        }
    ), pd.Series(1.0, index=d)


def test_trades_count_round_trips_by_default_and_records_on_request():
    trades, equity = book()
    with pytest.warns(ShortSampleWarning):
        trips = performance_stats(equity, trades)
    with pytest.warns(ShortSampleWarning):
        records = performance_stats(equity, trades, trades_by="record")
    # round trips: A +0.01 (closed), B -0.03, C +0.03, A +0.05 still open
    assert trips["trades"] == 4 and trips["win_rate"] == pytest.approx(2 / 3)
    assert trips["profit_factor"] == pytest.approx(0.04 / 0.03)
    assert trips["avg_bars_held"] == pytest.approx((4 + 1 + 5 + 2) / 4)
    assert records["trades"] == 7 and records["win_rate"] == pytest.approx(3 / 6)
    assert records["profit_factor"] == pytest.approx(0.07 / 0.06)
    assert records["avg_bars_held"] == pytest.approx(12 / 7)
    assert trips["exposure"] == records["exposure"] == pytest.approx(7 / 8)
    with pytest.raises(ValueError, match='no round_trip column .* pass trades_by="record"'):
        performance_stats(equity, trades.drop(columns="round_trip"), min_years=0)
    with pytest.raises(ValueError, match="trades_by must be"):
        performance_stats(equity, trades, trades_by="trip", min_years=0)


def test_a_short_span_gives_no_annual_figures_but_a_warning():
    hours = pd.date_range("2024-03-04 09:00", periods=200, freq="h")
    moves = np.random.default_rng(1).normal(0.001, 0.003, 199)  # about +0.1% an hour for eight days
    equity = pd.Series(np.cumprod(np.concatenate([[1.0], 1 + moves])), index=hours)
    with pytest.warns(ShortSampleWarning, match=r"8.29 days \(200 bars\), less than min_years=0.25"):
        s = performance_stats(equity, benchmark=equity * 2)
    assert s["total_return"] == pytest.approx(equity.iloc[-1] - 1) and s["beta"] == pytest.approx(1.0)
    for key in ("cagr", "annual_volatility", "sharpe", "sortino", "alpha", "tracking_error"):
        assert np.isnan(s[key]), key
    assert s["up_capture"] == pytest.approx(1.0)  # a ratio per bar: no annualising
    forced = performance_stats(equity, min_years=0)
    assert forced["cagr"] > 100  # over 10,000%: what an eight-day sample extrapolates to
