"""vantrel: research stock-portfolio strategies with a fast, bit-reproducible backtester.

The public names load on first use, so that importing the native core
(``vantrel.core``) does not pull in pandas and matplotlib.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING

from ._version import __version__

_PUBLIC = {
    "backtest": "._backtest",
    "Market": ".market",
    "BacktestResult": ".result",
    "SweepResult": ".result",
    "performance_stats": ".stats",
    "datasets": ".datasets",
    "sweep": "._sweep",
}

__all__ = [*_PUBLIC, "__version__"]

if TYPE_CHECKING:
    from . import datasets
    from ._backtest import backtest
    from ._sweep import sweep
    from .market import Market
    from .result import BacktestResult, SweepResult
    from .stats import performance_stats


def __getattr__(name: str):
    module = _PUBLIC.get(name)
    if module is None:
        raise AttributeError(f"module 'vantrel' has no attribute {name!r}")
    loaded = importlib.import_module(module, __name__)
    value = loaded if name == "datasets" else getattr(loaded, name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted([*globals(), *_PUBLIC])
