"""The excursion-analysis session: trades recorded as the engine reports them,
and each trade's excursion statistics computed when it closes or at the end.
"""

from __future__ import annotations

import math

import numpy as np

from .arrays import F64, check_buffer, out_of_bounds

RECORD = 6  # values per statistics record


class ExcursionSession:
    """One analysis session per process, replaced by every run's start_analysis."""

    def __init__(self) -> None:
        self.trade_prices = np.empty((0, 0), dtype=np.float64)
        self.close_prices = np.empty((0, 0), dtype=np.float64)
        self.column_map: dict[int, int] = {}
        self.fee_ratio = 0.0
        self.tax_ratio = 0.0
        self.window = 0
        self.window_step = 0
        self.current_bar = 0
        self.entry = np.empty(0, dtype=int)
        self.position = np.empty(0, dtype=float)
        self.entry_flags = np.empty(0, dtype=int)
        self.trades: list = []
        self.trade_positions: list = []
        self.exvalo: list = []

    def start_analysis(
        self, trade_prices, close_prices, column_map, n_columns, fee_ratio, tax_ratio, window, window_step
    ) -> None:
        for prices in (trade_prices, close_prices):
            if prices is not None:
                check_buffer(prices, 2, F64)
        self.trade_prices = trade_prices
        self.close_prices = close_prices
        self.column_map = dict(column_map)
        self.window = window
        self.window_step = window_step
        self.trades.clear()
        self.trade_positions.clear()
        self.exvalo.clear()
        self.entry = np.zeros(n_columns, dtype=int)
        self.position = np.zeros(n_columns, dtype=float)
        self.entry_flags = np.zeros(n_columns, dtype=int)
        self.fee_ratio = fee_ratio
        self.tax_ratio = tax_ratio

    def record_date(self, bar: int) -> None:
        self.current_bar = bar

    def record_entry(self, sid: int, weight: float, full_entry: int) -> None:
        self.entry[sid] = self.current_bar
        self.position[sid] = weight
        self.entry_flags[sid] = full_entry

    def record_exit(self, sid: int, full_exit: int) -> None:
        self.trades.append([sid, self.entry[sid], self.current_bar])
        self.trade_positions.append(self.position[sid])
        self.exvalo.append(self._analyse(sid, full_exit))

    def end_analysis(self, positions: dict) -> None:
        """Trades still open after the last bar, valued to the last bar without exit costs."""
        for sid in sorted(positions):
            if positions[sid] == 0:
                continue
            self.trades.append([sid, self.entry[sid], -1])
            self.trade_positions.append(self.position[sid])
            self.exvalo.append(self._analyse(sid, 0))

    def _analyse(self, sid: int, full_exit: int) -> np.ndarray:
        return exvalo_analysis(
            self,
            sid,
            int(self.entry[sid]),
            self.current_bar,
            self.position[sid] > 0,
            int(self.entry_flags[sid]),
            full_exit,
        )


def _price(matrix, row: int, col: int) -> float:
    return float(matrix[row, col])


def exvalo_analysis(
    session: ExcursionSession, sid: int, entry_bar: int, exit_bar: int, is_long, full_entry: int, full_exit: int
) -> np.ndarray:
    """Adverse and favourable excursion, drawdown, profitable bars and return of one trade,
    sampled every window_step bars inside the window and once at the exit."""
    trade, close = session.trade_prices, session.close_prices
    fee, tax = session.fee_ratio, session.tax_ratio
    window, window_step = session.window, session.window_step
    current_bar = session.current_bar

    pc = session.column_map.setdefault(sid, 0)
    end_bar = exit_bar
    end_bar = max(end_bar, entry_bar + window)
    n = trade.shape[0]
    if end_bar >= n:
        end_bar = n - 1
    span = end_bar - entry_bar + 1
    if span < 0:
        raise OverflowError("can't convert negative value to size_t")

    pe = _price(trade, entry_bar, pc)
    ce = _price(close, entry_bar, pc)
    if pe == 0:
        raise ZeroDivisionError("float division")
    v = ce / pe if is_long else 2 - ce / pe
    if full_entry:
        v = (1 - fee) * v

    value_path = [v]
    peak = [1.0 if v < 1.0 else v]
    trough = [1.0 if v > 1.0 else v]
    trough_at = [0]
    drawdown = [v - 1 if v - 1 < 0 else 0.0]
    gain_bars = [1.0 if v > 1.0 else 0.0]

    prev = _price(close, entry_bar, pc)
    loop_ran = False
    for j, ith in enumerate(range(entry_bar + 1, end_bar + 1)):
        loop_ran = True
        c = _price(close, ith, pc)
        if not math.isnan(c):
            if prev == 0:
                raise ZeroDivisionError("float division")
            ratio = c / prev
            prev = c
            if not math.isnan(ratio):
                v = v * ratio if is_long else 2 - (2 - v) * ratio
        pk = v if v > peak[j] else peak[j]
        peak.append(pk)
        if trough[j] > v:
            trough.append(v)
            trough_at.append(j)
        else:
            trough.append(trough[j])
            trough_at.append(trough_at[j])
        if pk == 0:
            raise ZeroDivisionError("float division")
        d = v / pk - 1
        drawdown.append(d if drawdown[j] > d else drawdown[j])
        gain_bars.append(gain_bars[j] + 1 if not math.isnan(c) and v > 1.0 else gain_bars[j])
        value_path.append(v)

    # Position of the exit inside the span; a negative distance compares as a huge unsigned one.
    distance = current_bar - entry_bar
    exit_at = span - 1 if distance < 0 else min(span - 1, distance)

    if full_exit:
        if entry_bar != end_bar and not loop_ran:
            raise UnboundLocalError("local variable 'ith' referenced before assignment")
        if exit_at > 0:
            px = _price(trade, entry_bar + exit_at, pc)
            cx = _price(close, entry_bar + exit_at, pc)
            if cx == 0:
                raise ZeroDivisionError("float division")
            x = value_path[exit_at]
            value_path[exit_at] = (px / cx) * x if is_long else 2 - ((2 - x) * px) / cx
        value_path[exit_at] = value_path[exit_at] * (1 - fee - tax)

    if window_step == 0:
        raise ZeroDivisionError("integer division or modulo by zero")
    if window_step == -1 and window - 1 == -(2**31):
        raise OverflowError("value too large to perform division")
    length = ((window - 1) // window_step) * RECORD + 2 * RECORD
    result = np.empty(length)
    result.fill(-1)

    def write(offset: int, p: int) -> None:
        record = (trough[p] - 1, peak[p] - 1, peak[trough_at[p]] - 1, drawdown[p], gain_bars[p], value_path[p] - 1)
        for k, x in enumerate(record):
            i = offset + k
            if i < 0:
                i += length
            if i < 0 or i >= length:
                raise out_of_bounds(0)
            result[i] = x

    samples = span if window < 0 else min(window, span)
    for s, p in enumerate(range(0, samples, window_step)):
        write(s * RECORD, p)
    write(length - RECORD, exit_at)
    return result
