"""The native engine against the plain-Python reference, bit for bit: value series,
final-portfolio description, trades, excursion statistics, trade records and errors.

VANTREL_DIFF_SCENARIOS sets the number of random scenarios (default 300);
VANTREL_DIFF_SEED replays a single seed.
"""

import os
import time

import numpy as np
import pytest

from reference import Simora, market
from reference.outcomes import capture, differences
from reference.scenarios import DAY, START, Scenario, make_scenario

simora = pytest.importorskip("vantrel.core.simora")
from vantrel.core import exvalo  # noqa: E402  (only once the engine exists)

SCENARIOS = int(os.environ.get("VANTREL_DIFF_SCENARIOS", "300"))
REPLAY = os.environ.get("VANTREL_DIFF_SEED")
REPORTED = 15


def compare(scenario, reference=None):
    """Differences of one call; `reference` carries the module state of earlier calls."""
    reference = reference or Simora()
    native = capture(simora, exvalo, scenario)
    expected = capture(reference, reference.session, scenario)
    return differences(native, expected)


def test_random_scenarios_match_the_reference():
    seeds = [int(REPLAY)] if REPLAY else range(SCENARIOS)
    # One reference module for the whole sequence, like the native one: a failed run
    # leaves the previous results and settings in place on both sides.
    reference = Simora()
    assert compare(make_scenario(0, fault_share=0.0, edge_share=0.0), reference) == []
    failures = []
    started = time.perf_counter()
    for seed in seeds:
        scenario = make_scenario(seed)
        found = compare(scenario, reference)
        if found:
            failures.append(f"{scenario.describe()}\n    " + "\n    ".join(found[:4]))
    elapsed = time.perf_counter() - started
    assert not failures, (
        f"{len(failures)} of {len(seeds)} scenarios differ ({elapsed:.1f}s); replay one with "
        "VANTREL_DIFF_SEED=<seed>:\n" + "\n".join(failures[:REPORTED])
    )


def test_normalize_weight_matches_the_reference():
    rng = np.random.default_rng(7)
    for _ in range(200):
        n = int(rng.integers(0, 6))
        weights = {int(k): float(w) for k, w in enumerate(np.round(rng.normal(0, 0.6, n), 2))}
        if n and rng.random() < 0.1:
            weights[0] = float("nan")
        limit = float(rng.choice([0.1, 0.25, 0.4, 1.0]))
        native = simora.normalize_weight(dict(weights), limit)
        expected = Simora.normalize_weight(dict(weights), limit)
        assert list(native) == list(expected)
        assert np.array_equal(list(native.values()), list(expected.values()), equal_nan=True)
    for bad in (None, {0: "x"}):
        with pytest.raises(Exception) as native_error:
            simora.normalize_weight(bad, 0.5)
        with pytest.raises(Exception) as expected_error:
            Simora.normalize_weight(bad, 0.5)
        assert (native_error.type, str(native_error.value)) == (expected_error.type, str(expected_error.value))


real_data = pytest.mark.skipif(not market.DATA.is_dir(), reason="shared market data absent")


@real_data
@pytest.mark.parametrize(
    "options",
    [
        dict(stop_loss=0.1, take_profit=0.3, exvalo_window=20, exvalo_window_step=5),
        dict(
            stop_loss=0.08,
            trail_stop=0.08,
            trail_stop_activation=0.1,
            stop_trading_next_period=False,
            retain_cost_when_rebalance=True,
        ),
        dict(
            stop_loss=0.15,
            take_profit=0.2,
            touched_exit=False,
            periodically_rebalance=False,
            position_limit=0.15,
            fee_ratio=0.0,
            tax_ratio=0.0,
        ),
    ],
    ids=["stops", "trailing-retained", "capped-no-resample"],
)
def test_monthly_momentum_on_twenty_stocks(options):
    arguments = market.momentum_top5(*market.load_closes())
    assert compare(Scenario("sp500", list(arguments.values()), options)) == []


@real_data
@pytest.mark.parametrize(
    "options",
    [
        dict(stop_loss=0.05, take_profit=0.1, touched_exit=True, exvalo_window=10),
        dict(
            stop_loss=0.1,
            trail_stop=0.05,
            trail_stop_activation=0.05,
            touched_exit=True,
            stop_trading_next_period=False,
        ),
    ],
    ids=["levels", "trailing"],
)
def test_touched_exits_on_daily_bars(options):
    arguments = market.weekly_equal_weight(*market.load_ohlc())
    assert compare(Scenario("ohlc", list(arguments.values()), options)) == []


@pytest.mark.parametrize("retain", [False, True], ids=["restarted", "retained"])
def test_few_weights_among_many_stocks(retain):
    # Rows of a few weights of mixed magnitudes (and signed zeros) among 300 stocks:
    # a row's total is summed in blocks and halves, so where the weights sit decides
    # its bits, and only the listed and held stocks may trade.
    rng = np.random.default_rng(11)
    n_bars, n_stocks, n_rows = 60, 300, 12
    price = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.03, (n_bars, n_stocks)), axis=0))
    weights = np.zeros((n_rows, n_stocks))
    for row in weights:
        picked = rng.choice(n_stocks, size=int(rng.integers(3, 40)), replace=False)
        row[picked] = rng.choice([1.0, -1.0], picked.size) * 10.0 ** rng.uniform(-4, 0, picked.size)
        row[rng.choice(n_stocks, 5, replace=False)] *= -0.0
    bars = START + DAY * np.arange(n_bars, dtype=np.int64)
    labels = np.array([f"S{i}" for i in range(n_stocks)], dtype=object)
    dates = bars[np.linspace(0, n_bars - 1, n_rows).astype(int)]
    args = [price, price * 1.001, None, None, None, bars, labels, weights, dates, labels, dates]
    options = dict(stop_loss=0.05, trail_stop=0.04, trail_stop_activation=0.02, retain_cost_when_rebalance=retain)
    assert compare(Scenario("sparse", args, options)) == []
