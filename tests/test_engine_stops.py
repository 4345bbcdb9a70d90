"""Stop-loss, take-profit and trailing exits in close and touched mode."""

import numpy as np
import pytest

from engine_builders import FEE, TAX, actions, backtest, trades, ts
from vantrel._stops import StopTable

FLAT = [8, 8, 8, 8]


def touched(prices, weight, bar2, **options):
    """Touched-mode run of one stock entered at bar 1; ``bar2`` overrides that
    bar's high, low and open (which otherwise equal the trading price)."""
    high, low, open_ = (list(prices) for _ in range(3))
    high[2] = bar2.get("high", high[2])
    low[2] = bar2.get("low", low[2])
    open_[2] = bar2.get("open", open_[2])
    return backtest(prices, {ts(0): [weight]}, high=high, low=low, open=open_, touched_exit=True, **options)


@pytest.mark.parametrize(
    "stop, close2, expected, label",
    [
        # Entered at 63/64. Close return 6/8 = 3/4 sits on the stop level:
        # strict <, no exit; bar 3 marks 63/64 * 10/8.
        ({"stop_loss": 0.25}, 6, 315 / 256, None),
        # 5/8 is below: sold on bar 3 at its trading price 10, less fee and tax.
        ({"stop_loss": 0.25}, 5, 315 / 256 * 61 / 64, "sl_"),
        # 12/8 = 3/2 reaches the take-profit level (>=).
        ({"take_profit": 0.5}, 12, 315 / 256 * 61 / 64, "tp_"),
        ({"take_profit": 0.5}, 11.75, 315 / 256, None),
    ],
)
def test_close_mode_sells_on_the_next_bar_at_its_trading_price(stop, close2, expected, label):
    values = backtest(
        [8, 8, 8, 10, 10], {ts(0): [1.0]}, close=[8, 8, close2, 10, 10], fee_ratio=FEE, tax_ratio=TAX, **stop
    )
    assert values[3] == expected
    assert values[4] == expected
    assert actions() == ({0: label} if label else {})


@pytest.mark.parametrize(
    "stop, bar2, sold_at, label",
    [
        ({"stop_loss": 0.25}, {"low": 6}, 0.75, "sl_"),  # low return 3/4 <= level
        ({"stop_loss": 0.25}, {"low": 6.5}, None, None),
        ({"stop_loss": 0.25}, {"open": 5, "low": 5}, 0.625, "sl_"),  # gap: at the open
        ({"take_profit": 0.25}, {"high": 10}, 1.25, "tp_"),
        ({"take_profit": 0.25}, {"open": 11, "high": 11}, 1.375, "tp_"),
        # Both levels touched, open between them: sold at the upper level and
        # labelled by it.
        ({"stop_loss": 0.25, "take_profit": 0.25}, {"high": 10, "low": 6}, 1.25, "tp_"),
    ],
)
def test_touched_mode_sells_within_the_bar_at_the_level(stop, bar2, sold_at, label):
    values = touched(FLAT, 1.0, bar2, **stop)
    assert values[2] == (sold_at if sold_at else 1.0)
    assert actions() == ({0: label} if label else {})


def test_touched_sale_pays_fee_and_tax():
    # 63/64 at entry, sold at 3/4 of it, less 3/64.
    values = touched(FLAT, 1.0, {"low": 6}, stop_loss=0.25, fee_ratio=FEE, tax_ratio=TAX)
    assert values[2] == 63 / 64 * 0.75 * 61 / 64
    assert trades() == [[0, 1, 2]]


@pytest.mark.parametrize(
    "stop, bar2, value, label",
    [
        # Short of 1 at 8: cash 2. A rise to the stop level buys back at 5/4.
        ({"stop_loss": 0.25}, {"high": 10}, 0.75, "sl_"),
        ({"stop_loss": 0.25}, {"open": 12, "high": 12}, 0.5, "sl_"),
        # A fall to the take-profit level buys back at 3/4.
        ({"take_profit": 0.25}, {"low": 6}, 1.25, "tp_"),
        ({"take_profit": 0.25}, {"open": 4, "low": 4}, 1.5, "tp_"),
    ],
)
def test_touched_mode_short(stop, bar2, value, label):
    values = touched(FLAT, -1.0, bar2, **stop)
    assert values[2] == value
    assert actions() == {0: label}


@pytest.mark.parametrize(
    "stop, close2, value, label",
    [
        # Fires on bar 2, bought back on bar 3 at 12: 2 - 12/8.
        ({"stop_loss": 0.25}, 10, 0.5, "sl_"),
        ({"take_profit": 0.25}, 5, 0.5, "tp_"),
        ({"take_profit": 0.25}, 6, None, None),  # 3/4 is not below 3/4
    ],
)
def test_close_mode_short(stop, close2, value, label):
    values = backtest([8, 8, 8, 12], {ts(0): [-1.0]}, close=[8, 8, close2, 12], **stop)
    assert values[3] == (value if value is not None else 0.5)
    assert actions() == ({0: label} if label else {})
    assert trades() == ([[0, 1, 3]] if label else [[0, 1, -1]])


