"""The execution layer's books add up: every option at once on real prices, in
close and touched modes, reconciles to the final equity; and options set where
they never bind leave the run exactly as it is without them."""

import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import vantrel
from execution_books import event_table

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from benchmarks.engine import package_arguments
from benchmarks.market import make_market
from benchmarks.strategies import standard_strategies

_engine = pytest.importorskip("vantrel.core._engine")
DATA = Path(__file__).resolve().parents[2] / "shared" / "data"


@pytest.fixture(scope="module")
def real_market():
    """Five stocks' quoted prices and volume; splits where the quoted and adjusted
    closes part (2000, 2003, 2005), and a dividend of 0.4% every 63 bars."""
    if not (DATA / "ohlc_AAPL.csv").exists():
        pytest.skip("the shared real data is not here")
    frames = {
        t: pd.read_csv(DATA / f"ohlc_{t}.csv", index_col="Date", parse_dates=True)
        for t in ("AAPL", "GOOG", "IBM", "MSFT", "FB")
    }

    def field(name):
        return pd.DataFrame({t: f[name] for t, f in frames.items()}).sort_index()

    close = field("Close")
    factor = (close / field("Adj Close")).to_numpy()
    jump = factor[:-1] / factor[1:]
    bars, columns = np.nonzero(jump > 1.4)
    assert len(bars) == 3
    splits = {(b + 1, c): float(np.round(jump[b, c] * 2) / 2) for b, c in zip(bars, columns, strict=True)}
    quoted = close.to_numpy()
    dividends = {(b, c): 0.004 * quoted[b - 1, c] for b in range(63, len(quoted), 63) for c in range(5)}
    dividends = {k: v for k, v in dividends.items() if not np.isnan(v)}
    m = vantrel.Market(
        close,
        open=field("Open"),
        high=field("High"),
        low=field("Low"),
        volume=field("Volume"),
        dividends=event_table(dividends, close.index, close.columns),
        splits=event_table(splits, close.index, close.columns),
        ohlc_tolerance=0.01,
    )
    # Month by month: long the two best 60-day movers, short the worst, 150% gross.
    momentum = close.pct_change(60, fill_method=None)
    rows = {}
    for end in close.resample("ME").last().index:
        at = momentum.index[momentum.index.searchsorted(end, side="right") - 1]
        ranked = momentum.loc[at].dropna().sort_values()
        row = pd.Series(0.0, index=close.columns)
        if len(ranked) >= 3:
            row[ranked.index[-2:]], row[ranked.index[0]] = 0.6, -0.3
        rows[at] = row
    return m, pd.DataFrame(rows).T


EVERY_OPTION = dict(
    capital=1e9,  # large enough for the 5% participation cap to bind
    lot_size=100,
    min_fee=1.0,
    fee_ratio=0.001,
    tax_ratio=0.001,
    slippage=0.0005,
    impact=0.1,
    participation=0.05,
    price_limit=0.1,
    cash_rate=0.02,
    borrow_rate=0.01,
    leverage=1.5,
    margin_rate=0.05,
    stop_loss=0.15,
)


@pytest.mark.parametrize(
    "mode", [dict(), dict(touched_exit=True, take_profit=0.3, trade_at="open")], ids=["close", "touched"]
)
def test_every_option_at_once_reconciles_with_the_equity(real_market, mode):
    m, w = real_market
    r = vantrel.backtest(w, m, **EVERY_OPTION, **mode)
    costs, trades, fills = r.costs, r.trades, r.fills
    booked = 1.0 + trades["profit"].sum() + costs["cash_interest"].sum() - costs["margin_interest"].sum()
    assert booked == pytest.approx(r.equity.iloc[-1], rel=1e-12, abs=1e-12)
    # Every option did something.
    assert (costs.sum() > 0).all(), costs.sum()
    assert {"carried", "rebalance", "stop_loss"} <= set(fills["reason"])
    # The three records of the costs agree, and the fills are whole lots in currency.
    for kind, fill_column in (("fees", "fee"), ("taxes", "tax"), ("slippage", "slippage"), ("impact", "impact")):
        assert costs[kind].sum() == pytest.approx(fills[fill_column].sum() / 1e9, rel=1e-9)
        assert trades[kind].sum() == pytest.approx(costs[kind].sum(), rel=1e-9)
    assert (fills["shares"] % 100 == 0).mean() > 0.99  # odd lots only from splits
    assert np.isfinite(r.equity).all() and (r.fills["fee"] >= 1.0).all()


def test_options_that_never_bind_leave_the_run_as_it_was():
    """Through the execution layer in fractional weights, a limit never reached,
    a cap far above every trade and dividends of nothing trade exactly as the
    run without them, in every stop mode of the benchmark books."""
    m = make_market(150, 30, seed=3)
    idle = {
        "price limit": dict(price_limit=50.0),
        "participation": dict(participation=1.0, volume=np.full(m.close.shape, 1e12)),
        "dividends": dict(
            dividend_bars=np.array([5]), dividend_columns=np.array([0]), dividend_amounts=np.array([0.0])
        ),
    }
    for strategy in standard_strategies(m):
        arguments = package_arguments(m, strategy)
        plain = _engine.run(**arguments)
        for name, options in idle.items():
            out = _engine.run(**arguments, **options)
            assert out.values.tobytes() == plain.values.tobytes(), (strategy.name, name)
            assert out.trades.tobytes() == plain.trades.tobytes(), (strategy.name, name)
            assert out.fills.tobytes() == plain.fills.tobytes(), (strategy.name, name)


