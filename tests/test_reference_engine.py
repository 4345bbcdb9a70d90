"""Small scenarios worked out on paper, so that the plain-Python reference engine can be
trusted on its own before it is used to judge the native engine."""

import math

import numpy as np
import pytest

from reference import Simora
from reference.columns import map_columns, validate_trade_price
from reference.excursion import ExcursionSession, exvalo_analysis
from reference.sizing import normalize_weight

DAY = 86_400 * 10**9
COLS = np.array(["A", "B"], dtype=object)


def days(*offsets):
    return np.array(offsets, dtype=np.int64) * DAY


def run(prices, weights, signal_days, **options):
    """Run the reference on a price table whose trading and close prices are the same."""
    sim = Simora()
    prices = np.array(prices, dtype=np.float64)
    bars = days(*range(prices.shape[0]))
    ohlc = options.pop("ohlc", (None, None, None))
    values = sim.backtest_(
        prices,
        prices,
        *ohlc,
        bars,
        COLS,
        np.array(weights, dtype=np.float64),
        days(*signal_days),
        COLS,
        bars,
        **options,
    )
    return sim, values


def test_entry_one_bar_after_the_signal_with_fees_and_taxes():
    # A: 10 10 12 12 9 9, B: 20 20 20 25 25 25; fee 0.001, tax 0.003.
    # Bar 0 lies before the first signal (bar 1): value 1.0. The signal of bar 1
    # is traded on bar 2: each half costs 0.0005 in fee, taken from the holding,
    # so A = B = 0.4995 and cash 0. Bar 3: B x1.25 = 0.624375.
    # The second signal (bar 3: all in B) is traded on bar 4, after A fell to
    # 0.374625: A is sold for 0.374625 less 0.4% = 0.3731265; the total 0.999
    # buys B up from 0.624375 (0.374625, fee 0.000374625 off the holding):
    # cash -0.0014985, B 0.998625375, value 0.997126875.
    sim, values = run(
        [[10, 20], [10, 20], [12, 20], [12, 25], [9, 25], [9, 25]],
        [[0.5, 0.5], [0.0, 1.0]],
        [1, 3],
        fee_ratio=0.001,
        tax_ratio=0.003,
    )
    expected = [1.0, 1.0, 0.999, 1.123875, 0.997126875, 0.997126875]
    assert values.tolist() == pytest.approx(expected, rel=1e-14, abs=0)
    # A closed on bar 4; B re-based there (a periodic rebalance restarts its trade)
    # and still open at the end.
    assert [[int(x) for x in t] for t in sim.session.trades] == [[0, 2, 4], [1, 2, 4], [1, 4, -1]]
    assert [float(p) for p in sim.session.trade_positions] == [0.5, 0.5, 1.0]
    ops = sim.get_stock_operations()
    assert ops["weights"] == {1: 1.0} and ops["next_weights"] == {1: 1.0}
    assert (ops["actions"], ops["weight_time"], ops["next_weight_time"]) == ({}, 1, 1)


def test_close_mode_stop_sells_on_the_next_bar_at_its_trading_price():
    # A: 100 100 100 89 95 95 95 with stop-loss 0.1, B flat at 50, no costs.
    # Bar 3 closes 0.89 below entry (< 0.9): the stop is found there and A is
    # sold on bar 4 at 95, i.e. 0.5 * 0.95 = 0.475.
    sim, values = run(
        [[100, 50], [100, 50], [100, 50], [89, 50], [95, 50], [95, 50], [95, 50]],
        [[0.5, 0.5]],
        [0],
        fee_ratio=0.0,
        tax_ratio=0.0,
        stop_loss=0.1,
    )
    assert values.tolist() == pytest.approx([1.0, 1.0, 1.0, 0.945, 0.975, 0.975, 0.975], rel=1e-15, abs=0)
    assert [[int(x) for x in t] for t in sim.session.trades] == [[0, 1, 4], [1, 1, -1]]
    ops = sim.get_stock_operations()
    # Stock 0 keeps its stop-loss label; it stays out of the next weights.
    assert ops["actions"] == {0: "sl_"}
    assert ops["weights"] == {0: 0.0, 1: 0.5}
    assert ops["next_weights"] == {1: 0.5}
    records, _ = sim.get_trade_stocks(COLS, days(*range(7)), False)
    assert records[0][:5] == ["A", 1 * DAY, 4 * DAY, 0, 3 * DAY]
    assert records[1][2::4] == [-1, 6]  # open: no exit date, held to the end


