"""The execution options on hand-computed books of a few bars, one option each.

Weights dated at bar k trade on bar k + 1 at the close; capital books count
currency, fractional ones units of the initial capital.
"""

import numpy as np
import pytest

import vantrel
from execution_books import market, weights


def fills(result, *columns):
    return result.fills[list(columns)].to_numpy().tolist()


def test_lots_round_down_and_leave_the_rest_in_cash():
    m = market([10, 11, 12])
    r = vantrel.backtest(weights(m, {0: [1.0]}), m, capital=10_000, lot_size=100)
    # 10,000 / 11 is 909 shares: 9 lots of 100 fit, 100 stays in cash.
    assert fills(r, "side", "shares", "price", "value", "reason") == [["buy", 900.0, 11.0, 9900.0, "rebalance"]]
    assert r.equity.tolist() == pytest.approx([1.0, 1.0, 1.09], abs=1e-15)
    assert r.value.iloc[-1] == pytest.approx(100 + 900 * 12)
    assert r.trades["shares"].tolist() == [900.0]


def test_the_minimum_fee_is_charged_and_reserved():
    m = market([10, 11, 12])
    r = vantrel.backtest(weights(m, {0: [1.0]}), m, capital=10_000, min_fee=5.0, fee_ratio=0.0001)
    # 909 shares would cost 9,999 + 5; 908 cost 9,988 + 5 (the 0.01% fee is below the minimum).
    assert fills(r, "shares", "fee") == [[908.0, 5.0]]
    assert r.equity.tolist() == pytest.approx([1.0, (7 + 908 * 11) / 1e4, (7 + 908 * 12) / 1e4], abs=1e-15)
    assert r.costs["fees"].sum() == pytest.approx(5.0 / 10_000) == r.trades["fees"].sum()


@pytest.mark.parametrize("capital", [10_000.0, None], ids=["capital", "fractional"])
def test_slippage_costs_both_sides(capital):
    m = market([10, 10, 10, 10])
    r = vantrel.backtest(weights(m, {0: [1.0], 1: [0.0]}), m, capital=capital, slippage=0.01)
    assert fills(r, "side", "price") == [["buy", 10.1], ["sell", 9.9]]
    if capital:
        # 990 shares at 10.10 fit 10,000; sold at 9.90: 198 of slippage.
        assert r.fills["slippage"].tolist() == pytest.approx([99.0, 99.0])
        assert r.equity.iloc[-1] == pytest.approx(0.9802, abs=1e-15)
    else:
        # Out of the position on the purchase, out of the proceeds on the sale.
        assert r.equity.iloc[-1] == pytest.approx(0.99 * 0.99, abs=1e-15)
    assert r.costs["slippage"].sum() == pytest.approx(1.0 - r.equity.iloc[-1], abs=1e-15)
    assert r.trades["slippage"].sum() == pytest.approx(r.costs["slippage"].sum(), abs=1e-15)


def test_the_participation_cap_carries_the_decided_shares():
    # 100 shares decided at 10; 10% of 300 a bar fills 30, 30, 30 and the last 10 whatever the
    # price meanwhile, the cash going exactly to 0.
    m = market([10, 10, 12, 8, 10, 10], volume=[300.0] * 6)
    r = vantrel.backtest(weights(m, {0: [1.0]}), m, capital=1000, participation=0.1)
    assert fills(r, "bar", "shares", "price", "reason") == [
        [1, 30.0, 10.0, "rebalance"],
        [2, 30.0, 12.0, "carried"],
        [3, 30.0, 8.0, "carried"],
        [4, 10.0, 10.0, "carried"],
    ]
    assert r.equity.tolist() == pytest.approx([1.0, 1.0, 1.06, 0.82, 1.0, 1.0], abs=1e-15)
    assert r.trades["shares"].tolist() == [100.0]


def test_price_limits_hold_a_buy_and_a_sale_for_a_bar():
    # +10% on bar 1 is limit-up: bought on bar 2; -10% on bar 4 is limit-down: sold on bar 5.
    m = market([10, 11, 10.5, 12, 10.8, 11])
    r = vantrel.backtest(weights(m, {0: [1.0], 3: [0.0]}), m, capital=10_000, lot_size=100, price_limit=0.1)
    assert fills(r, "bar", "side", "shares", "price", "reason") == [
        [2, "buy", 900.0, 10.5, "carried"],
        [5, "sell", 900.0, 11.0, "carried"],
    ]
    assert r.equity.iloc[-1] == pytest.approx((550 + 900 * 11) / 1e4, abs=1e-15)


