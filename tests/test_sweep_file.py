"""The sweep parameter file's [market] table and --overwrite, run in this process through the CLI's main."""

import contextlib

import pandas as pd
import pytest

from conftest import requires_engine
from vantrel.cli import main
from vantrel.cli.prices import load_prices
from vantrel.cli.sweep import _synthetic
from vantrel.datasets import synthetic_market

pytestmark = requires_engine

STRATEGY = """
[strategy]
weights = "weights.csv"

[grid]
stop_loss = [0.05, 0.1]
"""


@pytest.fixture
def folder(tmp_path):
    """Three per-ticker files with day-first dates, a file that is not one, and equal weights."""
    market = synthetic_market(3, 300, seed=5)
    (tmp_path / "data").mkdir()
    for stock in market.columns:
        bars = pd.DataFrame(
            {field.title(): getattr(market, field)[stock] for field in ("open", "high", "low", "close")}
        )
        bars.to_csv(tmp_path / "data" / f"ohlc_{stock}.csv", index_label="Date", date_format="%d/%m/%Y")
    (tmp_path / "data" / "universe.csv").write_text("Date,S000,S001\n01/02/2016,1,1\n")
    weights = pd.DataFrame(1 / 3, index=market.index[::20], columns=market.columns)
    weights.to_csv(tmp_path / "weights.csv")
    return tmp_path


def sweep(folder, market, *options):
    (folder / "grid.toml").write_text(f"[market]\n{market}\n{STRATEGY}")
    return main(["sweep", str(folder / "grid.toml"), "--quiet", "--out", str(folder / "out"), *options])


def test_a_folder_of_ticker_files_as_in_vantrel_run(folder, capsys):
    assert sweep(folder, 'prices = "data/"\nticker = "ohlc_(.+)"\ndayfirst = true') == 0
    table = pd.read_csv(folder / "out" / "results.csv", index_col=0)
    assert table["stop_loss"].tolist() == [0.05, 0.1] and table["error"].isna().all()
    assert capsys.readouterr().out.startswith("2 variants, 2 ran, 0 failed")


@pytest.mark.parametrize(
    "market, message",
    [
        (
            'prices = "data/"\nclose = "c.csv"',
            (
                "[market] needs one of synthetic (a generated market), close (wide price files: dates x stocks) "
                "or prices (a long file, or a folder, glob or file of per-ticker prices)"
            ),
        ),
        (
            'close = "c.csv"\nticker = "x(.)"',
            (
                "[market] with close does not take ticker (it takes close, dayfirst, delisting, dividends, high, "
                "low, open, splits, volume)"
            ),
        ),
        (
            "synthetic = {n_stocks = 3, stocks = 3}",
            "[market] synthetic takes n_stocks or its older name stocks, not both",
        ),
        ("synthetic = {size = 3}", "[market] synthetic takes n_stocks, n_days, n_sectors, start, seed, not size"),
        (
            'prices = "data/"\nticker = "ohlc_"',
            (
                "ticker pattern 'ohlc_' has no group: put the ticker's part of the file name in parentheses, "
                'e.g. ticker=r"ohlc_(.+)" reads AAPL from ohlc_AAPL.csv'
            ),
        ),
    ],
)
def test_market_table_mistakes_are_named(folder, capsys, market, message):
    assert sweep(folder, market) == 2
    assert capsys.readouterr().err == f"vantrel sweep: error: {message}\n"


def test_synthetic_takes_the_python_names_and_the_older_ones():
    made = _synthetic({"n_stocks": 4, "n_days": 50, "n_sectors": 2, "seed": 3})
    pd.testing.assert_frame_equal(made.close, synthetic_market(4, 50, n_sectors=2, seed=3).close)
    pd.testing.assert_frame_equal(
        _synthetic({"stocks": 4, "days": 50, "seed": 3}).close, synthetic_market(4, 50, seed=3).close
    )


