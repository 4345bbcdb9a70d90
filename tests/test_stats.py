import math

import numpy as np
import pandas as pd
import pytest

from vantrel import performance_stats

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
    assert (s["max_drawdown_peak"], s["max_drawdown_trough"], s["max_drawdown_recovery"]) == (
        DATES[1], DATES[2], DATES[4])
    assert (s["start"], s["end"]) == (DATES[0], DATES[4])


def test_bars_per_year_default_to_the_curve_own_frequency():
    explicit = performance_stats(EQUITY, periods_per_year=4)
    inferred = performance_stats(EQUITY)  # 4 returns in one year
    assert inferred["sharpe"] == pytest.approx(explicit["sharpe"])


def test_trade_statistics_match_hand_computation():
    s = performance_stats(EQUITY, trades_frame(), periods_per_year=4)
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
    assert pd.isna(s["max_drawdown_peak"]) and pd.isna(s["max_drawdown_recovery"])
    assert math.isnan(s["calmar"])


def test_undefined_statistics_are_nan_not_errors():
    flat = performance_stats(pd.Series([1.0, 1.0, 1.0], index=DATES[:3]),
                             trades_frame().iloc[:0])
    assert math.isnan(flat["sharpe"]) and math.isnan(flat["sortino"])
    assert flat["trades"] == 0
    assert math.isnan(flat["win_rate"]) and math.isnan(flat["profit_factor"])
    assert flat["exposure"] == 0.0
    single = performance_stats(pd.Series([1.0], index=DATES[:1]))
    assert math.isnan(single["cagr"]) and math.isnan(single["annual_volatility"])


def test_unrecovered_drawdown_and_only_winning_trades():
    equity = pd.Series([1.0, 2.0, 1.0, 1.5], index=DATES[:4])
    trades = trades_frame().iloc[[0]]
    s = performance_stats(equity, trades)
    assert s["max_drawdown"] == pytest.approx(-0.5)
    assert pd.isna(s["max_drawdown_recovery"])
    assert s["profit_factor"] == np.inf
