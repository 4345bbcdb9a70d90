"""The market a backtest trades in: prices on one calendar, checked and aligned once."""

from __future__ import annotations

from collections.abc import Hashable

import numpy as np
import pandas as pd

from ._checks import (
    check_columns,
    check_date_index,
    nanoseconds,
    numeric_values,
    preview,
    real_number,
    require_frame,
    when,
)
from ._market_events import NO_EVENTS, MarketEvents, market_events

__all__ = ["Market", "MarketEvents"]


class Market:
    """Daily (or any bar) prices of a universe of stocks.

    Parameters
    ----------
    close : DataFrame
        Close prices, dates x stocks. Required; it fixes the calendar and the
        stock labels. NaN means no price on that bar (a suspension, or a stock
        not listed yet or any more).
    open, high, low : DataFrame, optional
        Same dates and stock labels as ``close`` (columns may come in another
        order). ``open`` is needed to trade at the open, all three for exits at
        touched stop levels.
    delisting : Series, dict, "infer" or None
        Delisting date per stock label. A held stock is closed on the last bar
        dated on or before its delisting date. ``"infer"`` takes the last bar
        with a close price for every stock whose prices stop before the end of
        the data.
    sectors : Series, optional
        A group label per stock, carried along for the user's own analysis.
    ohlc_tolerance : float or None
        How far (as a fraction) a price may lie outside its bar's range before
        the bar counts as inconsistent. Bars whose high is below the low, or
        whose open or close lies outside [low, high], are refused by default
        (touched exits fill inside that range); data vendors' rounding often
        needs a small tolerance such as 0.001. None skips the check.
    volume : DataFrame, optional
        Shares traded per bar, same dates and stock labels as ``close``
        (columns may come in another order); NaN where unknown, never
        negative. Needed by the ``participation`` cap and the ``impact`` cost
        of :func:`vantrel.backtest`; with volume given, a bar with zero volume
        trades nothing.
    dividends : DataFrame, optional
        Cash dividends per share by ex-date, dates x stocks (NaN or 0 where
        there is none). The prices are then raw, not adjusted for dividends:
        a holder is credited the cash on the ex-date bar. A date between two
        bars (a weekend, a holiday) applies on the next bar; dates before the
        first bar or after the last, and stocks without prices, are refused.
    splits : DataFrame, optional
        Split ratios by the date they take effect, dates x stocks: new shares
        per old share (2 for a 2-for-1 split, 0.1 for a 1-for-10 reverse
        split; NaN or 1 where there is none), so share counts follow a split
        of raw prices. Dates are read as for ``dividends``.

    Notes
    -----
    All prices must be positive where present. The caller's frames are copied,
    never modified. Dividends and splits are exposed as :class:`MarketEvents`
    (``dividend_events``, ``split_events``): bars, stock columns and amounts,
    sorted by bar then column; several events of one stock that land on one
    bar combine (dividends add up, split ratios multiply).

    Raises
    ------
    ValueError
        Naming the first bad cell: unsorted or duplicate dates, duplicate
        labels, non-positive or infinite prices, frames that do not line up
        with ``close``, inconsistent bars, negative volume, negative dividends,
        non-positive split ratios, events off the calendar or for unknown
        stocks.
    TypeError
        For frames that are not DataFrames of numbers on a DatetimeIndex.
    """

    # Defaults for markets pickled before these existed.
    dividend_events: MarketEvents = NO_EVENTS
    split_events: MarketEvents = NO_EVENTS

    def __init__(
        self,
        close,
        *,
        open=None,
        high=None,
        low=None,
        delisting=None,
        sectors=None,
        ohlc_tolerance: float | None = 0.0,
        volume=None,
        dividends=None,
        splits=None,
    ):
        require_frame(close, "close")
        index = check_date_index(close.index, "close")
        columns = check_columns(close.columns, "close")
        self._values = {"close": _positive_prices(close, "close")}
        for name, given in (("open", open), ("high", high), ("low", low)):
            if given is not None:
                self._values[name] = _positive_prices(_aligned_to(given, name, index, columns), name)
        if ohlc_tolerance is not None:
            _check_bars(self._values, index, columns, real_number(ohlc_tolerance, "ohlc_tolerance", minimum=0.0))
        if volume is not None:
            self._values["volume"] = _volume(_aligned_to(volume, "volume", index, columns, what="volume"))
        self.dividend_events: MarketEvents = market_events(dividends, "dividends", index, columns)
        self.split_events: MarketEvents = market_events(splits, "splits", index, columns)
        self.index = index
        self.columns = columns
        self._index_ns = nanoseconds(index)
        self.delisting = self._delisting_dates(delisting)
        self.sectors = None if sectors is None else _sector_labels(sectors, columns)

    def _frame(self, name):
        values = self._values.get(name)
        if values is None:
            return None
        return pd.DataFrame(values.copy(), index=self.index, columns=self.columns)

    @property
    def close(self) -> pd.DataFrame:
        return self._frame("close")

    @property
    def open(self) -> pd.DataFrame | None:
        return self._frame("open")

    @property
    def high(self) -> pd.DataFrame | None:
        return self._frame("high")

    @property
    def low(self) -> pd.DataFrame | None:
        return self._frame("low")

    @property
    def volume(self) -> pd.DataFrame | None:
        return self._frame("volume")

    def with_data(self, *, volume=None, dividends=None, splits=None) -> Market:
        """A copy of the market with volume, dividends or splits added (or replaced).

        The prices, delisting dates and sectors are shared with this market,
        not checked again; the new frames are checked as in the constructor.
        Arguments left as None keep what this market has.
        """
        copy = object.__new__(Market)
        copy.__dict__.update({k: v for k, v in self.__dict__.items() if k != "_derived"})
        copy._values = dict(self._values)
        if volume is not None:
            copy._values["volume"] = _volume(_aligned_to(volume, "volume", self.index, self.columns, what="volume"))
        if dividends is not None:
            copy.dividend_events = market_events(dividends, "dividends", self.index, self.columns)
        if splits is not None:
            copy.split_events = market_events(splits, "splits", self.index, self.columns)
        return copy

    def has(self, name: str) -> bool:
        """Whether the market holds the matrix ``name``: "open", "high", "low", "close" or "volume"."""
        return name in self._values

    def values(self, name: str) -> np.ndarray:
        """The matrix handed to the engine (bars x stocks, float64, in the order of ``columns``)."""
        return self._values[name]

    @property
    def index_ns(self) -> np.ndarray:
        return self._index_ns

    def __repr__(self) -> str:
        kinds = "/".join(k for k in ("open", "high", "low", "close") if k in self._values)
        span = f"{self.index[0].date()} to {self.index[-1].date()}"
        extras = ", volume" if "volume" in self._values else ""
        for name, events in (("dividends", self.dividend_events), ("splits", self.split_events)):
            if len(events):
                extras += f", {len(events)} {name}"
        return f"Market({len(self.columns)} stocks, {len(self.index)} bars {span}, {kinds}{extras})"

    def _delisting_dates(self, delisting) -> pd.Series:
        """Delisting date per stock (NaT where the stock stays listed)."""
        dates = pd.Series(pd.NaT, index=self.columns, dtype=self.index.dtype)
        if delisting is None:
            return dates
        if isinstance(delisting, str):
            if delisting != "infer":
                raise ValueError(f'delisting must be a Series, a dict, "infer" or None, got {delisting!r}')
            valid = ~np.isnan(self._values["close"])
            has_price = valid.any(axis=0)
            last = len(self.index) - 1 - np.argmax(valid[::-1], axis=0)
            ended = has_price & (last < len(self.index) - 1)
            dates[ended] = self.index[last[ended]]
            return dates
        given = pd.Series(delisting)
        unknown = given.index.difference(self.columns)
        if len(unknown):
            raise ValueError(f"delisting names stocks that have no prices: {preview(unknown)}")
        try:
            given = pd.to_datetime(given)
        except (TypeError, ValueError) as error:
            raise ValueError(f"delisting dates could not be read as dates: {error}") from None
        if (given.dt.tz is None) != (self.index.tz is None):
            raise ValueError("delisting dates and the price dates must both be timezone-aware or both naive")
        early = given[given < self.index[0]]
        if len(early):
            raise ValueError(
                f"delisting dates before the first price date {when(self.index[0])}: {preview(early.index)}"
            )
        if self.index.tz is not None:
            given = given.dt.tz_convert(self.index.tz)
        dates[given.index] = given.astype(dates.dtype)
        return dates

    def __getstate__(self) -> dict:
        state = self.__dict__.copy()
        state.pop("_derived", None)  # what is derived is derived again where the market goes
        return state

    def cached(self, key: Hashable, compute):
        """A value derived from the prices, computed once: sweeps reuse one market for many runs."""
        store = self.__dict__.setdefault("_derived", {})
        if key not in store:
            store[key] = compute()
        return store[key]

    def priced_anywhere(self) -> np.ndarray:
        """Per stock, whether it has a close price on any bar."""
        return self.cached("priced_anywhere", lambda: ~np.isnan(self._values["close"]).all(axis=0))

    def delisting_bars(self, labels) -> np.ndarray:
        """Per label, the bar on which a held position is closed; -1 where none."""
        return self.delisting_bars_at(self.columns.get_indexer(labels))

    def delisting_bars_at(self, columns: np.ndarray) -> np.ndarray:
        """The same by price column (-1: no column, so no delisting), a fresh array."""
        per_column = self.cached("delisting_bar_per_column", self._delisting_bar_per_column)
        return np.where(columns >= 0, per_column[columns], -1).astype(np.int64)

    def _delisting_bar_per_column(self) -> np.ndarray:
        # Once per market: the cache key is not the labels (turning an index of
        # thousands of labels into a key costs more than the lookup it saves).
        bars = np.full(len(self.columns), -1, dtype=np.int64)
        listed = self.delisting.notna().to_numpy()
        if listed.any():
            at = pd.DatetimeIndex(self.delisting[listed]).as_unit("ns").asi8
            bars[listed] = np.searchsorted(self._index_ns, at, side="right") - 1
        return bars


