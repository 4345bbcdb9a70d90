"""A walk-forward analysis as a notebook display and as one self-contained HTML page."""

from __future__ import annotations

from html import escape
from pathlib import Path

import numpy as np
import pandas as pd

from ..stats import with_dates
from . import charts
from .figure import Chart
from .formatting import LABELS, date_text, format_stat, html_table, stats_table
from .images import png_data_uri
from .page import write_page

__all__ = ["decay_figure", "walk_forward_html", "write_walk_forward_report"]

_SELECT_LABELS = {
    "sharpe": "Sharpe ratio",
    "sortino": "Sortino ratio",
    "cagr": "CAGR",
    "total_return": "total return",
    "calmar": "Calmar ratio",
    "max_drawdown": "max drawdown",
}
_DECAY_SENTENCE = (
    "Each fold chooses the variant with the best {label} on its training rows; the out-of-sample figure is the "
    "same statistic of that variant on the test rows that follow. Out-of-sample figures well below the in-sample "
    "ones mean the choice was fitted to noise."
)
_KEY_STATS = ("total_return", "cagr", "annual_volatility", "sharpe", "max_drawdown")


def decay_figure(result) -> Chart:
    """In-sample against out-of-sample statistic: per fold, and one against the other."""
    folds = result.folds
    ins = folds["in_sample"].to_numpy(dtype=np.float64)
    outs = folds["out_of_sample"].to_numpy(dtype=np.float64)
    label = _SELECT_LABELS.get(result.settings.get("select"), "statistic")
    fig = Chart(figsize=(10, 3.6), layout="constrained")
    left, right = fig.subplots(1, 2, width_ratios=[2, 1])
    positions = np.arange(len(folds))
    left.bar(positions - 0.2, ins, 0.4, color="#1f5fa8", label="in sample (training rows)")
    left.bar(positions + 0.2, outs, 0.4, color="#d98324", label="out of sample (test rows)")
    left.axhline(0.0, color="#888888", linewidth=0.8)
    left.set_xlabel("fold")
    left.set_title(f"{label[:1].upper()}{label[1:]} of the chosen variant")
    left.legend(loc="best", fontsize=8)
    left.grid(True, axis="y", alpha=0.3)
    right.scatter(ins, outs, color="#1f5fa8", s=18)
    finite = np.concatenate([ins[np.isfinite(ins)], outs[np.isfinite(outs)]])
    if len(finite):
        low, high = float(finite.min()), float(finite.max())
        right.plot([low, high], [low, high], color="#888888", linewidth=0.8, linestyle="--", label="no decay")
        right.legend(loc="best", fontsize=8)
    right.axhline(0.0, color="#888888", linewidth=0.6)
    right.set_xlabel("in sample")
    right.set_ylabel("out of sample")
    right.set_title("Decay")
    right.grid(True, alpha=0.3)
    return fig


def _fold_display(result) -> pd.DataFrame:
    folds = result.folds.reset_index()
    select = result.settings.get("select", "")
    out = {}
    for name, column in folds.items():
        if pd.api.types.is_datetime64_any_dtype(column):
            out[name] = column.map(date_text)
        elif name in ("in_sample", "out_of_sample"):
            out[name.replace("_", " ")] = [format_stat(select, v) for v in column]
        else:
            out[name] = column.astype(object).where(column.notna(), "").astype(str)
    return pd.DataFrame(out)


def _decay_display(result) -> pd.DataFrame:
    decay = result.decay
    select = result.settings.get("select", "")
    shown = {
        "mean_in_sample": ("mean in sample", format_stat(select, decay["mean_in_sample"])),
        "mean_out_of_sample": ("mean out of sample", format_stat(select, decay["mean_out_of_sample"])),
        "efficiency": ("efficiency (out / in)", format_stat("efficiency", decay["efficiency"])),
        "correlation": ("correlation of the two", format_stat("correlation", decay["correlation"])),
        "share_oos_positive": ("folds positive out of sample", f"{decay['share_oos_positive']:.0%}"),
    }
    return pd.DataFrame(list(shown.values()), columns=["figure", "value"])


def _settings_text(result) -> str:
    s = result.settings
    window = "anchored (from row 0)" if s.get("anchored") else "rolling"
    train = s.get("train")
    test = s.get("test")
    train_text = f"{train!r} = {s.get('train_rows')} rows" if not isinstance(train, int) else f"{train} rows"
    test_text = f"{test!r} = {s.get('test_rows')} rows" if not isinstance(test, int) else f"{test} rows"
    return (
        f"{len(result.folds)} folds over {s.get('trials')} variants, chosen by "
        f"{_SELECT_LABELS.get(s.get('select'), s.get('select'))}; training windows of {train_text} ({window}), "
        f"test windows of {test_text}."
    )


def walk_forward_html(result) -> str:
    """The notebook display: settings, key statistics of the stitched curve, the decay and the folds."""
    stats = result.stats
    rows = "".join(
        f"<tr><td>{escape(LABELS.get(k, k))}</td><td>{escape(format_stat(k, stats.get(k)))}</td></tr>"
        for k in _KEY_STATS
        if k in stats.index
    )
    decay = _decay_display(result)
    decay_rows = "".join(f"<tr><td>{escape(a)}</td><td>{escape(b)}</td></tr>" for a, b in decay.itertuples(index=False))
    folds = _fold_display(result)
    head = "".join(f"<th>{escape(str(c))}</th>" for c in folds.columns)
    body = "".join(
        "<tr>" + "".join(f"<td>{escape(str(v))}</td>" for v in row) + "</tr>"
        for row in folds.head(12).itertuples(index=False)
    )
    more = f"<p>... and {len(folds) - 12} more folds</p>" if len(folds) > 12 else ""
    label = _SELECT_LABELS.get(result.settings.get("select"), "statistic")
    return (
        '<div style="display:flex;gap:1.5em;align-items:flex-start;flex-wrap:wrap">'
        f"<div><strong>WalkForwardResult</strong> {escape(_settings_text(result))}"
        f"<table><tbody>{rows}</tbody></table>"
        f"<p>{escape(_DECAY_SENTENCE.format(label=label))}</p><table><tbody>{decay_rows}</tbody></table></div>"
        f'<img alt="in-sample against out-of-sample decay" src="{png_data_uri(decay_figure(result), dpi=72)}"/>'
        f"<div><table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>{more}</div></div>"
    )


def write_walk_forward_report(result, path: Path, *, title: str) -> Path:
    """Render the walk-forward page of ``result`` to ``path`` (folders are created)."""
    from markupsafe import Markup

    equity = result.equity
    stats_frame = stats_table(with_dates(result.stats, result.dates))
    stats_frame.columns = ["statistic", "value"]
    label = _SELECT_LABELS.get(result.settings.get("select"), "statistic")
    return write_page(
        "walk_forward.html",
        path,
        title=title,
        period=f"{date_text(equity.index[0])} to {date_text(equity.index[-1])}",
        rows=len(equity) - 1,
        settings_text=_settings_text(result),
        stats_table=Markup(html_table(stats_frame)),
        equity_chart=png_data_uri(charts.equity_figure(result, scales="log")),
        decay_chart=png_data_uri(decay_figure(result)),
        decay_sentence=_DECAY_SENTENCE.format(label=label),
        decay_table=Markup(html_table(_decay_display(result))),
        folds_table=Markup(html_table(_fold_display(result))),
    )
