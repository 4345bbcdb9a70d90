"""The statistics of a batch of variants at once, equal to what each variant's ``result.stats`` gives."""

from __future__ import annotations

from ..stats import with_dates

__all__ = ["batch_stats"]


def batch_stats(runs: list, outputs: list) -> list[dict]:
    """One row (statistics and their dates) per prepared run and its engine output."""
    rows = []
    for run, output in zip(runs, outputs, strict=True):
        result = run.finish(output)
        rows.append(with_dates(result.stats, result.dates).to_dict())
    return rows