def _aligned_to(frame, name, index, columns, what: str | None = None) -> pd.DataFrame:
    what = what or f"{name} prices"
    require_frame(frame, name)
    check_date_index(frame.index, name)
    check_columns(frame.columns, name)
    if not frame.index.equals(index):
        raise ValueError(f"{what} {_do(what)} not have the same dates as the close prices")
    missing = columns.difference(frame.columns)
    extra = frame.columns.difference(columns)
    if len(missing) or len(extra):
        parts = []
        if len(missing):
            parts.append(f"missing {preview(missing)}")
        if len(extra):
            parts.append(f"extra {preview(extra)}")
        raise ValueError(f"{what} {_do(what)} not have the same stocks as the close prices: {'; '.join(parts)}")
    return frame[columns]


def _do(what: str) -> str:
    return "do" if what.endswith("prices") else "does"


def _volume(frame: pd.DataFrame) -> np.ndarray:
    """Shares traded per bar: numbers, never negative; read-only, as the engine shares it between runs."""
    values = numeric_values(frame, "volume")
    with np.errstate(invalid="ignore"):
        bad = values < 0
    if bad.any():
        rows, cols = np.nonzero(bad)
        cells = [
            f"{frame.columns[c]!r} on {when(frame.index[r])}: {values[r, c]}" for r, c in zip(rows, cols, strict=True)
        ]
        raise ValueError(f"volume must not be negative: {preview(cells, quote=False)}")
    values.setflags(write=False)
    return values


