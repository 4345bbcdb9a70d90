"""``vantrel demo``: the example backtest on a synthetic market it generates."""

from __future__ import annotations

from pathlib import Path

from .options import add_cost_options
from .outputs import write_outputs
from .progress import Progress

DEFAULT_DEMO_DIR = Path("vantrel-output") / "demo"

__all__ = ["add_demo_command"]


def add_demo_command(commands) -> None:
    demo = commands.add_parser("demo", help="monthly momentum with a stop-loss on the synthetic market")
    demo.add_argument("--out", type=Path, default=DEFAULT_DEMO_DIR, help=f"output folder (default {DEFAULT_DEMO_DIR})")
    demo.add_argument("--stocks", type=int, default=300, help="number of synthetic stocks (default 300)")
    demo.add_argument("--days", type=int, default=1500, help="number of trading days (default 1500)")
    demo.add_argument("--seed", type=int, default=7, help="seed of the synthetic market (default 7)")
    demo.add_argument("--top", type=int, default=20, help="stocks held (default 20)")
    add_cost_options(demo)
    demo.add_argument("--quiet", action="store_true", help="no progress messages")
    demo.set_defaults(handler=_demo)


def _demo(args) -> int:
    from .._backtest import backtest
    from ..datasets import synthetic_market
    from ..demo import DEMO_OPTIONS, momentum_weights

    progress = Progress(4, args.quiet)
    progress(f"generating a synthetic market of {args.stocks} stocks over {args.days} days")
    market = synthetic_market(args.stocks, args.days, seed=args.seed)
    progress(f"choosing the top {args.top} stocks by momentum at each month end")
    weights = momentum_weights(market.close, top=args.top)
    progress("backtesting: monthly rebalance, 10% stop-loss, against the equal-weight universe")
    result = backtest(
        weights,
        market,
        benchmark="equal_weight",
        fee_ratio=args.fee_ratio,
        tax_ratio=args.tax_ratio,
        **DEMO_OPTIONS,
    )
    progress(f"writing the report to {args.out}")
    write_outputs(result, args.out, f"vantrel demo: top-{args.top} momentum, monthly, 10% stop-loss")
    return 0
