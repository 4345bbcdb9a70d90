"""The whole user call `vantrel.backtest(weights, market, ...)` on a benchmark book.

The pandas inputs (a `vantrel.Market` of the four price frames, the weights as a
DataFrame) are built once, beforehand, as a user holds them; what is timed is the
call itself: input checks, the engine, and the result's tables (the trade table,
which a result builds on first use, is read within the timed call).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from benchmarks.market import Market
from benchmarks.strategies import Strategy

# backtest_'s defaults for the costs.
BACKTEST_FEE_RATIO = 0.001425
BACKTEST_TAX_RATIO = 0.003

# backtest_ option -> vantrel.backtest keyword, for the options the benchmark books use.
_KEYWORDS = {
    "fee_ratio": "fee_ratio",
    "tax_ratio": "tax_ratio",
    "stop_loss": "stop_loss",
    "take_profit": "take_profit",
    "trail_stop": "trail_stop",
    "trail_stop_activation": "trail_stop_activation",
    "touched_exit": "touched_exit",
    "exvalo_window": "excursion_window",
    "exvalo_window_step": "excursion_window_step",
}


@dataclass(frozen=True)
class PackageCall:
    weights: pd.DataFrame
    market: Any  # vantrel.Market
    keywords: dict[str, Any]
    first_bar: int  # the equity starts at the bar of the first weight row

    def run(self):
        import vantrel

        result = vantrel.backtest(self.weights, self.market, **self.keywords)
        _ = result.trades  # the trade table is built on first use: time it with the call
        return result


def pandas_market(market: Market):
    """The benchmark market as a `vantrel.Market` (open, high, low and close frames)."""
    import vantrel

    index = pd.DatetimeIndex(market.index.astype("datetime64[ns]"))
    labels = market.columns.astype(str)

    def frame(values: np.ndarray) -> pd.DataFrame:
        return pd.DataFrame(values, index=index, columns=labels)

    return vantrel.Market(frame(market.close), open=frame(market.open), high=frame(market.high), low=frame(market.low))


def package_call(market: Market, strategy: Strategy, prices=None) -> PackageCall:
    """`vantrel.backtest` arguments for the book `strategy` trades, filled at the open.

    `prices` is the `pandas_market` of `market` when the caller already has it.
    """
    unknown = sorted(set(strategy.options) - set(_KEYWORDS))
    if unknown:
        raise KeyError(f"no vantrel.backtest keyword for the option(s) {unknown}")
    weights = pd.DataFrame(
        strategy.pos_values,
        index=pd.DatetimeIndex(strategy.pos_index.astype("datetime64[ns]")),
        columns=market.columns.astype(str),
    )
    # backtest_'s costs unless the book sets its own: vantrel.backtest defaults to none.
    keywords = {"fee_ratio": BACKTEST_FEE_RATIO, "tax_ratio": BACKTEST_TAX_RATIO}
    keywords.update({_KEYWORDS[k]: v for k, v in strategy.options.items()})
    keywords.update(
        rebalance=pd.DatetimeIndex(strategy.resample.astype("datetime64[ns]")),
        trade_at="open",
    )
    return PackageCall(
        weights=weights,
        market=pandas_market(market) if prices is None else prices,
        keywords=keywords,
        first_bar=int(np.searchsorted(market.index, strategy.pos_index[0])),
    )
