"""Malformed inputs never crash the engine: every call returns a value series or
raises a Python exception, whatever the shapes, element types and values."""

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vantrel._stops import StopTable
from vantrel.core import simora

DAY = 86_400 * 10**9


def matrices(draw, rows, cols):
    """A float matrix of roughly the run's shape, sometimes off by one, sometimes
    strided, NaN-laced or holding non-positive and infinite prices."""
    r = max(0, rows + draw(st.sampled_from([0] * 14 + [-1, 1])))
    c = max(0, cols + draw(st.sampled_from([0] * 14 + [-1, 1])))
    values = draw(
        st.sampled_from([[1.0, 2.0, 3.0, 1.5], [2.0, 1.0, 1.1, 0.8, 1.2], [np.nan, 1.0, 1.3], [0.0, -1.0, np.inf, 5.0]])
    )
    m = np.resize(np.array(values), r * c).reshape(r, c) if r * c else np.empty((r, c))
    if draw(st.booleans()) and r and c:
        m = np.asfortranarray(m)
    return m


@st.composite
def engine_calls(draw):
    n_bars = draw(st.integers(0, 9))
    n_price = draw(st.integers(0, 3))
    n_pos = draw(st.integers(0, 3))
    labels = ["A", "B", "C", "D"]
    price_index = np.arange(n_bars, dtype=np.int64) * DAY
    price_columns = np.array(labels[:n_price], dtype=object)
    pos_columns = np.array(draw(st.lists(st.sampled_from(labels), min_size=n_pos, max_size=n_pos)), dtype=object)
    n_rows = draw(st.integers(0, 3))
    pos_index = np.sort(draw(st.lists(st.integers(-1, 9), min_size=n_rows, max_size=n_rows))).astype(np.int64) * DAY
    pos_values = matrices(draw, max(0, n_rows + draw(st.sampled_from([0] * 6 + [-1, 1]))), n_pos)
    if draw(st.booleans()):
        resample = price_index.copy()
    else:
        resample = np.array(draw(st.lists(st.integers(-1, 9), max_size=5)), dtype=np.int64) * DAY
    price = matrices(draw, n_bars, n_price)
    touched = draw(st.booleans())
    ohlc = [matrices(draw, n_bars, n_price) if draw(st.integers(0, 12)) else None for _ in range(3)]
    kwargs = dict(
        touched_exit=touched,
        stop_loss=draw(st.sampled_from([0.1, 1.0, -0.5, np.nan])),
        take_profit=draw(st.sampled_from([np.inf, 0.1, 0.0])),
        trail_stop=draw(st.sampled_from([np.inf, 0.05, -0.05])),
        retain_cost_when_rebalance=draw(st.booleans()),
        stop_trading_next_period=draw(st.booleans()),
        exvalo_window=draw(st.integers(-2, 4)),
        exvalo_window_step=draw(st.integers(-1, 2)),
        position_limit=draw(st.sampled_from([1.0, 0.3, 0.0])),
    )
    if draw(st.booleans()):
        kwargs["delisting_bars"] = np.array(draw(st.lists(st.integers(-1, 6), max_size=4)), dtype=np.int64)
    if draw(st.integers(0, 8)) == 0:
        # A table whose rows point outside its values, built past its checks.
        table = StopTable(np.full((1, max(n_pos, 1)), 0.1), np.zeros(n_bars, dtype=np.int64))
        table.rows = np.full(n_bars, draw(st.sampled_from([-1, 1, 5])), dtype=np.int64)
        kwargs["stop_loss"] = table
    args = (
        price,
        matrices(draw, n_bars, n_price),
        *ohlc,
        price_index,
        price_columns,
        pos_values,
        pos_index,
        pos_columns,
        resample,
    )
    return args, kwargs


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(engine_calls())
def test_malformed_inputs_raise_or_return_but_never_crash(call):
    args, kwargs = call
    try:
        values = simora.backtest_(*args, **kwargs)
    except (ValueError, IndexError, TypeError, ZeroDivisionError, OverflowError, UnboundLocalError):
        return
    assert values.dtype == np.float64 and values.shape == (args[5].size,)
