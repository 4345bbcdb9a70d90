"""Numbers, dates and settings as the report and the notebook displays show them."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd

__all__ = [
    "LABELS",
    "costs_text",
    "date_text",
    "display_frame",
    "format_stat",
    "html_table",
    "missing",
    "percent_of",
    "settings_table",
    "stats_table",
]

_PERCENT = {
    "total_return",
    "cagr",
    "annual_volatility",
    "max_drawdown",
    "win_rate",
    "exposure",
    "alpha",
    "tracking_error",
    "risk_free",
    # What the run paid and earned, in fractions of the initial capital.
    "costs_paid_fees",
    "costs_paid_taxes",
    "costs_paid_slippage",
    "costs_paid_impact",
    "costs_paid_borrow",
    "costs_paid_margin",
    "income_cash_interest",
    "income_dividends",
}

_COSTS = {"fee_ratio", "tax_ratio"}
_COUNTS = {"trades", "round_trips"}  # float64 in the statistics, shown as whole numbers
_STOPS = {"stop_loss", "take_profit", "trail_stop"}

LABELS = {
    "start": "Start",
    "end": "End",
    "total_return": "Total return",
    "cagr": "CAGR",
    "annual_volatility": "Annual volatility",
    "sharpe": "Sharpe ratio",
    "sortino": "Sortino ratio",
    "max_drawdown": "Max drawdown",
    "max_drawdown_peak": "Max drawdown peak",
    "max_drawdown_trough": "Max drawdown trough",
    "max_drawdown_recovery": "Recovered on",
    "calmar": "Calmar ratio",
    "trades": "Trades",
    "round_trips": "Round trips",
    "win_rate": "Win rate",
    "profit_factor": "Profit factor",
    "avg_bars_held": "Average bars held",
    "exposure": "Exposure",
    "turnover": "Turnover (per year)",
    "alpha": "Alpha (annual)",
    "beta": "Beta",
    "information_ratio": "Information ratio",
    "tracking_error": "Tracking error",
    "up_capture": "Up capture",
    "down_capture": "Down capture",
    "risk_free": "Risk-free rate",
    "fee_ratio": "Fee per trade",
    "tax_ratio": "Tax per sale",
    "costs_paid_fees": "Fees paid",
    "costs_paid_taxes": "Taxes paid",
    "costs_paid_slippage": "Slippage paid",
    "costs_paid_impact": "Market impact paid",
    "costs_paid_borrow": "Borrow fees paid",
    "costs_paid_margin": "Margin interest paid",
    "income_cash_interest": "Interest earned on cash",
    "income_dividends": "Dividends received",
}

_SETTINGLABELS = {
    "fee_ratio": "fee per trade",
    "tax_ratio": "tax per sale",
    "capital": "capital",
    "lot_size": "lot size (shares)",
    "min_fee": "minimum fee per fill",
    "slippage": "slippage per fill",
    "impact": "impact coefficient k",
    "participation": "participation cap (of volume)",
    "price_limit": "daily price limit",
    "cash_rate": "interest on cash (a year)",
    "borrow_rate": "borrow fee (a year)",
    "leverage": "leverage",
    "margin_rate": "margin interest (a year)",
}

# Trade columns shown as percentages in the table (the CSV keeps the raw numbers).
_PERCENT_COLUMNS = {
    "return",
    "excursion_return",
    "adverse_excursion",
    "favourable_excursion",
    "favourable_before_adverse",
    "drawdown",
    "profit",
}


def missing(value) -> bool:
    if value is None or value is pd.NaT:
        return True
    try:
        return bool(pd.isna(value))
    except (TypeError, ValueError):
        return False


def percent_of(value: float) -> str:
    """A cost rate with every digit it was given (0.1425%, 0.3%, 0%)."""
    return f"{value * 100:.6g}%"


def format_stat(key: str, value) -> str:
    """One statistic as display text ("–" when missing)."""
    if missing(value):
        return "–"
    if isinstance(value, pd.Timestamp):
        return str(value.date()) if value == value.normalize() else str(value)
    if isinstance(value, (bool, np.bool_)):
        return str(bool(value))
    if isinstance(value, (int, np.integer)) and key not in _PERCENT | _COSTS:
        return str(int(value))
    if key in _COUNTS and isinstance(value, (float, np.floating)) and float(value).is_integer():
        return str(int(value))
    if isinstance(value, (float, np.floating, int, np.integer)):
        value = float(value)
        if math.isinf(value):
            return "∞" if value > 0 else "-∞"
        if key in _COSTS:
            return percent_of(value)
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
        {"statistic": [LABELS.get(k, k) for k in stats.index], "value": [format_stat(k, v) for k, v in stats.items()]}
    )
    if benchmark is not None:
        table["benchmark"] = [format_stat(k, benchmark.get(k)) for k in stats.index]
    return table


def costs_text(settings: dict, stats: pd.Series | None = None) -> str:
    """One sentence naming the trading costs the run charged."""

    def rate(key: str) -> float | None:
        value = settings.get(key)
        if missing(value) and stats is not None:
            value = stats.get(key)
        return None if value is None or missing(value) else float(value)

    fee, tax = rate("fee_ratio"), rate("tax_ratio")
    if fee is None and tax is None:
        return "Costs: not recorded with this result."
    others = _execution_costs(settings)
    if not fee and not tax and not others:
        return "Costs: none (no fee, no tax)."
    parts = []
    if fee is not None:
        parts.append(f"fee {percent_of(fee)} of the value of every trade")
    if tax is not None:
        parts.append(f"tax {percent_of(tax)} of the value of every sale")
    return "Costs: " + ", ".join(parts + others) + "."


def _execution_costs(settings: dict) -> list[str]:
    """The execution options that cost something, as phrases (none when they are off)."""
    phrases = {
        "min_fee": "a minimum fee of {} per fill",
        "slippage": "slippage {} of the price on every fill",
        "impact": "square-root market impact with k = {}",
        "borrow_rate": "a borrow fee of {} a year on shorts",
        "margin_rate": "margin interest of {} a year on negative cash",
    }
    out = []
    for key, phrase in phrases.items():
        value = settings.get(key)
        if value is None or (isinstance(value, (int, float)) and not value):
            continue
        out.append(phrase.format(_execution_value(key, value)))
    return out


# Execution options shown as percentages, and as amounts of currency.
_EXECUTION_PERCENT = {"slippage", "participation", "price_limit", "cash_rate", "borrow_rate", "margin_rate"}
_EXECUTION_AMOUNTS = {"capital", "min_fee", "lot_size"}
_EXECUTION = (
    "capital",
    "lot_size",
    "min_fee",
    "slippage",
    "impact",
    "participation",
    "price_limit",
    "cash_rate",
    "borrow_rate",
    "leverage",
    "margin_rate",
)


def _execution_value(key: str, value) -> str:
    if value is None:
        return "off"
    if isinstance(value, pd.Series):
        return f"per stock ({len(value)} values)" if key != "cash_rate" else f"by date ({len(value)} rates)"
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        return str(value)
    if key in _EXECUTION_PERCENT:
        return percent_of(float(value))
    if key in _EXECUTION_AMOUNTS:
        return f"{float(value):,.2f}".rstrip("0").rstrip(".")
    return f"{float(value):g}"


def settings_table(settings: dict) -> pd.DataFrame:
    """The run's options as display text, the costs and execution options first."""
    keys = [k for k in ("fee_ratio", "tax_ratio", *_EXECUTION) if k in settings]
    keys += [k for k in settings if k not in keys]
    rows = []
    for key in keys:
        value = settings[key]
        if key in _EXECUTION:
            text = _execution_value(key, value)
        elif key in _COSTS and not missing(value) and isinstance(value, (int, float)):
            text = percent_of(float(value))
        elif isinstance(value, pd.Series):
            text = f"Series ({len(value)} values)"
        elif key in _STOPS and isinstance(value, float) and math.isinf(value):
            text = "none"  # the engine's "no stop", shown as an unset take_profit is
        else:
            text = str(value)
        rows.append((_SETTINGLABELS.get(key, key), text))
    return pd.DataFrame(rows, columns=["setting", "value"])


