"""What a run paid and earned, by kind and year: the tear sheet's cost section and its chart.

A result's ``costs`` is a table by date (one row per bar with any cost) of the
costs paid (fees, taxes, slippage, impact, borrow fees, margin interest) and
the income received (interest on cash, dividends), in units of the initial
capital; here they are summed by calendar year.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
from matplotlib.figure import Figure
from matplotlib.ticker import PercentFormatter

__all__ = ["COST_KINDS", "INCOME_KINDS", "cost_section", "costs_figure", "costs_paid_text", "yearly_costs"]

# Column of ``result.costs`` -> how the report names it.
COST_KINDS = {
    "fees": "fees",
    "taxes": "taxes",
    "slippage": "slippage",
    "impact": "market impact",
    "borrow": "borrow fees",
    "margin_interest": "margin interest",
}
INCOME_KINDS = {"cash_interest": "interest on cash", "dividends": "dividends"}

# The statistics that total each kind (see BacktestResult.stats).
_STAT_OF = {
    "fees": "costs_paid_fees",
    "taxes": "costs_paid_taxes",
    "slippage": "costs_paid_slippage",
    "impact": "costs_paid_impact",
    "borrow": "costs_paid_borrow",
    "margin_interest": "costs_paid_margin",
    "cash_interest": "income_cash_interest",
    "dividends": "income_dividends",
}
COST_STATS = tuple(_STAT_OF.values())

# Colours of the stacked bars: costs warm, income green.
_COLOURS = {
    "fees": "#c0392b",
    "taxes": "#8e44ad",
    "slippage": "#d98324",
    "impact": "#e6b422",
    "borrow": "#7f8c8d",
    "margin_interest": "#34495e",
    "cash_interest": "#2e8b57",
    "dividends": "#76b852",
}


def yearly_costs(costs: pd.DataFrame) -> pd.DataFrame:
    """Calendar years x kinds (every kind, costs then income), summed; a ``total`` row last."""
    kinds = [*COST_KINDS, *INCOME_KINDS]
    frame = costs.reindex(columns=kinds, fill_value=0.0).astype(np.float64)
    by_year = frame.groupby(frame.index.year).sum()
    by_year.index = by_year.index.astype(str)
    by_year.loc["total"] = frame.sum()
    by_year.index.name = "year"
    return by_year


def costs_figure(table: pd.DataFrame) -> Figure:
    """Costs stacked up and income stacked down, per year (a ``yearly_costs`` table without its total)."""
    years = table.drop(index="total", errors="ignore")
    figure = Figure(figsize=(9, 3.2), layout="constrained")
    ax = figure.subplots()
    x = np.arange(len(years))
    for kinds, sign in ((COST_KINDS, 1.0), (INCOME_KINDS, -1.0)):
        bottom = np.zeros(len(years))
        for kind, label in kinds.items():
            values = years[kind].to_numpy(dtype=np.float64) * 100.0 * sign
            if not np.any(values):
                continue
            ax.bar(x, values, bottom=bottom, color=_COLOURS[kind], label=label, width=0.7)
            bottom += values
    ax.axhline(0.0, color="#222222", linewidth=0.8)
    ax.set_xticks(x, years.index, rotation=0 if len(years) <= 12 else 90, fontsize=8)
    ax.set_ylabel("of the initial capital")
    ax.yaxis.set_major_formatter(PercentFormatter(100.0))
    ax.set_title("Costs paid (up) and income received (down), by year", fontsize=10)
    if ax.get_legend_handles_labels()[0]:
        ax.legend(fontsize=8, ncols=4, loc="best", frameon=False)
    ax.grid(axis="y", alpha=0.3)
    return figure


def _percent(value: float) -> str:
    return f"{value:.4%}" if 0 < abs(value) < 0.0001 else f"{value:.2%}"


def cost_section(result) -> dict | None:
    """The cost section's parts, or None for a result that does not record its costs.

    ``table`` (years x kinds as display text, with totals), ``figure`` (None
    when nothing was paid or earned), ``fills`` (a sentence counting the fills
    by reason, or None) and ``note``.
    """
    costs = getattr(result, "costs", None)
    if not isinstance(costs, pd.DataFrame):
        return None
    table = yearly_costs(costs)
    paid = table.loc[:, list(COST_KINDS)].sum(axis=1)
    earned = table.loc[:, list(INCOME_KINDS)].sum(axis=1)
    shown = pd.DataFrame(
        {
            "year": table.index,
            **{label: [_percent(v) for v in table[kind]] for kind, label in COST_KINDS.items()},
            "costs paid": [_percent(v) for v in paid],
            **{label: [_percent(v) for v in table[kind]] for kind, label in INCOME_KINDS.items()},
            "income": [_percent(v) for v in earned],
        }
    )
    anything = bool(np.any(table.drop(index="total").to_numpy() != 0.0)) if len(table) > 1 else False
    capital = result.settings.get("capital") if isinstance(getattr(result, "settings", None), dict) else None
    note = "In % of the initial capital"
    if isinstance(capital, (int, float)) and capital > 0:
        note += f" ({capital:,.0f}; the total costs paid come to {paid['total'] * capital:,.2f})"
    note += ". Slippage and impact are what the fills paid beyond the bar's price."
    return dict(
        table=shown,
        figure=costs_figure(table) if anything else None,
        fills=_fills_text(getattr(result, "fills", None)),
        note=note,
    )


def _fills_text(fills) -> str | None:
    if not isinstance(fills, pd.DataFrame):
        return None
    if not len(fills):
        return "No fills."
    text = f"{len(fills):,} fills"
    if "reason" in fills.columns:
        counts = fills["reason"].astype(str).value_counts(sort=True)
        text += ": " + ", ".join(f"{count:,} {reason.replace('_', ' ')}" for reason, count in counts.items())
    if "side" in fills.columns:
        sides = fills["side"].astype(str).value_counts()
        buys, sales = int(sides.get("buy", 0)), int(sides.get("sell", 0))
        text += f" ({buys:,} buy{'s' * (buys != 1)}, {sales:,} sale{'s' * (sales != 1)})"
    return text + "."


def costs_paid_text(stats: pd.Series) -> str | None:
    """One sentence of the costs paid and income received by kind, or None when there was none."""

    def parts(kinds: dict) -> list[str]:
        out = []
        for kind, label in kinds.items():
            value = stats.get(_STAT_OF[kind])
            if value is not None and np.isfinite(value) and value != 0:
                out.append(f"{label} {_percent(float(value))}")
        return out

    paid, earned = parts(COST_KINDS), parts(INCOME_KINDS)
    if not paid and not earned:
        return None
    text = []
    if paid:
        text.append("paid " + ", ".join(paid))
    if earned:
        text.append("earned " + ", ".join(earned))
    sentence = "; ".join(text) + " of the initial capital."
    return sentence[0].upper() + sentence[1:]
