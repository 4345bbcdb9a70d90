"""``vantrel.backtest``: check the user's frames, run the engine, assemble the result."""

from __future__ import annotations

import functools
import threading
import weakref
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
import pandas as pd

from .._batch_stats import curve_span
from .._checks import real_number, whole_number
from .._results.backtest import BacktestResult
from .._series import benchmark_curve
from ..market import Market
from .benchmark import benchmark_prices, describe_benchmark
from .calendar import rebalance_calendar
from .costs import cost_ratio
from .engine import run_engine
from .execution import execution_options
from .fills import CostsPerBar, fills_table
from .rerun import Rerun
from .stop_inputs import NO_STOP_LOSS, NO_TAKE_PROFIT, stop_level, stop_setting
from .trade_log import TradeLog, portfolio_table
from .weights import CheckedWeights

if TYPE_CHECKING:
    from vantrel.core._engine import RunResult

__all__ = ["CheckedWeights", "PreparedRun", "backtest", "prepare_backtest"]


def backtest(
    weights: pd.DataFrame,
    market: Market | pd.DataFrame,
    *,
    rebalance=None,
    trade_at: str = "close",
    fee_ratio: float = 0.0,
    tax_ratio: float = 0.0,
    stop_loss=None,
    take_profit=None,
    trail_stop: float | None = None,
    trail_stop_activation: float = 0.0,
    touched_exit: bool = False,
    position_limit: float = 1.0,
    retain_cost_when_rebalance: bool = False,
    stop_trading_next_period: bool = True,
    excursion_window: int = 0,
    excursion_window_step: int = 1,
    periodically_rebalance: bool = True,
    benchmark=None,
    risk_free: float | pd.Series = 0.0,
    capital: float | None = None,
    lot_size: float | pd.Series = 1,
    min_fee: float = 0.0,
    slippage: float | pd.Series = 0.0,
    impact: float = 0.0,
    participation: float | None = None,
    price_limit: float | None = None,
    cash_rate: float | pd.Series = 0.0,
    borrow_rate: float | pd.Series = 0.0,
    leverage: float = 1.0,
    margin_rate: float = 0.0,
) -> BacktestResult:
    """Backtest a table of target weights on a market.

    Timing: a weight row dated ``t`` becomes visible at the end of the last
    bar dated on or before ``t`` and is traded on the next bar whose
    rebalancing calendar allows it, at the trading price (``trade_at``).
    Holdings are valued at the close. So a row dated between bars (a month
    end on a Sunday, 15:00 on daily bars, a holiday) counts as dated on the
    bar before it; when several rows land on one bar, the latest is the one
    in force at its end and the earlier ones are never traded. Rows dated
    after the last bar land on it (the latest is the final portfolio's next
    weight); rows dated before the first bar become visible at its end.
    The equity curve starts on the bar the first row becomes visible on; the
    trade table's signal dates are bars too, while the final portfolio's
    ``weight_date`` and ``next_weight_date`` are the rows' own dates, as in
    ``weights``.

    Parameters
    ----------
    weights : DataFrame
        Target weights, signal dates x stock labels; positive is long,
        negative short. A row whose absolute weights sum to more than 1 is
        scaled down to a sum of 1. NaN means "no position" and counts as 0;
        boolean signals count as weight 1 per selected stock (so an equal
        split). Every column must have prices in ``market``, and a stock
        given a weight must have a close price on at least one bar. The
        dates must be in the prices' time zone (or both naive). Weights of a
        stock on or after its delisting bar count as 0.
    market : Market or DataFrame
        The prices; a DataFrame is taken as close prices.
    rebalance : None, str or dates
        When new weights may be traded: None for every signal date, a pandas
        offset alias ("W-FRI", "ME", "QE", ...) for period ends, or explicit
        dates. A calendar date allows trading on the bar after the last bar
        dated on or before it.
    trade_at : "close" or "open"
        The price that fills trades.
    fee_ratio, tax_ratio : float
        Fee on every trade and tax on every sale, as fractions of the value
        traded. No costs by default; a market charging a 0.1425% commission
        and a 0.3% sales tax is ``fee_ratio=0.001425, tax_ratio=0.003``. A
        rate of 1 or more is refused, and one above 0.05 (5%) is used with a
        :class:`CostWarning`: both are nearly always a percentage typed as a
        number.
    stop_loss, take_profit : number, Series or DataFrame, optional
        Exit when a holding's return since entry falls by ``stop_loss`` or rises
        by ``take_profit``, as fractions of the entry price from 0 to 1 (0.1 for
        10%; a level above 1 is refused as a percentage typed as a number): one
        number, one per stock (Series by label), or a dated table (dates x
        stocks) applied as of its dates. Missing stocks and NaN cells mean no
        stop.
    trail_stop, trail_stop_activation : float
        Exit when the return falls ``trail_stop`` (a fraction from 0 to 1) below
        its best since entry, once that best has gained ``trail_stop_activation``
        (a gain, which may exceed 1).
    touched_exit : bool
        Exit within the bar at the stop level when the high or low reaches it
        (needs open, high and low prices); otherwise stops are tested on the
        close and the exit trades on the next bar.
    position_limit : float
        Largest absolute weight of one stock.
    retain_cost_when_rebalance : bool
        Keep a holding's entry price (and so its stop levels) through
        rebalances that keep it on the same side.
    stop_trading_next_period : bool
        A stock that left by a stop is not re-entered at the next rebalance,
        whatever its weight there; it can come back at the one after.
    excursion_window, excursion_window_step : int
        Also sample each trade's excursion statistics every ``step`` bars over
        the first ``window`` bars after its entry; the window can be at most
        the market's number of bars.
    periodically_rebalance : bool
        How trades are recorded, not how the book is managed: continuing
        holdings are re-sized to their target weight at every rebalance either
        way, and the equity is the same. True starts a new trade record for each
        re-sized holding; False keeps one record from entry to exit.
    benchmark : None, Series, label or "equal_weight"
        What to compare with: a price Series (each bar takes its latest price
        dated on or before the bar), the label of a stock of ``market`` (its
        close), or ``"equal_weight"``: the equal-weight universe, each bar's
        mean return over the stocks priced on both that bar and the previous
        one, compounded. It needs a price on or before the first bar.
    risk_free : float or Series
        Annual risk-free rate as a fraction (0.04 = 4%), or a Series of annual
        rates by date, read as of each bar; turned into a rate per bar by the
        calendar time between bars. Sharpe, Sortino and alpha use returns in
        excess of it.
    capital : float, optional
        Trade in shares with this much currency. A target weight becomes the
        whole number of lots whose value fits it (for a purchase, its value
        plus its costs), the rest stays in cash, and holdings are valued at
        their shares times the close. Purchases never take cash below zero
        (below ``-(leverage - 1)`` times the portfolio value with leverage);
        what they cannot pay for waits as an order. None (the default) trades
        fractional weights as always: a purchase's costs come out of the
        position, and cash may end slightly negative.
    lot_size : float or Series
        Shares per board lot, one number or a Series by stock (every stock of
        the weights); needs ``capital``.
    min_fee : float
        Least fee per fill, in currency; needs ``capital``.
    slippage : float or Series
        A fraction of the price (or one per stock): purchases fill at
        ``price x (1 + slippage)``, sales at ``price x (1 - slippage)``.
    impact : float
        Coefficient k of the square-root law: a fill of q shares pays a further
        ``k x sigma x sqrt(q / ADV)`` of the price, sigma the sample standard
        deviation of the daily close-to-close returns and ADV the mean volume,
        both over the 20 bars before the fill's (0 when the window has fewer
        than two returns or no volume). Needs volume in the market. In
        fractional weights q is value / price: the shares of a portfolio worth
        one unit of currency at the start, so use ``capital`` for a real scale.
    participation : float, optional
        Largest share of a bar's volume one stock may trade on it, from 0 to 1,
        buys and sales together, stop exits included. The rest of an order is
        carried, as the number of shares decided, to the next bars until it
        fills or the next rebalance replaces it. Needs volume in the market.
    price_limit : float, optional
        Daily price limit as a fraction (0.1 for 10%): nothing is bought on a
        bar whose close is at or above ``previous close x (1 + price_limit)``,
        nothing sold at or below ``previous close x (1 - price_limit)``
        (relative tolerance 1e-6); the order waits as with ``participation``.
    cash_rate : float or Series
        Annual interest on positive cash, or a Series of rates by date (read
        as of each bar): each bar after the first adds ``cash x rate x days /
        365`` for the calendar days since the previous bar, at the rate in
        force on that previous bar.
    borrow_rate : float or Series
        Annual fee on shorts (or one per stock): a short pays ``|value| x rate x
        days / 365`` on every bar after the one it opens on, on its value at
        the previous close.
    leverage : float
        Largest gross exposure (sum of absolute weights) as a multiple of the
        portfolio value: rows are scaled down only beyond it (1, the default,
        is the rule above).
    margin_rate : float
        Annual interest on negative cash, charged like ``cash_rate``.

    Returns
    -------
    BacktestResult
        Equity, trades, fills, costs, final portfolio, statistics, and the
        benchmark's curve and statistics when one is given.

    Notes
    -----
    With any of ``capital``, ``slippage``, ``impact``, ``participation`` or
    ``price_limit`` set, every trade is an order in shares that fills only on a
    bar with a price (and volume above 0 when the market has volume), within
    the limits and the cap; stop exits and rebalances alike. Delisting closes
    always fill. The market's dividends are paid in cash on the ex-date bar to
    the holders at the previous close (shorts pay them) and its splits
    multiply the shares held and ordered; prices are then quoted ones, and the
    engine marks them split-adjusted, so a split moves neither the equity nor
    the stops nor the excursion statistics. Dividends and borrow fees are in
    the profit of the trade that held the stock; cash and margin interest are
    in ``costs`` only, so ``1 + trades.profit.sum() + costs.cash_interest.sum()
    - costs.margin_interest.sum()`` is the final equity. See
    ``docs/execution.md`` for the order of things within a bar.
    """
    run = prepare_backtest(
        weights,
        market,
        rebalance=rebalance,
        trade_at=trade_at,
        fee_ratio=fee_ratio,
        tax_ratio=tax_ratio,
        stop_loss=stop_loss,
        take_profit=take_profit,
        trail_stop=trail_stop,
        trail_stop_activation=trail_stop_activation,
        touched_exit=touched_exit,
        position_limit=position_limit,
        retain_cost_when_rebalance=retain_cost_when_rebalance,
        stop_trading_next_period=stop_trading_next_period,
        excursion_window=excursion_window,
        excursion_window_step=excursion_window_step,
        periodically_rebalance=periodically_rebalance,
        benchmark=benchmark,
        risk_free=risk_free,
        capital=capital,
        lot_size=lot_size,
        min_fee=min_fee,
        slippage=slippage,
        impact=impact,
        participation=participation,
        price_limit=price_limit,
        cash_rate=cash_rate,
        borrow_rate=borrow_rate,
        leverage=leverage,
        margin_rate=margin_rate,
    )
    return run.finish(run_engine(**run.engine))


