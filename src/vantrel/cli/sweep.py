"""``vantrel sweep``: a sweep described by a small parameter file (TOML or JSON).

The file has up to five tables; paths are relative to the file::

    [market]            # synthetic = {n_stocks = 200, n_days = 1000, seed = 7}, or
                        # close = "close.csv" (open/high/low, delisting = "infer"), or
                        # prices = "data/" (ticker = "ohlc_(.+)"; a long file too);
                        # volume, dividends, splits = "file.csv" beside close or prices
    [strategy]          # weights = "weights.csv", or function = "momentum"
                        # (the demo strategy) or "module:function"
    [options]           # backtest options shared by every variant; profile = "us_equities"
                        # starts from a market profile, lot_size = {A = 100} is per stock
    [grid]              # lists are axes, other values fixed: stop_loss = [0.05, 0.1]
    [heatmap]           # stat = "sharpe", x = "stop_loss", y = "top" (all optional)

The results are OUT/results.csv (or .parquet), a heat map and OUT/report.html
(the best variants, with the deflated Sharpe ratio and the probability of
backtest overfitting of the sweep's trials). Every variant is written to
OUT/sweep.sqlite as it finishes; after an interruption (Ctrl-C, a crash, a
lost machine) the same command with --resume runs only the variants that
are missing. A store of another sweep in OUT is refused; --overwrite
replaces it.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import importlib.util
import json
import sys
import tomllib
from pathlib import Path

DEFAULT_SWEEP_DIR = Path("vantrel-output") / "sweep"
STORE_NAME = "sweep.sqlite"  # every finished variant, written as it finishes
_SECTIONS = {"market", "strategy", "options", "grid", "heatmap"}

__all__ = ["add_sweep_command", "momentum"]


def momentum(market, *, lookback: int = 126, skip: int = 21, top: int = 20):
    """The demo strategy with its parameters open to the sweep: top-N momentum at each month end."""
    from ..demo import momentum_weights

    return momentum_weights(market.close, lookback=lookback, skip=skip, top=top)


_BUILT_IN = {"momentum": momentum}


def add_sweep_command(commands) -> None:
    sweep = commands.add_parser(
        "sweep",
        help="backtest every variant of a parameter grid (TOML or JSON file)",
        description=__doc__.split("\n\n", 1)[1],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sweep.add_argument("params", type=Path, help="parameter file (.toml or .json)")
    sweep.add_argument(
        "--out", type=Path, default=DEFAULT_SWEEP_DIR, help=f"output folder (default {DEFAULT_SWEEP_DIR})"
    )
    sweep.add_argument("--format", choices=["csv", "parquet"], default="csv", help="results table format (default csv)")
    sweep.add_argument("--workers", type=int, help="variants run at once (default: one per CPU)")
    sweep.add_argument(
        "--processes", action="store_true", help="run variants in worker processes rather than threads of this process"
    )
    sweep.add_argument(
        "--resume",
        action="store_true",
        help=f"continue the sweep stored in the output folder ({STORE_NAME}): run only the missing variants",
    )
    sweep.add_argument(
        "--overwrite",
        action="store_true",
        help=f"replace the sweep stored in the output folder ({STORE_NAME}) and its results, whatever sweep it was",
    )
    sweep.add_argument(
        "--timeout",
        type=float,
        metavar="SECONDS",
        help="seconds a variant may run before its worker process is replaced (implies --processes)",
    )
    sweep.add_argument(
        "--max-memory", metavar="SIZE", help='memory cap of each worker process, e.g. "2GiB" (implies --processes)'
    )
    sweep.add_argument(
        "--no-returns",
        action="store_true",
        help="keep only the table, not each variant's returns (no overfitting statistics): for very large sweeps",
    )
    sweep.add_argument("--quiet", action="store_true", help="no progress line")
    sweep.set_defaults(handler=_run_sweep)


def _run_sweep(args) -> int:
    from .._sweep import sweep
    from .options import file_parameters

    if args.resume and args.overwrite:
        raise ValueError("--resume continues the stored sweep and --overwrite replaces it: give one of them")
    if args.format == "parquet" and importlib.util.find_spec("pyarrow") is None:
        raise ValueError("--format parquet needs pyarrow: pip install vantrel[parquet]")
    settings = read_parameter_file(args.params)
    _check_heatmap_names(settings)
    base = args.params.resolve().parent
    market = _market(settings.get("market", {}), base)
    weights, strategy = _strategy(settings.get("strategy", {}), base)
    store = args.out / STORE_NAME
    if not args.quiet:
        _log_to_stderr()
    try:
        result = sweep(
            market,
            file_parameters(settings.get("grid", {}), "grid"),
            strategy=strategy,
            weights=weights,
            options=file_parameters(settings.get("options", {}), "options"),
            workers=args.workers,
            progress=not args.quiet,
            keep_returns=not args.no_returns,
            executor="processes" if args.processes else None,
            store=store,
            resume=args.resume,
            overwrite=args.overwrite,
            timeout=args.timeout,
            max_memory=args.max_memory,
        )
    except KeyboardInterrupt:
        kept = _stored_rows(store)
        if kept:
            print(
                f"vantrel sweep: interrupted; the {kept} variants that finished are kept in {store}: "
                "run the same command with --resume to continue",
                file=sys.stderr,
            )
        else:
            print("vantrel sweep: interrupted; no results written", file=sys.stderr)
        return 130

    args.out.mkdir(parents=True, exist_ok=True)
    if args.overwrite:  # the replaced sweep's table and heat maps must not pass for this one's
        for old in [args.out / "results.csv", args.out / "results.parquet", *args.out.glob("heatmap-*.png")]:
            old.unlink(missing_ok=True)
    table_path = args.out / f"results.{args.format}"
    if args.format == "csv":
        result.table.to_csv(table_path)
    else:
        result.table.to_parquet(table_path)
    heatmap_path = _heatmap(result, settings.get("heatmap", {}), args.out)
    stat = settings.get("heatmap", {}).get("stat", "sharpe")
    report_path = result.report(args.out / "report.html", title=f"Sweep {args.params.name}", stat=stat)
    _summary(result, table_path, heatmap_path, stat)
    print(f"Report: {report_path.resolve()}")
    return 0


def _log_to_stderr() -> None:
    """The sweep's own messages (what a resumed store already holds) on stderr, beside the progress line."""
    import logging

    logger = logging.getLogger("vantrel.sweep")
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("vantrel sweep: %(message)s"))
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)


