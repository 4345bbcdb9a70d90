"""``vantrel.walk_forward``: re-optimise on a schedule over one sweep, and test each choice on the bars after it."""

from __future__ import annotations

from collections.abc import Callable, Mapping
from pathlib import Path

import pandas as pd

from .._checks import is_whole
from .._results.walk_forward import WalkForwardResult
from .._robustness import SELECT, walk_forward_folds, walk_forward_select
from ..market import Market
from .run import sweep

__all__ = ["walk_forward", "window_rows"]

_ALIAS_HINT = "a number of rows or an offset alias such as '252B', '6ME' or '2YE'"
# Offsets anchored to the ends (or starts) of calendar periods, as spans of whole periods:
# "6ME" from mid-January is six months, not the five and a half to the sixth month end.
_PERIODS = (
    ((pd.offsets.YearEnd, pd.offsets.YearBegin, pd.offsets.BYearEnd, pd.offsets.BYearBegin), "years", 1),
    ((pd.offsets.QuarterEnd, pd.offsets.QuarterBegin, pd.offsets.BQuarterEnd, pd.offsets.BQuarterBegin), "months", 3),
    (
        (pd.offsets.MonthEnd, pd.offsets.MonthBegin, pd.offsets.BusinessMonthEnd, pd.offsets.BusinessMonthBegin),
        "months",
        1,
    ),
    ((pd.offsets.Week,), "weeks", 1),
)


def walk_forward(
    market: Market | pd.DataFrame,
    params,
    *,
    strategy: Callable[..., pd.DataFrame] | None = None,
    weights: pd.DataFrame | None = None,
    options: Mapping | None = None,
    train,
    test,
    anchored: bool = False,
    select: str = "sharpe",
    progress: bool | None = True,
    executor=None,
    workers: int | None = None,
    chunksize: int | None = None,
    store: str | Path | None = None,
    resume: bool = False,
    overwrite: bool = False,
    timeout: float | None = None,
    max_memory: int | str | None = None,
) -> WalkForwardResult:
    """Walk-forward analysis: pick the best variant on each training window, hold it over the next.

    Runs :func:`vantrel.sweep` once over the whole market (so every
    variant's holdings are warm at each window's start) and then works on
    the variants' per-bar returns, counted in rows as
    :attr:`SweepResult.returns` holds them, on the rows every variant that
    ran without error has (from the latest start on). Row 0 is the first
    bar-to-bar return; a row is dated by the bar its return ends on.

    Fold ``k`` trains on rows ``[k * test, k * test + train)`` (from row 0
    when ``anchored``) and tests on the next ``test`` rows; the last fold
    may test on fewer, and every fold tests on at least one. On its training
    rows every variant is scored by the ``select`` statistic and the best is
    chosen (the first on a tie); its returns over the test rows are the
    fold's out-of-sample returns.

    Parameters
    ----------
    market, params, strategy, weights, options
        As for :func:`vantrel.sweep`.
    train, test : int or str
        Window lengths: a number of rows, or an offset alias counted in
        rows once, from the bar before row 0: the rows dated up to that
        bar's date plus the offset. Calendar aliases are whole periods
        (``"6ME"`` is six months, ``"2YE"`` two years, ``"QE"`` three
        months, ``"W"`` a week); ``"B"`` counts business days and ``"D"``
        calendar days. Every fold then has that many rows.
    anchored : bool
        Train every fold from row 0 (an expanding window) rather than on
        the ``train`` rows before its test window.
    select : str
        The in-sample statistic, higher is better: ``"sharpe"``,
        ``"sortino"``, ``"cagr"``, ``"total_return"``, ``"calmar"`` or
        ``"max_drawdown"`` (the shallowest). Annualised with the rows per
        year of the returns; no risk-free rate.
    progress : bool, optional
        The sweep's progress line on stderr.
    executor, workers, chunksize, store, resume, overwrite, timeout, max_memory
        As for :func:`vantrel.sweep`: the routes the variants run on, and the
        store a long walk-forward can be resumed from.

    Returns
    -------
    WalkForwardResult
        ``folds`` (one row per fold: its dates, the chosen variant and its
        parameters, the in-sample and out-of-sample statistic), ``equity``
        (the stitched out-of-sample curve), ``stats``, ``decay``, ``sweep``
        (the sweep behind it) and ``report(path)``.

    Raises
    ------
    ValueError
        An unknown ``select``, a ``train`` or ``test`` that is neither a
        positive number of rows nor an offset alias, windows that leave no
        fold, or a sweep in which no variant ran.
    """
    if select not in SELECT:
        raise ValueError(f"select must be one of {', '.join(map(repr, SELECT))}; got {select!r}")
    spans = {name: _window(value, name) for name, value in (("train", train), ("test", test))}
    if isinstance(market, pd.DataFrame):
        market = Market(market)
    if isinstance(market, Market):
        _check_room(spans, len(market.index) - 1, train, test)
    swept = sweep(
        market,
        params,
        strategy=strategy,
        weights=weights,
        options=options,
        executor=executor,
        workers=workers,
        chunksize=chunksize,
        keep_returns=True,
        progress=progress,
        store=store,
        resume=resume,
        overwrite=overwrite,
        timeout=timeout,
        max_memory=max_memory,
    )
    table = swept.table
    ran = table.index[table["error"].isna()]
    if not len(ran):
        raise ValueError(f"walk_forward: none of the {len(table)} variants ran (see the sweep's errors)")
    assert swept.returns is not None  # kept: keep_returns=True
    frame = swept.returns[ran].dropna()
    dates = frame.index
    # The bar before row 0: where the first window's span is counted from.
    origin = market.index[market.index.get_loc(dates[0]) - 1] if len(dates) else market.index[-1]
    train_rows = window_rows(spans["train"], dates, origin)
    test_rows = window_rows(spans["test"], dates, origin)
    _check_room({"train": train_rows, "test": test_rows}, len(dates), train, test, counted=True)
    folds = walk_forward_folds(len(dates), train_rows, test_rows, anchored=bool(anchored))
    years = (dates[-1] - origin) / pd.Timedelta(days=1) / 365.25
    per_year = len(dates) / years
    selection = walk_forward_select(frame, folds, select, periods_per_year=per_year)
    first_test = folds[0][2]
    curve = pd.Series(selection.equity, index=dates[first_test - 1 : folds[-1][3]], name="equity")
    rows = []
    for number, ((a, b, c, d), chosen) in enumerate(zip(folds, selection.chosen, strict=True)):
        rows.append(
            {
                "fold": number,
                "train_start": dates[a],
                "train_end": dates[b - 1],
                "test_start": dates[c],
                "test_end": dates[d - 1],
                "variant": int(chosen),
                **{name: table.at[chosen, name] for name in swept.parameters},
                "in_sample": selection.in_sample[number],
                "out_of_sample": selection.out_of_sample[number],
            }
        )
    return WalkForwardResult(
        folds=pd.DataFrame(rows).set_index("fold"),
        equity=curve,
        sweep=swept,
        selection=selection,
        settings=dict(
            select=select,
            train=train,
            test=test,
            train_rows=train_rows,
            test_rows=test_rows,
            anchored=bool(anchored),
            periods_per_year=per_year,
            trials=len(ran),
        ),
        risk_free=dict(options or {}).get("risk_free", 0.0),
    )