def test_close_mode_levels_fire_at_take_profit_but_not_at_stop_loss_exactly():
    # 110 is exactly 1 + 0.1 (>=); 90 is exactly 1 - 0.1, which needs strictly below.
    sim, _ = run(
        [[100, 100], [100, 100], [110, 90], [110, 90]],
        [[0.5, 0.5]],
        [0],
        fee_ratio=0.0,
        tax_ratio=0.0,
        stop_loss=0.1,
        take_profit=0.1,
    )
    assert [[int(x) for x in t] for t in sim.session.trades] == [[0, 1, 3], [1, 1, -1]]
    assert sim.get_stock_operations()["actions"] == {0: "tp_"}


OHLC_DOWN = {  # bar 3 of stock A: open 98, high 99, low 90 (exactly the stop), close 95
    "open": [[100, 50], [100, 50], [100, 50], [98, 50], [95, 50]],
    "high": [[100, 50], [100, 50], [100, 50], [99, 50], [115, 50]],
    "low": [[100, 50], [100, 50], [100, 50], [90, 50], [95, 50]],
}


def ohlc(table):
    return tuple(np.array(table[k], dtype=np.float64) for k in ("high", "low", "open"))


def test_touched_stop_sells_at_the_level_within_the_bar():
    # Low return 0.9 reaches the 0.1 stop (<=): A leaves at 0.5 * 0.9 = 0.45 on
    # bar 3 itself and its key stays flat. On bar 4 the high (0.95 * 115 / 95)
    # passes the flat key's upper level 1.1, but there is nothing left to sell,
    # so no second (take-profit) label replaces the stop-loss one.
    sim, values = run(
        [[100, 50], [100, 50], [100, 50], [95, 50], [95, 50]],
        [[0.5, 0.5]],
        [0],
        fee_ratio=0.0,
        tax_ratio=0.0,
        stop_loss=0.1,
        touched_exit=True,
        ohlc=ohlc(OHLC_DOWN),
    )
    assert values.tolist() == pytest.approx([1.0, 1.0, 1.0, 0.95, 0.95], rel=1e-15, abs=0)
    assert [[int(x) for x in t] for t in sim.session.trades] == [[0, 1, 3], [1, 1, -1]]
    ops = sim.get_stock_operations()
    assert ops["actions"] == {0: "sl_"}
    assert ops["weights"] == {0: 0.5, 1: 0.5}  # the flat key is still held
    # The statistics value the trade on closes: 100 -> 95, no costs.
    assert sim.session.exvalo[0].tolist() == pytest.approx([-0.05, 0.0, 0.0, -0.05, 0.0, -0.05], abs=1e-15)
    records, _ = sim.get_trade_stocks(COLS, days(*range(5)), True)
    assert records[0][2] == records[0][4] == 3 * DAY


def test_touched_gap_fills_at_the_open_on_both_sides():
    # A long 0.5 opens at 85 (0.85 <= 0.9): sold at 0.425, stop-loss side.
    # B short 0.5 at 50 opens at 44 (0.88 <= 1 - 0.1): bought back at -0.44,
    # the take-profit side of a short. Cash 1.0 + 0.425 - 0.44 = 0.985.
    table = {
        "open": [[100, 50], [100, 50], [100, 50], [85, 44], [86, 42]],
        "high": [[100, 50], [100, 50], [100, 50], [88, 45], [86, 42]],
        "low": [[100, 50], [100, 50], [100, 50], [80, 40], [86, 42]],
    }
    sim, values = run(
        [[100, 50], [100, 50], [100, 50], [86, 42], [86, 42]],
        [[0.5, -0.5]],
        [0],
        fee_ratio=0.0,
        tax_ratio=0.0,
        stop_loss=0.1,
        take_profit=0.1,
        touched_exit=True,
        ohlc=ohlc(table),
    )
    assert values.tolist() == pytest.approx([1.0, 1.0, 1.0, 0.985, 0.985], rel=1e-15, abs=0)
    assert sim.get_stock_operations()["actions"] == {0: "sl_", 1: "tp_"}


