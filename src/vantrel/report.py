"""A backtest as one self-contained HTML page (a tear sheet): settings and costs, statistics
beside the benchmark's, charts, calendar returns, drawdowns, exposure, exits and every trade.

Everything is inlined (charts as PNG data URIs, the trade list as a CSV data URI), so the
page opens without a network and can be mailed as one file.
"""

from __future__ import annotations

import base64
import io
import math
import re
from pathlib import Path

import numpy as np
import pandas as pd

from ._report import analysis

__all__ = ["write_report", "stats_table", "format_stat", "figure_png", "settings_table", "costs_text"]

# Trades beyond this many are in the CSV download only; a table of hundreds of
# thousands of rows would make the page too slow to open.
TRADE_ROWS_SHOWN = 5000

_PERCENT = {
    "total_return", "cagr", "annual_volatility", "max_drawdown", "win_rate", "exposure",
    "alpha", "tracking_error", "risk_free",
}
_COSTS = {"fee_ratio", "tax_ratio"}
_LABELS = {
    "start": "Start", "end": "End", "total_return": "Total return", "cagr": "CAGR",
    "annual_volatility": "Annual volatility", "sharpe": "Sharpe ratio", "sortino": "Sortino ratio",
    "max_drawdown": "Max drawdown", "max_drawdown_peak": "Max drawdown peak",
    "max_drawdown_trough": "Max drawdown trough", "max_drawdown_recovery": "Recovered on",
    "calmar": "Calmar ratio", "trades": "Trades", "round_trips": "Round trips", "win_rate": "Win rate",
    "profit_factor": "Profit factor", "avg_bars_held": "Average bars held",
    "exposure": "Exposure", "turnover": "Turnover (per year)",
    "alpha": "Alpha (annual)", "beta": "Beta", "information_ratio": "Information ratio",
    "tracking_error": "Tracking error", "up_capture": "Up capture", "down_capture": "Down capture",
    "risk_free": "Risk-free rate", "fee_ratio": "Fee per trade", "tax_ratio": "Tax per sale",
}
_SETTING_LABELS = {
    "fee_ratio": "fee per trade", "tax_ratio": "tax per sale",
}

# Trade columns shown as percentages in the table (the CSV keeps the raw numbers).
_PERCENT_COLUMNS = {
    "return", "excursion_return", "adverse_excursion", "favourable_excursion",
    "favourable_before_adverse", "drawdown", "profit",
}
# Columns sampled k bars after entry (``return_5``): in the CSV, not in the table.
_SAMPLED = re.compile(
    r"^(adverse_excursion|favourable_excursion|favourable_before_adverse|drawdown|profitable_bars|return)_\d+$")


def _missing(value) -> bool:
    if value is None or value is pd.NaT:
        return True
    try:
        return bool(pd.isna(value))
    except (TypeError, ValueError):
        return False


def _percent_of(value: float) -> str:
    """A cost rate with every digit it was given (0.1425%, 0.3%, 0%)."""
    return f"{value * 100:.6g}%"


def format_stat(key: str, value) -> str:
    """One statistic as display text ("–" when missing)."""
    if _missing(value):
        return "–"
    if isinstance(value, pd.Timestamp):
        return str(value.date()) if value == value.normalize() else str(value)
    if isinstance(value, (bool, np.bool_)):
        return str(bool(value))
    if isinstance(value, (int, np.integer)) and key not in _PERCENT | _COSTS:
        return str(int(value))
    if isinstance(value, (float, np.floating, int, np.integer)):
        value = float(value)
        if math.isinf(value):
            return "∞" if value > 0 else "-∞"
        if key in _COSTS:
            return _percent_of(value)
        if key in _PERCENT:
            return f"{value:.2%}"
        return f"{value:.2f}"
    return str(value)


def stats_table(stats: pd.Series, benchmark: pd.Series | None = None) -> pd.DataFrame:
    """The statistics as display text, one row per statistic.

    Columns ``statistic`` and ``value``, and ``benchmark`` when the
    benchmark's statistics are given (missing ones show as "–").
    """
    table = pd.DataFrame(
        {"statistic": [_LABELS.get(k, k) for k in stats.index],
         "value": [format_stat(k, v) for k, v in stats.items()]}
    )
    if benchmark is not None:
        table["benchmark"] = [format_stat(k, benchmark.get(k)) for k in stats.index]
    return table


