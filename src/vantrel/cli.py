"""The ``vantrel`` command line: ``vantrel demo``, ``vantrel run`` and ``vantrel sweep``."""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

from . import __version__
from ._sweep.cli import add_sweep_command

DEFAULT_DEMO_DIR = Path("vantrel-output") / "demo"
DEFAULT_RUN_DIR = Path("vantrel-output") / "run"


class Progress:
    """Numbered steps with elapsed time, on stderr so stdout stays the results."""

    def __init__(self, steps: int, quiet: bool = False) -> None:
        self.steps, self.done, self.quiet = steps, 0, quiet
        self.started = time.perf_counter()

    def __call__(self, message: str) -> None:
        self.done += 1
        if not self.quiet:
            elapsed = time.perf_counter() - self.started
            print(f"[{self.done}/{self.steps} {elapsed:5.1f}s] {message}", file=sys.stderr, flush=True)


def main(argv=None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help()
        return 2
    try:
        return args.handler(args)
    except (ValueError, TypeError, FileNotFoundError) as error:
        print(f"vantrel {args.command}: error: {error}", file=sys.stderr)
        return 2


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vantrel", description="Backtest stock-portfolio strategies.")
    parser.add_argument("--version", action="version", version=f"vantrel {__version__}")
    commands = parser.add_subparsers(dest="command")

    demo = commands.add_parser("demo", help="monthly momentum with a stop-loss on the synthetic market")
    demo.add_argument("--out", type=Path, default=DEFAULT_DEMO_DIR, help=f"output folder (default {DEFAULT_DEMO_DIR})")
    demo.add_argument("--stocks", type=int, default=300, help="number of synthetic stocks (default 300)")
    demo.add_argument("--days", type=int, default=1500, help="number of trading days (default 1500)")
    demo.add_argument("--seed", type=int, default=7, help="seed of the synthetic market (default 7)")
    demo.add_argument("--top", type=int, default=20, help="stocks held (default 20)")
    _add_cost_options(demo)
    demo.add_argument("--quiet", action="store_true", help="no progress messages")
    demo.set_defaults(handler=_demo)

    run = commands.add_parser(
        "run", help="backtest your own weights and prices",
        description="Backtest your own target weights on your own prices: wide files (--close, "
                    "--open, ...: dates x stocks), a long file (--prices: date, ticker, open, high, "
                    "low, close) or a directory of per-ticker files (--prices DIR). "
                    "No costs unless you give them: --fee-ratio 0.001425 --tax-ratio 0.003 "
                    "charges a 0.1425% fee on every trade and a 0.3% tax on every sale.",
    )
    prices = run.add_mutually_exclusive_group(required=True)
    prices.add_argument("--close", type=Path, help="close prices, dates x stocks (CSV or Parquet)")
    prices.add_argument("--prices", type=Path,
                        help="a long file (date, ticker, open/high/low/close columns) or a directory of "
                             "per-ticker OHLCV files; adjusted by an adjusted close column when there is one")
    run.add_argument("--weights", type=Path, required=True, help="target weights, signal dates x stocks")
    for name in ("open", "high", "low"):
        run.add_argument(f"--{name}", type=Path, help=f"{name} prices, same dates and stocks as --close")
    run.add_argument("--ticker", metavar="REGEX",
                     help="with --prices DIR: the ticker in each file name, e.g. 'ohlc_(.+)' (default: the name)")
    run.add_argument("--dayfirst", action="store_true", help="read dates such as 03/04/2024 as 3 April")
    run.add_argument("--ohlc-tolerance", type=float, default=0.0,
                     help="accept open/close this far (a fraction) outside [low, high] (default %(default)s)")
    run.add_argument("--no-ohlc-check", action="store_true", help="do not check that bars are consistent")
    run.add_argument("--delisting", choices=["infer"], help="infer delisting from each stock's last price")
    run.add_argument("--rebalance", help='offset alias such as "W-FRI", "ME", "QE" (default: every signal date)')
    run.add_argument("--trade-at", choices=["close", "open"], default="close")
    _add_cost_options(run)
    run.add_argument("--benchmark",
                     help='"equal_weight" (the universe), a stock label, or a CSV/Parquet file of prices')
    run.add_argument("--risk-free", type=float, default=0.0,
                     help="annual risk-free rate as a fraction, e.g. 0.04 (default %(default)s)")
    run.add_argument("--stop-loss", type=float, help="fraction of the entry price, e.g. 0.1 for 10%%")
    run.add_argument("--take-profit", type=float, help="fraction of the entry price, e.g. 0.2 for 20%%")
    run.add_argument("--trail-stop", type=float, help="fall from the best return since entry, e.g. 0.1")
    run.add_argument("--trail-stop-activation", type=float, default=0.0)
    run.add_argument("--touched-exit", action="store_true", help="exit at touched stop levels within the bar")
    run.add_argument("--position-limit", type=float, default=1.0)
    run.add_argument("--retain-cost-when-rebalance", action="store_true")
    run.add_argument("--no-stop-trading-next-period", dest="stop_trading_next_period", action="store_false",
                     help="let a stopped-out stock back in at the next rebalance")
    run.add_argument("--excursion-window", type=int, default=0)
    run.add_argument("--excursion-window-step", type=int, default=1)
    run.add_argument("--no-periodically-rebalance", dest="periodically_rebalance", action="store_false",
                     help="one trade record per holding from entry to exit (the equity is the same)")
    run.add_argument("--title", default="Backtest report")
    run.add_argument("--out", type=Path, default=DEFAULT_RUN_DIR, help=f"output folder (default {DEFAULT_RUN_DIR})")
    run.add_argument("--quiet", action="store_true", help="no progress messages")
    run.set_defaults(handler=_run)

    add_sweep_command(commands)
    return parser


def _add_cost_options(parser) -> None:
    parser.add_argument("--fee-ratio", type=float, default=0.0,
                        help="fee on every trade, a fraction of the value traded (default %(default)s: none; "
                             "e.g. 0.001425)")
    parser.add_argument("--tax-ratio", type=float, default=0.0,
                        help="tax on every sale, a fraction of the value sold (default %(default)s: none; e.g. 0.003)")


def _demo(args) -> int:
    from ._backtest import backtest
    from .datasets import synthetic_market
    from .demo import DEMO_OPTIONS, momentum_weights

    progress = Progress(4, args.quiet)
    progress(f"generating a synthetic market of {args.stocks} stocks over {args.days} days")
    market = synthetic_market(args.stocks, args.days, seed=args.seed)
    progress(f"choosing the top {args.top} stocks by momentum at each month end")
    weights = momentum_weights(market.close, top=args.top)
    progress("backtesting: monthly rebalance, 10% stop-loss, against the equal-weight universe")
    result = backtest(weights, market, benchmark="equal_weight", fee_ratio=args.fee_ratio,
                      tax_ratio=args.tax_ratio, **DEMO_OPTIONS)
    progress(f"writing the report to {args.out}")
    _write_outputs(result, args.out, f"vantrel demo: top-{args.top} momentum, monthly, 10% stop-loss")
    return 0


def _run(args) -> int:
    from ._backtest import backtest
    from .datasets import load_long, load_market, load_ticker_files, read_wide

    progress = Progress(3, args.quiet)
    source = args.close or args.prices
    progress(f"loading prices from {source} and weights from {args.weights}")
    tolerance = None if args.no_ohlc_check else args.ohlc_tolerance
    if args.prices is None:
        market = load_market(args.close, open=args.open, high=args.high, low=args.low, delisting=args.delisting,
                             dayfirst=args.dayfirst, ohlc_tolerance=tolerance)
    else:
        if args.open or args.high or args.low:
            raise ValueError("--open, --high and --low go with --close; --prices holds all fields")
        if not args.prices.exists():
            raise FileNotFoundError(f"no such file or directory: {args.prices}")
        options = dict(dayfirst=args.dayfirst, delisting=args.delisting, ohlc_tolerance=tolerance)
        if args.prices.is_dir():
            market = load_ticker_files(args.prices, ticker=args.ticker, **options)
        else:
            market = load_long(args.prices, **options)
    weights = read_wide(args.weights, dayfirst=args.dayfirst)
    progress(f"backtesting {weights.shape[1]} stocks over {len(market.index)} bars")
    result = backtest(
        weights, market, rebalance=args.rebalance, trade_at=args.trade_at,
        fee_ratio=args.fee_ratio, tax_ratio=args.tax_ratio, stop_loss=args.stop_loss,
        take_profit=args.take_profit, trail_stop=args.trail_stop,
        trail_stop_activation=args.trail_stop_activation, touched_exit=args.touched_exit,
        position_limit=args.position_limit, retain_cost_when_rebalance=args.retain_cost_when_rebalance,
        stop_trading_next_period=args.stop_trading_next_period, excursion_window=args.excursion_window,
        excursion_window_step=args.excursion_window_step, periodically_rebalance=args.periodically_rebalance,
        benchmark=_benchmark(args.benchmark, args.dayfirst), risk_free=args.risk_free,
    )
    progress(f"writing the report to {args.out}")
    _write_outputs(result, args.out, args.title)
    return 0


def _benchmark(text: str | None, dayfirst: bool):
    """A file of benchmark prices (one column besides the dates), else a label or "equal_weight"."""
    if text is None:
        return None
    path = Path(text)
    if path.suffix.lower() not in (".csv", ".gz", ".parquet", ".pq"):
        return text
    from .datasets import read_wide

    prices = read_wide(path, dayfirst=dayfirst)
    if prices.shape[1] != 1:
        raise ValueError(f"{path.name}: a benchmark file holds dates and one column of prices, "
                         f"found {prices.shape[1]} columns")
    return prices.iloc[:, 0]


def _write_outputs(result, out: Path, title: str) -> None:
    from .report import figure_png, stats_table

    out.mkdir(parents=True, exist_ok=True)
    report = result.report(out / "report.html", title=title)
    for kind in ("equity", "excursions"):
        (out / f"{kind}.png").write_bytes(figure_png(result.plot(kind)))
    stats = result.stats.rename("value").to_frame()
    if result.benchmark_stats is not None:
        stats["benchmark"] = result.benchmark_stats
    stats.to_csv(out / "stats.csv", index_label="statistic")
    result.trades.to_csv(out / "trades.csv", index=False)
    result.round_trips().to_csv(out / "round_trips.csv", index=False)
    result.portfolio.to_csv(out / "portfolio.csv")

    table = stats_table(result.stats)
    width = max(len(s) for s in table["statistic"])
    print(title)
    fee, tax = result.settings.get("fee_ratio", 0.0), result.settings.get("tax_ratio", 0.0)
    if fee == 0 and tax == 0:
        print("  costs: none (fee_ratio=0, tax_ratio=0)")
    else:
        print(f"  costs: fee_ratio={fee:g} ({fee * 100:g}% of every trade), "
              f"tax_ratio={tax:g} ({tax * 100:g}% of every sale)")
    if result.settings.get("benchmark") is not None:
        print(f"  benchmark: {result.settings['benchmark']}")
    for row in table.itertuples():
        print(f"  {row.statistic:<{width}}  {row.value}")
    print(f"\nReport: {report.resolve()}")
    print(f"Charts, statistics, trades and final portfolio: {out.resolve()}")
