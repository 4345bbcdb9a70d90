"""The package's entry to the backtest kernel: arrays in, arrays out, GIL released."""

import sys
from typing import Any, ClassVar, Final, final

if sys.version_info >= (3, 13):
    from typing import Self

import numpy as np
import numpy.typing as npt

EXIT_REASONS: tuple[str, ...]
ACTIONS: tuple[str, ...]

@final
class RunResult(tuple[Any, ...]):
    """What one run returns, by name."""

    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]
    __match_args__: Final = ("values", "trades", "portfolio", "weight_row", "next_weight_row")

    @property
    def values(self) -> npt.NDArray[np.float64]:
        """Portfolio value per bar, 1.0 until the first weight row is visible."""
    @property
    def trades(self) -> npt.NDArray[np.void]:
        """The trade log: one structured record per trade record."""
    @property
    def portfolio(self) -> npt.NDArray[np.void]:
        """Per stock: weight, next_weight, has_weight, has_next_weight, action."""
    @property
    def weight_row(self) -> int:
        """The weight row the latest rebalance applied (-1: none)."""
    @property
    def next_weight_row(self) -> int:
        """The weight row in force at the end."""
    if sys.version_info >= (3, 13):
        def __replace__(self, **kwargs: Any) -> Self: ...

def run(
    *,
    prices: npt.NDArray[np.float64],
    close: npt.NDArray[np.float64],
    bar_dates: npt.NDArray[np.int64],
    weights: npt.NDArray[np.float64],
    weight_dates: npt.NDArray[np.int64],
    stock_columns: npt.NDArray[np.int64],
    calendar: npt.NDArray[np.int64],
    high: npt.NDArray[np.float64] | None = None,
    low: npt.NDArray[np.float64] | None = None,
    open: npt.NDArray[np.float64] | None = None,
    fee_ratio: float = 0.0,
    tax_ratio: float = 0.0,
    stop_loss: npt.NDArray[np.float64] | None = None,
    stop_loss_rows: npt.NDArray[np.int64] | None = None,
    take_profit: npt.NDArray[np.float64] | None = None,
    take_profit_rows: npt.NDArray[np.int64] | None = None,
    trail_stop: float = ...,
    trail_stop_activation: float = 0.0,
    touched_exit: bool = False,
    position_limit: float = 1.0,
    retain_cost_when_rebalance: bool = False,
    stop_trading_next_period: bool = True,
    excursion_window: int = 0,
    excursion_window_step: int = 1,
    periodically_rebalance: bool = True,
    delisting_bars: npt.NDArray[np.int64] | None = None,
) -> RunResult: ...
