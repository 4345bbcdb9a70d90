"""Charts of a backtest result, on matplotlib Figures made without pyplot (no GUI backend needed)
that a notebook draws by itself (see figure.Chart).

A benchmark, when the result carries one, is drawn beside the strategy in grey.
"""

from __future__ import annotations

import math
import numbers

import matplotlib.dates as mdates
import numpy as np
import pandas as pd
from matplotlib.figure import Figure
from matplotlib.ticker import FixedLocator, FuncFormatter, MaxNLocator, NullFormatter, PercentFormatter

from . import analysis
from .figure import Chart

__all__ = [
    "FIGURES",
    "distribution_figure",
    "equity_figure",
    "excursion_figure",
    "exposure_figure",
    "rolling_figure",
    "sector_figure",
    "sparkline_figure",
    "underwater_figure",
    "yearly_figure",
]

_BLUE, _RED, _GREEN, _GREY, _ORANGE = "#1f5fa8", "#c0392b", "#2e8b57", "#888888", "#d98324"
_BENCH = "#555555"

# Mantissas of the log-axis ticks, coarsest first: the finest set that still leaves
# room between labels is used, so labels never overprint.
_LOG_MANTISSAS = (
    (1.0,),
    (1.0, 2.0, 5.0),
    (1.0, 1.5, 2.0, 3.0, 5.0, 7.0),
    (1.0, 1.2, 1.5, 2.0, 2.5, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0),
)


def log_ticks(low: float, high: float, most: int = 8) -> list[float]:
    """Round tick values for a log axis from ``low`` to ``high``: as many as fit in ``most``.

    With fewer than two such values in range (a span narrower than from one
    round value to the next), evenly spaced round values as on a linear axis.
    """
    if not (0 < low < high and math.isfinite(high)):
        return []
    decades = range(math.floor(math.log10(low)), math.floor(math.log10(high)) + 1)
    best: list[float] = []
    for mantissas in _LOG_MANTISSAS:
        ticks = [float(f"{m * 10.0**d:.6g}") for d in decades for m in mantissas]
        ticks = [t for t in ticks if low <= t <= high]
        if len(ticks) > most:
            break
        best = ticks
    if not best:  # more decades than room: every k-th power of ten
        step = math.ceil(len(decades) / most)
        best = [10.0**d for d in decades if d % step == 0 and low <= 10.0**d <= high]
    if len(best) < 2:
        linear = MaxNLocator(nbins=4, steps=[1, 2, 2.5, 5, 10]).tick_values(low, high)
        best = [float(f"{t:.12g}") for t in linear if low <= t <= high]
    return best


def _log_value_axis(ax, *series: pd.Series) -> None:
    """Log scale with plain-number labels at round values (no overprinted minor labels)."""
    values = np.concatenate([s.to_numpy(dtype=np.float64) for s in series if s is not None])
    values = values[np.isfinite(values)]
    if not len(values) or values.min() <= 0:
        return  # a curve at or below zero has no log scale; keep the linear one
    ax.set_yscale("log")
    low, high = values.min(), values.max()
    if high / low < 1.02:  # flat: widen so the axis still has room for labels
        low, high = low / 1.01, high * 1.01
    ax.yaxis.set_major_locator(FixedLocator(log_ticks(low, high)))
    ax.yaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:g}"))
    ax.yaxis.set_minor_formatter(NullFormatter())


def _date_axis(ax) -> None:
    locator = mdates.AutoDateLocator(minticks=4, maxticks=10)
    ax.xaxis.set_major_locator(locator)
    ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))


def benchmark_of(result) -> pd.Series | None:
    benchmark = getattr(result, "benchmark", None)
    return benchmark if isinstance(benchmark, pd.Series) and len(benchmark) else None


def _equity_panel(ax, result, *, log: bool) -> None:
    equity, benchmark = result.equity, benchmark_of(result)
    ax.plot(equity.index, equity.to_numpy(), color=_BLUE, linewidth=1.2, label="strategy")
    if benchmark is not None:
        ax.plot(
            benchmark.index,
            benchmark.to_numpy(),
            color=_BENCH,
            linewidth=1.0,
            alpha=0.8,
            label=_benchmark_label(result.settings.get("benchmark")),
        )
        ax.legend(loc="upper left")
    if log:
        _log_value_axis(ax, equity, benchmark)
    ax.axhline(1.0, color=_GREY, linewidth=0.8, linestyle="--")
    ax.set_ylabel("portfolio value")
    ax.grid(True, alpha=0.3)
    _date_axis(ax)


