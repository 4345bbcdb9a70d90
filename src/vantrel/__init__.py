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
    "CostWarning": "._backtest",
    "Market": ".market",
    "BacktestResult": ".result",
    "SweepResult": ".result",
    "performance_dates": ".stats",
    "performance_stats": ".stats",
    "datasets": ".datasets",
    "sweep": "._sweep",
    "walk_forward": "._sweep",
    "WalkForwardResult": ".result",
    "profile": "._profiles",
    "profiles": "._profiles",
}

__all__ = [
    "BacktestResult",
    "CostWarning",
    "Market",
    "SweepResult",
    "WalkForwardResult",
    "__version__",
    "backtest",
    "datasets",
    "performance_dates",
    "performance_stats",
    "profile",
    "profiles",
    "sweep",
    "walk_forward",
]

if TYPE_CHECKING:
    from . import datasets as datasets
    from ._backtest import CostWarning as CostWarning
    from ._backtest import backtest as backtest
    from ._profiles import profile as profile
    from ._profiles import profiles as profiles
    from ._sweep import sweep as sweep
    from ._sweep import walk_forward as walk_forward
    from .market import Market as Market
    from .result import BacktestResult as BacktestResult
    from .result import SweepResult as SweepResult
    from .result import WalkForwardResult as WalkForwardResult
    from .stats import performance_dates as performance_dates
    from .stats import performance_stats as performance_stats


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
