"""The engine's trade log and final portfolio as pandas tables, built column-wise."""

from __future__ import annotations

import numpy as np
import pandas as pd

from .engine import action_names, exit_reason_names

# One excursion record: six values describing a trade at one bar offset after its entry.
EXCURSION_FIELDS = (
    "adverse_excursion",  # worst return so far (0 or negative)
    "favourable_excursion",  # best return so far (0 or positive)
    "favourable_before_adverse",  # best return reached before the worst point
    "drawdown",  # deepest fall from the running best (0 or negative)
    "profitable_bars",  # bars closed in profit so far
    "return",  # the trade's return on closing prices (sampled columns keep this name)
)
_WIDTH = len(EXCURSION_FIELDS)
# At the exit the trade's own return is the realized one; the excursion return stays
# available under this name.
_EXIT_RETURN = "excursion_return"

SIDES = ("long", "short")
STOP_REASONS = ("stop_loss", "take_profit", "trailing_stop")

TRADE_COLUMNS = (
    "stock",
    "side",
    "entry_date",
    "exit_date",
    "entry_signal_date",
    "exit_signal_date",
    "weight",
    "bars_held",
    "entry_bar",
    "exit_bar",
    "entry_price",
    "exit_price",
    "exit_reason",
    "fees",
    "taxes",
    "profit",
    "return",
    "round_trip",
    "shares",
    "slippage",
    "impact",
    "dividends",
    "borrow",
    *tuple(_EXIT_RETURN if f == "return" else f for f in EXCURSION_FIELDS),
)


def sample_offsets(window: int, step: int) -> list[int]:
    """Bar offsets after the entry at which the excursions are sampled."""
    return list(range(0, window, step))


def _dates(index: pd.DatetimeIndex, bars: np.ndarray, valid: np.ndarray) -> pd.Series:
    """The dates of bars; NaT where not valid."""
    if not len(index) or not len(bars):
        return pd.Series(index[:0].repeat(len(bars)), dtype=index.dtype)
    return pd.Series(index.take(np.where(valid, bars, -1), allow_fill=True, fill_value=pd.NaT))


_CATEGORIES: dict[tuple[str, ...], pd.CategoricalDtype] = {}


def _categorical(codes: np.ndarray, names) -> pd.Categorical:
    # One dtype per list of names: building and checking categories costs more than the codes.
    dtype = _CATEGORIES.get(tuple(names))
    if dtype is None:
        dtype = _CATEGORIES[tuple(names)] = pd.CategoricalDtype(list(names))
    return pd.Categorical.from_codes(codes.astype(np.int8), dtype=dtype, validate=False)


def trade_table(
    log: np.ndarray, index: pd.DatetimeIndex, labels, *, touched_exit: bool, window: int, step: int
) -> pd.DataFrame:
    """One row per trade record, in the order the engine closed them (open trades last).

    A record ends at every exit and at every rebalance that re-sizes a holding;
    the records of one position from entry to exit share a ``round_trip`` id.
    ``return`` is what the record made for the portfolio (``profit`` over the value
    committed); the excursion columns describe the record on closing prices at its
    exit (or at the last bar while it is open); ``<field>_<k>`` columns sample it
    ``k`` bars after entry, following the stock's price for the whole window even
    when the trade closed earlier, and are NaN where the data end before that bar.
    """
    n_bars = len(index)
    entry_bar = log["entry_bar"].astype(np.int64)
    exit_bar = log["exit_bar"].astype(np.int64)
    is_open = exit_bar < 0
    reasons = exit_reason_names()
    reason = log["exit_reason"].astype(np.int64)
    # The bar whose close (or intra-bar touch, or delisting) decided the exit.
    decided_in_bar = np.isin(reason, [reasons.index("delisting")])
    if touched_exit:
        decided_in_bar |= np.isin(reason, [reasons.index(r) for r in STOP_REASONS])
    exit_signal = np.where(decided_in_bar, exit_bar, exit_bar - 1)

    stock = np.asarray(labels, dtype=object)[log["stock"]] if len(log) else np.empty(0, object)
    table = {
        "stock": stock,
        "side": _categorical(np.where(log["side"] < 0, 1, 0), SIDES),
        "entry_date": _dates(index, entry_bar, np.ones(len(log), dtype=bool)),
        "exit_date": _dates(index, exit_bar, ~is_open),
        "entry_signal_date": _dates(index, entry_bar - 1, entry_bar > 0),
        "exit_signal_date": _dates(index, exit_signal, ~is_open & (exit_signal >= 0)),
        "weight": log["weight"],
        "bars_held": np.where(is_open, n_bars - entry_bar, exit_bar - entry_bar),
        "entry_bar": entry_bar,
        "exit_bar": exit_bar,
        "entry_price": log["entry_price"],
        "exit_price": log["exit_price"],
        "exit_reason": _categorical(reason, reasons),
        "fees": log["fees"],
        "taxes": log["taxes"],
        "profit": log["profit"],
        "return": log["return"],
        "round_trip": log["round_trip"].astype(np.int64),
        # What the execution layer adds: the most shares held (value / price in
        # fractional weights), and costs and income beyond fees and taxes.
        "shares": log["shares"],
        "slippage": log["slippage"],
        "impact": log["impact"],
        "dividends": log["dividends"],
        "borrow": log["borrow"],
    }
    for field in EXCURSION_FIELDS:
        name = _EXIT_RETURN if field == "return" else field
        table[name] = log[_EXIT_RETURN if field == "return" else field]
    offsets = sample_offsets(window, step)
    if offsets:
        samples = log["samples"] if len(log) else np.empty((0, len(offsets), _WIDTH))
        for s, offset in enumerate(offsets):
            sampled = entry_bar + offset < n_bars
            for k, field in enumerate(EXCURSION_FIELDS):
                table[f"{field}_{offset}"] = np.where(sampled, samples[:, s, k], np.nan)
    return pd.DataFrame(table)


