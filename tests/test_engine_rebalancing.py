"""Signal-date rebalancing: timing, costs, calendar, sizing, delisting."""

import numpy as np
import pytest

from engine_builders import FEE, TAX, arrays, backtest, positional, trades, ts
from vantrel.core import simora

DOUBLING = [1, 2, 4, 8, 16, 32]


def test_weight_change_trades_next_bar_at_trading_price_valued_at_close():
    # Visible at the end of bar 0, bought at bar 1's trading price 8.
    # bar 1: 1 * 10/8 = 1.25; bar 2: marked 1 * 16/8 = 2, closes at 20/16 -> 2.5;
    # bar 3: marked 2 * 12/16 = 1.5, closes at 6/12 -> 0.75.
    values = backtest([8, 8, 16, 12], {ts(0): [1.0]}, close=[9, 10, 20, 6])
    assert values.dtype == np.float64
    assert values.tolist() == [1.0, 1.25, 2.5, 0.75]


def test_required_arguments_alone_use_default_costs_and_no_stops():
    # Fee 0.001425 on the entry; a fall to 1/800 and a rise to 100 times the
    # entry price fire nothing; the exit pays fee + tax 0.004425.
    args = arrays([8, 8, 0.01, 800, 800], {ts(0): [1.0], ts(3): [0.0]})
    values = simora.backtest_(*positional(args))
    entered = 1 - 0.001425
    assert values[1] == entered
    assert values[2] == pytest.approx(entered / 800, rel=1e-12)
    assert values[4] == pytest.approx(entered * 100 * (1 - 0.004425), rel=1e-12)
    assert trades() == [[0, 1, 4]]


@pytest.mark.parametrize(
    "signal, expected",
    [
        # Bars before the first signal are 1.0 untouched; the first bar at or
        # after it only schedules, so the trade comes one bar later still.
        (ts(2), [1, 1, 1, 1, 2]),
        (ts(1) + 1, [1, 1, 1, 1, 2]),
        (ts(1), [1, 1, 1, 2, 4]),
    ],
)
def test_first_signal_is_traded_after_the_bar_that_sees_it(signal, expected):
    assert backtest([1, 1, 1, 2, 4], {signal: [1.0]}).tolist() == expected


@pytest.mark.parametrize(
    "second_signal, expected",
    [
        # Dated exactly at bar 2: visible only once bar 3 is next, traded at bar 3.
        (ts(2), [1, 1, 1, 1, 2]),
        # Dated just before bar 2: visible at the end of bar 1, traded at bar 2.
        (ts(2) - 1, [1, 1, 1, 2, 4]),
    ],
)
def test_later_row_becomes_visible_strictly_before_the_next_bar(second_signal, expected):
    # A is flat at 8, B doubles: the value starts doubling on the switch bar.
    prices = [[8, 1], [8, 2], [8, 4], [8, 8], [8, 16]]
    values = backtest(prices, {ts(0): [1.0, 0.0], second_signal: [0.0, 1.0]})
    assert values.tolist() == expected


@pytest.mark.parametrize(
    "w2, expected",
    [
        # After the entry of 0.5 (fee 1/64 out of the position): cash 1/2,
        # A 63/128, total 127/128. Flat price, so only costs move the total.
        (1.0, 63 / 64),  # resize up: buys 1/2, fee 1/128
        (0.25, 32137 / 32768),  # resize down: sells 125/512, (fee+tax) 3/64 of it
        (0.0, 7939 / 8192),  # exit: 63/128 sold at 3/64 costs
        (-0.5, 16003 / 16384),  # reversal: one trade of 253/256, fee only
    ],
)
def test_costs_of_entry_resize_exit_and_reversal(w2, expected):
    values = backtest([8, 8, 8], {ts(0): [0.5], ts(1): [w2]}, fee_ratio=FEE, tax_ratio=TAX)
    assert values.tolist() == [1.0, 127 / 128, expected]


