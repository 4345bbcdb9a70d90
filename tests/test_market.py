import numpy as np
import pandas as pd
import pytest

from vantrel import Market


def frame(values, dates=None, columns=("A", "B")):
    dates = pd.bdate_range("2024-01-01", periods=len(values)) if dates is None else pd.DatetimeIndex(dates)
    return pd.DataFrame(values, index=dates, columns=list(columns), dtype=float)


PRICES = [[10, 20], [11, 21], [12, 22], [13, 23]]


@pytest.mark.parametrize(
    "close, message",
    [
        (frame(PRICES, ["2024-01-02", "2024-01-01", "2024-01-03", "2024-01-04"]), "not sorted ascending"),
        (frame(PRICES, ["2024-01-01", "2024-01-02", "2024-01-02", "2024-01-03"]), "duplicate dates: 2024-01-02"),
        (frame(PRICES, columns=("A", "A")), "duplicate columns: 'A'"),
        (frame([[10, np.inf], [11, 21], [12, 22], [13, 23]]), "infinite values: 'B' on 2024-01-01"),
        (frame([[10, 20], [0, 21], [12, 22], [13, 23]]), "positive where present: 'A' on 2024-01-02: 0.0"),
        (frame([[10, 20], [11, -21], [12, 22], [13, 23]]), "'B' on 2024-01-02: -21.0"),
        (frame(PRICES).iloc[:0], "close has no rows"),
    ],
)
def test_bad_close_prices_are_named(close, message):
    with pytest.raises(ValueError, match=message):
        Market(close)


def test_close_must_be_dated_numbers():
    with pytest.raises(TypeError, match="DatetimeIndex"):
        Market(pd.DataFrame({"A": [1.0, 2.0]}))
    bad = frame(PRICES).astype({"B": object})
    bad.loc[bad.index[0], "B"] = "n/a"
    with pytest.raises(TypeError, match="non-numeric columns: 'B'"):
        Market(bad)
    with pytest.raises(TypeError, match="DataFrame"):
        Market(np.ones((3, 2)))


def test_other_prices_are_aligned_to_the_close_by_label():
    close = frame(PRICES)
    open_ = frame([[p[1] + 0.5, p[0] + 0.5] for p in PRICES], columns=("B", "A"))
    market = Market(close, open=open_)
    assert list(market.open.columns) == ["A", "B"]
    np.testing.assert_array_equal(market.values("open")[:, 0], [10.5, 11.5, 12.5, 13.5])


@pytest.mark.parametrize(
    "other, message",
    [
        (frame(PRICES[:3]), "same dates"),
        (frame(PRICES, pd.bdate_range("2024-02-01", periods=4)), "same dates"),
        (frame(PRICES, columns=("A", "C")), "missing 'B'; extra 'C'"),
    ],
)
def test_mismatched_frames_are_rejected(other, message):
    with pytest.raises(ValueError, match=message):
        Market(frame(PRICES), high=other)


def test_caller_frames_are_copied_not_modified():
    close = frame([[10, np.nan], [11, 21], [12, 22], [13, 23]])
    before = close.copy()
    market = Market(close)
    market.values("close")[0, 0] = 99.0
    pd.testing.assert_frame_equal(close, before)
    view = market.close
    view.iloc[1, 0] = 77.0
    assert market.values("close")[1, 0] == 11.0


def test_inconsistent_bars_are_refused_naming_the_first():
    close = frame(PRICES)  # A 10..13, B 20..23
    high, low, open_ = close * 1.01, close * 0.99, close.copy()
    low.iloc[2, 1] = 22.1  # B closes at 22 below its low on 2024-01-03
    open_.iloc[3, 0] = 13.5  # A opens above its high on 2024-01-04
    with pytest.raises(
        ValueError,
        match=r"inconsistent bar: the close of 'B' on 2024-01-03 \(22\) is below its "
        r"low \(22.1\); 2 bars are inconsistent. Fix the prices, or pass "
        r"Market\(..., ohlc_tolerance=0.001\)",
    ):
        Market(close, open=open_, high=high, low=low)
    with pytest.raises(ValueError, match=r"the open of 'A' on 2024-01-04 \(13.5\) is above its high \(13.13\)"):
        Market(close, open=open_, high=high, low=low, ohlc_tolerance=0.005)  # 22 is within 0.5% of 22.1
    Market(close, open=open_, high=high, low=low, ohlc_tolerance=0.03)
    Market(close, open=open_, high=low, low=high, ohlc_tolerance=None)  # unchecked
    with pytest.raises(ValueError, match=r"the high of 'A' on 2024-01-01 \(9.9\) is below its low \(10.1\)"):
        Market(close, high=low, low=high)


def test_delisting_dates_map_to_the_last_bar_on_or_before_them():
    close = frame(PRICES, ["2024-01-01", "2024-01-02", "2024-01-05", "2024-01-08"])
    market = Market(close, delisting={"A": "2024-01-03", "B": "2024-01-08"})
    np.testing.assert_array_equal(market.delisting_bars(["B", "A"]), [3, 1])
    assert market.delisting_bars(["A"]).dtype == np.int64
    np.testing.assert_array_equal(Market(close).delisting_bars(["A", "B"]), [-1, -1])


def test_delisting_can_be_inferred_from_the_last_price():
    close = frame([[10, 20], [11, np.nan], [np.nan, 22], [np.nan, 23]], columns=("A", "B"))
    market = Market(close, delisting="infer")
    assert market.delisting["A"] == close.index[1]
    assert pd.isna(market.delisting["B"])  # a gap that ends is a suspension, not a delisting
    np.testing.assert_array_equal(market.delisting_bars(["A", "B"]), [1, -1])


@pytest.mark.parametrize(
    "delisting, message",
    [
        ({"Z": "2024-01-02"}, "no prices: 'Z'"),
        ({"A": "2023-12-01"}, "before the first price date"),
        ({"A": "not a date"}, "could not be read as dates"),
        ("guess", '"infer"'),
    ],
)
def test_bad_delisting_is_rejected(delisting, message):
    with pytest.raises(ValueError, match=message):
        Market(frame(PRICES), delisting=delisting)


def test_timezone_aware_prices_keep_their_instants():
    dates = pd.date_range("2024-01-01 09:30", periods=4, freq="D", tz="America/New_York")
    market = Market(frame(PRICES, dates), delisting={"A": pd.Timestamp("2024-01-02 20:00", tz="UTC")})
    assert market.index_ns[0] == pd.Timestamp("2024-01-01 14:30", tz="UTC").value
    assert market.delisting_bars(["A"])[0] == 1
    with pytest.raises(ValueError, match="timezone"):
        Market(frame(PRICES, dates), delisting={"A": "2024-01-02"})
