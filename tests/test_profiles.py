"""Market profiles: bundles of execution options that apply to a backtest as they are."""

import re

import numpy as np
import pandas as pd
import pytest

import vantrel
from conftest import requires_engine
from vantrel.datasets import synthetic_market
from vantrel.demo import momentum_weights


def test_profiles_list_every_profile_with_one_line_and_take_overrides():
    listed = vantrel.profiles()
    assert {"frictionless", "us_equities", "asia_board_lot_1000_limit_10", "asia_board_lot_100_limit_10"} <= set(listed)
    assert all(isinstance(line, str) and "\n" not in line for line in listed.values())
    us = vantrel.profile("us_equities", capital=5_000_000, participation=0.1)
    assert (us["capital"], us["lot_size"], us["participation"], us["tax_ratio"]) == (5_000_000, 1, 0.1, 0.0)
    board = vantrel.profile("asia_board_lot_1000_limit_10")
    assert (board["lot_size"], board["price_limit"], board["min_fee"], board["tax_ratio"]) == (1000, 0.1, 20.0, 0.003)
    board["lot_size"] = 1
    assert vantrel.profile("asia_board_lot_1000_limit_10")["lot_size"] == 1000  # a new dict each time


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda: vantrel.profile("japan"),
            ValueError,
            (
                "unknown profile 'japan'; the profiles are 'frictionless', 'us_equities', "
                "'asia_board_lot_1000_limit_10', 'asia_board_lot_100_limit_10' (see vantrel.profiles())"
            ),
        ),
        (
            lambda: vantrel.profile("us_equities", capitol=1e6),
            TypeError,
            (
                "profile() does not take 'capitol': overrides are execution options and costs (fee_ratio, tax_ratio, "
                "capital, lot_size, min_fee, slippage, impact, participation, price_limit, cash_rate, borrow_rate, "
                "leverage, margin_rate)"
            ),
        ),
    ],
)
def test_bad_profile_calls_are_named(call, error, message):
    with pytest.raises(error, match=re.escape(message)):
        call()


@requires_engine
def test_every_profile_applies_to_a_backtest_and_frictionless_changes_nothing():
    market = synthetic_market(30, 300, seed=4)
    weights = momentum_weights(market.close, lookback=60, skip=5, top=5)
    plain = vantrel.backtest(weights, market, rebalance="ME", stop_loss=0.1)
    for name in vantrel.profiles():
        result = vantrel.backtest(weights, market, rebalance="ME", stop_loss=0.1, **vantrel.profile(name))
        assert result.settings["capital"] == vantrel.profile(name)["capital"], name
        if name == "frictionless":
            np.testing.assert_array_equal(result.equity.to_numpy(), plain.equity.to_numpy())
            pd.testing.assert_frame_equal(result.trades, plain.trades)
        else:
            assert result.stats["costs_paid_slippage"] > 0, name  # every other profile has slippage
            assert (result.fills["shares"] % vantrel.profile(name)["lot_size"] == 0).all(), name
