"""Parameter sweeps: many backtest variants on a process pool, any Executor or a Dask cluster."""

from .result import SweepResult
from .run import sweep

__all__ = ["sweep", "SweepResult"]