# What makes a bar inconsistent: (price, relation, reference), tested in this order.
_BAR_RULES = (
    ("high", "below", "low"),
    ("close", "above", "high"),
    ("close", "below", "low"),
    ("open", "above", "high"),
    ("open", "below", "low"),
)


def _check_bars(values: dict, index, columns, tolerance: float) -> None:
    """Refuse bars whose prices contradict each other, naming the first one."""
    rules = [rule for rule in _BAR_RULES if rule[0] in values and rule[2] in values]
    if not rules:
        return
    # Walk the matrices in blocks along their memory order (frames usually give
    # stock-major arrays), so that the temporaries stay small and in cache.
    by_stock = all(v.flags.f_contiguous and not v.flags.c_contiguous for v in values.values())
    arrays = {k: v.T if by_stock else v for k, v in values.items()}
    outer, inner = arrays["close"].shape
    step = max(1, (1 << 16) // max(inner, 1))
    bad_rows = np.zeros(len(index), dtype=bool)
    count = 0
    for start in range(0, outer, step):
        block = slice(start, start + step)
        bad = _bad_cells(arrays, rules, block, tolerance)
        count += int(np.count_nonzero(bad))
        if by_stock:
            bad_rows |= bad.any(axis=0)
        else:
            bad_rows[block] |= bad.any(axis=1)
    if not count:
        return
    row = int(np.argmax(bad_rows))  # the earliest date, then the leftmost stock
    column = int(np.argmax(_bad_cells(values, rules, slice(row, row + 1), tolerance)[0]))
    price, relation, reference = next(
        rule for rule in rules if _bad_cells(values, [rule], slice(row, row + 1), tolerance)[0, column]
    )
    raise ValueError(
        f"inconsistent bar: the {price} of {columns[column]!r} on {when(index[row])} "
        f"({values[price][row, column]:g}) is {relation} its {reference} ({values[reference][row, column]:g})"
        f"{f'; {count} bars are inconsistent' if count > 1 else ''}. Fix the prices, or pass "
        "Market(..., ohlc_tolerance=0.001) to accept small vendor inconsistencies "
        "(ohlc_tolerance=None skips the check)"
    )


def _bad_cells(arrays: dict, rules, block: slice, tolerance: float) -> np.ndarray:
    bad: np.ndarray | None = None
    with np.errstate(invalid="ignore"):
        for price, relation, reference in rules:
            limit = arrays[reference][block]
            if relation == "above":
                broken = arrays[price][block] > (limit * (1.0 + tolerance) if tolerance else limit)
            else:
                broken = arrays[price][block] < (limit * (1.0 - tolerance) if tolerance else limit)
            bad = broken if bad is None else np.logical_or(bad, broken, out=bad)
    assert bad is not None, "no rule to test"
    return bad


def _positive_prices(frame: pd.DataFrame, name: str) -> np.ndarray:
    values = numeric_values(frame, f"{name} prices")
    with np.errstate(invalid="ignore"):
        bad = values <= 0
    if bad.any():
        rows, cols = np.nonzero(bad)
        cells = [
            f"{frame.columns[c]!r} on {when(frame.index[r])}: {values[r, c]}" for r, c in zip(rows, cols, strict=True)
        ]
        raise ValueError(f"{name} prices must be positive where present: {preview(cells, quote=False)}")
    return values


def _sector_labels(sectors, columns) -> pd.Series:
    sectors = pd.Series(sectors)
    missing = columns.difference(sectors.index)
    if len(missing):
        raise ValueError(f"sectors has no entry for: {preview(missing)}")
    return sectors.reindex(columns).copy()
