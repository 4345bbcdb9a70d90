"""One engine run of a strategy on a market, and what it left behind."""

from __future__ import annotations

import hashlib
from dataclasses import dataclass
from types import ModuleType
from typing import Any

import numpy as np

from benchmarks.market import Market
from benchmarks.strategies import Strategy


def _engine_arguments(market: Market, strategy: Strategy) -> tuple:
    return (
        market.open,
        market.close,
        market.high,
        market.low,
        market.open,
        market.index,
        market.columns,
        strategy.pos_values,
        strategy.pos_index,
        market.columns,
        strategy.resample,
    )


def run_backtest(market: Market, strategy: Strategy) -> np.ndarray:
    """The whole `backtest_` call: bar loop, trades and excursion analysis."""
    from vantrel.core import simora

    return simora.backtest_(*_engine_arguments(market, strategy), **strategy.options)


def fast_engine() -> ModuleType | None:
    """The package's own array entry `vantrel.core._engine`, where this build has it."""
    try:
        from vantrel.core import _engine
    except ImportError:
        return None
    return _engine


# What `backtest_` charges when a strategy names no costs; the array entry charges none.
DOCUMENTED_COSTS = {"fee_ratio": 0.001425, "tax_ratio": 0.003}
_RENAMED = {"exvalo_window": "excursion_window", "exvalo_window_step": "excursion_window_step"}


def package_arguments(market: Market, strategy: Strategy) -> dict[str, Any]:
    """The same run in the array entry's words: the workloads' stocks are the price
    columns in order, and their stop settings are single levels."""
    n_bars, n_stocks = market.close.shape
    arguments: dict[str, Any] = dict(
        prices=market.open,
        close=market.close,
        high=market.high,
        low=market.low,
        open=market.open,
        bar_dates=market.index,
        weights=strategy.pos_values,
        weight_dates=strategy.pos_index,
        stock_columns=np.arange(n_stocks, dtype=np.int64),
        calendar=strategy.resample,
    )
    for name, value in {**DOCUMENTED_COSTS, **strategy.options}.items():
        if name in ("stop_loss", "take_profit"):
            arguments[name] = np.full((1, n_stocks), float(value))
            arguments[f"{name}_rows"] = np.zeros(n_bars, dtype=np.int64)
        else:
            arguments[_RENAMED.get(name, name)] = value
    return arguments


def run_fast_engine(market: Market, strategy: Strategy) -> Any:
    """One run of the array entry on the same inputs: values, trade log, final portfolio."""
    return fast_engine().run(**package_arguments(market, strategy))


@dataclass(frozen=True)
class TradeList:
    sids: np.ndarray
    entry_bars: np.ndarray
    exit_bars: np.ndarray  # -1 while open at the end
    weights: np.ndarray  # entry weight of each trade
    excursions: np.ndarray  # all excursion records, concatenated

    def __len__(self) -> int:
        return self.sids.size

    def held_stock_bars(self, n_bars: int) -> int:
        """Bars on which a holding is marked to market, summed over trades."""
        exits = np.where(self.exit_bars < 0, n_bars - 1, self.exit_bars)
        return int((exits - self.entry_bars).sum())


def last_trades() -> TradeList:
    """The trade list of the latest run, read from the excursion module."""
    from vantrel.core import exvalo

    table = np.array(exvalo.trades, dtype=np.int64).reshape(-1, 3)
    stats = exvalo.exvalo
    return TradeList(
        sids=table[:, 0],
        entry_bars=table[:, 1],
        exit_bars=table[:, 2],
        weights=np.array(exvalo.trade_positions, dtype=np.float64),
        excursions=np.concatenate(stats) if stats else np.empty(0),
    )


def fast_engine_trades(result: Any) -> TradeList:
    """The array entry's trade log in the form of the excursion module's lists."""
    log = result.trades
    stats = [
        "adverse_excursion",
        "favourable_excursion",
        "favourable_before_adverse",
        "drawdown",
        "profitable_bars",
        "excursion_return",
    ]
    final = np.stack([log[name] for name in stats], axis=1) if log.size else np.empty((0, 6))
    # exvalo's array per trade: the window samples, row by row, then the statistics at the exit.
    if "samples" in (log.dtype.names or ()):
        samples = log["samples"].reshape(log.size, -1)
        final = np.concatenate([samples, final], axis=1)
    return TradeList(
        sids=log["stock"].astype(np.int64),
        entry_bars=log["entry_bar"].astype(np.int64),
        exit_bars=log["exit_bar"].astype(np.int64),
        weights=log["weight"].astype(np.float64),
        excursions=final.ravel(),
    )


def digest(values: np.ndarray, trades: TradeList) -> dict[str, str]:
    """Hashes of a run's output, exact to the bit."""

    def sha(*arrays: np.ndarray) -> str:
        h = hashlib.sha256()
        for a in arrays:
            h.update(np.ascontiguousarray(a).astype(a.dtype.newbyteorder("<")).tobytes())
        return h.hexdigest()[:24]

    return {
        "values": sha(values),
        "trades": sha(trades.sids, trades.entry_bars, trades.exit_bars, trades.weights),
        "excursions": sha(trades.excursions),
    }
