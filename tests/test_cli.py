"""The command line, run as a user runs it: a subprocess."""

import re
import subprocess
import sys

import pandas as pd
import pytest

from conftest import requires_engine
from vantrel.datasets import synthetic_market
from vantrel.demo import momentum_weights


def vantrel(*args, cwd):
    return subprocess.run(
        [sys.executable, "-m", "vantrel", *map(str, args)], cwd=cwd, capture_output=True, text=True, timeout=300
    )


@requires_engine
def test_demo_prints_statistics_and_writes_the_report(tmp_path):
    done = vantrel("demo", "--stocks", 60, "--days", 300, "--top", 5, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    out = tmp_path / "vantrel-output" / "demo"
    assert "Sharpe ratio" in done.stdout and f"Report: {out / 'report.html'}" in done.stdout
    assert "[4/4" in done.stderr  # progress goes to stderr
    for name in (
        "report.html",
        "equity.png",
        "excursions.png",
        "stats.csv",
        "trades.csv",
        "round_trips.csv",
        "portfolio.csv",
    ):
        assert (out / name).stat().st_size > 0
    stats = pd.read_csv(out / "stats.csv", index_col="statistic")["value"]
    assert int(stats["trades"]) == len(pd.read_csv(out / "round_trips.csv"))  # trades count round trips


@pytest.fixture
def user_files(tmp_path):
    market = synthetic_market(40, 260, seed=5)
    market.close.to_csv(tmp_path / "close.csv")
    market.open.to_csv(tmp_path / "open.csv")
    momentum_weights(market.close, lookback=60, skip=5, top=5).to_csv(tmp_path / "weights.csv")
    return tmp_path


@requires_engine
def test_run_backtests_the_users_files_with_options(user_files):
    done = vantrel(
        "run",
        "--close",
        "close.csv",
        "--open",
        "open.csv",
        "--weights",
        "weights.csv",
        "--trade-at",
        "open",
        "--rebalance",
        "ME",
        "--stop-loss",
        0.08,
        "--delisting",
        "infer",
        "--excursion-window",
        5,
        "--out",
        "result",
        "--quiet",
        cwd=user_files,
    )
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    trades = pd.read_csv(user_files / "result" / "trades.csv")
    assert "return_4" in trades.columns and len(trades) > 0
    report = (user_files / "result" / "report.html").read_text(encoding="utf-8")
    assert re.search(r"<td>trade_at</td>\s*<td>open</td>", report)  # the settings table


def test_bad_input_exits_with_a_message_not_a_traceback(user_files):
    weights = pd.read_csv(user_files / "weights.csv", index_col=0)
    weights["NOPE"] = 0.1
    weights.to_csv(user_files / "bad.csv")
    done = vantrel("run", "--close", "close.csv", "--weights", "bad.csv", cwd=user_files)
    assert done.returncode == 2
    assert "vantrel run: error: weights has stocks with no price column in the market: 'NOPE'" in done.stderr
    assert "Traceback" not in done.stderr
    missing = vantrel("run", "--close", "absent.csv", "--weights", "bad.csv", cwd=user_files)
    assert missing.returncode == 2 and "absent.csv" in missing.stderr


def test_no_command_shows_help(tmp_path):
    done = vantrel(cwd=tmp_path)
    assert done.returncode == 2 and "demo" in done.stdout and "run" in done.stdout


@requires_engine
def test_run_reads_per_ticker_files_with_day_first_dates_and_shows_costs(tmp_path):
    market = synthetic_market(8, 300, seed=5)
    (tmp_path / "prices").mkdir()
    for stock in market.columns:
        bars = pd.DataFrame(
            {
                "Open": market.open[stock],
                "High": market.high[stock],
                "Low": market.low[stock],
                "Close": market.close[stock],
            }
        ).dropna()
        bars.to_csv(tmp_path / "prices" / f"{stock}.csv", index_label="Date", date_format="%d/%m/%Y")
    weights = momentum_weights(market.close, lookback=60, skip=5, top=3)
    weights.to_csv(tmp_path / "weights.csv", date_format="%d/%m/%Y")
    done = vantrel(
        "run",
        "--prices",
        "prices",
        "--weights",
        "weights.csv",
        "--dayfirst",
        "--rebalance",
        "ME",
        "--benchmark",
        "equal_weight",
        "--fee-ratio",
        0.001425,
        "--tax-ratio",
        0.003,
        "--out",
        "result",
        "--quiet",
        cwd=tmp_path,
    )
    assert done.returncode == 0, done.stderr
    assert "costs: fee_ratio=0.001425 (0.1425% of every trade), tax_ratio=0.003 (0.3% of every sale)" in done.stdout
    stats = pd.read_csv(tmp_path / "result" / "stats.csv", index_col="statistic")
    assert list(stats.columns) == ["value", "benchmark"] and float(stats.loc["fee_ratio", "value"]) == 0.001425
    assert -3 < float(stats.loc["beta", "value"]) < 3


def test_run_help_shows_that_costs_default_to_none(tmp_path):
    done = vantrel("run", "--help", cwd=tmp_path)
    text = " ".join(done.stdout.split())
    assert "fee on every trade, a fraction of the value traded (default 0.0: none; e.g. 0.001425)" in text
    assert "--dayfirst" in text and "--benchmark" in text


def test_a_cost_typed_as_a_percentage_is_refused_on_the_command_line(user_files):
    done = vantrel("run", "--close", "close.csv", "--weights", "weights.csv", "--tax-ratio", 3, cwd=user_files)
    assert done.returncode == 2 and "vantrel run: error: tax_ratio is 3, 1 or more" in done.stderr
