"""Bad input to vantrel.backtest is refused, with the problem named, before the engine runs."""

import re

import numpy as np
import pandas as pd
import pytest

from vantrel import CostWarning, Market, backtest
from vantrel._backtest.calendar import rebalance_calendar
from vantrel._backtest.stop_inputs import stop_setting


@pytest.fixture
def market(small_close):
    return Market(small_close)


def weights_on(dates, **columns):
    return pd.DataFrame(columns, index=pd.DatetimeIndex(dates), dtype=float)


@pytest.mark.parametrize(
    "weights, error, message",
    [
        (np.ones((2, 2)), TypeError, "weights must be a pandas DataFrame"),
        (pd.DataFrame({"A": [1.0]}), TypeError, "weights must have a DatetimeIndex"),
        (weights_on([], A=[]), ValueError, "weights has no rows"),
        (weights_on(["2024-01-03", "2024-01-02"], A=[1, 1]), ValueError, "not sorted ascending"),
        (weights_on(["2024-01-02", "2024-01-02"], A=[1, 1]), ValueError, "duplicate dates: 2024-01-02"),
        (
            pd.DataFrame([[0.5, 0.5]], index=pd.DatetimeIndex(["2024-01-02"]), columns=["A", "A"]),
            ValueError,
            "duplicate columns: 'A'",
        ),
        (weights_on(["2024-01-02"], A=[np.inf]), ValueError, "infinite values: 'A' on 2024-01-02"),
        (weights_on(["2024-01-02"], A=[0.5], Z=[0.5]), ValueError, "no price column in the market: 'Z'"),
        (weights_on(["2025-01-02"], A=[1.0]), ValueError, "after the last price date"),
        (pd.DataFrame({"A": ["x"]}, index=pd.DatetimeIndex(["2024-01-02"])), TypeError, "non-numeric columns: 'A'"),
        (weights_on(pd.DatetimeIndex(["2024-01-02"]).tz_localize("UTC"), A=[1.0]), ValueError, "timezone"),
    ],
)
def test_bad_weights_are_named(market, weights, error, message):
    with pytest.raises(error, match=message):
        backtest(weights, market)