def test_overwrite_replaces_another_sweeps_store_and_results(folder, capsys):
    synthetic = "synthetic = {n_stocks = 3, n_days = 300, seed = 6}"
    (folder / "out").mkdir()
    (folder / "out" / "heatmap-sharpe.png").write_bytes(b"an older sweep's")
    assert sweep(folder, 'prices = "data/"\nticker = "ohlc_(.+)"\ndayfirst = true') == 0
    capsys.readouterr()
    store = folder / "out" / "sweep.sqlite"
    assert sweep(folder, synthetic) == 2
    assert capsys.readouterr().err.startswith(
        f"vantrel sweep: error: the store {store} was written for a different market"
    )
    assert sweep(folder, synthetic, "--resume", "--overwrite") == 2
    assert capsys.readouterr().err == (
        "vantrel sweep: error: --resume continues the stored sweep and --overwrite replaces it: give one of them\n"
    )
    assert sweep(folder, synthetic, "--overwrite") == 0
    assert sweep(folder, synthetic, "--resume") == 0  # the store is now this sweep's
    assert not (folder / "out" / "heatmap-sharpe.png").exists()


def test_prices_take_one_ticker_file_or_a_glob_too(folder):
    assert list(load_prices(folder / "data" / "ohlc_S001.csv", dayfirst=True).columns) == ["ohlc_S001"]
    market = load_prices(folder / "data" / "ohlc_*.csv", ticker="ohlc_(.+)", dayfirst=True)
    assert list(market.columns) == ["S000", "S001", "S002"]


def test_a_profile_in_options_and_execution_options_on_the_grid_get_their_own_store_keys(folder, capsys):
    import sqlite3

    from vantrel._sweep.keys import market_fingerprint

    (folder / "grid.toml").write_text(
        '[market]\nprices = "data/"\nticker = "ohlc_(.+)"\ndayfirst = true\n'
        '[strategy]\nweights = "weights.csv"\n'
        '[options]\nprofile = "us_equities"\nlot_size = {S000 = 10, S001 = 1, S002 = 1}\n'
        "[grid]\nslippage = [0.0005, 0.002]\ncapital = [1e5, 1e6]\n"
    )
    assert main(["sweep", str(folder / "grid.toml"), "--quiet", "--out", str(folder / "out")]) == 0
    table = pd.read_csv(folder / "out" / "results.csv", index_col=0)
    assert table["error"].isna().all() and table["slippage"].tolist() == [0.0005, 0.0005, 0.002, 0.002]
    paid = table["costs_paid_slippage"]
    assert paid[2] > 3 * paid[0] and paid[3] > 3 * paid[1]  # four times the slippage, much the same trades
    with contextlib.closing(sqlite3.connect(folder / "out" / "sweep.sqlite")) as store:
        keys = [row[0] for row in store.execute("SELECT key FROM results")]
    assert len(set(keys)) == 4
    market = synthetic_market(3, 50, seed=5)
    volume = market.close * 0 + 1000.0
    dividends = market.close.iloc[[10]] * 0 + 0.1
    fingerprints = {
        market_fingerprint(m) for m in (market, market.with_data(volume=volume), market.with_data(dividends=dividends))
    }
    assert len(fingerprints) == 3 and market_fingerprint(market.with_data()) == market_fingerprint(market)


@pytest.mark.parametrize(
    "tables, message",
    [
        (
            '[grid]\nprofile = ["us_equities"]',
            '[grid] profile: a profile goes in [options] (profile = "us_equities"); sweep its options one by one',
        ),
        ('[options]\nprofile = "tokyo"', "unknown profile 'tokyo'; the profiles are 'frictionless', 'us_equities'"),
        ('[options]\nlot_size = {S000 = "a lot"}', "lot_size: a table of numbers, e.g. {A = 100, B = 1000}, got"),
        (
            "[options]\ncash_rate = {soon = 0.02}",
            "cash_rate: the table's keys must be dates such as \"2024-01-31\", got 'soon'",
        ),
    ],
)
def test_execution_option_mistakes_in_a_sweep_file_are_named(folder, capsys, tables, message):
    (folder / "grid.toml").write_text(
        f'[market]\nprices = "data/"\nticker = "ohlc_(.+)"\ndayfirst = true\n'
        f'[strategy]\nweights = "weights.csv"\n{tables}\n'
    )
    assert main(["sweep", str(folder / "grid.toml"), "--quiet", "--out", str(folder / "out")]) == 2
    assert capsys.readouterr().err.startswith(f"vantrel sweep: error: {message}")
