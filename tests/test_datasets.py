from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from vantrel import Market
from vantrel.datasets import load_market, read_wide, synthetic_market

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
    o, h, l, c = (market.values(k) for k in ("open", "high", "low", "close"))
    assert np.array_equal(np.isnan(o), np.isnan(c)) and np.array_equal(np.isnan(h), np.isnan(c))
    with np.errstate(invalid="ignore"):
        assert not (l > np.minimum(o, c)).any()
        assert not (h < np.maximum(o, c)).any()
        assert not (l <= 0).any()


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
