"""What costs do to a backtest: its figures at multiples of its costs, and the fee it can bear."""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass

import numpy as np
import pandas as pd

from ..stats import MIN_YEARS
from .roots import bracketed_root

__all__ = ["MULTIPLES", "CostSensitivity", "cost_sensitivity", "rerun_of"]

MULTIPLES = (0, 1, 2, 3)
# The trading costs a multiple scales (financing rates are not costs of trading).
SCALED = ("fee_ratio", "tax_ratio", "min_fee", "slippage", "impact")
# The highest fee the break-even search tries: a fee of 1 (100%) or more is no fee.
FEE_CEILING = 0.99
# The search stops when the bracket around the break-even fee is this narrow.
FEE_TOLERANCE = 1e-12


@dataclass(frozen=True, eq=False)
class CostSensitivity:
    """A backtest at multiples of its costs; see :meth:`vantrel.BacktestResult.cost_sensitivity`.

    Attributes
    ----------
    table : DataFrame
        One row per multiple of the run's trading costs (index ``multiple``):
        the ``fee_ratio`` and ``tax_ratio`` charged (and ``min_fee``,
        ``slippage`` and ``impact`` when the run had them as numbers; per-stock
        ones are scaled too), ``sharpe`` and ``cagr``. Financing rates stay as
        the run had them.
    break_even_fee : float
        The ``fee_ratio`` at which the CAGR is 0, with the run's tax and other
        options; NaN when the strategy does not make money at a fee of 0 (or
        its span is too short for a CAGR), inf when it still does at 99%.
    fee_ratio, tax_ratio : float
        The run's own costs.
    """

    table: pd.DataFrame
    break_even_fee: float
    fee_ratio: float
    tax_ratio: float

    def __repr__(self) -> str:
        rows = "; ".join(f"{m:g}x: Sharpe {row.sharpe:.3g}, CAGR {row.cagr:.2%}" for m, row in self.table.iterrows())
        return f"CostSensitivity({rows}; break-even fee {self.break_even_fee:.4%})"


def cost_sensitivity(result, multiples=MULTIPLES) -> CostSensitivity:
    """The figures of ``result`` at ``multiples`` of its costs, re-running its backtest."""
    rerun = rerun_of(result, "cost_sensitivity")
    fee = float(result.settings.get("fee_ratio", 0.0))
    tax = float(result.settings.get("tax_ratio", 0.0))
    given = getattr(rerun, "options", {})
    costs = {name: given[name] for name in SCALED if isinstance(given.get(name), pd.Series) or given.get(name)}
    costs.setdefault("fee_ratio", fee)
    costs.setdefault("tax_ratio", tax)
    shown = [name for name in SCALED if name in costs and _scalar(costs[name]) is not None]
    rows = []
    for multiple in multiples:
        scaled = {name: value * multiple for name, value in costs.items()}
        if multiple == 1:
            stats = result.stats
        else:
            try:
                with warnings.catch_warnings():  # a multiple of a fee may be one the run would warn about
                    warnings.simplefilter("ignore")
                    stats = rerun(**scaled).stats
            except ValueError:  # a multiple the run refuses (a fee of 100% or more): no figures
                stats = {"sharpe": math.nan, "cagr": math.nan}
        rows.append([_scalar(scaled[name]) for name in shown] + [float(stats["sharpe"]), float(stats["cagr"])])
    table = pd.DataFrame(rows, columns=[*shown, "sharpe", "cagr"], index=pd.Index(list(multiples), name="multiple"))
    return CostSensitivity(table=table, break_even_fee=break_even_fee(rerun), fee_ratio=fee, tax_ratio=tax)


def _scalar(value) -> float | None:
    """A cost as one number for the table; None for a per-stock Series (scaled, not shown)."""
    return None if isinstance(value, pd.Series) else float(value)


def break_even_fee(rerun) -> float:
    """The ``fee_ratio`` at which the CAGR of ``rerun(fee_ratio=...)`` is 0 (see :class:`CostSensitivity`).

    The CAGR falls as the fee rises (each trade pays more), so the root is
    bracketed between 0 and the first of 0.01, 0.02, 0.04, ... (up to 0.99)
    at which the CAGR is negative, then found by Brent's method.
    """

    def cagr(fee: float) -> float:
        with warnings.catch_warnings():  # fees above 5% warn; here they are tried on purpose
            warnings.simplefilter("ignore")
            return _cagr(rerun(fee_ratio=fee).equity)

    at_zero = cagr(0.0)
    if not at_zero > 0:
        return math.nan
    low, high, f_low = 0.0, 0.01, at_zero
    f_high = cagr(high)
    while f_high > 0:
        if high >= FEE_CEILING:
            return math.inf
        low, f_low, high = high, f_high, min(2.0 * high, FEE_CEILING)
        f_high = cagr(high)
    return bracketed_root(cagr, low, high, f_low=f_low, f_high=f_high, xtol=FEE_TOLERANCE)


def _cagr(equity: pd.Series) -> float:
    """The CAGR as the statistics compute it; -1 for a curve that reaches 0 or below, NaN for a short one."""
    values = equity.to_numpy(dtype=np.float64)
    if len(values) < 2:
        return math.nan
    years = (equity.index[-1] - equity.index[0]) / pd.Timedelta(days=1) / 365.25
    if not years >= MIN_YEARS:
        return math.nan
    if not (values > 0).all():
        return -1.0  # everything lost: below any break-even
    return float((values[-1] / values[0]) ** (1.0 / years) - 1.0)


def rerun_of(result, who: str):
    rerun = getattr(result, "_rerun", None)
    if rerun is None:
        raise ValueError(
            f"{who} re-runs the backtest, and this result cannot: it was unpickled or built by hand "
            "(a result keeps its inputs only in the process that ran vantrel.backtest); run the backtest again"
        )
    return rerun
