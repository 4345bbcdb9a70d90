"""The backtest run, step by step: setup, the ten phases of a bar, and the result.

`Simora` holds what the engine module keeps between calls (the two settings,
the final-portfolio description and the excursion session); every call of
`backtest_` builds a fresh `Run` for its own state.
"""

from __future__ import annotations

import math

import numpy as np

from . import sizing
from .arrays import F64, I64, OBJ, Matrix, Vector, check_array_argument, check_buffer
from .columns import map_columns, validate_trade_price
from .excursion import ExcursionSession
from .holdings import run_deferred_exits, stock_of, walk_holdings
from .results import assemble_stock_operations, trade_records
from .stops import stop_thresholds

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1


def _double(value) -> float:
    """Conversion to a C double: floats, and objects that can be a float or an index."""
    if isinstance(value, float):
        return float(value)
    kind = type(value)
    if hasattr(kind, "__float__") or hasattr(kind, "__index__"):
        return float(value)
    raise TypeError(f"must be real number, not {kind.__name__}")


def _int32(value) -> int:
    """Conversion to a C int: integers and objects with an integer value (a float truncates)."""
    kind = type(value)
    if not (hasattr(kind, "__index__") or hasattr(kind, "__int__")):
        raise TypeError("an integer is required")
    value = int(value)
    if not INT32_MIN <= value <= INT32_MAX:
        raise OverflowError("value too large to convert to int")
    return value


class Simora:
    """Module-level state of the engine: settings, last stock_operations, excursion session."""

    def __init__(self) -> None:
        self.RETAIN_COST_WHEN_REBALANCE = False
        self.RESAMPLE = None
        self.stock_operations: dict = {}
        self.session = ExcursionSession()

    def get_stock_operations(self) -> dict:
        return dict(self.stock_operations)

    def get_trade_stocks(self, pos_columns, price_index, touched_exit):
        records = trade_records(
            self.session.trades, self.session.trade_positions, pos_columns, price_index, touched_exit
        )
        return records, self.stock_operations

    @staticmethod
    def normalize_weight(weights, position_limit):
        return sizing.normalize_weight(weights, position_limit)

    def backtest_(
        self,
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
        fee_ratio=0.001425,
        tax_ratio=0.003,
        stop_loss=1.0,
        take_profit=np.inf,
        trail_stop=np.inf,
        trail_stop_activation=0.0,
        touched_exit=False,
        position_limit=1.0,
        retain_cost_when_rebalance=False,
        stop_trading_next_period=True,
        exvalo_window=0,
        exvalo_window_step=1,
        periodically_rebalance=True,
        delisting_bars=None,
    ) -> np.ndarray:
        check_array_argument(price_values, "price_values", 2, F64)
        check_array_argument(close_values, "close_values", 2, F64)
        check_array_argument(high_values, "high_values", 2, F64, allow_none=True)
        check_array_argument(low_values, "low_values", 2, F64, allow_none=True)
        check_array_argument(open_values, "open_values", 2, F64, allow_none=True)
        check_array_argument(price_index, "price_index", 1, I64)
        check_array_argument(price_columns, "price_columns", 1, OBJ)
        check_array_argument(pos_values, "pos_values", 2, F64)
        check_array_argument(pos_index, "pos_index", 1, I64)
        check_array_argument(pos_columns, "pos_columns", 1, OBJ)
        check_array_argument(resample, "resample", 1, I64)
        fee_ratio = _double(fee_ratio)
        tax_ratio = _double(tax_ratio)
        trail_stop = _double(trail_stop)
        trail_stop_activation = _double(trail_stop_activation)
        touched_exit = bool(touched_exit)
        position_limit = _double(position_limit)
        retain_cost_when_rebalance = bool(retain_cost_when_rebalance)
        exvalo_window = _int32(exvalo_window)
        exvalo_window_step = _int32(exvalo_window_step)
        periodically_rebalance = bool(periodically_rebalance)
        if delisting_bars is not None:
            check_buffer(delisting_bars, 1, I64)
        if touched_exit and (high_values is None or low_values is None or open_values is None):
            raise ValueError("touched_exit requires high_values, low_values and open_values")

        self.RETAIN_COST_WHEN_REBALANCE = retain_cost_when_rebalance
        self.RESAMPLE = periodically_rebalance

        run = Run(self)
        run.cash = 1.0
        run.last_weights = None
        run.column_map = {_int32(k): _int32(v) for k, v in map_columns(price_columns, pos_columns).items()}
        run.pos_row, run.applied_pos_row, run.rebalance_pending = 0, -1, False
        value_series = np.empty(price_index.size, dtype=np.float64)
        n_columns = pos_values[0].size
        run.cum_return = [1.0] * n_columns
        run.max_cum_return = [1.0] * n_columns
        run.min_cum_return = [1.0] * n_columns
        run.rebalance_prices = [1.0] * price_values[0].size
        has_delisting = delisting_bars is not None and bool((np.asarray(delisting_bars) >= 0).any())
        if pos_values.shape[1] != pos_columns.size:
            raise ValueError("Position values do not match position columns")
        sl_table = stop_thresholds(stop_loss, price_index, pos_columns)
        tp_table = stop_thresholds(take_profit, price_index, pos_columns)
        views = []
        for array, ndim, kind in (
            (sl_table.values, 2, F64),
            (sl_table.rows, 1, I64),
            (tp_table.values, 2, F64),
            (tp_table.rows, 1, I64),
        ):
            check_buffer(array, ndim, kind)
            views.append(np.asarray(array).tolist())
        run.sl_values, sl_rows, run.tp_values, tp_rows = views
        run.trail_stop = abs(trail_stop)
        run.trail_stop_activation = abs(trail_stop_activation)

        bar_dates = Vector(price_index)
        n_bars = len(bar_dates)
        rebalance_mask = run.rebalance_mask = [0] * n_bars
        if n_bars:
            j = 0
            for d in Vector(resample):
                while j + 1 < n_bars and bar_dates[j + 1] <= d:
                    j += 1
                rebalance_mask[j] = 1

        session = self.session
        session.start_analysis(
            price_values,
            close_values,
            run.column_map,
            pos_columns.size,
            fee_ratio,
            tax_ratio,
            exvalo_window,
            exvalo_window_step,
        )

        run.fee_ratio, run.tax_ratio, run.position_limit = fee_ratio, tax_ratio, position_limit
        run.touched_exit = touched_exit
        run.retain_cost_when_rebalance = retain_cost_when_rebalance
        run.stop_trading_next_period = stop_trading_next_period
        run.price_values = Matrix(price_values)
        run.close_values = Matrix(close_values)
        if touched_exit:
            run.high_values = Matrix(high_values)
            run.low_values = Matrix(low_values)
            run.open_values = Matrix(open_values)
        run.pos_values = Matrix(pos_values)
        run.pos_index = Vector(pos_index)
        run.pos_columns = Vector(pos_columns)
        run.delisting_bars = Vector(delisting_bars) if has_delisting else None

        for bar, date in enumerate(bar_dates):
            run.date = date
            if date < run.pos_index[0]:
                value_series[bar] = 1.0
                continue
            session.record_date(bar)
            run.sl_row, run.tp_row = sl_rows[bar], tp_rows[bar]
            walk_holdings(run, bar)
            run_deferred_exits(run)
            run.due_exits = list(run.next_exits)
            run.next_exits = []
            if run.rebalance_pending:
                run.apply_rebalance(bar)
            if has_delisting:
                run.close_delisted(bar)
            value_series[bar] = run.valuation(bar)
            run.schedule(bar, bar_dates)

        session.end_analysis(run.positions)
        assemble_stock_operations(run)
        return value_series


