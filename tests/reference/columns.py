"""Matching position columns to price columns, and guarding the traded prices."""

from __future__ import annotations

import math


def map_columns(price_columns, pos_columns) -> dict:
    """Position column index -> price column index, matched on the UTF-8 label.

    A duplicated price label maps to its last column; an unmatched position
    column has no entry.
    """
    price_map = {}
    for i, label in enumerate(price_columns):
        price_map[label.encode("UTF-8")] = i
    result = {}
    for j, label in enumerate(pos_columns):
        key = label.encode("UTF-8")
        if key in price_map:
            result[j] = price_map[key]
    return result


def validate_trade_price(price: float, stock, row: int) -> None:
    """A missing (NaN) price passes; zero, negative or infinite prices cannot be traded."""
    if math.isnan(price):
        return
    if math.isinf(price) or price <= 0:
        raise ValueError(
            f"Invalid trading price for {format(stock, '')} at price row {row}: {price!r}. "
            "Expected a positive finite price; check the trading-price dataset."
        )
