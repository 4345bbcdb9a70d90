"""How much to trust a backtest: deflated Sharpe ratio, CSCV, stationary bootstrap, walk-forward."""

import itertools
import math
import statistics

import numpy as np
import pandas as pd
import pytest

from vantrel import performance_stats
from vantrel._robustness import (
    cagr_stat,
    deflated_sharpe,
    expected_max_sharpe,
    max_drawdown_stat,
    optimal_block_length,
    probabilistic_sharpe,
    probability_of_overfitting,
    sharpe_stat,
    stationary_bootstrap,
    walk_forward_folds,
    walk_forward_select,
)

NORMAL = statistics.NormalDist()


def test_deflated_sharpe_reproduces_the_papers_numerical_example():
    # Bailey and Lopez de Prado (2014), numerical example: 100 trials whose annualised
    # Sharpe ratios vary by 1/2, the best 2.5 annualised over 5 years of 250 daily
    # returns, skewness -3, kurtosis 10: SR0 = 0.1132 per day and DSR = 0.9004.
    sr0 = expected_max_sharpe(100, 0.5 / 250)
    assert sr0 == pytest.approx(0.1132, abs=5e-5)
    assert probabilistic_sharpe(2.5 / math.sqrt(250), sr0, 1250, -3.0, 10.0) == pytest.approx(0.9004, abs=5e-5)


def test_deflated_sharpe_of_a_sweep_follows_the_definition():
    rng = np.random.default_rng(7)
    returns = rng.normal(0.0, 0.01, (400, 12)) + np.linspace(0, 0.001, 12)
    returns[:, 5] = rng.standard_t(4, 400) * 0.01 + 0.002  # fat tails, the best
    frame = pd.DataFrame(returns, columns=[f"v{i}" for i in range(12)]).assign(flat=0.0)  # never trades
    got = deflated_sharpe(frame)

    columns = [list(map(float, returns[:, j])) for j in range(12)]
    ratios = [statistics.mean(c) / statistics.stdev(c) for c in columns]
    best = max(range(12), key=ratios.__getitem__)
    sr, r = ratios[best], columns[best]
    mean = statistics.mean(r)
    m2, m3, m4 = (sum((v - mean) ** p for v in r) / len(r) for p in (2, 3, 4))
    skew, kurt = m3 / m2**1.5, m4 / m2**2
    g = 0.5772156649015329
    sr0 = math.sqrt(statistics.variance(ratios)) * (
        (1 - g) * NORMAL.inv_cdf(1 - 1 / 12) + g * NORMAL.inv_cdf(1 - 1 / (12 * math.e))
    )
    dsr = NORMAL.cdf((sr - sr0) * math.sqrt(len(r) - 1) / math.sqrt(1 - skew * sr + (kurt - 1) / 4 * sr**2))

    assert (got.best, got.n_trials, got.undefined, got.bars) == ("v5", 12, 1, 400)
    assert [got.sharpe, got.expected_max, got.skewness, got.kurtosis, got.value] == pytest.approx(
        [sr, sr0, skew, kurt, dsr], rel=1e-9
    )