@pytest.mark.parametrize(
    "options, error, message",
    [
        (dict(trade_at="vwap"), ValueError, 'trade_at must be "close" or "open"'),
        (dict(trade_at="open"), ValueError, "needs open prices"),
        (dict(touched_exit=True), ValueError, "needs open, high and low prices"),
        (dict(fee_ratio=-0.001), ValueError, "fee_ratio must be at least 0"),
        (dict(tax_ratio=np.nan), ValueError, "tax_ratio must not be NaN"),
        (dict(fee_ratio="0.1"), TypeError, "fee_ratio must be a number"),
        (dict(position_limit=0), ValueError, "position_limit must be positive"),
        (dict(excursion_window=-1), ValueError, "excursion_window must be at least 0"),
        (dict(excursion_window_step=0), ValueError, "excursion_window_step must be at least 1"),
        (dict(excursion_window=2.5), TypeError, "excursion_window must be an integer"),
        (
            dict(excursion_window=9),
            ValueError,
            (
                "excursion_window is 9, more than the market's 8 bars: trades are sampled over the bars after "
                "their entry, so the window can be at most 8"
            ),
        ),
        (dict(stop_loss=-0.1), ValueError, "stop_loss must be at least 0"),
        (dict(stop_loss=pd.Series({"Z": 0.1})), ValueError, "stop_loss names stocks that have no prices: 'Z'"),
        (dict(take_profit=pd.Series({"A": -0.1})), ValueError, "take_profit thresholds must not be negative"),
        (dict(stop_loss="tight"), TypeError, "stop_loss must be a number"),
        (dict(rebalance="fortnightly"), ValueError, "not a pandas offset alias"),
        (
            dict(stop_loss=10),
            ValueError,
            (
                r"stop_loss is 10, above 1: stop levels are fractions of the entry "
                r"price \(0.1 = 10%\), so 10 would mean 1000%; for 10% write 0.1"
            ),
        ),
        (dict(take_profit=pd.Series({"A": 0.2, "B": 20})), ValueError, "take_profit for 'B' is 20, above 1"),
        (
            dict(stop_loss=pd.DataFrame({"B": [0.1, 15]}, index=pd.DatetimeIndex(["2024-01-02", "2024-01-04"]))),
            ValueError,
            "stop_loss for 'B' on 2024-01-04 is 15, above 1",
        ),
        (dict(trail_stop=5), ValueError, "trail_stop is 5, above 1"),
        (
            dict(fee_ratio=1.5),
            ValueError,
            re.escape(
                "fee_ratio is 1.5, 1 or more: costs are fractions of the value traded (0.001425 = 0.1425%), "
                "so 1.5 would charge 150% of every trade; for 1.5% write 0.015"
            ),
        ),
        (
            dict(tax_ratio=1),
            ValueError,
            re.escape("tax_ratio is 1, 1 or more: costs are fractions of the value traded"),
        ),
        (
            dict(benchmark="SPY"),
            ValueError,
            "benchmark must be a price Series, a stock label of the market, or \"equal_weight\"; 'SPY' is not",
        ),
        (dict(benchmark=pd.DataFrame({"A": [1.0]})), TypeError, "benchmark must be .*; got a DataFrame"),
        (
            dict(benchmark=pd.Series([1.0], index=pd.DatetimeIndex(["2024-01-05"]))),
            ValueError,
            "the benchmark has no price on or before the first bar, 2024-01-02",
        ),
        (dict(risk_free=4.0), ValueError, "risk_free is 4: annual rates are fractions .* for 4% write 0.04"),
        (dict(rebalance=["2024-01-05", None]), ValueError, "missing"),
        (dict(rebalance=[]), ValueError, "rebalance has no dates"),
    ],
)
def test_bad_options_are_named(market, options, error, message):
    weights = weights_on(["2024-01-02"], A=[1.0])
    with pytest.raises(error, match=message):
        backtest(weights, market, **options)


def test_a_cost_above_5_percent_is_used_with_a_warning_that_it_looks_like_a_percentage(market):
    weights = weights_on(["2024-01-02"], A=[1.0])
    with pytest.warns(CostWarning) as caught:
        backtest(weights, market, tax_ratio=0.1425)
    assert str(caught[0].message) == (
        "tax_ratio is 0.1425: 14.25% of every sale, which looks like a percentage typed as a number; costs are "
        "fractions of the value traded (0.001425 = 0.1425%), so for 0.1425% write 0.001425"
    )
    assert caught[0].filename == __file__  # the user's call, not vantrel's insides
    backtest(weights, market, fee_ratio=0.05, tax_ratio=0.05)  # no warning up to 5% (warnings are errors here)


def test_a_word_for_a_frequency_gets_one_message_with_the_alias_meant(market):
    with pytest.raises(ValueError) as error:
        backtest(weights_on(["2024-01-02"], A=[1.0]), market, rebalance="monthly")
    assert str(error.value) == (
        "rebalance='monthly' is not a pandas offset alias: did you mean 'ME' (month end)? common ones are "
        "'W-FRI' (weekly, Fridays), 'ME' (month end), 'QE' (quarter end), 'YE' (year end)"
    )
    with pytest.raises(ValueError, match="did you mean 'W-FRI'"):
        backtest(weights_on(["2024-01-02"], A=[1.0]), market, rebalance="W-FR")


def test_weights_on_a_stock_without_any_price_are_refused(small_close):
    close = small_close.assign(D=np.nan)
    with pytest.raises(
        ValueError,
        match=r"close prices are all NaN: 'D' \(e.g. 0.5 for 'D' on 2024-01-03\); "
        "drop them from the weights or give them prices",
    ):
        backtest(weights_on(["2024-01-02", "2024-01-03"], A=[1.0, 0.5], D=[0.0, 0.5]), close)
    backtest(weights_on(["2024-01-02"], A=[1.0], D=[np.nan]), close)  # no weight on it: harmless


