"""The one place that calls the native backtest engine.

The package runs the engine's array entry (``vantrel.core._engine``): it keeps no
state between runs and releases the GIL for the bar loop, so threads of one
process can run backtests side by side on shared, read-only market arrays.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class EngineOutput:
    """What one engine run returns, as arrays."""

    values: np.ndarray  # portfolio value per bar, starting from 1.0
    trades: np.ndarray  # the trade log: one structured record per trade record
    portfolio: np.ndarray  # per stock: weight, next_weight, has_*, action code
    weight_row: int  # the weight row applied by the latest rebalance (-1: none)
    next_weight_row: int  # the weight row in force at the end


def run_engine(
    price_values,
    close_values,
    high_values,
    low_values,
    open_values,
    price_index,
    price_columns,
    pos_values,
    pos_index,
    pos_columns,
    resample,
    *,
    touched_exit: bool,
    **options,
) -> EngineOutput:
    from vantrel.core import _engine

    out = _engine.run(
        price_values,
        close_values,
        high_values,
        low_values,
        open_values,
        price_index,
        price_columns,
        pos_values,
        pos_index,
        pos_columns,
        resample,
        touched_exit=touched_exit,
        **options,
    )
    return EngineOutput(out["values"], out["trades"], out["portfolio"], out["weight_row"], out["next_weight_row"])


def exit_reason_names() -> tuple[str, ...]:
    from vantrel.core import _engine

    return _engine.EXIT_REASONS


def action_names() -> tuple[str, ...]:
    from vantrel.core import _engine

    return _engine.ACTIONS
