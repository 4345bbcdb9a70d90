"""Recording of one analysis session: state kept between the native calls,
the three result lists, and what each call does on failure."""

import math
import sys

import numpy as np
import pytest

from conftest import run_python
from vantrel.core import _exvalo_testing as session
from vantrel.core import exvalo

NAN = math.nan
PRICES = np.array([[100.0, 100.0, 100.0]] * 6)


def start(n_columns=3, trade=PRICES, close=PRICES, window=0, step=1, fee=0.0, tax=0.0):
    """Opens a session on bar 0 (the current bar itself outlives sessions)."""
    columns = {sid: sid for sid in range(n_columns)}
    session.start_analysis(trade, close, columns, n_columns, fee, tax, window, step)
    session.record_date(0)


def test_state_after_import():
    out = run_python("""
        from vantrel.core import exvalo, _exvalo_testing as s
        for a in (s.entry(), s.position()):
            print(a.dtype, a.shape)
        print(exvalo.trades, exvalo.trade_positions, exvalo.exvalo, exvalo.org_np.__name__)
        try:
            s.record_exit(0, 0)
        except IndexError as e:
            print(e, exvalo.trades)
        s.start_analysis(None, None, {}, 1, 0.0, 0.0, 0, 1)
        s.record_entry(0, 1.0, 1)
        print(s.entry())
    """)
    assert out.splitlines() == [
        "int64 (0,)",
        "float64 (0,)",
        "[] [] [] numpy",
        "index 0 is out of bounds for axis 0 with size 0 []",
        "[0]",
    ]


def test_trade_records_hold_numpy_scalars_of_the_entry():
    start()
    session.record_date(2)
    session.record_entry(1, 0.25, 1)
    session.record_date(4)
    session.record_exit(1, 1)
    assert exvalo.trades == [[1, 2, 4]]
    assert type(exvalo.trades[0][1]) is np.int64
    assert exvalo.trade_positions == [0.25]
    assert type(exvalo.trade_positions[0]) is np.float64
    assert len(exvalo.exvalo) == 1


@pytest.mark.parametrize(
    "bad, message",
    [
        (np.ones(3), "Buffer has wrong number of dimensions (expected 2, got 1)"),
        (np.ones((2, 2), dtype=np.int64), "Buffer dtype mismatch, expected 'double' but got 'long'"),
    ],
)
def test_bad_matrix_changes_nothing(result_lists, bad, message):
    start()
    session.record_entry(0, 1.0, 1)
    session.record_exit(0, 0)
    entry, trades = session.entry(), list(exvalo.trades)
    for trade, close in ((bad, PRICES), (PRICES, bad)):
        with pytest.raises(ValueError) as caught:
            session.start_analysis(trade, close, {}, 7, 0.0, 0.0, 0, 1)
        assert str(caught.value) == message
    assert session.entry() is entry
    assert exvalo.trades == trades


def test_matrix_must_be_an_array():
    with pytest.raises(
        TypeError,
        match=r"^Argument 'close_prices' has incorrect type "
        r"\(expected numpy.ndarray, got list\)$",
    ):
        session.start_analysis(PRICES, [[1.0]], {}, 1, 0.0, 0.0, 0, 1)


def test_missing_matrices_fail_only_the_analysis():
    session.start_analysis(None, None, {0: 0}, 1, 0.0, 0.0, 0, 1)
    session.record_entry(0, 1.0, 1)
    with pytest.raises(TypeError, match="^'NoneType' object is not subscriptable$"):
        session.record_exit(0, 1)
    assert len(exvalo.trades) == 1 and exvalo.exvalo == []


def test_start_empties_the_same_lists():
    start()
    session.record_exit(0, 0)
    before = (exvalo.trades, exvalo.trade_positions, exvalo.exvalo)
    start()
    assert before == ([], [], [])
    assert all(a is b for a, b in zip(before, (exvalo.trades, exvalo.trade_positions, exvalo.exvalo), strict=True))


def test_lists_are_looked_up_by_name(result_lists):
    class Collector:
        def __init__(self):
            self.items = ["stale"]

        def append(self, item):
            self.items.append(item)

        def clear(self):
            self.items.clear()

    mine, collector = [1, 2], Collector()
    exvalo.trades, exvalo.exvalo = mine, collector
    start()
    session.record_exit(0, 0)
    assert mine == [[0, 0, 0]]
    assert len(collector.items) == 1 and collector.items[0].shape == (6,)

    del exvalo.trade_positions
    with pytest.raises(NameError, match="^name 'trade_positions' is not defined$"):
        session.record_exit(0, 0)
    assert len(mine) == 2 and len(collector.items) == 1
    with pytest.raises(NameError, match="^name 'trade_positions' is not defined$"):
        start()
    assert mine == []  # cleared before the missing name was reached


