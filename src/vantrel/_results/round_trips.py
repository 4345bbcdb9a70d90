"""Round trips: the records of one position, from its entry out of nothing to its exit, joined."""

from __future__ import annotations

import numpy as np
import pandas as pd

__all__ = ["ROUND_TRIP_COLUMNS", "round_trip_table"]

ROUND_TRIP_COLUMNS = (
    "stock",
    "side",
    "entry_date",
    "exit_date",
    "entry_signal_date",
    "exit_signal_date",
    "entry_bar",
    "exit_bar",
    "bars_held",
    "weight",
    "entry_price",
    "exit_price",
    "exit_reason",
    "fees",
    "taxes",
    "profit",
    "return",
    "records",
    "shares",
    "slippage",
    "impact",
    "dividends",
    "borrow",
)


def round_trip_table(trades: pd.DataFrame) -> pd.DataFrame:
    """One row per round trip: a position from its entry out of nothing to its exit.

    Costs and profits add up over the trip's records; its ``return`` compounds
    theirs (for a trip out of cash and back it is what the equity made over it);
    ``shares`` is the most its records held; the costs by kind add up;
    ``weight`` and the entry columns are the first record's, the exit columns the
    last's; a trip still open at the end has no exit date and exit reason "open".
    """
    if not len(trades):
        empty = pd.DataFrame({c: trades.get(c, []) for c in ROUND_TRIP_COLUMNS})
        return empty.rename_axis("round_trip")
    trip = trades["round_trip"].to_numpy()
    order = np.lexsort((trades["entry_bar"].to_numpy(), trip))
    starts = np.flatnonzero(np.r_[True, trip[order][1:] != trip[order][:-1]])
    ends = np.r_[starts[1:], len(order)] - 1
    first, last = order[starts], order[ends]

    def taken(column, rows):
        values = trades[column]
        return values.iloc[rows].reset_index(drop=True)

    def summed(column):
        return np.add.reduceat(trades[column].to_numpy(dtype=np.float64)[order], starts)

    growth = np.multiply.reduceat(1.0 + trades["return"].to_numpy(dtype=np.float64)[order], starts)
    table = {
        "stock": taken("stock", first),
        "side": taken("side", first),
        "entry_date": taken("entry_date", first),
        "exit_date": taken("exit_date", last),
        "entry_signal_date": taken("entry_signal_date", first),
        "exit_signal_date": taken("exit_signal_date", last),
        "entry_bar": taken("entry_bar", first),
        "exit_bar": taken("exit_bar", last),
        "bars_held": np.add.reduceat(trades["bars_held"].to_numpy()[order], starts),
        "weight": taken("weight", first),
        "entry_price": taken("entry_price", first),
        "exit_price": taken("exit_price", last),
        "exit_reason": taken("exit_reason", last),
        "fees": summed("fees"),
        "taxes": summed("taxes"),
        "profit": summed("profit"),
        "return": growth - 1.0,
        "records": ends - starts + 1,
    }
    # Tables from before the execution layer recorded these have none of them.
    if "shares" in trades.columns:
        table["shares"] = np.maximum.reduceat(trades["shares"].to_numpy(dtype=np.float64)[order], starts)
        for column in ("slippage", "impact", "dividends", "borrow"):
            table[column] = summed(column)
    return pd.DataFrame(table, index=pd.Index(trip[first], name="round_trip"))