def test_excursion_of_a_long_and_a_short_entry():
    session = ExcursionSession()
    prices = np.array([[100.0], [100.0], [100.0]])
    closes = np.array([[110.0], [100.0], [120.0]])
    session.start_analysis(prices, closes, {0: 0}, 1, 0.0, 0.0, 0, 1)
    session.record_date(0)
    long = exvalo_analysis(session, 0, 0, 0, True, 1, 0)
    # entry value 1.1: peak 1.1, trough capped at 1, one profitable bar
    assert long.tolist() == pytest.approx([0.0, 0.1, 0.1, 0.0, 1.0, 0.1], abs=1e-15)
    short = exvalo_analysis(session, 0, 0, 0, False, 1, 0)
    assert short.tolist() == pytest.approx([-0.1, 0.0, 0.0, -0.1, 0.0, -0.1], abs=1e-15)


def test_excursion_window_samples_and_exit_record():
    # window 5, step 2, closed after one bar while the data go on: records for
    # positions 0, 2 and 4, the exit record at position 1 with exit costs.
    closes = np.array([[100.0], [110.0], [121.0], [110.0], [99.0], [99.0], [99.0]])
    session = ExcursionSession()
    session.start_analysis(closes, closes, {0: 0}, 1, 0.0, 0.01, 5, 2)
    session.record_date(1)
    result = exvalo_analysis(session, 0, 0, 1, True, 0, 1)
    assert result.size == 24
    returns = result[5::6].tolist()
    assert returns == pytest.approx([0.0, 0.21, -0.01, 1.1 * 0.99 - 1], abs=1e-14)
    assert result[4::6].tolist() == [0.0, 2.0, 3.0, 1.0]  # profitable bars: 110, 121, 110


def test_sizing_and_matching_primitives():
    weights = {"x": 0.6, "y": -0.6}
    assert normalize_weight(weights, 0.4) is weights
    assert weights == {"x": 0.4, "y": -0.4}
    assert map_columns(np.array(["A", "B", "A"], dtype=object), np.array(["A", "C", "B"], dtype=object)) == {0: 2, 2: 1}
    validate_trade_price(math.nan, "X", 3)
    validate_trade_price(1e-300, "X", 3)
    for price, shown in ((0.0, "0.0"), (-math.inf, "-inf"), (-2.5, "-2.5")):
        with pytest.raises(ValueError) as err:
            validate_trade_price(price, "ABC", 17)
        assert str(err.value) == (
            f"Invalid trading price for ABC at price row 17: {shown}. "
            "Expected a positive finite price; check the trading-price dataset."
        )


def test_position_limit_caps_a_single_weight():
    # One weight of 0.8 under a limit of 0.5: half the portfolio is bought.
    _sim, values = run(
        [[10, 10], [10, 10], [20, 10]], [[0.8, 0.0]], [0], fee_ratio=0.0, tax_ratio=0.0, position_limit=0.5
    )
    assert values.tolist() == [1.0, 1.0, 1.5]


@pytest.mark.parametrize(
    "option, value, error, message",
    [
        ("fee_ratio", "0.1", TypeError, "must be real number, not str"),
        ("position_limit", None, TypeError, "must be real number, not NoneType"),
        ("exvalo_window", "3", TypeError, "an integer is required"),
        ("exvalo_window_step", 2**31, OverflowError, "value too large to convert to int"),
    ],
)
def test_option_conversion_errors(option, value, error, message):
    with pytest.raises(error) as err:
        run([[10, 10], [10, 10]], [[0.5, 0.5]], [0], **{option: value})
    assert str(err.value) == message


def test_numeric_options_reach_the_run_as_plain_numbers():
    # A NumPy scalar limit still reports plain float weights; a float window truncates.
    sim, _ = run([[10, 10], [10, 10], [10, 10]], [[0.9, 0.0]], [0], position_limit=np.float64(0.5), exvalo_window=2.9)
    assert type(sim.get_stock_operations()["weights"][0]) is float
    assert sim.session.exvalo[0].size == 18  # window 2: two samples and the exit
