"""Excursion statistics of single trades, driven through the native session
functions exactly as the engine drives them."""

import math
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from excursion_reference import excursion_statistics
from vantrel.core import _exvalo_testing as session
from vantrel.core import exvalo

NAN = math.nan
INT_MIN = -(2**31)


def as_matrix(prices):
    m = np.asarray(prices, dtype=float)
    return m.reshape(len(m), 1) if m.ndim == 1 else m


def analyse(
    trade,
    close,
    *,
    entry_bar,
    exit_bar,
    weight=1.0,
    full_entry=1,
    full_exit=1,
    fee=0.0,
    tax=0.0,
    window=0,
    step=1,
    column_map=None,
    sid=0,
    n_columns=1,
):
    session.start_analysis(
        as_matrix(trade),
        as_matrix(close),
        {sid: 0} if column_map is None else column_map,
        n_columns,
        fee,
        tax,
        window,
        step,
    )
    session.record_date(entry_bar)
    session.record_entry(sid, weight, full_entry)
    session.record_date(exit_bar)
    session.record_exit(sid, full_exit)
    return exvalo.exvalo[-1]


def records(stats):
    return stats.reshape(-1, 6).tolist()


CLOSES = [125.0, 100.0, 150.0, 225.0]


def test_long_trade_filled_at_the_exit_price():
    stats = analyse([100, 100, 100, 112.5], CLOSES, entry_bar=0, exit_bar=3)
    # values 1.25, 1.0, 1.5, 2.25; the exit fill at half the close makes 1.125
    assert records(stats) == [[0.0, 1.25, 0.25, 1.0 / 1.25 - 1, 3.0, 0.125]]


def test_short_trade_gains_when_the_price_falls():
    stats = analyse([100, 100, 75], CLOSES[:3], entry_bar=0, exit_bar=2, weight=-0.5)
    # values 0.75, 1.0, 0.5; the low is set on the last bar, after the flat bar
    assert records(stats) == [[-0.5, 0.0, 0.0, -0.5, 0.0, 0.25]]


def test_entry_on_its_own_bar():
    long_ = analyse([100], [110], entry_bar=0, exit_bar=0, full_exit=0)
    v = 110 / 100
    assert records(long_) == [[0.0, v - 1, v - 1, 0.0, 1.0, v - 1]]
    short = analyse([100], [110], entry_bar=0, exit_bar=0, weight=-1.0, full_exit=0)
    v = 2 - 110 / 100
    assert records(short) == [[v - 1, 0.0, 0.0, v - 1, 0.0, v - 1]]


def test_fees_on_the_entry_and_costs_on_the_exit():
    stats = analyse([100, 100, 100, 112.5], CLOSES, entry_bar=0, exit_bar=3, fee=0.25, tax=0.125)
    # 0.9375 after the entry fee, then 0.75, 1.125, 1.6875; exit fill 0.84375
    # and the exit costs (1 - 0.25 - 0.125) leave 0.52734375
    assert records(stats) == [[-0.25, 0.6875, 0.0, -0.25, 2.0, 0.52734375 - 1]]


def test_same_bar_full_exit_pays_costs_without_a_fill_adjustment():
    stats = analyse([100], [125], entry_bar=0, exit_bar=0, fee=0.25, tax=0.25)
    assert stats[5] == 0.75 * 1.25 * 0.5 - 1


def test_nan_close_keeps_the_value_and_is_no_profitable_bar():
    stats = analyse([100] * 5, [125, NAN, 100, NAN, 150], entry_bar=0, exit_bar=4, full_exit=0, window=5)
    rows = np.array(records(stats))
    assert rows[:5, 5].tolist() == [0.25, 0.25, 0.0, 0.0, 0.5]
    assert rows[:5, 4].tolist() == [1.0, 1.0, 1.0, 1.0, 2.0]
    assert rows[5].tolist() == rows[4].tolist()


def test_nan_entry_close_leaves_the_whole_trade_undefined():
    stats = analyse([100] * 3, [NAN, 100, 150], entry_bar=0, exit_bar=2, full_exit=0)
    assert np.array_equal(stats, [NAN, NAN, NAN, 0.0, 0.0, NAN], equal_nan=True)


DOUBLING = [2.0**k for k in range(12)]


def doubling_record(p):
    return [0.0, 2.0**p - 1, 0.0, 0.0, float(p), 2.0**p - 1]


def test_window_samples_every_step_and_the_exit():
    stats = analyse(DOUBLING, DOUBLING, entry_bar=0, exit_bar=10, window=5, step=2)
    assert len(stats) == 24
    assert records(stats) == [doubling_record(p) for p in (0, 2, 4, 10)]


def test_window_reaches_past_an_early_exit():
    trade = DOUBLING.copy()
    trade[1] = 1.5  # filled at 3/4 of the close
    stats = analyse(trade, DOUBLING, entry_bar=0, exit_bar=1, tax=0.25, window=5, step=2)
    # the samples stay close-based; the exit record holds the fill and costs
    assert records(stats)[:3] == [doubling_record(p) for p in (0, 2, 4)]
    assert records(stats)[3] == [0.0, 1.0, 0.0, 0.0, 1.0, 2.0 * 0.75 * 0.75 - 1]


