"""The one place that calls the native backtest engine.

The engine keeps its results in process-wide module state, so a run and the
reading of its results must not interleave with another run: a lock makes the
pair atomic for threads of one process (processes are independent).
"""

from __future__ import annotations

import threading
from dataclasses import dataclass

import numpy as np

_run_lock = threading.Lock()


@dataclass(frozen=True)
class EngineOutput:
    """What one engine run leaves behind, copied out of the engine's state."""

    values: np.ndarray  # portfolio value per bar, starting from 1.0
    records: list  # trade records: [stock, entry ts, exit ts, ..., entry bar, exit bar]
    operations: dict  # final portfolio: actions, weights, next weights and their rows
    excursions: list  # per trade, the excursion statistics array


def run_engine(
    price_values, close_values, high_values, low_values, open_values,
    price_index, price_columns, pos_values, pos_index, pos_columns, resample,
    *, touched_exit: bool, **options,
) -> EngineOutput:
    from vantrel.core import exvalo, simora

    with _run_lock:
        values = simora.backtest_(
            price_values, close_values, high_values, low_values, open_values,
            price_index, price_columns, pos_values, pos_index, pos_columns, resample,
            touched_exit=touched_exit, **options,
        )
        records, operations = simora.get_trade_stocks(pos_columns, price_index, touched_exit)
        excursions = [np.array(stats, dtype=np.float64, copy=True) for stats in exvalo.exvalo]
        operations = {key: dict(v) if isinstance(v, dict) else v for key, v in operations.items()}
    return EngineOutput(np.asarray(values, dtype=np.float64), records, operations, excursions)