def costs_text(settings: dict, stats: pd.Series | None = None) -> str:
    """One sentence naming the trading costs the run charged."""
    def rate(key):
        value = settings.get(key)
        if _missing(value) and stats is not None:
            value = stats.get(key)
        return None if _missing(value) else float(value)

    fee, tax = rate("fee_ratio"), rate("tax_ratio")
    if fee is None and tax is None:
        return "Costs: not recorded with this result."
    if not fee and not tax:
        return "Costs: none (no fee, no tax)."
    parts = []
    if fee is not None:
        parts.append(f"fee {_percent_of(fee)} of the value of every trade")
    if tax is not None:
        parts.append(f"tax {_percent_of(tax)} of the value of every sale")
    return "Costs: " + ", ".join(parts) + "."


def settings_table(settings: dict) -> pd.DataFrame:
    """The run's options as display text, the costs first."""
    keys = [k for k in ("fee_ratio", "tax_ratio") if k in settings]
    keys += [k for k in settings if k not in keys]
    rows = []
    for key in keys:
        value = settings[key]
        if key in _COSTS and not _missing(value) and isinstance(value, (int, float)):
            text = _percent_of(float(value))
        elif isinstance(value, pd.Series):
            text = f"Series ({len(value)} values)"
        else:
            text = str(value)
        rows.append((_SETTING_LABELS.get(key, key), text))
    return pd.DataFrame(rows, columns=["setting", "value"])


def figure_png(fig, *, dpi: int = 100) -> bytes:
    """A matplotlib Figure as PNG bytes."""
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=dpi)
    return buffer.getvalue()


def png_data_uri(fig, *, dpi: int = 100) -> str:
    return "data:image/png;base64," + base64.b64encode(figure_png(fig, dpi=dpi)).decode("ascii")


def write_report(result, path: Path, *, title: str, sectors: pd.Series | None = None) -> Path:
    """Render the tear sheet of ``result`` to ``path`` (folders are created)."""
    from jinja2 import Environment, PackageLoader, select_autoescape

    from . import __version__

    environment = Environment(loader=PackageLoader("vantrel._report", "templates"),
                              autoescape=select_autoescape(default=True))
    context = _context(result, title=title, sectors=sectors)
    page = environment.get_template("report.html").render(version=__version__, **context)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(page, encoding="utf-8")
    return path