@pytest.mark.parametrize(
    "w2, expected",
    [
        # Short entry of -0.5: cash 1 + 1/2 - 1/128, A -1/2, total 127/128.
        (-0.25, 32125 / 32768),  # cover 129/512: shrinking, fee+tax
        (0.5, 16001 / 16384),  # reversal of 255/256: fee only
    ],
)
def test_costs_of_short_cover_and_reversal(w2, expected):
    values = backtest([8, 8, 8], {ts(0): [-0.5], ts(1): [w2]}, fee_ratio=FEE, tax_ratio=TAX)
    assert values.tolist() == [1.0, 127 / 128, expected]


def test_purchase_fee_comes_out_of_the_position_not_the_cash():
    # Bought at 63/64 of the cash; doubling gives 63/32 (a fee paid from cash
    # would give 127/64).
    values = backtest([8, 8, 16], {ts(0): [1.0]}, fee_ratio=FEE, tax_ratio=TAX)
    assert values.tolist() == [1.0, 63 / 64, 63 / 32]


@pytest.mark.parametrize(
    "resample, expected",
    [
        ([ts(2)], [1, 1, 1, 1, 2, 4]),
        ([ts(2) + 1], [1, 1, 1, 1, 2, 4]),  # between bars: the bar before it
        ([ts(3) - 1], [1, 1, 1, 1, 2, 4]),
        ([ts(0) - 1], [1, 1, 2, 4, 8, 16]),  # before the first bar: bar 0
        ([ts(9)], [1, 1, 1, 1, 1, 1]),  # after the last bar: the last bar
        ([], [1, 1, 1, 1, 1, 1]),
        # The scan never goes back: ts(1) after ts(3) marks bar 3 again.
        ([ts(3), ts(1)], [1, 1, 1, 1, 1, 2]),
    ],
)
def test_calendar_marks_the_last_bar_at_or_before_each_date(resample, expected):
    values = backtest(DOUBLING, {ts(0): [1.0]}, resample=resample)
    assert values.tolist() == expected


def test_calendar_date_after_the_last_bar_leaves_the_entry_pending():
    backtest(DOUBLING, {ts(0): [1.0]}, resample=[ts(9)])
    ops = simora.get_stock_operations()
    assert ops["actions"] == {0: "enter"}
    assert ops["weight_time"] == -1


def test_empty_calendar_never_rebalances():
    backtest(DOUBLING, {ts(0): [1.0]}, resample=[])
    ops = simora.get_stock_operations()
    assert ops["actions"] == {}
    assert ops["weights"] == {}
    assert ops["weight_time"] == -1
    assert trades() == []


# A flat at 4, B doubling; the calendar marks bars 0 and 3 only.
CALENDAR_PRICES = [[4, 1], [4, 2], [4, 4], [4, 8], [4, 16], [4, 32], [4, 64]]


def test_row_visible_on_unmasked_bar_waits_for_the_next_masked_bar():
    # The switch to B is visible at the end of bar 1 but bars 1 and 2 are not
    # on the calendar: bar 3 schedules it and bar 4 buys B at 16.
    values = backtest(CALENDAR_PRICES, {ts(0): [1, 0], ts(1): [0, 1]}, resample=[ts(0), ts(3)])
    assert values.tolist() == [1, 1, 1, 1, 1, 2, 4]


def test_later_row_supersedes_a_waiting_one():
    # Row 2 (half in B) is current by bar 3; row 1 is never traded.
    values = backtest(CALENDAR_PRICES, {ts(0): [1, 0], ts(1): [0, 1], ts(2): [0, 0.5]}, resample=[ts(0), ts(3)])
    assert values.tolist() == [1, 1, 1, 1, 1, 1.5, 2.5]
    assert simora.get_stock_operations()["weight_time"] == 2