def _stored_rows(store: Path) -> int:
    import sqlite3

    if not store.exists():
        return 0
    try:
        with contextlib.closing(sqlite3.connect(store)) as connection:
            return connection.execute("SELECT count(*) FROM results").fetchone()[0]
    except sqlite3.Error:
        return 0


def read_parameter_file(path: Path) -> dict:
    text = path.read_text(encoding="utf-8")
    try:
        if path.suffix.lower() == ".toml":
            settings = tomllib.loads(text)
        elif path.suffix.lower() == ".json":
            settings = json.loads(text)
        else:
            raise ValueError(f"{path.name}: expected a .toml or .json parameter file")
    except (tomllib.TOMLDecodeError, json.JSONDecodeError) as error:
        raise ValueError(f"{path.name}: {error}") from None
    if not isinstance(settings, dict):
        raise ValueError(f"{path.name}: expected tables {', '.join(sorted(_SECTIONS))}")
    unknown = set(settings) - _SECTIONS
    if unknown:
        raise ValueError(
            f"{path.name}: unknown tables {', '.join(sorted(unknown))}; expected {', '.join(sorted(_SECTIONS))}"
        )
    for name, section in settings.items():
        if not isinstance(section, dict):
            raise ValueError(f"{path.name}: [{name}] must be a table")
    return settings


def _check_heatmap_names(settings: dict) -> None:
    section = settings.get("heatmap", {})
    unknown = set(section) - {"stat", "x", "y"}
    if unknown:
        raise ValueError(f"[heatmap] does not take {', '.join(sorted(unknown))}")
    grid = settings.get("grid", {})
    for axis in ("x", "y"):
        if axis in section and section[axis] not in grid:
            raise ValueError(f"[heatmap] {axis} = {section[axis]!r} is not a parameter of [grid]")


# What each source of prices in [market] takes beside itself.
_MARKET_KEYS = {
    "synthetic": set(),
    "close": {"open", "high", "low", "delisting", "dayfirst", "volume", "dividends", "splits"},
    "prices": {"ticker", "delisting", "dayfirst", "volume", "dividends", "splits"},
}
_MARKET_DATA = ("volume", "dividends", "splits")
# synthetic_market's keywords, and the names the file used before it took those.
_SYNTHETIC_KEYS = ("n_stocks", "n_days", "n_sectors", "start", "seed")
_SYNTHETIC_OLD = {"stocks": "n_stocks", "days": "n_days"}