def test_a_run_without_options_records_its_fills_and_costs():
    m = make_market(150, 30, seed=5)
    strategy = standard_strategies(m)[1]  # touched stops
    out = _engine.run(**package_arguments(m, strategy))
    fills, log = out.fills, out.trades
    assert len(fills) > len(log) // 2
    assert fills["fee"].sum() == pytest.approx(log["fees"].sum(), rel=1e-12)
    assert fills["tax"].sum() == pytest.approx(log["taxes"].sum(), rel=1e-12)
    costs = dict(zip(_engine.COST_KINDS, out.costs.sum(axis=0), strict=True))
    assert costs["fees"] == pytest.approx(log["fees"].sum(), rel=1e-12)
    assert costs["slippage"] == costs["dividends"] == costs["cash_interest"] == 0.0
    stops = [_engine.FILL_REASONS.index(k) for k in ("stop_loss", "take_profit", "trailing_stop")]
    assert np.isin(fills["reason"], stops).any()


def test_random_books_with_every_option_reconcile():
    """Random markets with gaps, suspensions, splits and dividends, random long-short
    books and options: the run ends finite and its books add up."""
    checked = 0
    for seed in range(40):
        rng = np.random.default_rng(seed)
        bars, stocks = 60, 6
        close = 50 * np.exp(np.cumsum(rng.normal(0, 0.03, (bars, stocks)), axis=0))
        close[rng.random((bars, stocks)) < 0.05] = np.nan
        high, low = close * 1.02, close * 0.98
        volume = rng.choice([0.0, np.nan, 1e3, 1e5], size=(bars, stocks), p=[0.05, 0.05, 0.3, 0.6])
        splits = {
            (int(b), int(c)): float(rng.choice([2.0, 0.5, 1.5])) for b, c in rng.integers(1, [bars, stocks], (3, 2))
        }
        dividends = {(int(b), int(c)): float(rng.uniform(0, 2)) for b, c in rng.integers(1, [bars, stocks], (5, 2))}
        m = market_with(close, high, low, volume, splits, dividends)
        w = pd.DataFrame(
            rng.choice([0.0, 0.3, -0.3, 0.5], size=(6, stocks)), index=m.index[rng.choice(bars - 1, 6, replace=False)]
        )
        w = w.sort_index().set_axis(m.columns, axis=1)
        capital = rng.choice([None, 1e4, 1e7])
        options = dict(
            slippage=0.001 * rng.integers(0, 3),
            impact=float(rng.choice([0.0, 0.5])),
            participation=rng.choice([None, 0.1, 1.0]),
            price_limit=rng.choice([None, 0.02, 0.1]),
            cash_rate=0.03,
            borrow_rate=0.05,
            leverage=float(rng.choice([0.5, 1.0, 2.0])),
            margin_rate=0.04,
            fee_ratio=0.001,
            tax_ratio=0.002,
            stop_loss=rng.choice([None, 0.05]),
            touched_exit=bool(rng.integers(2)),
        )
        if capital is not None:
            options.update(capital=capital, lot_size=float(rng.choice([1, 10, 100])), min_fee=float(rng.choice([0, 5])))
        r = vantrel.backtest(w, m, **options)
        assert np.isfinite(r.equity).all(), seed
        c = r.costs
        booked = 1.0 + r.trades["profit"].sum() + c["cash_interest"].sum() - c["margin_interest"].sum()
        assert booked == pytest.approx(r.equity.iloc[-1], rel=1e-9, abs=1e-12), seed
        checked += len(r.fills)
    assert checked > 200


def market_with(close, high, low, volume, splits, dividends):
    index = pd.date_range("2024-01-01", periods=len(close), freq="B")
    columns = [f"S{i}" for i in range(close.shape[1])]

    def frame(values):
        return pd.DataFrame(values, index=index, columns=columns)

    return vantrel.Market(
        frame(close),
        high=frame(high),
        low=frame(low),
        open=frame(close),
        volume=frame(volume),
        dividends=event_table(dividends, index, columns),
        splits=event_table(splits, index, columns),
    )


def test_impact_reads_the_twenty_bars_before_each_fill():
    # An entry and a later resize of the same holding: each pays k * sigma * sqrt(shares /
    # mean volume), from the close-to-close returns and volumes of the 20 bars before its
    # own bar (a missing close drops the two returns it is part of, a missing volume itself).
    rng = np.random.default_rng(5)
    n = 70
    close = 100 * np.exp(np.cumsum(rng.normal(0, 0.02, (n, 1)), axis=0))
    volume = rng.uniform(1e4, 1e5, (n, 1))
    close[35, 0] = np.nan
    volume[38, 0] = np.nan
    bars = (1_600_000_000 + 86_400 * np.arange(n)) * 10**9
    dates = bars[[30, 50]]
    run = _engine.run(
        prices=close,
        close=close,
        bar_dates=bars,
        weights=np.array([[1.0], [0.4]]),
        weight_dates=dates,
        stock_columns=np.arange(1),
        calendar=dates,
        volume=volume,
        impact=0.5,
    )
    fills = run.fills
    assert list(fills["bar"]) == [31, 51]
    for fill in fills:
        b = int(fill["bar"])
        returns = close[b - 20 : b, 0] / close[b - 21 : b - 1, 0] - 1
        sigma = np.std(returns[~np.isnan(returns)], ddof=1)
        mean_volume = np.nanmean(volume[b - 20 : b, 0])
        rate = 0.5 * sigma * np.sqrt(fill["shares"] / mean_volume)
        assert fill["impact"] == pytest.approx(fill["value"] * rate, rel=1e-12)
