"""``vantrel sweep`` run as a user runs it: a subprocess with a parameter file."""

import signal
import subprocess
import sys
import time
from pathlib import Path

import pandas as pd
import pytest

from conftest import requires_engine
from sweep_helpers import alive, descendants

GRID = """
[market]
synthetic = {stocks = 30, days = 300, seed = 11}

[strategy]
function = "momentum"

[options]
rebalance = "ME"

[grid]
stop_loss = [0.05, 0.1, -1.0]
top = [3, 5]
lookback = 60
skip = 5

[heatmap]
stat = "cagr"
"""


def vantrel(*args, cwd, **popen):
    return subprocess.run(
        [sys.executable, "-m", "vantrel", "sweep", *map(str, args)],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=120,
        **popen,
    )


@requires_engine
def test_sweep_writes_the_table_in_grid_order_and_a_heat_map(tmp_path):
    pytest.importorskip("pyarrow")
    (tmp_path / "grid.toml").write_text(GRID)
    done = vantrel("grid.toml", "--format", "parquet", "--workers", 2, "--out", "out", "--quiet", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    table = pd.read_parquet(tmp_path / "out" / "results.parquet")
    assert table[["stop_loss", "top"]].values.tolist() == [
        [0.05, 3],
        [0.05, 5],
        [0.1, 3],
        [0.1, 5],
        [-1.0, 3],
        [-1.0, 5],
    ]
    assert table["error"].notna().tolist() == [False] * 4 + [True] * 2
    assert (tmp_path / "out" / "heatmap-cagr.png").read_bytes().startswith(b"\x89PNG")
    assert done.stdout.startswith("6 variants, 4 ran, 2 failed\n\nBest by cagr:")
    assert "variant 4 failed: ValueError: stop_loss must be at least 0.0, got -1.0" in done.stdout
    assert "How much to trust the best:\n  Highest Sharpe ratio of 4 trials: variant" in done.stdout
    assert "Deflated Sharpe ratio" in (tmp_path / "out" / "report.html").read_text()


@requires_engine
def test_a_second_run_is_refused_unless_it_resumes_and_then_runs_nothing_again(tmp_path):
    (tmp_path / "grid.toml").write_text(GRID)
    first = vantrel("grid.toml", "--quiet", cwd=tmp_path)
    again = vantrel("grid.toml", "--quiet", cwd=tmp_path)
    assert again.returncode == 2
    store = Path("vantrel-output") / "sweep" / "sweep.sqlite"
    assert again.stderr == (
        f"vantrel sweep: error: the store {store} already holds 6 finished variants of this "
        "sweep; resume it (resume=True, --resume), write to another store or replace it "
        "(overwrite=True, --overwrite)\n"
    )
    resumed = vantrel("grid.toml", "--resume", cwd=tmp_path)
    assert resumed.returncode == 0 and resumed.stdout == first.stdout
    assert resumed.stderr.startswith(f"vantrel sweep: store {store}: 6 of 6 variants already there; running 0\n")


@pytest.mark.parametrize(
    "change, message",
    [
        (("[heatmap]", "[heat]"), "grid.toml: unknown tables heat"),
        (('stat = "cagr"', 'x = "fee_ratio"'), "[heatmap] x = 'fee_ratio' is not a parameter of [grid]"),
        (('function = "momentum"', 'function = "nowhere:momentum"'), "[strategy] cannot load 'nowhere:momentum'"),
        (("skip = 5", "skipping = 5"), "the strategy does not take the parameters 'skipping'"),
        (("[grid]", "grid ="), "grid.toml: "),
    ],
)
def test_a_bad_parameter_file_is_a_message_not_a_traceback(tmp_path, change, message):
    (tmp_path / "grid.toml").write_text(GRID.replace(*change))
    done = vantrel("grid.toml", "--quiet", cwd=tmp_path)
    assert done.returncode == 2
    assert done.stderr.startswith(f"vantrel sweep: error: {message}"), done.stderr
    assert not (tmp_path / "vantrel-output").exists()


SLOW = """
[market]
synthetic = {stocks = 30, days = 300, seed = 11}

[strategy]
function = "slow_strategy:slow"

[grid]
n = [0, 1, 2, 3, 4, 5, 6, 7, 8, 9]
"""

SLOW_STRATEGY = """
import time
from pathlib import Path

def slow(market, *, n):
    Path(f"started-{n}").touch()
    time.sleep(30)
"""


@requires_engine
@pytest.mark.parametrize("route", [[], ["--processes"]], ids=["threads", "processes"])
def test_ctrl_c_stops_the_pool_at_once_and_leaves_no_worker_behind(tmp_path, route):
    (tmp_path / "grid.toml").write_text(SLOW)
    (tmp_path / "slow_strategy.py").write_text(SLOW_STRATEGY)
    # A parent that ignores Ctrl-C would pass that on; the user's terminal does not.
    command = subprocess.Popen(
        [sys.executable, "-m", "vantrel", "sweep", "grid.toml", "--workers", "2", *route],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        # The suite's own SIGINT handling must not reach the child; pytest runs no threads here.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),  # noqa: PLW1509
    )
    try:
        give_up = time.monotonic() + 60
        while len(list(tmp_path.glob("started-*"))) < 2 and time.monotonic() < give_up:
            time.sleep(0.05)
        assert len(list(tmp_path.glob("started-*"))) == 2, "both workers should be running a variant"
        workers = descendants(command.pid)
        command.send_signal(signal.SIGINT)
        stdout, stderr = command.communicate(timeout=20)  # a variant takes 30 s: nothing waited for them
    finally:
        command.kill()
    assert command.returncode == 130
    assert stderr.rstrip().endswith("vantrel sweep: interrupted; no results written")
    assert "Traceback" not in stderr and stdout == ""
    give_up = time.monotonic() + 10
    while any(alive(pid) for pid in workers) and time.monotonic() < give_up:
        time.sleep(0.05)
    assert not [pid for pid in workers if alive(pid)]
    assert not Path(tmp_path / "vantrel-output" / "sweep" / "results.csv").exists()
