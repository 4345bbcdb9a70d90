"""Stop tables: the shape in which the engine reads stop-loss and take-profit settings.

A stop table holds ``values``, a 2-D float64 array of threshold rows by position
columns, and ``rows``, a 1-D int64 array giving for every price bar the row of
``values`` in force on that bar. The threshold of stock ``sid`` on bar ``bar``
is therefore ``values[rows[bar], sid]``; the engine uses its absolute value as
a fraction of the entry price.
"""

from __future__ import annotations

import numbers

import numpy as np

__all__ = ["StopTable", "stop_table"]


class StopTable:
    """Threshold rows by position columns, and the row in force on each bar."""

    __slots__ = ("rows", "values")

    def __init__(self, values, rows) -> None:
        values = np.asarray(values, dtype=np.float64)
        rows = np.asarray(rows)
        if values.ndim != 2:
            raise ValueError(f"stop table values must be 2-D, got {values.ndim} dimension(s)")
        if rows.ndim != 1:
            raise ValueError(f"stop table rows must be 1-D, got {rows.ndim} dimension(s)")
        if rows.size and not np.issubdtype(rows.dtype, np.integer):
            raise TypeError(f"stop table rows must be integers, got dtype {rows.dtype}")
        rows = rows.astype(np.int64, copy=False)
        if rows.size and (rows.min() < 0 or rows.max() >= values.shape[0]):
            raise ValueError(f"stop table rows must index the {values.shape[0]} threshold row(s) of values")
        self.values = values
        self.rows = rows

    def __repr__(self) -> str:
        return f"StopTable(values shape={self.values.shape}, bars={self.rows.size})"


def stop_table(stop, price_index, pos_columns) -> StopTable:
    """Build the stop table of one stop setting for a run.

    ``stop`` may be a number (one threshold for every bar and stock), a 1-D
    array with one threshold per position column (the same on every bar), or
    a 2-D array with one row of thresholds per price bar.
    """
    n_bars = np.asarray(price_index).size
    n_columns = np.asarray(pos_columns).size
    if not isinstance(stop, bool) and isinstance(stop, numbers.Real):
        values = np.full((1, n_columns), float(stop), dtype=np.float64)
        return StopTable(values, np.zeros(n_bars, dtype=np.int64))
    if isinstance(stop, np.ndarray) and np.issubdtype(stop.dtype, np.number):
        if stop.ndim == 1:
            if stop.size != n_columns:
                raise ValueError(f"a 1-D stop needs one threshold per position column ({n_columns}), got {stop.size}")
            return StopTable(stop.reshape(1, n_columns), np.zeros(n_bars, dtype=np.int64))
        if stop.ndim == 2:
            if stop.shape != (n_bars, n_columns):
                raise ValueError(
                    f"a 2-D stop needs one row per bar and one column per position column "
                    f"({n_bars}, {n_columns}), got {stop.shape}"
                )
            return StopTable(stop, np.arange(n_bars, dtype=np.int64))
    raise TypeError(
        "a stop must be a StopTable, a number, a 1-D numeric array with one threshold per "
        "position column, or a 2-D numeric array with one row per price bar; "
        f"got {type(stop).__name__}"
    )