def test_interest_on_an_all_cash_run():
    # Friday, Monday, Tuesday, Wednesday: 3 days, then 1 and 1.
    m = market([10, 10, 10, 10], dates=["2024-01-05", "2024-01-08", "2024-01-09", "2024-01-10"])
    r = vantrel.backtest(weights(m, {0: [0.0]}), m, cash_rate=0.05)
    cash, expected = 1.0, [1.0]
    for days in (3, 1, 1):
        cash = cash + cash * 0.05 * days / 365
        expected.append(cash)
    assert r.equity.tolist() == pytest.approx(expected, rel=1e-15)
    assert r.costs["cash_interest"].sum() == pytest.approx(cash - 1.0, rel=1e-12)


def test_a_flat_short_pays_its_borrow_fee():
    m = market([10, 10, 10, 10])
    r = vantrel.backtest(weights(m, {0: [-1.0]}), m, borrow_rate=0.1)
    fee = 1.0 * 0.1 * 1 / 365  # on the value at the previous close, from the bar after the short opens
    assert r.equity.tolist() == pytest.approx([1.0, 1.0, 1.0 - fee, 1.0 - 2 * fee], abs=1e-15)
    assert r.trades["borrow"].tolist() == pytest.approx([2 * fee])
    assert r.trades["profit"].tolist() == pytest.approx([-2 * fee])


def test_leverage_keeps_a_row_at_full_size_and_negative_cash_pays_margin():
    m = market([[10, 10], [10, 10], [11, 10], [11, 10]])
    r = vantrel.backtest(weights(m, {0: [1.0, 1.0]}), m, leverage=2.0, margin_rate=0.1)
    # Both stocks at the whole portfolio value: cash -1, then 10% up on the first.
    margin = 0.1 / 365
    assert r.equity.tolist() == pytest.approx([1.0, 1.0, 1.1 - margin, 1.1 - margin - (1 + margin) * margin], abs=1e-15)
    assert r.portfolio["weight"].tolist() == pytest.approx([1.0, 1.0])
    unlevered = vantrel.backtest(weights(m, {0: [1.0, 1.0]}), m)
    assert unlevered.equity.iloc[-1] == pytest.approx(1.05)


@pytest.mark.parametrize("capital", [10_000.0, None], ids=["capital", "fractional"])
@pytest.mark.parametrize("side", [1.0, -1.0], ids=["long", "short"])
def test_a_dividend_leaves_a_flat_stock_holder_whole(capital, side):
    # The price drops by the 0.50 paid on the ex-date bar; the holder (a short pays) is even.
    m = market([10, 10, 9.5, 9.5], dividends={(2, 0): 0.5})
    r = vantrel.backtest(weights(m, {0: [side]}), m, capital=capital)
    assert r.equity.tolist() == pytest.approx([1.0] * 4, abs=1e-15)
    assert r.costs["dividends"].tolist() == pytest.approx([side * 0.05])
    assert r.trades["dividends"].tolist() == pytest.approx([side * 0.05])


@pytest.mark.parametrize("capital", [10_000.0, None], ids=["capital", "fractional"])
def test_a_split_multiplies_the_shares_and_moves_nothing_else(capital):
    # 2-for-1 on bar 2: quoted 100 becomes 50; a 10% stop must not take it for a fall.
    m = market([100, 100, 50, 50, 50], splits={(2, 0): 2.0})
    r = vantrel.backtest(
        weights(m, {0: [1.0], 3: [0.0]}), m, capital=capital, lot_size=100 if capital else 1, stop_loss=0.1
    )
    assert r.equity.tolist() == pytest.approx([1.0] * 5, abs=1e-15)
    shares = 100.0 if capital else 0.01
    assert fills(r, "bar", "side", "shares", "price") == [[1, "buy", shares, 100.0], [4, "sell", 2 * shares, 50.0]]
    assert r.trades[["shares", "entry_price", "exit_price"]].to_numpy().tolist() == [[2 * shares, 100.0, 50.0]]
    assert r.trades["exit_reason"].tolist() == ["rebalance"]
    # Nor does the stock as a benchmark fall, alone or in the equal-weight universe.
    for benchmark in (m.columns[0], "equal_weight"):
        curve = vantrel.backtest(weights(m, {0: [1.0]}), m, benchmark=benchmark).benchmark
        assert curve.tolist() == [1.0] * len(curve)


def test_a_suspended_stock_waits_and_nothing_is_valued_at_nan():
    # No price on bar 2 (a rebalance) and no volume on bar 3: the order waits until bar 4.
    m = market(
        [[10, 20], [10, 20], [np.nan, 20], [10, 20], [10, 20]],
        volume=[[1e6, 1e6]] * 2 + [[1e6, 1e6], [0, 1e6], [1e6, 1e6]],
    )
    r = vantrel.backtest(weights(m, {0: [0.0, 1.0], 1: [1.0, 0.0]}), m, capital=10_000, slippage=0.001)
    assert np.isfinite(r.equity).all()
    assert fills(r, "bar", "stock", "side", "reason") == [
        [1, "B", "buy", "rebalance"],
        [2, "B", "sell", "rebalance"],
        [4, "A", "buy", "carried"],
    ]
