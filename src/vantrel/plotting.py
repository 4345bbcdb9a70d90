"""Charts of a backtest result, drawn on bare matplotlib Figures (no GUI backend needed)."""

from __future__ import annotations

import numpy as np
from matplotlib.figure import Figure
from matplotlib.ticker import FuncFormatter, PercentFormatter

_BLUE, _RED, _GREEN, _GREY = "#1f5fa8", "#c0392b", "#2e8b57", "#888888"


def equity_figure(result) -> Figure:
    """Equity curve on a log scale above the drawdown from the running peak."""
    fig = Figure(figsize=(10, 6), layout="constrained")
    top, bottom = fig.subplots(2, 1, sharex=True, height_ratios=[3, 1])
    equity = result.equity
    top.plot(equity.index, equity.to_numpy(), color=_BLUE, linewidth=1.2)
    if len(equity) and (equity > 0).all():
        top.set_yscale("log")  # equal heights for equal percentage moves
        plain = FuncFormatter(lambda value, _: f"{value:g}")
        top.yaxis.set_major_formatter(plain)
        top.yaxis.set_minor_formatter(plain)
    top.axhline(1.0, color=_GREY, linewidth=0.8, linestyle="--")
    top.set_ylabel("portfolio value")
    top.set_title("Equity")
    top.grid(True, alpha=0.3, which="both")
    dd = result.drawdown
    bottom.fill_between(dd.index, dd.to_numpy(), 0.0, color=_RED, alpha=0.35, linewidth=0)
    bottom.plot(dd.index, dd.to_numpy(), color=_RED, linewidth=0.8)
    bottom.yaxis.set_major_formatter(PercentFormatter(1.0))
    bottom.set_ylabel("drawdown")
    bottom.grid(True, alpha=0.3)
    return fig


def excursion_figure(result) -> Figure:
    """Each trade's worst excursion against its final return, winners and losers coloured."""
    fig = Figure(figsize=(10, 5), layout="constrained")
    ax = fig.subplots()
    trades = result.trades
    adverse = trades["adverse_excursion"].to_numpy(dtype=np.float64)
    final = trades["return"].to_numpy(dtype=np.float64)
    favourable = trades["favourable_excursion"].to_numpy(dtype=np.float64)
    win = final > 0
    for mask, colour, label in ((win, _GREEN, "winning trades"), (~win, _RED, "losing trades")):
        ax.scatter(adverse[mask], final[mask], s=10 + 40 * np.clip(favourable[mask], 0, 1),
                   color=colour, alpha=0.5, label=f"{label} ({int(mask.sum())})", linewidths=0)
    ax.axhline(0.0, color=_GREY, linewidth=0.8)
    ax.xaxis.set_major_formatter(PercentFormatter(1.0))
    ax.yaxis.set_major_formatter(PercentFormatter(1.0))
    ax.set_xlabel("adverse excursion (worst return while held)")
    ax.set_ylabel("trade return")
    ax.set_title("Trade excursions (marker size: favourable excursion)")
    ax.grid(True, alpha=0.3)
    if len(trades):
        ax.legend(loc="upper left")
    return fig
