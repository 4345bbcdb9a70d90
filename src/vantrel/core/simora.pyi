"""The backtest engine."""

import datetime as _datetime
import types
from typing import Any

import numpy as np
import numpy.typing as npt

org_np: types.ModuleType
exvalo: types.ModuleType
datetime: types.ModuleType
RETAIN_COST_WHEN_REBALANCE: bool
RESAMPLE: bool | None

def backtest_(
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
) -> npt.NDArray[np.float64]: ...
def normalize_weight(weights: dict[Any, Any], position_limit: Any) -> dict[Any, Any]: ...
def get_stock_operations() -> dict[str, Any]: ...
def get_trade_stocks(
    pos_columns: npt.NDArray[np.object_] | None,
    price_index: npt.NDArray[np.int64] | None,
    touched_exit: object,
) -> tuple[list[list[Any]], dict[str, Any]]: ...
def ioft(v: float) -> _datetime.datetime: ...
