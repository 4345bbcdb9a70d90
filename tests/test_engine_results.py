"""Final-portfolio description, trade records, timestamps and weight normalisation."""

import datetime
import math

import numpy as np
import pytest

from engine_builders import DAY, actions, arrays, backtest, stamps, ts
from vantrel.core import simora

FLAT3 = [[8, 8, 8]] * 3


def test_pending_rebalance_on_the_last_bar_reports_weights_and_actions():
    # Row 0 is held from bar 1; row 1 becomes current on the last bar (its next
    # date is infinite) and is reported, not traded.
    backtest(FLAT3, {ts(0): [0.5, 0.25, 0.0], ts(2): [0.0, 0.5, 0.25]})
    ops = simora.get_stock_operations()
    assert list(ops) == ["actions", "weights", "next_weights", "weight_time", "next_weight_time"]
    assert list(ops["actions"].items()) == [(0, "exit"), (1, "hold"), (2, "enter")]
    assert ops["weights"] == {0: 0.5, 1: 0.25}
    assert ops["next_weights"] == {1: 0.5, 2: 0.25}
    assert (ops["weight_time"], ops["next_weight_time"]) == (0, 1)
    assert all(type(ops[k]) is int for k in ("weight_time", "next_weight_time"))


def test_unmasked_last_bar_reports_no_pending_actions():
    backtest(FLAT3, {ts(0): [0.5, 0.25, 0.0], ts(2): [0.0, 0.5, 0.25]}, resample=[ts(0), ts(1)])
    ops = simora.get_stock_operations()
    assert ops["actions"] == {}
    assert ops["next_weights"] == {1: 0.5, 2: 0.25}
    assert (ops["weight_time"], ops["next_weight_time"]) == (0, 1)


@pytest.mark.parametrize(
    "limit, weights, next_weights",
    [
        # Table weights 1.5 and 0.5 sum to 2: both reports are halved.
        (1.0, {0: 0.75, 1: 0.25}, {0: 0.75, 1: 0.25}),
        (0.5, {0: 0.5, 1: 0.25}, {0: 0.5, 1: 0.25}),  # then clipped to the limit
    ],
)
def test_reported_weights_are_normalised(limit, weights, next_weights):
    backtest(FLAT3, {ts(0): [1.5, 0.5, 0.0]}, position_limit=limit)
    ops = simora.get_stock_operations()
    assert ops["weights"] == weights
    assert ops["next_weights"] == next_weights


def test_stopped_stock_reports_zero_weight_but_counts_in_the_total():
    # A (sid 0) is stopped on bar 2 and sold on bar 3; its table weight 1
    # still counts, so B's 1 is divided by 2.
    backtest([[8, 8]] * 4, {ts(0): [1.0, 1.0]}, close=[[8, 8], [8, 8], [4, 8], [8, 8]], stop_loss=0.25)
    ops = simora.get_stock_operations()
    assert ops["weights"] == {0: 0.0, 1: 0.5}
    assert ops["next_weights"] == {1: 0.5}
    assert ops["actions"] == {0: "sl_"}


def test_next_weights_of_the_applied_row_leave_out_the_stopped_stock():
    # A is touched out on bar 2; the bar-3 rebalance repeats the row but keeps
    # A out, and that row is still the last one when the run ends.
    prices = [[8, 8]] * 5
    low = [[8, 8], [8, 8], [6, 8], [8, 8], [8, 8]]
    backtest(
        prices,
        {ts(0): [0.5, 0.5], ts(2): [0.5, 0.5]},
        high=prices,
        low=low,
        open=prices,
        touched_exit=True,
        stop_loss=0.25,
    )
    ops = simora.get_stock_operations()
    assert ops["weights"] == {1: 0.5}
    assert ops["next_weights"] == {1: 0.5}
    assert ops["actions"] == {}
    assert (ops["weight_time"], ops["next_weight_time"]) == (1, 1)


# One stock whose close on the last bar crosses a level, so the exit is still
# scheduled when the run ends.
@pytest.mark.parametrize(
    "stop, close2, stop_trading, last_row_date, expected",
    [
        ({"take_profit": 0.5}, 12, True, ts(0), {0: "tp"}),
        ({"stop_loss": 0.25}, 4, True, ts(0), {0: "sl"}),
        # Not kept out, and the exit is dated after the last row: plain label.
        ({"take_profit": 0.5}, 12, False, ts(1), {0: "tp"}),
        # Not kept out, and the last row (dated on the last bar) holds it again.
        ({"take_profit": 0.5}, 12, False, ts(2), {0: "tp_enter"}),
        ({"stop_loss": 0.25}, 4, False, ts(2), {0: "sl_enter"}),
    ],
)
def test_exit_scheduled_at_the_end_is_labelled(stop, close2, stop_trading, last_row_date, expected):
    weights = {ts(0): [1.0]}
    weights[last_row_date] = [1.0]
    backtest([8, 8, 8], weights, close=[8, 8, close2], stop_trading_next_period=stop_trading, **stop)
    assert actions() == expected