@pytest.mark.parametrize(
    "weight, prices, trail, activation, last",
    [
        # Peak 12/8 = 1.5 activates: level 1.25; 10.5/8 = 1.3125 holds,
        # 9.6/8 = 1.2 fires, sold at 8 on bar 5 and out before the doubling.
        (1.0, [8, 8, 12, 10.5, 9.6, 8, 16], 0.25, 0.5, 1.0),
        (1.0, [8, 8, 12, 10.5, 9.6, 8, 16], -0.25, -0.5, 1.0),
        # Peak 11/8 never reaches 1.5: no trailing level, rides to 2.
        (1.0, [8, 8, 11, 10.5, 9.6, 8, 16], 0.25, 0.5, 2.0),
        # Short: trough 4/8 activates, level 0.75; 6/8 fires, bought back at 8.
        (-1.0, [8, 8, 4, 5, 6, 8, 4], 0.25, 0.5, 1.0),
        (-1.0, [8, 8, 5, 5, 6, 8, 4], 0.25, 0.5, 1.5),
    ],
)
def test_trailing_stop_with_activation(weight, prices, trail, activation, last):
    values = backtest(prices, {ts(0): [weight]}, trail_stop=trail, trail_stop_activation=activation)
    assert values[6] == pytest.approx(last, rel=1e-12)


# A and B flat at 8; A's close collapses on bar 2 (stop-loss 1/4 fires), and
# a new row becomes current that bar, so bar 3 both runs the deferred exit and
# rebalances. Half of A was bought on bar 1 (cash 1/2, A 63/128).
@pytest.mark.parametrize(
    "row1_date, row1, stop_trading_next_period, bar3",
    [
        # Skipped: the rebalance sees A at 63/128 (total 127/128), closes it and
        # buys B for 127/256 at the fee.
        (ts(2), [0.0, 0.5], False, 15751 / 16384),
        # Sold first (cash 7939/8192), B bought for half of that.
        (ts(2), [0.0, 0.5], True, 1008253 / 1048576),
        # Weight kept: sold, then re-entered with B, each at half of 7939/8192.
        (ts(2), [0.5, 0.5], False, 500157 / 524288),
        # No rebalance on bar 3: the exit runs and nothing is bought.
        (ts(3), [0.0, 0.5], False, 7939 / 8192),
    ],
)
def test_deferred_exit_skipped_only_when_the_rebalance_closes_the_stock(
    row1_date, row1, stop_trading_next_period, bar3
):
    values = backtest(
        [[8, 8]] * 5,
        {ts(0): [0.5, 0.0], row1_date: row1},
        close=[[8, 8], [8, 8], [4, 8], [8, 8], [8, 8]],
        stop_loss=0.25,
        fee_ratio=FEE,
        tax_ratio=TAX,
        stop_trading_next_period=stop_trading_next_period,
    )
    assert values[3] == bar3


@pytest.mark.parametrize("stop_trading_next_period, last", [(True, 0.75), (False, 1.5)])
def test_stopped_stock_stays_out_at_the_next_rebalance(stop_trading_next_period, last):
    # Touched out at 3/4 on bar 2; the bar-3 rebalance repeats weight 1 and the
    # price then doubles.
    prices = [8, 8, 8, 8, 16]
    low = [8, 8, 6, 8, 16]
    values = backtest(
        prices,
        {ts(0): [1.0], ts(2): [1.0]},
        high=prices,
        low=low,
        open=prices,
        touched_exit=True,
        stop_loss=0.25,
        stop_trading_next_period=stop_trading_next_period,
    )
    assert values[4] == last


def test_flat_key_left_by_a_touched_exit_fires_nothing_more():
    # Stopped out low on bar 2; on bar 3 the high would reach the short-side
    # level of the empty key, which must not relabel the exit.
    prices = [8, 8, 8, 8]
    values = backtest(
        prices, {ts(0): [1.0]}, high=[8, 8, 8, 10], low=[8, 8, 6, 8], open=prices, touched_exit=True, stop_loss=0.25
    )
    assert values.tolist() == [1, 1, 0.75, 0.75]
    assert actions() == {0: "sl_"}
    assert trades() == [[0, 1, 2]]


# A and B half each, flat at 8 except a close of 5 (5/8 of the entry) on
# bars 2 and 3; A doubles on bar 5.
STOP_PRICES = [[8, 8]] * 5 + [[16, 8]]
STOP_CLOSES = [[8, 8], [8, 8], [5, 5], [5, 5], [8, 8], [16, 8]]


@pytest.mark.parametrize(
    "stop_loss, b_exit_bar",
    [
        (np.array([0.5, 0.25]), 3),  # per stock: only B's 3/4 level is crossed
        (np.array([[0.5, 0.5]] * 3 + [[0.5, 0.25]] * 3), 4),  # per bar: B's from bar 3
        (StopTable([[0.5, 0.5], [0.5, 0.25]], [0, 0, 0, 1, 1, 1]), 4),
        (StopTable([[-0.5, -0.5], [-0.5, -0.25]], [0, 0, 0, 1, 1, 1]), 4),
    ],
)
def test_stop_thresholds_per_stock_and_per_bar(stop_loss, b_exit_bar):
    values = backtest(STOP_PRICES, {ts(0): [0.5, 0.5]}, close=STOP_CLOSES, stop_loss=stop_loss)
    assert trades() == [[1, 1, b_exit_bar], [0, 1, -1]]
    assert values[5] == 1.5
