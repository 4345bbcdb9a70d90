"""Every way a backtest or a query refuses its input, with the exact message."""

import re

import numpy as np
import pytest

from engine_builders import REQUIRED, arrays, backtest, labels, positional, ts
from vantrel._stops import StopTable
from vantrel.core import simora

FLAT = [8, 8, 8, 8]


def run(args, **options):
    return simora.backtest_(*positional(args), **options)


def exact(message):
    return "^" + re.escape(message) + "$"


def flat_args(**changes):
    args = arrays(FLAT, {ts(0): [1.0]})
    args.update(changes)
    return args


# --- argument binding -------------------------------------------------------


def test_argument_counts_and_keywords():
    args = positional(flat_args())
    with pytest.raises(TypeError):
        simora.backtest_(*args[:10])
    with pytest.raises(TypeError):
        simora.backtest_(*args, fee_rate=0.0)
    with pytest.raises(TypeError):
        simora.backtest_(*args, price_values=args[0])
    with pytest.raises(TypeError):
        simora.normalize_weight({})
    with pytest.raises(TypeError):
        simora.get_stock_operations(1)
    with pytest.raises(TypeError, match=exact("get_trade_stocks() takes exactly 3 positional arguments (2 given)")):
        simora.get_trade_stocks(args[9], args[5])
    with pytest.raises(TypeError, match=exact("ioft() takes exactly 1 positional argument (0 given)")):
        simora.ioft()
    with pytest.raises(TypeError, match=exact("ioft() takes exactly 1 positional argument (2 given)")):
        simora.ioft(1, 2)


@pytest.mark.parametrize("name", [n for n in REQUIRED if not n.endswith(("high_values", "low_values", "open_values"))])
@pytest.mark.parametrize("value, type_name", [(None, "NoneType"), ([1.0], "list")])
def test_required_array_of_another_type(name, value, type_name):
    simora.RESAMPLE = "untouched"
    with pytest.raises(
        TypeError, match=exact(f"Argument '{name}' has incorrect type (expected numpy.ndarray, got {type_name})")
    ):
        run(flat_args(**{name: value}))
    # Rejected while converting the arguments, before the settings are written.
    assert simora.RESAMPLE == "untouched"


def test_query_argument_of_another_type():
    with pytest.raises(
        TypeError, match=exact("Argument 'pos_columns' has incorrect type (expected numpy.ndarray, got list)")
    ):
        simora.get_trade_stocks(["A"], np.zeros(1, np.int64), False)
    with pytest.raises(
        TypeError, match=exact("Argument 'price_index' has incorrect type (expected numpy.ndarray, got tuple)")
    ):
        simora.get_trade_stocks(labels(["A"]), (1,), False)


