"""What a run leaves behind: the final-portfolio description and the trade records."""

from __future__ import annotations

from .holdings import stock_of


def _first_match(stops: list, sid: int):
    for s in stops:
        if stock_of(s) == sid:
            return s
    return None


def assemble_stock_operations(run) -> dict:
    """Current weights, pending next weights and an action per stock, as of the last bar."""
    module = run.module
    positions = run.positions
    stop_next = run.stop_trading_next_period
    operations = {"actions": {}, "weights": {}, "next_weights": {}}
    module.stock_operations = operations
    actions, weights, next_weights = (operations["actions"], operations["weights"], operations["next_weights"])

    weight_total = 0
    for sid in sorted(run.rebalance_positions):
        w = run.pos_values(run.applied_pos_row, sid)
        weights[sid] = w if sid in positions else 0
        weight_total += abs(w)
    for sid in weights:
        weights[sid] = weights[sid] / (weight_total if weight_total > 1 else 1)

    next_weight_total = 0
    row = list(run.last_weights) if run.pos_row == run.applied_pos_row else run.pos_values.row(run.pos_row)
    for sid, w in enumerate(row):
        exited = matched = False
        if stop_next:
            if _first_match(run.stopped_stocks, sid) is not None:
                exited = matched = True
            elif _first_match(run.due_exits, sid) is not None:
                matched = True
                exited = sid in positions and positions[sid] != 0
        if not (exited and run.rebalance_pending):
            next_weight_total += abs(w)
        if matched:
            continue
        if w != 0:
            next_weights[sid] = w

    operations["weight_time"] = run.applied_pos_row
    operations["next_weight_time"] = run.pos_row
    for sid in next_weights:
        next_weights[sid] = next_weights[sid] / (next_weight_total if next_weight_total > 1 else 1)
    operations["weights"] = module.normalize_weight(weights, run.position_limit)
    operations["next_weights"] = module.normalize_weight(next_weights, run.position_limit)

    if run.rebalance_pending:
        for sid, w in enumerate(run.pos_values.row(run.pos_row)):
            cur = positions.get(sid, 0.0)
            if cur == 0 and w != 0:
                actions[sid] = "enter"
            elif cur != 0 and w == 0:
                actions[sid] = "exit"
            elif cur != 0 and w != 0:
                actions[sid] = "hold"

    for s in run.due_exits:
        key = stock_of(s)
        label = "tp" if s > 0 else "sl"
        if stop_next or run.date > run.pos_index[run.pos_row]:
            actions[key] = label
        elif key in next_weights and next_weights[key] != 0:
            actions[key] = "tp_enter" if s > 0 else "sl_enter"

    for s in run.stopped_stocks:
        key = stock_of(s)
        if stop_next or key not in actions:
            actions[key] = "tp_" if s > 0 else "sl_"
    return operations


def trade_records(trades, trade_positions, pos_columns, price_index, touched_exit) -> list:
    """One record per trade: stock, entry/exit dates and signal dates, position, period, bars."""
    touched_exit = bool(touched_exit)
    records = []
    for i, t in enumerate(trades):
        sid, entry_bar, exit_bar = t[0], t[1], t[2]
        is_open = exit_bar == -1
        records.append(
            [
                pos_columns[sid],
                price_index[entry_bar],
                -1 if is_open else price_index[exit_bar],
                price_index[entry_bar - 1],
                -1 if is_open else price_index[exit_bar if touched_exit else exit_bar - 1],
                trade_positions[i],
                len(price_index) - entry_bar if is_open else exit_bar - entry_bar,
                entry_bar,
                exit_bar,
            ]
        )
    return records
