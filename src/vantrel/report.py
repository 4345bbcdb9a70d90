"""A backtest as one self-contained HTML page: statistics, embedded charts, tables."""

from __future__ import annotations

import base64
import html
import io
import math
from pathlib import Path

import pandas as pd

TRADE_ROWS_SHOWN = 500  # the newest trades; the full list is in result.trades

_PERCENT = {"total_return", "cagr", "annual_volatility", "max_drawdown", "win_rate", "exposure"}
_LABELS = {
    "start": "Start", "end": "End", "total_return": "Total return", "cagr": "CAGR",
    "annual_volatility": "Annual volatility", "sharpe": "Sharpe ratio", "sortino": "Sortino ratio",
    "max_drawdown": "Max drawdown", "max_drawdown_peak": "Max drawdown peak",
    "max_drawdown_trough": "Max drawdown trough", "max_drawdown_recovery": "Recovered on",
    "calmar": "Calmar ratio", "trades": "Trades", "win_rate": "Win rate",
    "profit_factor": "Profit factor", "avg_bars_held": "Average bars held",
    "exposure": "Exposure", "turnover": "Turnover (per year)",
}

_STYLE = """
body { font-family: system-ui, sans-serif; margin: 2em auto; max-width: 1100px; color: #222; }
h1 { font-size: 1.6em; } h2 { font-size: 1.2em; margin-top: 2em; }
table { border-collapse: collapse; font-size: 0.85em; }
th, td { padding: 3px 10px; border-bottom: 1px solid #ddd; text-align: right; }
th { background: #f3f3f3; } td.name, th.name { text-align: left; }
.stats td:first-child { text-align: left; font-weight: 600; }
.scroll { max-height: 500px; overflow: auto; } img { max-width: 100%; }
.note { color: #666; font-size: 0.85em; }
"""


def format_stat(key: str, value) -> str:
    if value is None or value is pd.NaT or (isinstance(value, float) and math.isnan(value)):
        return "–"
    if isinstance(value, pd.Timestamp):
        return str(value.date()) if value == value.normalize() else str(value)
    if key in _PERCENT:
        return f"{value:.2%}"
    if isinstance(value, float):
        return "∞" if math.isinf(value) else f"{value:.2f}"
    return str(value)


def stats_table(stats: pd.Series) -> pd.DataFrame:
    """The statistics as display text, one row per statistic."""
    return pd.DataFrame(
        {"statistic": [_LABELS.get(k, k) for k in stats.index],
         "value": [format_stat(k, v) for k, v in stats.items()]}
    )


def figure_png(fig) -> bytes:
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=110)
    return buffer.getvalue()


def write_report(result, path: Path, *, title: str) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    charts = "".join(
        f'<img alt="{html.escape(kind)} chart" src="data:image/png;base64,'
        f'{base64.b64encode(figure_png(result.plot(kind))).decode("ascii")}">'
        for kind in ("equity", "excursions")
    )
    stats_rows = "".join(
        f"<tr><td>{html.escape(row.statistic)}</td><td>{html.escape(row.value)}</td></tr>"
        for row in stats_table(result.stats).itertuples()
    )
    trades = result.trades
    shown = trades.tail(TRADE_ROWS_SHOWN)
    note = (f'<p class="note">The newest {len(shown)} of {len(trades)} trades.</p>'
            if len(shown) < len(trades) else "")
    settings = ", ".join(f"{k}={v}" for k, v in result.settings.items())
    page = f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{html.escape(title)}</title>
<style>{_STYLE}</style></head><body>
<h1>{html.escape(title)}</h1>
<p class="note">{html.escape(settings)}</p>
<h2>Statistics</h2><table class="stats">{stats_rows}</table>
<h2>Charts</h2>{charts}
<h2>Final portfolio</h2>{_table(result.portfolio, index=True)}
<h2>Trades</h2>{note}<div class="scroll">{_table(shown, index=False)}</div>
</body></html>
"""
    path.write_text(page, encoding="utf-8")
    return path


def _table(frame: pd.DataFrame, *, index: bool) -> str:
    if not len(frame):
        return '<p class="note">None.</p>'
    return frame.to_html(index=index, escape=True, border=0, na_rep="", float_format=lambda v: f"{v:.4f}")
