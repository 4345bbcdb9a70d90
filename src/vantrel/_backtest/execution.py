"""The execution options of a backtest, checked before the engine runs and turned
into the engine's arguments: capital and lots, fill costs, liquidity and price
limits, financing, and the market's dividends and splits.

The engine marks split-adjusted prices (so a split never looks like a price move
to the equity, the stops or the excursions) and counts shares as quoted; the
adjustment is made here, once per market, and only for stocks that split.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from .._checks import check_date_index, is_real, nanoseconds, preview, real_number, same_timezone, when
from ..market import Market

__all__ = ["Execution", "execution_options", "split_adjusted"]

_TRADING = ("capital", "slippage", "impact", "participation", "price_limit")


@dataclass(frozen=True)
class Execution:
    """What the execution options hand the engine and the result."""

    engine: dict[str, Any] = field(default_factory=dict)  # the array entry's keyword arguments
    settings: dict[str, Any] = field(default_factory=dict)  # every option as given
    capital: float | None = None
    adjusted: bool = False  # the price matrices are split-adjusted

    def prices(self, market: Market, name: str) -> np.ndarray:
        """A price matrix as the engine marks it."""
        return _adjusted(market, name) if self.adjusted else market.values(name)


def execution_options(
    market: Market,
    labels: pd.Index,
    first_bar: int,
    *,
    capital,
    lot_size,
    min_fee,
    slippage,
    impact,
    participation,
    price_limit,
    cash_rate,
    borrow_rate,
    leverage,
    margin_rate,
) -> Execution:
    """Checks every execution option (naming the bad one) and builds the engine's arguments.

    ``labels`` are the weights' stocks, ``first_bar`` the first bar of the run.
    """
    engine: dict[str, Any] = {}
    if capital is not None:
        capital = real_number(capital, "capital")
        if not capital > 0:
            raise ValueError(f"capital must be positive, got {capital:g}")
        engine["capital"] = capital
    lots = _per_stock(lot_size, "lot_size", labels, positive=True)
    if lots is not None:
        if capital is None:
            raise ValueError("lot_size needs capital: whole lots are counted in shares of a portfolio in currency")
        engine["lot_size"] = lots
    fee = real_number(min_fee, "min_fee")
    if fee < 0:
        raise ValueError(f"min_fee must not be negative, got {fee:g}")
    if fee > 0:
        if capital is None:
            raise ValueError("min_fee needs capital: a minimum fee is an amount of currency")
        engine["min_fee"] = fee
    slip = _per_stock(slippage, "slippage", labels, below_one=True)
    if slip is not None:
        engine["slippage"] = slip

    has_volume = market.has("volume")
    k = real_number(impact, "impact")
    if k < 0:
        raise ValueError(f"impact must not be negative, got {k:g}")
    if k > 0:
        if not has_volume:
            raise ValueError("impact needs volume in the market (Market(..., volume=...))")
        engine["impact"] = k
    if participation is not None:
        share = real_number(participation, "participation")
        if not 0 < share <= 1:
            raise ValueError(f"participation must be in (0, 1], a share of each bar's volume, got {share:g}")
        if not has_volume:
            raise ValueError("participation needs volume in the market (Market(..., volume=...))")
        engine["participation"] = share
    if price_limit is not None:
        limit = real_number(price_limit, "price_limit")
        if not limit > 0:
            raise ValueError(f"price_limit must be positive, got {limit:g}")
        engine["price_limit"] = limit
    # With a trading option on, a bar without volume is a suspension: nothing fills.
    if has_volume and any(name in engine for name in _TRADING):
        engine["volume"] = _adjusted(market, "volume") if _splits(market) is not None else market.values("volume")

    cash = _cash_rates(cash_rate, market.index, first_bar)
    if cash is not None:
        engine["cash_rate"] = cash
    borrow = _per_stock(borrow_rate, "borrow_rate", labels, rate=True)
    if borrow is not None:
        engine["borrow_rate"] = borrow
    margin = _rate(margin_rate, "margin_rate")
    if margin > 0:
        engine["margin_rate"] = margin
    gross = real_number(leverage, "leverage")
    if not gross > 0:
        raise ValueError(f"leverage must be positive, got {gross:g}")
    if gross != 1.0:
        engine["leverage"] = gross

    for kind, prefix, amounts in (("dividend_events", "dividend", "amounts"), ("split_events", "split", "ratios")):
        events = getattr(market, kind, None)
        if events is not None and len(events.bars):
            engine[f"{prefix}_bars"] = np.asarray(events.bars, dtype=np.int64)
            engine[f"{prefix}_columns"] = np.asarray(events.columns, dtype=np.int64)
            engine[f"{prefix}_{amounts}"] = np.asarray(events.amounts, dtype=np.float64)

    settings = dict(
        capital=capital,
        lot_size=_describe(lot_size),
        min_fee=fee,
        slippage=_describe(slippage),
        impact=k,
        participation=None if participation is None else float(participation),
        price_limit=None if price_limit is None else float(price_limit),
        cash_rate="dated Series" if isinstance(cash_rate, pd.Series) else float(cash_rate),
        borrow_rate=_describe(borrow_rate),
        leverage=gross,
        margin_rate=margin,
    )
    return Execution(engine, settings, capital, adjusted=_splits(market) is not None)


def _describe(value) -> Any:
    return "per-stock Series" if isinstance(value, pd.Series) else float(value)


def _rate(value, name: str) -> float:
    rate = real_number(value, name)
    if rate < 0:
        raise ValueError(f"{name} must not be negative, got {rate:g}")
    if rate > 1:
        raise ValueError(
            f"{name} is {rate:g}: annual rates are fractions (0.05 = 5%); for {rate:g}% write {rate / 100:g}"
        )
    return rate


def _per_stock(
    value, name: str, labels: pd.Index, *, positive=False, below_one=False, rate=False
) -> float | np.ndarray | None:
    """One number, or a Series by stock label with a value for every stock of the
    weights, checked; None where it leaves the engine's default."""
    neutral = 1.0 if positive else 0.0

    def check(x: float, where: str) -> None:
        if math.isnan(x):
            raise ValueError(f"{name} must not be NaN{where}")
        if positive and not (x > 0 and math.isfinite(x)):
            raise ValueError(f"{name} must be positive{where}, got {x:g}")
        if (below_one or rate) and x < 0:
            raise ValueError(f"{name} must not be negative{where}, got {x:g}")
        if below_one and x >= 1:
            raise ValueError(f"{name} must be below 1 (a fraction of the price){where}, got {x:g}")
        if rate and x > 1:
            raise ValueError(f"{name} is {x:g}{where}: annual rates are fractions (0.05 = 5%)")

    if isinstance(value, pd.Series):
        unknown = value.index.difference(labels, sort=False)
        if len(unknown):
            raise ValueError(f"{name} names stocks that are not in the weights: {preview(unknown)}")
        if not value.index.is_unique:
            raise ValueError(f"{name} has duplicate stocks: {preview(value.index[value.index.duplicated()])}")
        missing = labels.difference(value.index, sort=False)
        if len(missing):
            raise ValueError(f"{name} has no value for stocks of the weights: {preview(missing)}")
        if not pd.api.types.is_numeric_dtype(value.dtype) or pd.api.types.is_bool_dtype(value.dtype):
            raise TypeError(f"{name} must be numbers, got dtype {value.dtype}")
        values = value.reindex(labels).to_numpy(dtype=np.float64, na_value=np.nan)
        for label, x in zip(labels, values, strict=True):
            check(float(x), f" for {label!r}")
        return values
    if not is_real(value):
        raise TypeError(f"{name} must be a number or a Series by stock, got {type(value).__name__}")
    x = float(value)
    if math.isinf(x) and not positive:
        raise ValueError(f"{name} must be finite, got {x:g}")
    check(x, "")
    return None if x == neutral else x