def test_window_ending_at_the_exit():
    stats = analyse([100, 100, 100, 112.5], CLOSES, entry_bar=0, exit_bar=3, window=2)
    assert records(stats) == [
        [0.0, 0.25, 0.25, 0.0, 1.0, 0.25],
        [0.0, 0.25, 0.25, 1.0 / 1.25 - 1, 1.0, 0.0],
        [0.0, 1.25, 0.25, 1.0 / 1.25 - 1, 3.0, 0.125],
    ]


def test_span_cut_by_the_end_of_the_data():
    stats = analyse(DOUBLING[:4], DOUBLING[:4], entry_bar=1, exit_bar=2, full_exit=0, window=5)
    rows = records(stats)
    assert len(rows) == 6
    assert rows[:3] == [doubling_record(p) for p in (0, 1, 2)]
    assert rows[3] == rows[4] == [-1.0] * 6
    assert rows[5] == doubling_record(1)


def test_exit_before_the_entry_reports_the_end_of_the_span():
    stats = analyse(DOUBLING, DOUBLING, entry_bar=3, exit_bar=1, full_exit=0, window=2, step=5)
    assert records(stats)[-1] == doubling_record(2)


@pytest.mark.parametrize(
    "window, step, length",
    [(0, 1, 6), (1, 1, 12), (5, 2, 24), (4, 3, 18), (0, 2, 6), (-2, 4, 6), (0, -1, 18), (2, -1, 6)],
)
def test_result_length_rounds_the_sample_count_down(window, step, length):
    stats = analyse([1.0, 1.0], [1.0, 1.0], entry_bar=0, exit_bar=1, full_exit=0, window=window, step=step)
    assert len(stats) == length
    assert stats[-6:].tolist() == [0.0, 0.0, 0.0, 0.0, 0.0, 0.0]


@pytest.mark.parametrize(
    "window, step, error, message",
    [
        (0, 0, ZeroDivisionError, "integer division or modulo by zero"),
        (INT_MIN + 1, -1, OverflowError, "value too large to perform division"),
        (-1, 1, IndexError, "Out of bounds on buffer access (axis 0)"),
        (3, -1, IndexError, "Out of bounds on buffer access (axis 0)"),
        (-3, 1, ValueError, "negative dimensions are not allowed"),
    ],
)
def test_window_settings_without_a_result(window, step, error, message):
    with pytest.raises(error, match=f"^{message}$".replace("(", r"\(").replace(")", r"\)")):
        analyse([1.0, 1.0], [1.0, 1.0], entry_bar=0, exit_bar=1, full_exit=0, window=window, step=step)


@pytest.mark.parametrize(
    "trade, close, full_exit",
    [
        ([0.0, 1.0], [1.0, 1.0], 0),  # no entry execution price
        ([1.0, 1.0], [0.0, 1.0], 0),  # no previous close to compare with
        ([1.0, 1.0], [1.0, 0.0], 1),  # no exit close to fill against
    ],
)
def test_zero_prices_are_float_divisions(trade, close, full_exit):
    with pytest.raises(ZeroDivisionError, match="^float division$"):
        analyse(trade, close, entry_bar=0, exit_bar=1, full_exit=full_exit)


def test_exit_too_far_before_the_entry():
    with pytest.raises(OverflowError, match="^can't convert negative value to size_t$"):
        analyse(DOUBLING, DOUBLING, entry_bar=3, exit_bar=0, window=-5)


def test_full_exit_on_an_empty_span():
    with pytest.raises(UnboundLocalError, match="^local variable 'ith' referenced before assignment$"):
        analyse(DOUBLING, DOUBLING, entry_bar=3, exit_bar=2, window=-1)


def test_price_reads_follow_numpy_indexing():
    with pytest.raises(IndexError, match="^index 5 is out of bounds for axis 1 with size 1$"):
        analyse([1.0], [1.0], entry_bar=0, exit_bar=0, column_map={0: 5})
    with pytest.raises(IndexError, match="^index 4 is out of bounds for axis 0 with size 4$"):
        analyse(DOUBLING[:4], DOUBLING[:4], entry_bar=4, exit_bar=4)
    # a negative bar counts from the end of the data
    stats = analyse([1.0, 2.0, 4.0], [1.0, 2.0, 5.0], entry_bar=-1, exit_bar=-1, full_exit=0)
    assert stats[5] == 0.25


def test_unmapped_stock_reads_the_first_column():
    trade = [[100.0, 1.0], [100.0, 1.0]]
    close = [[125.0, 9.0], [150.0, 9.0]]
    stats = analyse(trade, close, entry_bar=0, exit_bar=1, full_exit=0, column_map={}, sid=1, n_columns=2)
    assert stats[5] == 0.5


