"""The statistics of a batch of variants at once, equal to the bit to what each variant's
``result.stats`` and ``result.dates`` give (see :mod:`vantrel._batch_stats`).

A batch's variants share a weight table, so their curves start on the same bar and are
computed together; a variant with a benchmark, or a curve the array statistics do not
cover, takes the one-variant path.
"""

from __future__ import annotations

import pandas as pd

from .._backtest.engine import cost_kind_names
from .._batch_stats import covered, curve_span, curve_statistics
from .._results.backtest import costs_paid_from
from ..stats import with_dates

__all__ = ["batch_stats"]


def batch_stats(runs: list, outputs: list) -> list[dict]:
    """One row (statistics and their dates, as ``with_dates`` gives them) per prepared run
    and its engine output, in order."""
    rows: list[dict | None] = [None] * len(runs)
    groups: dict[tuple, list[int]] = {}
    for position, (run, output) in enumerate(zip(runs, outputs, strict=True)):
        key = _group_key(run, output)
        if key is None:
            rows[position] = _one_at_a_time(run, output)
        else:
            groups.setdefault(key, []).append(position)
    kinds = cost_kind_names()
    for members in groups.values():
        first = runs[members[0]]
        market = first.market
        computed = curve_statistics(
            market.index,
            first.first,
            [outputs[p].values for p in members],
            [outputs[p].trades for p in members],
            first.risk_free,
            [_costs(runs[p].settings) for p in members],
            [costs_paid_from(outputs[p].costs, first.first, kinds) for p in members],
            market.cached("bar_timestamps", lambda market=market: list(market.index)),
            span=curve_span(market, first.first),
        )
        for position, found in zip(members, computed or [None] * len(members), strict=True):  # type: ignore[list-item]
            rows[position] = _one_at_a_time(runs[position], outputs[position]) if found is None else _row(*found)
    return rows  # type: ignore[return-value]


def _costs(settings: dict) -> tuple[float, float]:
    return float(settings.get("fee_ratio", float("nan"))), float(settings.get("tax_ratio", float("nan")))


def _one_at_a_time(run, output) -> dict:
    result = run.finish(output)
    return with_dates(result.stats, result.dates).to_dict()


def _group_key(run, output) -> tuple | None:
    """Variants computed together: same curve start and length, same risk-free rate; None
    for a variant that takes the one-variant path."""
    if run.bench_prices is not None or not covered(output.values[run.first :]):
        return None
    risk_free = run.risk_free
    rate = ("series", id(risk_free)) if isinstance(risk_free, pd.Series) else ("rate", float(risk_free))
    return (run.first, len(output.values), rate)


def _row(stats: dict, dates: dict) -> dict:
    """The row ``with_dates(result.stats, result.dates).to_dict()`` gives, from plain dicts:
    the first and last bar first, the drawdown's dates after ``max_drawdown``, the trade
    count as an integer."""
    row = {"start": dates["start"], "end": dates["end"]}
    for key, value in stats.items():
        row[key] = value
        if key == "max_drawdown":
            for name in ("max_drawdown_peak", "max_drawdown_trough", "max_drawdown_recovery"):
                row[name] = dates[name]
    if row["trades"] == row["trades"]:
        row["trades"] = int(row["trades"])
    return row
