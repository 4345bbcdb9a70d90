"""The package's entry to the backtest kernel: arrays in, arrays out, GIL released."""

import sys
from collections.abc import Sequence
from typing import Any, ClassVar, Final, final

if sys.version_info >= (3, 13):
    from typing import Self

import numpy as np
import numpy.typing as npt

EXIT_REASONS: tuple[str, ...]
ACTIONS: tuple[str, ...]
FILL_REASONS: tuple[str, ...]
COST_KINDS: tuple[str, ...]

@final
class RunResult(tuple[Any, ...]):
    """What one run returns, by name."""

    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]
    __match_args__: Final = ("values", "trades", "portfolio", "weight_row", "next_weight_row", "fills", "costs")

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
    @property
    def fills(self) -> npt.NDArray[np.void]:
        """One structured record per fill: bar, stock, side, reason, shares, price, value and its costs."""
    @property
    def costs(self) -> npt.NDArray[np.float64]:
        """Costs paid and income received per bar, bars x COST_KINDS, in units of the initial capital."""
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
    capital: float | None = None,
    lot_size: float | npt.NDArray[np.float64] = 1.0,
    min_fee: float = 0.0,
    slippage: float | npt.NDArray[np.float64] = 0.0,
    impact: float = 0.0,
    participation: float | None = None,
    price_limit: float | None = None,
    volume: npt.NDArray[np.float64] | None = None,
    cash_rate: float | npt.NDArray[np.float64] = 0.0,
    borrow_rate: float | npt.NDArray[np.float64] = 0.0,
    leverage: float = 1.0,
    margin_rate: float = 0.0,
    dividend_bars: npt.NDArray[np.int64] | None = None,
    dividend_columns: npt.NDArray[np.int64] | None = None,
    dividend_amounts: npt.NDArray[np.float64] | None = None,
    split_bars: npt.NDArray[np.int64] | None = None,
    split_columns: npt.NDArray[np.int64] | None = None,
    split_ratios: npt.NDArray[np.float64] | None = None,
) -> RunResult: ...
def run_batch(
    shared: dict[str, Any], variants: Sequence[dict[str, Any]], *, threads: int | None = None
) -> list[RunResult | BaseException]: ...
