"""How much to trust a result, as the report, the notebook displays and the command line show it."""

from __future__ import annotations

import math

import pandas as pd

from .formatting import format_stat, percent_of

__all__ = [
    "BOOTSTRAP_SETTINGS",
    "OVERFITTING_MEANING",
    "bootstrap_rows",
    "break_even_text",
    "cost_rows",
    "overfitting_lines",
]

# The tear sheet's intervals: fixed, so that the same result always shows the same page.
BOOTSTRAP_SETTINGS = dict(n=1000, seed=0, level=0.95)
BOOTSTRAP_SHOWN = ("sharpe", "cagr", "max_drawdown")

OVERFITTING_MEANING = (
    "The deflated Sharpe ratio is the probability that the best variant's true Sharpe ratio is above zero once "
    "its being the best of all the trials is allowed for (0.95 or more is the usual bar); the probability of "
    "backtest overfitting is how often the variant that looks best on half of the bars ranks in the bottom half "
    "on the other half (0.5 is no better than chance, near 0 a choice that holds up)."
)


def overfitting_lines(figures) -> list[str]:
    """A sweep's overfitting statistics in a few lines of text."""
    shown = ", ".join(f"{name}={_value(value)}" for name, value in figures.parameters.items())
    best = (
        f"Highest Sharpe ratio of {figures.trials} trials: variant {figures.best} ({shown or 'no parameters'}), "
        f"{format_stat('sharpe', figures.sharpe)} ({figures.sharpe_per_bar:.4f} per bar on the {figures.bars} bars "
        "all trials share)"
    )
    statistics = (
        f"Deflated Sharpe ratio {_number(figures.deflated_sharpe, 3)}; probability of backtest overfitting "
        f"{_number(figures.pbo, 3)} (CSCV, {figures.cscv.blocks} blocks, {figures.cscv.n_combinations} splits)"
    )
    degradation = (
        f"Out of sample the in-sample best keeps a Sharpe ratio per bar of "
        f"{_number(figures.mean_out_of_sample, 4)} against {_number(figures.mean_in_sample, 4)} in sample, "
        f"and loses in {_percent(figures.prob_oos_loss)} of the splits"
    )
    return [best, statistics, degradation]


def bootstrap_rows(intervals: dict) -> pd.DataFrame:
    """One row per statistic: its value and interval, as display text."""
    rows = []
    for key, interval in intervals.items():
        rows.append(
            {
                "statistic": {"sharpe": "Sharpe ratio", "cagr": "CAGR", "max_drawdown": "Max drawdown"}.get(key, key),
                "value": format_stat(key, interval.estimate),
                f"{interval.level:.0%} interval": (
                    f"{format_stat(key, interval.low)} to {format_stat(key, interval.high)}"
                ),
                "mean block (bars)": f"{interval.block:.2f}",
            }
        )
    return pd.DataFrame(rows)


def cost_rows(sensitivity) -> pd.DataFrame:
    """One row per multiple of the run's costs, as display text."""
    table = sensitivity.table
    return pd.DataFrame(
        {
            "costs": [f"{m:g} x" for m in table.index],
            "fee per trade": [percent_of(v) for v in table["fee_ratio"]],
            "tax per sale": [percent_of(v) for v in table["tax_ratio"]],
            "Sharpe ratio": [format_stat("sharpe", v) for v in table["sharpe"]],
            "CAGR": [format_stat("cagr", v) for v in table["cagr"]],
        }
    )


def break_even_text(fee: float) -> str:
    """The break-even fee in a sentence."""
    if math.isnan(fee):
        return "Break-even fee: none; the strategy does not make money even without a fee."
    if math.isinf(fee):
        return "Break-even fee: above 99%; the strategy makes money at any fee the search tries."
    return (
        f"Break-even fee: {percent_of(fee)} of the value of every trade (with the run's tax and other options) "
        "makes the CAGR 0."
    )


def _number(value: float, digits: int) -> str:
    return "–" if value is None or math.isnan(value) else f"{value:.{digits}f}"


def _percent(value: float) -> str:
    return "–" if value is None or math.isnan(value) else f"{value:.1%}"


def _value(value) -> str:
    return f"{value:g}" if isinstance(value, float) else str(value)


def trust_section(result) -> dict:
    """The tear sheet's section on how far the figures can be trusted: bootstrap intervals and costs."""
    from markupsafe import Markup

    from .formatting import html_table

    intervals, note = {}, None
    try:
        for key in BOOTSTRAP_SHOWN:
            intervals[key] = result.bootstrap(key, **BOOTSTRAP_SETTINGS)
    except ValueError as error:  # too short a curve to resample or to annualise
        intervals, note = {}, f"No bootstrap intervals: {error}."
    bootstrap_table = Markup(html_table(bootstrap_rows(intervals))) if intervals else None
    block = next(iter(intervals.values())).block if intervals else None
    settings = BOOTSTRAP_SETTINGS
    bootstrap_note = note or (
        f"{settings['level']:.0%} percentile intervals from {settings['n']} stationary-bootstrap resamples of the "
        f"per-bar returns (seed {settings['seed']}, mean block length {block:.2f} bars by the Politis-White rule): "
        "runs of consecutive bars are resampled together, so that volatility clustering survives. They describe "
        "the uncertainty of this one path, not what the future brings."
    )
    try:
        sensitivity = result.cost_sensitivity()
    except ValueError as error:  # a result that cannot re-run its backtest
        return dict(
            bootstrap_table=bootstrap_table,
            bootstrap_note=bootstrap_note,
            cost_table=None,
            break_even=None,
            cost_note=f"No cost sensitivity: {error}",
        )
    return dict(
        bootstrap_table=bootstrap_table,
        bootstrap_note=bootstrap_note,
        cost_table=Markup(html_table(cost_rows(sensitivity))),
        break_even=break_even_text(sensitivity.break_even_fee),
        cost_note=(
            "The backtest re-run with its fee and tax multiplied, every other option as it was; the break-even fee "
            "is found by re-running it too (bracketed, then Brent's method)."
        ),
    )
