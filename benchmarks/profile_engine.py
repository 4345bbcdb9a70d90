"""Profile of the engine by function: callgrind instruction counts of one run.

    python -m benchmarks.profile_engine [--array] [WORKLOAD] [STRATEGY ...]

`--array` profiles the package's array entry instead of `backtest_`. Defaults
to the L workload's monthly top-50 book and its daily-rebalanced book.
Writes the raw profiles (with per-instruction data, for callgrind_annotate or
kcachegrind) to benchmarks/results/profile/ and prints the top functions by
inclusive and by self cost.
"""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

from benchmarks import callgrind

OUT = Path(__file__).resolve().parent / "results" / "profile"


def annotate(dump: Path, inclusive: bool, top: int = 15) -> str:
    done = subprocess.run(
        ["callgrind_annotate", f"--inclusive={'yes' if inclusive else 'no'}", str(dump)],
        capture_output=True,
        text=True,
        check=True,
    )
    rows = []
    for line in done.stdout.splitlines():
        m = re.match(r"^\s*([\d,]+)(?: \(\s*[\d.]+%\))?\s+\S*?:(.*) \[(.*)\]$", line)
        if m:
            count, function, obj = m.groups()
            # The function's name without its C++ parameter list (anonymous namespaces
            # kept), and its library.
            name = function.replace("(anonymous namespace)", "{anon}").split("(")[0]
            rows.append(f"{count:>14}  {name}  [{Path(obj).name}]")
    return "\n".join(rows[:top])


def main() -> None:
    args = sys.argv[1:]
    array = "--array" in args
    args = [a for a in args if a != "--array"]
    workload = args[0] if args else "L"
    names = args[1:] or ["monthly_top50", "daily_book200"]
    OUT.mkdir(parents=True, exist_ok=True)
    for name in names:
        target = OUT / f"{workload}-{name}{'-array' if array else ''}"
        counts = callgrind.count_instructions(workload, [name], ("--dump-instr=yes",), target, array)
        print(f"== {workload} {name}: {counts}")
        for dump in target.glob("callgrind.out.*.*"):
            if f"dump {name}" in dump.read_text()[:2000]:
                print("-- inclusive\n" + annotate(dump, inclusive=True))
                print("-- self\n" + annotate(dump, inclusive=False))


if __name__ == "__main__":
    main()
