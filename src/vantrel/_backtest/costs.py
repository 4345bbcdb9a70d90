"""Trading costs: fractions of the value traded, with percentages typed as numbers caught."""

from __future__ import annotations

import warnings

from .._checks import real_number

__all__ = ["COST_WARNING_ABOVE", "CostWarning", "cost_ratio"]

# Above this a cost rate is more likely a percentage typed as a number than a market's real cost.
COST_WARNING_ABOVE = 0.05
_CHARGED_ON = {"fee_ratio": "every trade", "tax_ratio": "every sale"}


class CostWarning(UserWarning):
    """A cost rate so high that it looks like a percentage typed as a fraction."""


def cost_ratio(value, name: str) -> float:
    """A fee or tax rate: a fraction from 0 to below 1; above 5% it is taken, with a warning."""
    value = real_number(value, name, minimum=0.0)
    on = _CHARGED_ON[name]
    if value >= 1.0:
        raise ValueError(
            f"{name} is {value:g}, 1 or more: costs are fractions of the value traded (0.001425 = 0.1425%), "
            f"so {value:g} would charge {value * 100:g}% of {on}; for {value:g}% write {value / 100:g}"
        )
    if value > COST_WARNING_ABOVE:
        warnings.warn(
            f"{name} is {value:g}: {value * 100:g}% of {on}, which looks like a percentage typed as a "
            f"number; costs are fractions of the value traded (0.001425 = 0.1425%), so for {value:g}% "
            f"write {value / 100:g}",
            CostWarning,
            stacklevel=4,  # the caller of backtest (through prepare_backtest)
        )
    return value