@dataclass(frozen=True)
class PreparedRun:
    """One backtest checked and ready for the engine: its arguments, and what builds the
    result from the engine's output. A sweep prepares many, runs them in one native batch."""

    engine: dict
    market: Market
    book: CheckedWeights
    first: int  # the bar on which the first weight row becomes visible: the curve's first bar
    touched: bool
    window: int
    window_step: int
    settings: dict
    bench_prices: pd.Series | None
    risk_free: float | pd.Series
    capital: float | None
    options_given: dict  # what cost_sensitivity and random_benchmark re-run, some changed

    def finish(self, output: RunResult) -> BacktestResult:
        """The result of the engine's output for this run."""
        market, labels, first = self.market, self.book.labels, self.first
        span = curve_span(market, first)
        # A view of the bars: its own name, and equal to them at a glance (the statistics check).
        equity = pd.Series(output.values[first:], index=span.bars.view(), name="equity")
        trades = TradeLog(
            output.trades,
            market.index,
            labels,
            touched_exit=self.touched,
            window=self.window,
            step=self.window_step,
            span=span,
        )
        # Built on first use, like the trade table.
        portfolio = functools.partial(
            portfolio_table, output.portfolio, output.weight_row, output.next_weight_row, labels, self.book.row_dates
        )
        bench = None if self.bench_prices is None else benchmark_curve(self.bench_prices, equity.index)
        result = BacktestResult(equity, trades, portfolio, self.settings, benchmark=bench, risk_free=self.risk_free)
        result.fills = functools.partial(fills_table, output.fills, market.index, labels, self.capital)
        result.costs = CostsPerBar(output.costs, market.index, first)
        result.capital = self.capital
        result.sectors = market.sectors
        result._rerun = Rerun(self.book, market, self.options_given)
        return result


