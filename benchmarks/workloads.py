"""The benchmark workloads: market sizes and the scaling grid."""

from __future__ import annotations

from benchmarks.market import Market, make_market
from benchmarks.strategies import Strategy, monthly_top, standard_strategies

SIZES = {
    "S": (504, 100),  # 2 years x 100 stocks
    "M": (2520, 500),  # 10 years x 500 stocks
    "L": (5040, 2000),  # 20 years x 2,000 stocks
}

# Scaling: a base run, then bars, universe and held count doubled one at a time.
SCALING_BASE = {"bars": 1260, "universe": 500, "held": 50}
SCALING_STEPS = (1, 2, 4)


def market_for(workload: str) -> Market:
    bars, stocks = SIZES[workload]
    return make_market(bars, stocks)


def strategy_named(market: Market, name: str) -> Strategy:
    for strategy in standard_strategies(market):
        if strategy.name == name:
            return strategy
    raise KeyError(name)


def scaling_grid() -> list[tuple[str, int, dict[str, int]]]:
    """(axis, factor, sizes) for every point of the three curves; the base once."""
    grid = [("base", 1, dict(SCALING_BASE))]
    for axis in ("bars", "universe", "held"):
        for factor in SCALING_STEPS[1:]:
            sizes = dict(SCALING_BASE)
            sizes[axis] *= factor
            grid.append((axis, factor, sizes))
    return grid


def scaling_case(sizes: dict[str, int]) -> tuple[Market, Strategy]:
    market = make_market(sizes["bars"], sizes["universe"])
    return market, monthly_top(market, held=sizes["held"], name=f"monthly_top{sizes['held']}")
