"""Per-trade excursion analysis, driven natively by the backtest engine.

After a run, element k of the three lists describes the same trade.
"""

from typing import Any

import numpy as np
import numpy.typing as npt

trades: list[list[Any]]
"""[stock id, entry bar, exit bar (-1 while open)] per trade."""
trade_positions: list[np.float64]
"""Entry weight per trade."""
exvalo: list[npt.NDArray[np.float64]]
"""Excursion statistics per trade: six-value records (window samples, then the exit)."""
__pyx_capi__: dict[str, Any]