def prepare_backtest(
    weights: pd.DataFrame,
    market: Market | pd.DataFrame,
    *,
    rebalance=None,
    trade_at: str = "close",
    fee_ratio: float = 0.0,
    tax_ratio: float = 0.0,
    stop_loss=None,
    take_profit=None,
    trail_stop: float | None = None,
    trail_stop_activation: float = 0.0,
    touched_exit: bool = False,
    position_limit: float = 1.0,
    retain_cost_when_rebalance: bool = False,
    stop_trading_next_period: bool = True,
    excursion_window: int = 0,
    excursion_window_step: int = 1,
    periodically_rebalance: bool = True,
    benchmark=None,
    risk_free: float | pd.Series = 0.0,
    capital: float | None = None,
    lot_size: float | pd.Series = 1,
    min_fee: float = 0.0,
    slippage: float | pd.Series = 0.0,
    impact: float = 0.0,
    participation: float | None = None,
    price_limit: float | None = None,
    cash_rate: float | pd.Series = 0.0,
    borrow_rate: float | pd.Series = 0.0,
    leverage: float = 1.0,
    margin_rate: float = 0.0,
) -> PreparedRun:
    """Everything ``backtest`` does before the engine runs, with its arguments and checks."""
    # Every option as given (first, while the locals are the parameters), for the result to re-run.
    options_given = {name: value for name, value in locals().items() if name not in ("weights", "market")}
    if isinstance(market, pd.DataFrame):
        market = Market(market)
    if not isinstance(market, Market):
        raise TypeError(f"market must be a Market or a DataFrame of close prices, got {type(market).__name__}")
    book = (
        weights if isinstance(weights, CheckedWeights) and weights.market is market else CheckedWeights(weights, market)
    )
    signals, labels, pos_values = book.signals, book.labels, book.values
    if trade_at not in ("close", "open"):
        raise ValueError(f'trade_at must be "close" or "open", got {trade_at!r}')
    if trade_at == "open" and not market.has("open"):
        raise ValueError('trade_at="open" needs open prices in the market')
    if touched_exit and not all(market.has(k) for k in ("open", "high", "low")):
        raise ValueError("touched_exit needs open, high and low prices in the market")
    # The benchmark and the rates are checked on the curve's bars before the engine runs.
    bars = book.curve_bars
    first = len(market.index) - len(bars)
    bench_prices = benchmark_prices(benchmark, market)
    if bench_prices is not None:
        benchmark_curve(bench_prices, bars)
    curve_span(market, first).risk_free_per_bar(risk_free)  # checked once per plain rate and market

    def stops(setting, name, neutral):
        return stop_setting(setting, name, neutral, market, labels)

    execution = execution_options(
        market,
        labels,
        first,
        capital=capital,
        lot_size=lot_size,
        min_fee=min_fee,
        slippage=slippage,
        impact=impact,
        participation=participation,
        price_limit=price_limit,
        cash_rate=cash_rate,
        borrow_rate=borrow_rate,
        leverage=leverage,
        margin_rate=margin_rate,
    )

    window = whole_number(excursion_window, "excursion_window", minimum=0)
    window_step = whole_number(excursion_window_step, "excursion_window_step", minimum=1)
    options = dict(
        fee_ratio=cost_ratio(fee_ratio, "fee_ratio"),
        tax_ratio=cost_ratio(tax_ratio, "tax_ratio"),
        trail_stop=np.inf if trail_stop is None else stop_level(trail_stop, "trail_stop"),
        trail_stop_activation=real_number(trail_stop_activation, "trail_stop_activation", minimum=0.0),
        position_limit=real_number(position_limit, "position_limit", minimum=0.0, allow_inf=True),
        retain_cost_when_rebalance=bool(retain_cost_when_rebalance),
        stop_trading_next_period=bool(stop_trading_next_period),
        excursion_window=window,
        excursion_window_step=window_step,
        periodically_rebalance=bool(periodically_rebalance),
    )
    if options["position_limit"] == 0:
        raise ValueError("position_limit must be positive")
    if window > len(market.index):
        # Each sampled offset adds six columns to the trade table: a window past the data only costs memory.
        raise ValueError(
            f"excursion_window is {window}, more than the market's {len(market.index)} bars: "
            f"trades are sampled over the bars after their entry, so the window can be at most {len(market.index)}"
        )
    stop_levels = {}
    for name, setting, neutral in (
        ("stop_loss", stop_loss, NO_STOP_LOSS),
        ("take_profit", take_profit, NO_TAKE_PROFIT),
    ):
        levels = stops(setting, name, neutral)
        if levels is not None:
            stop_levels[name], stop_levels[f"{name}_rows"] = levels.values, levels.rows

    touched = bool(touched_exit)
    prices = {k: execution.prices(market, k) for k in ("high", "low", "open")} if touched else {}
    engine = dict(
        prices=execution.prices(market, trade_at),
        close=execution.prices(market, "close"),
        bar_dates=market.index_ns,
        weights=pos_values,
        weight_dates=book.signal_dates,
        stock_columns=book.stock_columns,
        calendar=_calendar_of(rebalance, market, signals),
        delisting_bars=book.delisting_bars,
        touched_exit=touched,
        **prices,
        **stop_levels,
        **options,
        **execution.engine,
    )

    settings = dict(
        rebalance=rebalance if isinstance(rebalance, str) or rebalance is None else "dates",
        trade_at=trade_at,
        fee_ratio=options["fee_ratio"],
        tax_ratio=options["tax_ratio"],
        stop_loss=_describe_stop(stop_loss),
        take_profit=_describe_stop(take_profit),
        trail_stop=options["trail_stop"],
        trail_stop_activation=options["trail_stop_activation"],
        touched_exit=touched,
        position_limit=options["position_limit"],
        retain_cost_when_rebalance=options["retain_cost_when_rebalance"],
        stop_trading_next_period=options["stop_trading_next_period"],
        excursion_window=window,
        excursion_window_step=window_step,
        periodically_rebalance=options["periodically_rebalance"],
        benchmark=describe_benchmark(benchmark),
        risk_free="Series" if isinstance(risk_free, pd.Series) else float(risk_free),
        **execution.settings,
    )
    return PreparedRun(
        engine,
        market,
        book,
        first,
        touched,
        window,
        window_step,
        settings,
        bench_prices,
        risk_free,
        execution.capital,
        options_given,
    )


