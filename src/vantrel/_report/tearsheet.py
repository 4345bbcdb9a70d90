"""A backtest as one self-contained HTML page (a tear sheet): settings and costs, statistics
beside the benchmark's, charts, calendar returns, drawdowns, exposure, exits and every trade.

Everything is inlined (charts as PNG data URIs, the trade list as a CSV data URI), so the
page opens without a network and can be mailed as one file.
"""

from __future__ import annotations

import base64
import re
from pathlib import Path

import numpy as np
import pandas as pd

from ..stats import with_dates
from . import analysis, charts
from .costs import COST_STATS, cost_section
from .formatting import (
    costs_text,
    date_text,
    display_frame,
    html_table,
    settings_table,
    stats_table,
)
from .images import png_data_uri
from .page import write_page
from .trust import trust_section

__all__ = ["write_report"]

# Trades beyond this many are in the CSV download only; a table of hundreds of
# thousands of rows would make the page too slow to open.
TRADE_ROWS_SHOWN = 5000

# Columns sampled k bars after entry (``return_5``): in the CSV, not in the table.
_SAMPLED = re.compile(
    r"^(adverse_excursion|favourable_excursion|favourable_before_adverse|drawdown|profitable_bars|return)_\d+$"
)


def write_report(result, path: Path, *, title: str, sectors: pd.Series | None = None) -> Path:
    """Render the tear sheet of ``result`` to ``path`` (folders are created)."""
    return write_page("report.html", path, **_context(result, title=title, sectors=sectors))


def _context(result, *, title: str, sectors) -> dict:
    from markupsafe import Markup

    equity, trades, stats = result.equity, result.trades, result.stats
    benchmark = charts.benchmark_of(result)
    benchmark_stats = getattr(result, "benchmark_stats", None)
    if not isinstance(benchmark_stats, pd.Series):
        benchmark_stats = None
    sectors = sectors if sectors is not None else getattr(result, "sectors", None)

    images: dict[str, str | None] = {
        kind: png_data_uri(charts.FIGURES[kind](result))
        for kind in ("drawdown", "yearly", "rolling", "distribution", "exposure", "excursions")
    }
    images["equity"] = png_data_uri(charts.equity_figure(result, scales="both"))
    images["sectors"] = png_data_uri(charts.sector_figure(result, sectors)) if sectors is not None else None

    trade_rows = trades.tail(TRADE_ROWS_SHOWN)
    by_round_trip = callable(getattr(result, "round_trips", None))
    counted = "round trips" if by_round_trip else "trade records"
    exits = analysis.exit_reasons(_round_trips(result))
    exit_count = int(exits["trades"].sum()) if exits is not None else 0
    episodes = analysis.drawdown_episodes(equity, 5)

    benchmark_dates = getattr(result, "benchmark_dates", None)
    if benchmark_stats is not None and benchmark_dates is not None:
        benchmark_stats = with_dates(benchmark_stats, benchmark_dates)
    stats = stats.drop(list(COST_STATS), errors="ignore")  # the cost section shows them
    stats_frame = stats_table(with_dates(stats, result.dates), benchmark_stats)
    stats_frame.columns = ["statistic", "strategy", "benchmark"][: stats_frame.shape[1]]
    sections = [
        ("settings", "Settings"),
        ("statistics", "Statistics"),
        ("trust", "Trust"),
        ("equity", "Equity"),
        ("drawdowns", "Drawdowns"),
        ("returns", "Monthly returns"),
        ("rolling", "Rolling risk"),
        ("distribution", "Distribution"),
        ("exposure", "Exposure"),
    ]
    if sectors is not None:
        sections.append(("sectors", "Sectors"))
    if exits is not None:
        sections.append(("exits", "Exit reasons"))
    sections += [("excursions", "Excursions"), ("portfolio", "Portfolio"), ("trades", "Trades")]
    costs = cost_section(result)
    if costs is not None:
        sections.insert(2, ("costs", "Costs"))
        costs["table"] = Markup(html_table(costs["table"]))
        costs["figure"] = png_data_uri(costs["figure"]) if costs["figure"] is not None else None

    def html(frame, **kwargs):
        return Markup(html_table(frame, **kwargs))

    return dict(
        title=title,
        cost_section=costs,
        period=(f"{date_text(equity.index[0])} to {date_text(equity.index[-1])}" if len(equity) else "no bars"),
        bars=len(equity),
        sections=sections,
        costs=costs_text(result.settings, stats),
        settings_table=html(settings_table(result.settings)),
        stats_table=html(stats_frame, css="stats"),
        trust=trust_section(result),
        has_benchmark=benchmark is not None,
        charts=images,
        drawdown_count=len(episodes),
        drawdown_table=html(_drawdown_display(episodes)),
        monthly_table=Markup(_monthly_html(equity)),
        benchmark_monthly_table=Markup(_monthly_html(benchmark)) if benchmark is not None else None,
        exit_table=html(_exit_display(exits, counted)) if exits is not None else None,
        exit_note=(
            "Grouped by round trip (a position from entry to exit, joining its trade records)."
            if by_round_trip
            else "One row per trade record."
        )
        + " A win is a positive return; open positions are marked to the last bar.",
        excursion_note=(
            f"One point per trade record ({len(trades)}; a holding re-sized at a rebalance starts a new one)"
            + (
                f"; the exit table counts the {exit_count} round trips, each joining a position's records."
                if by_round_trip and exits is not None
                else "."
            )
        ),
        portfolio_table=html(display_frame(result.portfolio.reset_index()), css="sortable"),
        trade_count=len(trades),
        trades_csv=Markup(_csv_data_uri(trades)),
        trades_note=(
            f"The table shows all {len(trades)} trades."
            if len(trade_rows) == len(trades)
            else f"The table shows the newest {len(trade_rows)} of {len(trades)} trades; the CSV has every one."
        ),
        trades_table=html(
            display_frame(
                trade_rows[
                    [c for c in trade_rows.columns if not _SAMPLED.match(c) and c not in ("entry_bar", "exit_bar")]
                ]
            ).rename(columns=lambda name: name.replace("_", " ")),  # headings that can wrap
            css="sortable wrap",
        ),
    )


