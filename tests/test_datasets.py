import re
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from vantrel import Market
from vantrel.datasets import load_long, load_market, load_ticker_files, read_wide, synthetic_market

SHARED_DATA = Path(__file__).resolve().parents[1] / ".." / "shared" / "data"


@pytest.fixture(scope="module")
def market():
    return synthetic_market(200, 600, seed=11)


def test_synthetic_market_is_deterministic(market):
    again = synthetic_market(200, 600, seed=11)
    pd.testing.assert_frame_equal(market.close, again.close)
    pd.testing.assert_frame_equal(market.low, again.low)
    pd.testing.assert_series_equal(market.delisting, again.delisting)
    other = synthetic_market(200, 600, seed=12)
    assert not market.close.equals(other.close)


def test_synthetic_prices_are_consistent_bars(market):
    o, h, low, c = (market.values(k) for k in ("open", "high", "low", "close"))
    assert np.array_equal(np.isnan(o), np.isnan(c)) and np.array_equal(np.isnan(h), np.isnan(c))
    with np.errstate(invalid="ignore"):
        assert not (low > np.minimum(o, c)).any()
        assert not (h < np.maximum(o, c)).any()
        assert not (low <= 0).any()


def test_synthetic_market_has_the_features_of_real_ones(market):
    close = market.close
    listed_late = close.iloc[0].isna()
    delisted = market.delisting.notna()
    assert listed_late.sum() > 10 and delisted.sum() > 5
    # a delisted stock has no prices after its delisting date, and one on it
    for stock in market.delisting[delisted].index:
        day = market.delisting[stock]
        assert not np.isnan(close.at[day, stock]) and close.loc[day:, stock].iloc[1:].isna().all()
    # suspensions: gaps inside the listed life that end
    interior = close.bfill().notna() & close.ffill().notna() & close.isna()
    assert interior.any(axis=0).sum() > 5
    returns = np.log(close).diff().stack()
    assert returns.kurt() > 3  # fat tails
    assert market.sectors.nunique() == 10
    assert len(market.index) == 600 and market.index.day_of_week.max() < 5


def test_read_wide_and_load_market_from_files(tmp_path, market):
    close = market.close.iloc[:50, :5]
    close.to_csv(tmp_path / "close.csv.gz")
    close.to_csv(tmp_path / "close.csv")
    back = read_wide(tmp_path / "close.csv.gz")
    np.testing.assert_array_equal(back.to_numpy(), close.to_numpy())
    assert list(back.columns) == list(close.columns) and back.index.equals(close.index)
    pytest.importorskip("pyarrow")
    market.open.iloc[:50, :5].to_parquet(tmp_path / "open.parquet")
    loaded = load_market(tmp_path / "close.csv", open=tmp_path / "open.parquet")
    assert isinstance(loaded, Market) and loaded.has("open") and not loaded.has("high")


def test_read_wide_rejects_what_it_cannot_read(tmp_path):
    (tmp_path / "prices.txt").write_text("x")
    with pytest.raises(ValueError, match="expected a .csv"):
        read_wide(tmp_path / "prices.txt")
    (tmp_path / "names.csv").write_text("name,A\nfoo,1\nbar,2\n")
    with pytest.raises(ValueError, match="does not hold dates"):
        read_wide(tmp_path / "names.csv")


@pytest.mark.skipif(not (SHARED_DATA / "sp500_close_20stocks.csv.gz").exists(), reason="shared data absent")
def test_real_close_prices_load_as_a_market():
    market = load_market(SHARED_DATA / "sp500_close_20stocks.csv.gz")
    assert len(market.columns) == 20 and market.index[0] == pd.Timestamp("1990-01-02")


LONG_CSV = """Date,Symbol,Open,High,Low,Close,Adj Close,Volume
03/01/2024,BBB,20,21,19,20,10,500
02/01/2024,AAA,10,11,9,10,10,100
03/01/2024,AAA,10,12,10,11,11,120
04/01/2024,BBB,21,22,20,22,11,300
"""


