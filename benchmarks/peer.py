"""The vectorbt comparison, run in vectorbt's own interpreter; the suite never imports it.

    python -m benchmarks.peer --setup     # makes that interpreter's venv (pip, PyPI)

The venv lives at /work/venvs/vbt unless VANTREL_VBT_PYTHON names another
interpreter. vectorbt's kernels are compiled by numba on first use and cached on
disk; the runner points the cache at an empty directory of its own, so the first
configuration run reports the compile from nothing, as a new user meets it.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import venv
from pathlib import Path

import numpy as np

from benchmarks.market import Market
from benchmarks.order_schedule import rebalance_rows, target_percent_orders
from benchmarks.strategies import Strategy

VBT_PYTHON = Path(os.environ.get("VANTREL_VBT_PYTHON", "/work/venvs/vbt/bin/python"))
SCRIPT = Path(__file__).with_name("peer_vectorbt.py")
# What --setup installs: vectorbt with its Rust kernels, which it picks by default.
REQUIREMENTS = ("vectorbt==1.2.0", "vectorbt-rust==1.2.0")
AGREEMENT_RTOL = 1e-9


def available() -> bool:
    return VBT_PYTHON.exists()


def setup(python: Path = VBT_PYTHON) -> None:
    """Creates the venv that holds `python` and installs vectorbt into it."""
    root = python.parent.parent
    if not python.exists():
        venv.create(root, with_pip=True)
    subprocess.run([str(python), "-m", "pip", "install", "-q", *REQUIREMENTS], check=True)


def signal_inputs(market: Market, strategy: Strategy) -> dict[str, np.ndarray]:
    """Entry signals and entry values of a book bought once and held (stops aside)."""
    ((bar, row),) = rebalance_rows(market, strategy).items()
    entries = np.zeros(market.open.shape, dtype=bool)
    entries[bar] = strategy.pos_values[row] > 0
    # The weights of an initial capital of 1.0, as values to buy.
    return {"entries": entries, "size": strategy.pos_values[row]}


def run_vectorbt(
    market: Market, strategy: Strategy, fee: float, repeats: int, numba_cache: Path, configs: list[str] | None = None
) -> dict:
    """Times vectorbt's configurations on `strategy`; their figures and final values.

    A book with stops goes to vectorbt's signal route with its stops (the book must
    be bought once and held); any other to its order routes. `numba_cache` is numba's
    cache directory for the run (an empty one measures the compile); `configs` picks
    configurations by name (all of the route when None).
    """
    if strategy.options.get("touched_exit"):
        book = {
            "high": market.high,
            "low": market.low,
            **signal_inputs(market, strategy),
            "sl_stop": np.float64(strategy.options["stop_loss"]),
            "tp_stop": np.float64(strategy.options["take_profit"]),
        }
    else:
        book = {"orders": target_percent_orders(market, strategy)}
    with tempfile.TemporaryDirectory(prefix="vantrel-bench-") as tmp:
        archive = Path(tmp) / "workload.npz"
        np.savez(archive, open=market.open, close=market.close, fee=np.float64(fee), **book)
        cold = not any(Path(numba_cache).iterdir())
        done = subprocess.run(
            [str(VBT_PYTHON), str(SCRIPT), str(archive), str(repeats), ",".join(configs or [])],
            capture_output=True,
            text=True,
            timeout=3600,
            check=False,
            env={**os.environ, "NUMBA_CACHE_DIR": str(numba_cache)},
        )
    if done.returncode != 0:
        return {"error": done.stderr.strip().splitlines()[-1] if done.stderr else "failed"}
    out = json.loads(done.stdout.strip().splitlines()[-1])
    out["numba_cache"] = "empty" if cold else "filled by an earlier workload of this run"
    return out


# One configuration per route, each compiled alone from an empty cache: what a new user
# of that route waits for once (a run's first-call column depends on what ran before).
COMPILE_CONFIGS = ("from_orders_nan_auto", "from_order_func", "flex_simulate_nb", "from_signals_stops")


def compile_times(market: Market, book: Strategy, stops_book: Strategy) -> dict:
    """First call of each COMPILE_CONFIGS route in a fresh process with an empty numba
    cache (compile plus one run), the steady time of that run, and vectorbt's import."""
    out = {}
    for name in COMPILE_CONFIGS:
        strategy = stops_book if name.startswith("from_signals") else book
        with tempfile.TemporaryDirectory(prefix="vantrel-numba-") as cache:
            done = run_vectorbt(market, strategy, strategy.options["fee_ratio"], 1, Path(cache), [name])
        if "error" in done:
            out[name] = {"error": done["error"]}
            continue
        config = done["configs"][name]
        out[name] = (
            config
            if "error" in config
            else {
                "first_call_s": config["first_call_s"],
                "steady_s": config["median_s"],
                "import_s": done["import_s"],
            }
        )
    return out


def agreement(ours: float, theirs: float) -> dict:
    relative = abs(ours - theirs) / abs(ours)
    return {
        "ours": ours,
        "vectorbt": theirs,
        "relative_difference": relative,
        "agrees": bool(relative <= AGREEMENT_RTOL),
    }


# Configurations that run vectorbt's kernel without building a Portfolio: the least
# overhead, but no Portfolio to ask for trades or statistics afterwards.
KERNEL_ONLY = ("flex_simulate_nb",)


def fastest_faithful(configs: dict[str, dict], exclude: tuple[str, ...] = ()) -> str | None:
    """The quickest configuration that ran and agreed with our final value."""
    faithful = {
        name: c
        for name, c in configs.items()
        if name not in exclude and "error" not in c and c.get("agreement", {}).get("agrees")
    }
    return min(faithful, key=lambda name: faithful[name]["median_s"], default=None)


def main() -> int:
    parser = argparse.ArgumentParser(description="vectorbt's interpreter for the benchmarks")
    parser.add_argument(
        "--setup", action="store_true", help=f"create {VBT_PYTHON.parent.parent} and install {' '.join(REQUIREMENTS)}"
    )
    args = parser.parse_args()
    if args.setup:
        setup()
        print(f"vectorbt is ready at {VBT_PYTHON}")
        return 0
    print(f"vectorbt interpreter: {VBT_PYTHON} ({'present' if available() else 'missing: --setup'})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