def _cscv_by_hand(returns, blocks):
    """PBO straight from the definition: a Sharpe ratio per split, loop over the splits."""
    length = len(returns) // blocks
    x = returns[: length * blocks]

    def sharpe(a):
        std = a.std(axis=0, ddof=1)
        return np.where(std > 1e-12 * np.abs(a).max(axis=0), a.mean(axis=0) / np.where(std > 0, std, 1), -np.inf)

    chosen, logits = [], []
    for inside in itertools.combinations(range(blocks), blocks // 2):
        mask = np.isin(np.arange(len(x)) // length, inside)
        is_, oos = sharpe(x[mask]), sharpe(x[~mask])
        pick = int(np.argmax(is_))
        rank = (oos < oos[pick]).sum() + ((oos == oos[pick]).sum() + 1) / 2
        w = rank / (x.shape[1] + 1)
        chosen.append(pick)
        logits.append(math.log(w / (1 - w)))
    return np.array(chosen), np.array(logits)


def test_cscv_matches_the_definition_split_by_split():
    rng = np.random.default_rng(11)
    returns = rng.normal(0.0003, 0.01, (171, 9))  # 171 bars: the last 3 are left out for 8 blocks
    returns[:, 4] = returns[:, 2]  # a tie: the first is chosen
    returns[:90, 6] = 0.0  # flat in the first half: undefined there, counted worst
    returns[100:, 7] = 0.002  # constant in the second half
    got = probability_of_overfitting(returns, blocks=8)
    chosen, logits = _cscv_by_hand(returns, 8)
    assert 4 not in got.chosen
    np.testing.assert_array_equal(got.chosen, chosen)
    np.testing.assert_allclose(got.logits, logits, rtol=0, atol=1e-12)
    assert (got.pbo, got.n_combinations, got.bars_used) == (np.mean(logits <= 0), 70, 168)


def test_pbo_of_noise_is_near_a_half_and_of_a_clear_winner_zero():
    rng = np.random.default_rng(2024)
    noise = rng.normal(0.0, 0.01, (2000, 50))
    assert 0.4 <= probability_of_overfitting(noise).pbo <= 0.6

    skilled = noise.copy()
    skilled[:, 17] += 0.01  # a Sharpe ratio of about 1 per bar
    got = probability_of_overfitting(skilled)
    assert got.pbo == 0.0 and set(got.chosen) == {17} and got.prob_oos_loss == 0.0
    assert got.n_combinations == 12870 and got.mean_out_of_sample > 0.5


def test_bootstrap_is_reproducible_and_covers_the_true_mean():
    returns = np.random.default_rng(3).normal(0.001, 0.01, 5000)

    def mean(samples):
        return samples.mean(axis=1)

    first = stationary_bootstrap(returns, mean, n=500, seed=42, block=10)
    again = stationary_bootstrap(returns, mean, n=500, seed=42, block=10)
    other = stationary_bootstrap(returns, mean, n=500, seed=43, block=10)
    np.testing.assert_array_equal(first.samples, again.samples)
    assert not np.array_equal(first.samples, other.samples)
    assert first.low < 0.001 < first.high and first.estimate == returns.mean()
    assert (first.n, first.level, first.block) == (500, 0.95, 10.0)


def test_block_length_rule_follows_the_dependence():
    # AR(1) with coefficient 0.5: the rule's target is (2 phi / (1 - phi^2))^(2/3) N^(1/3).
    n, phi = 20000, 0.5
    shocks = np.random.default_rng(0).normal(0.0, 0.01, n)
    series = np.empty(n)
    series[0] = shocks[0]
    for t in range(1, n):
        series[t] = phi * series[t - 1] + shocks[t]
    assert optimal_block_length(series) == pytest.approx((2 * phi / (1 - phi**2)) ** (2 / 3) * n ** (1 / 3), rel=0.15)
    assert optimal_block_length(shocks) < 3.0
    assert optimal_block_length(np.full(100, 0.001)) == 1.0


def test_bootstrap_point_estimates_equal_the_result_statistics():
    dates = pd.bdate_range("2020-01-01", periods=600)
    returns = np.random.default_rng(5).normal(0.0005, 0.012, 599)
    equity = pd.Series(np.concatenate([[100.0], 100.0 * np.cumprod(1.0 + returns)]), index=dates)
    years = (dates[-1] - dates[0]).days / 365.25
    stats = performance_stats(equity, periods_per_year=252)
    with_rate = performance_stats(equity, periods_per_year=252, risk_free=0.03)
    rate_per_bar = 1.03 ** (np.diff(dates) / pd.Timedelta(days=365.25)) - 1.0
    for stat, expected in [
        (sharpe_stat(252), stats["sharpe"]),
        (cagr_stat(years), stats["cagr"]),
        (max_drawdown_stat(), stats["max_drawdown"]),
        (sharpe_stat(252, risk_free=rate_per_bar), with_rate["sharpe"]),
    ]:
        got = stationary_bootstrap(returns, stat, n=100, seed=1)
        assert got.estimate == pytest.approx(expected, rel=0, abs=1e-12), stat.name
        assert got.low <= got.high and not np.isnan(got.samples).any()


def test_walk_forward_folds_and_stitched_equity_by_hand():
    assert walk_forward_folds(8, 2, 2) == [(0, 2, 2, 4), (2, 4, 4, 6), (4, 6, 6, 8)]
    assert walk_forward_folds(7, 2, 2, anchored=True) == [(0, 2, 2, 4), (0, 4, 4, 6), (0, 6, 6, 7)]
    returns = np.array(
        [
            [0.10, 0.00],
            [0.10, 0.00],
            [-0.10, 0.05],
            [-0.10, 0.05],
            [0.05, 0.00],
            [0.00, 0.10],
            [0.02, -0.05],
            [0.02, 0.01],
        ]
    )
    got = walk_forward_select(returns, walk_forward_folds(8, 2, 2), "total_return")
    # Training totals: fold 0 A 0.21 > B 0; fold 1 A -0.19 < B 0.1025; fold 2 A 0.05 < B 0.1.
    assert got.chosen == (0, 1, 1)
    np.testing.assert_allclose(got.in_sample, [0.21, 0.1025, 0.1])
    np.testing.assert_allclose(got.out_of_sample, [-0.19, 0.1, 0.95 * 1.01 - 1])
    np.testing.assert_allclose(got.returns, [-0.1, -0.1, 0.0, 0.1, -0.05, 0.01])
    np.testing.assert_allclose(got.equity, [1.0, 0.9, 0.81, 0.81, 0.891, 0.84645, 0.8549145])
    # Neither falls in fold 0's training rows: a tie, the first wins.
    assert walk_forward_select(returns, walk_forward_folds(8, 2, 2), "max_drawdown").chosen[0] == 0
    frame = walk_forward_select(pd.DataFrame(returns, columns=["a", "b"]), [(0, 2, 2, 4)], "sharpe").to_frame()
    assert frame["chosen"].tolist() == ["a"] and list(frame.columns[:4]) == [
        "train_start",
        "train_stop",
        "test_start",
        "test_stop",
    ]


NOISE = np.random.default_rng(9).normal(0.0, 0.01, (64, 3))


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda: deflated_sharpe(NOISE[:, :1]),
            (
                "deflated_sharpe needs at least 2 successful trials (with a "
                "defined Sharpe ratio: two bars or more and not constant), got 1"
            ),
        ),
        (
            lambda: probability_of_overfitting(np.column_stack([NOISE[:, 0], np.zeros(64)])),
            (
                "probability_of_overfitting needs at least 2 successful trials (with a defined Sharpe ratio: two bars "
                "or more and not constant), got 1"
            ),
        ),
        (
            lambda: deflated_sharpe([NOISE[:, 0], NOISE[:-1, 1]]),
            (
                "deflated_sharpe: returns of unequal length: "
                "trial 0 has 64 bars, trial 1 has 63; every trial needs the same bars"
            ),
        ),
        (
            lambda: deflated_sharpe(np.where(np.arange(64)[:, None] == 3, np.nan, NOISE)),
            "deflated_sharpe: returns must be finite: trial 0 has nan at bar 3",
        ),
        (
            lambda: probability_of_overfitting(NOISE[:31]),
            "probability_of_overfitting needs at least 32 bars for 16 blocks (two per block), got 31",
        ),
        (
            lambda: probability_of_overfitting(NOISE, blocks=5),
            "probability_of_overfitting: blocks must be an even whole number of at least 2, got 5",
        ),
        (
            lambda: stationary_bootstrap(NOISE[:, 0], sharpe_stat(252), n=99),
            "n must be a whole number of at least 100 resamples, got 99",
        ),
        (
            lambda: stationary_bootstrap(NOISE[:, 0], sharpe_stat(252), level=1.0),
            "level must be between 0 and 1 (exclusive), got 1.0",
        ),
        (
            lambda: stationary_bootstrap(NOISE[:, 0], sharpe_stat(252), level=0),
            "level must be between 0 and 1 (exclusive), got 0",
        ),
        (
            lambda: stationary_bootstrap(NOISE[:, 0], sharpe_stat(252), block=0),
            "block must be a mean block length of at least 1 bar, got 0",
        ),
        (
            lambda: stationary_bootstrap(NOISE[:, 0], lambda s: s.mean()),
            (
                "stat must return one value per resample (shape (1,)), got shape (); it receives a 2-D array "
                "with a resample per row"
            ),
        ),
        (
            lambda: walk_forward_select(NOISE, [(0, 10, 10, 20)], "profit"),
            (
                "select must be one of 'sharpe', 'sortino', 'cagr', 'total_return', 'calmar', 'max_drawdown'; "
                "got 'profit'"
            ),
        ),
        (
            lambda: walk_forward_folds(10, 10, 5),
            (
                "train=10 and test=5 leave no walk-forward fold in 10 rows: "
                "the first fold trains on 10 rows and needs at least one row after them to test on"
            ),
        ),
        (lambda: walk_forward_folds(10, 3, 0), "test must be a positive whole number of rows, got 0"),
        (
            lambda: walk_forward_select(NOISE, [(0, 40, 40, 65)]),
            (
                "fold 0 (0, 40, 40, 65) does not fit 64 rows "
                "of returns: it needs 0 <= train_start < train_stop <= test_start < test_stop <= rows"
            ),
        ),
    ],
)
def test_bad_input_is_refused_by_name(call, message):
    with pytest.raises(ValueError) as raised:
        call()
    assert str(raised.value) == message
