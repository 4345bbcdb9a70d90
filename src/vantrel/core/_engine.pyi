"""The package's entry to the backtest kernel: arrays in, arrays out, GIL released."""

from typing import Any

import numpy as np
import numpy.typing as npt

EXIT_REASONS: tuple[str, ...]
ACTIONS: tuple[str, ...]

def run(
    price_values: npt.NDArray[np.float64],
    close_values: npt.NDArray[np.float64],
    high_values: npt.NDArray[np.float64] | None,
    low_values: npt.NDArray[np.float64] | None,
    open_values: npt.NDArray[np.float64] | None,
    price_index: npt.NDArray[np.int64],
    price_columns: npt.NDArray[np.object_],
    pos_values: npt.NDArray[np.float64],
    pos_index: npt.NDArray[np.int64],
    pos_columns: npt.NDArray[np.object_],
    resample: npt.NDArray[np.int64],
    fee_ratio: float = 0.001425,
    tax_ratio: float = 0.003,
    stop_loss: Any = 1.0,
    take_profit: Any = ...,
    trail_stop: float = ...,
    trail_stop_activation: float = 0.0,
    touched_exit: object = False,
    position_limit: float = 1.0,
    retain_cost_when_rebalance: object = False,
    stop_trading_next_period: object = True,
    exvalo_window: int = 0,
    exvalo_window_step: int = 1,
    periodically_rebalance: object = True,
    delisting_bars: npt.NDArray[np.int64] | None = None,
) -> dict[str, Any]: ...
