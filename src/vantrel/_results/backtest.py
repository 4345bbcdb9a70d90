"""The outcome of a backtest: equity curve, trades, final portfolio, statistics, charts."""

from __future__ import annotations

import functools
from functools import cached_property
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from .._batch_stats import CurveSpan, covered, curve_statistics
from ..stats import DATE_KEYS, MIN_YEARS, drawdown, performance_dates, performance_stats
from .round_trips import round_trip_table

__all__ = ["BacktestResult", "costs_paid", "costs_paid_from"]

# Statistic -> column of ``result.costs`` it totals: costs paid, then income received.
COSTS_PAID = {
    "costs_paid_fees": "fees",
    "costs_paid_taxes": "taxes",
    "costs_paid_slippage": "slippage",
    "costs_paid_impact": "impact",
    "costs_paid_borrow": "borrow",
    "costs_paid_margin": "margin_interest",
    "income_cash_interest": "cash_interest",
    "income_dividends": "dividends",
}


def costs_paid(costs: pd.DataFrame | None) -> pd.Series:
    """Totals of a result's costs by kind, in units of the initial capital; NaN when not recorded."""
    if not isinstance(costs, pd.DataFrame):
        return pd.Series(np.nan, index=list(COSTS_PAID), dtype=np.float64)
    return pd.Series(
        {key: float(costs[kind].sum()) if kind in costs.columns else 0.0 for key, kind in COSTS_PAID.items()},
        dtype=np.float64,
    )


def costs_paid_from(costs: np.ndarray, first: int, kinds) -> dict:
    """What :func:`costs_paid` gives for the costs table of the engine's costs per bar
    (bars x ``kinds``), from the curve's first bar, without the table: the same sums
    of the same rows (bars with any cost), to the bit."""
    part = costs[first:]
    rows = part[_rows_with_any(part)]
    if not len(rows):  # no cost on any bar: every total is the sum of nothing
        return dict.fromkeys(COSTS_PAID, 0.0)
    kinds = list(kinds)
    return {key: float(rows[:, kinds.index(kind)].sum()) if kind in kinds else 0.0 for key, kind in COSTS_PAID.items()}


def _rows_with_any(costs: np.ndarray) -> np.ndarray:
    """Per row, whether any value is nonzero: ``(costs != 0.0).any(axis=1)``. With the
    engine's eight kinds a row's flags are one 8-byte word, tested at once (``any`` over
    a short axis costs 20 times as much)."""
    nonzero = costs != 0.0
    if nonzero.ndim == 2 and nonzero.shape[1] == 8 and nonzero.flags.c_contiguous:
        return nonzero.view(np.uint64)[:, 0] != 0
    return nonzero.any(axis=1)


@functools.cache
def _stats_index(keys: tuple[str, ...]) -> pd.Index:
    """The statistics' labels, made once: an index of text costs more to build than the figures."""
    return pd.Index(keys)


