"""The engine's trade records, excursion arrays and final portfolio as pandas tables."""

from __future__ import annotations

import numpy as np
import pandas as pd

# One excursion record: six values describing a trade at one bar offset after its entry.
EXCURSION_FIELDS = (
    "adverse_excursion",  # worst return so far (0 or negative)
    "favourable_excursion",  # best return so far (0 or positive)
    "favourable_before_adverse",  # best return reached before the worst point
    "drawdown",  # deepest fall from the running best (0 or negative)
    "profitable_bars",  # bars closed in profit so far
    "return",  # the trade's return
)
_WIDTH = len(EXCURSION_FIELDS)

TRADE_COLUMNS = (
    "stock", "entry_date", "exit_date", "entry_signal_date", "exit_signal_date",
    "weight", "bars_held", "entry_bar", "exit_bar",
) + EXCURSION_FIELDS


def sample_offsets(window: int, step: int) -> list[int]:
    """Bar offsets after the entry at which the excursions are sampled."""
    return list(range(0, window, step))


def trade_table(records, excursions, index: pd.DatetimeIndex, labels, *, touched_exit: bool,
                window: int, step: int) -> pd.DataFrame:
    """One row per trade, in the order the engine closed them (open trades last).

    The exit columns describe the trade at its exit (or at the last bar while
    it is open). ``<field>_<k>`` columns sample the trade ``k`` bars after its
    entry; they follow the stock's price for the whole window even when the
    trade closed earlier, and are NaN where the data end before that bar.
    """
    offsets = sample_offsets(window, step)
    n = len(records)
    label_of = {str(label): label for label in labels}
    entry_bar = np.array([r[7] for r in records], dtype=np.int64)
    exit_bar = np.array([r[8] for r in records], dtype=np.int64)
    is_open = exit_bar < 0
    stats = np.array(excursions, dtype=np.float64).reshape(n, len(offsets) * _WIDTH + _WIDTH)

    def dates_at(bars, valid):
        out = pd.Series(pd.NaT, index=range(n), dtype=index.dtype)
        out[valid] = index[bars[valid]]
        return out

    exit_signal = exit_bar if touched_exit else exit_bar - 1
    table = {
        "stock": [label_of[r[0]] for r in records],
        "entry_date": dates_at(entry_bar, np.ones(n, dtype=bool)),
        "exit_date": dates_at(exit_bar, ~is_open),
        # The bar on which the trade's weight (or the stop) became visible.
        "entry_signal_date": dates_at(entry_bar - 1, entry_bar > 0),
        "exit_signal_date": dates_at(exit_signal, ~is_open & (exit_signal >= 0)),
        "weight": np.array([r[5] for r in records], dtype=np.float64),
        "bars_held": np.array([r[6] for r in records], dtype=np.int64),
        "entry_bar": entry_bar,
        "exit_bar": exit_bar,
    }
    exit_record = stats[:, -_WIDTH:]
    for k, field in enumerate(EXCURSION_FIELDS):
        table[field] = exit_record[:, k]
    for s, offset in enumerate(offsets):
        sampled = entry_bar + offset < len(index)
        for k, field in enumerate(EXCURSION_FIELDS):
            table[f"{field}_{offset}"] = np.where(sampled, stats[:, s * _WIDTH + k], np.nan)
    return pd.DataFrame(table)


def portfolio_table(operations: dict, labels, signal_index: pd.DatetimeIndex) -> pd.DataFrame:
    """Final holdings: the weight now held, the weight of the next row, the pending action.

    ``attrs`` carries the dates of the two weight rows (NaT when none applied).
    """
    actions = operations.get("actions", {})
    weights = operations.get("weights", {})
    next_weights = operations.get("next_weights", {})
    sids = sorted(set(actions) | set(weights) | set(next_weights))
    frame = pd.DataFrame(
        {
            "weight": [float(weights.get(s, 0.0)) for s in sids],
            "next_weight": [float(next_weights.get(s, 0.0)) for s in sids],
            "action": np.array([actions.get(s) for s in sids], dtype=object),
        },
        index=pd.Index([labels[s] for s in sids], name="stock", dtype=object),
    )

    def row_date(row):
        return signal_index[row] if row is not None and 0 <= row < len(signal_index) else pd.NaT

    frame.attrs["weight_date"] = row_date(operations.get("weight_time"))
    frame.attrs["next_weight_date"] = row_date(operations.get("next_weight_time"))
    return frame
