import re

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


GAPPED = ["2024-01-01", "2024-01-02", "2024-01-05", "2024-01-08"]  # no bars on 3 and 4 January


def test_volume_is_aligned_by_label_read_only_and_shown():
    close = frame(PRICES, GAPPED)
    given = frame([[1, 2], [3, 4], [5, 6], [7, 8]], GAPPED, columns=("B", "A"))
    market = Market(close, volume=given)
    assert market.has("volume") and not Market(close).has("volume")
    np.testing.assert_array_equal(market.values("volume")[:, 0], [2, 4, 6, 8])
    assert not market.values("volume").flags.writeable
    view = market.volume
    view.iloc[0, 0] = 99.0  # a copy
    assert market.values("volume")[0, 0] == 2 and given.iloc[0, 0] == 1
    assert repr(market).endswith("close, volume)")
    assert Market(close).with_data(volume=given).values("volume")[0, 0] == 2


def test_dividends_and_splits_become_sorted_events_on_the_next_bar():
    close = frame(PRICES, GAPPED)
    dividends = frame(
        [[0.5, 0], [np.nan, 0.2], [0.1, np.nan], [0.3, np.nan]],
        ["2024-01-01", "2024-01-03", "2024-01-04", "2024-01-05"],
    )
    splits = frame([[2, 1], [np.nan, 3], [2, np.nan]], ["2024-01-03", "2024-01-04", "2024-01-05"])
    market = Market(close, dividends=dividends, splits=splits)
    # 3 and 4 January fall on the bar of the 5th; A's two dividends there add up, its splits multiply.
    events = market.dividend_events
    assert (events.bars.tolist(), events.columns.tolist(), events.amounts.tolist()) == (
        [0, 2, 2],
        [0, 0, 1],
        [0.5, 0.4, 0.2],
    )
    events = market.split_events
    assert (events.bars.tolist(), events.columns.tolist(), events.amounts.tolist()) == ([2, 2], [0, 1], [4.0, 3.0])
    assert events.bars.dtype == np.int64 and not events.amounts.flags.writeable
    assert len(Market(close).dividend_events) == 0
    assert repr(market).endswith("close, 3 dividends, 2 splits)")


@pytest.mark.parametrize(
    "data, error, message",
    [
        (
            dict(volume=frame([[1, 2], [3, -4], [5, 6], [7, 8]])),
            ValueError,
            "volume must not be negative: 'B' on 2024-01-02: -4.0",
        ),
        (
            dict(volume=frame([[1, 2], [3, np.inf], [5, 6], [7, 8]])),
            ValueError,
            "volume has infinite values: 'B' on 2024-01-02",
        ),
        (
            dict(volume=frame(PRICES).astype({"B": object}).assign(B="x")),
            TypeError,
            "volume has non-numeric columns: 'B'",
        ),
        (dict(volume=frame(PRICES[:3])), ValueError, "volume does not have the same dates as the close prices"),
        (
            dict(volume=frame(PRICES, columns=("A", "C"))),
            ValueError,
            "volume does not have the same stocks as the close prices: missing 'B'; extra 'C'",
        ),
        (
            dict(dividends=frame([[0.5, -0.1]], ["2024-01-02"])),
            ValueError,
            "dividends must be at least 0 (cash per share, 0 or NaN for none): 'B' on 2024-01-02: -0.1",
        ),
        (
            dict(dividends=frame([[0.5]], ["2024-01-02"], columns=("Z",))),
            ValueError,
            "dividends names stocks that are not in the market: 'Z'",
        ),
        (
            dict(dividends=frame([[0.5, np.nan]], ["2023-12-29"])),
            ValueError,
            (
                "dividends dated before the first bar (2024-01-01): 'A' on 2023-12-29: 0.5; keep the events within "
                "the prices' dates, e.g. dividends.loc[market.index[0]:market.index[-1]]"
            ),
        ),
        (
            dict(splits=frame([[np.nan, 2]], ["2024-01-05"])),
            ValueError,
            "splits dated after the last bar (2024-01-04): 'B' on 2024-01-05: 2;",
        ),
        (
            dict(splits=frame([[0, np.nan]], ["2024-01-03"])),
            ValueError,
            (
                "splits must be positive (new shares per old share, e.g. 2 for a 2-for-1 split; NaN or 1 for none): "
                "'A' on 2024-01-03: 0"
            ),
        ),
        (dict(splits=pd.Series([2.0])), TypeError, "splits must be a pandas DataFrame (dates x stocks), got Series"),
    ],
)
def test_bad_volume_dividends_and_splits_are_named(data, error, message):
    with pytest.raises(error, match=re.escape(message)):
        Market(frame(PRICES), **data)