class BacktestResult:
    """Everything a backtest produced, as plain pandas objects (picklable).

    Attributes
    ----------
    equity : Series
        Portfolio value per bar, 1.0 at the start, from the bar on which the
        first weight row becomes visible to the last bar.
    trades : DataFrame
        One row per trade: stock, entry/exit dates and the dates their signals
        became visible, entry weight, bars held, the excursion statistics at
        the exit (or at the last bar for a trade still open) and, with an
        excursion window, the same statistics sampled ``k`` bars after entry
        in columns ``<statistic>_<k>``.
    fills : DataFrame
        One row per fill: ``date, bar, stock, side`` ("buy" or "sell"),
        ``shares`` (value / price in fractional weights), ``price`` (after
        slippage and impact), ``value`` (shares times the market price),
        ``fee, tax, slippage, impact`` (in currency with ``capital``, else in
        units of the initial capital) and ``reason`` ("rebalance", a stop's
        kind, "delisting", or "carried" for an order decided on an earlier bar).
    costs : DataFrame
        Per bar with any: costs paid (``fees, taxes, slippage, impact, borrow,
        margin_interest``) and income received (``cash_interest, dividends``),
        in units of the initial capital.
    capital : float or None
        The capital in currency the run traded with (None: fractional weights).
    portfolio : DataFrame
        Final holdings by stock: ``weight`` now held, ``next_weight`` of the
        latest weight row, and the pending ``action``; ``attrs`` holds
        ``weight_date`` and ``next_weight_date``.
    settings : dict
        The options the run used.
    benchmark : Series or None
        The benchmark's value per bar, 1.0 at the start, on the same bars as
        ``equity``; None without a benchmark.
    risk_free : float or Series
        The annual risk-free rate (or rates by date) the statistics use.
    sectors : Series or None
        Sector label per stock, from the market, when it has sectors; the
        report then shows sector weights over time.

    Notes
    -----
    A result from :func:`vantrel.backtest` also keeps the backtest's inputs
    (the market and the weights, by reference) so that
    :meth:`cost_sensitivity` and :meth:`random_benchmark` can run it again.
    Those are not pickled: an unpickled result has everything else, and
    those two methods ask for the backtest to be run again.
    """

    # Defaults for results pickled before these existed.
    benchmark: pd.Series | None = None
    risk_free: float | pd.Series = 0.0
    sectors: pd.Series | None = None
    capital: float | None = None
    _rerun: Any = None  # the backtest with its inputs, set by vantrel.backtest; not pickled

    def __init__(
        self,
        equity: pd.Series,
        trades,
        portfolio: pd.DataFrame,
        settings: dict | None = None,
        *,
        benchmark: pd.Series | None = None,
        risk_free: float | pd.Series = 0.0,
    ) -> None:
        self.equity = equity
        self.trades = trades  # a DataFrame, or the engine's trade log, tabled on first use
        self.portfolio = portfolio  # a DataFrame, or what builds it on first use
        self.settings = dict(settings or {})
        self.benchmark = benchmark
        self.risk_free = risk_free

    def __getstate__(self) -> dict:
        state = self.__dict__.copy()
        state.pop("_rerun", None)  # the market and weights: the caller's, and maybe large
        return state

    @property
    def trades(self) -> pd.DataFrame:
        """One row per trade record (see the class description); built on first use."""
        trades: Any = self.__dict__.get("_trades", self.__dict__.get("trades"))
        if not isinstance(trades, pd.DataFrame):
            trades = self.__dict__["_trades"] = trades.table()
        return trades

    @trades.setter
    def trades(self, value) -> None:
        self.__dict__["_trades"] = value

    @property
    def portfolio(self) -> pd.DataFrame:
        """Final holdings by stock (see the class description); built on first use."""
        portfolio: Any = self.__dict__.get("_portfolio", self.__dict__.get("portfolio"))
        if not isinstance(portfolio, pd.DataFrame):
            portfolio = self.__dict__["_portfolio"] = portfolio()
        return portfolio

    @portfolio.setter
    def portfolio(self, value) -> None:
        self.__dict__["_portfolio"] = value

    @property
    def fills(self) -> pd.DataFrame:
        """One row per fill (see the class description); built on first use."""
        return self._table("fills")

    @fills.setter
    def fills(self, value) -> None:
        self.__dict__["_fills"] = value

    @property
    def costs(self) -> pd.DataFrame:
        """Costs and income per bar by kind (see the class description); built on first use."""
        return self._table("costs")

    @costs.setter
    def costs(self, value) -> None:
        self.__dict__["_costs"] = value

    def _table(self, name: str) -> pd.DataFrame:
        table: Any = self.__dict__.get(f"_{name}")
        if table is None:
            raise AttributeError(f"this result has no {name} (it was made before they were recorded)")
        if not isinstance(table, pd.DataFrame):
            table = self.__dict__[f"_{name}"] = table()
        return table

    @property
    def value(self) -> pd.Series:
        """Portfolio value per bar in currency (``equity x capital``; the equity itself without capital)."""
        scale = 1.0 if self.capital is None else self.capital
        return (self.equity * scale).rename("value")

    def _trades_for_stats(self):
        """The trade table, or while it is not built yet just the columns the statistics read."""
        trades: Any = self.__dict__.get("_trades", self.__dict__.get("trades"))
        if isinstance(trades, pd.DataFrame):
            return trades
        return trades.stats_columns()

    @property
    def returns(self) -> pd.Series:
        """Simple return of each bar against the previous one."""
        return (self.equity / self.equity.shift(1) - 1.0).iloc[1:].rename("returns")

    @property
    def drawdown(self) -> pd.Series:
        """Fall of the equity below its running peak at each bar (0 at a new high, negative below)."""
        return drawdown(self.equity).rename("drawdown")

    def round_trips(self) -> pd.DataFrame:
        """One row per round trip: a position from its entry to its exit back to nothing.

        ``trades`` has one row per trade record (a holding re-sized at a rebalance
        starts a new record); a round trip joins the records of one position. Its
        ``return`` compounds the records' returns, so for a trip out of cash and back
        it is what the trip made for the portfolio; ``profit``, ``fees`` and ``taxes``
        add up.
        """
        return round_trip_table(self.trades)

    @cached_property
    def stats(self) -> pd.Series:
        """Performance statistics, with the costs the run used (``fee_ratio``, ``tax_ratio``)
        and what it paid and earned by kind, as fractions of the initial capital (the totals of
        :attr:`costs`): ``costs_paid_fees``, ``costs_paid_taxes``, ``costs_paid_slippage``,
        ``costs_paid_impact``, ``costs_paid_borrow``, ``costs_paid_margin``,
        ``income_cash_interest`` and ``income_dividends`` (NaN for a result that does not
        record its costs).

        Numbers only, as float64 (``result.stats.round(3)`` works); their dates
        are in :attr:`dates`. Trades count round trips; see :meth:`compute_stats`
        for other choices and :func:`vantrel.performance_stats` for the definitions.
        """
        return self.compute_stats()

    @cached_property
    def dates(self) -> pd.Series:
        """The dates of the statistics: ``start``, ``end``, ``max_drawdown_peak``,
        ``max_drawdown_trough`` and ``max_drawdown_recovery`` (see
        :func:`vantrel.performance_dates`)."""
        figures = self._figures
        if figures is not None:
            index, at = figures[3], [figures[2][key] for key in DATE_KEYS]  # bar numbers, -1 for none
            stamps = pd.DatetimeIndex([index[i] if i >= 0 else pd.NaT for i in at], dtype=self.equity.index.dtype)
            return pd.Series(stamps, index=list(DATE_KEYS), name="dates")
        return performance_dates(self.equity)

    @cached_property
    def _figures(self) -> tuple[pd.Index, np.ndarray, dict, pd.DatetimeIndex] | None:
        """The statistics (labels and values) and dates (as bar numbers of the market's index,
        the fourth) straight from the engine's arrays (the same figures to the bit, without a
        frame), while the trade table is not built; None where they do not apply."""
        log: Any = self.__dict__.get("_trades", self.__dict__.get("trades"))
        if self.benchmark is not None or isinstance(log, pd.DataFrame) or not hasattr(log, "log"):
            return None
        index, values = log.index, self.equity.to_numpy(dtype=np.float64)
        first = len(index) - len(values)
        span = getattr(log, "span", None)  # the market's bars from the first, when the run kept them
        if span is None or span.first != first:
            span = None if first < 0 else CurveSpan(index, first)
        if span is None or not covered(values) or not self.equity.index.equals(span.bars):
            return None
        costs = (float(self.settings.get("fee_ratio", np.nan)), float(self.settings.get("tax_ratio", np.nan)))
        paid: Any = self.__dict__.get("_costs")
        if isinstance(paid, pd.DataFrame):
            extra = costs_paid(paid).to_dict()
        elif hasattr(paid, "per_bar"):  # the engine's costs, tabled on first use
            extra = costs_paid_from(paid.per_bar, paid.first_bar, paid.kinds)
        else:
            extra = dict.fromkeys(COSTS_PAID, np.nan)
        padded = np.concatenate([np.empty(first), values])  # the engine's series covers every bar
        computed = curve_statistics(
            index, first, [padded], [log.log], self.risk_free, [costs], [extra], span=span, dates_as_bars=True
        )
        if computed is None:
            return None
        stats, dates = computed[0]
        return _stats_index(tuple(stats)), np.fromiter(stats.values(), np.float64, len(stats)), dates, index

    @cached_property
    def benchmark_stats(self) -> pd.Series | None:
        """The same performance statistics for the benchmark's curve, or None."""
        if self.benchmark is None:
            return None
        return performance_stats(self.benchmark, risk_free=self.risk_free)

    @cached_property
    def benchmark_dates(self) -> pd.Series | None:
        """The same dates for the benchmark's curve, or None."""
        if self.benchmark is None:
            return None
        return performance_dates(self.benchmark)

    def compute_stats(
        self, *, trades_by: str | None = None, periods_per_year: float | None = None, min_years: float = MIN_YEARS
    ) -> pd.Series:
        """Performance statistics with other choices than :attr:`stats` (numbers only, like it).

        Parameters
        ----------
        trades_by : "round_trip" or "record", optional
            Count round trips (the default when the trade table has them) or
            trade records (each rebalance that re-sizes a holding starts one).
        periods_per_year, min_years
            As in :func:`vantrel.performance_stats`.
        """
        if trades_by in (None, "round_trip") and periods_per_year is None and min_years == MIN_YEARS:
            figures = self._figures
            if figures is not None:  # a Series of its own each time, over a copy of the figures
                return pd.Series(figures[1].copy(), index=figures[0], name="stats", copy=False)
        trades = self._trades_for_stats()
        if trades_by is None:
            trades_by = "round_trip" if "round_trip" in trades.columns else "record"
        out = performance_stats(
            self.equity,
            trades,
            benchmark=self.benchmark,
            risk_free=self.risk_free,
            periods_per_year=periods_per_year,
            trades_by=trades_by,
            min_years=min_years,
        )
        costs = pd.Series(
            {
                "fee_ratio": self.settings.get("fee_ratio", np.nan),
                "tax_ratio": self.settings.get("tax_ratio", np.nan),
            },
            dtype=np.float64,
        )
        # One concatenation: growing a Series key by key copies it each time.
        return pd.concat([out, costs, costs_paid(getattr(self, "costs", None))]).rename(out.name)

    def bootstrap(self, stat="sharpe", n: int = 1000, seed=None, block: float | None = None, level: float = 0.95):
        """A confidence interval of a statistic by the stationary bootstrap of the per-bar returns.

        Resamples keep runs of consecutive bars together (blocks of random
        length, Politis and Romano, 1994), so that volatility clustering and
        autocorrelation survive, unlike resampling bars one by one.

        Parameters
        ----------
        stat : str or callable
            ``"sharpe"``, ``"sortino"``, ``"cagr"``, ``"max_drawdown"`` or
            ``"total_return"``, defined as in :attr:`stats` (the ratios in
            excess of the run's risk-free rate, each bar keeping its own
            rate); or a function of a 2-D array of resampled returns (one
            resample per row) giving one value per row.
        n : int
            Number of resamples, at least 100.
        seed : int or numpy.random.Generator, optional
            The same seed gives the same interval.
        block : float, optional
            Mean block length in bars (at least 1). None: chosen from the
            returns by the rule of Politis and White (2004) with the
            correction of Patton, Politis and White (2009); see docs/trust.md.
        level : float
            Coverage of the interval, strictly between 0 and 1.

        Returns
        -------
        BootstrapInterval
            ``low`` and ``high`` (percentile interval), ``estimate`` (the
            statistic of the returns themselves: ``stats[stat]`` to rounding
            for a named one), ``block``, ``n``, ``level`` and the ``samples``.

        Raises
        ------
        ValueError
            An unknown ``stat``, ``n`` below 100, ``level`` outside (0, 1), a
            ``block`` below 1, or an annualised statistic (Sharpe, Sortino,
            CAGR) of a curve spanning less than the quarter of a year that
            :attr:`stats` needs to annualise.
        """
        from .resampling import bootstrap

        return bootstrap(self, stat, n=n, seed=seed, block=block, level=level)

    def cost_sensitivity(self):
        """Sharpe ratio and CAGR at 0, 1, 2 and 3 times the run's costs, and the break-even fee.

        Re-runs the backtest with its trading costs scaled (``fee_ratio``,
        ``tax_ratio``, and ``min_fee``, ``slippage`` and ``impact`` when it has
        them), all other options as they were. ``break_even_fee`` is the ``fee_ratio`` at
        which the CAGR is 0 (the tax and the other options as the run had
        them), found by re-running the engine: bracketed from 0 upwards, then
        Brent's method to a fee within 1e-12.

        Returns
        -------
        CostSensitivity
            ``table`` (one row per multiple: ``fee_ratio``, ``tax_ratio``,
            ``sharpe``, ``cagr``) and ``break_even_fee``: NaN when the strategy
            does not make money at a fee of 0, inf when it still does at 99%.

        Raises
        ------
        ValueError
            For a result that cannot re-run its backtest (unpickled or built
            by hand).
        """
        from .costs import cost_sensitivity

        return cost_sensitivity(self)

    def random_benchmark(self, n: int = 1000, seed: int | None = None, *, workers: int | None = None):
        """The strategy's Sharpe ratio among portfolios that pick their stocks at random.

        Each random portfolio has the strategy's weight rows (so the same
        rebalance dates), options and costs; on each row it holds as many
        stocks as the strategy does there, drawn without replacement among
        the stocks with a close price on the bar the row is read on, and gives
        them the strategy's weights of that row in random order.

        Parameters
        ----------
        n : int
            Number of random portfolios, at least 100 (each is one backtest).
        seed : int, optional
            The same seed draws the same portfolios.
        workers : int, optional
            Threads that run the backtests; by default one per CPU.

        Returns
        -------
        RandomBenchmark
            The strategy's ``sharpe``, the random portfolios' ``samples`` and
            ``share``: the share of them with a Sharpe ratio at least the
            strategy's.

        Raises
        ------
        ValueError
            For ``n`` below 100, or a result that cannot re-run its backtest.
        """
        from .costs import rerun_of
        from .random_portfolios import random_benchmark

        return random_benchmark(self, rerun_of(self, "random_benchmark"), n=n, seed=seed, workers=workers)

    def plot(self, kind: str = "equity", **options):
        """Draw one chart of the result.

        Parameters
        ----------
        kind : str
            ``"equity"`` (equity, against the benchmark when there is one, and
            drawdown; ``scales="log"``, ``"linear"`` or ``"both"``),
            ``"drawdown"`` (underwater), ``"yearly"`` (calendar-year returns),
            ``"rolling"`` (6- and 12-month Sharpe ratio and volatility),
            ``"distribution"`` (histogram of bar returns), ``"exposure"``
            (long and short weight and number of holdings), ``"sectors"``
            (weight per sector; ``sectors=`` when the result has none) or
            ``"excursions"`` (each trade's worst excursion against its return).
        **options
            Passed to the chart.

        Returns
        -------
        matplotlib.figure.Figure
        """
        from .._report.charts import FIGURES

        figure = FIGURES.get(kind)
        if figure is None:
            kinds = ", ".join(f'"{k}"' for k in FIGURES)
            raise ValueError(f"plot kind must be one of {kinds}, got {kind!r}")
        return figure(self, **options)

    def report(self, path, *, title: str = "Backtest report", sectors: pd.Series | None = None) -> Path:
        """Write the tear sheet as one self-contained HTML file.

        Parameters
        ----------
        path : str or Path
            The file to write, ending in .html or .htm; missing folders are created.
        title : str
            The page title.
        sectors : Series, optional
            Sector label per stock, for the sector weights chart; by default
            the result's own ``sectors``.

        Returns
        -------
        Path
            The path written.
        """
        from .._report.tearsheet import write_report

        path = Path(path)
        if path.suffix.lower() not in (".html", ".htm"):
            raise ValueError(
                f"the report is one HTML page: give a path ending in .html or .htm, got {str(path)!r} "
                "(a browser prints the page to PDF)"
            )
        return write_report(self, path, title=title, sectors=sectors)

    def __repr__(self) -> str:
        if not len(self.equity):
            return "BacktestResult(no bars)"
        from .._report.formatting import format_stat

        s = self.stats
        shown = [
            ("total return", "total_return"),
            ("CAGR", "cagr"),
            ("Sharpe", "sharpe"),
            ("max drawdown", "max_drawdown"),
        ]
        parts = [f"{label} {format_stat(key, s.get(key))}" for label, key in shown if key in s.index]
        if "trades" in s.index:
            parts.append(f"{format_stat('trades', s['trades'])} trades")
        span = f"{format_stat('start', self.equity.index[0])} to {format_stat('end', self.equity.index[-1])}"
        return f"BacktestResult({span}, {', '.join(parts)})"

    def _repr_html_(self) -> str:
        """Key statistics and a small equity chart, for notebooks."""
        from .._report.notebook import result_html

        return result_html(self)