def _drawdown_panel(ax, result) -> None:
    dd = result.drawdown
    if len(dd):  # matplotlib cannot fill over an empty timezone-aware index
        ax.fill_between(dd.index, dd.to_numpy(), 0.0, color=_RED, alpha=0.35, linewidth=0)
    ax.plot(dd.index, dd.to_numpy(), color=_RED, linewidth=0.8, label="strategy")
    benchmark = benchmark_of(result)
    if benchmark is not None:
        bench_dd = benchmark / benchmark.cummax() - 1.0
        ax.plot(bench_dd.index, bench_dd.to_numpy(), color=_BENCH, linewidth=0.8, alpha=0.8, label="benchmark")
        ax.legend(loc="lower left")
    ax.yaxis.set_major_formatter(PercentFormatter(1.0))
    ax.set_ylabel("drawdown")
    ax.grid(True, alpha=0.3)
    _date_axis(ax)


def _benchmark_label(described) -> str:
    """The legend's name for the benchmark: what the run was given, e.g. "equal weight"."""
    if isinstance(described, str) and described and described != "benchmark":
        return f"benchmark ({described.replace('_', ' ')})"
    return "benchmark"


def equity_figure(result, *, scales: str = "log") -> Figure:
    """Equity (and the benchmark) above the drawdown from the running peak.

    ``scales``: ``"log"`` (equal heights for equal percentage moves),
    ``"linear"``, or ``"both"`` for a log and a linear panel.
    """
    if scales not in ("log", "linear", "both"):
        raise ValueError(f'scales must be "log", "linear" or "both", got {scales!r}')
    panels = ["log", "linear"] if scales == "both" else [scales]
    fig = Chart(figsize=(10, 3.2 * len(panels) + 2), layout="constrained")
    axes = fig.subplots(len(panels) + 1, 1, sharex=True, height_ratios=[3] * len(panels) + [1.3])
    for ax, scale in zip(axes, panels, strict=False):  # the last axes is the drawdown panel
        _equity_panel(ax, result, log=scale == "log")
        ax.set_title(f"Equity ({scale} scale)")
    _drawdown_panel(axes[-1], result)
    return fig


def underwater_figure(result) -> Figure:
    """The drawdown from the running peak over time (the benchmark's too, when given)."""
    fig = Chart(figsize=(10, 3), layout="constrained")
    ax = fig.subplots()
    _drawdown_panel(ax, result)
    ax.set_title("Underwater: fall below the running peak")
    return fig


def excursion_figure(result) -> Figure:
    """Each trade record's worst excursion against its final return, winners and losers coloured."""
    fig = Chart(figsize=(10, 5), layout="constrained")
    ax = fig.subplots()
    trades = result.trades
    adverse = trades["adverse_excursion"].to_numpy(dtype=np.float64)
    final = trades["return"].to_numpy(dtype=np.float64)
    favourable = trades["favourable_excursion"].to_numpy(dtype=np.float64)
    win = final > 0
    for mask, colour, label in ((win, _GREEN, "winning trade records"), (~win, _RED, "losing trade records")):
        ax.scatter(
            adverse[mask],
            final[mask],
            s=10 + 40 * np.clip(favourable[mask], 0, 1),
            color=colour,
            alpha=0.5,
            label=f"{label} ({int(mask.sum()):,})",
            linewidths=0,
        )
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


