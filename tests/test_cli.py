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


@requires_engine
def test_run_takes_a_profile_execution_flags_and_market_data_files(user_files):
    market = synthetic_market(40, 260, seed=5)
    # Thin volume for S000 (100 shares a bar), so the participation cap carries its orders.
    volume = pd.DataFrame(200_000.0, index=market.index, columns=market.columns)
    volume["S000"] = 100.0
    volume.to_csv(user_files / "volume.csv")
    dividends = pd.DataFrame(0.5, index=market.index[[100, 200]], columns=market.columns)
    dividends.to_csv(user_files / "dividends.csv")
    pd.Series(100, index=market.columns, name="lot").to_csv(user_files / "lots.csv")
    done = vantrel(
        "run",
        *("--close", "close.csv", "--weights", "weights.csv", "--rebalance", "ME", "--quiet", "--out", "result"),
        *("--volume", "volume.csv", "--dividends", "dividends.csv", "--profile", "asia_board_lot_100_limit_10"),
        *("--capital", 2_000_000, "--lot-size", "lots.csv", "--participation", 0.2, "--impact", 0.1),
        *("--fee-ratio", 0.001),
        cwd=user_files,
    )
    assert done.returncode == 0, done.stderr
    assert (
        "execution: capital=2,000,000, lot_size=per-stock Series, min_fee=5, slippage=0.001, impact=0.1, "
        "participation=0.2, price_limit=0.1"
    ) in done.stdout
    out = user_files / "result"
    stats = pd.read_csv(out / "stats.csv", index_col="statistic")["value"]
    assert (float(stats["fee_ratio"]), float(stats["tax_ratio"])) == (0.001, 0.0005)  # the flag wins
    assert float(stats["costs_paid_impact"]) > 0 and float(stats["income_dividends"]) > 0
    fills = pd.read_csv(out / "fills.csv")
    assert (fills["shares"] % 100 == 0).all() and "carried" in set(fills["reason"])
    assert pd.read_csv(out / "costs.csv", index_col="date")["dividends"].gt(0).sum() == 2
    report = (out / "report.html").read_text(encoding="utf-8")
    assert '<section id="costs">' in report and re.search(r"<td>lot size \(shares\)</td>\s*<td>per-stock", report)


@pytest.mark.parametrize(
    "flags, message",
    [
        (("--capital", "lots"), "argument --capital: expected a number, got 'lots'"),
        (
            ("--lot-size", "absent.csv"),
            "argument --lot-size: expected a number or a CSV file of stock,value rows, got 'absent.csv'",
        ),
        (("--slippage", "three.csv"), "argument --slippage: three.csv: expected two columns (stock, value), found 3"),
        (("--lot-size", "empty.csv"), "argument --lot-size: empty.csv: not a CSV file of stock,value rows (No columns"),
        (
            ("--cash-rate", "latin.csv"),
            "argument --cash-rate: latin.csv: not a CSV file of date,rate rows ('utf-8' codec",
        ),
        (
            ("--cash-rate", "later"),
            "argument --cash-rate: expected a number or a CSV file of date,rate rows, got 'later'",
        ),
        (("--profile", "tokyo"), "argument --profile: invalid choice: 'tokyo'"),
    ],
)
def test_bad_execution_flags_are_named(tmp_path, capsys, flags, message):
    from vantrel.cli import main

    (tmp_path / "three.csv").write_text("stock,a,b\nS000,1,2\n")
    (tmp_path / "empty.csv").write_text("")
    (tmp_path / "latin.csv").write_bytes("date,rate\n2024-01-02,0,5 \xe9t\xe9\n".encode("latin-1"))
    with pytest.raises(SystemExit) as stopped:
        main(
            [
                "run",
                "--close",
                "c.csv",
                "--weights",
                "w.csv",
                *(str(tmp_path / f) if f.endswith(".csv") and f != "absent.csv" else f for f in flags),
            ]
        )
    assert stopped.value.code == 2 and f"vantrel run: error: {message}" in capsys.readouterr().err
