"""Trading primitives: bring one stock to a target value, rebalance a weight row,
and normalise reported weights."""

from __future__ import annotations

import math

import numpy as np


def set_position(
    module,
    positions: dict,
    sid: int,
    target_value: float,
    cash: float,
    fee_ratio: float,
    tax_ratio: float,
    verify_held: bool = True,
    drop_flat: bool = False,
    weight_base=1,
) -> float:
    """Trade `sid` to `target_value`; returns the new cash balance.

    The fee is charged on every trade, the tax only when a position is reduced
    or closed. The excursion analysis hears of every opening, closing and, on a
    re-based holding, of the restart of its trade.
    """
    session = module.session
    held = not verify_held or sid in positions
    holding = sid in positions and positions[sid] != 0
    opening = target_value != 0
    if not holding and opening:
        session.record_entry(sid, target_value / weight_base, 1)
    elif holding and not opening:
        session.record_exit(sid, 1)
    elif holding and opening and not module.RETAIN_COST_WHEN_REBALANCE and module.RESAMPLE:
        session.record_exit(sid, 0)
        session.record_entry(sid, target_value / weight_base, 0)

    if target_value == 0:
        if held:
            value = positions.setdefault(sid, 0.0)
            cash = cash + (value - abs(value) * (fee_ratio + tax_ratio))
            if drop_flat:
                del positions[sid]
            else:
                positions[sid] = 0.0
        return cash

    value = positions.setdefault(sid, 0.0)
    amount = target_value - value
    buying = amount > 0
    growing = (target_value >= 0 and amount > 0) or (target_value <= 0 and amount < 0)
    cost = abs(amount) * fee_ratio if growing else abs(amount) * (fee_ratio + tax_ratio)
    if buying:
        cash = cash - amount
        positions[sid] = value + (amount - cost)
    else:
        cash = cash + (-amount - cost)
        positions[sid] = value + amount
    if drop_flat and positions[sid] == 0:
        del positions[sid]
    return cash


def rebalance(
    module, positions: dict, weights: np.ndarray, cash: float, fee_ratio: float, tax_ratio: float, position_limit: float
) -> float:
    """Trade every position column to its weight of the portfolio value, capped per stock."""
    total = cash
    for sid in sorted(positions):
        total = total + positions[sid]
    # NumPy's pairwise summation is part of the result.
    denominator = float(np.sum(np.abs(weights)))
    denominator = max(denominator, 1)
    ratio = total / denominator
    if math.isnan(ratio):
        ratio = 1.0
    cap = total * position_limit
    for sid, weight in enumerate(weights.tolist()):
        target = weight * ratio
        if abs(target) > cap:
            target = cap * (1 if target > 0 else -1)
        cash = set_position(module, positions, sid, target, cash, fee_ratio, tax_ratio, True, True, weight_base=total)
    return cash


def normalize_weight(weights, position_limit):
    """Scale weights down to an absolute total of at most 1, then clip each to the limit."""
    items = weights.items()
    weight_sum = 0.0
    for _, weight in items:
        weight_sum += abs(weight)
    for key in weights:
        if weight_sum > 1:
            weights[key] = weights[key] * (1 / weight_sum)
    for key in weights:
        weight = weights[key]
        if weight > position_limit:
            weights[key] = position_limit
        elif weight < -position_limit:
            weights[key] = -position_limit
    return weights