class Run:
    """State of one backtest call."""

    def __init__(self, module: Simora) -> None:
        self.module = module
        self.positions: dict[int, float] = {}
        self.rebalance_positions: dict[int, float] = {}
        self.stopped_stocks: list[int] = []
        self.next_exits: list[int] = []
        self.due_exits: list[int] = []
        self.date = None

    def _reset_trackers(self, sid: int) -> None:
        self.cum_return[sid] = self.max_cum_return[sid] = self.min_cum_return[sid] = 1.0

    def apply_rebalance(self, bar: int) -> None:
        positions = self.positions
        if self.retain_cost_when_rebalance:
            # Only new entries, side flips and flat holdings restart their cost basis.
            for j in range(self.pos_values.n_cols):
                v = self.pos_values.row(self.pos_row)[j]
                if v != 0 and (j not in positions or positions[j] * v <= 0):
                    self._reset_trackers(j)
        else:
            for sid in range(len(self.cum_return)):
                self._reset_trackers(sid)
        weights = np.array(self.pos_values.row(self.pos_row), dtype=np.float64)
        if self.stop_trading_next_period and self.stopped_stocks:
            for s in self.stopped_stocks:
                weights[stock_of(s)] = 0
        self.cash = sizing.rebalance(
            self.module, positions, weights, self.cash, self.fee_ratio, self.tax_ratio, self.position_limit
        )
        self.stopped_stocks.clear()
        self.next_exits.clear()
        self.rebalance_positions = dict(positions)
        self.last_weights = weights.tolist()
        self.applied_pos_row = self.pos_row
        self.rebalance_prices = list(self.price_values.row(bar))

    def close_delisted(self, bar: int) -> None:
        delisted = [
            sid for sid in sorted(self.positions) if self.delisting_bars[sid] == bar and self.positions[sid] != 0
        ]
        for sid in delisted:
            self.cash = sizing.set_position(
                self.module, self.positions, sid, 0.0, self.cash, self.fee_ratio, self.tax_ratio, False, True
            )
            self._reset_trackers(sid)

    def valuation(self, bar: int) -> float:
        value = self.cash
        for sid in sorted(self.positions):
            amount = self.positions[sid]
            col = self.column_map.setdefault(sid, 0)
            price = self.price_values(bar, col)
            validate_trade_price(price, self.pos_columns[sid], bar)
            close = self.close_values(bar, self.column_map[sid])
            if math.isnan(price) or math.isnan(close):
                value += amount
            else:
                value += (amount * close) / price
        return value

    def schedule(self, bar: int, bar_dates: Vector) -> None:
        n_bars = len(bar_dates)
        next_date = bar_dates[bar + 1] if bar < n_bars - 1 else bar_dates[-1] + math.inf
        while self.pos_row < len(self.pos_index) - 1 and self.pos_index[self.pos_row + 1] < next_date:
            self.pos_row += 1
        self.rebalance_pending = self.pos_row != self.applied_pos_row and self.rebalance_mask[bar] != 0