def _cash_rates(value, index: pd.DatetimeIndex, first_bar: int) -> float | np.ndarray | None:
    """The annual cash rate in force on each bar (a dated Series is read as of the
    bars); None for no interest."""
    if not isinstance(value, pd.Series):
        rate = _rate(value, "cash_rate")
        return rate if rate > 0 else None
    dates = check_date_index(value.index, "cash_rate")
    if not pd.api.types.is_numeric_dtype(value.dtype) or pd.api.types.is_bool_dtype(value.dtype):
        raise TypeError(f"cash_rate must be numbers, got dtype {value.dtype}")
    same_timezone(dates, index, "cash_rate", "the prices")
    rates = value.to_numpy(dtype=np.float64, na_value=np.nan)
    present = ~np.isnan(rates)
    bad = present & ~((rates >= 0) & (rates <= 1))
    if bad.any():
        at = int(np.argmax(bad))
        raise ValueError(f"cash_rate is {rates[at]:g} on {when(dates[at])}: annual rates are fractions from 0 to 1")
    rows = np.searchsorted(nanoseconds(dates)[present], nanoseconds(index), side="right") - 1
    if rows[first_bar] < 0:
        raise ValueError(f"cash_rate has no rate on or before the first bar, {when(index[first_bar])}")
    return np.where(rows >= 0, rates[present][np.maximum(rows, 0)], 0.0)


def split_adjusted(market: Market, name: str) -> np.ndarray:
    """A matrix as a split does not move it: adjusted where the market has splits, else as given."""
    return _adjusted(market, name) if _splits(market) is not None else market.values(name)


def _splits(market: Market):
    events = getattr(market, "split_events", None)
    return events if events is not None and len(events.bars) else None


def _split_factors(market: Market) -> tuple[np.ndarray, np.ndarray]:
    """The columns that split, and per bar the product of their split ratios so far."""

    def compute():
        events = _splits(market)
        columns = np.unique(np.asarray(events.columns, dtype=np.int64))
        ratios = np.ones((len(market.index), len(columns)))
        at = np.searchsorted(columns, events.columns)
        for bar, k, ratio in zip(events.bars, at, events.amounts, strict=True):
            ratios[bar, k] *= ratio
        return columns, np.cumprod(ratios, axis=0)

    return market.cached("split_factors", compute)


def _adjusted(market: Market, name: str) -> np.ndarray:
    """A matrix split-adjusted: prices times, volume over, the split factor so far."""

    def compute():
        columns, factors = _split_factors(market)
        out = market.values(name).copy()
        if name == "volume":
            out[:, columns] /= factors
        else:
            out[:, columns] *= factors
        out.flags.writeable = False
        return out

    return market.cached(("split_adjusted", name), compute)
