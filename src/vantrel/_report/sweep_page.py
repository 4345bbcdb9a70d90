"""A sweep as one self-contained HTML page: the best variants, how far to trust the best, a heat map."""

from __future__ import annotations

from pathlib import Path

import pandas as pd

from .formatting import LABELS, format_stat, html_table, missing
from .images import png_data_uri
from .page import write_page
from .trust import OVERFITTING_MEANING, overfitting_lines

__all__ = ["write_sweep_report"]

_SHOWN = ("total_return", "cagr", "annual_volatility", "sharpe", "max_drawdown", "trades")


def write_sweep_report(result, path: Path, *, title: str, stat: str = "sharpe", best: int = 20) -> Path:
    """Render the sweep page of ``result`` to ``path`` (folders are created)."""
    from markupsafe import Markup

    table = result.table
    ran = table[table["error"].isna()]
    if stat in table.columns:
        ran = ran.sort_values(stat, ascending=False, kind="stable", na_position="last")
    top = ran.head(best)
    columns = [*result.parameters, *(c for c in _SHOWN if c in table.columns)]
    shown = pd.DataFrame(
        {
            "variant": [str(n) for n in top.index],
            **{
                LABELS.get(c, c): [
                    _count(v) if c == "trades" else format_stat(c, v) if c in LABELS else _plain(v) for v in top[c]
                ]
                for c in columns
            },
        }
    )
    try:
        lines, reason = overfitting_lines(result.overfitting()), None
    except ValueError as error:
        lines, reason = [], f"No overfitting statistics: {error}."
    heatmap = None
    if stat in table.columns and len(ran):
        try:
            heatmap = png_data_uri(result.heatmap(stat))
        except ValueError:  # fewer than two varied parameters: nothing to map
            heatmap = None
    errors = result.errors
    return write_page(
        "sweep.html",
        path,
        title=title,
        summary=f"{len(table)} variants, {len(table) - len(errors)} ran, {len(errors)} failed",
        stat_label=LABELS.get(stat, stat),
        best_count=len(top),
        best_table=Markup(html_table(shown)),
        overfitting_lines=lines,
        overfitting_reason=reason,
        overfitting_meaning=OVERFITTING_MEANING,
        heatmap=heatmap,
        errors_table=Markup(html_table(errors[["error"]].head(20).reset_index())) if len(errors) else None,
    )


def _plain(value) -> str:
    if missing(value):
        return ""
    return f"{value:g}" if isinstance(value, float) else str(value)


def _count(value) -> str:
    return format_stat("trades", value) if missing(value) else str(int(value))