def test_exit_scheduled_at_the_end_with_a_closing_row_stays_exit():
    backtest([8, 8, 8], {ts(0): [1.0], ts(2): [0.0]}, close=[8, 8, 12], take_profit=0.5, stop_trading_next_period=False)
    assert actions() == {0: "exit"}


def test_touched_exit_of_stock_zero_keeps_its_take_profit_label():
    prices = [[8, 8]] * 3
    backtest(
        prices,
        {ts(0): [0.5, 0.5]},
        high=[[8, 8], [8, 8], [12, 12]],
        low=prices,
        open=prices,
        touched_exit=True,
        take_profit=0.5,
    )
    assert actions() == {0: "tp_", 1: "tp_"}


def test_stock_operations_copy_is_shallow():
    backtest(FLAT3, {ts(0): [0.5, 0.25, 0.0], ts(2): [0.0, 0.5, 0.25]})
    copy = simora.get_stock_operations()
    copy["weights"] = {}
    copy["weight_time"] = 99
    fresh = simora.get_stock_operations()
    assert fresh["weights"] == {0: 0.5, 1: 0.25}
    assert fresh["weight_time"] == 0
    args = arrays(FLAT3, {ts(0): [1, 0, 0]})
    _records, module_dict = simora.get_trade_stocks(args["pos_columns"], args["price_index"], False)
    assert module_dict is not fresh and module_dict == fresh
    assert module_dict["actions"] is fresh["actions"] is copy["actions"]
    assert simora.get_trade_stocks(args["pos_columns"], args["price_index"], False)[1] is module_dict


@pytest.mark.parametrize("touched_exit, exit_signal", [(False, ts(2)), (True, ts(3))])
def test_trade_records(touched_exit, exit_signal):
    # A from bar 1 to bar 3, B still open after the last bar (bar 4).
    weights = {ts(0): [0.5, 0.5], ts(2): [0.0, 0.5]}
    backtest([[8, 8]] * 5, weights, periodically_rebalance=False)
    args = arrays([[8, 8]] * 5, weights)
    records, _ = simora.get_trade_stocks(args["pos_columns"], args["price_index"], touched_exit)
    assert records == [
        ["A", ts(1), ts(3), ts(0), exit_signal, 0.5, 2, 1, 3],
        ["B", ts(1), -1, ts(0), -1, 0.5, 4, 1, -1],
    ]


def test_trade_entered_on_bar_zero_has_the_last_bar_as_signal_date():
    simora.exvalo.trades[:] = [[1, 0, 2]]
    simora.exvalo.trade_positions[:] = [0.25]
    records, _ = simora.get_trade_stocks(
        pos_columns=np.array(["A", "B"], dtype=object), price_index=stamps([ts(0), ts(1), ts(2), ts(3)]), touched_exit=0
    )
    assert records == [["B", ts(0), ts(2), ts(3), ts(1), 0.25, 2, 0, 2]]


def test_no_trades_gives_no_records():
    args = arrays([8, 8, 8], {ts(0): [1.0]})
    backtest([8, 8, 8], {ts(0): [1.0]}, resample=[])
    assert simora.get_trade_stocks(args["pos_columns"], args["price_index"], True)[0] == []
    assert simora.get_trade_stocks(None, None, True)[0] == []


@pytest.mark.parametrize(
    "v, seconds",
    [(0, 0.0), (DAY, 86_400.0), (1.5e9, 1.5), (np.int64(3 * DAY), 259_200.0)],
)
def test_ioft_reads_nanoseconds_as_local_time(v, seconds):
    assert simora.ioft(v) == datetime.datetime.fromtimestamp(seconds)
    assert simora.ioft(v=v) == datetime.datetime.fromtimestamp(seconds)


@pytest.mark.parametrize(
    "weights, limit, expected",
    [
        ({0: 0.6, 1: -0.6}, 0.4, {0: 0.4, 1: -0.4}),  # scaled to 1/2, then clipped
        ({"a": 0.75, "b": 0.25}, 0.5, {"a": 0.5, "b": 0.25}),  # sum exactly 1: clip only
        # Scaled by the reciprocal: 0.7 * (1/1.6) is exactly 7/16, 0.7/1.6 is not.
        ({0: 0.7, 1: 0.9}, 1.0, {0: 0.4375, 1: 0.5625}),
        ({0: 0.2, 1: -0.3}, 0.25, {0: 0.2, 1: -0.25}),
    ],
)
def test_normalize_weight(weights, limit, expected):
    result = simora.normalize_weight(weights, limit)
    assert result is weights
    assert result == expected


def test_normalize_weight_nan_disables_scaling_and_is_never_clipped():
    result = simora.normalize_weight(weights={0: math.nan, 1: 2.0}, position_limit=1.0)
    assert math.isnan(result[0])
    assert result[1] == 1.0


def test_normalize_weight_of_none():
    with pytest.raises(AttributeError, match=r"^'NoneType' object has no attribute 'items'$"):
        simora.normalize_weight(None, 1.0)
