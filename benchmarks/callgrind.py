"""Instruction counts of single backtests under callgrind.

Counts are collected only inside the engine's entry point, one profile dump per
call (see callgrind_driver), so interpreter start-up and workload generation do
not count. Unlike wall time, the counts do not move with the load of a shared
machine.

    python -m benchmarks.callgrind --record   # store the budget of this engine
    python -m benchmarks.callgrind [--array] WORKLOAD STRATEGY [STRATEGY ...]

`--array` counts the package's array entry (`vantrel.core._engine.run`, from
reading its arguments to its result) instead of the documented `backtest_`.
"""

from __future__ import annotations

import json
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ENTRY = "vantrel::simora::backtest(*"
ARRAY_ENTRY = "vantrel::engine::run(*"
REPO = Path(__file__).resolve().parent.parent
BUDGET = Path(__file__).with_name("performance_budget.json")
# The regression guard's runs: stop handling in both modes and the excursion pass.
GUARDED = ("monthly_top50", "monthly_top50_touched", "monthly_top50_excursion")


def available() -> bool:
    return shutil.which("valgrind") is not None


def count_instructions(
    workload: str,
    strategies: list[str],
    extra: tuple[str, ...] = (),
    out_dir: Path | None = None,
    array: bool = False,
) -> dict[str, int]:
    """Instructions executed inside the engine, per strategy run on `workload`
    (inside the array entry with `array`)."""
    with tempfile.TemporaryDirectory(prefix="vantrel-callgrind-") as tmp:
        out = Path(out_dir or tmp)
        out.mkdir(parents=True, exist_ok=True)
        for stale in out.glob("callgrind.out.*"):
            stale.unlink()
        subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                "--instr-atstart=no",
                f"--toggle-collect={ARRAY_ENTRY if array else ENTRY}",
                f"--callgrind-out-file={out}/callgrind.out.%p",
                *extra,
                sys.executable,
                "-m",
                "benchmarks.callgrind_driver",
                workload,
                ",".join(strategies),
                *(["--array"] if array else []),
            ],
            check=True,
            capture_output=True,
            text=True,
            cwd=REPO,
        )
        counts = {}
        for dump in out.glob("callgrind.out.*.*"):
            text = dump.read_text()
            label = re.search(r"^desc: Trigger: dump (\S+)$", text, re.MULTILINE)
            if label:
                counts[label.group(1)] = _summary(text)
        return {name: counts[name] for name in strategies if name in counts}


def _summary(text: str) -> int:
    match = re.search(r"^summary:\s+(\d+)", text, re.MULTILINE)
    if match is None:
        raise ValueError("callgrind dump without a summary line")
    return int(match.group(1))


def record_budget() -> dict:
    counts = count_instructions("S", list(GUARDED))
    budget = {
        "workload": "S",
        "allowed_factor": 3.0,
        "instructions": counts,
    }
    BUDGET.write_text(json.dumps(budget, indent=1) + "\n")
    return budget


def main(argv: list[str]) -> None:
    if argv == ["--record"]:
        print(json.dumps(record_budget(), indent=1))
        return
    array = "--array" in argv
    names = [a for a in argv if a != "--array"]
    if len(names) < 2:
        sys.exit(__doc__)
    print(json.dumps(count_instructions(names[0], names[1:], array=array), indent=1))


if __name__ == "__main__":
    main(sys.argv[1:])
