"""How much to trust a result, through the package: sweep returns and overfitting, walk-forward,
bootstrap intervals, cost sensitivity and random portfolios, and where the report shows them."""

import pickle
import re
import xml.etree.ElementTree as ET

import numpy as np
import pandas as pd
import pytest

import vantrel
from conftest import requires_engine
from sweep_helpers import choosy, momentum, tiny_market
from vantrel._results.random_portfolios import _Draw
from vantrel._robustness import deflated_sharpe, probability_of_overfitting

pytestmark = requires_engine
COSTS = dict(rebalance="ME", fee_ratio=0.001425, tax_ratio=0.003)


@pytest.fixture(scope="module")
def market():
    return tiny_market()


@pytest.fixture(scope="module")
def result(market):
    return vantrel.backtest(momentum(market), market, **COSTS, risk_free=0.03)


def hold(market, *, stock):
    """All in one stock from the first bar."""
    return pd.DataFrame({stock: [1.0]}, index=market.index[:1])


def test_sweep_returns_are_each_variants_own_returns_in_memory_and_from_the_store(market, tmp_path):
    grid = {"lookback": [20, 60], "fail": [None, "raise"]}  # two start dates, two failures
    swept = vantrel.sweep(market, grid, strategy=choosy, options=COSTS, workers=1, store=tmp_path / "s.sqlite")
    returns = swept.returns
    starts = []
    for number in (0, 2):
        own = vantrel.backtest(choosy(market, lookback=grid["lookback"][number // 2]), market, **COSTS).returns
        column = returns[number]
        np.testing.assert_array_equal(column.loc[own.index].to_numpy(), own.to_numpy())  # to the bit
        assert column.loc[: own.index[0]].iloc[:-1].isna().all()
        starts.append(own.index[0])
    assert returns.index[0] == min(starts) and returns.index[-1] == market.index[-1] and starts[0] != starts[1]
    assert list(returns.columns) == [0, 1, 2, 3] and returns[[1, 3]].isna().all().all()
    again = vantrel.sweep(market, grid, strategy=choosy, options=COSTS, store=tmp_path / "s.sqlite", resume=True)
    pd.testing.assert_frame_equal(again.returns, returns)
    assert vantrel.sweep(market, grid, strategy=choosy, options=COSTS, keep_returns=False).returns is None


def test_overfitting_of_a_sweep_is_the_robustness_figures_on_the_rows_all_trials_share(market):
    swept = vantrel.sweep(market, {"top": [3, 5, 8], "lookback": [20, 60]}, strategy=momentum, options=COSTS)
    got = swept.overfitting()
    shared = swept.returns.dropna()
    dsr, cscv = deflated_sharpe(shared), probability_of_overfitting(shared)
    assert (got.trials, got.failed, got.bars, got.start) == (6, 0, len(shared), shared.index[0])
    assert got.best == dsr.best and got.parameters == swept.table.loc[dsr.best, ["top", "lookback"]].to_dict()
    assert got.sharpe == swept.table.loc[got.best, "sharpe"]
    assert (got.sharpe_per_bar, got.deflated_sharpe) == (dsr.sharpe, dsr.value)
    assert (got.pbo, got.slope, got.prob_oos_loss) == (cscv.pbo, cscv.slope, cscv.prob_oos_loss)


def test_walk_forward_chooses_and_stitches_a_hand_made_three_fold_case():
    # Row 0 is the bar bought on (no return); then A and B move as below.
    a = [0.0, 0.10, 0.10, -0.10, -0.10, 0.05, 0.00, 0.02, 0.02]
    b = [0.0, 0.00, 0.00, 0.05, 0.05, 0.00, 0.10, -0.05, 0.01]
    dates = pd.date_range("2024-01-31", periods=10, freq="ME")  # long enough to annualise
    prices = {
        name: start * np.cumprod([1.0, *np.add(moves, 1.0)]) for name, start, moves in (("A", 10, a), ("B", 20, b))
    }
    close = pd.DataFrame(prices, index=dates)
    params = {"stock": ["A", "B"]}
    got = vantrel.walk_forward(close, params, strategy=hold, train=3, test=2, select="total_return", workers=1)
    # Training totals: fold 0 A 0.21 > B 0; fold 1 A -0.109 < B 0.1025; fold 2 A -0.055 < B 0.155.
    folds = got.folds
    assert folds["stock"].tolist() == ["A", "B", "B"] and folds["variant"].tolist() == [0, 1, 1]
    np.testing.assert_allclose(folds["in_sample"], [0.21, 0.1025, 0.155], atol=1e-12)
    np.testing.assert_allclose(folds["out_of_sample"], [-0.19, 0.1, 0.95 * 1.01 - 1], atol=1e-12)
    # Row r is dated by bar r + 1: fold 1 trains on rows 2-4 (bars 3-5) and tests on rows 5-6.
    assert folds.loc[1, ["train_start", "train_end", "test_start", "test_end"]].tolist() == list(dates[[3, 5, 6, 7]])
    np.testing.assert_allclose(got.equity, [1.0, 0.9, 0.81, 0.81, 0.891, 0.84645, 0.8549145], rtol=1e-12)
    assert got.equity.index.equals(dates[3:]) and got.stats["total_return"] == pytest.approx(0.8549145 - 1)
    by_alias = vantrel.walk_forward(close, params, strategy=hold, train="3ME", test="2ME", select="total_return")
    pd.testing.assert_frame_equal(by_alias.folds, folds)
    anchored = vantrel.walk_forward(close, params, strategy=hold, train=3, test=2, anchored=True, workers=1)
    assert (anchored.folds["train_start"] == dates[1]).all()


def test_bootstrap_is_reproducible_and_estimates_what_stats_says(result):
    for stat in ("sharpe", "sortino", "cagr", "max_drawdown", "total_return"):
        interval = result.bootstrap(stat, n=200, seed=7)
        assert interval.estimate == pytest.approx(result.stats[stat], rel=0, abs=1e-12), stat
        assert interval.low <= interval.high and interval.n == 200
    first, again = result.bootstrap("sharpe", n=200, seed=7), result.bootstrap("sharpe", n=200, seed=7)
    np.testing.assert_array_equal(first.samples, again.samples)
    assert not np.array_equal(first.samples, result.bootstrap("sharpe", n=200, seed=8).samples)
    mean = result.bootstrap(lambda samples: samples.mean(axis=1), n=100, seed=1, block=5)
    assert mean.estimate == pytest.approx(result.returns.mean()) and mean.block == 5.0


def test_cost_sensitivity_re_runs_the_costs_and_finds_the_break_even_fee(market, result):
    sensitivity = result.cost_sensitivity()
    table = sensitivity.table
    assert table.index.tolist() == [0, 1, 2, 3]
    np.testing.assert_allclose(table["tax_ratio"], [0.0, 0.003, 0.006, 0.009])
    assert table.loc[1, "sharpe"] == result.stats["sharpe"]
    free = vantrel.backtest(momentum(market), market, rebalance="ME", risk_free=0.03)
    assert table.loc[0, "cagr"] == free.stats["cagr"]
    assert table["cagr"].is_monotonic_decreasing
    fee = sensitivity.break_even_fee
    at_fee = vantrel.backtest(momentum(market), market, **{**COSTS, "fee_ratio": fee})
    assert fee > 0 and abs(at_fee.stats["cagr"]) < 1e-6
    worst = market.close.iloc[-1].div(market.close.iloc[0]).idxmin()
    loser = vantrel.backtest(hold(market, stock=worst), market)
    assert loser.stats["cagr"] < 0 and np.isnan(loser.cost_sensitivity().break_even_fee)


def test_random_portfolios_hold_as_many_priced_stocks_with_the_strategys_weights(market, result):
    book = result._rerun.weights
    drawn = _Draw(book, market)(np.random.default_rng(3))
    bars = market.index.searchsorted(book.signals, side="right") - 1
    priced = market.close.iloc[bars].notna().to_numpy()
    for row, weights in enumerate(book.values):
        picked = drawn.iloc[row].to_numpy()
        assert np.array_equal(np.sort(picked[picked != 0]), np.sort(weights[weights != 0]))
        assert priced[row][picked != 0].all()
    benchmark = result.random_benchmark(n=100, seed=4, workers=2)
    again = result.random_benchmark(n=100, seed=4, workers=1)
    np.testing.assert_array_equal(benchmark.samples, again.samples)
    assert benchmark.sharpe == result.stats["sharpe"]
    assert benchmark.share == np.mean(benchmark.samples >= result.stats["sharpe"])


def test_the_tear_sheet_sweep_and_walk_forward_pages_show_how_much_to_trust_them(market, result, tmp_path):
    page = result.report(tmp_path / "report.html").read_text(encoding="utf-8")
    trust = page.split('<section id="trust">')[1].split("</section>\n</div>\n</section>")[0]
    assert trust.count("</tr>") == 1 + 3 + 1 + 4  # intervals: heading and 3 rows; costs: heading and 4
    assert "1000 stationary-bootstrap resamples" in trust and "seed 0" in trust
    assert f"Break-even fee: {result.cost_sensitivity().break_even_fee * 100:.6g}%" in trust
    swept = vantrel.sweep(market, {"top": [3, 5], "lookback": [20, 60]}, strategy=momentum, options=COSTS)
    display = "".join(ET.fromstring(swept._repr_html_()).itertext())
    assert re.search(r"Deflated Sharpe ratio \d\.\d{3}; probability of backtest overfitting \d\.\d{3}", display)
    assert "Highest Sharpe ratio of 4 trials: variant" in swept.report(tmp_path / "sweep.html").read_text()
    walked = vantrel.walk_forward(market, {"top": [3, 5]}, strategy=momentum, options=COSTS, train="3ME", test="ME")
    ET.fromstring(walked._repr_html_())
    walk_page = walked.report(tmp_path / "walk.html").read_text(encoding="utf-8")
    assert walk_page.count('src="data:image/png;base64,') == 2
    assert walk_page.split('id="folds"')[1].count("</tr>") == len(walked.folds) + 1


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda m, r: vantrel.sweep(m, {"fail": [None, "raise"]}, strategy=choosy).overfitting(),
            (
                "overfitting needs at least 2 successful trials (variants that ran without error), got 1 of 2; "
                "see SweepResult.errors"
            ),
        ),
        (
            lambda m, r: vantrel.sweep(m, {"top": [3, 5]}, strategy=momentum, keep_returns=False).overfitting(),
            "overfitting needs the variants' returns: run the sweep with keep_returns=True (the default)",
        ),
        (
            lambda m, r: vantrel.walk_forward(m, {"top": [3]}, strategy=momentum, train=20, test=5, select="profit"),
            "select must be one of 'sharpe', 'sortino', 'cagr', 'total_return', 'calmar', 'max_drawdown'; got 'profit'",
        ),
        (
            lambda m, r: vantrel.walk_forward(m, {"top": [3]}, strategy=momentum, train=299, test=5),
            (
                "train=299 and test=5 leave no walk-forward fold in 299 rows of returns: the first fold trains on "
                "299 rows and needs at least one row after them to test on"
            ),
        ),
        (
            lambda m, r: vantrel.walk_forward(m, {"top": [3]}, strategy=momentum, train="2YE", test="ME"),
            (
                "train='2YE' (236 rows) and test='ME' (21 rows) leave no walk-forward fold in 236 rows of returns: "
                "the first fold trains on 236 rows and needs at least one row after them to test on"
            ),
        ),
        (
            lambda m, r: vantrel.walk_forward(m, {"top": [3]}, strategy=momentum, train="2 years", test=5),
            "train must be a number of rows or an offset alias such as '252B', '6ME' or '2YE', got '2 years'",
        ),
        (
            lambda m, r: vantrel.walk_forward(m, {"top": [3]}, strategy=momentum, train=20, test=0),
            "test must be a positive number of rows, got 0",
        ),
        (lambda m, r: r.bootstrap("sharpe", n=99), "n must be a whole number of at least 100 resamples, got 99"),
        (lambda m, r: r.bootstrap("sharpe", level=1.0), "level must be between 0 and 1 (exclusive), got 1.0"),
        (
            lambda m, r: r.bootstrap("alpha"),
            (
                "stat must be a callable or one of 'sharpe', 'sortino', 'cagr', 'max_drawdown', 'total_return'; "
                "got 'alpha'"
            ),
        ),
        (
            lambda m, r: vantrel.backtest(momentum(m).iloc[-2:], m, rebalance="ME").bootstrap("cagr"),
            (
                "bootstrap of 'cagr' needs a curve spanning at least 0.25 years, as the statistics annualise only "
                "such curves; this one spans 0.0657 years"
            ),
        ),
        (lambda m, r: r.random_benchmark(n=99), "n must be a whole number of at least 100 random portfolios, got 99"),
        (
            lambda m, r: pickle.loads(pickle.dumps(r)).cost_sensitivity(),
            (
                "cost_sensitivity re-runs the backtest, and this result cannot: it was unpickled or built by hand (a "
                "result keeps its inputs only in the process that ran vantrel.backtest); run the backtest again"
            ),
        ),
    ],
)
def test_bad_input_is_refused_by_name(market, result, call, message):
    with pytest.raises(ValueError) as raised:
        call(market, result)
    assert str(raised.value) == message


def test_cost_sensitivity_scales_every_trading_cost(market):
    weights = momentum(market)
    run = vantrel.backtest(weights, market, rebalance="ME", fee_ratio=0.001, slippage=0.002)
    table = run.cost_sensitivity().table
    assert list(table.columns) == ["fee_ratio", "tax_ratio", "slippage", "sharpe", "cagr"]
    assert table.loc[3, "slippage"] == 0.006
    tripled = vantrel.backtest(weights, market, rebalance="ME", fee_ratio=0.003, slippage=0.006)
    assert table.loc[3, "cagr"] == tripled.stats["cagr"]