def _market(section: dict, base: Path):
    from ..datasets import load_market, read_wide

    sources = [name for name in _MARKET_KEYS if name in section]
    if len(sources) != 1:
        raise ValueError(
            "[market] needs one of synthetic (a generated market), close (wide price files: dates x stocks) "
            "or prices (a long file, or a folder, glob or file of per-ticker prices)"
        )
    source = sources[0]
    unknown = set(section) - {source} - _MARKET_KEYS[source]
    if unknown:
        takes = ", ".join([source, *sorted(_MARKET_KEYS[source])])
        raise ValueError(f"[market] with {source} does not take {', '.join(sorted(unknown))} (it takes {takes})")
    if source == "synthetic":
        return _synthetic(section["synthetic"])
    options = dict(delisting=section.get("delisting"), dayfirst=section.get("dayfirst", False))
    if source == "prices":
        from .prices import load_prices

        market = load_prices(base / section["prices"], ticker=section.get("ticker"), **options)
    else:
        paths = {name: base / section[name] for name in ("open", "high", "low") if name in section}
        market = load_market(base / section["close"], **paths, **options)
    # Wide files of volume, dividends and splits beside the prices.
    extra = {
        name: read_wide(base / section[name], dayfirst=options["dayfirst"]) for name in _MARKET_DATA if name in section
    }
    return market.with_data(**extra) if extra else market


def _synthetic(settings):
    """``synthetic = {n_stocks = 200, n_days = 1000, seed = 7}``: the arguments of synthetic_market."""
    from ..datasets import synthetic_market

    if not isinstance(settings, dict):
        raise ValueError("[market] synthetic takes a table such as {n_stocks = 200, n_days = 1000}")
    arguments = {}
    for name, value in settings.items():
        key = _SYNTHETIC_OLD.get(name, name)
        if key not in _SYNTHETIC_KEYS:
            raise ValueError(f"[market] synthetic takes {', '.join(_SYNTHETIC_KEYS)}, not {name}")
        if key in arguments:
            raise ValueError(f"[market] synthetic takes {key} or its older name {name}, not both")
        arguments[key] = value
    return synthetic_market(**arguments)


def _strategy(section: dict, base: Path):
    from ..datasets import read_wide

    if ("weights" in section) == ("function" in section) or len(section) != 1:
        raise ValueError('[strategy] needs exactly one of weights (a file) or function ("momentum" or "module:name")')
    if "weights" in section:
        return read_wide(base / section["weights"]), None
    name = section["function"]
    if name in _BUILT_IN:
        return None, _BUILT_IN[name]
    module_name, _, attribute = name.partition(":")
    if not module_name or not attribute:
        raise ValueError(f'[strategy] function must be "momentum" or "module:name", got {name!r}')
    # The parameter file's folder comes first, so a strategy can sit beside it.
    sys.path.insert(0, str(base))
    try:
        return None, getattr(importlib.import_module(module_name), attribute)
    except (ImportError, AttributeError) as error:
        raise ValueError(f"[strategy] cannot load {name!r}: {error}") from None


def _heatmap(result, section: dict, out: Path) -> Path | None:
    from .._report.heatmap import varied_parameters
    from .._report.images import figure_png

    stat = section.get("stat", "sharpe")
    x, y = section.get("x"), section.get("y")
    named = x is not None and y is not None
    if not named and len(varied_parameters(result.table, result.parameters)) < 2:
        return None  # nothing to map; a table of one axis says it all
    if stat not in result.table.columns:
        return None  # every variant failed
    path = out / f"heatmap-{stat}.png"
    path.write_bytes(figure_png(result.heatmap(stat, x, y)))
    return path


def _overfitting_summary(result) -> None:
    """The deflated Sharpe ratio and PBO of the sweep's trials, and what they mean."""
    import textwrap

    from .._report.trust import OVERFITTING_MEANING, overfitting_lines

    try:
        lines = overfitting_lines(result.overfitting())
    except ValueError as error:
        print(f"\nNo overfitting statistics: {error}")
        return
    print("\nHow much to trust the best:")
    for line in lines:
        print(textwrap.fill(line, width=100, initial_indent="  ", subsequent_indent="    "))
    print(textwrap.fill(OVERFITTING_MEANING, width=100, initial_indent="  ", subsequent_indent="  "))


def _summary(result, table_path: Path, heatmap_path: Path | None, stat: str) -> None:
    table = result.table
    failed = result.errors
    print(f"{len(table)} variants, {len(table) - len(failed)} ran, {len(failed)} failed")
    if stat in table.columns and len(failed) < len(table):
        best = table.sort_values(stat, ascending=False, kind="stable").head(5)
        print(f"\nBest by {stat}:")
        print(best[[*result.parameters, stat]].to_string())
    _overfitting_summary(result)
    for number, error in failed["error"].head(5).items():
        print(f"variant {number} failed: {error}")
    print(f"\nResults: {table_path.resolve()}")
    if heatmap_path is not None:
        print(f"Heat map: {heatmap_path.resolve()}")
