"""The notebook displays of results: small XHTML fragments with a chart inlined."""

from __future__ import annotations

from html import escape

import pandas as pd

from .charts import sparkline_figure
from .costs import costs_paid_text
from .formatting import LABELS, costs_text, date_text, format_stat, missing
from .images import png_data_uri
from .trust import OVERFITTING_MEANING, overfitting_lines

__all__ = ["result_html", "sweep_html"]

# Statistics in the notebook display of a result, when the result has them.
_KEY_STATS = (
    "total_return",
    "cagr",
    "annual_volatility",
    "sharpe",
    "sortino",
    "max_drawdown",
    "calmar",
    "alpha",
    "beta",
    "information_ratio",
    "trades",
    "win_rate",
    "fee_ratio",
    "tax_ratio",
)

# Columns of the best-rows table of a sweep's notebook display.
_SWEEP_STATS = ("total_return", "cagr", "sharpe", "max_drawdown", "trades")


def _xhtml_table(header: list[str], rows: list[list[str]]) -> str:
    """A small table as well-formed XHTML (every cell escaped)."""
    head = "".join(f"<th>{escape(h)}</th>" for h in header)
    body = "".join("<tr>" + "".join(f"<td>{escape(c)}</td>" for c in row) + "</tr>" for row in rows)
    return f"<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


def result_html(result) -> str:
    """The notebook display of a BacktestResult: key statistics beside a small equity chart."""
    if not len(result.equity):
        return "<div><p>BacktestResult: no bars</p></div>"
    stats = result.stats
    benchmark = getattr(result, "benchmark_stats", None)
    benchmark = benchmark if isinstance(benchmark, pd.Series) else None
    header = ["", "strategy"] + (["benchmark"] if benchmark is not None else [])
    rows = []
    for key in _KEY_STATS:
        if key in stats.index:
            row = [LABELS.get(key, key), format_stat(key, stats[key])]
            if benchmark is not None:
                row.append(format_stat(key, benchmark.get(key)))
            rows.append(row)
    paid = costs_paid_text(stats)
    paid = f"<br/>{escape(paid)}" if paid else ""
    chart = png_data_uri(sparkline_figure(result), dpi=80)
    span = f"{date_text(result.equity.index[0])} to {date_text(result.equity.index[-1])}"
    return (
        '<div style="display:flex;gap:1.5em;align-items:flex-start;flex-wrap:wrap">'
        f"<div><strong>BacktestResult</strong> {escape(span)}, {len(result.equity)} bars"
        f"<br/>{escape(costs_text(result.settings, stats))}{paid}{_xhtml_table(header, rows)}</div>"
        f'<img alt="equity chart" src="{chart}"/></div>'
    )


def sweep_html(result, *, best: int = 5) -> str:
    """The notebook display of a SweepResult: the best rows by Sharpe ratio, the overfitting
    statistics of its trials and a heat map of the Sharpe ratio over the first two parameters
    that vary."""
    table = result.table
    failed = int(table["error"].notna().sum())
    ran = table[table["error"].isna()]
    stat = "sharpe" if "sharpe" in table.columns else None
    top = ran.sort_values(stat, ascending=False, kind="stable", na_position="last") if stat else ran
    top = top.head(best)
    columns = list(result.parameters) + [c for c in _SWEEP_STATS if c in table.columns]
    rows = [[str(number)] + [_cell(name, row[name]) for name in columns] for number, row in top.iterrows()]
    heading = f"{len(table)} variants, {failed} failed"
    if stat and len(top):
        heading += f"; the best {len(top)} by Sharpe ratio"
    parts = [
        f"<div><strong>SweepResult</strong> {escape(heading)}",
        _xhtml_table(["variant", *columns], rows) if rows else "",
        _overfitting_html(result),
        "</div>",
    ]
    if stat:
        try:
            figure = result.heatmap(stat)
        except ValueError:  # fewer than two varied parameters: nothing to map
            figure = None
        if figure is not None:
            parts.append(f'<img alt="heat map of {stat}" src="{png_data_uri(figure, dpi=72)}"/>')
    return '<div style="display:flex;gap:1.5em;align-items:flex-start;flex-wrap:wrap">' + "".join(parts) + "</div>"


def _overfitting_html(result) -> str:
    """The overfitting statistics beside the best rows, or why there are none."""
    if getattr(result, "returns", None) is None:
        return "<p>No overfitting statistics: the sweep kept no returns (keep_returns=False).</p>"
    try:
        lines = overfitting_lines(result.overfitting())
    except ValueError as error:
        return f"<p>No overfitting statistics: {escape(str(error))}.</p>"
    return f"<p>{'<br/>'.join(escape(line) for line in lines)}</p><p><em>{escape(OVERFITTING_MEANING)}</em></p>"


def _cell(name: str, value) -> str:
    if name in LABELS:
        return format_stat(name, value)
    if missing(value):
        return ""
    if isinstance(value, float):
        return f"{value:g}"
    return str(value)
