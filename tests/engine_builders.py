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


# The documented entry's optional arguments, in order, and its cost defaults.
OPTIONAL = (
    "fee_ratio",
    "tax_ratio",
    "stop_loss",
    "take_profit",
    "trail_stop",
    "trail_stop_activation",
    "touched_exit",
    "position_limit",
    "retain_cost_when_rebalance",
    "stop_trading_next_period",
    "exvalo_window",
    "exvalo_window_step",
    "periodically_rebalance",
    "delisting_bars",
)
DOCUMENTED_COSTS = {"fee_ratio": 0.001425, "tax_ratio": 0.003}
RENAMED = {"exvalo_window": "excursion_window", "exvalo_window_step": "excursion_window_step"}


def package_arguments(*args, **kwargs) -> dict:
    """A documented ``backtest_`` call's arguments in the array entry's words: stocks
    matched to price columns by label (the last of equal labels wins, an unmatched
    stock reads column 0), stop settings as threshold tables, flags tested once,
    and the documented costs where the call leaves them out."""
    from vantrel._stops import StopTable, stop_table

    given = dict(zip((*REQUIRED, *OPTIONAL), args, strict=False))
    given.update(kwargs)
    by_label = {label: i for i, label in enumerate(given["price_columns"])}
    out = {
        "prices": given["price_values"],
        "close": given["close_values"],
        "high": given.get("high_values"),
        "low": given.get("low_values"),
        "open": given.get("open_values"),
        "bar_dates": given["price_index"],
        "weights": given["pos_values"],
        "weight_dates": given["pos_index"],
        "stock_columns": np.array([by_label.get(label, 0) for label in given["pos_columns"]], dtype=np.int64),
        "calendar": given["resample"],
    }
    for name in OPTIONAL:
        value = given.get(name, DOCUMENTED_COSTS.get(name))
        if value is None:
            continue
        if name in ("stop_loss", "take_profit"):
            table = (
                value if isinstance(value, StopTable) else stop_table(value, given["price_index"], given["pos_columns"])
            )
            out[name], out[f"{name}_rows"] = table.values, table.rows
        elif name in (
            "touched_exit",
            "retain_cost_when_rebalance",
            "stop_trading_next_period",
            "periodically_rebalance",
        ):
            out[name] = bool(value)
        elif name == "delisting_bars":
            out[name] = value
        elif name in RENAMED:
            out[RENAMED[name]] = int(value)  # the documented entry truncates as int() does
        else:
            out[RENAMED.get(name, name)] = value
    return out


def package_run(*args, **kwargs):
    """The array entry on a documented ``backtest_`` call's arguments."""
    from vantrel.core import _engine

    return _engine.run(**package_arguments(*args, **kwargs))


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
