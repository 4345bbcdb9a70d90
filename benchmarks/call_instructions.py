"""Instructions of the whole user call against the array entry alone, under callgrind.

Wall time on a shared machine moves by tens of percent; instruction counts do not. For
each book of ``benchmarks.user_call`` this counts, in one process under callgrind:

- ``engine``: ``vantrel.core._engine.run`` on the arguments the call hands it;
- ``call``: ``vantrel.backtest(weights, market, ...)`` and then its ``.stats``;
- ``empty``: the same window with nothing in it (the switching of the counter itself),
  subtracted from both.

Each window runs its call ``--repeat`` times after one warm call (imports, the market's
caches), with the garbage collector held so that a collection does not land in one
window and not the other. A window is counted from the entry to the exit of the C
function behind ``operator.call``, which the package never calls: switching on entry
and exit is exact, where ``callgrind_control`` acts some time after it is asked. The
books are built outside valgrind and handed to the driver as a pickle (building L
under valgrind would take many minutes).

    python -m benchmarks.call_instructions [--books synthetic,L] [--repeat 3] [--json out.json]
"""

from __future__ import annotations

import argparse
import json
import operator
import pickle
import re
import subprocess
import sys
import tempfile
from pathlib import Path

if __package__ in (None, ""):
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

REPO = Path(__file__).resolve().parent.parent
WINDOWS = ("empty", "engine", "call")  # in the order the driver runs them
WINDOW_FUNCTION = "_operator_call"  # CPython's operator.call


def drive(book_file: str, repeat: int) -> None:
    """Under valgrind: one counted window per kind of call, each dumped under its name."""
    import gc

    import vantrel
    from vantrel.core import _engine

    with open(book_file, "rb") as handle:
        market, weights, keywords, engine_arguments = pickle.load(handle)
    calls = {
        "empty": lambda: None,
        "engine": lambda: _engine.run(**engine_arguments),
        "call": lambda: vantrel.backtest(weights, market, **keywords).stats,
    }
    for call in calls.values():
        call()  # warm: imports, first-use set-up and the market's caches
    for name in WINDOWS:
        call = calls[name]

        def window(call=call) -> None:
            for _ in range(repeat):
                call()

        gc.collect()
        gc.disable()
        operator.call(window)  # counted, and dumped on its exit
        gc.enable()


def _book(book: str, path: Path) -> None:
    from benchmarks.user_call import BOOKS
    from vantrel._backtest.backtest import prepare_backtest

    market, weights, keywords, _ = BOOKS[book][1]()
    engine_arguments = prepare_backtest(weights, market, **keywords).engine
    with open(path, "wb") as handle:
        pickle.dump((market, weights, keywords, engine_arguments), handle, protocol=pickle.HIGHEST_PROTOCOL)


def count(book: str, repeat: int) -> dict:
    """Instructions per call of each window, the empty one subtracted, and their ratio."""
    with tempfile.TemporaryDirectory(prefix="vantrel-call-instructions-") as tmp:
        out = Path(tmp)
        book_file = out / "book.pickle"
        _book(book, book_file)
        subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                "--collect-atstart=no",
                f"--toggle-collect={WINDOW_FUNCTION}",
                f"--dump-after={WINDOW_FUNCTION}",
                f"--callgrind-out-file={out}/callgrind.out.%p",
                sys.executable,
                "-m",
                "benchmarks.call_instructions",
                "--drive",
                str(book_file),
                "--repeat",
                str(repeat),
            ],
            check=True,
            capture_output=True,
            text=True,
            cwd=REPO,
        )
        dumps = sorted(out.glob("callgrind.out.*.*"), key=lambda dump: int(dump.name.rsplit(".", 1)[1]))
        summaries = [re.search(r"^summary:\s+(\d+)", dump.read_text(), re.MULTILINE) for dump in dumps]
    if len(summaries) != len(WINDOWS) or None in summaries:
        raise RuntimeError(f"callgrind left {len(summaries)} dumps, expected one per window {WINDOWS}")
    totals = {name: int(found.group(1)) for name, found in zip(WINDOWS, summaries, strict=True)}
    engine = (totals["engine"] - totals["empty"]) / repeat
    call = (totals["call"] - totals["empty"]) / repeat
    return dict(repeat=repeat, engine=engine, call=call, call_over_engine=call / engine, raw=totals)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--books", default="synthetic,L")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--drive", help=argparse.SUPPRESS)  # the process under valgrind
    args = parser.parse_args()
    if args.drive:
        drive(args.drive, args.repeat)
        return
    results = {book: count(book, args.repeat) for book in args.books.split(",")}
    print("| book | array entry, instructions | backtest(...).stats, instructions | ratio |")
    print("|---|--:|--:|--:|")
    for book, f in results.items():
        print(f"| {book} | {f['engine'] / 1e6:,.2f} M | {f['call'] / 1e6:,.2f} M | {f['call_over_engine']:.3f} |")
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