def test_labels_equal_as_text_are_refused(small_close):
    # The engine knows stocks by their text: with 1 beside "1" it would trade the wrong one.
    with pytest.raises(ValueError, match="close has column labels that are equal as text: 1 and '1'; make"):
        backtest(
            weights_on(["2024-01-02"], A=[1.0]).set_axis(["1"], axis=1), small_close.set_axis([1, "1", "C"], axis=1)
        )
    weights = pd.DataFrame([[0.5, 0.5]], index=pd.DatetimeIndex(["2024-01-02"]), columns=[1, "1"])
    with pytest.raises(ValueError, match="weights has column labels that are equal as text: 1 and '1'"):
        backtest(weights, small_close.set_axis([1, "B", "C"], axis=1))


def test_dates_in_another_time_zone_are_refused(small_close):
    prices = Market(small_close.tz_localize("America/New_York"))
    weights = weights_on(["2024-01-02"], A=[1.0])
    with pytest.raises(
        ValueError,
        match=r"the dates of weights are in UTC and those of the prices in "
        r"America/New_York: .* convert one, e.g. .tz_convert\('America/New_York'\)",
    ):
        backtest(weights.tz_localize("UTC"), prices)
    with pytest.raises(
        ValueError,
        match=r"the dates of weights are timezone-naive and those of the prices in "
        r"America/New_York: .* e.g. .tz_localize\('America/New_York'\)",
    ):
        backtest(weights, prices)
    assert backtest(weights.tz_localize("America/New_York"), prices).trades.loc[0, "entry_date"] == (prices.index[2])


def test_market_must_be_a_market(small_close):
    with pytest.raises(TypeError, match="market must be a Market"):
        backtest(weights_on(["2024-01-02"], A=[1.0]), small_close.to_numpy())


def test_rebalance_calendar_forms(small_close):
    index = small_close.index  # 2024-01-01 (Mon) .. 2024-01-10 (Wed)
    signals = pd.DatetimeIndex(["2024-01-02", "2024-01-05"])
    assert list(rebalance_calendar(None, index, signals)) == list(signals.as_unit("ns").asi8)
    fridays = pd.to_datetime(rebalance_calendar("W-FRI", index, signals))
    # every Friday from the first bar through the week that holds the last bar
    assert list(fridays) == list(pd.DatetimeIndex(["2024-01-05", "2024-01-12"]))
    month = pd.to_datetime(rebalance_calendar("ME", index, signals))
    assert list(month) == [pd.Timestamp("2024-01-31")]
    explicit = rebalance_calendar(["2024-01-09", "2024-01-03", "2024-01-09"], index, signals)
    assert list(pd.to_datetime(explicit)) == list(pd.DatetimeIndex(["2024-01-03", "2024-01-09"]))
    assert explicit.dtype == np.int64


def test_stop_settings_become_tables(small_close):
    market = Market(small_close)
    labels = pd.Index(["A", "C"])
    plain = stop_setting(0.1, "stop_loss", 1.0, market, labels)
    assert plain.values.shape == (1, 2) and (plain.rows == 0).all() and len(plain.rows) == 8
    assert stop_setting(1.0, "stop_loss", 1.0, market, labels) is None  # the whole entry price: no stop
    per_stock = stop_setting(pd.Series({"C": 0.2, "B": 0.3}), "stop_loss", 1.0, market, labels)
    np.testing.assert_array_equal(per_stock.values, [[1.0, 0.2]])  # A missing: no stop
    dated = pd.DataFrame({"A": [0.1, np.nan], "C": [0.2, 0.3]}, index=pd.DatetimeIndex(["2024-01-03", "2024-01-06"]))
    table = stop_setting(dated, "take_profit", np.inf, market, labels)
    np.testing.assert_array_equal(table.values, [[np.inf, np.inf], [0.1, 0.2], [np.inf, 0.3]])
    # bars Mon 1 .. Wed 10; rows as of each bar: before the 3rd none, the 6th (Sat) applies from Mon 8
    np.testing.assert_array_equal(table.rows, [0, 0, 1, 1, 1, 2, 2, 2])
