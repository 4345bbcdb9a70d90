"""``vantrel run``: backtest your own weights on your own prices."""

from __future__ import annotations

from pathlib import Path

from .options import add_cost_options, add_execution_options, execution_options, market_data_options
from .outputs import write_outputs
from .prices import load_prices
from .progress import Progress

DEFAULT_RUN_DIR = Path("vantrel-output") / "run"

__all__ = ["add_run_command"]


def add_run_command(commands) -> None:
    run = commands.add_parser(
        "run",
        help="backtest your own weights and prices",
        description="Backtest your own target weights on your own prices: wide files (--close, "
        "--open, ...: dates x stocks), a long file (--prices: date, ticker, open, high, "
        "low, close) or per-ticker files (--prices DIR, a glob or one file). "
        "No costs unless you give them: --fee-ratio 0.001425 --tax-ratio 0.003 "
        "charges a 0.1425% fee on every trade and a 0.3% tax on every sale.",
    )
    prices = run.add_mutually_exclusive_group(required=True)
    prices.add_argument("--close", type=Path, help="close prices, dates x stocks (CSV or Parquet)")
    prices.add_argument(
        "--prices",
        type=Path,
        help="a long file (date, ticker, open/high/low/close columns), a directory or glob of "
        "per-ticker OHLCV files, or one such file; adjusted by an adjusted close column when there is one",
    )
    run.add_argument("--weights", type=Path, required=True, help="target weights, signal dates x stocks")
    for name in ("open", "high", "low"):
        run.add_argument(f"--{name}", type=Path, help=f"{name} prices, same dates and stocks as --close")
    run.add_argument(
        "--ticker",
        metavar="REGEX",
        help="with per-ticker --prices: the ticker in each file name, e.g. 'ohlc_(.+)' (default: the name)",
    )
    run.add_argument("--dayfirst", action="store_true", help="read dates such as 03/04/2024 as 3 April")
    run.add_argument(
        "--ohlc-tolerance",
        type=float,
        default=0.0,
        help="accept open/close this far (a fraction) outside [low, high] (default %(default)s)",
    )
    run.add_argument("--no-ohlc-check", action="store_true", help="do not check that bars are consistent")
    market_data_options(run)
    run.add_argument("--delisting", choices=["infer"], help="infer delisting from each stock's last price")
    run.add_argument("--rebalance", help='offset alias such as "W-FRI", "ME", "QE" (default: every signal date)')
    run.add_argument("--trade-at", choices=["close", "open"], default="close")
    add_cost_options(run)
    add_execution_options(run)
    run.add_argument(
        "--benchmark", help='"equal_weight" (the universe), a stock label, or a CSV/Parquet file of prices'
    )
    run.add_argument(
        "--risk-free",
        type=float,
        default=0.0,
        help="annual risk-free rate as a fraction, e.g. 0.04 (default %(default)s)",
    )
    run.add_argument("--stop-loss", type=float, help="fraction of the entry price, e.g. 0.1 for 10%%")
    run.add_argument("--take-profit", type=float, help="fraction of the entry price, e.g. 0.2 for 20%%")
    run.add_argument("--trail-stop", type=float, help="fall from the best return since entry, e.g. 0.1")
    run.add_argument("--trail-stop-activation", type=float, default=0.0)
    run.add_argument("--touched-exit", action="store_true", help="exit at touched stop levels within the bar")
    run.add_argument("--position-limit", type=float, default=1.0)
    run.add_argument("--retain-cost-when-rebalance", action="store_true")
    run.add_argument(
        "--no-stop-trading-next-period",
        dest="stop_trading_next_period",
        action="store_false",
        help="let a stopped-out stock back in at the next rebalance",
    )
    run.add_argument("--excursion-window", type=int, default=0)
    run.add_argument("--excursion-window-step", type=int, default=1)
    run.add_argument(
        "--no-periodically-rebalance",
        dest="periodically_rebalance",
        action="store_false",
        help="one trade record per holding from entry to exit (the equity is the same)",
    )
    run.add_argument("--title", default="Backtest report")
    run.add_argument("--out", type=Path, default=DEFAULT_RUN_DIR, help=f"output folder (default {DEFAULT_RUN_DIR})")
    run.add_argument("--quiet", action="store_true", help="no progress messages")
    run.set_defaults(handler=_run)


def _run(args) -> int:
    from .._backtest import backtest
    from ..datasets import load_market, read_wide

    progress = Progress(3, args.quiet)
    source = args.close or args.prices
    progress(f"loading prices from {source} and weights from {args.weights}")
    tolerance = None if args.no_ohlc_check else args.ohlc_tolerance
    if args.prices is None:
        market = load_market(
            args.close,
            open=args.open,
            high=args.high,
            low=args.low,
            delisting=args.delisting,
            dayfirst=args.dayfirst,
            ohlc_tolerance=tolerance,
        )
    else:
        if args.open or args.high or args.low:
            raise ValueError("--open, --high and --low go with --close; --prices holds all fields")
        market = load_prices(
            args.prices, ticker=args.ticker, dayfirst=args.dayfirst, delisting=args.delisting, ohlc_tolerance=tolerance
        )
    weights = read_wide(args.weights, dayfirst=args.dayfirst)
    market = _with_market_data(market, args)
    progress(f"backtesting {weights.shape[1]} stocks over {len(market.index)} bars")
    result = backtest(
        weights,
        market,
        rebalance=args.rebalance,
        trade_at=args.trade_at,
        stop_loss=args.stop_loss,
        take_profit=args.take_profit,
        trail_stop=args.trail_stop,
        trail_stop_activation=args.trail_stop_activation,
        touched_exit=args.touched_exit,
        position_limit=args.position_limit,
        retain_cost_when_rebalance=args.retain_cost_when_rebalance,
        stop_trading_next_period=args.stop_trading_next_period,
        excursion_window=args.excursion_window,
        excursion_window_step=args.excursion_window_step,
        periodically_rebalance=args.periodically_rebalance,
        benchmark=_benchmark(args.benchmark, args.dayfirst),
        risk_free=args.risk_free,
        **execution_options(args),
    )
    progress(f"writing the report to {args.out}")
    write_outputs(result, args.out, args.title)
    return 0


def _with_market_data(market, args):
    """The market with the volume, dividends and splits files given beside the prices."""
    from ..datasets import read_wide

    files = {name: getattr(args, name) for name in ("volume", "dividends", "splits")}
    given = {name: read_wide(path, dayfirst=args.dayfirst) for name, path in files.items() if path is not None}
    return market.with_data(**given) if given else market


def _benchmark(text: str | None, dayfirst: bool):
    """A file of benchmark prices (one column besides the dates), else a label or "equal_weight"."""
    if text is None:
        return None
    path = Path(text)
    if path.suffix.lower() not in (".csv", ".gz", ".parquet", ".pq"):
        return text
    from ..datasets import read_wide

    prices = read_wide(path, dayfirst=dayfirst)
    if prices.shape[1] != 1:
        raise ValueError(
            f"{path.name}: a benchmark file holds dates and one column of prices, found {prices.shape[1]} columns"
        )
    return prices.iloc[:, 0]