def _context(result, *, title: str, sectors) -> dict:
    from markupsafe import Markup

    from . import plotting

    equity, trades, stats = result.equity, result.trades, result.stats
    benchmark = plotting._benchmark(result)
    benchmark_stats = getattr(result, "benchmark_stats", None)
    if not isinstance(benchmark_stats, pd.Series):
        benchmark_stats = None
    sectors = sectors if sectors is not None else getattr(result, "sectors", None)

    charts = {kind: png_data_uri(plotting.FIGURES[kind](result))
              for kind in ("drawdown", "yearly", "rolling", "distribution", "exposure", "excursions")}
    charts["equity"] = png_data_uri(plotting.equity_figure(result, scales="both"))
    charts["sectors"] = png_data_uri(plotting.sector_figure(result, sectors)) if sectors is not None else None

    trade_rows = trades.tail(TRADE_ROWS_SHOWN)
    exits = analysis.exit_reasons(_round_trips(result))
    episodes = analysis.drawdown_episodes(equity, 5)

    stats_frame = stats_table(stats, benchmark_stats)
    stats_frame.columns = ["statistic", "strategy", "benchmark"][: stats_frame.shape[1]]
    sections = [("settings", "Settings"), ("statistics", "Statistics"), ("equity", "Equity"),
                ("drawdowns", "Drawdowns"), ("returns", "Monthly returns"), ("rolling", "Rolling risk"),
                ("distribution", "Distribution"), ("exposure", "Exposure")]
    if sectors is not None:
        sections.append(("sectors", "Sectors"))
    if exits is not None:
        sections.append(("exits", "Exit reasons"))
    sections += [("excursions", "Excursions"), ("portfolio", "Portfolio"), ("trades", "Trades")]

    def html(frame, **kwargs):
        return Markup(_html_table(frame, **kwargs))

    return dict(
        title=title,
        period=(f"{_date_text(equity.index[0])} to {_date_text(equity.index[-1])}" if len(equity) else "no bars"),
        bars=len(equity),
        sections=sections,
        costs=costs_text(result.settings, stats),
        settings_table=html(settings_table(result.settings)),
        stats_table=html(stats_frame, css="stats"),
        has_benchmark=benchmark is not None,
        charts=charts,
        drawdown_count=len(episodes),
        drawdown_table=html(_drawdown_display(episodes)),
        monthly_table=Markup(_monthly_html(equity)),
        benchmark_monthly_table=Markup(_monthly_html(benchmark)) if benchmark is not None else None,
        exit_table=html(_exit_display(exits)) if exits is not None else None,
        exit_note=("Grouped by round trip (a position from entry to exit)."
                   if callable(getattr(result, "round_trips", None)) else "One row per trade record.")
        + " A win is a positive return; open positions are marked to the last bar.",
        portfolio_table=html(_display(result.portfolio.reset_index()), css="sortable"),
        trade_count=len(trades),
        trades_csv=Markup(_csv_data_uri(trades)),
        trades_note=(f"The table shows all {len(trades)} trades." if len(trade_rows) == len(trades)
                     else f"The table shows the newest {len(trade_rows)} of {len(trades)} trades; "
                          "the CSV has every one."),
        trades_table=html(_display(trade_rows[[c for c in trade_rows.columns if not _SAMPLED.match(c)
                                               and c not in ("entry_bar", "exit_bar")]]), css="sortable"),
    )


def _round_trips(result) -> pd.DataFrame:
    """Round trips when the result can group its records into them, else the records."""
    method = getattr(result, "round_trips", None)
    if callable(method):
        return method()
    return result.trades


def _date_text(value) -> str:
    if _missing(value):
        return ""
    value = pd.Timestamp(value)
    return str(value.date()) if value == value.normalize() else value.isoformat(sep=" ")


def _display(frame: pd.DataFrame) -> pd.DataFrame:
    """Trade-like columns as text: dates without a midnight time, percentages, short floats."""
    out = {}
    for name, column in frame.items():
        if pd.api.types.is_datetime64_any_dtype(column):
            out[name] = column.map(_date_text)
        elif pd.api.types.is_bool_dtype(column):
            out[name] = column.astype(str)
        elif pd.api.types.is_float_dtype(column):
            pattern = "{:.2%}" if name in _PERCENT_COLUMNS else "{:.4g}" if name in ("fees", "taxes") else "{:.4f}"
            out[name] = [("" if not np.isfinite(v) else pattern.format(v)) if v is not None else ""
                         for v in column.to_numpy(dtype=np.float64, na_value=np.nan)]
        else:
            out[name] = column.astype(object).where(column.notna(), "").astype(str)
    return pd.DataFrame(out, index=frame.index, columns=frame.columns)


def _html_table(frame: pd.DataFrame, *, css: str = "") -> str:
    if not len(frame):
        return '<p class="note">None.</p>'
    return frame.to_html(index=False, escape=True, border=0, na_rep="", classes=css or None)


def _drawdown_display(episodes: pd.DataFrame) -> pd.DataFrame:
    return pd.DataFrame({
        "peak": episodes["peak"].map(_date_text),
        "trough": episodes["trough"].map(_date_text),
        "recovery": [_date_text(v) or "not yet" for v in episodes["recovery"]],
        "depth": [f"{v:.2%}" for v in episodes["depth"]],
        "length (bars)": episodes["bars"].astype(str),
        "length (days)": episodes["days"].astype(str),
    })