def test_per_stock_arrays_come_from_org_np(result_lists):
    class LopsidedNumpy:
        """Makes the weight array one element shorter than the others."""

        def zeros(self, n, dtype):
            return np.zeros(n - (dtype is float), dtype=dtype)

    exvalo.org_np = LopsidedNumpy()
    start(n_columns=3)
    session.record_date(5)
    with pytest.raises(IndexError, match="^index 2 is out of bounds for axis 0 with size 2$"):
        session.record_entry(2, 0.5, 1)
    assert session.entry().tolist() == [0, 0, 5]  # the step before the failure stays

    class ListNumpy:
        def zeros(self, n, dtype):
            return [0] * n

    exvalo.org_np = ListNumpy()
    entry = session.entry()
    with pytest.raises(TypeError, match="^Cannot convert list to numpy.ndarray$"):
        start()
    assert session.entry() is entry


def test_negative_stock_count():
    with pytest.raises(ValueError, match="^negative dimensions are not allowed$"):
        start(n_columns=-1)


def test_stock_ids_index_like_numpy():
    start(n_columns=3)
    session.record_date(1)
    session.record_entry(-1, 0.5, 1)
    assert session.entry().tolist() == [0, 0, 1]
    assert session.position().tolist() == [0.0, 0.0, 0.5]
    with pytest.raises(IndexError, match="^index 3 is out of bounds for axis 0 with size 3$"):
        session.record_entry(3, 0.5, 1)
    with pytest.raises(IndexError, match="^index -4 is out of bounds for axis 0 with size 3$"):
        session.record_exit(-4, 1)
    assert exvalo.trades == []


def test_failed_analysis_leaves_the_trade_without_statistics():
    start(step=0)
    session.record_entry(0, 0.5, 1)
    with pytest.raises(ZeroDivisionError, match="^integer division or modulo by zero$"):
        session.record_exit(0, 1)
    assert exvalo.trades == [[0, 0, 0]]
    assert exvalo.trade_positions == [0.5]
    assert exvalo.exvalo == []


def test_reopened_stock_and_rebase_give_separate_trades():
    close = np.array([[100.0], [125.0], [150.0], [225.0], [225.0]])
    start(n_columns=1, trade=close, close=close, fee=0.25, tax=0.25)
    session.record_date(0)
    session.record_entry(0, 0.5, 1)
    session.record_date(1)
    session.record_exit(0, 1)
    session.record_date(2)
    session.record_entry(0, -0.25, 1)
    session.record_date(3)
    session.record_exit(0, 0)  # re-based: neither exit costs ...
    session.record_entry(0, 0.125, 0)  # ... nor an entry fee
    session.record_date(4)
    session.end_analysis({0: 1.0})
    assert exvalo.trades == [[0, 0, 1], [0, 2, 3], [0, 3, -1]]
    assert exvalo.trade_positions == [0.5, -0.25, 0.125]
    # 0.75 after the fee, 0.9375, then half of it left after the exit costs;
    # the short 0.75 falls to 2 - 1.25 * 1.5 = 0.125; the last runs flat
    assert [stats[5] for stats in exvalo.exvalo] == [-0.53125, -0.875, 0.0]


def test_end_records_open_trades_in_stock_order():
    close = np.array([[100.0] * 4, [125.0] * 4])
    start(n_columns=4, trade=close, close=close, fee=0.25, tax=0.25)
    for sid in (3, 0, 1, 2):
        session.record_entry(sid, 1.0, 0)
    session.record_date(1)
    assert session.end_analysis({}) is None
    assert exvalo.trades == []
    assert session.end_analysis({3: -2.0, 2: NAN, 1: -0.0, 0: 0.0}) is None
    assert exvalo.trades == [[2, 0, -1], [3, 0, -1]]
    # no exit fill or costs for a trade still open
    assert [stats[5] for stats in exvalo.exvalo] == [0.25, 0.25]


def test_end_stops_at_the_first_failing_trade():
    trade = np.array([[100.0, 0.0, 100.0]])
    start(n_columns=3, trade=trade, close=trade)
    with pytest.raises(ZeroDivisionError, match="^float division$"):
        session.end_analysis({0: 1.0, 1: 1.0, 2: 1.0})
    assert exvalo.trades == [[0, 0, -1], [1, 0, -1]]
    assert len(exvalo.exvalo) == 1


def test_current_bar_outlives_the_run():
    start()
    session.record_date(5)
    session.start_analysis(PRICES, PRICES, {}, 1, 0.0, 0.0, 0, 1)
    session.record_entry(0, 1.0, 1)
    assert session.entry()[0] == 5


def test_weight_without_sign_is_analysed_as_short():
    close = np.array([[100.0], [50.0]])
    start(n_columns=1, trade=close, close=close)
    session.record_entry(0, NAN, 0)
    session.record_date(1)
    session.record_exit(0, 0)
    assert exvalo.exvalo[-1][5] == 0.5


def test_session_releases_the_previous_matrices():
    trade, close = PRICES.copy(), PRICES.copy()
    counts = sys.getrefcount(trade), sys.getrefcount(close)
    for _ in range(100):
        start(trade=trade, close=close)
        session.record_entry(0, 1.0, 1)
        session.record_exit(0, 1)
    start()
    assert (sys.getrefcount(trade), sys.getrefcount(close)) == counts