def _round_trips(result) -> pd.DataFrame:
    """Round trips when the result can group its records into them, else the records."""
    method = getattr(result, "round_trips", None)
    if callable(method):
        return method()
    return result.trades


def _drawdown_display(episodes: pd.DataFrame) -> pd.DataFrame:
    return pd.DataFrame(
        {
            "peak": episodes["peak"].map(date_text),
            "trough": episodes["trough"].map(date_text),
            "recovery": [date_text(v) or "not yet" for v in episodes["recovery"]],
            "depth": [f"{v:.2%}" for v in episodes["depth"]],
            "length (bars)": episodes["bars"].astype(str),
            "length (days)": episodes["days"].astype(str),
        }
    )


def _exit_display(table: pd.DataFrame, counted: str) -> pd.DataFrame:
    out = pd.DataFrame(
        {
            "exit reason": table.index.astype(str).str.replace("_", " "),
            counted: table["trades"].astype(str).to_numpy(),
            "win rate": [f"{v:.1%}" for v in table["win_rate"]],
            "mean return": [f"{v:.2%}" for v in table["mean_return"]],
        }
    )
    if "mean_bars_held" in table:
        out["mean bars held"] = [f"{v:.1f}" for v in table["mean_bars_held"]]
    if "profit" in table:
        out["profit (of initial capital)"] = [f"{v:.2%}" for v in table["profit"]]
    return out


def _monthly_html(equity: pd.Series) -> str:
    """Years x months as a table coloured from red (loss) to green (gain), the year last."""
    table = analysis.monthly_table(equity)
    if not len(table):
        return '<p class="note">None.</p>'
    months = table.columns[:-1]
    finite = table[months].to_numpy(dtype=np.float64)
    finite = np.abs(finite[np.isfinite(finite)])
    limit = max(float(finite.max()) if finite.size else 0.0, 1e-9)
    styler = (
        table.style.format("{:.1%}", na_rep="")
        .background_gradient(cmap="RdYlGn", vmin=-limit, vmax=limit, subset=list(months))
        # Months outside the curve stay blank rather than the colour map's "bad" black.
        .map(lambda v: "background-color: transparent" if pd.isna(v) else "", subset=list(months))
        .set_table_attributes('class="heatmap"')
    )
    return styler.to_html()


def _csv_data_uri(trades: pd.DataFrame) -> str:
    text = trades.to_csv(index=False)
    return "data:text/csv;base64," + base64.b64encode(text.encode("utf-8")).decode("ascii")