class TradeColumns(dict):
    """The columns of a trade table the statistics read, as plain arrays (no table
    is built): ``stock`` as integer codes, dates as epoch nanoseconds with NaT as
    the smallest int64. :mod:`vantrel.stats` reads it like a trade table."""

    @property
    def columns(self) -> list[str]:
        return list(self)

    def __len__(self) -> int:
        return len(self["profit"])


def stats_columns(log: np.ndarray, index: pd.DatetimeIndex) -> TradeColumns:
    n_bars = len(index)
    entry_bar = log["entry_bar"].astype(np.int64)
    exit_bar = log["exit_bar"].astype(np.int64)
    is_open = exit_bar < 0
    stamps = np.append(index.as_unit("ns").asi8, np.iinfo(np.int64).min)  # [-1] is NaT
    return TradeColumns(
        stock=log["stock"].astype(np.int64),
        entry_date=stamps[entry_bar],
        exit_date=stamps[exit_bar],
        weight=log["weight"].astype(np.float64),
        bars_held=np.where(is_open, n_bars - entry_bar, exit_bar - entry_bar),
        entry_bar=entry_bar,
        exit_bar=exit_bar,
        profit=log["profit"].astype(np.float64),
        round_trip=log["round_trip"].astype(np.int64),
        **{"return": log["return"].astype(np.float64)},
    )


class TradeLog:
    """A run's trade log and what turns it into tables; the full trade table is
    built on first use (a sweep reads only the statistics)."""

    def __init__(
        self,
        log: np.ndarray,
        index: pd.DatetimeIndex,
        labels,
        *,
        touched_exit: bool,
        window: int,
        step: int,
        span=None,
    ) -> None:
        self.log, self.index, self.labels = log, index, labels
        self.touched_exit, self.window, self.step = touched_exit, window, step
        self.span = span  # the curve's bars (a CurveSpan), for the statistics

    def table(self) -> pd.DataFrame:
        return trade_table(
            self.log, self.index, self.labels, touched_exit=self.touched_exit, window=self.window, step=self.step
        )

    def stats_columns(self) -> TradeColumns:
        return stats_columns(self.log, self.index)


def portfolio_table(
    portfolio: np.ndarray, weight_row: int, next_weight_row: int, labels, signal_index: pd.DatetimeIndex
) -> pd.DataFrame:
    """Final holdings: the weight now held, the weight of the next row, the pending action.

    ``attrs`` carries the dates of the two weight rows (NaT when none applied).
    """
    actions = np.asarray(action_names(), dtype=object)
    listed = portfolio["has_weight"] | portfolio["has_next_weight"] | (portfolio["action"] != 0)
    rows = portfolio[listed]
    action = actions[rows["action"]]
    action[rows["action"] == 0] = None
    frame = pd.DataFrame(
        {
            "weight": np.where(rows["has_weight"], rows["weight"], 0.0),
            "next_weight": np.where(rows["has_next_weight"], rows["next_weight"], 0.0),
            "action": action,
        },
        index=pd.Index(np.asarray(labels, dtype=object)[np.flatnonzero(listed)], name="stock", dtype=object),
    )

    def row_date(row):
        return signal_index[row] if 0 <= row < len(signal_index) else pd.NaT

    frame.attrs["weight_date"] = row_date(weight_row)
    frame.attrs["next_weight_date"] = row_date(next_weight_row)
    return frame