def yearly_figure(result) -> Figure:
    """Compounded return of each calendar year, beside the benchmark's."""
    yearly = analysis.period_returns(result.equity, "Y")
    benchmark = benchmark_of(result)
    fig = Chart(figsize=(10, 3.2), layout="constrained")
    ax = fig.subplots()
    positions = np.arange(len(yearly))
    width = 0.4 if benchmark is not None else 0.7
    colours = [_GREEN if v >= 0 else _RED for v in yearly.to_numpy()]
    ax.bar(
        positions - (width / 2 if benchmark is not None else 0),
        yearly.to_numpy(),
        width,
        color=colours,
        label="strategy",
    )
    if benchmark is not None:
        bench = analysis.period_returns(benchmark, "Y").reindex(yearly.index)
        ax.bar(positions + width / 2, bench.to_numpy(), width, color=_BENCH, alpha=0.6, label="benchmark")
        ax.legend(loc="best")
    ax.set_xticks(positions, [str(year) for year in yearly.index])
    _thin_labels(ax, list(yearly.index))
    ax.axhline(0.0, color=_GREY, linewidth=0.8)
    ax.yaxis.set_major_formatter(PercentFormatter(1.0))
    ax.set_title("Yearly returns")
    ax.grid(True, axis="y", alpha=0.3)
    return fig


def _thin_labels(ax, years: list, most: int = 16) -> None:
    """Label every year while that fits, else only the multiples of 2, 5, 10, ... years (a tick on each)."""
    step = next((s for s in (1, 2, 5, 10, 20, 50, 100) if len(years) / s <= most), 100)
    for label, year in zip(ax.get_xticklabels(), years, strict=True):
        label.set_visible(int(year) % step == 0)


def rolling_figure(result, months=(6, 12)) -> Figure:
    """Trailing annualised Sharpe ratio and volatility over windows of ``months``."""
    risk_free = _risk_free(result)
    rolling = analysis.rolling_risk(result.equity, months, risk_free=risk_free)
    fig = Chart(figsize=(10, 5), layout="constrained")
    top, bottom = fig.subplots(2, 1, sharex=True)
    for m, colour in zip(months, (_ORANGE, _BLUE, _GREEN), strict=False):
        top.plot(rolling.index, rolling[f"sharpe_{m}m"].to_numpy(), color=colour, linewidth=1.0, label=f"{m} months")
        bottom.plot(
            rolling.index, rolling[f"volatility_{m}m"].to_numpy(), color=colour, linewidth=1.0, label=f"{m} months"
        )
    top.axhline(0.0, color=_GREY, linewidth=0.8)
    excess = f", excess over {risk_free:.2%} a year" if risk_free else ""
    top.set_title(f"Rolling Sharpe ratio (annualised{excess})")
    bottom.set_title("Rolling volatility (annualised)")
    bottom.yaxis.set_major_formatter(PercentFormatter(1.0))
    for ax in (top, bottom):
        ax.grid(True, alpha=0.3)
        ax.legend(loc="upper left")
        _date_axis(ax)
    return fig


def distribution_figure(result, bins: int = 60) -> Figure:
    """Histogram of the bar returns, with their mean and the benchmark's distribution."""
    returns = result.returns.to_numpy(dtype=np.float64)
    returns = returns[np.isfinite(returns)]
    benchmark = benchmark_of(result)
    fig = Chart(figsize=(10, 3.5), layout="constrained")
    ax = fig.subplots()
    bench = np.empty(0)
    if benchmark is not None:
        bench = benchmark.pct_change().to_numpy()[1:]
        bench = bench[np.isfinite(bench)]
    if len(returns):
        edges = np.histogram_bin_edges(np.concatenate([returns, bench]), bins=bins).tolist()
        ax.hist(returns, bins=edges, color=_BLUE, alpha=0.7, label="strategy")
        if len(bench):
            ax.hist(bench, bins=edges, histtype="step", color=_BENCH, linewidth=1.2, label="benchmark")
        ax.axvline(
            float(returns.mean()), color=_ORANGE, linewidth=1.0, linestyle="--", label=f"mean {returns.mean():.3%}"
        )
        ax.legend(loc="upper left")
    ax.xaxis.set_major_formatter(PercentFormatter(1.0))
    ax.set_xlabel("return per bar")
    ax.set_ylabel("bars")
    ax.set_title("Distribution of bar returns")
    ax.grid(True, alpha=0.3)
    return fig