# Changing an array's shape or dtype in place is deprecated in newer NumPy,
# but callers can still do it to a matrix the session holds.
@pytest.mark.filterwarnings("ignore:Setting the:DeprecationWarning")
def test_matrices_changed_after_the_start_are_read_item_by_item():
    trade = np.array([[100.0, 100.0], [100.0, 100.0]])
    close = np.array([[125.0, 150.0], [100.0, 90.0]])
    session.start_analysis(trade, close, {0: 1}, 1, 0.0, 0.0, 0, 1)
    close.shape = (4,)
    session.record_date(0)
    session.record_entry(0, 1.0, 1)
    with pytest.raises(IndexError, match="^too many indices for array"):
        session.record_exit(0, 0)
    close.shape = (2, 2)
    close.dtype = np.int64  # same bytes, read as integers from now on
    session.record_exit(0, 0)
    expected = excursion_statistics(trade, close, 1, 0, 0, True, 1, 0, 0.0, 0.0, 0, 1)
    assert np.array_equal(exvalo.exvalo[-1], expected)


PRICES = [0.0, NAN, 1.0, 50.0, 80.0, 100.0, 125.0, 200.0]


@st.composite
def trades(draw):
    rows = draw(st.integers(1, 7))
    cols = draw(st.integers(1, 3))
    price = st.sampled_from(PRICES[1:]) if draw(st.booleans()) else st.sampled_from(PRICES)
    matrix = st.lists(st.lists(price, min_size=cols, max_size=cols), min_size=rows, max_size=rows)
    return dict(
        trade=np.array(draw(matrix)),
        close=np.array(draw(matrix)),
        pc=draw(st.integers(-cols, cols - 1)),
        entry_bar=draw(st.integers(-rows, rows)),
        exit_bar=draw(st.integers(-2, rows + 2)),
        weight=draw(st.sampled_from([0.5, -0.5, 0.0, NAN])),
        full_entry=draw(st.sampled_from([0, 1])),
        full_exit=draw(st.sampled_from([0, 1])),
        fee=draw(st.sampled_from([0.0, 0.001425, 0.25])),
        tax=draw(st.sampled_from([0.0, 0.003])),
        window=draw(st.integers(-4, 8)),
        step=draw(st.sampled_from([-2, -1, 0, 1, 2, 3])),
    )


def outcome(run):
    try:
        return run()
    except Exception as error:  # the same failure is part of the same outcome
        return type(error), str(error)


@settings(max_examples=400, deadline=None)
@given(trades())
def test_agrees_with_the_plain_statement(t):
    def native():
        session.start_analysis(t["trade"], t["close"], {0: t["pc"]}, 1, t["fee"], t["tax"], t["window"], t["step"])
        session.record_date(t["entry_bar"])
        session.record_entry(0, t["weight"], t["full_entry"])
        session.record_date(t["exit_bar"])
        session.record_exit(0, t["full_exit"])
        return exvalo.exvalo[-1].tobytes()

    def reference():
        return excursion_statistics(
            t["trade"],
            t["close"],
            t["pc"],
            t["entry_bar"],
            t["exit_bar"],
            t["weight"] > 0,
            t["full_entry"],
            t["full_exit"],
            t["fee"],
            t["tax"],
            t["window"],
            t["step"],
        ).tobytes()

    assert outcome(native) == outcome(reference)


DATA = Path(__file__).resolve().parents[1] / ".." / "shared" / "data"


def load_ohlc():
    """Open and close prices of five stocks on the union of their dates; a
    stock not yet listed has NaN prices."""
    tickers = ["AAPL", "FB", "GOOG", "IBM", "MSFT"]
    tables = {}
    for ticker in tickers:
        raw = np.genfromtxt(DATA / f"ohlc_{ticker}.csv", delimiter=",", names=True, dtype=None, encoding="ascii")
        tables[ticker] = {d: (o, c) for d, o, c in zip(raw["Date"], raw["Open"], raw["Close"], strict=True)}
    dates = sorted(set().union(*tables.values()))
    trade = np.array([[tables[t].get(d, (NAN, NAN))[0] for t in tickers] for d in dates])
    close = np.array([[tables[t].get(d, (NAN, NAN))[1] for t in tickers] for d in dates])
    return trade, close


@pytest.mark.skipif(not DATA.is_dir(), reason="shared market data not available")
def test_real_prices_agree_with_the_plain_statement():
    trade, close = load_ohlc()
    column_map = {sid: 4 - sid for sid in range(5)}
    rng = np.random.default_rng(7)
    session.start_analysis(trade, close, column_map, 5, 0.001425, 0.003, 60, 5)
    expected = []
    for _ in range(40):
        sid = int(rng.integers(5))
        entry_bar = int(rng.integers(len(trade)))
        exit_bar = entry_bar + int(rng.integers(0, 400))
        weight = float(rng.choice([0.2, -0.2]))
        session.record_date(entry_bar)
        session.record_entry(sid, weight, 1)
        session.record_date(exit_bar)
        session.record_exit(sid, 1)
        expected.append(
            excursion_statistics(
                trade, close, column_map[sid], entry_bar, exit_bar, weight > 0, 1, 1, 0.001425, 0.003, 60, 5
            )
        )
    assert len(exvalo.exvalo) == len(expected)
    for got, want in zip(exvalo.exvalo, expected, strict=True):
        assert got.tobytes() == want.tobytes()