def date_text(value) -> str:
    if missing(value):
        return ""
    value = pd.Timestamp(value)
    return str(value.date()) if value == value.normalize() else value.isoformat(sep=" ")


def display_frame(frame: pd.DataFrame) -> pd.DataFrame:
    """Trade-like columns as text: dates without a midnight time, percentages, short floats."""
    out = {}
    for name, column in frame.items():
        if pd.api.types.is_datetime64_any_dtype(column):
            out[name] = column.map(date_text)
        elif pd.api.types.is_bool_dtype(column):
            out[name] = column.astype(str)
        elif pd.api.types.is_float_dtype(column):
            pattern = "{:.2%}" if name in _PERCENT_COLUMNS else "{:.4g}" if name in ("fees", "taxes") else "{:.4f}"
            out[name] = [
                ("" if not np.isfinite(v) else pattern.format(v)) if v is not None else ""
                for v in column.to_numpy(dtype=np.float64, na_value=np.nan)
            ]
        else:
            out[name] = column.astype(object).where(column.notna(), "").astype(str)
    return pd.DataFrame(out, index=frame.index, columns=frame.columns)


def html_table(frame: pd.DataFrame, *, css: str = "") -> str:
    if not len(frame):
        return '<p class="note">None.</p>'
    return frame.to_html(index=False, escape=True, border=0, na_rep="", classes=css or None)