@pytest.mark.parametrize(
    "retain, expected",
    [
        # Kept cost basis: the tracker is 6/8 at the bar-2 rebalance and
        # 5/8 < 3/4 at bar 3, so the stop sells at bar 4's price 5.
        (True, [1, 1, 0.75, 0.625, 0.625, 0.625]),
        # Reset at bar 2: 5/6 never falls below 3/4, the holding rides to 8.
        (False, [1, 1, 0.75, 0.625, 0.625, 1.0]),
    ],
)
def test_retain_cost_when_rebalance_keeps_or_resets_the_stop_basis(retain, expected):
    values = backtest(
        [8, 8, 6, 5, 5, 8], {ts(0): [1.0], ts(1): [1.0]}, stop_loss=0.25, retain_cost_when_rebalance=retain
    )
    assert values.tolist() == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize(
    "row, limit, expected",
    [
        ([0.8, 0], 1.0, 0.2 + 0.8 * 2),
        ([0.8, 0], 0.5, 0.5 + 0.5 * 2),  # capped at half the portfolio
        ([-0.8, 0], 0.5, 1.5 - 0.5 * 2),  # a short is capped the same way
        ([1.5, 0.5], 1.0, 0.75 * 2 + 0.25),  # weights summing to 2 are halved
        ([1.5, 0.5], 0.5, 0.25 + 0.5 * 2 + 0.25),  # halved, then A capped
    ],
)
def test_position_limit_caps_each_target(row, limit, expected):
    # A doubles on bar 2, B stays flat.
    values = backtest([[1, 1], [1, 1], [2, 1]], {ts(0): row}, position_limit=limit)
    assert values[2] == expected


def test_missing_prices_carry_the_holding_value():
    # bar 1: bought at a NaN price, carried at 1; bar 2: the NaN reference is
    # filled by 10 (ratio 1), closes at 15/10; bar 3: NaN, carried 1;
    # bar 4: 12 against the last good price 10 -> 1.2, closes at 18/12 -> 1.8;
    # bar 5: NaN close, carried 1.2.
    nan = np.nan
    values = backtest([8, nan, 10, nan, 12, 12], {ts(0): [1.0]}, close=[8, nan, 15, nan, 18, nan])
    assert values.tolist() == pytest.approx([1, 1, 1.5, 1, 1.8, 1.2], rel=1e-12)


@pytest.mark.parametrize(
    "delisting, expected",
    [
        # Entered at bar 2 by the rebalance (63/64), then closed the same bar
        # at fee and tax: 63/64 * 61/64.
        ([2], [1, 1, 3843 / 4096, 3843 / 4096]),
        ([-1], [1, 1, 63 / 64, 63 / 64]),
    ],
)
def test_delisting_closes_after_the_rebalance_of_that_bar(delisting, expected):
    bars = np.array(delisting, dtype=np.int64)
    bars.flags.writeable = False
    values = backtest([8, 8, 8, 8], {ts(0): [0.0], ts(1): [1.0]}, fee_ratio=FEE, tax_ratio=TAX, delisting_bars=bars)
    assert values.tolist() == expected
    assert trades() == ([[0, 2, 2]] if delisting[0] == 2 else [[0, 2, -1]])


def test_all_zero_weights_close_everything():
    # Two halves of 63/128 each, both sold at 3/64 costs.
    values = backtest([[8, 8]] * 3, {ts(0): [0.5, 0.5], ts(1): [0.0, 0.0]}, fee_ratio=FEE, tax_ratio=TAX)
    assert values.tolist() == [1.0, 63 / 64, 3843 / 4096]
    assert trades() == [[0, 1, 2], [1, 1, 2]]
    assert simora.get_stock_operations()["weights"] == {}


@pytest.mark.parametrize(
    "periodically, retain, expected_trades, expected_weights",
    [
        (True, False, [[0, 1, 2], [0, 2, -1]], [1.0, 0.5]),
        (False, False, [[0, 1, -1]], [1.0]),
        (True, True, [[0, 1, -1]], [1.0]),
    ],
)
def test_resize_rebases_the_excursion_record_only_when_periodic(
    periodically, retain, expected_trades, expected_weights
):
    backtest(
        [8, 8, 8, 8],
        {ts(0): [1.0], ts(1): [0.5]},
        periodically_rebalance=periodically,
        retain_cost_when_rebalance=retain,
    )
    assert trades() == expected_trades
    assert [float(w) for w in simora.exvalo.trade_positions] == expected_weights