def _window(value, name: str):
    """A window as a number of rows or a span of time (an offset)."""
    if is_whole(value):
        if value < 1:
            raise ValueError(f"{name} must be a positive number of rows, got {value!r}")
        return int(value)
    if isinstance(value, str):
        try:
            value = pd.tseries.frequencies.to_offset(value)
        except ValueError:
            raise ValueError(f"{name} must be {_ALIAS_HINT}, got {value!r}") from None
    if not isinstance(value, pd.offsets.BaseOffset):
        raise ValueError(f"{name} must be {_ALIAS_HINT}, got {value!r}")
    if value.n < 1:
        raise ValueError(f"{name} must span a positive length of time, got {value!r}")
    for kinds, unit, size in _PERIODS:
        if isinstance(value, kinds):
            return pd.DateOffset(**{unit: size * value.n})
    return value


def window_rows(window, dates: pd.DatetimeIndex, origin: pd.Timestamp) -> int:
    """Rows of a window: itself when a number, else the rows dated up to ``origin`` plus the span."""
    if isinstance(window, int):
        return window
    return int(dates.searchsorted(origin + window, side="right"))


def _check_room(rows: dict, available: int, train, test, *, counted: bool = False) -> None:
    """Refuse windows that leave no fold (before the sweep runs, for windows given in rows)."""
    shown = {
        name: repr(given) if not counted or isinstance(given, int) else f"{given!r} ({rows[name]} rows)"
        for name, given in (("train", train), ("test", test))
    }
    for name, count in rows.items():
        if counted and count < 1:
            raise ValueError(f"{name}={shown[name]} spans no row of returns: the first is dated after it ends")
    count = rows["train"]
    if isinstance(count, int) and count >= available:
        raise ValueError(
            f"train={shown['train']} and test={shown['test']} leave no walk-forward fold in {available} rows of "
            f"returns: the first fold trains on {count} rows and needs at least one row after them to test on"
        )
