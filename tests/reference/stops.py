"""Stop-loss and take-profit settings as checked stop tables."""

from __future__ import annotations

from vantrel._stops import StopTable, stop_table

MISMATCH = "Stop thresholds do not match the price bars and position columns"


def stop_thresholds(stop, price_index, pos_columns):
    """The stop table of one setting, checked to fit the run's bars and position columns."""
    table = stop if isinstance(stop, StopTable) else stop_table(stop, price_index, pos_columns)
    rows = table.rows
    if table.values.shape[1] != pos_columns.size:
        raise ValueError(MISMATCH)
    if rows.shape[0] != price_index.size:
        raise ValueError(MISMATCH)
    if rows.size != 0 and rows.min() < 0:
        raise ValueError(MISMATCH)
    if rows.size != 0 and rows.max() >= table.values.shape[0]:
        raise ValueError(MISMATCH)
    return table
