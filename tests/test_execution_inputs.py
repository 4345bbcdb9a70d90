"""Bad execution options are refused before the engine runs, naming the option;
the array entry refuses what would mislead its kernel, whoever calls it."""

import numpy as np
import pandas as pd
import pytest

import vantrel
from execution_books import market, weights

_engine = pytest.importorskip("vantrel.core._engine")

MEANT = "(Market(..., volume=...))"


@pytest.mark.parametrize(
    "options, error, message",
    [
        (dict(capital=0), ValueError, "capital must be positive, got 0"),
        (dict(capital="1e6"), TypeError, "capital must be a number, got str"),
        (dict(capital=1e4, lot_size=0), ValueError, "lot_size must be positive, got 0"),
        (
            dict(capital=1e4, lot_size=pd.Series({"A": 100, "B": -1})),
            ValueError,
            "lot_size must be positive for 'B', got -1",
        ),
        (
            dict(capital=1e4, lot_size=pd.Series({"A": 100})),
            ValueError,
            "lot_size has no value for stocks of the weights: 'B'",
        ),
        (
            dict(capital=1e4, lot_size=pd.Series({"A": 1, "B": 1, "Z": 1})),
            ValueError,
            "lot_size names stocks that are not in the weights: 'Z'",
        ),
        (dict(lot_size=100), ValueError, "lot_size needs capital: whole lots are counted in shares"),
        (dict(capital=1e4, min_fee=-1), ValueError, "min_fee must not be negative, got -1"),
        (dict(min_fee=5), ValueError, "min_fee needs capital: a minimum fee is an amount of currency"),
        (dict(slippage=-0.01), ValueError, "slippage must not be negative, got -0.01"),
        (dict(slippage=1.5), ValueError, "slippage must be below 1 (a fraction of the price), got 1.5"),
        (dict(impact=-1), ValueError, "impact must not be negative, got -1"),
        (dict(impact=0.1), ValueError, f"impact needs volume in the market {MEANT}"),
        (dict(participation=0), ValueError, "participation must be in (0, 1], a share of each bar's volume, got 0"),
        (dict(participation=1.5), ValueError, "participation must be in (0, 1], a share of each bar's volume, got 1.5"),
        (dict(participation=0.1), ValueError, f"participation needs volume in the market {MEANT}"),
        (dict(price_limit=0), ValueError, "price_limit must be positive, got 0"),
        (dict(cash_rate=-0.01), ValueError, "cash_rate must not be negative, got -0.01"),
        (dict(cash_rate=5), ValueError, "cash_rate is 5: annual rates are fractions (0.05 = 5%); for 5% write 0.05"),
        (
            dict(cash_rate=pd.Series([0.01, -0.01], index=pd.to_datetime(["2024-01-01", "2024-01-02"]))),
            ValueError,
            "cash_rate is -0.01 on 2024-01-02: annual rates are fractions from 0 to 1",
        ),
        (
            dict(cash_rate=pd.Series([0.01], index=pd.to_datetime(["2024-01-03"]))),
            ValueError,
            "cash_rate has no rate on or before the first bar, 2024-01-01",
        ),
        (dict(borrow_rate=-0.1), ValueError, "borrow_rate must not be negative, got -0.1"),
        (dict(margin_rate=-0.1), ValueError, "margin_rate must not be negative, got -0.1"),
        (dict(leverage=0), ValueError, "leverage must be positive, got 0"),
    ],
)
def test_bad_options_are_refused_before_the_run(options, error, message):
    m = market([[10, 20], [11, 21], [12, 22]])
    with pytest.raises(error) as raised:
        vantrel.backtest(weights(m, {0: [0.5, 0.5]}), m, **options)
    assert str(raised.value).startswith(message)


def call(**changes) -> dict:
    prices = np.array([[10.0, 20.0], [11.0, 19.0], [12.0, 18.0], [13.0, 17.0]])
    arguments = dict(
        prices=prices,
        close=prices,
        bar_dates=np.arange(4, dtype=np.int64),
        weights=np.array([[0.5, 0.5]]),
        weight_dates=np.zeros(1, dtype=np.int64),
        stock_columns=np.array([0, 1], dtype=np.int64),
        calendar=np.arange(4, dtype=np.int64),
    )
    return {**arguments, **changes}


EVENTS = dict(split_bars=np.array([1, 2]), split_columns=np.array([0, 0]), split_ratios=np.array([2.0, 2.0]))


@pytest.mark.parametrize(
    "changes, message",
    [
        (dict(capital=-1.0), "run: capital is -1.0: capital must be positive and finite"),
        (
            dict(capital=1e4, lot_size=np.array([100.0, 0.0])),
            "run: lot_size[1] is 0.0: lots must be positive and finite",
        ),
        (dict(lot_size=100.0), "run: lot_size needs capital"),
        (dict(participation=0.5), "run: participation needs volume"),
        (dict(slippage=np.array([0.1])), "run: slippage has shape (1,), expected (2,): one per column of weights"),
        (dict(volume=np.ones((3, 2))), "run: volume has shape (3, 2), expected (4, 2)"),
        (dict(cash_rate=np.array([0.01, np.nan, 0.0, 0.0])), "run: cash_rate[1] is nan: annual rates must be"),
        (dict(dividend_bars=np.array([1])), "run: dividend_bars, dividend_columns and dividend_amounts go together"),
        ({**EVENTS, "split_bars": np.array([2, 1])}, "run: split_bars must be sorted: split_bars[1] is 1, before 2"),
        ({**EVENTS, "split_bars": np.array([1, 4])}, "run: split_bars[1] is 4, outside the 4 bars"),
        ({**EVENTS, "split_ratios": np.array([2.0, -1.0])}, "run: split_ratios[1] is -1.0: split ratios must be"),
    ],
)
def test_the_array_entry_refuses_what_its_kernel_cannot_use(changes, message):
    with pytest.raises(ValueError) as raised:
        _engine.run(**call(**changes))
    assert str(raised.value).startswith(message)