def test_long_format_becomes_a_market(tmp_path):
    (tmp_path / "prices.csv").write_text(LONG_CSV)
    market = load_long(tmp_path / "prices.csv", dayfirst=True)
    assert list(market.columns) == ["AAA", "BBB"]
    assert list(market.index) == list(pd.to_datetime(["2024-01-02", "2024-01-03", "2024-01-04"]))
    # adjusted: BBB's prices halve (adjusted close / close = 0.5), AAA's stay
    np.testing.assert_array_equal(market.values("close"), [[10, np.nan], [11, 10], [np.nan, 11]])
    np.testing.assert_array_equal(market.values("high")[1:, 1], [10.5, 11])
    raw = load_long(pd.read_csv(tmp_path / "prices.csv"), dayfirst=True, adjust=False)
    assert raw.values("close")[2, 1] == 22.0
    assert load_long(tmp_path / "prices.csv").index[0] == pd.Timestamp("2024-02-01")  # month first


@pytest.mark.parametrize(
    "edit, message",
    [
        (lambda t: t + "03/01/2024,AAA,10,12,10,11,11,1\n", "more than one row for 'AAA' on 2024-01-03"),
        (lambda t: t.replace("Symbol", "Name"), r"no ticker column \(looked for ticker, symbol, stock, code\)"),
        (lambda t: t.replace(",22,11,", ",22.0.0,11,"), r"column 'Close' holds '22.0.0' \(row 3\), not a number"),
        (lambda t: t.replace("Close,Adj", "Last,Adj"), "has no close column"),
    ],
)
def test_long_format_mistakes_are_named(tmp_path, edit, message):
    (tmp_path / "prices.csv").write_text(edit(LONG_CSV))
    with pytest.raises(ValueError, match=message):
        load_long(tmp_path / "prices.csv", dayfirst=True)


def test_one_file_per_ticker_becomes_a_market(tmp_path):
    (tmp_path / "ohlc_AAA.csv").write_text("Date,Open,High,Low,Close\n03/01/2024,10,12,10,11\n02/01/2024,10,11,9,10\n")
    (tmp_path / "ohlc_BBB.csv").write_text("Date,Open,High,Low,Close\n04/01/2024,21,22,20,22\n")
    (tmp_path / "notes.txt").write_text("not prices")
    market = load_ticker_files(tmp_path, ticker=r"ohlc_(.+)", dayfirst=True)
    assert list(market.columns) == ["AAA", "BBB"] and market.index[0] == pd.Timestamp("2024-01-02")
    np.testing.assert_array_equal(market.values("open"), [[10, np.nan], [10, np.nan], [np.nan, 21]])
    listed = load_ticker_files([tmp_path / "ohlc_BBB.csv"], dayfirst=True)
    assert list(listed.columns) == ["ohlc_BBB"]
    (tmp_path / "ohlc_CCC.csv").write_text("Date,Close\n04/01/2024,5\n")
    with pytest.raises(ValueError, match="ohlc_CCC.csv has no open column, unlike the other files"):
        load_ticker_files(tmp_path, ticker=r"ohlc_(.+)")
    with pytest.raises(ValueError, match="two files give the ticker 'ohlc'"):
        load_ticker_files(tmp_path, ticker=r"(ohlc)_")


@pytest.mark.skipif(not (SHARED_DATA / "ohlc_AAPL.csv").exists(), reason="shared data absent")
def test_real_per_ticker_files_load_split_adjusted():
    market = load_ticker_files(SHARED_DATA, ticker=r"ohlc_(.+)")
    assert list(market.columns) == ["AAPL", "FB", "GOOG", "IBM", "MSFT"] and len(market.index) == 3270
    assert market.close["FB"].first_valid_index() == pd.Timestamp("2012-05-18")
    shipped = pd.read_csv(SHARED_DATA / "ohlc_MSFT.csv", index_col="Date", parse_dates=True)
    np.testing.assert_allclose(market.close["MSFT"], shipped["Adj Close"])
    # MSFT's 2-for-1 split of 2003-02-18 is a 48% fall in the raw close, none in the adjusted one
    raw = load_ticker_files(SHARED_DATA, ticker=r"ohlc_(.+)", adjust=False)
    assert raw.close["MSFT"].pct_change()["2003-02-18"] < -0.45
    assert abs(market.close["MSFT"].pct_change()["2003-02-18"]) < 0.05


OHLCV = "Date,Open,High,Low,Close,Volume,Adj Close\n2024-01-02,10,11,9,10,100,5\n2024-01-03,10,12,10,11,120,5.5\n"


