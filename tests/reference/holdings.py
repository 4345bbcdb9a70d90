"""The holdings walk of one bar (mark to market, trackers, stop levels, touched
exits) and the close-mode exits deferred from the previous bar.

Stop lists hold signed ids `sid + 1`: negative for the stop-loss side, positive
for the take-profit side, so stock 0 keeps its side too.
"""

from __future__ import annotations

import math

from .columns import validate_trade_price
from .sizing import set_position


def signed(sid: int, stop_loss_side: bool) -> int:
    return -(sid + 1) if stop_loss_side else sid + 1


def stock_of(s: int) -> int:
    return abs(s) - 1


def _levels(run, sid: int, entry_value: float) -> tuple[float, float]:
    sl = abs(run.sl_values[run.sl_row][sid])
    tp = abs(run.tp_values[run.tp_row][sid])
    if entry_value > 0:
        upper = tp + 1.0
        lower = 1.0 - sl
        peak = run.max_cum_return[sid]
        if peak >= run.trail_stop_activation + 1.0:
            trailed = peak - run.trail_stop
            lower = max(lower, trailed)
    else:
        upper = sl + 1.0
        low = run.min_cum_return[sid]
        if low <= 1.0 - run.trail_stop_activation:
            trailed = low + run.trail_stop
            upper = min(upper, trailed)
        lower = 1.0 - tp
    return upper, lower


def walk_holdings(run, bar: int) -> None:
    positions = run.positions
    cum, cum_max, cum_min = run.cum_return, run.max_cum_return, run.min_cum_return
    reference = run.rebalance_prices
    # Keys present when the walk starts, ascending; a touched exit keeps its key.
    for sid in sorted(positions):
        col = run.column_map.setdefault(sid, 0)
        price = run.price_values(bar, col)
        validate_trade_price(price, run.pos_columns[sid], bar)
        if math.isnan(reference[col]):
            reference[col] = price
        price_ratio = ieee_div(price, reference[col])
        if math.isnan(price_ratio):
            price_ratio = 1.0
        positions[sid] = positions[sid] * price_ratio
        cum[sid] = cum[sid] * price_ratio
        cum_max[sid] = max(cum_max[sid], cum[sid])
        cum_min[sid] = min(cum_min[sid], cum[sid])
        entry_value = ieee_div(positions[sid], cum[sid])
        upper, lower = _levels(run, sid, entry_value)

        if run.touched_exit:
            base = ieee_div(cum[sid], price_ratio)
            high_return = base * ieee_div(run.high_values(bar, col), reference[col])
            low_return = base * ieee_div(run.low_values(bar, col), reference[col])
            open_return = base * ieee_div(run.open_values(bar, col), reference[col])
            touched_low = low_return <= lower
            touched_high = high_return >= upper
            gapped = open_return >= upper or open_return <= lower
            # A flat holding left by an earlier touched exit has nothing to sell.
            if positions[sid] != 0 and (gapped or touched_high or touched_low):
                if gapped:
                    exit_value = entry_value * open_return
                elif touched_high:
                    exit_value = entry_value * upper
                else:
                    exit_value = entry_value * lower
                positions[sid] = exit_value
                # The side is the level the position was sold at.
                sold_high = open_return >= upper if gapped else touched_high
                stop_loss_side = (sold_high and exit_value < 0) or (not sold_high and exit_value > 0)
                run.stopped_stocks.append(signed(sid, stop_loss_side))
                run.cash = set_position(
                    run.module, positions, sid, 0, run.cash, run.fee_ratio, run.tax_ratio, False, False
                )
        else:
            close_return = ieee_div(cum[sid] * run.close_values(bar, col), price)
            value = positions[sid]
            if close_return >= upper:
                run.next_exits.append(signed(sid, value < 0))
            elif close_return < lower:
                run.next_exits.append(signed(sid, value > 0))

        if not math.isnan(price):
            reference[col] = price


def run_deferred_exits(run) -> None:
    for s in run.due_exits:
        sid = stock_of(s)
        # The rebalance later in this bar closes a stock whose new weight is 0.
        if run.rebalance_pending and not run.stop_trading_next_period and run.pos_values(run.pos_row, sid) == 0:
            continue
        if sid in run.positions and run.positions[sid] != 0:
            run.cash = set_position(
                run.module, run.positions, sid, 0, run.cash, run.fee_ratio, run.tax_ratio, False, True
            )
            run.stopped_stocks.append(s)
            run.cum_return[sid] = run.max_cum_return[sid] = run.min_cum_return[sid] = 1.0
            for k, pending in enumerate(run.next_exits):
                if pending in (s, -s):
                    del run.next_exits[k]
                    break


def ieee_div(a: float, b: float) -> float:
    """Double division as the hardware does it: division by zero gives inf or NaN."""
    try:
        return a / b
    except ZeroDivisionError:
        if math.isnan(a):
            return a
        if a == 0:
            return math.inf - math.inf  # the hardware's default NaN
        return math.copysign(math.inf, a) * math.copysign(1.0, b)
