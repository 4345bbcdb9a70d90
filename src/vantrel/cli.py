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
    demo.add_argument("--quiet", action="store_true", help="no progress messages")
    demo.set_defaults(handler=_demo)

    run = commands.add_parser("run", help="backtest your own weights and prices (wide CSV/Parquet files)")
    run.add_argument("--close", type=Path, required=True, help="close prices, dates x stocks")
    run.add_argument("--weights", type=Path, required=True, help="target weights, signal dates x stocks")
    for name in ("open", "high", "low"):
        run.add_argument(f"--{name}", type=Path, help=f"{name} prices, same dates and stocks as --close")
    run.add_argument("--delisting", choices=["infer"], help="infer delisting from each stock's last price")
    run.add_argument("--rebalance", help='offset alias such as "W-FRI", "ME", "QE" (default: every signal date)')
    run.add_argument("--trade-at", choices=["close", "open"], default="close")
    run.add_argument("--fee-ratio", type=float, default=0.001425)
    run.add_argument("--tax-ratio", type=float, default=0.003)
    run.add_argument("--stop-loss", type=float)
    run.add_argument("--take-profit", type=float)
    run.add_argument("--trail-stop", type=float)
    run.add_argument("--trail-stop-activation", type=float, default=0.0)
    run.add_argument("--touched-exit", action="store_true", help="exit at touched stop levels within the bar")
    run.add_argument("--position-limit", type=float, default=1.0)
    run.add_argument("--retain-cost-when-rebalance", action="store_true")
    run.add_argument("--no-stop-trading-next-period", dest="stop_trading_next_period", action="store_false",
                     help="let a stopped-out stock back in at the next rebalance")
    run.add_argument("--excursion-window", type=int, default=0)
    run.add_argument("--excursion-window-step", type=int, default=1)
    run.add_argument("--no-periodically-rebalance", dest="periodically_rebalance", action="store_false",
                     help="do not resize continuing holdings at rebalances")
    run.add_argument("--title", default="Backtest report")
    run.add_argument("--out", type=Path, default=DEFAULT_RUN_DIR, help=f"output folder (default {DEFAULT_RUN_DIR})")
    run.add_argument("--quiet", action="store_true", help="no progress messages")
    run.set_defaults(handler=_run)

    add_sweep_command(commands)
    return parser


def _demo(args) -> int:
    from ._backtest import backtest
    from .datasets import synthetic_market
    from .demo import DEMO_OPTIONS, momentum_weights

    progress = Progress(4, args.quiet)
    progress(f"generating a synthetic market of {args.stocks} stocks over {args.days} days")
    market = synthetic_market(args.stocks, args.days, seed=args.seed)
    progress(f"choosing the top {args.top} stocks by momentum at each month end")
    weights = momentum_weights(market.close, top=args.top)
    progress("backtesting: monthly rebalance, 10% stop-loss")
    result = backtest(weights, market, **DEMO_OPTIONS)
    progress(f"writing the report to {args.out}")
    _write_outputs(result, args.out, f"vantrel demo: top-{args.top} momentum, monthly, 10% stop-loss")
    return 0


def _run(args) -> int:
    from ._backtest import backtest
    from .datasets import load_market, read_wide

    progress = Progress(3, args.quiet)
    progress(f"loading prices from {args.close} and weights from {args.weights}")
    market = load_market(args.close, open=args.open, high=args.high, low=args.low, delisting=args.delisting)
    weights = read_wide(args.weights)
    progress(f"backtesting {weights.shape[1]} stocks over {len(market.index)} bars")
    result = backtest(
        weights, market, rebalance=args.rebalance, trade_at=args.trade_at,
        fee_ratio=args.fee_ratio, tax_ratio=args.tax_ratio, stop_loss=args.stop_loss,
        take_profit=args.take_profit, trail_stop=args.trail_stop,
        trail_stop_activation=args.trail_stop_activation, touched_exit=args.touched_exit,
        position_limit=args.position_limit, retain_cost_when_rebalance=args.retain_cost_when_rebalance,
        stop_trading_next_period=args.stop_trading_next_period, excursion_window=args.excursion_window,
        excursion_window_step=args.excursion_window_step, periodically_rebalance=args.periodically_rebalance,
    )
    progress(f"writing the report to {args.out}")
    _write_outputs(result, args.out, args.title)
    return 0


def _write_outputs(result, out: Path, title: str) -> None:
    from .report import figure_png, stats_table

    out.mkdir(parents=True, exist_ok=True)
    report = result.report(out / "report.html", title=title)
    for kind in ("equity", "excursions"):
        (out / f"{kind}.png").write_bytes(figure_png(result.plot(kind)))
    result.stats.to_csv(out / "stats.csv", header=["value"], index_label="statistic")
    result.trades.to_csv(out / "trades.csv", index=False)
    result.portfolio.to_csv(out / "portfolio.csv")

    table = stats_table(result.stats)
    width = max(len(s) for s in table["statistic"])
    print(title)
    for row in table.itertuples():
        print(f"  {row.statistic:<{width}}  {row.value}")
    print(f"\nReport: {report.resolve()}")
    print(f"Charts, statistics, trades and final portfolio: {out.resolve()}")
