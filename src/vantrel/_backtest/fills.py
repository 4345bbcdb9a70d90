"""The engine's fills and costs per bar as pandas tables."""

from __future__ import annotations

import numpy as np
import pandas as pd

from .engine import cost_kind_names, fill_reason_names

FILL_COLUMNS = (
    "date",
    "bar",
    "stock",
    "side",
    "shares",
    "price",
    "value",
    "fee",
    "tax",
    "slippage",
    "impact",
    "reason",
)
_MONEY = ("value", "fee", "tax", "slippage", "impact")


def fills_table(fills: np.ndarray, index: pd.DatetimeIndex, labels, capital: float | None) -> pd.DataFrame:
    """One row per fill, in the order they happened.

    ``shares`` are the shares traded (in fractional weights, value / price: the
    shares of a portfolio worth one unit of currency at the start); ``price`` is
    the fill after slippage and impact; ``value`` is shares times the market
    price before them; the money columns are in currency with ``capital``, else
    in units of the initial capital.
    """
    bars = fills["bar"].astype(np.int64)
    scale = 1.0 if capital is None else capital
    reasons = pd.CategoricalDtype(list(fill_reason_names()))
    table = {
        "date": index.take(bars) if len(bars) else index[:0],
        "bar": bars,
        "stock": np.asarray(labels, dtype=object)[fills["stock"]] if len(fills) else np.empty(0, object),
        "side": pd.Categorical.from_codes(
            np.where(fills["side"] > 0, 0, 1).astype(np.int8), categories=["buy", "sell"]
        ),
        "shares": fills["shares"].astype(np.float64),
        "price": fills["price"].astype(np.float64),
    }
    for name in _MONEY:
        table[name] = fills[name] * scale
    table["reason"] = pd.Categorical.from_codes(fills["reason"].astype(np.int8), dtype=reasons)
    return pd.DataFrame(table)


class CostsPerBar:
    """The engine's costs per bar, tabled on first use (``costs_table``); the statistics
    read the totals from the array itself."""

    __slots__ = ("first_bar", "index", "per_bar")

    def __init__(self, per_bar: np.ndarray, index: pd.DatetimeIndex, first_bar: int) -> None:
        self.per_bar, self.index, self.first_bar = per_bar, index, first_bar

    @property
    def kinds(self) -> tuple[str, ...]:
        return cost_kind_names()

    def __call__(self) -> pd.DataFrame:
        return costs_table(self.per_bar, self.index, self.first_bar)


def costs_table(costs: np.ndarray, index: pd.DatetimeIndex, first_bar: int) -> pd.DataFrame:
    """Costs paid and income received, one row per bar with any, by kind, in units
    of the initial capital (as profits are)."""
    costs = costs[first_bar:]
    booked = (costs != 0.0).any(axis=1)
    return pd.DataFrame(costs[booked], index=index[first_bar:][booked].rename("date"), columns=list(cost_kind_names()))