def exposure_figure(result) -> Figure:
    """Long and short weight held (entry weights) and the number of holdings over time."""
    table = analysis.exposure(result.trades, result.equity.index)
    fig = Chart(figsize=(10, 4.5), layout="constrained")
    top, bottom = fig.subplots(2, 1, sharex=True)
    if len(table):
        top.fill_between(
            table.index, table["long"].to_numpy(), 0.0, color=_GREEN, alpha=0.4, linewidth=0, label="long", step="post"
        )
    if (table["short"] > 0).any():
        top.fill_between(
            table.index, -table["short"].to_numpy(), 0.0, color=_RED, alpha=0.4, linewidth=0, label="short", step="post"
        )
        top.plot(
            table.index, table["net"].to_numpy(), color="black", linewidth=0.8, label="net", drawstyle="steps-post"
        )
    top.yaxis.set_major_formatter(PercentFormatter(1.0))
    top.set_title("Exposure: weight held, at entry weights")
    if len(table):
        top.legend(loc="upper left")
    bottom.plot(table.index, table["holdings"].to_numpy(), color=_BLUE, linewidth=1.0, drawstyle="steps-post")
    bottom.set_title("Number of holdings")
    bottom.set_ylim(bottom=0)
    for ax in (top, bottom):
        ax.grid(True, alpha=0.3)
        _date_axis(ax)
    return fig


def sector_figure(result, sectors: pd.Series | None = None) -> Figure:
    """Absolute weight held per sector over time, stacked (entry weights).

    ``sectors`` maps stock labels to sectors; by default the result's own
    ``sectors``. Raises ValueError when neither is known.
    """
    sectors = sectors if sectors is not None else getattr(result, "sectors", None)
    if sectors is None:
        raise ValueError("no sectors: pass sectors= or run on a Market with sectors")
    table = analysis.sector_weights(result.trades, result.equity.index, sectors)
    monthly = len(table) > 250  # daily stops make a bar-by-bar stack unreadable
    if monthly and table.shape[1]:
        months = table.groupby([table.index.year, table.index.month], sort=False)
        table = months.mean().set_axis(months.apply(lambda g: g.index[0]).to_numpy())
    fig = Chart(figsize=(10, 4), layout="constrained")
    ax = fig.subplots()
    if table.shape[1]:
        ax.stackplot(
            table.index,
            table.to_numpy().T,
            labels=list(table.columns),
            step="post",
            colors=[_cmap_colour(i, table.shape[1]) for i in range(table.shape[1])],
            alpha=0.85,
        )
        ax.legend(loc="center left", bbox_to_anchor=(1.0, 0.5), fontsize=8, frameon=False)
    ax.yaxis.set_major_formatter(PercentFormatter(1.0))
    ax.set_title("Sector weights: absolute weight held, at entry weights" + (", monthly mean" if monthly else ""))
    ax.grid(True, alpha=0.3)
    _date_axis(ax)
    return fig


def _cmap_colour(i: int, n: int):
    from matplotlib import colormaps

    cmap = colormaps["tab20" if n > 10 else "tab10"]
    return cmap(i % cmap.N)


def sparkline_figure(result, *, width: float = 4.0, height: float = 1.4) -> Figure:
    """A small equity chart (log scale when positive) for notebook display."""
    fig = Chart(figsize=(width, height), layout="constrained")
    ax = fig.subplots()
    equity, benchmark = result.equity, benchmark_of(result)
    if benchmark is not None:
        ax.plot(benchmark.index, benchmark.to_numpy(), color=_BENCH, linewidth=0.8, alpha=0.8)
    ax.plot(equity.index, equity.to_numpy(), color=_BLUE, linewidth=1.0)
    _log_value_axis(ax, equity, benchmark)
    ax.axhline(1.0, color=_GREY, linewidth=0.6, linestyle="--")
    ax.tick_params(labelsize=7)
    ax.grid(True, alpha=0.3)
    _date_axis(ax)
    return fig


def _risk_free(result) -> float | None:
    stats = result.stats
    value = stats.get("risk_free") if hasattr(stats, "get") else None
    if not isinstance(value, numbers.Real):
        return None
    return float(value) if math.isfinite(value) else None


# Kinds accepted by BacktestResult.plot, in the order the report shows them.
FIGURES = {
    "equity": equity_figure,
    "drawdown": underwater_figure,
    "yearly": yearly_figure,
    "rolling": rolling_figure,
    "distribution": distribution_figure,
    "exposure": exposure_figure,
    "sectors": sector_figure,
    "excursions": excursion_figure,
}