def _exit_display(table: pd.DataFrame) -> pd.DataFrame:
    out = pd.DataFrame({"exit reason": table.index.astype(str).str.replace("_", " "),
                        "trades": table["trades"].astype(str).to_numpy(),
                        "win rate": [f"{v:.1%}" for v in table["win_rate"]],
                        "mean return": [f"{v:.2%}" for v in table["mean_return"]]})
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
    styler = (table.style
              .format("{:.1%}", na_rep="")
              .background_gradient(cmap="RdYlGn", vmin=-limit, vmax=limit, subset=list(months))
              # Months outside the curve stay blank rather than the colour map's "bad" black.
              .map(lambda v: "background-color: transparent" if pd.isna(v) else "", subset=list(months))
              .set_table_attributes('class="heatmap"'))
    return styler.to_html()


def _csv_data_uri(trades: pd.DataFrame) -> str:
    text = trades.to_csv(index=False)
    return "data:text/csv;base64," + base64.b64encode(text.encode("utf-8")).decode("ascii")


# Statistics in the notebook display of a result, when the result has them.
_KEY_STATS = ("total_return", "cagr", "annual_volatility", "sharpe", "sortino", "max_drawdown", "calmar",
              "alpha", "beta", "information_ratio", "trades", "win_rate", "fee_ratio", "tax_ratio")
# Columns of the best-rows table of a sweep's notebook display.
_SWEEP_STATS = ("total_return", "cagr", "sharpe", "max_drawdown", "trades")


def _xhtml_table(header: list[str], rows: list[list[str]]) -> str:
    """A small table as well-formed XHTML (every cell escaped)."""
    from html import escape

    head = "".join(f"<th>{escape(h)}</th>" for h in header)
    body = "".join("<tr>" + "".join(f"<td>{escape(c)}</td>" for c in row) + "</tr>" for row in rows)
    return f'<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>'


def result_html(result) -> str:
    """The notebook display of a BacktestResult: key statistics beside a small equity chart."""
    from html import escape

    from . import plotting

    if not len(result.equity):
        return "<div><p>BacktestResult: no bars</p></div>"
    stats = result.stats
    benchmark = getattr(result, "benchmark_stats", None)
    benchmark = benchmark if isinstance(benchmark, pd.Series) else None
    header = ["", "strategy"] + (["benchmark"] if benchmark is not None else [])
    rows = []
    for key in _KEY_STATS:
        if key in stats.index:
            row = [_LABELS.get(key, key), format_stat(key, stats[key])]
            if benchmark is not None:
                row.append(format_stat(key, benchmark.get(key)))
            rows.append(row)
    chart = png_data_uri(plotting.sparkline_figure(result), dpi=80)
    span = f"{_date_text(result.equity.index[0])} to {_date_text(result.equity.index[-1])}"
    return (
        '<div style="display:flex;gap:1.5em;align-items:flex-start;flex-wrap:wrap">'
        f"<div><strong>BacktestResult</strong> {escape(span)}, {len(result.equity)} bars"
        f"<br/>{escape(costs_text(result.settings, stats))}{_xhtml_table(header, rows)}</div>"
        f'<img alt="equity chart" src="{chart}"/></div>'
    )


def sweep_html(result, *, best: int = 5) -> str:
    """The notebook display of a SweepResult: the best rows by Sharpe ratio and a heat map
    of the Sharpe ratio over the first two parameters that vary."""
    from html import escape

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
    parts = [f"<div><strong>SweepResult</strong> {escape(heading)}",
             _xhtml_table(["variant", *columns], rows) if rows else "", "</div>"]
    if stat:
        try:
            figure = result.heatmap(stat)
        except ValueError:  # fewer than two varied parameters: nothing to map
            figure = None
        if figure is not None:
            parts.append(f'<img alt="heat map of {stat}" src="{png_data_uri(figure, dpi=72)}"/>')
    return '<div style="display:flex;gap:1.5em;align-items:flex-start;flex-wrap:wrap">' + "".join(parts) + "</div>"


def _cell(name: str, value) -> str:
    if name in _LABELS:
        return format_stat(name, value)
    if _missing(value):
        return ""
    if isinstance(value, float):
        return f"{value:g}"
    return str(value)