@pytest.mark.parametrize(
    "name, value, message",
    [
        ("price_index", np.zeros(4), "Buffer dtype mismatch, expected 'int64_t' but got 'double'"),
        ("resample", np.zeros(4), "Buffer dtype mismatch, expected 'int64_t' but got 'double'"),
        ("pos_columns", np.zeros(1), "Buffer dtype mismatch, expected 'Python object' but got 'double'"),
        ("price_values", np.zeros(4), "Buffer has wrong number of dimensions (expected 2, got 1)"),
        ("pos_values", np.zeros((1, 1, 1)), "Buffer has wrong number of dimensions (expected 2, got 3)"),
        ("price_index", np.zeros((4, 1), np.int64), "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ],
)
def test_array_of_wrong_dtype_or_ndim(name, value, message):
    with pytest.raises(ValueError, match=exact(message)):
        run(flat_args(**{name: value}))


def test_float_matrix_of_another_dtype():
    with pytest.raises(ValueError, match=r"^Buffer dtype mismatch, expected 'double' but got"):
        run(flat_args(close_values=np.ones((4, 1), np.int64)))


def test_delisting_bars_of_wrong_dtype_or_ndim():
    with pytest.raises(ValueError, match=exact("Buffer dtype mismatch, expected 'int64_t' but got 'double'")):
        run(flat_args(), delisting_bars=np.zeros(1))
    with pytest.raises(ValueError, match=exact("Buffer has wrong number of dimensions (expected 1, got 2)")):
        run(flat_args(), delisting_bars=np.zeros((1, 1), np.int64))


def test_query_buffer_checks():
    with pytest.raises(ValueError, match=exact("Buffer dtype mismatch, expected 'int64_t' but got 'double'")):
        simora.get_trade_stocks(labels(["A"]), np.zeros(1), False)
    with pytest.raises(ValueError, match=exact("Buffer has wrong number of dimensions (expected 1, got 2)")):
        simora.get_trade_stocks(labels(["A"]).reshape(1, 1), np.zeros(1, np.int64), False)


def test_number_options_that_cannot_be_converted():
    with pytest.raises(TypeError):
        run(flat_args(), fee_ratio="0.1")
    with pytest.raises(TypeError):
        run(flat_args(), position_limit=None)
    with pytest.raises(OverflowError):
        run(flat_args(), exvalo_window=2**31)
    with pytest.raises(OverflowError):
        run(flat_args(), exvalo_window_step=-(2**31) - 1)


def test_touched_exit_needs_the_bar_ranges():
    simora.RESAMPLE = "untouched"
    with pytest.raises(ValueError, match=exact("touched_exit requires high_values, low_values and open_values")):
        run(flat_args(high_values=np.full((4, 1), 8.0), low_values=np.full((4, 1), 8.0)), touched_exit=1)
    assert simora.RESAMPLE == "untouched"


def test_touched_exit_false_runs_without_bar_ranges():
    values = run(flat_args(), touched_exit=0, fee_ratio=0.0)
    assert values.tolist() == [1, 1, 1, 1]


# --- column checks ------------------------------------------------------------


def test_position_columns_must_match_position_values():
    args = flat_args(pos_columns=labels(["A", "B"]))
    with pytest.raises(ValueError, match=exact("Position values do not match position columns")):
        # A stop setting that stop_table refuses: it is never reached.
        run(args, stop_loss="not a stop")


def test_label_error_comes_before_the_column_check():
    args = flat_args(pos_columns=labels(["A", 7]))
    with pytest.raises(AttributeError, match=exact("'int' object has no attribute 'encode'")):
        run(args)


@pytest.mark.parametrize(
    "columns, error, message",
    [
        ([5], AttributeError, "'int' object has no attribute 'encode'"),
        ([b"A"], AttributeError, "'bytes' object has no attribute 'encode'"),
        (["\ud800"], UnicodeEncodeError, None),
    ],
)
def test_price_labels_must_be_text(columns, error, message):
    with pytest.raises(error, match=exact(message) if message else None):
        run(flat_args(price_columns=labels(columns)))


def test_settings_are_written_even_when_the_run_fails():
    for retain, periodically in [(1, []), ([], "yes")]:
        with pytest.raises(ValueError):
            run(
                flat_args(pos_columns=labels(["A", "B"])),
                retain_cost_when_rebalance=retain,
                periodically_rebalance=periodically,
            )
        assert simora.RETAIN_COST_WHEN_REBALANCE is bool(retain)
        assert simora.RESAMPLE is bool(periodically)


def test_failed_run_keeps_the_previous_stock_operations():
    backtest(FLAT, {ts(0): [1.0], ts(3): [0.5]})
    before = simora.get_stock_operations()
    assert before["actions"] == {0: "hold"}
    with pytest.raises(ValueError, match="^Invalid trading price"):
        backtest([8, 8, 0.0, 8], {ts(0): [0.25]})
    assert simora.get_stock_operations() == before


# --- stop tables ----------------------------------------------------------------

STOP_MESSAGE = exact("Stop thresholds do not match the price bars and position columns")


def good_table():
    return StopTable(np.full((2, 1), 0.5), np.zeros(4, np.int64))


@pytest.mark.parametrize(
    "attribute, value",
    [
        ("values", np.full((2, 2), 0.5)),  # one column too many
        ("rows", np.zeros(5, np.int64)),  # one bar too many
        ("rows", np.array([0, 0, -1, 0])),
        ("rows", np.array([0, 0, 2, 0])),  # one past the last threshold row
    ],
)
@pytest.mark.parametrize("option", ["stop_loss", "take_profit"])
def test_stop_table_that_does_not_fit_the_run(attribute, value, option):
    table = good_table()
    setattr(table, attribute, value)
    with pytest.raises(ValueError, match=STOP_MESSAGE):
        run(flat_args(), **{option: table})


def test_stop_table_rows_may_reach_the_last_threshold_row():
    table = good_table()
    table.rows = np.array([0, 1, 1, 1])
    assert run(flat_args(), stop_loss=table, fee_ratio=0.0).tolist() == [1, 1, 1, 1]


def test_stop_table_of_wrong_dtype_or_ndim():
    table = good_table()
    table.values = np.ones((2, 1), np.int64)
    with pytest.raises(ValueError, match="^Buffer dtype mismatch"):
        run(flat_args(), stop_loss=table)
    table = good_table()
    table.rows = np.zeros(4)
    with pytest.raises(ValueError, match="^Buffer dtype mismatch"):
        run(flat_args(), take_profit=table)
    table = good_table()
    table.values = np.ones((2, 1, 1))
    with pytest.raises(ValueError, match=exact("Buffer has wrong number of dimensions (expected 2, got 3)")):
        run(flat_args(), stop_loss=table)


def test_stop_table_without_rows():
    table = good_table()
    del table.rows
    with pytest.raises(AttributeError, match="rows"):
        run(flat_args(), take_profit=table)


def test_empty_run_skips_the_row_range_checks():
    args = flat_args(price_index=np.zeros(0, np.int64), resample=np.zeros(0, np.int64))
    table = StopTable(np.ones((0, 1)), np.zeros(0, np.int64))
    result = run(args, stop_loss=table)
    assert result.dtype == np.float64 and result.shape == (0,)
    # Calendar dates without any bar are ignored.
    args["resample"] = np.array([ts(0)], np.int64)
    assert run(args).shape == (0,)


# --- trading prices -------------------------------------------------------------


@pytest.mark.parametrize(
    "price, shown", [(0.0, "0.0"), (-0.0, "-0.0"), (-2.5, "-2.5"), (np.inf, "inf"), (-np.inf, "-inf")]
)
def test_invalid_trading_price_of_a_held_stock(price, shown):
    with pytest.raises(
        ValueError,
        match=exact(
            f"Invalid trading price for A at price row 2: {shown}. "
            "Expected a positive finite price; check the trading-price dataset."
        ),
    ):
        backtest([8, 8, price, 8], {ts(0): [1.0]})


def test_invalid_price_on_the_entry_bar_fails_at_valuation():
    with pytest.raises(
        ValueError,
        match=exact(
            "Invalid trading price for Stock X at price row 1: 0.0. "
            "Expected a positive finite price; check the trading-price dataset."
        ),
    ):
        backtest([8, 0.0, 8], {ts(0): [1.0]}, columns=["Stock X"])


def test_invalid_price_of_a_stock_not_held_is_ignored():
    assert backtest([[8, 0.0], [8, -1], [8, np.inf]], {ts(0): [1.0, 0.0]}).tolist() == [1, 1, 1]


@pytest.mark.parametrize("price", [np.nan, 1e-300])
def test_nan_and_tiny_trading_prices_pass(price):
    values = backtest([8, 8, price, 8], {ts(0): [1.0]})
    assert values[3] == pytest.approx(1.0, rel=1e-12)


# --- reads beyond the arrays -------------------------------------------------------


def out_of_bounds(axis):
    return pytest.raises(IndexError, match=exact(f"Out of bounds on buffer access (axis {axis})"))


def test_close_matrix_smaller_than_the_trading_prices():
    with out_of_bounds(0):
        run(flat_args(close_values=np.full((2, 1), 8.0)))
    args = arrays([[8, 8]] * 4, {ts(0): [0.0, 1.0]})
    args["close_values"] = np.full((4, 1), 8.0)
    with out_of_bounds(1):
        run(args)


def test_bar_range_matrix_smaller_than_the_trading_prices():
    bars = np.full((4, 1), 8.0)
    with out_of_bounds(0):
        run(flat_args(high_values=bars, low_values=bars, open_values=bars[:2]), touched_exit=True)


def test_fewer_position_rows_than_signal_dates():
    args = flat_args(pos_index=np.array([ts(0), ts(1)], np.int64))
    with out_of_bounds(0):
        run(args)


def test_empty_signal_dates():
    with out_of_bounds(0):
        run(flat_args(pos_index=np.zeros(0, np.int64)))


def test_short_delisting_bars():
    args = arrays([[8, 8]] * 4, {ts(0): [0.0, 1.0]})
    with out_of_bounds(0):
        run(args, delisting_bars=np.array([3], np.int64))


def test_more_price_labels_than_price_columns():
    args = flat_args(price_columns=labels(["X", "A"]))
    with out_of_bounds(1):
        run(args)


def test_unpriced_stock_without_a_price_column_zero():
    args = arrays([[8]] * 4, {ts(0): [1.0]}, pos_columns=["Z"])
    args["price_values"] = np.ones((4, 0))
    args["close_values"] = np.ones((4, 0))
    args["price_columns"] = labels([])
    with out_of_bounds(1):
        run(args)


def test_empty_tables():
    with pytest.raises(IndexError):
        run(flat_args(pos_values=np.ones((0, 1))))
    with pytest.raises(IndexError):
        run(flat_args(price_values=np.ones((0, 1))))


def test_excursion_error_ends_the_run():
    # A window step of 0 fails the analysis of the first closed trade.
    with pytest.raises(ZeroDivisionError, match=exact("integer division or modulo by zero")):
        backtest(FLAT, {ts(0): [1.0], ts(1): [0.0]}, exvalo_window_step=0)
