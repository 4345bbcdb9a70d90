"""Peak memory a single backtest adds, measured in a fresh process.

Usage: python -m benchmarks.memory_probe BARS STOCKS STRATEGY
The engine's working state lives in native containers that tracemalloc does
not see, so the probe reads the resident-set high-water mark: it resets the
mark (Linux clear_refs) after the inputs exist and the module is warm, runs
one backtest, and reports how far the mark rose above the resident set.
"""

from __future__ import annotations

import gc
import json
import sys
from pathlib import Path

STATUS = Path("/proc/self/status")
CLEAR_REFS = Path("/proc/self/clear_refs")


def status_kib(field: str) -> int:
    for line in STATUS.read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise KeyError(field)


def reset_high_water_mark() -> bool:
    try:
        CLEAR_REFS.write_text("5")
    except OSError:
        return False
    return True


def main() -> None:
    from benchmarks.engine import run_backtest
    from benchmarks.market import make_market
    from benchmarks.workloads import strategy_named

    bars, stocks, name = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    market = make_market(bars, stocks)
    strategy = strategy_named(market, name)
    warm = make_market(30, 4)
    run_backtest(warm, strategy_named(warm, "monthly_top50"))
    gc.collect()

    before = status_kib("VmRSS")
    exact = reset_high_water_mark()
    if not exact:  # without a reset the mark may already sit above the run
        before = max(before, status_kib("VmHWM"))
    run_backtest(market, strategy)
    peak = status_kib("VmHWM")
    print(
        json.dumps(
            {
                "added_bytes": max(peak - before, 0) * 1024,
                "method": "VmHWM after clear_refs reset" if exact else "VmHWM growth",
                "input_matrix_bytes": market.open.nbytes,
            }
        )
    )


if __name__ == "__main__":
    main()
