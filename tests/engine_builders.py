"""Small hand-made backtest scenarios: the eleven required arrays from Python lists.

Bars are one day apart; ``ts(bar)`` is the timestamp of a bar, so a signal or
calendar date between two bars is ``ts(bar) + 1``. Prices are given as a list
of rows (bars by columns); a flat list is one stock. Weights are a dict from
the signal timestamp to the weight row.

Costs default to zero in ``backtest`` so that a scenario's arithmetic stays
readable; ``FEE`` and ``TAX`` are powers of two, so scenarios that charge them
still have exact binary results.
"""

from __future__ import annotations

import numpy as np

from vantrel.core import simora

DAY = 86_400 * 10**9
FEE = 1 / 64
TAX = 1 / 32

REQUIRED = (
    "price_values",
    "close_values",
    "high_values",
    "low_values",
    "open_values",
    "price_index",
    "price_columns",
    "pos_values",
    "pos_index",
    "pos_columns",
    "resample",
)


def ts(bar: int) -> int:
    """Timestamp of a bar in nanoseconds (bar 0 is one day after the epoch)."""
    return (bar + 1) * DAY


def stamps(values) -> np.ndarray:
    return np.array(list(values), dtype=np.int64)


def labels(names) -> np.ndarray:
    out = np.empty(len(names), dtype=object)
    out[:] = list(names)
    return out


def matrix(rows) -> np.ndarray:
    """A bars-by-columns float64 matrix; a flat list becomes one column."""
    if rows is None:
        return None
    out = np.array(rows, dtype=np.float64)
    return out.reshape(-1, 1) if out.ndim == 1 else out


def arrays(
    prices, weights, *, close=None, high=None, low=None, open=None, resample=None, columns=None, pos_columns=None
) -> dict:
    """The eleven required arguments of ``backtest_`` by name.

    ``close`` defaults to the trading prices; ``resample`` defaults to every
    bar's timestamp (a rebalance is possible on every bar).
    """
    price_values = matrix(prices)
    n_bars, n_cols = price_values.shape
    columns = columns if columns is not None else [chr(ord("A") + i) for i in range(n_cols)]
    pos_columns = pos_columns if pos_columns is not None else columns
    dates = sorted(weights)
    pos_values = np.array([weights[d] for d in dates], dtype=np.float64)
    pos_values = pos_values.reshape(len(dates), len(pos_columns))
    return {
        "price_values": price_values,
        "close_values": matrix(close) if close is not None else price_values.copy(),
        "high_values": matrix(high),
        "low_values": matrix(low),
        "open_values": matrix(open),
        "price_index": stamps(ts(b) for b in range(n_bars)),
        "price_columns": labels(columns),
        "pos_values": pos_values,
        "pos_index": stamps(dates),
        "pos_columns": labels(pos_columns),
        "resample": stamps(resample if resample is not None else (ts(b) for b in range(n_bars))),
    }


def positional(args: dict) -> list:
    return [args[name] for name in REQUIRED]


def backtest(
    prices,
    weights,
    *,
    close=None,
    high=None,
    low=None,
    open=None,
    resample=None,
    columns=None,
    pos_columns=None,
    **options,
) -> np.ndarray:
    """Run a scenario; fee and tax are zero unless given."""
    args = arrays(
        prices,
        weights,
        close=close,
        high=high,
        low=low,
        open=open,
        resample=resample,
        columns=columns,
        pos_columns=pos_columns,
    )
    options.setdefault("fee_ratio", 0.0)
    options.setdefault("tax_ratio", 0.0)
    return simora.backtest_(*positional(args), **options)


def actions() -> dict:
    return simora.get_stock_operations()["actions"]


def trades() -> list:
    """exvalo's trade list as plain [sid, entry bar, exit bar] lists of ints."""
    return [[int(v) for v in t] for t in simora.exvalo.trades]
