"""The returns of a sweep's trials as one matrix of bars x trials, checked once."""

from __future__ import annotations

from collections.abc import Mapping, Sequence

import numpy as np
import pandas as pd

# A standard deviation this small against the largest return is rounding noise:
# the series is constant and its Sharpe ratio undefined (not ten to the fifteen).
CONSTANT = 1e-12


def trial_matrix(returns, who: str) -> tuple[np.ndarray, list]:
    """Per-bar returns as a float matrix (rows = bars, columns = trials) and the trials' labels.

    Takes a 2-D array (bars x trials), a DataFrame (a column per trial), a mapping of
    label to 1-D returns, a sequence of 1-D returns, or one 1-D series (one trial).
    """
    if isinstance(returns, pd.DataFrame):
        labels = list(returns.columns)
        matrix = returns.to_numpy(dtype=np.float64, na_value=np.nan)
    elif isinstance(returns, pd.Series | np.ndarray):
        matrix = np.asarray(returns, dtype=np.float64)
        if matrix.ndim == 1:
            matrix = matrix[:, None]
        elif matrix.ndim != 2:
            raise ValueError(f"{who}: returns must be 1-D or 2-D (bars x trials), got {matrix.ndim}-D")
        labels = list(range(matrix.shape[1]))
    elif isinstance(returns, Mapping | Sequence) and not isinstance(returns, str | bytes):
        labels = list(returns.keys()) if isinstance(returns, Mapping) else list(range(len(returns)))
        columns = [
            np.asarray(r, dtype=np.float64) for r in (returns.values() if isinstance(returns, Mapping) else returns)
        ]
        if columns and all(c.ndim == 0 for c in columns):  # a plain list of numbers: one trial
            return trial_matrix(np.asarray(columns), who)
        for label, column in zip(labels, columns, strict=True):
            if column.ndim != 1:
                raise ValueError(f"{who}: the returns of trial {label!r} must be 1-D, got {column.ndim}-D")
        lengths = [len(c) for c in columns]
        if len(set(lengths)) > 1:
            first = lengths[0]
            other = next(i for i, n in enumerate(lengths) if n != first)
            raise ValueError(
                f"{who}: returns of unequal length: trial {labels[0]!r} has {first} bars, "
                f"trial {labels[other]!r} has {lengths[other]}; every trial needs the same bars"
            )
        matrix = np.column_stack(columns) if columns else np.empty((0, 0))
    else:
        raise TypeError(
            f"{who}: returns must be an array, a DataFrame or a sequence of arrays, got {type(returns).__name__}"
        )
    bad = ~np.isfinite(matrix)
    if bad.any():
        row, col = np.argwhere(bad)[0]
        raise ValueError(f"{who}: returns must be finite: trial {labels[col]!r} has {matrix[row, col]} at bar {row}")
    return matrix, labels


def defined_trials(matrix: np.ndarray) -> np.ndarray:
    """Per trial: whether its Sharpe ratio is defined (two bars or more, not constant)."""
    if matrix.shape[0] < 2:
        return np.zeros(matrix.shape[1], dtype=bool)
    spread = np.std(matrix, axis=0, ddof=1)
    return spread > CONSTANT * np.max(np.abs(matrix), axis=0)


def require_trials(count: int, who: str) -> None:
    if count < 2:
        raise ValueError(
            f"{who} needs at least 2 successful trials (with a defined Sharpe ratio: "
            f"two bars or more and not constant), got {count}"
        )