def _calendar_of(rebalance, market: Market, signals) -> np.ndarray:
    """The rebalancing calendar; an offset alias depends on the market alone, so the
    market keeps it (a sweep asks for the same one for every variant). So do explicit
    dates given as a DatetimeIndex, which cannot change: the same object reads alike."""
    if isinstance(rebalance, str):
        return market.cached(("rebalance", rebalance), lambda: rebalance_calendar(rebalance, market.index, signals))
    if not isinstance(rebalance, pd.DatetimeIndex):
        return rebalance_calendar(rebalance, market.index, signals)
    calendars = market.cached("rebalance indexes", dict)
    found = calendars.get(id(rebalance))
    if found is not None and found[0]() is rebalance:
        return found[1]
    calendar = rebalance_calendar(rebalance, market.index, signals)
    calendar.flags.writeable = False  # shared by every run given these dates
    with _CALENDARS_LOCK:
        calendars.pop(id(rebalance), None)
        calendars[id(rebalance)] = (weakref.ref(rebalance), calendar)
        while len(calendars) > _CALENDARS_KEPT:
            calendars.pop(next(iter(calendars)))
    return calendar


_CALENDARS_KEPT = 8  # explicit calendars kept per market: a sweep has few
_CALENDARS_LOCK = threading.Lock()  # a sweep's threads prepare their runs side by side


def _describe_stop(stop) -> str:
    if stop is None:
        return "none"
    if isinstance(stop, (pd.Series, pd.DataFrame)):
        return f"per-stock {type(stop).__name__}"
    return str(stop)