def test_globs_and_folders_of_ticker_files(tmp_path):
    for name in ("ohlc_AAA.csv", "ohlc_BBB.csv", "other_CCC.csv"):
        (tmp_path / name).write_text(OHLCV)
    market = load_ticker_files(str(tmp_path / "ohlc_*.csv"))
    assert list(market.columns) == ["ohlc_AAA", "ohlc_BBB"]
    np.testing.assert_array_equal(market.values("close"), [[5, 5], [5.5, 5.5]])  # adjusted
    assert list(load_ticker_files(tmp_path / "*_*.csv", ticker=r"ohlc_(.+)").columns) == ["AAA", "BBB"]
    with pytest.raises(ValueError, match=re.escape(f"no .csv, .csv.gz or .parquet file matches {tmp_path}/x*.csv")):
        load_ticker_files(f"{tmp_path}/x*.csv")


def test_loader_mistakes_say_what_to_do(tmp_path):
    (tmp_path / "ohlc_AAA.csv").write_text(OHLCV)
    one = tmp_path / "ohlc_AAA.csv"
    with pytest.raises(ValueError) as refused:
        load_market(one)
    assert str(refused.value) == (
        "ohlc_AAA.csv holds the prices of one ticker (Open, High, Low, Close, Volume, Adj Close), not one field "
        f"by stock (dates x stocks): read it with load_ticker_files({str(one)!r}), which names the stock after "
        "the file (ohlc_AAA) or as ticker= says"
    )
    assert list(load_ticker_files(one, ticker=r"_(\w+)").columns) == ["AAA"]
    with pytest.raises(ValueError) as no_group:
        load_ticker_files(tmp_path, ticker=r"ohlc_")
    assert str(no_group.value) == (
        "ticker pattern 'ohlc_' has no group: put the ticker's part of the file name in parentheses, "
        'e.g. ticker=r"ohlc_(.+)" reads AAPL from ohlc_AAPL.csv'
    )
    with pytest.raises(ValueError, match=re.escape("ticker pattern '(' is not a regular expression: missing )")):
        load_ticker_files(tmp_path, ticker="(")
    hint = (
        "; to read only the ticker files, give a ticker= pattern that matches their names and captures the "
        f'ticker (ticker=r"ohlc_(.+)" for ohlc_AAPL.csv) or a glob such as "{tmp_path / "ohlc_*.csv"}"'
    )
    (tmp_path / "close.csv").write_text("Date,AAA,BBB\n2024-01-02,1,2\n")
    with pytest.raises(ValueError) as mixed:
        load_ticker_files(tmp_path)
    assert str(mixed.value) == "close.csv has no close column; its columns are ['Date', 'AAA', 'BBB']" + hint
    (tmp_path / "close.csv").write_text("Day,Close\n2024-01-02,1\n")
    with pytest.raises(ValueError) as undated:
        load_ticker_files(tmp_path)
    assert str(undated.value) == (
        "close.csv has no date column (looked for date, datetime, timestamp, time); its columns are ['Day', 'Close']"
        + hint
    )
    (tmp_path / "close.csv").write_text("Date,Close\n2024-01-02,1\n")
    with pytest.raises(ValueError) as fewer:
        load_ticker_files(tmp_path)
    assert str(fewer.value) == "close.csv has no open column, unlike the other files" + hint
    assert list(load_ticker_files(tmp_path, ticker=r"ohlc_(.+)").columns) == ["AAA"]


def test_loaders_pick_up_the_volume_scaled_like_the_prices(tmp_path):
    (tmp_path / "prices.csv").write_text(LONG_CSV)
    market = load_long(tmp_path / "prices.csv", dayfirst=True)
    # BBB's prices halve on adjusting, so its shares double: the value traded stays
    np.testing.assert_array_equal(market.values("volume"), [[100, np.nan], [120, 1000], [np.nan, 600]])
    assert load_long(tmp_path / "prices.csv", dayfirst=True, adjust=False).values("volume")[1, 1] == 500
    (tmp_path / "AAA.csv").write_text("Date,Close,Volume\n2024-01-02,10,100\n2024-01-03,11,120\n")
    (tmp_path / "BBB.csv").write_text("Date,Close\n2024-01-03,20\n")
    files = load_ticker_files([tmp_path / "AAA.csv", tmp_path / "BBB.csv"])
    np.testing.assert_array_equal(files.values("volume"), [[100, np.nan], [120, np.nan]])  # BBB's unknown
