"""Profile of the engine by function: callgrind instruction counts of one run.

    python -m benchmarks.profile_engine [WORKLOAD] [STRATEGY ...]

Defaults to the L workload's monthly top-50 book and its daily-rebalanced book.
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
            # The function's name without its C++ parameter list, and its library.
            rows.append(f"{count:>14}  {function.split('(')[0]}  [{Path(obj).name}]")
    return "\n".join(rows[:top])


def main() -> None:
    workload = sys.argv[1] if len(sys.argv) > 1 else "L"
    names = sys.argv[2:] or ["monthly_top50", "daily_book200"]
    OUT.mkdir(parents=True, exist_ok=True)
    for name in names:
        target = OUT / f"{workload}-{name}"
        counts = callgrind.count_instructions(workload, [name], ("--dump-instr=yes",), target)
        print(f"== {workload} {name}: {counts}")
        for dump in target.glob("callgrind.out.*.*"):
            if f"dump {name}" in dump.read_text()[:2000]:
                print("-- inclusive\n" + annotate(dump, inclusive=True))
                print("-- self\n" + annotate(dump, inclusive=False))


if __name__ == "__main__":
    main()
